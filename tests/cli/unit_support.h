#ifndef VARNOLIX_TESTS_UNIT_SUPPORT_H_
#define VARNOLIX_TESTS_UNIT_SUPPORT_H_

#include <gtest/gtest.h>

#include "failure.h"
#include "fileidentity.h"
#include "test_support.h"

namespace testing_support {

// A fresh current folder holding an empty input file, "in.csv", that no output may write.
struct InputFolder {
  TempDir dir;
  ScopedChdir inDir{dir.path()};
  const FileIdentity input = [] {
    writeFile("in.csv", "");
    return FileIdentity::ofPath("in.csv").value();
  }();
};

// Expects `actual` to be `expected` in every part that `expected`'s kind has.
inline void expectFailure(const Failure& actual, const Failure& expected) {
  EXPECT_EQ(actual.what(), expected.what());
  EXPECT_EQ(actual.how(), expected.how());
  EXPECT_EQ(actual.error(), expected.error());
  EXPECT_EQ(actual.refusal(), expected.refusal());
  if (actual.what() == Failure::What::kFile && expected.what() == Failure::What::kFile) {
    EXPECT_EQ(actual.file(), expected.file());
  }
  if (actual.refusal() == Failure::Refusal::kSameFileAs && expected.refusal() == Failure::Refusal::kSameFileAs) {
    EXPECT_EQ(actual.sameAs(), expected.sameAs());
  }
}

}  // namespace testing_support

#endif  // VARNOLIX_TESTS_UNIT_SUPPORT_H_
