// The unit tests' open(), writev(), close() and ftruncate(), which count, while counting is on, the
// opens and writes of each file by name: what the output side's cost model predicts. In a
// file of its own, so that no caller sees it inline; the real calls are the C library's.

#include "counting_io.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstdarg>
#include <map>
#include <string>

namespace counting_io {

bool counting = false;
bool truncatesKeepBytes = false;
std::map<std::string, FileOperations> byName;

namespace {
std::map<int, std::string> openNames;  // descriptor -> the name it was opened by
}  // namespace

}  // namespace counting_io

using counting_io::byName;
using counting_io::counting;
using counting_io::openNames;
using counting_io::truncatesKeepBytes;

extern "C" int open(const char* path, int flags, ...) {
  static const auto real = reinterpret_cast<int (*)(const char*, int, ...)>(::dlsym(RTLD_NEXT, "open"));
  mode_t mode = 0;
  if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
    va_list arguments;
    va_start(arguments, flags);
    mode = static_cast<mode_t>(va_arg(arguments, int));
    va_end(arguments);
  }
  const int fd = real(path, flags, mode);
  if (counting && fd >= 0 && (flags & O_TMPFILE) != O_TMPFILE) {
    ++byName[path].opens;
    openNames[fd] = path;
  }
  return fd;
}

extern "C" ssize_t writev(int fd, const iovec* pieces, int count) {
  static const auto real = reinterpret_cast<ssize_t (*)(int, const iovec*, int)>(::dlsym(RTLD_NEXT, "writev"));
  if (counting) {
    const auto name = openNames.find(fd);
    if (name != openNames.end()) ++byName[name->second].writes;
  }
  return real(fd, pieces, count);
}

extern "C" int close(int fd) {
  static const auto real = reinterpret_cast<int (*)(int)>(::dlsym(RTLD_NEXT, "close"));
  if (counting) openNames.erase(fd);
  return real(fd);
}

extern "C" int ftruncate(int fd, off_t length) {
  static const auto real = reinterpret_cast<int (*)(int, off_t)>(::dlsym(RTLD_NEXT, "ftruncate"));
  return truncatesKeepBytes ? 0 : real(fd, length);
}
