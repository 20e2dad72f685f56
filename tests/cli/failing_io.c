/* Preloaded into varnolix by tests, on descriptors above standard error only, to make
   failures happen on demand that no ordinary file system can be made to produce:
   - VARNOLIX_TEST_FAIL_READ_AFTER=N: read() fails with EIO once N bytes have been read;
   - VARNOLIX_TEST_FAIL_WRITE_AFTER=N: write() and writev() write up to N bytes in all (the
     call that crosses N writes part of what it was given), then fail with ENOSPC, as a
     disk that fills up does;
   - VARNOLIX_TEST_FAIL_CLOSE_AFTER=N, optionally followed by ,EPERM and by ,once: close() of
     files opened for writing fails with EIO (or EPERM) after N such closes (or only the next
     one), as a network file system that reports a lost write at close does (the descriptor is
     released all the same);
   - VARNOLIX_TEST_FAIL_REOPEN=1: open() for appending (O_APPEND: a file opened again) fails
     with EACCES, as when its permissions were taken away during the run; with =EINTR, every
     other such open() is interrupted, as by a signal that lands in it;
   - VARNOLIX_TEST_FAIL_PWRITE=ENOSPC or EFBIG, optionally followed by @N: pwrite() (the call
     only the spill file makes) fails with that error, at once or once N bytes were written
     with it, as a file system that fills up or a file size limit does;
   - VARNOLIX_TEST_FAIL_PREAD=1: pread() fails with EIO, as a file system that loses what was
     set aside;
   - VARNOLIX_TEST_NO_UNNAMED_FILES=FOLDER: open(O_TMPFILE) in FOLDER (or in any folder, for
     "*") fails with EOPNOTSUPP, as on file systems without unnamed files;
   - VARNOLIX_TEST_NO_HOLES=1: fallocate() fails with EOPNOTSUPP, as where no room can be
     given back;
   - VARNOLIX_TEST_REPORT=FILE: at exit, FILE gets one line "name value" each for the bytes
     written by pwrite() ("set-aside"), the bytes given back by fallocate() with
     FALLOC_FL_PUNCH_HOLE ("given-back"), and the folder of every unnamed file opened
     ("unnamed-in", a path made absolute). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/uio.h>
#include <unistd.h>

static unsigned long long bytesRead;
static unsigned long long bytesWritten;

static const char* limitFor(int fd, const char* variable) { return fd <= STDERR_FILENO ? NULL : getenv(variable); }

ssize_t read(int fd, void* buffer, size_t count) {
  static ssize_t (*realRead)(int, void*, size_t);
  if (realRead == NULL) realRead = (ssize_t(*)(int, void*, size_t))dlsym(RTLD_NEXT, "read");
  const char* limit = limitFor(fd, "VARNOLIX_TEST_FAIL_READ_AFTER");
  if (limit == NULL) return realRead(fd, buffer, count);
  if (bytesRead >= strtoull(limit, NULL, 10)) {
    errno = EIO;
    return -1;
  }
  const ssize_t n = realRead(fd, buffer, count);
  if (n > 0) bytesRead += (unsigned long long)n;
  return n;
}

/* Returns how much of `count` bytes may still be written on `fd`, or -1 with errno set
   when nothing may; SIZE_MAX when writes on `fd` are not limited. */
static ssize_t roomToWrite(int fd, size_t count) {
  const char* limit = limitFor(fd, "VARNOLIX_TEST_FAIL_WRITE_AFTER");
  if (limit == NULL) return (ssize_t)count;
  const unsigned long long most = strtoull(limit, NULL, 10);
  if (bytesWritten >= most) {
    errno = ENOSPC;
    return -1;
  }
  const unsigned long long room = most - bytesWritten;
  return (ssize_t)(count < room ? count : room);
}

ssize_t write(int fd, const void* buffer, size_t count) {
  static ssize_t (*realWrite)(int, const void*, size_t);
  if (realWrite == NULL) realWrite = (ssize_t(*)(int, const void*, size_t))dlsym(RTLD_NEXT, "write");
  const ssize_t allowed = roomToWrite(fd, count);
  if (allowed < 0) return -1;
  const ssize_t n = realWrite(fd, buffer, (size_t)allowed);
  if (n > 0 && fd > STDERR_FILENO) bytesWritten += (unsigned long long)n;
  return n;
}

ssize_t writev(int fd, const struct iovec* pieces, int count) {
  static ssize_t (*realWritev)(int, const struct iovec*, int);
  if (realWritev == NULL) realWritev = (ssize_t(*)(int, const struct iovec*, int))dlsym(RTLD_NEXT, "writev");
  size_t total = 0;
  for (int i = 0; i < count; ++i) total += pieces[i].iov_len;
  const ssize_t allowed = roomToWrite(fd, total);
  if (allowed < 0) return -1;
  /* The pieces that fit, the last one shortened. */
  struct iovec fitting[1024];
  int used = 0;
  size_t left = (size_t)allowed;
  for (int i = 0; i < count && left > 0 && used < 1024; ++i, ++used) {
    fitting[used] = pieces[i];
    if (fitting[used].iov_len > left) fitting[used].iov_len = left;
    left -= fitting[used].iov_len;
  }
  const ssize_t n = realWritev(fd, fitting, used);
  if (n > 0 && fd > STDERR_FILENO) bytesWritten += (unsigned long long)n;
  return n;
}

static unsigned long long writingCloses;

