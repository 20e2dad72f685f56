// Provokes every failure varnolix guards against and checks that nothing is lost,
// nothing outside the working folder is touched, and the failure is reported.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using testing_support::expectWholeLinePrefixes;
using testing_support::interleavedInput;
using testing_support::lastLine;
using testing_support::readFile;
using testing_support::readOutput;
using testing_support::regularFiles;
using testing_support::RunOptions;
using testing_support::runVarnolix;
using testing_support::Started;
using testing_support::Stdout;
using testing_support::TempDir;
using testing_support::waitUntilBlockedIn;
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

  // A key too long to be a file name shows as its first NAME_MAX bytes and "...".
  const std::string shown = key.size() > NAME_MAX ? key.substr(0, NAME_MAX) + "..." : key;
  EXPECT_EQ(result.standardOutput,
            "a;1\nappending: a;1\n" + key + ";2\nCould not open output file '" + shown + "': " + c.reason + "\n");
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

// Returns the least address space, in KiB, in which a run of two lines completes.
rlim_t leastAddressSpaceKib() {
  static const rlim_t least = [] {
    rlim_t fails = 1024;
    rlim_t completes = 64 * 1024;
    while (completes - fails > 16) {
      const rlim_t middle = (fails + completes) / 2;
      TempDir dir;
      writeFile(dir / "test.csv", "a;1\nb;2\n");
      RunOptions options;
      options.addressSpaceLimit = middle << 10;
      (runVarnolix(dir.path(), options).exitStatus == 0 ? completes : fails) = middle;
    }
    return completes;
  }();
  return least;
}

// --- Failing output and input files ------------------------------------------------

enum class WriteFault {
  kFileSizeLimit,
  kFailingWrite,
  kFullFileSystem,
  kReplacedDuringTheRun,
  kFailingClose,   // a close while making room fails: reported at the file's next use
  kFailingReopen,  // a file closed to make room cannot be opened again
  kSettingAside,   // little memory: most lines are set aside, and that may fail as the case says
};

// Puts something else under the name of a key's file in the working folder while the run
// goes on; returns a check of what it put there, for after the run.
using Replacement = std::function<std::function<void()>(const std::string& work, const std::string& name)>;

struct WriteFailureCase {
  const char* name;
  WriteFault fault;
  std::string reason;
  std::string failingKey = "";  // the only file that may fail; others must hold every line narrated for them
  Replacement replace = nullptr;
  std::function<std::pair<std::string, Files>()> input = [] { return interleavedInput(40, 60000); };
  bool needsRoot = false;          // to make a device node, or mount a file system
  std::string closeFails = "100";  // for kFailingClose: VARNOLIX_TEST_FAIL_CLOSE_AFTER
  // For kSettingAside, what goes wrong with the lines set aside:
  std::string setAsideFails = "";  // how writing them fails (VARNOLIX_TEST_FAIL_PWRITE)
  bool readBackFails = false;
  bool unnamedFilesInTheFolder = true;  // false: the unnamed file must go to TMPDIR
  bool roomGivenBack = true;            // false: the file system punches no holes
  // The output folder is a file system of its own, with this much room beyond the output
  // (negative: too small for it); test.csv lies outside. Needs root.
  std::optional<long long> roomBeyondOutput = std::nullopt;
  // The address space, in KiB above the least any run needs; none: 16 MiB.
  std::optional<rlim_t> kibAboveLeast = std::nullopt;
  // A check of what the failing-I/O library saw (set-aside, given-back, unnamed-in), given
  // the test's folder.
  std::function<void(const Files& report, const std::string& dir)> checkReport = nullptr;

  WriteFailureCase failingToSetAside(std::string how) const {
    WriteFailureCase changed = *this;
    changed.setAsideFails = std::move(how);
    return changed;
  }
};

// A run that must set most of its lines aside: 400 keys, 16 descriptors, 16 MiB of memory.
WriteFailureCase settingAside(const char* name, std::string reason) {
  return WriteFailureCase{
      name, WriteFault::kSettingAside, std::move(reason), "", nullptr, [] { return interleavedInput(400, 300000); }};
}

