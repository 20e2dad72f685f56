// Drives the output side alone with tiny budgets of memory and descriptors, so that every
// way of freeing a block (writing its own blocks, a donor's, a closed file's) runs.

#include "outputset.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>

#include "error.h"
#include "test_support.h"

// While set, allocations of 128 KiB and more (the slabs of output blocks) fail, as when
// memory runs out (failing_new.cpp).
extern bool failLargeAllocations;

namespace {

using testing_support::regularFiles;
using testing_support::ScopedChdir;
using testing_support::TempDir;
using testing_support::writeFile;

// A fresh current folder holding an empty input file, which the output set must never write.
struct InputFolder {
  TempDir dir;
  ScopedChdir inDir{dir.path()};
  const FileIdentity input = [] {
    writeFile("in.csv", "");
    return FileIdentity::ofPath("in.csv").value();
  }();
};

struct LimitsCase {
  const char* name;
  int keys;
  int lines;
  std::size_t longestLine;
  std::size_t budgetBytes;
  std::size_t openFiles;
  bool withHeader;
  bool keysArriveOverTime = false;  // new keys keep coming, so what a file may hold shrinks while it holds it
};

void PrintTo(const LimitsCase& c, std::ostream* os) { *os << c.name; }

class OutputSetLimitsTest : public ::testing::TestWithParam<LimitsCase> {};

TEST_P(OutputSetLimitsTest, EveryLineLandsInOrder) {
  const LimitsCase& c = GetParam();
  const InputFolder folder;
  const std::string header = "h1;h2";

  std::mt19937 random(7);
  std::map<std::string, std::string> expected;
  {
    OutputSet outputs(folder.input, std::nullopt, header, c.withHeader, OutputLimits{c.budgetBytes, c.openFiles});
    for (int i = 0; i < c.lines; ++i) {
      const auto keysSoFar = c.keysArriveOverTime ? 1 + static_cast<unsigned>(i) * static_cast<unsigned>(c.keys) /
                                                            static_cast<unsigned>(c.lines)
                                                  : static_cast<unsigned>(c.keys);
      const std::string key = "key" + std::to_string(random() % keysSoFar);
      std::string line = key + ";" + std::to_string(i) + ";";
      line.append(random() % c.longestLine, static_cast<char>('a' + i % 26));
      if (expected.count(key) == 0) expected[key] = c.withHeader ? header + "\n" : "";
      expected[key] += line + "\n";
      outputs.append(outputs.fileFor(key), line);
    }
    EXPECT_EQ(outputs.size(), expected.size());
    std::string previous;
    for (const auto& file : outputs.inKeyOrder()) {
      EXPECT_LT(previous, file->key);
      previous = file->key;
      outputs.close(*file);
    }
  }
  EXPECT_EQ(regularFiles(".", {"in.csv"}), expected);
}

INSTANTIATE_TEST_SUITE_P(OutputSet, OutputSetLimitsTest,
                         ::testing::Values(LimitsCase{"AmpleLimits", 40, 5000, 200, 1 << 20, 1000, false},
                                           LimitsCase{"FewerBlocksThanKeys", 300, 20000, 120, 64 * 4096, 1000, false},
                                           LimitsCase{"FewerBlocksAndDescriptors", 300, 20000, 120, 64 * 4096, 3, true},
                                           LimitsCase{"SingleBlockSingleDescriptor", 50, 3000, 300, 4096, 1, false},
                                           LimitsCase{"LinesLongerThanAFileMayHold", 5, 120, 200000, 40 * 4096, 2,
                                                      true},
                                           LimitsCase{"KeysArriveWhileFilesHoldBlocks", 400, 80000, 120,
                                                      std::size_t{96} << 20, 1000, false, true}),
                         testing_support::CaseName());

TEST(OutputSet, ErrorPathWritesWhatWasHandedOver) {
  const InputFolder folder;
  {
    OutputSet outputs(folder.input, std::nullopt, "", false, OutputLimits{8 * 4096, 2});
    for (int i = 0; i < 2000; ++i) {
      const std::string key = "k" + std::to_string(i % 7);
      outputs.append(outputs.fileFor(key), key + ";" + std::to_string(i));
    }
    EXPECT_THROW(outputs.fileFor("a/b"), Error);
  }  // destroyed without close(): as on the way out after an Error
  std::map<std::string, std::string> expected;
  for (int i = 0; i < 2000; ++i)
    expected["k" + std::to_string(i % 7)] += "k" + std::to_string(i % 7) + ";" + std::to_string(i) + "\n";
  EXPECT_EQ(regularFiles(".", {"in.csv"}), expected);
}

TEST(OutputSet, LackOfMemoryInsideALineLeavesWholeLines) {
  const InputFolder folder;
  std::map<std::string, std::string> expected;
  {
    OutputSet outputs(folder.input, std::nullopt, "", false, OutputLimits{std::size_t{8} << 20, 1000});
    // 63 lines take 63 blocks of the first slab of 64; the 64th line fills the last block
    // and needs a second slab inside the line.
    for (int i = 0; i < 64; ++i) {
      const std::string key = "k" + std::to_string(i);
      const std::string line = key + ";" + std::string(i < 63 ? 4000 : 6000, 'x');
      OutputFile& file = outputs.fileFor(key);
      expected[key] = i < 63 ? line + "\n" : "";  // the file of the failed line stays empty
      if (i < 63) {
        outputs.append(file, line);
        continue;
      }
      failLargeAllocations = true;
      try {
        outputs.append(file, line);
        ADD_FAILURE() << "no Error";
      } catch (const Error& error) {
        EXPECT_EQ(error.getMessage(), "Could not write output file 'k63': Cannot allocate memory");
      }
      failLargeAllocations = false;
    }
  }  // destroyed without close(): as on the way out after an Error
  EXPECT_EQ(regularFiles(".", {"in.csv"}), expected);
}

}  // namespace
