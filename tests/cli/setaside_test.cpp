// The ways of setting lines aside, held to one table: every line of every run taken ends up
// in its file, in the order the runs came, whether it was held and read back or written at
// once. A new way is a new class and one line in Ways. Then what only the spill file does:
// give back every block it read, and report lines it lost.

#include "setaside.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "filetable.h"
#include "rounds.h"
#include "spillfile.h"
#include "test_support.h"
#include "unit_support.h"

namespace {

using testing_support::InputFolder;
using testing_support::regularFiles;

using RunOfFiles = std::vector<std::pair<std::uint32_t, std::string>>;  // ascending files, their lines

// A folder with an input file and `count` output files in a table, f0, f1, ...
struct Folder {
  explicit Folder(std::uint32_t count) {
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::string key = "f" + std::to_string(i);
      table.reserveOneMore(key.size());
      Failure failure;
      EXPECT_NE(table.add(key, failure), nullptr) << key;
    }
  }

  InputFolder folder;
  FileTable table{GuardedFiles{folder.input, "in.csv", std::nullopt}, 0, HashSeed{1, 2}};
};

// A spill file in memory: nothing of the folder's file system is needed to test it.
Descriptor memoryFile() { return Descriptor(::memfd_create("set-aside", MFD_CLOEXEC)); }

template <class Way>
std::unique_ptr<SetAside> make(FileTable& table);
template <>
std::unique_ptr<SetAside> make<SpillFile>(FileTable&) {
  return std::make_unique<SpillFile>(memoryFile(), 0);  // reading back through the spare only
}
template <>
std::unique_ptr<SetAside> make<Rounds>(FileTable& table) {
  return std::make_unique<Rounds>(table);
}

std::string records(const RunOfFiles& run) {
  std::string bytes;
  for (const auto& [file, lines] : run) {
    char header[SetAside::kHeaderBytes];
    SetAside::putHeader(header, file, static_cast<std::uint32_t>(lines.size()));
    bytes.append(header, sizeof header).append(lines);
  }
  return bytes;
}

// Takes `runs`, reads every file back through `spare` bytes, closes the files; returns the
// failure of reading back, if any.
Failure takeAndReadBack(SetAside& way, Folder& folder, const std::vector<RunOfFiles>& runs, std::size_t spare) {
  for (const RunOfFiles& run : runs) {
    const std::string bytes = records(run);
    EXPECT_FALSE(way.take(bytes.data(), bytes.size()));
  }
  std::vector<char> memory(spare);
  Failure result = way.holdsLines() ? way.beginReadBack(memory.data(), memory.size()) : Failure();
  for (std::uint32_t number = 0; number < folder.table.size(); ++number) {
    WholeLineWriter writer = folder.table.writerFor(number);
    if (!result) result = way.readBack(number, writer);
    writer.flush();
    (void)folder.table.close(number);
  }
  way.clear();
  return result;
}

struct TableCase {
  const char* name;
  std::uint32_t files;
  std::vector<RunOfFiles> runs;
  std::size_t spare;  // bytes to read back through
};

std::string lines(char letter, int count, std::size_t length) {
  std::string text;
  for (int i = 0; i < count; ++i) text += std::string(length, letter) + std::to_string(i) + "\n";
  return text;
}

const std::vector<TableCase> kTable = {
    {"OneRunOneFile", 1, {{{0, "a\n"}}}, 1 << 20},
    {"RunsInterleaveFiles", 3, {{{0, "a1\n"}, {2, "c1\n"}}, {{1, "b1\n"}, {2, "c2\n"}}, {{0, "a2\n"}}}, 1 << 20},
    // Records far longer than a run's buffer, read back through 512 bytes each.
    {"RecordsLongerThanBuffers",
     2,
     {{{0, lines('a', 300, 40)}, {1, lines('b', 200, 70)}}, {{0, lines('A', 90, 90)}}},
     2 * 512},
    // Headers cut by the end of a buffer.
    {"HeadersAcrossBuffers", 40,
     [] {
       std::vector<RunOfFiles> runs(3);
       for (std::uint32_t file = 0; file < 40; ++file) {
         for (std::size_t i = 0; i < runs.size(); ++i) runs[i].emplace_back(file, lines('x', 3, file % 13 + 7 * i));
       }
       return runs;
     }(),
     3 * 512},
    {"ManyRunsSmallBuffers", 5,
     [] {
       std::vector<RunOfFiles> runs;
       for (int i = 0; i < 60; ++i) runs.push_back({{static_cast<std::uint32_t>(i % 5), lines('r', 3, 10 + i % 9)}});
       return runs;
     }(),
     60 * 512},
};

template <class Way>
class SetAsideTest : public ::testing::Test {};

using Ways = ::testing::Types<SpillFile, Rounds>;
TYPED_TEST_SUITE(SetAsideTest, Ways);

