#ifndef VARNOLIX_PREFETCH_H_
#define VARNOLIX_PREFETCH_H_

#include <cstddef>

/// Fetching memory before it is used. With thousands of files, the index slot, record and
/// place that a line will touch are rarely in the processor's caches, and each is then a wait
/// for memory, one after the other; asked for a few lines ahead, the waits overlap. A fetch is
/// a hint: it never faults, and a wrong address costs nothing but the fetch. Forced inline:
/// a function that only fetches looks free of effects to the compiler, which drops its calls.
namespace prefetch {

/// From this many files on, their records and places no longer fit in the caches, and
/// fetching ahead pays.
inline constexpr std::size_t kManyFiles = 4096;

/// The processor's cache line.
inline constexpr std::size_t kCacheLine = 64;

/// Starts bringing the cache line of `address` in, to be read.
[[gnu::always_inline]] inline void forReading(const void* address) noexcept { __builtin_prefetch(address, 0); }

/// Starts bringing the cache line of `address` in, to be written.
[[gnu::always_inline]] inline void forWriting(const void* address) noexcept { __builtin_prefetch(address, 1); }

}  // namespace prefetch

#endif  // VARNOLIX_PREFETCH_H_
