#ifndef VARNOLIX_CHUNKARENA_H_
#define VARNOLIX_CHUNKARENA_H_

#include <cstddef>
#include <cstdint>

/// The memory in which lines wait for their files: one region of at most a budget of bytes,
/// cut into chunks of 64 bytes to 4 KiB, each file's chunks chained into one list.
///
/// A file starts with small chunks and takes larger ones as it grows (64, 64, 128, ...,
/// 2048, then 4096 bytes), so that a key with one short line costs 64 bytes, not a page,
/// while a busy file's chain adds up to whole pages and is written in whole pages. The
/// chain links and size classes live apart from the chunks' bytes. Chunks come back one by
/// one (to lists per size class) or all at once. The region is reserved on first use and
/// its pages become resident only as chunks are used; when the budget cannot be reserved,
/// half of it is tried, and so on. Owns the region; not copyable.
class ChunkArena {
 public:
  using Cell = std::uint32_t;  // a chunk's number; 0 is no chunk
  static constexpr Cell kNoChunk = 0;
  static constexpr int kLargestClass = 6;  // 4096 bytes
  static constexpr std::size_t kLargestChunk = std::size_t{64} << kLargestClass;

  /// Holds at most `budget` bytes of chunks.
  explicit ChunkArena(std::size_t budget) noexcept;
  ~ChunkArena();

  ChunkArena(const ChunkArena&) = delete;
  ChunkArena& operator=(const ChunkArena&) = delete;

  /// Returns the size of a chunk of class `sizeClass` (0 to kLargestClass).
  static constexpr std::size_t sizeOf(int sizeClass) noexcept { return std::size_t{64} << sizeClass; }

  /// Returns the class of the `taken`-th chunk (counted from 0) of a chain: 64, 64, 128, ...
  /// bytes, so that the first n chunks add up to a power of two.
  static constexpr int classOfChunk(unsigned taken) noexcept {
    return taken == 0 ? 0 : (taken - 1 < kLargestClass ? static_cast<int>(taken - 1) : kLargestClass);
  }

  /// Returns a chunk of class `sizeClass`, or kNoChunk when the budget is used up or the
  /// region cannot be had. Its link is kNoChunk.
  Cell acquire(int sizeClass) noexcept;

  /// Takes back one chunk.
  void release(Cell chunk) noexcept;

  /// Takes back every chunk at once.
  void releaseAll() noexcept;

  /// Returns the first byte of `chunk`.
  char* bytes(Cell chunk) const noexcept { return &region[std::size_t{chunk - 1U} * kCellSize]; }

  /// Returns the size of `chunk`.
  std::size_t size(Cell chunk) const noexcept { return sizeOf(static_cast<int>(links[chunk] >> kClassShift)); }

  /// Returns the chunk after `chunk` in its chain, or kNoChunk.
  Cell next(Cell chunk) const noexcept { return links[chunk] & kLinkMask; }

  /// Makes `following` the chunk after `chunk`.
  void link(Cell chunk, Cell following) noexcept { links[chunk] = (links[chunk] & ~kLinkMask) | following; }

  /// Returns the bytes the region may hold, once reserved (0 before and when it cannot be).
  std::size_t capacity() const noexcept { return cells * kCellSize; }

  /// Asks for the region in large pages: worth it once chunks of tens of thousands of files
  /// are written all over it (each large page saves the processor thousands of address
  /// translations), not before (a large page makes a few small chains cost 2 MiB).
  void preferLargePages() noexcept;

  /// Gives back half of the region, for memory that other parts of the program need more;
  /// every chunk must have been taken back (releaseAll()). Returns false when the region is
  /// as small as it may be.
  bool shrink() noexcept;

 private:
  static constexpr std::size_t kCellSize = 64;
  static constexpr unsigned kClassShift = 29;
  static constexpr Cell kLinkMask = (Cell{1} << kClassShift) - 1;

  bool reserve() noexcept;

  std::size_t budget;
  char* region = nullptr;
  Cell* links = nullptr;  // per 64-byte cell, from 1: size class (top bits) and next chunk
  std::size_t mappedBytes = 0;
  Cell cells = 0;
  Cell top = 1;  // the first cell never handed out
  Cell freeChunks[kLargestClass + 1] = {};
  bool reserveFailed = false;
  bool largePages = false;
};

#endif  // VARNOLIX_CHUNKARENA_H_
