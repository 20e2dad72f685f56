#ifndef VARNOLIX_TESTS_TEST_SUPPORT_H_
#define VARNOLIX_TESTS_TEST_SUPPORT_H_

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

/// Names a parameterised case after the `name` member of its parameter.
struct CaseName {
  template <class Case>
  std::string operator()(const ::testing::TestParamInfo<Case>& caseInfo) const {
    return caseInfo.param.name;
  }
};

/// A fresh folder under the system's temporary folder, removed with all its content.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return dir; }
  /// Returns the path of `name` inside the folder.
  std::string operator/(const std::string& name) const { return dir + "/" + name; }

 private:
  std::string dir;
};

/// Makes the current directory `dir` for the lifetime of the object.
class ScopedChdir {
 public:
  explicit ScopedChdir(const std::string& dir);
  ~ScopedChdir();
  ScopedChdir(const ScopedChdir&) = delete;
  ScopedChdir& operator=(const ScopedChdir&) = delete;

 private:
  std::string previous;
};

void writeFile(const std::string& path, const std::string& content);
std::string readFile(const std::string& path);

/// Returns every regular file of `dir` (name -> content), leaving out the names in `except`.
std::map<std::string, std::string> regularFiles(const std::string& dir,
                                                const std::vector<std::string>& except = {"test.csv"});

/// How the program's standard output is connected.
enum class Stdout { kCapture, kClosedPipe, kClosedDescriptor, kClosedWithStdin, kFullDevice, kNullDevice };

struct RunOptions {
  std::vector<std::string> arguments;
  Stdout standardOutput = Stdout::kCapture;
  std::optional<rlim_t> openFileLimit;                           // RLIMIT_NOFILE, soft and hard
  std::optional<rlim_t> fileSizeLimit;                           // RLIMIT_FSIZE, with SIGXFSZ ignored
  std::vector<std::pair<std::string, std::string>> environment;  // set in addition
};

struct RunResult {
  std::string standardOutput;
  int exitStatus = -1;  // -1 when the program did not exit normally
  int signal = 0;       // the signal that ended it, if any
};

/// Runs the built varnolix in `dir` and waits for it (killed after 60 s).
RunResult runVarnolix(const std::string& dir, const RunOptions& options = {});

}  // namespace testing_support

#endif  // VARNOLIX_TESTS_TEST_SUPPORT_H_
