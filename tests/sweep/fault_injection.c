/* Preloaded into varnolix by tests/sweep/sweep to count the calls a run makes and to fail
   any one of them, as a full disk, a flaky device or a lack of memory would: every call
   that can fail, failed in turn, must leave the run's promises intact.

   Kinds of calls: alloc (malloc, calloc, realloc, aligned_alloc, posix_memalign,
   memalign, every operator new, anonymous mmap), open (also openat), read, write, writev,
   pwrite, pread, close, fstat, fstatat, lstat, stat, fallocate, ftruncate, flock, statfs,
   fstatfs, mmap (of a file) and fopen. Standard input, output and error count too.

   - VARNOLIX_SWEEP_COUNT=FILE: FILE gets one line "kind count" per kind when the process
     ends: at exit, at _exit, and when it raises a signal to end itself.
   - VARNOLIX_SWEEP_FAIL=KIND:N:ERRNO: the Nth call of KIND (from 1) fails with ERRNO, given
     by name (ENOSPC); "short" instead makes a read or write transfer half of its bytes.
     An allocation fails as when memory is out (NULL, MAP_FAILED or std::bad_alloc, with
     ENOMEM). With "@all" after ERRNO every later call of KIND fails too, as a disk that
     stays full does. With "@limit" (alloc only) memory stays as short as it was at the
     Nth allocation: from then on an allocation fails unless memory the program gave back
     since makes room for it, as under a limit it has reached. A close that fails has
     released its descriptor first, as on Linux.
   - VARNOLIX_SWEEP_LOG=FILE: each failure made is appended to FILE as one line of
     tab-separated fields: kind, N, errno name, descriptor (-1 for none), and what the call
     was on (the path given, or where the descriptor led just before the call).
   - VARNOLIX_SWEEP_TRACE=FILE: every call counted is appended to FILE in the same form,
     with "-" for the errno name when it went through: to find out what call N is.
   - VARNOLIX_SWEEP_STOP=KIND:N:SIGNAL: the process sends itself SIGNAL just before the
     Nth call of KIND, so that a stop lands at a point that repeats.
   - VARNOLIX_SWEEP_ADDRESS_LIMIT=BYTES: getrlimit(RLIMIT_AS) reports BYTES and
     /proc/self/statm reports nothing in use, so that the program sizes its memory for
     waiting lines as if its address space were that small, without being limited. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <malloc.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

extern char** environ;

/* ---- Kinds, counts and plans ------------------------------------------------------ */

enum Kind {
  kAlloc,
  kOpen,
  kRead,
  kWrite,
  kWritev,
  kPwrite,
  kPread,
  kClose,
  kFstat,
  kFstatat,
  kLstat,
  kStat,
  kFallocate,
  kFtruncate,
  kFlock,
  kStatfs,
  kFstatfs,
  kMmap,
  kFopen,
  kKinds
};

static const char* const kindNames[kKinds] = {"alloc", "open",   "read",    "write", "writev", "pwrite",    "pread",
                                              "close", "fstat",  "fstatat", "lstat", "stat",   "fallocate", "ftruncate",
                                              "flock", "statfs", "fstatfs", "mmap",  "fopen"};

/* A short transfer in place of an error number. */
enum { kShort = -1 };

static const struct {
  const char* name;
  int value;
} errorNames[] = {
    {"short", kShort},
    {"EPERM", EPERM},
    {"ENOENT", ENOENT},
    {"EINTR", EINTR},
    {"EIO", EIO},
    {"ENXIO", ENXIO},
    {"EBADF", EBADF},
    {"EAGAIN", EAGAIN},
    {"ENOMEM", ENOMEM},
    {"EACCES", EACCES},
    {"EBUSY", EBUSY},
    {"EEXIST", EEXIST},
    {"ENODEV", ENODEV},
    {"ENOTDIR", ENOTDIR},
    {"EISDIR", EISDIR},
    {"EINVAL", EINVAL},
    {"ENFILE", ENFILE},
    {"EMFILE", EMFILE},
    {"ETXTBSY", ETXTBSY},
    {"EFBIG", EFBIG},
    {"ENOSPC", ENOSPC},
    {"ESPIPE", ESPIPE},
    {"EROFS", EROFS},
    {"EPIPE", EPIPE},
    {"ENAMETOOLONG", ENAMETOOLONG},
    {"ENOLCK", ENOLCK},
    {"ENOSYS", ENOSYS},
    {"ELOOP", ELOOP},
    {"EOVERFLOW", EOVERFLOW},
    {"EOPNOTSUPP", EOPNOTSUPP},
    {"ESTALE", ESTALE},
    {"EDQUOT", EDQUOT},
    {"ETIMEDOUT", ETIMEDOUT},
    {"ECONNRESET", ECONNRESET},
    {"EWOULDBLOCK", EWOULDBLOCK},
};

static const struct {
  const char* name;
  int value;
} signalNames[] = {{"SIGHUP", SIGHUP},   {"SIGINT", SIGINT},   {"SIGTERM", SIGTERM},
                   {"SIGKILL", SIGKILL}, {"SIGQUIT", SIGQUIT}, {"SIGUSR1", SIGUSR1}};

static unsigned long calls[kKinds];

