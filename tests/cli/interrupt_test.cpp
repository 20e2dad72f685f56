// Stops a running varnolix with a signal, as a user at a terminal or a wrapper such as
// timeout does, and checks that every line it narrated is in its file, that every file holds
// whole lines, and that it ends by the signal without narrating more.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using testing_support::expectWholeLinePrefixes;
using testing_support::finishVarnolix;
using testing_support::interleavedInput;
using testing_support::readOutput;
using testing_support::regularFiles;
using testing_support::RunOptions;
using testing_support::Started;
using testing_support::startVarnolix;
using testing_support::Stdout;
using testing_support::TempDir;
using testing_support::waitUntilBlockedIn;
using testing_support::writeFile;

using Files = std::map<std::string, std::string>;

// Expects the narration of a stopped run to end without a key count or "clozing" line, and
// every line it narrates as appended to be in its key's file, in order. The narration may
// stop short of what the files hold (what could not go out at once is dropped), never the
// other way round.
void expectNarratedLinesInFiles(const std::string& narration, const Files& files, bool nothingAfterTheLines) {
  Files narrated;
  std::size_t endLines = 0;
  for (std::size_t start = 0, end; (end = narration.find('\n', start)) != std::string::npos; start = end + 1) {
    const std::string line = narration.substr(start, end - start);
    if (line == "clozing" || line.find_first_not_of("0123456789") == std::string::npos) ++endLines;
    if (line.rfind("appending: ", 0) != 0) continue;
    const std::string record = line.substr(11);
    narrated[record.substr(0, record.find(';'))] += record + "\n";
  }
  if (nothingAfterTheLines) {
    EXPECT_EQ(endLines, 0u) << "a stopped run narrated its key count or a \"clozing\" line";
  }
  ASSERT_FALSE(narrated.empty()) << "nothing was narrated before the signal";
  for (const auto& [key, lines] : narrated) {
    const auto file = files.find(key);
    ASSERT_NE(file, files.end()) << key;
    EXPECT_TRUE(file->second.compare(0, lines.size(), lines) == 0) << key << " lacks lines that were narrated";
  }
}

// Returns once `pid` is stopped (by SIGSTOP).
void waitUntilStopped(pid_t pid) {
  for (int tries = 0; tries < 5000; ++tries) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const std::size_t state = line.rfind(") ");
    if (state != std::string::npos && line.compare(state + 2, 1, "T") == 0) return;
    ::usleep(1000);
  }
  FAIL() << "the program never stopped";
}

struct InterruptCase {
  const char* name;
  int keys;
  int lines;
  int signal;
  std::size_t narrationBeforeSignal = 0;  // bytes read before the signal is sent, then no more
  std::string signalAfter = "";           // or: read on until the narration holds this, and on
  std::optional<rlim_t> openFileLimit = std::nullopt;
  bool throughTimeout = false;   // the signal goes to `timeout`, which passes it on twice
  bool toTerminal = false;       // standard output a terminal that stalls
  bool filesCannotGrow = false;  // the file size limit drops to what the files hold, then the signal
  std::string lastLine = "";     // the message the narration must end with, if any
  bool ignoredAtStart = false;   // the signal was ignored when the program started (nohup)
  std::optional<rlim_t> addressSpace = std::nullopt;  // little memory: lines are set aside
  std::vector<std::pair<std::string, std::string>> environment = {};
};

void PrintTo(const InterruptCase& c, std::ostream* os) { *os << c.name; }

class InterruptTest : public ::testing::TestWithParam<InterruptCase> {};

