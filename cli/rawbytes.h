#ifndef VARNOLIX_RAWBYTES_H_
#define VARNOLIX_RAWBYTES_H_

#include <cstddef>
#include <cstdlib>
#include <memory>

/// Frees bytes that allocateRawBytes() handed out.
struct FreeRawBytes {
  void operator()(char* bytes) const noexcept { std::free(bytes); }
};

/// Bytes from malloc(), owned and freed with free().
using RawBytes = std::unique_ptr<char[], FreeRawBytes>;

/// Returns `size` bytes, or null when memory is out. Unlike new (std::nothrow), which
/// throws and catches inside, it needs no memory for an exception, so it also works when
/// there is none left even for that.
inline RawBytes allocateRawBytes(std::size_t size) noexcept { return RawBytes(static_cast<char*>(std::malloc(size))); }

#endif  // VARNOLIX_RAWBYTES_H_
