#ifndef VARNOLIX_FOLDEDNAME_H_
#define VARNOLIX_FOLDEDNAME_H_

#include <climits>
#include <cstddef>
#include <string_view>

/// A name as a file system that folds case compares it: room for a name of up to NAME_MAX
/// bytes whose characters all grow when folded.
struct FoldedName {
  char bytes[2 * NAME_MAX];
  std::size_t size = 0;

  std::string_view view() const noexcept { return {bytes, size}; }
};

#endif  // VARNOLIX_FOLDEDNAME_H_