struct Plan {
  int kind; /* -1: none */
  unsigned long at;
  int value; /* error number (or kShort), or signal */
  int after; /* what later calls of the kind do: kOnce, kAll or kLimit */
};

enum { kOnce, kAll, kLimit };

static struct Plan failure = {-1, 0, 0, kOnce};
static struct Plan stop = {-1, 0, 0, kOnce};
static const char* countPath;
static const char* logPath;
static const char* tracePath;
static int addressLimited;
static rlim_t addressLimit;
static int configured;

static int kindNamed(const char* name, size_t length) {
  for (int kind = 0; kind < kKinds; ++kind) {
    if (strlen(kindNames[kind]) == length && strncmp(kindNames[kind], name, length) == 0) return kind;
  }
  return -1;
}

/* Reads "KIND:N:NAME" (NAME looked up by `lookUp`); leaves `plan` without a kind when the
   text does not parse, so that a mistyped plan fails nothing rather than something else. */
static void readPlan(const char* text, struct Plan* plan, int (*lookUp)(const char*, size_t)) {
  if (text == NULL) return;
  const char* first = strchr(text, ':');
  if (first == NULL) return;
  const char* second = strchr(first + 1, ':');
  if (second == NULL) return;
  const int kind = kindNamed(text, (size_t)(first - text));
  char* end;
  const unsigned long at = strtoul(first + 1, &end, 10);
  if (kind < 0 || end != second || at == 0) return;
  const char* name = second + 1;
  const char* suffix = strchr(name, '@');
  const size_t length = suffix != NULL ? (size_t)(suffix - name) : strlen(name);
  const int value = lookUp(name, length);
  if (value == 0) return;
  plan->kind = kind;
  plan->at = at;
  plan->value = value;
  plan->after = suffix == NULL                  ? kOnce
                : strcmp(suffix, "@all") == 0   ? kAll
                : strcmp(suffix, "@limit") == 0 ? kLimit
                                                : -1;
  if (plan->after < 0 || (plan->after == kLimit && kind != kAlloc)) plan->kind = -1;
}

static int errorNamed(const char* name, size_t length) {
  for (size_t i = 0; i < sizeof errorNames / sizeof errorNames[0]; ++i) {
    if (strlen(errorNames[i].name) == length && strncmp(errorNames[i].name, name, length) == 0) {
      return errorNames[i].value;
    }
  }
  return 0;
}

static int signalNamed(const char* name, size_t length) {
  for (size_t i = 0; i < sizeof signalNames / sizeof signalNames[0]; ++i) {
    if (strlen(signalNames[i].name) == length && strncmp(signalNames[i].name, name, length) == 0) {
      return signalNames[i].value;
    }
  }
  const int number = atoi(name);
  return number > 0 && number < NSIG ? number : 0;
}

static const char* nameOfError(int value) {
  if (value == 0) return "-";
  for (size_t i = 0; i < sizeof errorNames / sizeof errorNames[0]; ++i) {
    if (errorNames[i].value == value) return errorNames[i].name;
  }
  return "?";
}

/* Once, on the first call made after the environment exists (allocations come before). */
static void configure(void) {
  if (configured || environ == NULL) return;
  configured = 1;
  countPath = getenv("VARNOLIX_SWEEP_COUNT");
  logPath = getenv("VARNOLIX_SWEEP_LOG");
  tracePath = getenv("VARNOLIX_SWEEP_TRACE");
  readPlan(getenv("VARNOLIX_SWEEP_FAIL"), &failure, errorNamed);
  readPlan(getenv("VARNOLIX_SWEEP_STOP"), &stop, signalNamed);
  const char* limit = getenv("VARNOLIX_SWEEP_ADDRESS_LIMIT");
  if (limit != NULL && *limit != '\0') {
    addressLimited = 1;
    addressLimit = (rlim_t)strtoull(limit, NULL, 10);
  }
}

/* With "@limit": what the program holds (heap blocks by their usable size, anonymous maps
   by their length), and, from the Nth allocation on, the most it may hold. */
static long long held;
static long long ceiling = -1;

/* Counts a call of `kind` and returns what it does: 0 to go through, else the error
   number (or kShort) it fails with; `number` gets which call of its kind it is. */
static int verdict(int kind, unsigned long* number) {
  configure();
  /* Calls made before the environment exists (a sanitizer starting up) cannot be asked
     to fail, so they are not numbered either: the numbers stay those of a run that can. */
  if (!configured) {
    *number = 0;
    return 0;
  }
  const unsigned long n = __atomic_add_fetch(&calls[kind], 1, __ATOMIC_RELAXED);
  *number = n;
  if (stop.kind == kind && stop.at == n) kill(getpid(), stop.value);
  if (failure.kind == kind && n == failure.at) {
    if (failure.after == kLimit) ceiling = held;
    return failure.value;
  }
  if (failure.kind == kind && failure.after == kAll && n > failure.at) return failure.value;
  return 0;
}

/* ---- The functions behind the ones replaced ---------------------------------------- */

/* Looked up once; `resolving` marks the lookup, during which dlsym's own allocations are
   served from `arena`. */
static int resolving;

static void* next(const char* name) {
  const int wasResolving = resolving;
  resolving = 1;
  void* found = dlsym(RTLD_NEXT, name);
  resolving = wasResolving;
  if (found == NULL) {
    static const char missing[] = "fault_injection: no next definition of a replaced function\n";
    (void)syscall(SYS_write, 2, missing, sizeof missing - 1);
    abort();
  }
  return found;
}

