#include "standardoutput.h"

#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace {

constexpr std::size_t kBufferSize = std::size_t{256} * 1024;

bool isNullDevice(int fd) {
  struct stat status {};
  return ::fstat(fd, &status) == 0 && S_ISCHR(status.st_mode) && status.st_rdev == makedev(1, 3);
}

}  // namespace

StandardOutput::StandardOutput(int fd)
    : descriptor(fd), capacity(kBufferSize), buffer(new char[kBufferSize]), nullDevice(isNullDevice(fd)) {}

StandardOutput::~StandardOutput() { flush(); }

StandardOutput& StandardOutput::process() {
  static StandardOutput standardOutput(STDOUT_FILENO);
  return standardOutput;
}

void StandardOutput::writeSlow(std::string_view text) {
  flush();
  if (text.size() >= capacity) {
    writeThrough(text.data(), text.size());
    return;
  }
  std::char_traits<char>::copy(buffer.get(), text.data(), text.size());
  used = text.size();
}

void StandardOutput::flush() noexcept {
  writeThrough(buffer.get(), used);
  used = 0;
}

void StandardOutput::writeThrough(const char* data, std::size_t size) noexcept {
  while (size > 0 && !broken) {
    const ssize_t n = ::write(descriptor, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {  // a non-blocking pipe or terminal
        pollfd ready{descriptor, POLLOUT, 0};
        if (::poll(&ready, 1, -1) >= 0 || errno == EINTR) continue;
      }
      broken = true;
      return;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}
