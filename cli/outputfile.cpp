#include "outputfile.h"

#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

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
  std::vector<iovec> pieces;
  pieces.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t size = i + 1 == blocks.size() ? BlockPool::kBlockSize - room() : BlockPool::kBlockSize;
    if (size > 0) pieces.push_back(iovec{blocks[i], size});
  }
  for (std::size_t first = 0; first < pieces.size();) {
    const int batch = static_cast<int>(std::min<std::size_t>(pieces.size() - first, IOV_MAX));
    ssize_t written = ::writev(fd, pieces.data() + first, batch);
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (written == 0) return EIO;  // no progress: never spin
    // Skip what was written, possibly ending inside a piece.
    while (written > 0) {
      auto& piece = pieces[first];
      const auto step = std::min(static_cast<std::size_t>(written), piece.iov_len);
      piece.iov_base = static_cast<char*>(piece.iov_base) + step;
      piece.iov_len -= step;
      written -= static_cast<ssize_t>(step);
      if (piece.iov_len == 0) ++first;
    }
  }
  for (std::size_t i = 0; i < count; ++i) pool.release(blocks[i]);
  blocks.erase(blocks.begin(), blocks.begin() + static_cast<std::ptrdiff_t>(count));
  if (blocks.empty()) {
    tail = nullptr;
    limit = nullptr;
  }
  return 0;
}
