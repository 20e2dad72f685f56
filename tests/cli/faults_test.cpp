// Provokes every failure varnolix guards against and checks that nothing is lost,
// nothing outside the working folder is touched, and the failure is reported.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using testing_support::expectWholeLinePrefixes;
using testing_support::interleavedInput;
using testing_support::lastLine;
using testing_support::readFile;
using testing_support::regularFiles;
using testing_support::RunOptions;
using testing_support::runVarnolix;
using testing_support::Stdout;
using testing_support::TempDir;
using testing_support::writeFile;

using Files = std::map<std::string, std::string>;

// --- Keys whose file must not be created -------------------------------------------

struct BadKeyCase {
  const char* name;
  std::function<std::string(const std::string& work)> key;  // given the working folder
  std::string reason;
  std::function<void(const std::string& work)> setUp = [](const std::string&) {};
  bool needsRoot = false;  // to give a file to another user
};

void PrintTo(const BadKeyCase& c, std::ostream* os) { *os << c.name; }

class BadKeyTest : public ::testing::TestWithParam<BadKeyCase> {};

TEST_P(BadKeyTest, ReportsTheKeyAndKeepsEarlierLines) {
  const BadKeyCase& c = GetParam();
  if (c.needsRoot && ::geteuid() != 0) GTEST_SKIP() << "only root can give a file to another user";
  TempDir dir;
  const std::string work = dir / "work";
  ASSERT_EQ(::mkdir(work.c_str(), 0755), 0);
  const std::string key = c.key(work);
  const std::string input = "a;1\n" + key + ";2\nb;3\n";
  writeFile(work + "/test.csv", input);
  c.setUp(work);
  const Files before = regularFiles(work);

  const auto result = runVarnolix(work);

  EXPECT_EQ(result.standardOutput,
            "a;1\nappending: a;1\n" + key + ";2\nCould not open output file '" + key + "': " + c.reason + "\n");
  EXPECT_EQ(result.exitStatus, 1);
  Files expected = before;
  expected["a"] = "a;1\n";
  struct stat fileA {
  }, other{};
  ::stat((work + "/a").c_str(), &fileA);
  for (auto& [name, content] : expected) {  // names of the same file show the same content
    if (::stat((work + "/" + name).c_str(), &other) == 0 && other.st_ino == fileA.st_ino) content = "a;1\n";
  }
  EXPECT_EQ(regularFiles(work), expected);
  EXPECT_EQ(readFile(work + "/test.csv"), input);
  EXPECT_EQ(regularFiles(dir.path()), Files{}) << "a file appeared outside the working folder";
}

void makeSocket(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ::close(fd);
}

std::string fixed(const std::string& key) { return key; }

INSTANTIATE_TEST_SUITE_P(
    Faults, BadKeyTest,
    ::testing::Values(
        BadKeyCase{"EmptyKey", [](auto&) { return fixed(""); }, "not a plain file name"},
        BadKeyCase{"Dot", [](auto&) { return fixed("."); }, "not a plain file name"},
        BadKeyCase{"DotDot", [](auto&) { return fixed(".."); }, "not a plain file name"},
        BadKeyCase{"ParentPath", [](auto&) { return fixed("../escaped"); }, "not a plain file name"},
        BadKeyCase{"AbsolutePath", [](const std::string& work) { return work + "/../absolute"; },
                   "not a plain file name"},
        BadKeyCase{"SubfolderPath", [](auto&) { return fixed("sub/x"); }, "not a plain file name",
                   [](const std::string& work) { ::mkdir((work + "/sub").c_str(), 0755); }},
        BadKeyCase{"NulByte", [](auto&) { return std::string("a\0b", 3); }, "not a plain file name"},
        BadKeyCase{"InputItself", [](auto&) { return fixed("test.csv"); }, "it is the input file"},
        BadKeyCase{"HardLinkToInput", [](auto&) { return fixed("h"); }, "it is the input file",
                   [](const std::string& work) { ::link((work + "/test.csv").c_str(), (work + "/h").c_str()); }},
        BadKeyCase{"SymbolicLinkToFile", [](auto&) { return fixed("s"); }, "not a regular file",
                   [](const std::string& work) {
                     writeFile(work + "/target", "keep\n");
                     ::symlink("target", (work + "/s").c_str());
                   }},
        BadKeyCase{"DanglingSymbolicLink", [](auto&) { return fixed("s"); }, "not a regular file",
                   [](const std::string& work) { ::symlink("nowhere", (work + "/s").c_str()); }},
        BadKeyCase{"Folder", [](auto&) { return fixed("d"); }, "not a regular file",
                   [](const std::string& work) { ::mkdir((work + "/d").c_str(), 0755); }},
        BadKeyCase{"Fifo", [](auto&) { return fixed("f"); }, "not a regular file",
                   [](const std::string& work) { ::mkfifo((work + "/f").c_str(), 0644); }},
        BadKeyCase{"Socket", [](auto&) { return fixed("sock"); }, "not a regular file",
                   [](const std::string& work) { makeSocket(work + "/sock"); }},
        BadKeyCase{"NameTooLong", [](auto&) { return std::string(300, 'x'); }, "File name too long"},
        BadKeyCase{"SecondNameOfACreatedFile", [](auto&) { return fixed("q"); }, "it is the same file as 'a'",
                   [](const std::string& work) {
                     writeFile(work + "/a", "old\n");
                     ::link((work + "/a").c_str(), (work + "/q").c_str());
                   }},
        // Root running in /tmp must not fill a file that another user placed under a key's name.
        BadKeyCase{"AnotherUsersFileInASharedFolder", [](auto&) { return fixed("b"); },
                   "owned by another user in a shared folder",
                   [](const std::string& work) {
                     ::chmod(work.c_str(), 01777);
                     writeFile(work + "/b", "theirs\n");
                     ASSERT_EQ(::chown((work + "/b").c_str(), 65534, 65534), 0);
                   },
                   true}),
    testing_support::CaseName());

