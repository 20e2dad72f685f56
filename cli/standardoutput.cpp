#include "standardoutput.h"

#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <string>

#include "interruption.h"

namespace {

constexpr std::size_t kBufferSize = std::size_t{256} * 1024;

// Whether `fd` takes a write now without blocking.
bool writableNow(int fd) noexcept {
  pollfd ready{fd, POLLOUT, 0};
  return ::poll(&ready, 1, 0) == 1 && (ready.revents & POLLOUT) != 0;
}

}  // namespace

StandardOutput::StandardOutput(int fd) : descriptor(fd), capacity(kBufferSize), buffer(new char[kBufferSize]) {
  struct stat status {};
  if (::fstat(fd, &status) != 0) return;
  nullDevice = S_ISCHR(status.st_mode) && status.st_rdev == makedev(1, 3);
  if (S_ISREG(status.st_mode) || S_ISFIFO(status.st_mode)) file = FileIdentity::of(status);
}

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
    // After a stop, only what goes out at once: a pipe that shows room takes PIPE_BUF
    // bytes without blocking.
    const bool atOnce = interruption::stopRequested();
    if (atOnce && !writableNow(descriptor)) {
      broken = true;
      return;
    }
    const ssize_t n = ::write(descriptor, data, atOnce ? std::min<std::size_t>(size, PIPE_BUF) : size);
    if (n < 0) {
      if (errno == EINTR) continue;
      if ((errno == EAGAIN || errno == EWOULDBLOCK) && !atOnce) {  // a non-blocking pipe or terminal
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
