// The line window alone: what it takes and refuses as its first half fills, which files it
// lists as noted, how sortByFile() gathers each file's lines at its place (with few files and
// with enough for the lines' places to be fetched ahead), and how its region is reserved and
// shrunk.

#include "linewindow.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "prefetch.h"
#include "test_support.h"

namespace {

constexpr std::size_t kKiB = 1024;
constexpr std::size_t kBudget = 64 * kKiB;
constexpr std::size_t kLimit = kBudget / 2;  // the first half, a multiple of the entry size

using Contents = std::map<std::uint32_t, std::string>;

// Bytes that differ from step to step, so that a line copied to the wrong place shows.
std::string pattern(std::size_t step, std::size_t length) {
  std::string bytes(length, ' ');
  for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>('a' + (step + i) % 26);
  return bytes;
}

// Places the files of `expected` in the second half in descending order, each behind a gap
// as a header would leave, sorts, and returns what lies at each place up to endOf().
Contents sortAndRead(LineWindow& window, const Contents& expected) {
  std::map<std::uint32_t, std::uint32_t> places;
  std::uint32_t offset = 0;
  for (auto file = expected.rbegin(); file != expected.rend(); ++file) {
    offset += static_cast<std::uint32_t>(LineWindow::kEntrySize);
    places[file->first] = offset;
    window.place(file->first, offset);
    offset += static_cast<std::uint32_t>(file->second.size());
  }
  window.sortByFile();
  Contents found;
  for (const auto& [file, place] : places) {
    found[file] = window.endOf(file) < place ? "<ends before its place>"
                                             : std::string(window.sorted() + place, window.endOf(file) - place);
  }
  return found;
}

std::vector<std::uint32_t> listed(const LineWindow& window) {
  std::vector<std::uint32_t> files;
  window.touchedFiles([&files](std::uint32_t file) { files.push_back(file); });
  return files;
}

struct Append {
  bool wholeLine;  // appendLineIfRoom(), else appendBytes()
  std::uint32_t file;
  std::size_t length;
  std::size_t taken;  // what the window must take: the line and its line feed, the bytes that fit, or 0
};

struct FillCase {
  const char* name;
  std::vector<Append> appends;
};

void PrintTo(const FillCase& c, std::ostream* os) { *os << c.name; }

// 512 lines of 55 bytes and their entries make exactly 32 KiB; the next line is refused.
std::vector<Append> linesUpToTheLimit() {
  std::vector<Append> appends;
  for (std::uint32_t i = 0; i < 512; ++i) appends.push_back({true, i % 3, 55, 56});
  appends.push_back({true, 0, 0, 0});
  return appends;
}

class LineWindowFillTest : public ::testing::TestWithParam<FillCase> {};

TEST_P(LineWindowFillTest, TakesWhatFitsInTheFirstHalfAndKeepsItInOrder) {
  LineWindow window(kBudget);
  window.reserveFiles(3);
  ASSERT_TRUE(window.reserve());
  ASSERT_EQ(window.limit(), kLimit);
  Contents expected;
  for (std::size_t step = 0; step < GetParam().appends.size(); ++step) {
    const Append& append = GetParam().appends[step];
    const std::string bytes = pattern(step, append.length);
    const std::size_t taken = append.wholeLine ? (window.appendLineIfRoom(append.file, bytes) ? bytes.size() + 1 : 0)
                                               : window.appendBytes(append.file, bytes.data(), bytes.size());
    ASSERT_EQ(taken, append.taken) << "step " << step;
    if (taken > 0) expected[append.file] += append.wholeLine ? bytes + "\n" : bytes.substr(0, taken);
  }
  EXPECT_TRUE(sortAndRead(window, expected) == expected) << "lines lost or misplaced";
}

INSTANTIATE_TEST_SUITE_P(
    LineWindow, LineWindowFillTest,
    ::testing::Values(FillCase{"LineFillsTheHalfExactly", {{true, 0, kLimit - 9, kLimit - 8}, {true, 1, 0, 0}}},
                      FillCase{"LineOneByteTooLong", {{true, 0, kLimit - 8, 0}, {true, 1, 10, 11}}},
                      FillCase{"ManyLinesUpToTheLimit", linesUpToTheLimit()},
                      FillCase{"BytesTakeWhatFits", {{false, 0, 40000, kLimit - 8}, {false, 1, 1, 0}}},
                      // Nine bytes left: one for bytes, eight for their entry.
                      FillCase{"BytesAfterALine",
                               {{true, 0, kLimit - 18, kLimit - 17}, {false, 1, 5, 1}, {false, 1, 5, 0}}},
                      FillCase{"LineAfterBytesOfItsFile", {{false, 2, 100, 100}, {true, 2, 20, 21}, {true, 0, 0, 1}}}),
    testing_support::CaseName());

struct TouchCase {
  const char* name;
  std::size_t files;
  std::vector<std::uint32_t> noted;
  std::vector<std::uint32_t> listed;
};

void PrintTo(const TouchCase& c, std::ostream* os) { *os << c.name; }

class LineWindowTouchTest : public ::testing::TestWithParam<TouchCase> {};

TEST_P(LineWindowTouchTest, ListsTheFilesNotedInAscendingOrderUntilCleared) {
  const TouchCase& c = GetParam();
  LineWindow window(kBudget);
  window.reserveFiles(c.files);
  ASSERT_TRUE(window.reserve());
  for (const std::uint32_t file : c.noted) {  // as its owner does, at a line of the file
    ASSERT_TRUE(window.appendLineIfRoom(file, "line"));
    window.noteFile(file);
  }
  EXPECT_EQ(listed(window), c.listed);
  window.clear();
  EXPECT_TRUE(window.empty());
  EXPECT_EQ(listed(window), std::vector<std::uint32_t>());
  // Cleared, it takes as long a line as when new, and notes files again.
  const auto last = static_cast<std::uint32_t>(c.files - 1);
  EXPECT_TRUE(window.appendLineIfRoom(last, pattern(0, kLimit - 9)));
  window.noteFile(last);
  EXPECT_EQ(listed(window), std::vector<std::uint32_t>{last});
}

INSTANTIATE_TEST_SUITE_P(LineWindow, LineWindowTouchTest,
                         ::testing::Values(TouchCase{"None", 10, {}, {}},
                                           TouchCase{"NotedTwice", 10, {5, 3, 5}, {3, 5}},
                                           TouchCase{"EdgesOfTwoWords", 128, {127, 64, 63, 0}, {0, 63, 64, 127}},
                                           TouchCase{"FarApart", 5000, {4999, 1, 4000}, {1, 4000, 4999}}),
                         testing_support::CaseName());

struct SortCase {
  const char* name;
  std::uint32_t files;
  int lines;
  bool fetchedAhead;  // whether the files are enough for places to be fetched ahead
};

void PrintTo(const SortCase& c, std::ostream* os) { *os << c.name; }

class LineWindowSortTest : public ::testing::TestWithParam<SortCase> {};

TEST_P(LineWindowSortTest, GathersEachFilesLinesInOrderAtItsPlace) {
  const SortCase& c = GetParam();
  ASSERT_EQ(c.files > prefetch::kManyFiles, c.fetchedAhead) << "the case must take the path it names";
  LineWindow window(4 * kKiB * kKiB);
  window.reserveFiles(c.files);
  ASSERT_TRUE(window.reserve());
  std::mt19937 random(11);
  Contents expected;
  for (int i = 0; i < c.lines; ++i) {
    const auto file = static_cast<std::uint32_t>(random() % c.files);
    const std::string line = std::to_string(file) + ";" + std::to_string(i) + ";" + pattern(random(), random() % 40);
    ASSERT_TRUE(window.appendLineIfRoom(file, line));
    expected[file] += line + "\n";
  }
  EXPECT_TRUE(sortAndRead(window, expected) == expected) << "lines lost or misplaced";
}

INSTANTIATE_TEST_SUITE_P(LineWindow, LineWindowSortTest,
                         ::testing::Values(SortCase{"OneFile", 1, 1000, false}, SortCase{"FewFiles", 3, 3000, false},
                                           SortCase{"ManyFiles", 5000, 20000, true}),
                         testing_support::CaseName());

// Leaves `bytes` of address space beyond what the process has; returns the limit it replaced.
rlimit leaveAddressSpace(std::size_t bytes) {
  rlimit previous{};
  ::getrlimit(RLIMIT_AS, &previous);
  unsigned long pages = 0;
  if (std::FILE* const statm = std::fopen("/proc/self/statm", "re")) {
    if (std::fscanf(statm, "%lu", &pages) != 1) pages = 0;
    std::fclose(statm);
  }
  const rlimit limited{static_cast<rlim_t>(pages) * 4096 + bytes, previous.rlim_max};
  EXPECT_EQ(::setrlimit(RLIMIT_AS, &limited), 0);
  return previous;
}

struct ReserveCase {
  const char* name;
  bool roomForHalfOnly;  // the address space takes half the budget, not all of it
  bool wholeBudgetOnly;
  std::size_t limit;  // 0: nothing reserved
};

void PrintTo(const ReserveCase& c, std::ostream* os) { *os << c.name; }

class LineWindowReserveTest : public ::testing::TestWithParam<ReserveCase> {};

constexpr std::size_t kLargeBudget = 256 * kKiB * kKiB;

TEST_P(LineWindowReserveTest, TakesTheBudgetOrLessAsAsked) {
  const ReserveCase& c = GetParam();
  LineWindow window(kLargeBudget);
  EXPECT_EQ(window.limit(), 0u);
  const rlimit previous = leaveAddressSpace(c.roomForHalfOnly ? kLargeBudget * 3 / 4 : kLargeBudget * 2);
  const bool reserved = window.reserve(c.wholeBudgetOnly);
  ::setrlimit(RLIMIT_AS, &previous);
  EXPECT_EQ(reserved, c.limit != 0);
  EXPECT_EQ(window.limit(), c.limit);
  // Refused, it tries again later, when the budget can be had.
  EXPECT_TRUE(window.reserve(true));
  EXPECT_EQ(window.limit(), c.limit != 0 ? c.limit : kLargeBudget / 2);
}

INSTANTIATE_TEST_SUITE_P(LineWindow, LineWindowReserveTest,
                         ::testing::Values(ReserveCase{"WholeBudget", false, true, kLargeBudget / 2},
                                           ReserveCase{"WholeBudgetOnlyOrNothing", true, true, 0},
                                           ReserveCase{"HalfWhenTheWholeCannotBeHad", true, false, kLargeBudget / 4}),
                         testing_support::CaseName());

struct ShrinkCase {
  const char* name;
  std::size_t budget;
  bool lineWaiting;
  std::vector<std::size_t> halves;  // after each shrink that succeeds; the next one fails
};

void PrintTo(const ShrinkCase& c, std::ostream* os) { *os << c.name; }

class LineWindowShrinkTest : public ::testing::TestWithParam<ShrinkCase> {};

TEST_P(LineWindowShrinkTest, GivesHalfBackDownToTheSmallestWindow) {
  const ShrinkCase& c = GetParam();
  LineWindow window(c.budget);
  window.reserveFiles(1);
  ASSERT_TRUE(window.reserve());
  if (c.lineWaiting) {
    ASSERT_TRUE(window.appendLineIfRoom(0, "kept"));
  }
  const std::size_t before = window.limit();
  for (const std::size_t half : c.halves) {
    EXPECT_EQ(window.spareBytesAfterShrink(), half);
    ASSERT_TRUE(window.shrink());
    EXPECT_EQ(window.spareBytes(), half);
    EXPECT_EQ(window.limit(), half);
  }
  EXPECT_FALSE(window.shrink());
  EXPECT_EQ(window.limit(), c.halves.empty() ? before : c.halves.back());
  // What is left is whole: a line as long as the limit allows goes in, and out to the second half.
  const std::string line = c.lineWaiting ? "kept" : pattern(0, window.limit() - 9);
  if (!c.lineWaiting) {
    EXPECT_EQ(window.spareBytesAfterShrink(), 0u);
    ASSERT_TRUE(window.appendLineIfRoom(0, line));
  }
  EXPECT_TRUE(sortAndRead(window, {{0, line + "\n"}}) == Contents({{0, line + "\n"}}));
}

INSTANTIATE_TEST_SUITE_P(LineWindow, LineWindowShrinkTest,
                         ::testing::Values(ShrinkCase{"DownToTheSmallest", 256 * kKiB, false, {64 * kKiB, 32 * kKiB}},
                                           ShrinkCase{"HalvesRoundedToPages", 200 * kKiB + 100, false, {48 * kKiB}},
                                           ShrinkCase{"SmallestAlready", kBudget, false, {}},
                                           ShrinkCase{"NotEmpty", 256 * kKiB, true, {}}),
                         testing_support::CaseName());

}  // namespace
