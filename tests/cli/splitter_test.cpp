#include "splitter.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "error.h"
#include "test_support.h"

namespace {

using testing_support::readFile;
using testing_support::regularFiles;
using testing_support::ScopedChdir;
using testing_support::TempDir;
using testing_support::writeFile;

using Files = std::map<std::string, std::string>;

// Runs split() in a fresh folder holding `input` as in.csv, capturing the narration.
struct SplitRun {
  std::string narration;
  Files files;
  std::string error;  // the message of the Error that left split(), if any
};

SplitRun runSplit(const std::string& input, bool useHeadLine, int fieldNumber, const Files& existing = {}) {
  TempDir dir;
  ScopedChdir inDir(dir.path());
  writeFile("in.csv", input);
  for (const auto& [name, content] : existing) writeFile(name, content);
  const int narrationFd = ::open("narration.out", O_WRONLY | O_CREAT | O_TRUNC, 0644);
  SplitRun run;
  {
    StandardOutput narration(narrationFd);
    Splitter splitter("in.csv", ";", useHeadLine, narration);
    try {
      splitter.split(fieldNumber, "");
    } catch (const Error& error) {
      run.error = error.getMessage();
    }
  }
  ::close(narrationFd);
  run.narration = readFile("narration.out");
  run.files = regularFiles(".", {"in.csv", "narration.out"});
  return run;
}

struct SplitCase {
  const char* name;
  std::string input;
  bool useHeadLine;
  int fieldNumber;
  Files existing;
  std::string narration;
  Files files;
  std::string error;
};

void PrintTo(const SplitCase& c, std::ostream* os) { *os << c.name; }

class SplitTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitTest, NarratesAndGroupsExactly) {
  const SplitCase& c = GetParam();
  const SplitRun run = runSplit(c.input, c.useHeadLine, c.fieldNumber, c.existing);
  EXPECT_EQ(run.narration, c.narration);
  EXPECT_EQ(run.files, c.files);
  EXPECT_EQ(run.error, c.error);
}

const std::string kThreeLines = "a;1\nb;2\na;3\n";
const std::string kThreeLinesEchoed = "a;1\nappending: a;1\nb;2\nappending: b;2\na;3\nappending: a;3\n";

INSTANTIATE_TEST_SUITE_P(
    Splitter, SplitTest,
    ::testing::Values(
        SplitCase{"ByFirstField",
                  kThreeLines,
                  false,
                  1,
                  {},
                  kThreeLinesEchoed + "2\nclozing\nclozing\n",
                  {{"a", "a;1\na;3\n"}, {"b", "b;2\n"}},
                  ""},
        SplitCase{"BySecondField",
                  kThreeLines,
                  false,
                  2,
                  {},
                  kThreeLinesEchoed + "3\nclozing\nclozing\nclozing\n",
                  {{"1", "a;1\n"}, {"2", "b;2\n"}, {"3", "a;3\n"}},
                  ""},
        SplitCase{"HeaderOpensEveryFile",
                  "k;v\na;1\nb;2\na;3\n",
                  true,
                  1,
                  {},
                  kThreeLinesEchoed + "2\nclozing\nclozing\n",
                  {{"a", "k;v\na;1\na;3\n"}, {"b", "k;v\nb;2\n"}},
                  ""},
        SplitCase{"NoRecordsAnyFieldNumber", "", false, -3, {}, "0\n", {}, ""},
        SplitCase{"NoRecordsFieldAboveBound", "\nx;y\n", false, 99, {}, "0\n", {}, ""},
        SplitCase{"EmptyLineEndsGrouping",
                  "a;1\n\nb;2\n",
                  false,
                  1,
                  {},
                  "a;1\nappending: a;1\n1\nclozing\n",
                  {{"a", "a;1\n"}},
                  ""},
        SplitCase{"ExistingFileEmptied",
                  "a;1\n",
                  false,
                  1,
                  {{"a", "old content\n"}},
                  "a;1\nappending: a;1\n1\nclozing\n",
                  {{"a", "a;1\n"}},
                  ""},
        SplitCase{"UntouchedFileKept",
                  "a;1\n",
                  false,
                  1,
                  {{"b", "keep\n"}},
                  "a;1\nappending: a;1\n1\nclozing\n",
                  {{"a", "a;1\n"}, {"b", "keep\n"}},
                  ""},
        SplitCase{"CarriageReturnStaysInKey",
                  "x;a\r\ny;b\r\n",
                  false,
                  2,
                  {},
                  "x;a\r\nappending: x;a\r\ny;b\r\nappending: y;b\r\n2\nclozing\nclozing\n",
                  {{"a\r", "x;a\r\n"}, {"b\r", "y;b\r\n"}},
                  ""},
        // A failed lookup ends the run: the failed record is neither echoed nor written,
        // and the lines before it are in their files.
        SplitCase{"ShortLineStopsRun",
                  "a;1\nb\nc;3\n",
                  false,
                  2,
                  {},
                  "a;1\nappending: a;1\n",
                  {{"1", "a;1\n"}},
                  "field number (practically, not theratically) out of range"},
        SplitCase{"FieldAboveBoundStopsAtFirstRecord", "a;1\n", false, 3, {}, "", {}, "field number out of range"},
        SplitCase{"FieldZeroStopsAtFirstRecord", "a;1\n", false, 0, {}, "", {}, "field number may not be <= 0"}),
    testing_support::CaseName());

// With thousands of keys the loop reuses hashes it found ahead, and keys crafted to collide
// make the index move to another hash midway, across many refills of the read buffer:
// every line still lands in its own file.
TEST(Splitter, ManyKeysWhileTheIndexChangesItsHash) {
  const std::vector<std::string> crafted = testing_support::keysCollidingUnderKeyHash();
  std::string input;
  Files files;
  for (int i = 0; i < 60000; ++i) {
    const std::string key = i < 30000 || i % 2 == 0 ? "k" + std::to_string(i * 7919 % 5000) : crafted[(i / 2) % 300];
    const std::string line = key + ";" + std::to_string(i);
    input += line + "\n";
    files[key] += line + "\n";
  }
  const SplitRun run = runSplit(input, false, 1);
  EXPECT_EQ(run.error, "");
  EXPECT_TRUE(run.files == files) << "files differ";
}

TEST(Splitter, SecondSplitFindsNoRecords) {
  TempDir dir;
  ScopedChdir inDir(dir.path());
  writeFile("in.csv", "a;1\n");
  const int fd = ::open("narration.out", O_WRONLY | O_CREAT | O_TRUNC, 0644);
  {
    StandardOutput narration(fd);
    Splitter splitter(new CSVReader("in.csv", ";", false), narration);
    splitter.split(1, "");
    writeFile("a", "written later\n");
    splitter.split(1, "");
  }
  ::close(fd);
  EXPECT_EQ(readFile("narration.out"), "a;1\nappending: a;1\n1\nclozing\n0\n");
  EXPECT_EQ(readFile("a"), "written later\n");
}

TEST(Splitter, MissingInputThrowsAtConstruction) {
  TempDir dir;
  ScopedChdir inDir(dir.path());
  try {
    Splitter splitter("none.csv", ";", false);
    FAIL() << "no Error";
  } catch (const Error& error) {
    EXPECT_EQ(error.getMessage(), "Could not open CSV File 'none.csv'");
  }
}

}  // namespace
