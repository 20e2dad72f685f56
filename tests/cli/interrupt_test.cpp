// Stops a running varnolix with a signal, as a user at a terminal or a wrapper such as
// timeout does, and checks that every line it narrated is in its file, that every file holds
// whole lines, and that it ends by the signal without narrating more.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <map>
#include <optional>
#include <string>

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
using testing_support::TempDir;
using testing_support::writeFile;

using Files = std::map<std::string, std::string>;

// Expects the narration of a stopped run to end without a key count or "clozing" line, and
// every line it narrates as appended to be in its key's file, in order. The narration may
// stop short of what the files hold (what could not go out at once is dropped), never the
// other way round.
void expectNarratedLinesInFiles(const std::string& narration, const Files& files) {
  Files narrated;
  std::size_t endLines = 0;
  for (std::size_t start = 0, end; (end = narration.find('\n', start)) != std::string::npos; start = end + 1) {
    const std::string line = narration.substr(start, end - start);
    if (line == "clozing" || line.find_first_not_of("0123456789") == std::string::npos) ++endLines;
    if (line.rfind("appending: ", 0) != 0) continue;
    const std::string record = line.substr(11);
    narrated[record.substr(0, record.find(';'))] += record + "\n";
  }
  EXPECT_EQ(endLines, 0u) << "a stopped run narrated its key count or a \"clozing\" line";
  ASSERT_FALSE(narrated.empty()) << "nothing was narrated before the signal";
  for (const auto& [key, lines] : narrated) {
    const auto file = files.find(key);
    ASSERT_NE(file, files.end()) << key;
    EXPECT_TRUE(file->second.compare(0, lines.size(), lines) == 0) << key << " lacks lines that were narrated";
  }
}

struct InterruptCase {
  const char* name;
  int keys;
  int lines;
  std::size_t narrationBeforeSignal;  // bytes read before the signal is sent
  int signal;
  std::optional<rlim_t> openFileLimit;
  bool throughTimeout;  // the signal goes to `timeout`, which passes it on twice
};

void PrintTo(const InterruptCase& c, std::ostream* os) { *os << c.name; }

class InterruptTest : public ::testing::TestWithParam<InterruptCase> {};

TEST_P(InterruptTest, EndsByTheSignalWithNarratedLinesInWholeFiles) {
  const InterruptCase& c = GetParam();
  const auto [input, files] = interleavedInput(c.keys, c.lines);
  TempDir dir;
  writeFile(dir / "test.csv", input);
  RunOptions options;
  options.openFileLimit = c.openFileLimit;
  if (c.throughTimeout) options.wrapper = {"/usr/bin/timeout", "60"};

  Started started = startVarnolix(dir.path(), options);
  // The program now waits on the full pipe: the signal lands in the middle of the run.
  readOutput(started, c.narrationBeforeSignal);
  ASSERT_GE(started.read.size(), c.narrationBeforeSignal) << "the run ended before the signal";
  ASSERT_EQ(::kill(started.pid, c.signal), 0);
  const auto result = finishVarnolix(started);

  EXPECT_EQ(result.signal, c.signal);
  EXPECT_EQ(result.standardError, "");
  const Files written = regularFiles(dir.path());
  expectNarratedLinesInFiles(result.standardOutput, written);
  expectWholeLinePrefixes(written, files);
}

INSTANTIATE_TEST_SUITE_P(
    Interrupt, InterruptTest,
    ::testing::Values(InterruptCase{"HundredKeys", 100, 600000, 8 << 20, SIGTERM, std::nullopt, false},
                      InterruptCase{"ThousandsOfKeysFewDescriptors", 3000, 300000, 4 << 20, SIGINT, rlim_t{64}, false},
                      InterruptCase{"ThroughTimeout", 100, 600000, 8 << 20, SIGHUP, std::nullopt, true}),
    testing_support::CaseName());

// test.csv is a FIFO whose writer sends `lines` (or never opens it) and then goes quiet:
// the program waits inside open() or read(), and a signal must end that wait.
struct FifoCase {
  const char* name;
  std::optional<std::string> lines;  // none: no writer at all
  const char* waitingIn;             // the start of /proc/<pid>/syscall while the program waits
  std::string narration;
  Files files;
};

// Returns once `pid` is blocked in the system call that /proc/<pid>/syscall starts with `call`.
void waitUntilBlockedIn(pid_t pid, const std::string& call) {
  for (int tries = 0; tries < 5000; ++tries) {
    std::ifstream syscall("/proc/" + std::to_string(pid) + "/syscall");
    std::string now;
    std::getline(syscall, now);
    if (now.rfind(call, 0) == 0) return;
    ::usleep(1000);
  }
  FAIL() << "the program never waited in " << call;
}

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
  waitUntilBlockedIn(started.pid, c.waitingIn);
  ASSERT_EQ(::kill(started.pid, SIGTERM), 0);  // a program that restarts its wait never ends (alarm)
  const auto result = finishVarnolix(started);
  if (writer >= 0) ::close(writer);

  EXPECT_EQ(result.signal, SIGTERM);
  EXPECT_EQ(result.standardOutput, c.narration);
  EXPECT_EQ(regularFiles(dir.path()), c.files);
}

INSTANTIATE_TEST_SUITE_P(Interrupt, FifoInterruptTest,
                         ::testing::Values(FifoCase{"NoWriter", std::nullopt, "257 ", "", {}},
                                           // read() of descriptor 3, the input
                                           FifoCase{"WriterGoesQuiet",
                                                    "a;1\nb;2\n",
                                                    "0 0x3 ",
                                                    "a;1\nappending: a;1\nb;2\nappending: b;2\n",
                                                    {{"a", "a;1\n"}, {"b", "b;2\n"}}}),
                         testing_support::CaseName());

}  // namespace