// Returns the lines "name value" of the failing-I/O library's report as a map.
Files readReport(const std::string& path) {
  Files report;
  std::ifstream in(path);
  for (std::string name, value; in >> name >> value;) report[name] = value;
  return report;
}

std::uint64_t reported(const Files& report, const std::string& name) {
  const auto found = report.find(name);
  return found == report.end() ? 0 : std::stoull(found->second);
}

void PrintTo(const WriteFailureCase& c, std::ostream* os) { *os << c.name; }

class WriteFailureTest : public ::testing::TestWithParam<WriteFailureCase> {};

// Unmounts a file system mounted for a test, also when the test fails early.
struct Unmount {
  std::string path;
  ~Unmount() {
    if (!path.empty()) ::umount(path.c_str());
  }
};

// Returns, per key, the lines the narration says were appended.
Files narratedLines(const std::string& narration) {
  Files narrated;
  for (std::size_t start = 0, end; (end = narration.find('\n', start)) != std::string::npos; start = end + 1) {
    if (narration.compare(start, 11, "appending: ") != 0) continue;
    const std::string record = narration.substr(start + 11, end - start - 11);
    narrated[record.substr(0, record.find(';'))] += record + "\n";
  }
  return narrated;
}

TEST_P(WriteFailureTest, ReportedWithWholeLinesInEveryFile) {
  const WriteFailureCase& c = GetParam();
  if (c.needsRoot && ::geteuid() != 0) GTEST_SKIP() << "only root can make a device node or mount a file system";
#ifdef VARNOLIX_SANITIZED
  if (c.fault == WriteFault::kSettingAside) {
    GTEST_SKIP() << "AddressSanitizer reserves far more address space than the limit that forces a spill";
  }
#endif
  const auto [input, files] = c.input();
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
    case WriteFault::kReplacedDuringTheRun:
      options.openFileLimit = 16;                // the file is closed to make room long before it is reopened
      options.fileSizeLimit = rlim_t{64} << 20;  // a run that wrote its own input would not fill the disk
      break;
    case WriteFault::kFailingClose:
      options.openFileLimit = 16;
      options.environment = {{"LD_PRELOAD", FAILING_IO_LIBRARY}, {"VARNOLIX_TEST_FAIL_CLOSE_AFTER", c.closeFails}};
      break;
    case WriteFault::kFailingReopen:
      options.openFileLimit = 16;
      options.environment = {{"LD_PRELOAD", FAILING_IO_LIBRARY}, {"VARNOLIX_TEST_FAIL_REOPEN", "1"}};
      break;
    case WriteFault::kSettingAside: {
      // Little memory and few descriptors: most lines are set aside rather than written.
      options.openFileLimit = 16;
      options.addressSpaceLimit =
          c.kibAboveLeast ? (leastAddressSpaceKib() + *c.kibAboveLeast) << 10 : rlim_t{16} << 20;
      options.environment = {{"LD_PRELOAD", FAILING_IO_LIBRARY}, {"VARNOLIX_TEST_REPORT", dir / "report"}};
      if (!c.setAsideFails.empty()) options.environment.emplace_back("VARNOLIX_TEST_FAIL_PWRITE", c.setAsideFails);
      if (c.readBackFails) options.environment.emplace_back("VARNOLIX_TEST_FAIL_PREAD", "1");
      if (!c.roomGivenBack) options.environment.emplace_back("VARNOLIX_TEST_NO_HOLES", "1");
      if (!c.unnamedFilesInTheFolder) {
        ASSERT_EQ(::mkdir((dir / "elsewhere").c_str(), 0755), 0);
        options.environment.emplace_back("VARNOLIX_TEST_NO_UNNAMED_FILES", work);
        options.environment.emplace_back("TMPDIR", dir / "elsewhere");
      }
      if (c.roomBeyondOutput) {
        long long pages = 0;  // a tmpfs gives each file whole pages
        for (const auto& [key, content] : files) pages += static_cast<long long>((content.size() + 4095) / 4096);
        const std::string size = "size=" + std::to_string(pages * 4096 + *c.roomBeyondOutput);
        if (::mount("tmpfs", work.c_str(), "tmpfs", 0, size.c_str()) != 0) {
          GTEST_SKIP() << "cannot mount a small tmpfs here: " << std::strerror(errno);
        }
        unmount.path = work;
        writeFile(dir / "test.csv", input);
        ASSERT_EQ(::symlink("../test.csv", (work + "/test.csv").c_str()), 0);
      }
      break;
    }
  }
  if (!c.roomBeyondOutput) writeFile(work + "/test.csv", input);

  Started started = testing_support::startVarnolix(work, options);
  std::function<void()> checkReplacement = [] {};
  if (c.replace) {
    // Once the key's file was made and a thousand lines more went by, the run waits on
    // standard output while its file is replaced.
    const std::string made = "appending: " + c.failingKey + ";";
    while (started.output >= 0 && started.read.find(made) == std::string::npos)
      readOutput(started, started.read.size() + 1);
    readOutput(started, started.read.find(made) + 100000);
    waitUntilBlockedIn(started.pid, SYS_write, STDOUT_FILENO);
    checkReplacement = c.replace(work, c.failingKey);
  }
  const auto result = testing_support::finishVarnolix(started);
  if (c.checkReport) c.checkReport(readReport(dir / "report"), dir.path());

  EXPECT_EQ(result.signal, 0);
  EXPECT_TRUE(readFile(work + "/test.csv") == input) << "test.csv was written";
  if (c.reason.empty()) {  // not a failure of the run: every line lands
    EXPECT_EQ(result.exitStatus, 0) << lastLine(result.standardOutput);
    EXPECT_TRUE(regularFiles(work) == files) << "files differ from a complete run";
    return;
  }
  EXPECT_EQ(result.exitStatus, 1);
  const std::string message = lastLine(result.standardOutput);
  const std::string expectedStart =
      c.readBackFails ? "Could not read temporary data in the output folder"
                      : "Could not write output file '" + (c.failingKey.empty() ? "k" : c.failingKey + "'");
  EXPECT_EQ(message.rfind(expectedStart, 0), 0u) << message;
  EXPECT_NE(message.find((c.readBackFails ? ": " : "': ") + c.reason + "\n"), std::string::npos) << message;
  Files written = regularFiles(work);
  if (c.replace) written.erase(c.failingKey);  // what stands there now is not the run's
  EXPECT_FALSE(written.empty());
  expectWholeLinePrefixes(written, files);
  if (!c.failingKey.empty()) {
    for (const auto& [key, lines] : narratedLines(result.standardOutput)) {
      if (key == c.failingKey) continue;
      EXPECT_TRUE(written[key].compare(0, lines.size(), lines) == 0) << key << " lacks lines narrated for it";
    }
  }
  checkReplacement();
}

