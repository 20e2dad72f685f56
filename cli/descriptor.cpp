#include "descriptor.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "interruption.h"

Descriptor& Descriptor::operator=(Descriptor&& other) noexcept {
  if (this != &other) {
    close();
    fd = std::exchange(other.fd, -1);
    openError = std::exchange(other.openError, 0);
  }
  return *this;
}

Descriptor Descriptor::open(const char* path, int flags, AfterStop afterStop) noexcept {
  int opened;
  do {
    opened = ::open(path, flags, 0666);
  } while (opened < 0 && errno == EINTR && (afterStop == AfterStop::kRetry || !interruption::stopRequested()));
  Descriptor result(opened);
  if (opened < 0) result.openError = errno;
  return result;
}

int Descriptor::close() noexcept {
  if (fd < 0) return 0;
  const int result = ::close(std::exchange(fd, -1));
  // Linux releases the descriptor even when close() is interrupted, and the data may
  // still reach the file: only a definite failure counts.
  return result == 0 || errno == EINTR ? 0 : errno;
}
