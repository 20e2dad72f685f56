#ifndef VARNOLIX_DESCRIPTORSOURCE_H_
#define VARNOLIX_DESCRIPTORSOURCE_H_

#include <cstdint>

#include "failure.h"

/// Where a WholeLineWriter gets the descriptor of its file when it first needs one: a
/// function and what it works on. Not a virtual class: it is asked on every line, and a plain
/// function pointer keeps that call as cheap as a call can be.
struct DescriptorSource {
  /// Returns the open descriptor of file `file`, opening it again if it was closed; -1 with
  /// `failure` set when that fails.
  using Function = int (*)(void* owner, std::uint32_t file, Failure& failure) noexcept;

  Function function;
  void* owner;

  int descriptorFor(std::uint32_t file, Failure& failure) const noexcept { return function(owner, file, failure); }
};

#endif  // VARNOLIX_DESCRIPTORSOURCE_H_
