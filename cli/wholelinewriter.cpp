#include "wholelinewriter.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// Writes `count` pieces to `fd`; returns 0 or the errno value. Keeps the count of bytes up
// to the last line feed written.
int writePieces(FileState& state, int fd, const iovec* pieces, int count) noexcept {
  std::size_t total = 0;
  for (int i = 0; i < count; ++i) total += pieces[i].iov_len;
  std::size_t done = 0;
  int error = 0;
  while (done < total) {
    // The pieces still to go, starting inside one after a short write.
    iovec rest[64];
    int used = 0;
    std::size_t skip = done;
    for (int i = 0; i < count; ++i) {
      if (skip >= pieces[i].iov_len) {
        skip -= pieces[i].iov_len;
        continue;
      }
      rest[used++] = iovec{static_cast<char*>(pieces[i].iov_base) + skip, pieces[i].iov_len - skip};
      skip = 0;
    }
    const ssize_t n = ::writev(fd, rest, used);
    // An output file is a regular file, which no other process can hold up: an interrupted
    // write is repeated even after a stop was asked, since the write-out must finish.
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n < 0 ? errno : EIO;  // no progress: never spin
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  // The last line feed written, looked for from the end of what went out.
  std::size_t end = done;
  std::size_t start = total;  // of piece i
  for (int i = count; i-- > 0 && end > 0;) {
    start -= pieces[i].iov_len;
    if (start >= end) continue;
    const auto* const bytes = static_cast<const char*>(pieces[i].iov_base);
    if (const void* const lineFeed = ::memrchr(bytes, '\n', end - start)) {
      state.wholeLines =
          state.written + start + static_cast<std::size_t>(static_cast<const char*>(lineFeed) - bytes) + 1;
      break;
    }
    end = start;
  }
  state.written += done;
  return error;
}

}  // namespace

void WholeLineWriter::flush() noexcept {
  const int pending = count;
  count = 0;
  if (pending == 0 || fileState.failure) return;
  if (fd < 0) {
    Failure failure;
    fd = descriptors.descriptorFor(number, failure);
    if (fd < 0) {
      fail(fileState, -1, failure);
      return;
    }
  }
  if (const int error = writePieces(fileState, fd, pieces, pending)) {
    fail(fileState, fd, Failure::ofFile(number, Failure::How::kWrite, error));
  }
}

void WholeLineWriter::fail(FileState& state, int fd, Failure failure) noexcept {
  // Cut back to whole lines, only ever shrinking: never extending a file that changed.
  struct stat status {};
  if (fd >= 0 && ::fstat(fd, &status) == 0 && static_cast<std::uint64_t>(status.st_size) > state.wholeLines &&
      ::ftruncate(fd, static_cast<off_t>(state.wholeLines)) == 0) {
    state.written = state.wholeLines;
  }
  if (failure && !state.failure) state.failure = failure;
}