#define REAL(name)                      \
  static __typeof__(&name) real_##name; \
  if (real_##name == NULL) real_##name = (__typeof__(&name))next(#name);

/* ---- Writing the counts and the log -------------------------------------------------- */

static int (*rawOpen)(const char*, int, ...);
static ssize_t (*rawWrite)(int, const void*, size_t);
static int (*rawClose)(int);

static void resolveRaw(void) {
  if (rawOpen == NULL) rawOpen = (int (*)(const char*, int, ...))next("open");
  if (rawWrite == NULL) rawWrite = (ssize_t(*)(int, const void*, size_t))next("write");
  if (rawClose == NULL) rawClose = (int (*)(int))next("close");
}

static void writeAll(int fd, const char* text, size_t size) {
  while (size > 0) {
    const ssize_t n = rawWrite(fd, text, size);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      return;
    }
    text += n;
    size -= (size_t)n;
  }
}

/* Writes the counts; errno is kept, as the call being ended may still read it. */
static void writeCounts(void) {
  configure();
  if (countPath == NULL) return;
  const int saved = errno;
  resolveRaw();
  const int fd = rawOpen(countPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd >= 0) {
    char text[64 * kKinds];
    size_t used = 0;
    for (int kind = 0; kind < kKinds; ++kind) {
      used += (size_t)snprintf(text + used, sizeof text - used, "%s %lu\n", kindNames[kind],
                               __atomic_load_n(&calls[kind], __ATOMIC_RELAXED));
    }
    writeAll(fd, text, used);
    rawClose(fd);
  }
  errno = saved;
}

__attribute__((destructor)) static void countsAtExit(void) { writeCounts(); }

/* Where descriptor `fd` leads, into `target`. */
static void describeDescriptor(int fd, char* target, size_t size) {
  char link[64];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t n = readlink(link, target, size - 1);
  if (n < 0) {
    snprintf(target, size, "?");
    return;
  }
  target[n] = '\0';
}

