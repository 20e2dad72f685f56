#include "inputfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "interruption.h"

namespace {

// Large enough that the per-call cost of read() vanishes, small enough to stay in cache.
constexpr std::size_t kChunkSize = std::size_t{256} * 1024;

}  // namespace

InputFile::InputFile(const std::string& path)
    : filePath(path), descriptor(Descriptor::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
  struct stat status {};
  if (!descriptor.isOpen() && descriptor.error() == EINTR) {
    endReached = true;  // asked to stop while waiting to open (a FIFO without a writer): no data
  } else if (!descriptor.isOpen()) {
    fail(descriptor.error());
  } else if (::fstat(descriptor.get(), &status) != 0) {
    fail(errno);
  } else if (S_ISDIR(status.st_mode)) {
    fail(EISDIR);
  } else {
    fileIdentity = FileIdentity::of(status);
    buffer.reset(new (std::nothrow) char[kChunkSize]);
    if (buffer == nullptr) fail(ENOMEM);
    capacity = kChunkSize;
  }
}

void InputFile::fail(int errorNumber) noexcept {
  failure = errorNumber;
  endReached = true;
}

bool InputFile::refill(std::string_view& held) {
  const std::size_t unread = filled - position;
  try {
    if (held.data() >= buffer.get() && held.data() < buffer.get() + capacity) {
      heldCopy.assign(held.data(), held.size());
      held = heldCopy;
    }
    if (unread == capacity) {  // one line fills the whole buffer: make room for more of it
      std::unique_ptr<char[]> larger(new char[2 * capacity]);
      std::memcpy(larger.get(), buffer.get(), unread);
      buffer = std::move(larger);
      capacity *= 2;
    }
  } catch (const std::bad_alloc&) {
    failure = ENOMEM;
    return false;
  }
  if (unread > 0 && position > 0) std::memmove(buffer.get(), buffer.get() + position, unread);
  position = 0;
  filled = unread;
  for (;;) {
    const ssize_t n = ::read(descriptor.get(), buffer.get() + filled, capacity - filled);
    if (n > 0) {
      filled += static_cast<std::size_t>(n);
      bytesRead += static_cast<unsigned long long>(n);
      return true;
    }
    if (n == 0) return false;
    if (errno == EINTR && !interruption::stopRequested()) continue;
    if (errno == EINTR) {
      // Asked to stop while waiting for data (a FIFO): the data ends here, without the line
      // in progress.
      filled = 0;
      return false;
    }
    failure = errno;
    return false;
  }
}

std::string_view InputFile::readLineAcrossChunks(std::string_view& held) {
  std::string_view line;
  while (refill(held)) {
    if (takeBufferedLine(line)) return line;
  }
  endReached = true;
  const std::string_view rest(buffer.get() + position, failure != 0 ? 0 : filled - position);
  position = filled;
  return rest;
}