// Returns a check that `path` still holds what it held.
std::function<void()> unchanged(const std::string& path) {
  return [path, before = readFile(path)] { EXPECT_TRUE(readFile(path) == before) << path << " was written"; };
}

void replaceWithLinkTo(const std::string& target, const std::string& path) {
  ASSERT_EQ(::unlink(path.c_str()), 0);
  ASSERT_EQ(::link(target.c_str(), path.c_str()), 0);
}

// One key with 200 KB of lines among others with a few: only that one reaches the limit.
std::pair<std::string, Files> oneBigFile() {
  std::string input;
  Files files;
  for (int i = 0; i < 6000; ++i) {
    const std::string key = i % 2 == 0 ? "big" : "k" + std::to_string(i % 500);
    const std::string line = key + ";" + std::to_string(i) + ";" + std::string(60, 'x');
    input += line + "\n";
    files[key] += line + "\n";
  }
  return {input, files};
}

INSTANTIATE_TEST_SUITE_P(
    Faults, WriteFailureTest,
    ::testing::Values(
        WriteFailureCase{"FileSizeLimit", WriteFault::kFileSizeLimit, "File too large"},
        WriteFailureCase{"WriteFailsPartWay", WriteFault::kFailingWrite, "No space left on device"},
        WriteFailureCase{"FullFileSystem", WriteFault::kFullFileSystem, "No space left on device"},
        // The file that fails is the only one that may lack lines it was told.
        WriteFailureCase{"OneFileTooLarge", WriteFault::kFileSizeLimit, "File too large", "big", nullptr, oneBigFile},
        // A failure that only closing a file reports is not lost when the close made room.
        WriteFailureCase{"CloseFailsWhileMakingRoom", WriteFault::kFailingClose, "Input/output error", "", nullptr,
                         [] { return interleavedInput(400, 60000); }},
        // Whatever its errno (EPERM is 1, which once also meant "closed"), and when it is the
        // only close that fails.
        [] {
          WriteFailureCase c{"CloseFailsWithEPERMWhileMakingRoom",
                             WriteFault::kFailingClose,
                             "Operation not permitted",
                             "",
                             nullptr,
                             [] { return interleavedInput(400, 60000); }};
          c.closeFails = "100,EPERM,once";
          return c;
        }(),
        WriteFailureCase{"ReopenFails", WriteFault::kFailingReopen, "Permission denied", "", nullptr,
                         [] { return interleavedInput(400, 60000); }},
        // A file is reopened only while it is the file created: whatever stands under its
        // name instead is never written.
        WriteFailureCase{"ReplacedByTheInput", WriteFault::kReplacedDuringTheRun, "it was replaced during the run",
                         "k7",
                         [](const std::string& work, const std::string& name) {
                           replaceWithLinkTo(work + "/test.csv", work + "/" + name);
                           return std::function<void()>([] {});  // test.csv is compared anyway
                         },
                         [] { return interleavedInput(400, 60000); }},
        WriteFailureCase{"ReplacedByAFileElsewhere", WriteFault::kReplacedDuringTheRun,
                         "it was replaced during the run", "k7",
                         [](const std::string& work, const std::string& name) {
                           writeFile(work + "/../elsewhere", "not the run's\n");
                           replaceWithLinkTo(work + "/../elsewhere", work + "/" + name);
                           return unchanged(work + "/../elsewhere");
                         },
                         [] { return interleavedInput(400, 60000); }},
        WriteFailureCase{"ReplacedByASymbolicLink", WriteFault::kReplacedDuringTheRun, "it was replaced during the run",
                         "k7",
                         [](const std::string& work, const std::string& name) {
                           writeFile(work + "/../target", "not the run's\n");
                           ::unlink((work + "/" + name).c_str());
                           ::symlink("../target", (work + "/" + name).c_str());
                           return unchanged(work + "/../target");
                         },
                         [] { return interleavedInput(400, 60000); }},
        WriteFailureCase{"ReplacedByAFifoWithAReader", WriteFault::kReplacedDuringTheRun,
                         "it was replaced during the run", "k7",
                         [](const std::string& work, const std::string& name) {
                           const std::string fifo = work + "/" + name;
                           ::unlink(fifo.c_str());
                           ::mkfifo(fifo.c_str(), 0644);
                           const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
                           return std::function<void()>([reader] {
                             char byte;
                             EXPECT_LE(::read(reader, &byte, 1), 0) << "lines went into the FIFO";
                             ::close(reader);
                           });
                         },
                         [] { return interleavedInput(400, 60000); }},
        WriteFailureCase{"ReplacedByADevice", WriteFault::kReplacedDuringTheRun, "it was replaced during the run", "k7",
                         [](const std::string& work, const std::string& name) {
                           ::unlink((work + "/" + name).c_str());
                           // The null device: whatever went there would be lost unseen.
                           EXPECT_EQ(::mknod((work + "/" + name).c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
                           return std::function<void()>([] {});
                         },
                         [] { return interleavedInput(400, 60000); }, true},
        // Lines that cannot be set aside go to their files instead, and memory is written
        // out in rounds from then on: never a reason for the run to fail.
        settingAside("SpillFileFull", "").failingToSetAside("ENOSPC"),
        settingAside("SpillFileFullMidRun", "").failingToSetAside("ENOSPC@1000000"),
        settingAside("SpillFileTooLarge", "").failingToSetAside("EFBIG@1000000"),
        [] {
          WriteFailureCase c = settingAside("SpillFileUnreadable", "Input/output error");
          c.readBackFails = true;
          return c;
        }(),
        // Where the folder's file system has no unnamed files, TMPDIR holds the lines set aside.
        [] {
          WriteFailureCase c = settingAside("NoUnnamedFilesInTheFolder", "");
          c.unnamedFilesInTheFolder = false;
          c.checkReport = [](const Files& report, const std::string& dir) {
            char elsewhere[PATH_MAX];
            ASSERT_NE(::realpath((dir + "/elsewhere").c_str(), elsewhere), nullptr);
            EXPECT_EQ(report.count("unnamed-in") ? report.at("unnamed-in") : "", elsewhere);
            EXPECT_GT(reported(report, "set-aside"), 1000000u) << "lines were not set aside";
          };
          return c;
        }(),
        // Lines read back stop taking room: a file system that holds the output is enough.
        [] {
          WriteFailureCase c = settingAside("RoomGivenBackAsLinesAreReadBack", "");
          c.checkReport = [](const Files& report, const std::string&) {
            EXPECT_GT(reported(report, "set-aside"), 1000000u) << "lines were not set aside";
            EXPECT_GE(reported(report, "given-back"), reported(report, "set-aside") * 9 / 10);
          };
          return c;
        }(),
        [] {
          WriteFailureCase c = settingAside("OutputFillsTheFileSystem", "");
          c.roomBeyondOutput = 1 << 20;
          c.needsRoot = true;
          return c;
        }(),
        // Many runs set aside, each read back in whole blocks whose room is given back once
        // read: a file system with four blocks more than the output holds it.
        [] {
          WriteFailureCase c = settingAside("ManyRunsInAFileSystemThatJustHoldsTheOutput", "");
          c.input = [] { return interleavedInput(2000, 300000); };
          c.kibAboveLeast = 1000;  // about 40 runs
          c.roomBeyondOutput = 16 << 10;
          c.needsRoot = true;
          return c;
        }(),
        // Where no room can be given back, lines are not set aside there at all.
        [] {
          WriteFailureCase c = settingAside("OutputFillsAFileSystemWithoutHoles", "");
          c.roomBeyondOutput = 1 << 20;
          c.roomGivenBack = false;
          c.needsRoot = true;
          c.checkReport = [](const Files& report, const std::string&) { EXPECT_EQ(reported(report, "set-aside"), 0u); };
          return c;
        }(),
        // When the output itself does not fit, the message names a file that it left short.
        [] {
          WriteFailureCase c = settingAside("OutputLargerThanTheFileSystem", "No space left on device");
          c.roomBeyondOutput = -(6 << 20);  // half the output: less than what is set aside
          c.needsRoot = true;
          return c;
        }()),
    testing_support::CaseName());

// --- Lack of memory ----------------------------------------------------------------

struct MemoryCase {
  const char* name;
  std::function<Files(const std::string& dir)> setUp;  // returns the files a complete run makes
  rlim_t addressSpace;                                 // bytes; unused when kibAboveLeast is given
  std::string lastLineStart;                           // none: the run completes
  std::string lastLineEnd;
  // Limits near the least any run needs (in KiB above it: limits near it move with the
  // build): at each the run completes, or fails as the last line says with every line it
  // narrated as appended in its file.
  std::vector<rlim_t> kibAboveLeast = {};
};

void PrintTo(const MemoryCase& c, std::ostream* os) { *os << c.name; }

class MemoryTest : public ::testing::TestWithParam<MemoryCase> {};

TEST_P(MemoryTest, CompletesOrReportsAFailureWithWholeLines) {
#ifdef VARNOLIX_SANITIZED
  GTEST_SKIP() << "AddressSanitizer reserves far more address space than any limit this test could set";
#endif
  const MemoryCase& c = GetParam();
  std::vector<rlim_t> limits{c.addressSpace};
  if (!c.kibAboveLeast.empty()) {
    limits.clear();
    for (const rlim_t kib : c.kibAboveLeast) limits.push_back((leastAddressSpaceKib() + kib) << 10);
  }
  for (const rlim_t limit : limits) {
    SCOPED_TRACE("ulimit -v " + std::to_string(limit >> 10));
    TempDir dir;
    const Files complete = c.setUp(dir.path());
    RunOptions options;
    options.addressSpaceLimit = limit;

    const auto result = runVarnolix(dir.path(), options);

    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(result.standardError, "");
    if (c.lastLineStart.empty() || (!c.kibAboveLeast.empty() && result.exitStatus == 0)) {
      EXPECT_EQ(result.exitStatus, 0) << lastLine(result.standardOutput);
      EXPECT_TRUE(regularFiles(dir.path()) == complete) << "files differ";
      continue;
    }
    EXPECT_EQ(result.exitStatus, 1);
    const std::string message = lastLine(result.standardOutput);
    EXPECT_EQ(message.rfind(c.lastLineStart, 0), 0u) << message.substr(0, 400);
    EXPECT_NE(message.find(c.lastLineEnd), std::string::npos) << message.substr(0, 400);
    Files written = regularFiles(dir.path());
    expectWholeLinePrefixes(written, complete);
    std::vector<std::string> lacking;
    for (const auto& [key, lines] : narratedLines(result.standardOutput)) {
      if (written[key].compare(0, lines.size(), lines) != 0) lacking.push_back(key);
    }
    EXPECT_TRUE(lacking.empty()) << lacking.size() << " files lack lines narrated for them, " << lacking.front();
  }
}

// Writes `input` as test.csv in `dir`; returns the files a complete run makes of it.
Files inputOf(const std::string& dir, const std::string& input) {
  writeFile(dir + "/test.csv", input);
  Files complete;
  for (std::size_t start = 0, end; (end = input.find('\n', start)) != std::string::npos; start = end + 1) {
    const std::string line = input.substr(start, end - start);
    complete[line.substr(0, line.find(';'))] += line + "\n";
  }
  return complete;
}

// One line per key, `count` keys.
Files oneLinePerKey(const std::string& dir, int count) {
  std::string input;
  for (int i = 0; i < count; ++i) input += "key" + std::to_string(i) + ";" + std::to_string(i) + "\n";
  return inputOf(dir, input);
}

// Many lines over 300 keys, so that lines are set aside, then 3,300 new keys of 60 bytes.
Files newKeysAfterLinesSetAside(const std::string& dir) {
  std::string input;
  char line[80];
  for (int i = 0; i < 100000; ++i) {
    std::snprintf(line, sizeof line, "k%03d;%07d;%s\n", i % 300, i, std::string(40, 'x').c_str());
    input += line;
  }
  for (int i = 0; i < 3300; ++i) {
    std::snprintf(line, sizeof line, "n%06d%s;1\n", i, std::string(53, 'L').c_str());
    input += line;
  }
  return inputOf(dir, input);
}

// 1,000 ordinary keys, then 128 keys of 112 bytes that collide under the fast hash whatever
// its seed, then every key again.
Files craftedKeysAfterOrdinaryOnes(const std::string& dir) {
  std::vector<std::string> crafted{""};
  for (int part = 0; part < 7; ++part) {
    char a[16];
    char b[16];
    std::snprintf(a, sizeof a, "cA%02dxaxa", part);
    std::snprintf(b, sizeof b, "cB%02dyayb", part);
    std::string flippedA = a;
    std::string flippedB = b;
    flippedA[7] = static_cast<char>(flippedA[7] ^ 0x80);
    flippedB[4] = static_cast<char>(flippedB[4] ^ 0x04);
    flippedB[7] = static_cast<char>(flippedB[7] ^ 0x80);
    std::vector<std::string> longer;
    for (const std::string& key : crafted) {
      longer.push_back(key + a + b);
      longer.push_back(key + flippedA + flippedB);
    }
    crafted.swap(longer);
  }
  std::vector<std::string> ordinary;
  for (int i = 0; i < 1000; ++i)
    ordinary.push_back("n" + std::string(7 - std::to_string(i).size(), '0') + std::to_string(i));
  std::string input;
  for (const std::string& key : ordinary) input += key + ";1\n";
  for (const std::string& key : crafted) input += key + ";2\n";
  for (const std::string& key : ordinary) input += key + ";3\n";
  for (const std::string& key : crafted) input += key + ";3\n";
  return inputOf(dir, input);
}

std::vector<rlim_t> kibSteps(rlim_t from, rlim_t to, rlim_t step) {
  std::vector<rlim_t> steps;
  for (rlim_t kib = from; kib <= to; kib += step) steps.push_back(kib);
  return steps;
}

const std::string kNewKeyWithoutMemory = "Could not write output file '";
const std::string kNoMemory = "': Cannot allocate memory\n";

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
        // Memory for waiting lines shrinks to what the limit leaves: 10,000 keys complete in 16 MiB.
        MemoryCase{"ManyKeysWithinTheLimit", [](const std::string& dir) { return oneLinePerKey(dir, 10000); },
                   rlim_t{16} << 20, "", ""},
        // A key of 20 MB is refused before anything copies it, and named by its first bytes.
        MemoryCase{"KeyFarLongerThanAFileName",
                   [](const std::string& dir) {
                     Files complete = oneLinePerKey(dir, 5000);
                     std::ofstream(dir + "/test.csv", std::ios::app) << std::string(20 << 20, 'x') << ";1\n";
                     return complete;
                   },
                   rlim_t{120} << 20, "Could not open output file '" + std::string(NAME_MAX, 'x') + "...'",
                   "': File name too long\n"},
        // Memory that reading lines set aside back needs is never given to new keys.
        MemoryCase{"NewKeysAfterLinesSetAside", newKeysAfterLinesSetAside, 0, kNewKeyWithoutMemory, kNoMemory,
                   kibSteps(200, 1000, 100)},
        // A key seen before is found whether or not there is memory for the index to rehash.
        MemoryCase{"CraftedKeysWithoutMemoryToRehash", craftedKeysAfterOrdinaryOnes, 0, kNewKeyWithoutMemory, kNoMemory,
                   kibSteps(200, 1000, 50)}),
    testing_support::CaseName());

// A last line without a line feed costs no more memory than one with it, however long the
// line before it.
TEST(Faults, LastLineWithoutLineFeedCostsNoMoreMemory) {
#ifdef VARNOLIX_SANITIZED
  GTEST_SKIP() << "AddressSanitizer reserves far more address space than any limit this test could set";
#endif
  const std::string lines = "a;1\nh;" + std::string(10 << 20, 'w') + "\nlast";
  const auto completesIn = [](const std::string& input, rlim_t kib) {
    TempDir dir;
    writeFile(dir / "test.csv", input);
    RunOptions options;
    options.addressSpaceLimit = kib << 10;
    const auto result = runVarnolix(dir.path(), options);
    return result.exitStatus == 0 && readFile(dir / "last") == "last\n";
  };
  rlim_t fails = leastAddressSpaceKib();
  rlim_t completes = 256 * 1024;
  ASSERT_TRUE(completesIn(lines + "\n", completes));
  while (completes - fails > 64) {
    const rlim_t middle = (fails + completes) / 2;
    (completesIn(lines + "\n", middle) ? completes : fails) = middle;
  }
  EXPECT_TRUE(completesIn(lines, completes)) << "ulimit -v " << completes << " holds it with a line feed only";
}

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
