#include "blockpool.h"

#include <algorithm>

namespace {
constexpr std::size_t kBlocksPerSlab = 64;  // a quarter of a MiB
}  // namespace

BlockPool::BlockPool(std::size_t limit) : maxBlocks(limit) { free.reserve(kBlocksPerSlab); }

char* BlockPool::acquire() {
  if (free.empty()) {
    if (carved == maxBlocks) return nullptr;
    // Slab memory is not touched here: pages become resident only when blocks are used.
    const std::size_t count = std::min(kBlocksPerSlab, maxBlocks - carved);
    // Room for every block carved to come back, so that release() never allocates.
    free.reserve(carved + count);
    slabs.reserve(slabs.size() + 1);
    slabs.emplace_back(new char[count * kBlockSize]);
    for (std::size_t i = count; i-- > 0;) free.push_back(slabs.back().get() + i * kBlockSize);
    carved += count;
  }
  char* const block = free.back();
  free.pop_back();
  return block;
}
