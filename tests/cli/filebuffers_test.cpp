// The files' own buffers alone, over a real FileTable in a temporary folder: the size each
// buffer has as files are added (older ones shrinking with it), that a full buffer goes out
// in one write, that writeAll() and leaveFor() hand every byte on exactly once, and that no
// buffer is given beyond the budget.

#include "filebuffers.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "counting_io.h"
#include "test_support.h"
#include "unit_support.h"

namespace {

using testing_support::InputFolder;
using testing_support::readFile;

constexpr HashSeed kSeed{1, 2};
constexpr std::size_t kKiB = 1024;
constexpr std::size_t kMiB = kKiB * kKiB;

using Contents = std::map<std::uint32_t, std::string>;

// A fresh current folder with an input file that must never be written, and the files of a run.
struct Folder : InputFolder {
  FileTable table{GuardedFiles{input, "", std::nullopt}, 256, kSeed};

  // Creates file `number`, named "f<number>".
  OutputFile& add(std::size_t number) {
    const std::string name = "f" + std::to_string(number);
    table.reserveOneMore(name.size());
    Failure failure;
    OutputFile* const file = table.add(name, failure);
    if (file == nullptr) throw std::runtime_error("could not create " + name);
    return *file;
  }
};

// Counts each file's opens and writes for as long as it lives.
struct Counting {
  Counting() {
    counting_io::byName.clear();
    counting_io::counting = true;
  }
  ~Counting() { counting_io::counting = false; }
  static int writes(std::size_t number) { return counting_io::byName["f" + std::to_string(number)].writes; }
};

std::string onDisk(std::size_t number) { return readFile("f" + std::to_string(number)); }

// Bytes that differ from file to file, so that bytes written to the wrong file show.
std::string pattern(std::size_t seed, std::size_t length) {
  std::string bytes(length, ' ');
  for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>('a' + (seed + i) % 26);
  return bytes;
}

// Returns the size of the empty buffer of `file`, as the longest line it takes shows: a
// buffer of n bytes takes a line of n - 2 bytes and its line feed, keeping a byte to spare.
std::size_t bufferSize(FileBuffers& buffers, OutputFile& file) {
  for (const std::size_t size : {64 * kKiB, 32 * kKiB, 16 * kKiB}) {
    if (buffers.appendIfRoom(file, std::string(size - 1, 'x'))) return 0;  // not one of the sizes
    if (buffers.appendIfRoom(file, std::string(size - 2, 'x'))) return size;
  }
  return 0;
}

struct SizeCase {
  const char* name;
  std::size_t files;
  std::size_t size;  // of every buffer, the older ones too
};

void PrintTo(const SizeCase& c, std::ostream* os) { *os << c.name; }

class FileBuffersSizeTest : public ::testing::TestWithParam<SizeCase> {};

TEST_P(FileBuffersSizeTest, EveryBufferHasTheSizeForThisManyFiles) {
  Folder folder;
  FileBuffers buffers(16 * kMiB, folder.table);
  for (std::size_t i = 0; i < GetParam().files; ++i) ASSERT_TRUE(buffers.giveBuffer(folder.add(i))) << i;
  for (std::uint32_t i = 0; i < GetParam().files; ++i) {
    EXPECT_EQ(bufferSize(buffers, folder.table[i]), GetParam().size) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(FileBuffers, FileBuffersSizeTest,
                         ::testing::Values(SizeCase{"One", 1, 64 * kKiB}, SizeCase{"SixtyFour", 64, 64 * kKiB},
                                           SizeCase{"SixtyFive", 65, 32 * kKiB},
                                           SizeCase{"OneHundredTwentyEight", 128, 32 * kKiB},
                                           SizeCase{"OneHundredTwentyNine", 129, 16 * kKiB},
                                           SizeCase{"ThreeHundred", 300, 16 * kKiB}),
                         testing_support::CaseName());

struct ShrinkCase {
  const char* name;
  std::size_t held;  // by the first file when the 65th comes and buffers shrink to 32 KiB
  bool writtenOut;   // then, as it no longer fits with a byte to spare
};

void PrintTo(const ShrinkCase& c, std::ostream* os) { *os << c.name; }

class FileBuffersShrinkTest : public ::testing::TestWithParam<ShrinkCase> {};

TEST_P(FileBuffersShrinkTest, AnOlderBufferTooFullToShrinkIsWrittenInOnePiece) {
  Folder folder;
  const Counting counting;
  FileBuffers buffers(16 * kMiB, folder.table);
  for (std::size_t i = 0; i < 64; ++i) ASSERT_TRUE(buffers.giveBuffer(folder.add(i)));
  const std::string bytes = pattern(0, GetParam().held);
  buffers.copyIn(folder.table[0], bytes);
  ASSERT_TRUE(buffers.giveBuffer(folder.add(64)));
  EXPECT_EQ(onDisk(0), GetParam().writtenOut ? bytes : "");
  EXPECT_EQ(Counting::writes(0), GetParam().writtenOut ? 1 : 0);
  buffers.writeAll();
  EXPECT_EQ(onDisk(0), bytes);
  EXPECT_EQ(Counting::writes(0), 1);
}

INSTANTIATE_TEST_SUITE_P(FileBuffers, FileBuffersShrinkTest,
                         ::testing::Values(ShrinkCase{"FitsTheSmallerBuffer", 32 * kKiB - 2, false},
                                           ShrinkCase{"OneByteTooMany", 32 * kKiB - 1, true},
                                           ShrinkCase{"FarTooMany", 40000, true}),
                         testing_support::CaseName());

struct CopyCase {
  const char* name;
  std::size_t files;                // the bytes go to the last
  std::vector<std::size_t> pieces;  // copied in one after the other
  int fullBuffers;                  // written while copying, each in one write
  std::size_t size;                 // of a buffer
};

void PrintTo(const CopyCase& c, std::ostream* os) { *os << c.name; }

class FileBuffersCopyTest : public ::testing::TestWithParam<CopyCase> {};

TEST_P(FileBuffersCopyTest, WritesEachFullBufferInOnePieceAndTheRestAtWriteAll) {
  const CopyCase& c = GetParam();
  Folder folder;
  const Counting counting;
  FileBuffers buffers(16 * kMiB, folder.table);
  for (std::size_t i = 0; i < c.files; ++i) ASSERT_TRUE(buffers.giveBuffer(folder.add(i)));
  const std::size_t last = c.files - 1;
  std::string all;
  for (const std::size_t piece : c.pieces) {
    const std::string bytes = pattern(all.size(), piece);
    buffers.copyIn(folder.table[static_cast<std::uint32_t>(last)], bytes);
    all += bytes;
  }
  EXPECT_EQ(Counting::writes(last), c.fullBuffers);
  EXPECT_EQ(onDisk(last), all.substr(0, static_cast<std::size_t>(c.fullBuffers) * c.size));
  buffers.writeAll();
  EXPECT_EQ(Counting::writes(last), c.fullBuffers + (all.size() % c.size != 0 ? 1 : 0));
  EXPECT_EQ(onDisk(last), all);
}

INSTANTIATE_TEST_SUITE_P(FileBuffers, FileBuffersCopyTest,
                         ::testing::Values(CopyCase{"LessThanABuffer", 1, {1000}, 0, 64 * kKiB},
                                           CopyCase{"ExactlyOneBuffer", 1, {64 * kKiB}, 1, 64 * kKiB},
                                           CopyCase{"SeveralBuffersAtOnce", 1, {3 * 64 * kKiB + 100}, 3, 64 * kKiB},
                                           CopyCase{"PiecesAcrossBuffers", 1, {40000, 40000, 60000}, 2, 64 * kKiB},
                                           CopyCase{"SmallBuffers", 129, {50000}, 3, 16 * kKiB}),
                         testing_support::CaseName());

// Returns what `window` holds of each file it noted, each placed after the one before by
// what `expected` says it holds.
Contents inWindow(LineWindow& window, const Contents& expected) {
  std::vector<std::uint32_t> noted;
  window.touchedFiles([&noted](std::uint32_t file) { noted.push_back(file); });
  std::map<std::uint32_t, std::uint32_t> places;
  std::uint32_t offset = 0;
  for (const std::uint32_t file : noted) {
    window.place(file, places[file] = offset);
    if (expected.count(file) != 0) offset += static_cast<std::uint32_t>(expected.at(file).size());
  }
  window.sortByFile();
  Contents found;
  for (const auto& [file, place] : places)
    found[file] = std::string(window.sorted() + place, window.endOf(file) - place);
  return found;
}

struct HandOnCase {
  const char* name;
  std::vector<std::size_t> held;  // by each file
  std::size_t windowBudget;
  bool moved;  // into the window, else written out
};

void PrintTo(const HandOnCase& c, std::ostream* os) { *os << c.name; }

class FileBuffersHandOnTest : public ::testing::TestWithParam<HandOnCase> {};

// Fills the buffers as `c` says; returns what each file holds.
Contents fill(Folder& folder, FileBuffers& buffers, const HandOnCase& c) {
  Contents held;
  for (std::uint32_t i = 0; i < c.held.size(); ++i) {
    EXPECT_TRUE(buffers.giveBuffer(folder.add(i)));
    if (c.held[i] == 0) continue;
    held[i] = pattern(i, c.held[i]);
    buffers.copyIn(folder.table[i], held[i]);
  }
  return held;
}

TEST_P(FileBuffersHandOnTest, WriteAllWritesEachFileWithBytesOnce) {
  Folder folder;
  const Counting counting;
  FileBuffers buffers(16 * kMiB, folder.table);
  const Contents held = fill(folder, buffers, GetParam());
  buffers.writeAll();
  buffers.writeAll();  // nothing is left to write
  for (std::uint32_t i = 0; i < GetParam().held.size(); ++i) {
    EXPECT_EQ(Counting::writes(i), held.count(i)) << i;
    EXPECT_EQ(onDisk(i), held.count(i) != 0 ? held.at(i) : "") << i;
  }
}

TEST_P(FileBuffersHandOnTest, LeaveForMovesTheBytesIntoTheWindowOrWritesThem) {
  const HandOnCase& c = GetParam();
  Folder folder;
  const Counting counting;
  FileBuffers buffers(16 * kMiB, folder.table);
  const Contents held = fill(folder, buffers, c);
  LineWindow window(c.windowBudget);
  window.reserveFiles(c.held.size());
  buffers.leaveFor(window);
  EXPECT_FALSE(buffers.inUse());
  EXPECT_FALSE(buffers.giveBuffer(folder.add(c.held.size()))) << "the buffers are given back for good";
  EXPECT_TRUE(inWindow(window, held) == (c.moved ? held : Contents())) << "bytes lost or moved wrongly";
  for (const auto& [file, bytes] : held) {
    EXPECT_EQ(Counting::writes(file), c.moved ? 0 : 1) << file;
    EXPECT_EQ(onDisk(file), c.moved ? "" : bytes) << file;
  }
}

// A 64 KiB window holds 32 KiB of lines and entries: the buffers' bytes and an entry per file.
INSTANTIATE_TEST_SUITE_P(FileBuffers, FileBuffersHandOnTest,
                         ::testing::Values(HandOnCase{"SomeFilesEmpty", {100, 0, 5000, 1}, kMiB, true},
                                           HandOnCase{"AsMuchAsTheWindowTakes", {16000, 16752}, 64 * kKiB, true},
                                           HandOnCase{"OneByteMore", {16000, 16753}, 64 * kKiB, false}),
                         testing_support::CaseName());

struct BudgetCase {
  const char* name;
  std::size_t budget;
  std::size_t files;
  std::size_t given;  // to the first files, none after
};

void PrintTo(const BudgetCase& c, std::ostream* os) { *os << c.name; }

class FileBuffersBudgetTest : public ::testing::TestWithParam<BudgetCase> {};

TEST_P(FileBuffersBudgetTest, GivesNoBufferBeyondTheBudget) {
  Folder folder;
  FileBuffers buffers(GetParam().budget, folder.table);
  for (std::size_t i = 0; i < GetParam().files; ++i) {
    EXPECT_EQ(buffers.giveBuffer(folder.add(i)), i < GetParam().given) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    FileBuffers, FileBuffersBudgetTest,
    ::testing::Values(BudgetCase{"ThreeLargeBuffers", 3 * 64 * kKiB, 4, 3},
                      BudgetCase{"OneByteShortOfThree", 3 * 64 * kKiB - 1, 4, 2},
                      // Buffers take the budget at the size they were cut: 64 of 64 KiB, 64 of 32 KiB, then 16 KiB.
                      BudgetCase{"AfterBuffersShrank", 6 * kMiB + 2 * 16 * kKiB, 131, 130},
                      BudgetCase{"MostFiles", 64 * kMiB, 3073, 3072}),
    testing_support::CaseName());

}  // namespace
