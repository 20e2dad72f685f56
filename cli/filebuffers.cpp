#include "filebuffers.h"

#include <sys/mman.h>

#include <algorithm>
#include <utility>

namespace {

constexpr std::size_t kMostFiles = 3072;
constexpr std::size_t kLargestBuffer = std::size_t{64} * 1024;
constexpr std::size_t kSmallestBuffer = std::size_t{16} * 1024;
// 64 buffers of 64 KiB, 64 of 32 KiB and the rest of 16 KiB.
constexpr std::size_t kMostBytes = 64 * kLargestBuffer + 64 * kLargestBuffer / 2 + (kMostFiles - 128) * kSmallestBuffer;

std::size_t bufferSizeFor(std::size_t files) noexcept {
  return files <= 64 ? kLargestBuffer : files <= 128 ? kLargestBuffer / 2 : kSmallestBuffer;
}

}  // namespace

FileBuffers::FileBuffers(std::size_t budgetBytes, FileTable& table) noexcept
    : files(table), budget(std::min(budgetBytes, kMostBytes)) {}

FileBuffers::~FileBuffers() { releaseAll(); }

bool FileBuffers::giveBuffer(OutputFile& file) noexcept {
  if (!active) return false;
  const std::size_t size = bufferSizeFor(files.size());
  if (region == nullptr) {
    // Untouched pages cost nothing: the budget is a ceiling, not an allocation.
    void* const mapped =
        ::mmap(nullptr, budget, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (mapped != MAP_FAILED) region = static_cast<char*>(mapped);
  }
  if (region == nullptr || files.size() > kMostFiles || budget - used < size) return false;
  file.buffer = static_cast<std::uint32_t>(used);
  file.bufferSizeLog = static_cast<std::uint8_t>(__builtin_ctzll(size));
  used += size;
  if (size < bufferSizeFor(files.size() - 1)) {
    // More files share the cache now: the earlier ones write as often as a new one does.
    for (std::uint32_t number = 0; number + 1 < files.size(); ++number) {
      OutputFile& earlier = files[number];
      if (earlier.bufferSizeLog <= file.bufferSizeLog) continue;
      earlier.bufferSizeLog = file.bufferSizeLog;
      if (earlier.pending + 1 >= size) writeOut(earlier);
    }
  }
  return true;
}

void FileBuffers::copyIn(OutputFile& file, std::string_view bytes) noexcept {
  const std::size_t size = std::size_t{1} << file.bufferSizeLog;
  while (!bytes.empty()) {
    const std::size_t taken = std::min(bytes.size(), size - file.pending);
    std::memcpy(region + file.buffer + file.pending, bytes.data(), taken);
    file.pending += static_cast<std::uint32_t>(taken);
    bytes.remove_prefix(taken);
    if (file.pending == size) writeOut(file);
  }
}

void FileBuffers::writeOut(OutputFile& file) noexcept {
  // Its share gathered: out in one write, while the lines are still in the cache.
  files.write(file.index, region + file.buffer, file.pending);
  file.pending = 0;
}

void FileBuffers::writeAll() noexcept {
  if (!active) return;
  for (std::uint32_t number = 0; number < files.size(); ++number) {
    if (files[number].pending != 0) writeOut(files[number]);
  }
}

void FileBuffers::leaveFor(LineWindow& window) noexcept {
  if (!active) return;
  // The lines waiting move when the window can hold them all beside the buffers, so that
  // no file writes more often for the change; else they are written out.
  std::size_t waiting = 0;
  for (std::uint32_t number = 0; number < files.size(); ++number) {
    waiting += files[number].pending + LineWindow::kEntrySize;
  }
  // The whole window, or the buffers are given back first: a window cut short beside them
  // would stay short for the rest of the run.
  if (!window.reserve(true) || waiting > window.limit()) writeAll();
  for (std::uint32_t number = 0; number < files.size(); ++number) {
    OutputFile& file = files[number];
    if (file.pending == 0) continue;
    (void)window.appendBytes(number, region + file.buffer, file.pending);  // room counted above
    window.noteFile(number);
  }
  releaseAll();
}

void FileBuffers::releaseAll() noexcept {
  if (region != nullptr) ::munmap(region, budget);
  region = nullptr;
  active = false;
}
