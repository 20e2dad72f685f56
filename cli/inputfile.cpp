#include "inputfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "error.h"

namespace {

// Large enough that the per-call cost of read() vanishes, small enough to stay in cache.
constexpr std::size_t kChunkSize = 256 * 1024;

int openForReading(const std::string& path) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) throw Error(openFailureMessage(path));
  return fd;
}

}  // namespace

std::string openFailureMessage(const std::string& path) {
  return "Could not open CSV File '" + path + "'";
}

InputFile::InputFile(const std::string& filePath)
    : path(filePath), descriptor(openForReading(filePath)), buffer(new char[kChunkSize]) {
  struct stat status {};
  if (::fstat(descriptor, &status) != 0 || S_ISDIR(status.st_mode)) {
    ::close(descriptor);
    throw Error(openFailureMessage(path));
  }
  fileIdentity = FileIdentity::of(status);
}

InputFile::~InputFile() { ::close(descriptor); }

bool InputFile::refill() {
  for (;;) {
    const ssize_t n = ::read(descriptor, buffer.get(), kChunkSize);
    if (n > 0) {
      position = 0;
      filled = static_cast<std::size_t>(n);
      bytesRead += static_cast<unsigned long long>(n);
      return true;
    }
    if (n == 0) return false;
    if (errno == EINTR) continue;
    failure = bytesRead == 0 ? openFailureMessage(path)
                             : "Could not read CSV File '" + path + "': " + std::strerror(errno);
    return false;
  }
}

void InputFile::readLine(std::string& line) {
  line.clear();
  for (;;) {
    if (position < filled) {
      const char* const start = buffer.get() + position;
      const std::size_t available = filled - position;
      const void* const lineFeed = std::memchr(start, '\n', available);
      if (lineFeed != nullptr) {
        const std::size_t length = static_cast<std::size_t>(static_cast<const char*>(lineFeed) - start);
        line.append(start, length);
        position += length + 1;
        return;
      }
      line.append(start, available);
      position = filled;
    }
    if (!refill()) {
      endReached = true;
      if (failed()) line.clear();
      return;
    }
  }
}
