#ifndef VARNOLIX_GUARDEDFILES_H_
#define VARNOLIX_GUARDEDFILES_H_

#include <optional>
#include <string_view>

#include "fileidentity.h"

/// The files a run must never write as its own: the input, with the name it was opened by in
/// the current folder, and the file standard output goes to, if it is one.
struct GuardedFiles {
  FileIdentity input;
  std::string_view inputName;
  std::optional<FileIdentity> standardOutput;
  int standardOutputDescriptor = -1;  // where the narration goes, to learn its name by
};

#endif  // VARNOLIX_GUARDEDFILES_H_
