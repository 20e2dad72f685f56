// Drives the output side alone with tiny budgets of memory and descriptors, on both sides
// of the point where lines no longer fit in memory or files no longer fit in descriptors:
// every line must land in order, and each file must be opened and written no more often
// than the cost model in docs/design.md says.

#include "outputset.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>

#include "counting_io.h"
#include "error.h"
#include "test_support.h"
#include "unit_support.h"

namespace {

using testing_support::InputFolder;
using testing_support::regularFiles;

constexpr HashSeed kSeed{1, 2};
constexpr std::size_t kKiB = 1024;

struct LimitsCase {
  const char* name;
  int keys;
  int lines;
  std::size_t longestLine;
  OutputLimits limits;
  bool withHeader;
  int mostOpens;                    // of one file, its creation included
  int mostWrites;                   // of one file, besides one per 16 KiB it holds (the smallest share it writes in)
  bool inRounds = false;            // without a spill file: each full memory may reopen and write every file once more
  bool keysArriveOverTime = false;  // new keys keep coming while files hold lines
  bool oneKeyTurnsBusy = false;     // in the second half, every other line is key0's
};

void PrintTo(const LimitsCase& c, std::ostream* os) { *os << c.name; }

class OutputSetLimitsTest : public ::testing::TestWithParam<LimitsCase> {};

std::size_t lineCount(const std::string& content) {
  return static_cast<std::size_t>(std::count(content.begin(), content.end(), '\n'));
}

TEST_P(OutputSetLimitsTest, EveryLineLandsInOrderAndEachFileIsOpenedAndWrittenAFewTimes) {
  const LimitsCase& c = GetParam();
  const InputFolder folder;
  const std::string header = "h1;h2";

  std::mt19937 random(7);
  std::map<std::string, std::string> expected;
  counting_io::byName.clear();
  counting_io::counting = true;
  {
    OutputLimits limits = c.limits;
    limits.hashSeed = kSeed;
    OutputSet outputs(GuardedFiles{folder.input, "", std::nullopt}, header, c.withHeader, limits);
    for (int i = 0; i < c.lines; ++i) {
      const auto keysSoFar = c.keysArriveOverTime ? 1 + static_cast<unsigned>(i) * static_cast<unsigned>(c.keys) /
                                                            static_cast<unsigned>(c.lines)
                                                  : static_cast<unsigned>(c.keys);
      const bool busy = c.oneKeyTurnsBusy && 2 * i >= c.lines && i % 2 == 0;
      const std::string key = "key" + std::to_string(busy ? 0 : random() % keysSoFar);
      std::string line = key + ";" + std::to_string(i) + ";";
      line.append(random() % c.longestLine, static_cast<char>('a' + i % 26));
      if (expected.count(key) == 0) expected[key] = c.withHeader ? header + "\n" : "";
      expected[key] += line + "\n";
      outputs.append(outputs.fileFor(key), line);
    }
    EXPECT_EQ(outputs.size(), expected.size());
    const OutputSet::Closed closed = outputs.closeAll();
    EXPECT_FALSE(closed.failure.has_value()) << closed.failure->getMessage();
  }
  counting_io::counting = false;
  EXPECT_EQ(regularFiles(".", {"in.csv"}), expected);
  // The window is full once half the budget holds lines and their entries.
  std::size_t total = 0;
  for (const auto& [name, content] : expected) total += content.size() + LineWindow::kEntrySize * lineCount(content);
  const int rounds = c.inRounds ? static_cast<int>(2 * total / c.limits.bufferBytes) + 1 : 0;
  for (const auto& [name, content] : expected) {
    const counting_io::FileOperations& operations = counting_io::byName[name];
    EXPECT_LE(operations.opens, c.mostOpens + rounds) << name;
    EXPECT_LE(operations.writes, c.mostWrites + rounds + static_cast<int>(content.size() / (16 * kKiB))) << name;
  }
}

INSTANTIATE_TEST_SUITE_P(
    OutputSet, OutputSetLimitsTest,
    ::testing::Values(
        // Everything fits: each file is created, then written once as it is closed.
        LimitsCase{"AllFits", 300, 6000, 60, OutputLimits{1024 * kKiB, 1000}, false, 1, 1},
        // More files than descriptors: closed to make room, reopened once at the end.
        LimitsCase{"MoreFilesThanDescriptors", 300, 6000, 60, OutputLimits{1024 * kKiB, 16}, true, 2, 1},
        // More lines than memory: set aside run after run, still written once at the end;
        // reading back may split one file's lines into two writes.
        LimitsCase{"MoreLinesThanMemory", 300, 30000, 60, OutputLimits{64 * kKiB, 16}, false, 2, 2},
        // The same without a spill file: every full memory is a round of writes, each
        // reopening the files that were closed.
        LimitsCase{"MoreLinesThanMemoryWithoutSpillFile", 300, 30000, 60, OutputLimits{256 * kKiB, 16, false}, false, 1,
                   1, true},
        // A few busy files: each written in its share while its lines are hot.
        LimitsCase{"FewBusyFiles", 4, 40000, 100, OutputLimits{1024 * kKiB, 1000}, true, 1, 1},
        // Lines far longer than memory, across files that hold little memory each.
        LimitsCase{"LinesLongerThanMemory", 5, 120, 200000, OutputLimits{64 * kKiB, 2}, true, 1, 1, true},
        // One descriptor for the files (the spill file's is not theirs): lines still set
        // aside, and each file reopened once at the end.
        LimitsCase{"OneDescriptor", 50, 3000, 300, OutputLimits{64 * kKiB, 1}, false, 2, 2},
        LimitsCase{"KeysArriveWhileFilesHoldLines", 400, 80000, 120, OutputLimits{}, false, 1, 1, false, true},
        // More files than the files' own buffers are for: their lines move to the window
        // and are still written once each.
        LimitsCase{"MoreFilesThanBuffers", 3200, 20000, 60, OutputLimits{}, true, 1, 1, false, true},
        // Memory for a few buffers only: the window takes over early.
        LimitsCase{"MemoryForFewBuffers", 40, 6000, 60, OutputLimits{256 * kKiB, 1000}, false, 1, 1},
        // A file whose lines were set aside keeps setting them aside, however busy it turns,
        // so that they stay in order.
        LimitsCase{"SetAsideThenBusy", 300, 40000, 60, OutputLimits{64 * kKiB, 16}, false, 2, 2, false, false, true},
        // Lines longer than the window, once lines wait there, go through it in pieces.
        LimitsCase{"LinesLongerThanTheWindow", 5, 120, 200000, OutputLimits{64 * kKiB, 4}, false, 2, 2}),
    testing_support::CaseName());

TEST(OutputSet, ErrorPathWritesWhatWasHandedOver) {
  const InputFolder folder;
  {
    OutputSet outputs(GuardedFiles{folder.input, "", std::nullopt}, "", false, OutputLimits{8 * kKiB, 2, true, kSeed});
    for (int i = 0; i < 2000; ++i) {
      const std::string key = "k" + std::to_string(i % 7);
      outputs.append(outputs.fileFor(key), key + ";" + std::to_string(i));
    }
    EXPECT_THROW(outputs.fileFor("a/b"), Error);
  }  // destroyed without closeAll(): as on the way out after an Error
  std::map<std::string, std::string> expected;
  for (int i = 0; i < 2000; ++i)
    expected["k" + std::to_string(i % 7)] += "k" + std::to_string(i % 7) + ";" + std::to_string(i) + "\n";
  EXPECT_EQ(regularFiles(".", {"in.csv"}), expected);
}

std::string spreadLine(int i) { return "k" + std::to_string(i * 7919 % 300) + ";" + std::to_string(i) + ";abcdef"; }

// Exits 0 once 200,000 lines over 300 keys went through a 64 KiB budget and closed without
// failure, the address space limited to 2 MiB beyond what the run had after its first lines.
[[noreturn]] void runWithNoMemoryToSpare(const FileIdentity& input) {
  OutputSet outputs(GuardedFiles{input, "", std::nullopt}, "", false, OutputLimits{64 * kKiB, 8, true, kSeed});
  for (int i = 0; i < 200000; ++i) {
    const std::string line = spreadLine(i);
    outputs.append(outputs.fileFor(line.substr(0, line.find(';'))), line);
    if (i != 300) continue;
    unsigned long pages = 0;
    std::FILE* const statm = std::fopen("/proc/self/statm", "re");
    if (statm == nullptr || std::fscanf(statm, "%lu", &pages) != 1) std::_Exit(2);
    std::fclose(statm);
    rlimit limited{};
    ::getrlimit(RLIMIT_AS, &limited);
    limited.rlim_cur = std::min<rlim_t>(limited.rlim_max, pages * 4096 + (rlim_t{2} << 20));
    if (::setrlimit(RLIMIT_AS, &limited) != 0) std::_Exit(2);
  }
  const OutputSet::Closed closed = outputs.closeAll();
  if (closed.failure) std::fprintf(stderr, "%s\n", closed.failure->getMessage().c_str());
  std::_Exit(closed.failure ? 1 : 0);
}

// Far more lines set aside than a small window holds, and no memory beyond what the run
// has: reading them back must need none of its own. In a child process, as the limit would
// hold up the other tests.
TEST(OutputSet, LinesSetAsideAreReadBackWithoutMemoryOfTheirOwn) {
#ifdef VARNOLIX_SANITIZED
  GTEST_SKIP() << "AddressSanitizer reserves far more address space than this limit";
#endif
  const InputFolder folder;
  EXPECT_EXIT(runWithNoMemoryToSpare(folder.input), ::testing::ExitedWithCode(0), "");
  std::map<std::string, std::string> expected;
  for (int i = 0; i < 200000; ++i) expected[spreadLine(i).substr(0, spreadLine(i).find(';'))] += spreadLine(i) + "\n";
  EXPECT_TRUE(regularFiles(".", {"in.csv"}) == expected) << "files differ";
}

// Memory too small for any file to gather its share: every full memory is a round that
// writes all files, and big fails in the round in which it reaches the size limit. When
// another file's line started that round, that line must still land, and the failure come
// after it. Which file starts the round depends on the limit: limits are tried until one
// gives that case.
TEST(OutputSet, AnotherFileFailingWhileMakingRoomCostsThisLineNothing) {
  rlimit fileSize{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &fileSize), 0);
  const auto previous = std::signal(SIGXFSZ, SIG_IGN);
  bool tried = false;
  for (rlim_t limit = 30 * kKiB; limit < 50 * kKiB && !tried; limit += kKiB) {
    const InputFolder folder;
    std::map<std::string, std::string> expected;
    std::string failedOn;
    std::string message;
    {
      OutputSet outputs(GuardedFiles{folder.input, "", std::nullopt}, "", false,
                        OutputLimits{8 * kKiB, 1000, false, kSeed});
      const rlimit limited{limit, fileSize.rlim_max};
      ::setrlimit(RLIMIT_FSIZE, &limited);
      // big's lines are short and few, so that the others' lines fill memory first.
      for (int i = 0; i < 40000 && failedOn.empty(); ++i) {
        const std::string key = i % 20 == 0 ? "big" : "k" + std::to_string(i % 200);
        const std::string line = key + ";" + std::to_string(i) + ";" + std::string(key == "big" ? 20 : 100, 'x');
        try {
          outputs.append(outputs.fileFor(key), line);
        } catch (const Error& error) {
          failedOn = key;
          message = error.getMessage();
        }
        expected[key] += line + "\n";
      }
    }
    ::setrlimit(RLIMIT_FSIZE, &fileSize);
    if (failedOn.empty() || failedOn == "big") continue;
    tried = true;
    EXPECT_EQ(message, "Could not write output file 'big': File too large");
    const auto written = regularFiles(".", {"in.csv"});
    for (const auto& [key, content] : expected) {
      if (key == "big") {
        testing_support::expectWholeLinePrefixes({{key, written.at(key)}}, expected);
      } else {
        EXPECT_TRUE(written.at(key) == content) << key << " lacks lines";
      }
    }
  }
  std::signal(SIGXFSZ, previous);
  EXPECT_TRUE(tried) << "no limit made big fail in a round another file started";
}

}  // namespace
