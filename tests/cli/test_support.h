#ifndef VARNOLIX_TESTS_TEST_SUPPORT_H_
#define VARNOLIX_TESTS_TEST_SUPPORT_H_

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/types.h>

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

/// The file systems a test may run in. Every kind but the temporary folder's own is mounted
/// for the test, which needs root; FAT and exFAT are reached through FUSE (fusefat,
/// exfat-fuse), as on a desktop without the kernel's drivers, where each spelling of a name
/// gets its own inode number.
enum class FileSystem { kTemporaryFolder, kTmpfs, kExt4, kFatThroughFuse, kExfatThroughFuse };

/// A file system of one kind on the empty folder `mountPoint`, for as long as the object
/// lives: then unmounted, its image and loop device released. When it cannot be had here
/// (not root, no /dev/fuse, a tool missing), skipReason() says why and nothing is mounted.
class MountedFileSystem {
 public:
  MountedFileSystem(FileSystem kind, const std::string& mountPoint);
  ~MountedFileSystem();
  MountedFileSystem(const MountedFileSystem&) = delete;
  MountedFileSystem& operator=(const MountedFileSystem&) = delete;

  /// Returns why the file system could not be mounted, or an empty text.
  const std::string& skipReason() const { return reason; }

 private:
  std::string folder;
  std::string image;       // the file system's image, beside the mount point
  std::string loopDevice;  // for exFAT, which exfat-fuse mounts from a block device only
  bool mounted = false;
  std::string reason;
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

/// Returns the last line of `output`, with its line feed.
std::string lastLine(const std::string& output);

/// Returns an input of `lines` lines over `keys` keys, interleaved so that every key stays
/// in use, and the files a complete run makes of it.
std::pair<std::string, std::map<std::string, std::string>> interleavedInput(int keys, int lines);

/// Returns 4,096 keys of 192 bytes that collide under KeyHash whatever its seed, as someone
/// who read its code can make them.
std::vector<std::string> keysCollidingUnderKeyHash();

/// Expects every file of `files` to hold whole lines (to be empty or end with a line feed)
/// and to be a prefix of the file of the same name in `complete`.
void expectWholeLinePrefixes(const std::map<std::string, std::string>& files,
                             const std::map<std::string, std::string>& complete);

/// How the program's standard output is connected.
enum class Stdout {
  kCapture,
  kClosedPipe,
  kClosedDescriptor,
  kClosedWithStdin,
  kFullDevice,
  kNullDevice,
  kUnlinkedFile,  // a regular file with no name
  kFile,          // RunOptions::outputFile, opened with outputFileFlags
  kTerminal,      // a pseudo-terminal in its usual mode; RunResult shows its line ends as "\n"
};

/// How the program is run. Whatever the test runner's own signal dispositions and mask,
/// the program starts as from an ordinary shell: SIGINT, SIGTERM, SIGHUP, SIGPIPE and
/// SIGXFSZ at their default actions and unblocked.
struct RunOptions {
  std::vector<std::string> arguments;
  Stdout standardOutput = Stdout::kCapture;
  std::string outputFile;                                        // for kFile, relative to the run's folder
  int outputFileFlags = 0;                                       // for kFile, with mode 0644
  bool errorToOutputFile = false;                                // for kFile: 2>&1
  std::optional<rlim_t> openFileLimit;                           // RLIMIT_NOFILE, soft and hard
  std::optional<rlim_t> fileSizeLimit;                           // RLIMIT_FSIZE, soft and hard
  std::optional<rlim_t> addressSpaceLimit;                       // RLIMIT_AS, soft and hard
  std::vector<std::pair<std::string, std::string>> environment;  // set in addition
  std::vector<std::string> wrapper;                              // a command that runs the program, e.g. timeout
  bool hangupIgnored = false;                                    // SIGHUP ignored, as under nohup
};

struct RunResult {
  std::string standardOutput;
  std::string standardError;
  int exitStatus = -1;  // -1 when the program did not exit normally
  int signal = 0;       // the signal that ended it, if any
};

/// A program started by startVarnolix() and not yet finished.
struct Started {
  pid_t pid = -1;     // of the program, or of its wrapper
  int output = -1;    // read end of its standard output, when captured
  int terminal = -1;  // master side of its standard output, for kTerminal
  int errors = -1;    // its standard error, a file with no name
  std::string read;   // standard output read so far
};

/// Starts the built varnolix in `dir` (killed after 60 s).
Started startVarnolix(const std::string& dir, const RunOptions& options = {});

/// Reads standard output into `started.read` until it holds at least `bytes`, or ends.
void readOutput(Started& started, std::size_t bytes);

/// Reads the rest of standard output and waits for the program.
RunResult finishVarnolix(Started& started);

/// Returns once `pid` is blocked in system call `number` (SYS_read, ...) with `descriptor`
/// as first argument (any, if negative); fails the test if that does not happen within 5 s.
void waitUntilBlockedIn(pid_t pid, long number, int descriptor = -1);

/// Runs the built varnolix in `dir` and waits for it (killed after 60 s).
RunResult runVarnolix(const std::string& dir, const RunOptions& options = {});

}  // namespace testing_support

#endif  // VARNOLIX_TESTS_TEST_SUPPORT_H_