TEST(Faults, DeviceUnderAKeyIsNotOpened) {
  TempDir dir;
  writeFile(dir / "test.csv", "null;1\n");
  if (::mknod((dir / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) GTEST_SKIP() << "cannot make a device node";
  const auto result = runVarnolix(dir.path());
  EXPECT_EQ(result.standardOutput, "null;1\nCould not open output file 'null': not a regular file\n");
  EXPECT_EQ(result.exitStatus, 1);
}

// --- Many keys, few descriptors ----------------------------------------------------

class OpenFileLimitTest : public ::testing::TestWithParam<rlim_t> {};

TEST_P(OpenFileLimitTest, EveryLineLandsWhateverTheLimit) {
  const auto [input, files] = interleavedInput(400, 30000);
  TempDir dir;
  writeFile(dir / "test.csv", input);
  writeFile(dir / "k3", "stale content that must go\n");
  RunOptions options;
  options.openFileLimit = GetParam();
  const auto result = runVarnolix(dir.path(), options);
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(regularFiles(dir.path()), files);
  std::string closing = std::to_string(files.size()) + "\n";
  for (std::size_t i = 0; i < files.size(); ++i) closing += "clozing\n";
  ASSERT_GE(result.standardOutput.size(), closing.size());
  EXPECT_EQ(result.standardOutput.substr(result.standardOutput.size() - closing.size()), closing);
}

// Six: standard input, output and error, test.csv, the folder's lock and one output file.
INSTANTIATE_TEST_SUITE_P(Faults, OpenFileLimitTest, ::testing::Values(rlim_t{6}, rlim_t{16}, rlim_t{64}));

// --- Failing standard output -------------------------------------------------------

struct StdoutCase {
  const char* name;
  Stdout mode;
  std::optional<rlim_t> fileSizeLimit = std::nullopt;  // reached by the narration only
};

void PrintTo(const StdoutCase& c, std::ostream* os) { *os << c.name; }

class FailingStdoutTest : public ::testing::TestWithParam<StdoutCase> {};

TEST_P(FailingStdoutTest, GroupingCompletesWithTheUsualStatus) {
  const auto [input, files] = interleavedInput(50, 40000);  // narration far beyond any buffer
  TempDir dir;
  writeFile(dir / "test.csv", input);
  RunOptions options;
  options.standardOutput = GetParam().mode;
  options.fileSizeLimit = GetParam().fileSizeLimit;
  const auto result = runVarnolix(dir.path(), options);
  EXPECT_EQ(result.signal, 0);
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(regularFiles(dir.path()), files);

  TempDir empty;  // the error path keeps its status too
  const auto missing = runVarnolix(empty.path(), options);
  EXPECT_EQ(missing.signal, 0);
  EXPECT_EQ(missing.exitStatus, 1);
}

INSTANTIATE_TEST_SUITE_P(Faults, FailingStdoutTest,
                         ::testing::Values(StdoutCase{"ClosedPipe", Stdout::kClosedPipe},
                                           StdoutCase{"ClosedDescriptor", Stdout::kClosedDescriptor},
                                           StdoutCase{"ClosedDescriptorAndStdin", Stdout::kClosedWithStdin},
                                           StdoutCase{"FullDisk", Stdout::kFullDevice},
                                           StdoutCase{"NullDevice", Stdout::kNullDevice},
                                           StdoutCase{"FileSizeLimit", Stdout::kUnlinkedFile, rlim_t{1} << 20}),
                         testing_support::CaseName());

TEST(Faults, PipeClosedByHeadAfterOneLine) {
  const auto [input, files] = interleavedInput(20, 40000);
  TempDir dir;
  writeFile(dir / "test.csv", input);
  const std::string command = "set -o pipefail; cd '" + dir.path() + "' && '" VARNOLIX_PROGRAM "' | head -1 >/dev/null";
  const int status = std::system(("bash -c \"" + command + "\"").c_str());
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  EXPECT_EQ(regularFiles(dir.path()), files);
}

// --- Failing output and input files ------------------------------------------------

enum class WriteFault { kFileSizeLimit, kFailingWrite, kFullFileSystem };

struct WriteFailureCase {
  const char* name;
  WriteFault fault;
  std::string reason;
};

void PrintTo(const WriteFailureCase& c, std::ostream* os) { *os << c.name; }

class WriteFailureTest : public ::testing::TestWithParam<WriteFailureCase> {};

// Unmounts a file system mounted for a test, also when the test fails early.
struct Unmount {
  std::string path;
  ~Unmount() {
    if (!path.empty()) ::umount(path.c_str());
  }
};

TEST_P(WriteFailureTest, ReportedWithWholeLinesInEveryFile) {
  const WriteFailureCase& c = GetParam();
  const auto [input, files] = interleavedInput(40, 60000);  // 50 KiB and more per file
  TempDir dir;
  const std::string work = dir / "work";
  ASSERT_EQ(::mkdir(work.c_str(), 0755), 0);
  RunOptions options;
  Unmount unmount;
  switch (c.fault) {
    case WriteFault::kFileSizeLimit:
      options.fileSizeLimit = 40000;  // reached inside a line; test.csv is only read
      break;
    case WriteFault::kFailingWrite:
      options.environment = {{"LD_PRELOAD", FAILING_IO_LIBRARY}, {"VARNOLIX_TEST_FAIL_WRITE_AFTER", "1000003"}};
      break;
    case WriteFault::kFullFileSystem: {
      const std::string size = "size=" + std::to_string(input.size() + 1000000);
      if (::mount("tmpfs", work.c_str(), "tmpfs", 0, size.c_str()) != 0) {
        GTEST_SKIP() << "cannot mount a small tmpfs here: " << std::strerror(errno);
      }
      unmount.path = work;
      break;
    }
  }
  writeFile(work + "/test.csv", input);

  const auto result = runVarnolix(work, options);

  EXPECT_EQ(result.signal, 0);
  EXPECT_EQ(result.exitStatus, 1);
  const std::string message = lastLine(result.standardOutput);
  EXPECT_EQ(message.rfind("Could not write output file 'k", 0), 0u) << message;
  EXPECT_NE(message.find("': " + c.reason + "\n"), std::string::npos) << message;
  const Files written = regularFiles(work);
  EXPECT_FALSE(written.empty());
  expectWholeLinePrefixes(written, files);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, WriteFailureTest,
    ::testing::Values(WriteFailureCase{"FileSizeLimit", WriteFault::kFileSizeLimit, "File too large"},
                      WriteFailureCase{"WriteFailsPartWay", WriteFault::kFailingWrite, "No space left on device"},
                      WriteFailureCase{"FullFileSystem", WriteFault::kFullFileSystem, "No space left on device"}),
    testing_support::CaseName());

// --- Lack of memory ----------------------------------------------------------------

struct MemoryCase {
  const char* name;
  std::function<Files(const std::string& dir)> setUp;  // returns the files a complete run makes
  rlim_t addressSpace;
  std::string lastLineStart;
  std::string lastLineEnd;
};

void PrintTo(const MemoryCase& c, std::ostream* os) { *os << c.name; }

class MemoryTest : public ::testing::TestWithParam<MemoryCase> {};

TEST_P(MemoryTest, ReportedAsAFailureWithWholeLines) {
#ifdef VARNOLIX_SANITIZED
  GTEST_SKIP() << "AddressSanitizer reserves far more address space than any limit this test could set";
#endif
  const MemoryCase& c = GetParam();
  TempDir dir;
  const Files complete = c.setUp(dir.path());
  RunOptions options;
  options.addressSpaceLimit = c.addressSpace;

  const auto result = runVarnolix(dir.path(), options);

  EXPECT_EQ(result.signal, 0);
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_EQ(result.standardError, "");
  const std::string message = lastLine(result.standardOutput);
  EXPECT_EQ(message.rfind(c.lastLineStart, 0), 0u) << message;
  EXPECT_NE(message.find(c.lastLineEnd), std::string::npos) << message;
  expectWholeLinePrefixes(regularFiles(dir.path()), complete);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, MemoryTest,
    ::testing::Values(
        // test.csv is one endless line.
        MemoryCase{"EndlessLine",
                   [](const std::string& dir) {
                     ::symlink("/dev/zero", (dir + "/test.csv").c_str());
                     return Files();
                   },
                   rlim_t{256} << 20, "Could not read CSV File 'test.csv': Cannot allocate memory\n", ""},
        // Every new key takes a block of its own: 20,000 of them need more than the limit.
        MemoryCase{"ManyKeys",
                   [](const std::string& dir) {
                     std::string input;
                     Files complete;
                     for (int i = 0; i < 20000; ++i) {
                       const std::string key = "key" + std::to_string(i);
                       complete[key] = key + ";" + std::to_string(i) + "\n";
                       input += complete[key];
                     }
                     writeFile(dir + "/test.csv", input);
                     return complete;
                   },
                   rlim_t{24} << 20, "Could not write output file 'key", "': Cannot allocate memory\n"}),
    testing_support::CaseName());

// From the smallest address space in which the program starts at all, every limit ends in
// a complete run or in a message: never in an abort.
TEST(Faults, EveryMemoryLimitEndsInFilesOrAMessage) {
#ifdef VARNOLIX_SANITIZED
  GTEST_SKIP() << "AddressSanitizer reserves far more address space than any limit this test could set";
#endif
  const auto [input, files] = interleavedInput(30, 20000);
  for (rlim_t kib = 3072; kib <= 12288; kib += 128) {
    TempDir dir;
    writeFile(dir / "test.csv", input);
    RunOptions options;
    options.addressSpaceLimit = kib << 10;
    const auto result = runVarnolix(dir.path(), options);
    if (result.exitStatus == 127) continue;  // the loader could not map the program
    SCOPED_TRACE("ulimit -v " + std::to_string(kib));
    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(result.standardError, "");
    if (result.exitStatus == 0) {
      EXPECT_EQ(regularFiles(dir.path()), files);
      continue;
    }
    EXPECT_EQ(result.exitStatus, 1);
    const std::string message = lastLine(result.standardOutput);
    EXPECT_EQ(message.rfind("Could not ", 0), 0u) << message;
    EXPECT_NE(message.find(": Cannot allocate memory\n"), std::string::npos) << message;
    expectWholeLinePrefixes(regularFiles(dir.path()), files);
  }
}

TEST(Faults, InputFolderIsReportedAsUnopenable) {
  TempDir dir;
  ASSERT_EQ(::mkdir((dir / "test.csv").c_str(), 0755), 0);
  const auto result = runVarnolix(dir.path());
  EXPECT_EQ(result.standardOutput, "Could not open CSV File 'test.csv'\n");
  EXPECT_EQ(result.exitStatus, 1);
}

TEST(Faults, ReadErrorAfterDataIsReportedAndReadLinesLand) {
  const auto [input, files] = interleavedInput(30, 60000);
  constexpr std::size_t kFailAfter = 300000;
  ASSERT_GT(input.size(), 2 * kFailAfter);
  TempDir dir;
  writeFile(dir / "test.csv", input);
  RunOptions options;
  options.environment = {{"LD_PRELOAD", FAILING_IO_LIBRARY},
                         {"VARNOLIX_TEST_FAIL_READ_AFTER", std::to_string(kFailAfter)}};
  const auto result = runVarnolix(dir.path(), options);
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_EQ(lastLine(result.standardOutput), "Could not read CSV File 'test.csv': Input/output error\n");
  // Whatever was read in whole landed, in order, and nothing else.
  const Files written = regularFiles(dir.path());
  std::size_t linesWritten = 0;
  for (const auto& [name, content] : written) {
    EXPECT_EQ(content, files.at(name).substr(0, content.size())) << name;
    linesWritten += static_cast<std::size_t>(std::count(content.begin(), content.end(), '\n'));
  }
  EXPECT_GE(linesWritten, static_cast<std::size_t>(std::count(input.begin(), input.begin() + kFailAfter, '\n')));
  EXPECT_LT(linesWritten, static_cast<std::size_t>(std::count(input.begin(), input.end(), '\n')));
}

}  // namespace
