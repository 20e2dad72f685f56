#ifndef VARNOLIX_BLOCKPOOL_H_
#define VARNOLIX_BLOCKPOOL_H_

#include <cstddef>
#include <memory>
#include <vector>

/// Fixed-size blocks for buffering output, handed out up to a fixed number so that all
/// buffers together stay within a budget whatever the input.
///
/// Blocks are the size of a memory page: a file written in whole blocks is written in
/// whole pages, which spares the kernel zeroing and merging partial pages. Blocks are
/// carved from large slabs (no per-block allocation, no fragmentation) and recycled.
/// Owns all its memory; not copyable.
class BlockPool {
 public:
  static constexpr std::size_t kBlockSize = 4096;

  /// Hands out at most `limit` blocks at a time.
  explicit BlockPool(std::size_t limit);

  BlockPool(const BlockPool&) = delete;
  BlockPool& operator=(const BlockPool&) = delete;

  /// Returns a block of kBlockSize bytes, or null when the limit is handed out.
  /// Throws std::bad_alloc when memory for more blocks runs out.
  char* acquire();

  /// Takes back a block that acquire() handed out. Never allocates.
  void release(char* block) noexcept { free.push_back(block); }

 private:
  const std::size_t maxBlocks;
  std::size_t carved = 0;  // blocks cut from slabs so far
  std::vector<std::unique_ptr<char[]>> slabs;
  std::vector<char*> free;
};

#endif  // VARNOLIX_BLOCKPOOL_H_
