#ifndef VARNOLIX_OUTPUTLIMITS_H_
#define VARNOLIX_OUTPUTLIMITS_H_

#include <cstddef>
#include <optional>

#include "keyhash.h"

/// How much an OutputSet may hold at once, and where lines may wait.
struct OutputLimits {
  // Lines waiting in memory, at most; less when the address-space or data limit
  // (RLIMIT_AS, RLIMIT_DATA) leaves less room.
  std::size_t bufferBytes = std::size_t{96} * 1024 * 1024;
  // Descriptors; 0 means as many as RLIMIT_NOFILE allows.
  std::size_t openFiles = 0;
  // Whether lines may wait in an unnamed file of the folder's file system when memory is full.
  bool setAsideInFile = true;
  // The secret of the key hashes; none: drawn for the run.
  std::optional<HashSeed> hashSeed = std::nullopt;
};

#endif  // VARNOLIX_OUTPUTLIMITS_H_
