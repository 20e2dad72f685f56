#include "outputfile.h"

#include <unistd.h>

#include <cerrno>

OutputFile::~OutputFile() { closeDescriptor(); }

void OutputFile::resizeBuffer(std::size_t newCapacity) {
  std::unique_ptr<char[]> resized(new char[newCapacity]);
  std::char_traits<char>::copy(resized.get(), buffer.get(), used);
  buffer = std::move(resized);
  capacity = newCapacity;
}

void OutputFile::releaseBuffer() noexcept {
  buffer.reset();
  capacity = 0;
}

int OutputFile::writeOut() noexcept {
  const int result = writeDirect(std::string_view(buffer.get(), used));
  if (result == 0) used = 0;
  return result;
}

int OutputFile::writeDirect(std::string_view data) noexcept {
  const char* next = data.data();
  std::size_t remaining = data.size();
  while (remaining > 0) {
    const ssize_t n = ::write(descriptor, next, remaining);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EIO;  // no progress: never spin
    next += n;
    remaining -= static_cast<std::size_t>(n);
  }
  return 0;
}

int OutputFile::closeDescriptor() noexcept {
  if (descriptor < 0) return 0;
  const int result = ::close(descriptor);
  descriptor = -1;
  // After EINTR the descriptor is released on Linux; the data may still have reached the
  // file, so only a definite failure counts.
  return result == 0 || errno == EINTR ? 0 : errno;
}
