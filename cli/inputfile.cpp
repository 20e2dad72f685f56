#include "inputfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
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
    buffer = allocateRawBytes(kChunkSize);
    if (buffer == nullptr) fail(ENOMEM);
    capacity = kChunkSize;
  }
}

void InputFile::fail(int errorNumber) noexcept {
  failure = errorNumber;
  endReached = true;
}

bool InputFile::refill(std::string_view& held) {
  ++refills;
  // Read behind the data while there is room: nothing moves, so the held line stays where it
  // is, and the end of the data costs no copy of it.
  if (filled == capacity && !makeRoom(held)) return false;
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
      position = filled;
      return false;
    }
    failure = errno;
    return false;
  }
}

bool InputFile::makeRoom(std::string_view& held) {
  if (held.data() >= buffer.get() && held.data() < buffer.get() + capacity) {
    try {
      heldCopy.assign(held.data(), held.size());
    } catch (const std::bad_alloc&) {
      failure = ENOMEM;
      return false;
    }
    held = heldCopy;
  }
  const std::size_t kept = filled - position;
  if (kept == capacity) {  // one line fills the whole buffer: make room for more of it
    char* const larger = static_cast<char*>(std::realloc(buffer.get(), 2 * capacity));
    if (larger == nullptr) {
      failure = ENOMEM;
      return false;
    }
    (void)buffer.release();  // realloc() took it over
    buffer.reset(larger);
    capacity *= 2;
  }
  if (kept > 0 && position > 0) std::memmove(buffer.get(), buffer.get() + position, kept);
  position = 0;
  filled = kept;
  return true;
}

std::string_view InputFile::readLineAcrossChunks(std::string_view& held) {
  // The bytes of the line so far hold no line feed: each refill is searched from where the
  // last search stopped, so that a long line arriving in small reads costs linear time.
  std::size_t searched = filled - position;
  searchedAcrossReads += searched;
  while (refill(held)) {
    const char* const start = buffer.get() + position;
    const std::size_t available = filled - position;
    const void* const lineFeed = std::memchr(start + searched, '\n', available - searched);
    searchedAcrossReads += lineFeed == nullptr
                               ? available - searched
                               : static_cast<std::size_t>(static_cast<const char*>(lineFeed) - start) + 1 - searched;
    if (lineFeed != nullptr) {
      const auto length = static_cast<std::size_t>(static_cast<const char*>(lineFeed) - start);
      position += length + 1;
      return std::string_view(start, length);
    }
    searched = available;
  }
  endReached = true;
  const std::string_view rest(buffer.get() + position, failure != 0 ? 0 : filled - position);
  position = filled;
  return rest;
}