int close(int fd) {
  static int (*realClose)(int);
  if (realClose == NULL) realClose = (int (*)(int))dlsym(RTLD_NEXT, "close");
  const char* limit = fd <= STDERR_FILENO ? NULL : getenv("VARNOLIX_TEST_FAIL_CLOSE_AFTER");
  const int flags = limit == NULL ? -1 : fcntl(fd, F_GETFL);
  const int result = realClose(fd);
  if (result != 0 || flags < 0 || (flags & O_ACCMODE) == O_RDONLY) return result;
  const unsigned long long after = strtoull(limit, NULL, 10);
  if (++writingCloses > after && (strstr(limit, ",once") == NULL || writingCloses == after + 1)) {
    errno = strstr(limit, ",EPERM") != NULL ? EPERM : EIO;
    return -1;
  }
  return result;
}

static unsigned long long bytesSetAside;
static unsigned long long bytesGivenBack;
static char unnamedIn[4][PATH_MAX];
static int unnamedCount;

/* open(O_TMPFILE) on `folder`, refused where VARNOLIX_TEST_NO_UNNAMED_FILES says. */
static int openUnnamed(int (*realOpen)(const char*, int, ...), const char* folder, int flags, mode_t mode) {
  const char* refused = getenv("VARNOLIX_TEST_NO_UNNAMED_FILES");
  char resolved[PATH_MAX];
  char refusedResolved[PATH_MAX];
  if (realpath(folder, resolved) == NULL) resolved[0] = '\0';
  if (refused != NULL && (strcmp(refused, "*") == 0 ||
                          (realpath(refused, refusedResolved) != NULL && strcmp(resolved, refusedResolved) == 0))) {
    errno = EOPNOTSUPP;
    return -1;
  }
  const int fd = realOpen(folder, flags, mode);
  if (fd >= 0 && unnamedCount < 4) strcpy(unnamedIn[unnamedCount++], resolved);
  return fd;
}

__attribute__((destructor)) static void report(void) {
  const char* path = getenv("VARNOLIX_TEST_REPORT");
  FILE* out = path == NULL ? NULL : fopen(path, "w");
  if (out == NULL) return;
  fprintf(out, "set-aside %llu\ngiven-back %llu\n", bytesSetAside, bytesGivenBack);
  for (int i = 0; i < unnamedCount; ++i) fprintf(out, "unnamed-in %s\n", unnamedIn[i]);
  fclose(out);
}

int open(const char* path, int flags, ...) {
  static int (*realOpen)(const char*, int, ...);
  if (realOpen == NULL) realOpen = (int (*)(const char*, int, ...))dlsym(RTLD_NEXT, "open");
  mode_t mode = 0;
  if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
    va_list arguments;
    va_start(arguments, flags);
    mode = (mode_t)va_arg(arguments, int);
    va_end(arguments);
  }
  const char* reopen = (flags & O_APPEND) != 0 ? getenv("VARNOLIX_TEST_FAIL_REOPEN") : NULL;
  static unsigned long long reopens;
  if (reopen != NULL && strcmp(reopen, "EINTR") == 0 && reopens++ % 2 == 0) {
    errno = EINTR;
    return -1;
  }
  if (reopen != NULL && strcmp(reopen, "EINTR") != 0) {
    errno = EACCES;
    return -1;
  }
  if ((flags & O_TMPFILE) == O_TMPFILE) return openUnnamed(realOpen, path, flags, mode);
  return realOpen(path, flags, mode);
}

ssize_t pwrite(int fd, const void* buffer, size_t count, off_t offset) {
  static ssize_t (*realPwrite)(int, const void*, size_t, off_t);
  if (realPwrite == NULL) realPwrite = (ssize_t(*)(int, const void*, size_t, off_t))dlsym(RTLD_NEXT, "pwrite");
  const char* failure = limitFor(fd, "VARNOLIX_TEST_FAIL_PWRITE");
  if (failure != NULL) {
    const char* after = strchr(failure, '@');
    const unsigned long long most = after == NULL ? 0 : strtoull(after + 1, NULL, 10);
    if (bytesSetAside >= most) {
      errno = strncmp(failure, "EFBIG", 5) == 0 ? EFBIG : ENOSPC;
      return -1;
    }
    if (count > most - bytesSetAside) count = (size_t)(most - bytesSetAside);
  }
  const ssize_t n = realPwrite(fd, buffer, count, offset);
  if (n > 0) bytesSetAside += (unsigned long long)n;
  return n;
}

static int punch(int (*realFallocate)(int, int, off_t, off_t), int fd, int mode, off_t offset, off_t length) {
  if (getenv("VARNOLIX_TEST_NO_HOLES") != NULL) {
    errno = EOPNOTSUPP;
    return -1;
  }
  const int result = realFallocate(fd, mode, offset, length);
  if (result == 0 && (mode & FALLOC_FL_PUNCH_HOLE) != 0) bytesGivenBack += (unsigned long long)length;
  return result;
}

int fallocate(int fd, int mode, off_t offset, off_t length) {
  static int (*realFallocate)(int, int, off_t, off_t);
  if (realFallocate == NULL) realFallocate = (int (*)(int, int, off_t, off_t))dlsym(RTLD_NEXT, "fallocate");
  return punch(realFallocate, fd, mode, offset, length);
}

int fallocate64(int fd, int mode, off_t offset, off_t length) {
  static int (*realFallocate)(int, int, off_t, off_t);
  if (realFallocate == NULL) realFallocate = (int (*)(int, int, off_t, off_t))dlsym(RTLD_NEXT, "fallocate64");
  return punch(realFallocate, fd, mode, offset, length);
}

ssize_t pread(int fd, void* buffer, size_t count, off_t offset) {
  static ssize_t (*realPread)(int, void*, size_t, off_t);
  if (realPread == NULL) realPread = (ssize_t(*)(int, void*, size_t, off_t))dlsym(RTLD_NEXT, "pread");
  if (limitFor(fd, "VARNOLIX_TEST_FAIL_PREAD") != NULL) {
    errno = EIO;
    return -1;
  }
  return realPread(fd, buffer, count, offset);
}
