#include "rounds.h"

#include <cassert>

Failure Rounds::take(const char* records, std::size_t size) noexcept {
  for (std::size_t at = 0; at < size;) {
    assert(size - at >= kHeaderBytes);
    const std::uint32_t file = headerField(records + at, 0);
    const std::uint32_t length = headerField(records + at, 1);
    assert(size - at - kHeaderBytes >= length);
    files.write(file, records + at + kHeaderBytes, length);
    at += kHeaderBytes + length;
  }
  return Failure();  // the files' own failures are theirs, noted in the table
}