static void appendLine(const char* path, int kind, unsigned long number, int error, int fd, const char* target) {
  const int log = rawOpen(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (log < 0) return;
  char line[PATH_MAX + 128];
  int used =
      snprintf(line, sizeof line, "%s\t%lu\t%s\t%d\t%s\n", kindNames[kind], number, nameOfError(error), fd, target);
  if (used >= (int)sizeof line) used = (int)sizeof line - 1;
  if (used > 0) writeAll(log, line, (size_t)used);
  rawClose(log);
}

/* Whether a call with this verdict is written down: a failure to the log, any call to the
   trace. */
static int logged(int error) { return (error != 0 && logPath != NULL) || tracePath != NULL; }

static void logFailure(int kind, unsigned long number, int error, int fd, const char* target) {
  if (!logged(error) || number == 0) return;
  const int saved = errno;
  resolveRaw();
  if (error != 0 && logPath != NULL) appendLine(logPath, kind, number, error, fd, target);
  if (tracePath != NULL) appendLine(tracePath, kind, number, error, fd, target);
  errno = saved;
}

static void logOnDescriptor(int kind, unsigned long number, int error, int fd) {
  if (!logged(error) || number == 0) return;
  char target[PATH_MAX];
  describeDescriptor(fd, target, sizeof target);
  logFailure(kind, number, error, fd, target);
}

/* ---- Allocations ---------------------------------------------------------------------- */

/* Serves the allocations dlsym makes while the allocator's own functions are looked up.
   Never reused: freeing such a block does nothing. */
static _Alignas(64) char arena[64 * 1024];
static size_t arenaUsed;

struct ArenaHeader {
  size_t size;
  size_t padding;
};

static void* arenaAllocate(size_t size, size_t alignment) {
  if (alignment < 16) alignment = 16;
  size_t start = (arenaUsed + sizeof(struct ArenaHeader) + alignment - 1) / alignment * alignment;
  if (start + size > sizeof arena) return NULL;
  ((struct ArenaHeader*)(arena + start))[-1].size = size;
  arenaUsed = start + size;
  return arena + start;
}

static void* (*realMalloc)(size_t);
static void* (*realMemalign)(size_t, size_t);

/* An allocation made while looking something up: from the arena, or, once it is used up,
   from the allocator (never counted, never failed). */
static void* resolvingAllocate(size_t size, size_t alignment) {
  void* allocated = arenaAllocate(size, alignment);
  if (allocated == NULL && realMemalign != NULL) allocated = realMemalign(alignment < 16 ? 16 : alignment, size);
  return allocated;
}

static int inArena(const void* pointer) {
  return (const char*)pointer >= arena && (const char*)pointer < arena + sizeof arena;
}

static size_t arenaSize(const void* pointer) { return ((const struct ArenaHeader*)pointer)[-1].size; }

static void* (*realCalloc)(size_t, size_t);
static void* (*realRealloc)(void*, size_t);
static void (*realFree)(void*);
static void* (*realAlignedAlloc)(size_t, size_t);
static int (*realPosixMemalign)(void**, size_t, size_t);

static void resolveAllocator(void) {
  if (realFree != NULL) return;
  const int wasResolving = resolving;
  resolving = 1;
  realMalloc = (void* (*)(size_t))next("malloc");
  realCalloc = (void* (*)(size_t, size_t))next("calloc");
  realRealloc = (void* (*)(void*, size_t))next("realloc");
  realAlignedAlloc = (void* (*)(size_t, size_t))next("aligned_alloc");
  realPosixMemalign = (int (*)(void**, size_t, size_t))next("posix_memalign");
  realMemalign = (void* (*)(size_t, size_t))next("memalign");
  void (*freeing)(void*) = (void (*)(void*))next("free");
  resolving = wasResolving;
  realFree = freeing;
}

/* Set while an operator new of the C++ library runs on our behalf: its own call of malloc
   is part of the same allocation, not one more. */
static int insideNew;
/* Set to make the next allocation fail: how an operator new is made to throw. */
static int failNext;

/* Set while an operator delete runs: its own call of free is part of the same release. */
static int insideRelease;

static int keepingCount(void) { return failure.after == kLimit; }

/* Counts `block`, just allocated (`sign` 1) or about to be freed (-1), as held. */
static void countHeld(void* block, int sign) {
  if (block == NULL || inArena(block) || !keepingCount()) return;
  held += sign * (long long)malloc_usable_size(block);
}

/* Returns true when this allocation is to fail. */
static int allocationFails(size_t size) {
  if (failNext) {
    failNext = 0;
    return 1;
  }
  if (insideNew) return 0;
  unsigned long number;
  int fails = verdict(kAlloc, &number) != 0;
  if (!fails && ceiling >= 0 && held + (long long)size > ceiling) fails = 1;
  if (logged(fails)) {
    char target[48];
    snprintf(target, sizeof target, "%zu bytes", size);
    logFailure(kAlloc, number, fails ? ENOMEM : 0, -1, target);
  }
  return fails;
}

void* malloc(size_t size) {
  if (resolving) return resolvingAllocate(size, 16);
  resolveAllocator();
  if (allocationFails(size)) {
    errno = ENOMEM;
    return NULL;
  }
  void* allocated = realMalloc(size);
  if (!insideNew) countHeld(allocated, 1);
  return allocated;
}

void* calloc(size_t count, size_t size) {
  if (resolving) {
    if (count != 0 && size > SIZE_MAX / count) return NULL;
    void* allocated = resolvingAllocate(count * size, 16);
    if (allocated != NULL && !inArena(allocated)) memset(allocated, 0, count * size);
    return allocated;
  }
  resolveAllocator();
  if (allocationFails(count * size)) {
    errno = ENOMEM;
    return NULL;
  }
  void* allocated = realCalloc(count, size);
  if (!insideNew) countHeld(allocated, 1);
  return allocated;
}

void* realloc(void* pointer, size_t size) {
  if (resolving && (pointer == NULL || inArena(pointer) || realRealloc == NULL)) {
    void* moved = resolvingAllocate(size, 16);
    if (moved != NULL && pointer != NULL) {
      const size_t old = inArena(pointer) ? arenaSize(pointer) : 0;
      memcpy(moved, pointer, old < size ? old : size);
    }
    return moved;
  }
  resolveAllocator();
  if (allocationFails(size)) {
    errno = ENOMEM;
    return NULL;
  }
  if (pointer != NULL && inArena(pointer)) {
    void* moved = realMalloc(size);
    if (moved != NULL) {
      const size_t old = arenaSize(pointer);
      memcpy(moved, pointer, old < size ? old : size);
    }
    countHeld(moved, 1);
    return moved;
  }
  countHeld(pointer, -1);
  void* moved = realRealloc(pointer, size);
  if (moved == NULL && size != 0) {
    countHeld(pointer, 1); /* still held */
  } else {
    countHeld(moved, 1);
  }
  return moved;
}

void free(void* pointer) {
  if (pointer == NULL || inArena(pointer)) return;
  if (realFree == NULL) {
    if (resolving) return; /* cannot be handed on yet: kept */
    resolveAllocator();
  }
  if (!insideRelease) countHeld(pointer, -1);
  realFree(pointer);
}

void* aligned_alloc(size_t alignment, size_t size) {
  if (resolving) return resolvingAllocate(size, alignment);
  resolveAllocator();
  if (allocationFails(size)) {
    errno = ENOMEM;
    return NULL;
  }
  void* allocated = realAlignedAlloc(alignment, size);
  if (!insideNew) countHeld(allocated, 1);
  return allocated;
}

int posix_memalign(void** result, size_t alignment, size_t size) {
  if (resolving) {
    *result = resolvingAllocate(size, alignment);
    return *result != NULL ? 0 : ENOMEM;
  }
  resolveAllocator();
  if (allocationFails(size)) return ENOMEM;
  const int error = realPosixMemalign(result, alignment, size);
  if (error == 0 && !insideNew) countHeld(*result, 1);
  return error;
}

void* memalign(size_t alignment, size_t size) {
  if (resolving) return resolvingAllocate(size, alignment);
  resolveAllocator();
  if (allocationFails(size)) {
    errno = ENOMEM;
    return NULL;
  }
  void* allocated = realMemalign(alignment, size);
  if (!insideNew) countHeld(allocated, 1);
  return allocated;
}

/* operator new, in every form the program or the C++ library may call. Under a sanitizer
   the next definition is the sanitizer's, which never calls malloc; to fail, the C++
   library's own definition is called with the allocation under it failing, so that it
   throws std::bad_alloc as it would when memory is out. */
typedef void* (*PlainNew)(size_t);
typedef void* (*AlignedNew)(size_t, size_t);

static void* libraryNew(const char* symbol) {
  static void* library;
  const int wasResolving = resolving;
  resolving = 1;
  if (library == NULL) library = dlopen("libstdc++.so.6", RTLD_LAZY | RTLD_NOLOAD);
  void* found = library != NULL ? dlsym(library, symbol) : NULL;
  resolving = wasResolving;
  if (found == NULL) found = next(symbol);
  return found;
}

static void* plainNew(const char* symbol, PlainNew* real, PlainNew* library, size_t size) {
  if (*real == NULL) *real = (PlainNew)next(symbol);
  resolveAllocator();
  if (failNext) { /* on the way to throwing: the C++ library's operator new[] calls new */
    if (*library == NULL) *library = (PlainNew)libraryNew(symbol);
    return (*library)(size);
  }
  if (insideNew) return (*real)(size);
  if (allocationFails(size)) {
    if (*library == NULL) *library = (PlainNew)libraryNew(symbol);
    failNext = 1;
    void* unexpected = (*library)(size); /* throws */
    failNext = 0;
    return unexpected;
  }
  ++insideNew;
  void* allocated = (*real)(size);
  --insideNew;
  countHeld(allocated, 1);
  return allocated;
}

static void* alignedNew(const char* symbol, AlignedNew* real, AlignedNew* library, size_t size, size_t alignment) {
  if (*real == NULL) *real = (AlignedNew)next(symbol);
  resolveAllocator();
  if (failNext) {
    if (*library == NULL) *library = (AlignedNew)libraryNew(symbol);
    return (*library)(size, alignment);
  }
  if (insideNew) return (*real)(size, alignment);
  if (allocationFails(size)) {
    if (*library == NULL) *library = (AlignedNew)libraryNew(symbol);
    failNext = 1;
    void* unexpected = (*library)(size, alignment);
    failNext = 0;
    return unexpected;
  }
  ++insideNew;
  void* allocated = (*real)(size, alignment);
  --insideNew;
  countHeld(allocated, 1);
  return allocated;
}

/* The forms that do not throw return null when the allocation fails. */
static void* plainNewOrNull(const char* symbol, void* (**real)(size_t, const void*), size_t size, const void* nothrow) {
  if (*real == NULL) *real = (void* (*)(size_t, const void*))next(symbol);
  resolveAllocator();
  if (failNext || insideNew) return (*real)(size, nothrow);
  if (allocationFails(size)) return NULL;
  ++insideNew;
  void* allocated = (*real)(size, nothrow);
  --insideNew;
  countHeld(allocated, 1);
  return allocated;
}

static void* alignedNewOrNull(const char* symbol, void* (**real)(size_t, size_t, const void*), size_t size,
                              size_t alignment, const void* nothrow) {
  if (*real == NULL) *real = (void* (*)(size_t, size_t, const void*))next(symbol);
  resolveAllocator();
  if (failNext || insideNew) return (*real)(size, alignment, nothrow);
  if (allocationFails(size)) return NULL;
  ++insideNew;
  void* allocated = (*real)(size, alignment, nothrow);
  --insideNew;
  countHeld(allocated, 1);
  return allocated;
}

#define PLAIN_NEW(symbol)                            \
  void* symbol(size_t size);                         \
  void* symbol(size_t size) {                        \
    static PlainNew real, library;                   \
    return plainNew(#symbol, &real, &library, size); \
  }
#define ALIGNED_NEW(symbol)                                       \
  void* symbol(size_t size, size_t alignment);                    \
  void* symbol(size_t size, size_t alignment) {                   \
    static AlignedNew real, library;                              \
    return alignedNew(#symbol, &real, &library, size, alignment); \
  }
#define PLAIN_NEW_OR_NULL(symbol)                         \
  void* symbol(size_t size, const void* nothrow);         \
  void* symbol(size_t size, const void* nothrow) {        \
    static void* (*real)(size_t, const void*);            \
    return plainNewOrNull(#symbol, &real, size, nothrow); \
  }
#define ALIGNED_NEW_OR_NULL(symbol)                                    \
  void* symbol(size_t size, size_t alignment, const void* nothrow);    \
  void* symbol(size_t size, size_t alignment, const void* nothrow) {   \
    static void* (*real)(size_t, size_t, const void*);                 \
    return alignedNewOrNull(#symbol, &real, size, alignment, nothrow); \
  }

PLAIN_NEW(_Znwm)
PLAIN_NEW(_Znam)
ALIGNED_NEW(_ZnwmSt11align_val_t)
ALIGNED_NEW(_ZnamSt11align_val_t)
PLAIN_NEW_OR_NULL(_ZnwmRKSt9nothrow_t)
PLAIN_NEW_OR_NULL(_ZnamRKSt9nothrow_t)
ALIGNED_NEW_OR_NULL(_ZnwmSt11align_val_tRKSt9nothrow_t)
ALIGNED_NEW_OR_NULL(_ZnamSt11align_val_tRKSt9nothrow_t)

/* operator delete, in every form: only to keep count of what is held. */
#define DELETE(symbol, parameters, arguments)                   \
  void symbol parameters;                                       \
  void symbol parameters {                                      \
    static void(*real) parameters;                              \
    if (real == NULL) real = (void(*) parameters)next(#symbol); \
    if (insideRelease == 0) countHeld(block, -1);               \
    ++insideRelease;                                            \
    real arguments;                                             \
    --insideRelease;                                            \
  }

DELETE(_ZdlPv, (void* block), (block))
DELETE(_ZdaPv, (void* block), (block))
DELETE(_ZdlPvm, (void* block, size_t size), (block, size))
DELETE(_ZdaPvm, (void* block, size_t size), (block, size))
DELETE(_ZdlPvSt11align_val_t, (void* block, size_t alignment), (block, alignment))
DELETE(_ZdaPvSt11align_val_t, (void* block, size_t alignment), (block, alignment))
DELETE(_ZdlPvmSt11align_val_t, (void* block, size_t size, size_t alignment), (block, size, alignment))
DELETE(_ZdaPvmSt11align_val_t, (void* block, size_t size, size_t alignment), (block, size, alignment))
DELETE(_ZdlPvRKSt9nothrow_t, (void* block, const void* nothrow), (block, nothrow))
DELETE(_ZdaPvRKSt9nothrow_t, (void* block, const void* nothrow), (block, nothrow))
DELETE(_ZdlPvSt11align_val_tRKSt9nothrow_t, (void* block, size_t alignment, const void* nothrow),
       (block, alignment, nothrow))
DELETE(_ZdaPvSt11align_val_tRKSt9nothrow_t, (void* block, size_t alignment, const void* nothrow),
       (block, alignment, nothrow))

/* ---- Memory maps ------------------------------------------------------------------------ */

/* The anonymous maps counted as held, so that unmapping them (or their tails) gives back. */
static struct {
  char* start;
  size_t length;
} maps[64];

static void countMap(void* start, size_t length) {
  if (!keepingCount() || start == MAP_FAILED) return;
  held += (long long)length;
  for (size_t i = 0; i < sizeof maps / sizeof maps[0]; ++i) {
    if (maps[i].length == 0) {
      maps[i].start = start;
      maps[i].length = length;
      return;
    }
  }
}

/* Counts what unmapping [start, start + length) gives back of the maps counted. */
static void countUnmap(char* start, size_t length) {
  for (size_t i = 0; i < sizeof maps / sizeof maps[0]; ++i) {
    char* const begin = maps[i].start;
    char* const end = begin + maps[i].length;
    if (maps[i].length == 0 || start >= end || start + length <= begin) continue;
    char* const from = start > begin ? start : begin;
    char* const to = start + length < end ? start + length : end;
    held -= (long long)(to - from);
    if (from == begin) {
      maps[i].start = to;
      maps[i].length = (size_t)(end - to);
    } else {
      maps[i].length = (size_t)(from - begin); /* a hole in the middle keeps its tail counted */
    }
  }
}

int munmap(void* start, size_t length) {
  REAL(munmap)
  const int result = real_munmap(start, length);
  if (result == 0) countUnmap((char*)start, length);
  return result;
}

static void* mapped(const char* symbol, void* (**real)(void*, size_t, int, int, int, off_t), void* address,
                    size_t length, int protection, int flags, int fd, off_t offset) {
  if (*real == NULL) *real = (void* (*)(void*, size_t, int, int, int, off_t))next(symbol);
  if ((flags & MAP_ANONYMOUS) != 0) {
    if (allocationFails(length)) {
      errno = ENOMEM;
      return MAP_FAILED;
    }
  } else {
    unsigned long number;
    const int error = verdict(kMmap, &number);
    logOnDescriptor(kMmap, number, error > 0 ? error : 0, fd);
    if (error > 0) {
      errno = error;
      return MAP_FAILED;
    }
  }
  void* const result = (*real)(address, length, protection, flags, fd, offset);
  if ((flags & MAP_ANONYMOUS) != 0) countMap(result, length);
  return result;
}

void* mmap(void* address, size_t length, int protection, int flags, int fd, off_t offset) {
  static void* (*real)(void*, size_t, int, int, int, off_t);
  return mapped("mmap", &real, address, length, protection, flags, fd, offset);
}

void* mmap64(void* address, size_t length, int protection, int flags, int fd, off_t offset) {
  static void* (*real)(void*, size_t, int, int, int, off_t);
  return mapped("mmap64", &real, address, length, protection, flags, fd, offset);
}

/* ---- Opening ------------------------------------------------------------------------------ */

static int hasMode(int flags) { return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE; }

/* Returns the error an open of `path` is to fail with (logged), or 0. */
static int openFails(const char* path, int flags) {
  unsigned long number;
  int error = verdict(kOpen, &number);
  if (error < 0) error = 0; /* nothing to shorten */
  if (logged(error)) {
    char target[PATH_MAX + 32];
    snprintf(target, sizeof target, "%s%s", path, (flags & O_TMPFILE) == O_TMPFILE ? " [unnamed]" : "");
    logFailure(kOpen, number, error, -1, target);
  }
  return error;
}

/* The mode argument of an open that may create a file, from the arguments after `last`. */
#define MODE_AFTER(last, flags, mode)        \
  do {                                       \
    if (hasMode(flags)) {                    \
      va_list arguments;                     \
      va_start(arguments, last);             \
      mode = (mode_t)va_arg(arguments, int); \
      va_end(arguments);                     \
    }                                        \
  } while (0)

/* Fails the open of `path` when it is the one to fail: returns -1 with errno set, else 0. */
static int failOpen(const char* path, int flags) {
  const int error = openFails(path, flags);
  if (error == 0) return 0;
  errno = error;
  return -1;
}

#define OPEN_LIKE(symbol)                                                      \
  int symbol(const char* path, int flags, ...) {                               \
    REAL(symbol)                                                               \
    mode_t mode = 0;                                                           \
    MODE_AFTER(flags, flags, mode);                                            \
    return failOpen(path, flags) != 0 ? -1 : real_##symbol(path, flags, mode); \
  }

OPEN_LIKE(open)
OPEN_LIKE(open64)

#define OPENAT_LIKE(symbol)                                                            \
  int symbol(int folder, const char* path, int flags, ...) {                           \
    REAL(symbol)                                                                       \
    mode_t mode = 0;                                                                   \
    MODE_AFTER(flags, flags, mode);                                                    \
    return failOpen(path, flags) != 0 ? -1 : real_##symbol(folder, path, flags, mode); \
  }

OPENAT_LIKE(openat)
OPENAT_LIKE(openat64)

/* The program's one look at how much memory it uses, when an address limit is feigned. */
static const char kNothingInUse[] = "0 0 0 0 0 0 0\n";

static FILE* opened(const char* symbol, FILE* (**real)(const char*, const char*), const char* path, const char* mode) {
  if (*real == NULL) *real = (FILE * (*)(const char*, const char*)) next(symbol);
  unsigned long number;
  const int error = verdict(kFopen, &number);
  logFailure(kFopen, number, error > 0 ? error : 0, -1, path);
  if (error > 0) {
    errno = error;
    return NULL;
  }
  if (addressLimited && strcmp(path, "/proc/self/statm") == 0) {
    return fmemopen((void*)kNothingInUse, sizeof kNothingInUse - 1, "r");
  }
  return (*real)(path, mode);
}

FILE* fopen(const char* path, const char* mode) {
  static FILE* (*real)(const char*, const char*);
  return opened("fopen", &real, path, mode);
}

FILE* fopen64(const char* path, const char* mode) {
  static FILE* (*real)(const char*, const char*);
  return opened("fopen64", &real, path, mode);
}

int getrlimit(__rlimit_resource_t resource, struct rlimit* limit) {
  REAL(getrlimit)
  configure();
  if (addressLimited && resource == RLIMIT_AS) {
    limit->rlim_cur = addressLimit;
    limit->rlim_max = addressLimit;
    return 0;
  }
  return real_getrlimit(resource, limit);
}

int getrlimit64(__rlimit_resource_t resource, struct rlimit64* limit) {
  REAL(getrlimit64)
  configure();
  if (addressLimited && resource == RLIMIT_AS) {
    limit->rlim_cur = addressLimit;
    limit->rlim_max = addressLimit;
    return 0;
  }
  return real_getrlimit64(resource, limit);
}

/* ---- Reading and writing ---------------------------------------------------------------- */

/* Half of `count`, but never nothing: a transfer of nothing would read as the end. */
static size_t shortened(size_t count) { return count > 1 ? count / 2 : count; }

/* Returns the error a call of `kind` on `fd` is to fail with (logged), kShort, or 0. */
static int descriptorFails(int kind, int fd) {
  unsigned long number;
  const int error = verdict(kind, &number);
  logOnDescriptor(kind, number, error, fd);
  return error;
}

ssize_t read(int fd, void* buffer, size_t count) {
  REAL(read)
  const int error = descriptorFails(kRead, fd);
  if (error == kShort) return real_read(fd, buffer, shortened(count));
  if (error != 0) {
    errno = error;
    return -1;
  }
  return real_read(fd, buffer, count);
}

ssize_t write(int fd, const void* buffer, size_t count) {
  REAL(write)
  const int error = descriptorFails(kWrite, fd);
  if (error == kShort) return real_write(fd, buffer, shortened(count));
  if (error != 0) {
    errno = error;
    return -1;
  }
  return real_write(fd, buffer, count);
}

ssize_t writev(int fd, const struct iovec* pieces, int count) {
  REAL(writev)
  const int error = descriptorFails(kWritev, fd);
  if (error == kShort && count > 0 && count <= IOV_MAX) {
    size_t total = 0;
    for (int i = 0; i < count; ++i) total += pieces[i].iov_len;
    /* The first half of the bytes, the piece it ends in shortened. */
    struct iovec half[IOV_MAX];
    size_t left = shortened(total);
    int used = 0;
    for (; used < count && left > 0; ++used) {
      half[used] = pieces[used];
      if (half[used].iov_len > left) half[used].iov_len = left;
      left -= half[used].iov_len;
    }
    return real_writev(fd, half, used > 0 ? used : count);
  }
  if (error > 0) {
    errno = error;
    return -1;
  }
  return real_writev(fd, pieces, count);
}

/* pread() and pwrite(): `kind` of call, `Buffer` the type of their buffer. */
#define POSITIONED_LIKE(symbol, kind, Buffer)                                        \
  ssize_t symbol(int fd, Buffer buffer, size_t count, off_t offset) {                \
    REAL(symbol)                                                                     \
    const int error = descriptorFails(kind, fd);                                     \
    if (error == kShort) return real_##symbol(fd, buffer, shortened(count), offset); \
    if (error != 0) {                                                                \
      errno = error;                                                                 \
      return -1;                                                                     \
    }                                                                                \
    return real_##symbol(fd, buffer, count, offset);                                 \
  }

POSITIONED_LIKE(pwrite, kPwrite, const void*)
POSITIONED_LIKE(pwrite64, kPwrite, const void*)
POSITIONED_LIKE(pread, kPread, void*)
POSITIONED_LIKE(pread64, kPread, void*)

int close(int fd) {
  REAL(close)
  unsigned long number;
  const int error = verdict(kClose, &number);
  logOnDescriptor(kClose, number, error > 0 ? error : 0, fd); /* while it still leads there */
  const int result = real_close(fd);
  if (error > 0) {
    errno = error;
    return -1;
  }
  return result;
}

/* ---- Looking at files ---------------------------------------------------------------------- */

/* Returns the error a call of `kind` on `path` is to fail with (logged), or 0. */
static int pathFails(int kind, const char* path) {
  unsigned long number;
  int error = verdict(kind, &number);
  if (error < 0) error = 0; /* nothing to shorten */
  logFailure(kind, number, error, -1, path);
  return error;
}

#define FAIL_WITH(error) \
  if ((error) != 0) {    \
    errno = (error);     \
    return -1;           \
  }

#define FSTAT_LIKE(symbol, statType)               \
  int symbol(int fd, struct statType* status) {    \
    REAL(symbol)                                   \
    const int error = descriptorFails(kFstat, fd); \
    FAIL_WITH(error > 0 ? error : 0)               \
    return real_##symbol(fd, status);              \
  }

FSTAT_LIKE(fstat, stat)
FSTAT_LIKE(fstat64, stat64)

#define FSTATAT_LIKE(symbol, statType)                                           \
  int symbol(int folder, const char* path, struct statType* status, int flags) { \
    REAL(symbol)                                                                 \
    const int error = pathFails(kFstatat, path);                                 \
    FAIL_WITH(error)                                                             \
    return real_##symbol(folder, path, status, flags);                           \
  }

FSTATAT_LIKE(fstatat, stat)
FSTATAT_LIKE(fstatat64, stat64)

#define PATH_STAT_LIKE(symbol, kind, statType)            \
  int symbol(const char* path, struct statType* status) { \
    REAL(symbol)                                          \
    const int error = pathFails(kind, path);              \
    FAIL_WITH(error)                                      \
    return real_##symbol(path, status);                   \
  }

PATH_STAT_LIKE(lstat, kLstat, stat)
PATH_STAT_LIKE(lstat64, kLstat, stat64)
PATH_STAT_LIKE(stat, kStat, stat)
PATH_STAT_LIKE(stat64, kStat, stat64)
PATH_STAT_LIKE(statfs, kStatfs, statfs)
PATH_STAT_LIKE(statfs64, kStatfs, statfs64)

#define FSTATFS_LIKE(symbol, statType)               \
  int symbol(int fd, struct statType* status) {      \
    REAL(symbol)                                     \
    const int error = descriptorFails(kFstatfs, fd); \
    FAIL_WITH(error > 0 ? error : 0)                 \
    return real_##symbol(fd, status);                \
  }

FSTATFS_LIKE(fstatfs, statfs)
FSTATFS_LIKE(fstatfs64, statfs64)

/* ---- Changing files --------------------------------------------------------------------- */

#define FALLOCATE_LIKE(symbol)                               \
  int symbol(int fd, int mode, off_t offset, off_t length) { \
    REAL(symbol)                                             \
    const int error = descriptorFails(kFallocate, fd);       \
    FAIL_WITH(error > 0 ? error : 0)                         \
    return real_##symbol(fd, mode, offset, length);          \
  }

FALLOCATE_LIKE(fallocate)
FALLOCATE_LIKE(fallocate64)

#define FTRUNCATE_LIKE(symbol)                         \
  int symbol(int fd, off_t length) {                   \
    REAL(symbol)                                       \
    const int error = descriptorFails(kFtruncate, fd); \
    FAIL_WITH(error > 0 ? error : 0)                   \
    return real_##symbol(fd, length);                  \
  }

FTRUNCATE_LIKE(ftruncate)
FTRUNCATE_LIKE(ftruncate64)

int flock(int fd, int operation) {
  REAL(flock)
  const int error = descriptorFails(kFlock, fd);
  FAIL_WITH(error > 0 ? error : 0)
  return real_flock(fd, operation);
}

/* ---- Ending ------------------------------------------------------------------------------- */

/* The program ends a stopped run by raising the stop signal: the counts are written
   first, since no destructor runs then. */
int raise(int signal) {
  REAL(raise)
  writeCounts();
  return real_raise(signal);
}

void _exit(int status) {
  REAL(_exit)
  writeCounts();
  real__exit(status);
  __builtin_unreachable();
}
