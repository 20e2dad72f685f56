#include "linewindow.h"

#include <sys/mman.h>

#include <algorithm>
#include <cassert>

#include "prefetch.h"

namespace {

// Below this, a window is not worth having: a few lines would fill it.
constexpr std::size_t kSmallestHalf = std::size_t{32} * 1024;
constexpr std::size_t kPage = 4096;
// Offsets into a half are 32 bits.
constexpr std::size_t kLargestHalf = std::size_t{1} << 31;
constexpr std::size_t kPlaceAhead = 16;       // lines
constexpr std::size_t kDestinationAhead = 8;  // lines
static_assert(kDestinationAhead < kPlaceAhead, "a line's destination comes from the place fetched before");

}  // namespace

LineWindow::LineWindow(std::size_t budgetBytes) noexcept : budget(std::min(budgetBytes, 2 * kLargestHalf)) {}

LineWindow::~LineWindow() {
  if (region != nullptr) ::munmap(region, mappedBytes);
}

bool LineWindow::reserve(bool wholeBudgetOnly) noexcept {
  if (region != nullptr) return true;
  for (std::size_t halfBytes = std::max(budget / 2 / kPage, std::size_t{1}) * kPage;;) {
    // Untouched pages cost nothing: the budget is a ceiling, not an allocation.
    void* const mapped =
        ::mmap(nullptr, 2 * halfBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (mapped != MAP_FAILED) {
      region = static_cast<char*>(mapped);
      mappedBytes = 2 * halfBytes;
      half = halfBytes;
      if (largePages) preferLargePages();
      restart();
      return true;
    }
    halfBytes = halfBytes / 2 / kPage * kPage;
    if (wholeBudgetOnly || halfBytes < kSmallestHalf) return false;
  }
}

void LineWindow::reserveFiles(std::size_t files) {
  if (files > cursor.size()) {
    // Doubling: growing by one each time would copy all every time.
    const std::size_t wanted = std::max(files, 2 * cursor.size() + 64);
    cursor.reserve(wanted);
    touched.reserve((wanted + 63) / 64);
    cursor.resize(wanted);
    touched.resize((wanted + 63) / 64);
  }
  touchedWords = std::max(touchedWords, (files + 63) / 64);
}

std::size_t LineWindow::appendBytes(std::uint32_t file, const char* bytes, std::size_t size) noexcept {
  assert(file < cursor.size() && "reserveFiles() first");
  if (!reserve()) return 0;
  const auto room = static_cast<std::size_t>(entriesEnd - logEnd);
  if (room <= kEntrySize) return 0;
  const std::size_t taken = std::min(size, room - kEntrySize);
  std::memcpy(logEnd, bytes, taken);
  logEnd += taken;
  entriesEnd -= kEntrySize;
  const Entry entry{file, static_cast<std::uint32_t>(logEnd - region)};
  std::memcpy(entriesEnd, &entry, kEntrySize);
  return taken;
}

// Copies the lines of `entries` (the first line's entry last) from `lines` to `out` at their
// files' places.
template <bool kFetchAhead>
void LineWindow::copyToPlaces(const char* lines, const char* entries, std::size_t count, char* out,
                              std::vector<std::uint32_t>& places) noexcept {
  const auto entryAt = [entries, count](std::size_t line) {
    Entry entry;
    std::memcpy(&entry, entries + (count - 1 - line) * LineWindow::kEntrySize, sizeof entry);
    return entry;
  };
  std::uint32_t start = 0;
  for (std::size_t line = 0; line < count; ++line) {
    if (kFetchAhead) {
      if (line + kPlaceAhead < count) prefetch::forReading(&places[entryAt(line + kPlaceAhead).file]);
      if (line + kDestinationAhead < count) prefetch::forWriting(out + places[entryAt(line + kDestinationAhead).file]);
    }
    const Entry entry = entryAt(line);
    const std::uint32_t place = places[entry.file];
    const std::uint32_t length = entry.end - start;
    std::memcpy(out + place, lines + start, length);
    places[entry.file] = place + length;
    start = entry.end;
  }
}

void LineWindow::sortByFile() noexcept {
  if (region == nullptr) return;
  const auto count = static_cast<std::size_t>(region + limitBytes - entriesEnd) / kEntrySize;
  if (touchedWords * 64 > prefetch::kManyFiles) {  // places and destinations fetched ahead
    copyToPlaces<true>(region, entriesEnd, count, sorted(), cursor);
  } else {
    copyToPlaces<false>(region, entriesEnd, count, sorted(), cursor);
  }
}

void LineWindow::clear() noexcept {
  if (region != nullptr) {
    restart();
  } else {  // files noted before the region was had are dropped all the same
    std::fill(touched.begin(), touched.begin() + static_cast<std::ptrdiff_t>(touchedWords), std::uint64_t{0});
  }
}

void LineWindow::restart() noexcept {
  limitBytes = half / kEntrySize * kEntrySize;
  logEnd = region;
  entriesEnd = region + limitBytes;
  std::fill(touched.begin(), touched.begin() + static_cast<std::ptrdiff_t>(touchedWords), std::uint64_t{0});
}

std::size_t LineWindow::spareBytesAfterShrink() const noexcept {
  const std::size_t smaller = half / 2 / kPage * kPage;
  return region != nullptr && smaller >= kSmallestHalf ? smaller : 0;
}

bool LineWindow::shrink() noexcept {
  const std::size_t smaller = spareBytesAfterShrink();
  if (smaller == 0 || !empty()) return false;
  // Both halves are free while the window is empty: the second simply starts earlier.
  if (::munmap(region + 2 * smaller, mappedBytes - 2 * smaller) != 0) return false;
  mappedBytes = 2 * smaller;
  half = smaller;
  restart();
  return true;
}

void LineWindow::preferLargePages() noexcept {
  largePages = true;
  if (region != nullptr) (void)::madvise(region, mappedBytes, MADV_HUGEPAGE);
}
