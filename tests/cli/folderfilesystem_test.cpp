// How names are compared where the file system folds case, and how the folder's file
// system is told apart from one that keeps every spelling apart.

#include "folderfilesystem.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

using testing_support::ScopedChdir;
using testing_support::TempDir;
using testing_support::writeFile;

struct FoldCase {
  const char* name;
  std::string spelling;
  std::string folded;
};

void PrintTo(const FoldCase& c, std::ostream* os) { *os << c.name; }

std::string repeated(const std::string& piece, int times) {
  std::string whole;
  for (int i = 0; i < times; ++i) whole += piece;
  return whole;
}

class FoldTest : public ::testing::TestWithParam<FoldCase> {};

TEST_P(FoldTest, FoldsAsFatAndExfatCompare) {
  FoldedName into;
  EXPECT_EQ(FolderFileSystem::fold(GetParam().spelling, into), GetParam().folded);
}

INSTANTIATE_TEST_SUITE_P(
    FolderFileSystem, FoldTest,
    ::testing::Values(FoldCase{"Ascii", "test.csv", "TEST.CSV"}, FoldCase{"AlreadyUpper", "CO", "CO"},
                      FoldCase{"LatinOneSupplement", "\xc3\xa4\xc3\xa9", "\xc3\x84\xc3\x89"},  // äé
                      FoldCase{"GreekFinalSigma", "\xcf\x82", "\xce\xa3"},                     // ς -> Σ
                      FoldCase{"Cyrillic", "\xd0\xb4", "\xd0\x94"},                            // д -> Д
                      FoldCase{"SharpSStaysApart", "\xc3\x9f", "\xc3\x9f"},  // ß has no single upper case
                      // ɐ (two bytes) has an upper case of three: the longest key still fits.
                      FoldCase{"GrowsInUtf8", repeated("\xc9\x90", 127), repeated("\xe2\xb1\xaf", 127)},
                      FoldCase{"BytesThatAreNotUtf8", "a\x80\xff\xc3", "A\x80\xff\xc3"},
                      FoldCase{"OverlongEncodingKept", "\xc0\xa1", "\xc0\xa1"}),
    testing_support::CaseName());

struct FolderCase {
  const char* name;
  std::vector<std::string> files;  // in the folder besides test.csv
  bool folds;
};

void PrintTo(const FolderCase& c, std::ostream* os) { *os << c.name; }

class FolderTest : public ::testing::TestWithParam<FolderCase> {};

// The temporary folder keeps every spelling apart, whether or not the input exists in
// another case there too.
TEST_P(FolderTest, TellsWhetherNamesFold) {
  TempDir dir;
  writeFile(dir / "test.csv", "a;1\n");
  for (const std::string& name : GetParam().files) writeFile(dir / name, "other\n");
  const ScopedChdir inside(dir.path());
  EXPECT_EQ(FolderFileSystem::ofCurrentFolder("test.csv").foldsNames(), GetParam().folds);
}

INSTANTIATE_TEST_SUITE_P(FolderFileSystem, FolderTest,
                         ::testing::Values(FolderCase{"OnlyTheInput", {}, false},
                                           FolderCase{"InputInAnotherCaseToo", {"TEST.CSV"}, false},
                                           FolderCase{"InputInMixedCaseToo", {"Test.Csv"}, false}),
                         testing_support::CaseName());

}  // namespace
