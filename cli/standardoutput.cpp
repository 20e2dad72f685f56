#include "standardoutput.h"

#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "interruption.h"

namespace {

constexpr std::size_t kBufferSize = std::size_t{256} * 1024;
// How long a write after a stop may wait for the reader.
constexpr int kStopWriteMilliseconds = 250;

// Waits until `fd` takes a write; a signal ends the wait.
void waitWritable(int fd) noexcept {
  pollfd ready{fd, POLLOUT, 0};
  (void)::poll(&ready, 1, -1);
}

}  // namespace

StandardOutput::StandardOutput(int descriptorNumber)
    : fd(descriptorNumber),
      ownBuffer(allocateRawBytes(kBufferSize)),
      buffer(ownBuffer != nullptr ? ownBuffer.get() : smallBuffer),
      capacity(ownBuffer != nullptr ? kBufferSize : sizeof smallBuffer) {
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
  std::char_traits<char>::copy(buffer, text.data(), text.size());
  used = text.size();
}

void StandardOutput::flush() noexcept {
  writeThrough(buffer, used);
  used = 0;
}

void StandardOutput::writeLastLine(std::string_view message) noexcept {
  if (interruption::stopRequested()) {
    used = 0;
    stalled = false;
  }
  const bool midLine = used > 0 ? buffer[used - 1] != '\n' : endsMidLine;
  if (midLine) write(std::string_view("\n", 1));
  write(message);
  write(std::string_view("\n", 1));
  flush();
}

void StandardOutput::noteWritten(const char* data, std::size_t count) noexcept {
  if (count > 0) endsMidLine = data[count - 1] != '\n';
}

void StandardOutput::writeThrough(const char* data, std::size_t size) noexcept {
  while (size > 0 && !broken && !stalled) {
    if (interruption::stopRequested()) {
      writeWithDeadline(data, size);
      return;
    }
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;                   // a stop is looked at on the next turn
      if (errno == EAGAIN || errno == EWOULDBLOCK) {  // a non-blocking pipe or terminal
        waitWritable(fd);
        continue;
      }
      broken = true;
      return;
    }
    noteWritten(data, static_cast<std::size_t>(n));
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

void StandardOutput::writeWithDeadline(const char* data, std::size_t size) noexcept {
  const interruption::Deadline deadline(kStopWriteMilliseconds);
  while (size > 0 && deadline.armed() && !deadline.passed()) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        waitWritable(fd);
      } else if (errno != EINTR) {
        broken = true;
        return;
      }
      continue;
    }
    noteWritten(data, static_cast<std::size_t>(n));
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  if (size > 0) stalled = true;  // a reader that does not read: the rest is dropped
}
