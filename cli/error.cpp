#include "error.h"

#include <new>
#include <numeric>
#include <utility>

#include "rawbytes.h"

namespace {

// Memory given back when a failure must be reported and memory has run out, so that the
// message can still be composed.
RawBytes reserve = allocateRawBytes(std::size_t{64} * 1024);

std::string concatenated(std::initializer_list<std::string_view> parts) {
  std::string text;
  text.reserve(std::accumulate(parts.begin(), parts.end(), std::size_t{0},
                               [](std::size_t size, std::string_view part) { return size + part.size(); }));
  for (const std::string_view part : parts) text.append(part);
  return text;
}

}  // namespace

// Copies inside, so that a failure to copy ends the program (noexcept) instead of
// replacing the error being reported.
Error::Error(const std::string& text) noexcept : message(text) {}  // NOLINT(modernize-pass-by-value)

Error::Error(std::string&& text, Composed /*tag*/) noexcept : message(std::move(text)) {}

Error Error::of(std::initializer_list<std::string_view> parts) noexcept {
  try {
    return Error(concatenated(parts), Composed{});
  } catch (const std::bad_alloc&) {
    reserve.reset();
  }
  try {
    return Error(concatenated(parts), Composed{});
  } catch (const std::bad_alloc&) {
    return Error(std::string("Out of memory"), Composed{});  // short enough to need no memory
  }
}

bool Error::memoryReserved() noexcept { return reserve != nullptr; }

Error::~Error() noexcept = default;

const std::string& Error::getMessage() const noexcept { return message; }
