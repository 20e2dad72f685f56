#include "inputfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "error.h"

namespace {

// Large enough that the per-call cost of read() vanishes, small enough to stay in cache.
constexpr std::size_t kChunkSize = std::size_t{256} * 1024;

int openForReading(const std::string& path) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) throw Error(openFailureMessage(path));
  return fd;
}

}  // namespace

std::string openFailureMessage(const std::string& path) { return "Could not open CSV File '" + path + "'"; }

InputFile::InputFile(const std::string& filePath)
    : path(filePath), descriptor(openForReading(filePath)), buffer(new char[kChunkSize]), capacity(kChunkSize) {
  struct stat status {};
  if (::fstat(descriptor, &status) != 0 || S_ISDIR(status.st_mode)) {
    ::close(descriptor);
    throw Error(openFailureMessage(path));
  }
  fileIdentity = FileIdentity::of(status);
}

InputFile::~InputFile() { ::close(descriptor); }

bool InputFile::refill(std::string_view& held) {
  if (held.data() >= buffer.get() && held.data() < buffer.get() + capacity) {
    heldCopy.assign(held.data(), held.size());
    held = heldCopy;
  }
  const std::size_t unread = filled - position;
  if (unread == capacity) {  // one line fills the whole buffer: make room for more of it
    std::unique_ptr<char[]> larger(new char[2 * capacity]);
    std::memcpy(larger.get(), buffer.get(), unread);
    buffer = std::move(larger);
    capacity *= 2;
  } else if (unread > 0) {
    std::memmove(buffer.get(), buffer.get() + position, unread);
  }
  position = 0;
  filled = unread;
  for (;;) {
    const ssize_t n = ::read(descriptor, buffer.get() + filled, capacity - filled);
    if (n > 0) {
      filled += static_cast<std::size_t>(n);
      bytesRead += static_cast<unsigned long long>(n);
      return true;
    }
    if (n == 0) return false;
    if (errno == EINTR) continue;
    failure =
        bytesRead == 0 ? openFailureMessage(path) : "Could not read CSV File '" + path + "': " + std::strerror(errno);
    return false;
  }
}

std::string_view InputFile::readLineAcrossChunks(std::string_view& held) {
  std::string_view line;
  while (refill(held)) {
    if (takeBufferedLine(line)) return line;
  }
  endReached = true;
  const std::string_view rest(buffer.get() + position, failed() ? 0 : filled - position);
  position = filled;
  return rest;
}