TYPED_TEST(SetAsideTest, EveryLineTakenLandsInItsFileInOrder) {
  for (const TableCase& c : kTable) {
    SCOPED_TRACE(c.name);
    Folder folder(c.files);
    const std::unique_ptr<SetAside> way = make<TypeParam>(folder.table);
    std::map<std::string, std::string> expected;
    for (std::uint32_t file = 0; file < c.files; ++file) expected["f" + std::to_string(file)] = "";
    for (const RunOfFiles& run : c.runs) {
      for (const auto& [file, text] : run) expected["f" + std::to_string(file)] += text;
    }
    EXPECT_FALSE(takeAndReadBack(*way, folder, c.runs, c.spare));
    EXPECT_EQ(regularFiles(".", {"in.csv"}), expected);
  }
}

// Every block read back is given back at once, a run's last one too: at the end nothing
// of what was set aside takes room, however small the buffers.
TEST(SpillFile, GivesBackEveryBlockItRead) {
  for (const TableCase& c : kTable) {
    SCOPED_TRACE(c.name);
    Folder folder(c.files);
    Descriptor file = memoryFile();
    const int fd = file.get();
    SpillFile spill(std::move(file), 0);
    for (const RunOfFiles& run : c.runs) {
      const std::string bytes = records(run);
      ASSERT_FALSE(spill.take(bytes.data(), bytes.size()));
    }
    std::vector<char> memory(c.spare);
    ASSERT_FALSE(spill.beginReadBack(memory.data(), memory.size()));
    for (std::uint32_t number = 0; number < c.files; ++number) {
      WholeLineWriter writer = folder.table.writerFor(number);
      ASSERT_FALSE(spill.readBack(number, writer));
      writer.flush();
    }
    struct stat status {};
    ASSERT_EQ(::fstat(fd, &status), 0);
    EXPECT_EQ(status.st_blocks, 0) << "blocks read back still take room";
  }
}

// Lines the file lost (it is shorter than what was written to it) are a failure of reading
// back, never lines quietly missing.
TEST(SpillFile, ReportsLinesItLost) {
  Folder folder(2);
  Descriptor file = memoryFile();
  const int fd = file.get();
  SpillFile spill(std::move(file));
  const std::string bytes = records({{0, lines('a', 100, 30)}, {1, lines('b', 100, 30)}});
  ASSERT_FALSE(spill.take(bytes.data(), bytes.size()));
  ASSERT_EQ(::ftruncate(fd, 1000), 0);
  std::vector<char> memory(1024);
  Failure failure = spill.beginReadBack(memory.data(), memory.size());
  for (std::uint32_t number = 0; number < 2 && !failure; ++number) {
    WholeLineWriter writer = folder.table.writerFor(number);
    failure = spill.readBack(number, writer);
  }
  EXPECT_EQ(failure.what(), Failure::What::kSetAside);
  EXPECT_EQ(failure.how(), Failure::How::kReadBack);
  EXPECT_EQ(failure.error(), EIO);
}

struct ReadBackCase {
  const char* name;
  std::size_t runs;   // held already
  std::size_t spare;  // bytes of the caller's
  SetAside::OwnMemory own;
  std::size_t ownMemory;  // the most it may take
  bool readable;          // whether one run more can be read back
};

void PrintTo(const ReadBackCase& c, std::ostream* os) { *os << c.name; }

class ReadBackTest : public ::testing::TestWithParam<ReadBackCase> {};

// Runs are admitted only while every one of them, and one more, can be read back through
// at least 512 bytes: of the caller's, or of its own, taken at once.
TEST_P(ReadBackTest, AdmitsARunOnlyWhenItCanBeReadBack) {
  const ReadBackCase& c = GetParam();
  Folder folder(1);
  SpillFile spill(memoryFile(), c.ownMemory);
  for (std::size_t i = 0; i < c.runs; ++i) {
    const std::string bytes = records({{0, "x\n"}});
    ASSERT_FALSE(spill.take(bytes.data(), bytes.size()));
  }
  EXPECT_EQ(spill.canReadBack(c.spare, 1, c.own), c.readable);
}

INSTANTIATE_TEST_SUITE_P(
    SpillFile, ReadBackTest,
    ::testing::Values(
        ReadBackCase{"SpareForAll", 3, 4 * 512, SetAside::OwnMemory::kHasOnly, SpillFile::kOwnMemoryBytes, true},
        ReadBackCase{"SpareShortByOne", 4, 4 * 512, SetAside::OwnMemory::kHasOnly, SpillFile::kOwnMemoryBytes, false},
        ReadBackCase{"OwnMemoryTaken", 4, 4 * 512, SetAside::OwnMemory::kMayTake, SpillFile::kOwnMemoryBytes, true},
        ReadBackCase{"MoreRunsThanOwnMemoryHolds", 16, 0, SetAside::OwnMemory::kMayTake, 16 * 512, false}),
    testing_support::CaseName());

}  // namespace
