/* Preloaded into varnolix by tests: read() on any descriptor above standard error
   fails with EIO once VARNOLIX_TEST_FAIL_READ_AFTER bytes have been read, which no
   ordinary file system can be made to do on demand. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <unistd.h>

static unsigned long long bytesSoFar;

ssize_t read(int fd, void* buffer, size_t count) {
  static ssize_t (*realRead)(int, void*, size_t);
  if (realRead == NULL) realRead = (ssize_t(*)(int, void*, size_t))dlsym(RTLD_NEXT, "read");
  const char* limit = getenv("VARNOLIX_TEST_FAIL_READ_AFTER");
  if (fd <= STDERR_FILENO || limit == NULL) return realRead(fd, buffer, count);
  if (bytesSoFar >= strtoull(limit, NULL, 10)) {
    errno = EIO;
    return -1;
  }
  const ssize_t n = realRead(fd, buffer, count);
  if (n > 0) bytesSoFar += (unsigned long long)n;
  return n;
}
