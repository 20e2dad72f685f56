#ifndef VARNOLIX_FILESTATE_H_
#define VARNOLIX_FILESTATE_H_

#include <cstdint>

#include "failure.h"
#include "fileidentity.h"

/// What is known of how one output file was written: the bytes written, the bytes up to its
/// last line feed, the file created (which a reopened file must be), and how it failed.
struct FileState {
  std::uint64_t written = 0;     // bytes written to the file in this run
  std::uint64_t wholeLines = 0;  // of those, the bytes up to the last line feed
  FileIdentity identity;         // of the file created
  Failure failure;               // the first, if it failed: of the file, or of lines set aside
};

#endif  // VARNOLIX_FILESTATE_H_
