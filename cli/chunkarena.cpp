#include "chunkarena.h"

#include <sys/mman.h>

#include <algorithm>
#include <iterator>

namespace {
// Below this, a region is not worth having: a file's chain could not even reach a page.
constexpr std::size_t kSmallestRegion = std::size_t{64} * 1024;
}  // namespace

ChunkArena::ChunkArena(std::size_t budgetBytes) noexcept
    : budget(std::min<std::size_t>(budgetBytes, std::size_t{kLinkMask - 1} * kCellSize)) {}

ChunkArena::~ChunkArena() {
  if (region != nullptr) ::munmap(region, mappedBytes);
}

bool ChunkArena::reserve() noexcept {
  for (std::size_t regionBytes = budget / kCellSize * kCellSize; regionBytes >= kCellSize; regionBytes /= 2) {
    const std::size_t linkBytes = (regionBytes / kCellSize + 1) * sizeof(Cell);
    const std::size_t total = regionBytes + linkBytes;
    // Untouched pages cost nothing: the budget is a ceiling, not an allocation.
    void* const mapped =
        ::mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (mapped != MAP_FAILED) {
      region = static_cast<char*>(mapped);
      links = reinterpret_cast<Cell*>(region + regionBytes);
      mappedBytes = total;
      cells = static_cast<Cell>(regionBytes / kCellSize);
      if (largePages) preferLargePages();
      return true;
    }
    if (regionBytes / 2 < kSmallestRegion) break;
  }
  reserveFailed = true;
  return false;
}

ChunkArena::Cell ChunkArena::acquire(int sizeClass) noexcept {
  if (Cell chunk = freeChunks[sizeClass]) {
    freeChunks[sizeClass] = next(chunk);
    link(chunk, kNoChunk);
    return chunk;
  }
  if (region == nullptr && (reserveFailed || !reserve())) return kNoChunk;
  const Cell span = static_cast<Cell>(sizeOf(sizeClass) / kCellSize);
  if (cells + 1 - top < span) return kNoChunk;
  const Cell chunk = top;
  top += span;
  links[chunk] = static_cast<Cell>(sizeClass) << kClassShift;
  return chunk;
}

void ChunkArena::release(Cell chunk) noexcept {
  const int sizeClass = static_cast<int>(links[chunk] >> kClassShift);
  link(chunk, freeChunks[sizeClass]);
  freeChunks[sizeClass] = chunk;
}

void ChunkArena::releaseAll() noexcept {
  top = 1;
  std::fill(std::begin(freeChunks), std::end(freeChunks), kNoChunk);
}

bool ChunkArena::shrink() noexcept {
  const std::size_t regionBytes = capacity();
  if (regionBytes / 2 < kSmallestRegion) return false;
  const std::size_t kept = regionBytes / 2 / 4096 * 4096;
  // The links behind the bytes stay: more of them than the smaller region needs.
  if (::munmap(region + kept, regionBytes - kept) != 0) return false;
  cells = static_cast<Cell>(kept / kCellSize);
  budget = kept;
  return true;
}

void ChunkArena::preferLargePages() noexcept {
  largePages = true;
  if (region != nullptr) (void)::madvise(region, mappedBytes, MADV_HUGEPAGE);
}