TEST_P(InterruptTest, EndsByTheSignalWithNarratedLinesInWholeFiles) {
  const InterruptCase& c = GetParam();
#ifdef VARNOLIX_SANITIZED
  if (c.addressSpace) GTEST_SKIP() << "AddressSanitizer reserves far more address space than this limit";
#endif
  const auto [input, files] = interleavedInput(c.keys, c.lines);
  TempDir dir;
  writeFile(dir / "test.csv", input);
  RunOptions options;
  options.openFileLimit = c.openFileLimit;
  if (c.throughTimeout) options.wrapper = {"/usr/bin/timeout", "60"};
  if (c.toTerminal) options.standardOutput = Stdout::kTerminal;
  options.hangupIgnored = c.ignoredAtStart;
  options.addressSpaceLimit = c.addressSpace;
  options.environment = c.environment;

  Started started = startVarnolix(dir.path(), options);
  if (!c.signalAfter.empty()) {
    while (started.output >= 0 && started.read.find(c.signalAfter) == std::string::npos) {
      readOutput(started, started.read.size() + 1);
    }
    ASSERT_NE(started.read.find(c.signalAfter), std::string::npos) << "the run ended before the signal";
  } else {
    readOutput(started, c.narrationBeforeSignal);
    ASSERT_GE(started.read.size(), c.narrationBeforeSignal) << "the run ended before the signal";
    // The program now waits for a reader that does not read: the signal lands mid-run.
    if (!c.throughTimeout) waitUntilBlockedIn(started.pid, SYS_write, STDOUT_FILENO);
  }
  if (c.filesCannotGrow) {
    rlim_t held = 0;
    for (const auto& [name, content] : regularFiles(dir.path())) held = std::max<rlim_t>(held, content.size());
    const rlimit limit{held, held};
    ASSERT_EQ(::prlimit(started.pid, RLIMIT_FSIZE, &limit, nullptr), 0);
  }
  const auto signalled = std::chrono::steady_clock::now();
  if (c.toTerminal) {
    // The session took one last small piece, then stalled: the terminal has room, but less
    // than a write needs. Stopped meanwhile, the program cannot fill that room before it
    // sees the signal.
    ASSERT_EQ(::kill(started.pid, SIGSTOP), 0);
    waitUntilStopped(started.pid);
    char piece[1000];
    const ssize_t taken = ::read(started.terminal, piece, sizeof piece);
    ASSERT_GT(taken, 0);
    started.read.append(piece, static_cast<std::size_t>(taken));
    ASSERT_EQ(::kill(started.pid, c.signal), 0);
    ASSERT_EQ(::kill(started.pid, SIGCONT), 0);
  } else {
    ASSERT_EQ(::kill(started.pid, c.signal), 0);
  }
  const auto result = finishVarnolix(started);
  const auto took = std::chrono::steady_clock::now() - signalled;

  EXPECT_EQ(result.standardError, "");
  if (c.ignoredAtStart) {  // it stays ignored: the run completes
    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_TRUE(regularFiles(dir.path()) == files) << "files differ from a complete run";
    return;
  }
  EXPECT_EQ(result.signal, c.signal);
  EXPECT_LT(took, std::chrono::seconds(5)) << "a reader that does not read held the program";
  const Files written = regularFiles(dir.path());
  if (c.lastLine.empty()) {
    expectNarratedLinesInFiles(result.standardOutput, written, c.signalAfter.empty());
  } else {
    // The file that failed may lack lines the narration named; the message ends it, on a
    // line of its own.
    EXPECT_EQ(testing_support::lastLine(result.standardOutput), c.lastLine);
  }
  expectWholeLinePrefixes(written, files);
  if (!c.signalAfter.empty()) {
    int closing = 0;
    for (std::size_t at = 0; (at = result.standardOutput.find("\nclozing\n", at)) != std::string::npos; ++at) ++closing;
    EXPECT_LT(closing, c.keys) << "a \"clozing\" line for every file although the run was stopped";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Interrupt, InterruptTest,
    ::testing::Values(InterruptCase{"HundredKeys", 100, 600000, SIGTERM, 8 << 20},
                      InterruptCase{"ThousandsOfKeysFewDescriptors", 3000, 300000, SIGINT, 4 << 20, "", rlim_t{64}},
                      InterruptCase{"ThroughTimeout", 100, 600000, SIGHUP, 8 << 20, "", std::nullopt, true},
                      // A stalled remote session: the terminal takes less than one write.
                      InterruptCase{"TerminalNobodyReads", 100, 600000, SIGTERM, 0, "", std::nullopt, false, true},
                      InterruptCase{"WriteOutFailsAfterTheStop", 1, 200000, SIGTERM, 0, "", std::nullopt, false, false,
                                    true, "Could not write output file 'k0': File too large\n"},
                      // Ignored at start, as under nohup: it stays ignored.
                      InterruptCase{"HangupUnderNohup", 100, 600000, SIGHUP, 8 << 20, "", std::nullopt, false, false,
                                    false, "", true},
                      // Stopped after lines were set aside: they come back into their files.
                      InterruptCase{"LinesSetAside", 400, 600000, SIGTERM, 16 << 20, "", rlim_t{16}, false, false,
                                    false, "", false, rlim_t{16} << 20},
                      // Setting lines aside failed before the stop: what was in memory and set
                      // aside went to the files then, and the stop ends the run as usual.
                      InterruptCase{
                          "SettingAsideFailedBeforeTheStop",
                          400,
                          600000,
                          SIGTERM,
                          16 << 20,
                          "",
                          rlim_t{16},
                          false,
                          false,
                          false,
                          "",
                          false,
                          rlim_t{16} << 20,
                          {{"LD_PRELOAD", FAILING_IO_LIBRARY}, {"VARNOLIX_TEST_FAIL_PWRITE", "EFBIG@500000"}}},
                      // The write-out after the stop reopens files closed to make room; a
                      // signal landing in such an open is no reason to give the file up.
                      InterruptCase{"ReopensInterruptedAfterTheStop",
                                    400,
                                    300000,
                                    SIGTERM,
                                    4 << 20,
                                    "",
                                    rlim_t{16},
                                    false,
                                    false,
                                    false,
                                    "",
                                    false,
                                    std::nullopt,
                                    {{"LD_PRELOAD", FAILING_IO_LIBRARY}, {"VARNOLIX_TEST_FAIL_REOPEN", "EINTR"}}},
                      // One line per key: the signal comes while the files are being closed.
                      InterruptCase{"WhileClosing", 5000, 5000, SIGINT, 0, "\n5000\n"}),
    testing_support::CaseName());

// test.csv is a FIFO whose writer sends `lines` (or never opens it) and then goes quiet:
// the program waits inside open() or read(), and a signal must end that wait.
struct FifoCase {
  const char* name;
  std::optional<std::string> lines;  // none: no writer at all
  long waitingIn;                    // the system call the program waits in (on the input, descriptor 3)
  std::string narration;
  Files files;
};

void PrintTo(const FifoCase& c, std::ostream* os) { *os << c.name; }

class FifoInterruptTest : public ::testing::TestWithParam<FifoCase> {};

TEST_P(FifoInterruptTest, SignalEndsTheWaitAndKeepsWhatWasRead) {
  const FifoCase& c = GetParam();
  TempDir dir;
  ASSERT_EQ(::mkfifo((dir / "test.csv").c_str(), 0644), 0);
  Started started = startVarnolix(dir.path());
  int writer = -1;
  if (c.lines) {
    writer = ::open((dir / "test.csv").c_str(), O_WRONLY);  // returns once the program opened it
    ASSERT_GE(writer, 0);
    ASSERT_EQ(::write(writer, c.lines->data(), c.lines->size()), static_cast<ssize_t>(c.lines->size()));
  }
  waitUntilBlockedIn(started.pid, c.waitingIn, c.waitingIn == SYS_read ? 3 : -1);
  ASSERT_EQ(::kill(started.pid, SIGTERM), 0);  // a program that restarts its wait never ends (alarm)
  const auto result = finishVarnolix(started);
  if (writer >= 0) ::close(writer);

  EXPECT_EQ(result.signal, SIGTERM);
  EXPECT_EQ(result.standardOutput, c.narration);
  EXPECT_EQ(regularFiles(dir.path()), c.files);
}

INSTANTIATE_TEST_SUITE_P(Interrupt, FifoInterruptTest,
                         ::testing::Values(FifoCase{"NoWriter", std::nullopt, SYS_openat, "", {}},
                                           FifoCase{"WriterGoesQuiet",
                                                    "a;1\nb;2\n",
                                                    SYS_read,
                                                    "a;1\nappending: a;1\nb;2\nappending: b;2\n",
                                                    {{"a", "a;1\n"}, {"b", "b;2\n"}}}),
                         testing_support::CaseName());

}  // namespace
