#ifndef VARNOLIX_TESTS_INPUT_FOLDER_H_
#define VARNOLIX_TESTS_INPUT_FOLDER_H_

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

}  // namespace testing_support

#endif  // VARNOLIX_TESTS_INPUT_FOLDER_H_
