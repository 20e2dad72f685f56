#include "outputfile.h"

#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {
// Pieces per writev(): more than a file ever holds, and on the stack, so that writing out
// allocates nothing, also on the way out after a lack of memory.
constexpr std::size_t kPiecesPerWrite = 64;
}  // namespace

OutputFile::~OutputFile() {
  for (char* block : blocks) pool.release(block);
}

std::size_t OutputFile::fill(std::string_view bytes) noexcept {
  const std::size_t count = std::min(bytes.size(), room());
  std::char_traits<char>::copy(tail, bytes.data(), count);
  tail += count;
  return count;
}

int OutputFile::writeOut(int fd, bool everything) noexcept {
  const std::size_t count = everything || room() == 0 ? blocks.size() : blocks.size() - 1;
  std::size_t total = 0;
  for (std::size_t i = 0; i < count; ++i) total += bytesIn(i);
  std::size_t done = 0;
  while (done < total) {
    // The pieces still to go, starting inside a block after a short write.
    iovec pieces[kPiecesPerWrite];
    int used = 0;
    std::size_t skip = done;
    for (std::size_t i = 0; i < count && used < static_cast<int>(kPiecesPerWrite); ++i) {
      const std::size_t size = bytesIn(i);
      if (skip >= size) {
        skip -= size;
        continue;
      }
      pieces[used++] = iovec{blocks[i] + skip, size - skip};
      skip = 0;
    }
    const ssize_t n = ::writev(fd, pieces, used);
    // An output file is a regular file, which no other process can hold up: an interrupted
    // write is repeated even after a stop was asked, since the write-out must finish.
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int error = n < 0 ? errno : EIO;  // no progress: never spin
      noteWritten(done);
      return error;
    }
    done += static_cast<std::size_t>(n);
  }
  noteWritten(done);
  for (std::size_t i = 0; i < count; ++i) pool.release(blocks[i]);
  blocks.erase(blocks.begin(), blocks.begin() + static_cast<std::ptrdiff_t>(count));
  if (blocks.empty()) {
    tail = nullptr;
    limit = nullptr;
  }
  return 0;
}

void OutputFile::noteWritten(std::size_t count) noexcept {
  // Every block but the last is full, so block i starts at i * kBlockSize.
  for (std::size_t i = (count + BlockPool::kBlockSize - 1) / BlockPool::kBlockSize; i-- > 0;) {
    const std::size_t start = i * BlockPool::kBlockSize;
    const void* const lineFeed = ::memrchr(blocks[i], '\n', std::min(count - start, BlockPool::kBlockSize));
    if (lineFeed != nullptr) {
      wholeLineBytes = written + start + static_cast<std::size_t>(static_cast<const char*>(lineFeed) - blocks[i]) + 1;
      break;
    }
  }
  written += count;
}

void OutputFile::dropPartialLine() noexcept {
  std::size_t keep = blocks.size();  // blocks kept, the last of them up to `end`
  char* end = nullptr;
  while (keep > 0 && end == nullptr) {
    --keep;
    auto* const lineFeed = static_cast<char*>(::memrchr(blocks[keep], '\n', bytesIn(keep)));
    if (lineFeed != nullptr) end = lineFeed + 1;
  }
  const std::size_t first = end == nullptr ? 0 : keep + 1;  // the first block to drop
  for (std::size_t i = first; i < blocks.size(); ++i) pool.release(blocks[i]);
  blocks.erase(blocks.begin() + static_cast<std::ptrdiff_t>(first), blocks.end());
  tail = end;
  limit = end == nullptr ? nullptr : blocks.back() + BlockPool::kBlockSize;
}

int OutputFile::cutBackToWholeLines(int fd) noexcept {
  struct stat status {};
  if (::fstat(fd, &status) != 0) return errno;
  if (static_cast<std::uint64_t>(status.st_size) > wholeLineBytes &&
      ::ftruncate(fd, static_cast<off_t>(wholeLineBytes)) != 0) {
    return errno;
  }
  written = wholeLineBytes;
  return 0;
}
