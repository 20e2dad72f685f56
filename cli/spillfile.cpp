#include "spillfile.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace {

// What reading all runs back may take at once when the caller has no memory to spare.
constexpr std::size_t kMergeBytes = std::size_t{8} << 20;
constexpr std::size_t kLargestRunBuffer = std::size_t{1} << 20;
// The least a run's own buffer gets, and the least one in spare memory may be.
constexpr std::size_t kSmallestRunBuffer = 4096;
constexpr std::size_t kLeastRunBuffer = 512;

// Returns what each of `runs` gets of `bytes`: whole pages when that is a page or more.
std::size_t runBufferFor(std::size_t bytes, std::size_t runs) noexcept {
  const std::size_t share = std::min(bytes / runs, kLargestRunBuffer);
  return share >= kSmallestRunBuffer ? share / 4096 * 4096 : share / 64 * 64;
}
// Room is given back in whole blocks of this size; blocks that two runs share stay.
constexpr std::uint64_t kBlock = 4096;
// Writes of a run go in pieces of at most this much: a file size limit or a full file
// system is then met by a short write rather than a huge one failing whole.
constexpr std::size_t kLargestWrite = std::size_t{8} << 20;

// Opens an unnamed file in `folder` whose file system can punch holes (else lines set aside
// take their room twice while read back); returns the descriptor, or -1 with errno set.
int openUnnamed(const char* folder) noexcept {
  int opened;
  do {
    opened = ::open(folder, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  } while (opened < 0 && errno == EINTR);
  if (opened >= 0 && ::fallocate(opened, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0, kBlock) != 0) {
    const int error = errno;
    ::close(opened);
    errno = error;
    return -1;
  }
  return opened;
}

}  // namespace

SpillFile::~SpillFile() { close(); }

int SpillFile::open() noexcept {
  if (fd >= 0) return 0;
  int opened = openUnnamed(".");
  if (opened < 0) {
    // As sort(1) does: TMPDIR, or /tmp. Still an unnamed file: never a name in any folder.
    const char* const temporary = std::getenv("TMPDIR");
    const char* const where = temporary != nullptr && *temporary != '\0' ? temporary : "/tmp";
    opened = openUnnamed(where);
    if (opened < 0) return errno;
    folder = where;
  }
  fd = opened;
  return 0;
}

void SpillFile::close() noexcept {
  clear();
  if (fd >= 0) ::close(std::exchange(fd, -1));
}

bool SpillFile::canReadBackOneMore(std::size_t spareBytes) noexcept {
  const std::size_t count = runs.size() + 1;
  if (runBufferFor(spareBytes, count) >= kLeastRunBuffer) return true;
  if (runBufferFor(kMergeBytes, count) < kLeastRunBuffer) return false;
  // Taken whole: whatever the number of runs at the end, their buffers fit in it.
  if (mergeBuffers == nullptr) mergeBuffers = allocateRawBytes(kMergeBytes);
  return mergeBuffers != nullptr;
}

int SpillFile::writeRun(const char* records, std::size_t size) noexcept {
  try {
    if (runs.size() == runs.capacity()) runs.reserve(2 * runs.size() + 16);
  } catch (const std::bad_alloc&) {
    return ENOMEM;
  }
  std::size_t done = 0;
  while (done < size) {
    // A regular file that no other process can hold up: interruptions are retried.
    const ssize_t n =
        ::pwrite(fd, records + done, std::min(size - done, kLargestWrite), static_cast<off_t>(end + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int error = n < 0 ? errno : EIO;
      (void)::ftruncate(fd, static_cast<off_t>(end));  // gives the room of the broken run back
      return error;
    }
    done += static_cast<std::size_t>(n);
  }
  if (size > 0) runs.push_back(Run{end, end + size, end});  // room reserved above
  end += size;
  return 0;
}

int SpillFile::beginMerge(char* spare, std::size_t spareBytes) noexcept {
  if (runs.empty()) return 0;
  // Large buffers, as each refill inside a file's lines splits its write: the spare memory
  // when it gives each run the most, else memory of its own, else what the spare gives.
  const std::size_t spared = runBufferFor(spareBytes, runs.size());
  runBufferSize = spared;
  char* base = spare;
  if (spared < kLargestRunBuffer) {
    const std::size_t own = runBufferFor(kMergeBytes, runs.size());
    if (own > spared && mergeBuffers == nullptr) mergeBuffers = allocateRawBytes(own * runs.size());
    if (own > spared && mergeBuffers != nullptr) {
      runBufferSize = own;
      base = mergeBuffers.get();
    } else if (spared < kLeastRunBuffer) {
      return ENOMEM;
    }
  }
  int result = 0;
  for (std::size_t i = 0; i < runs.size(); ++i) {
    // Filled now, so that the first files read do not each wait for every run.
    runs[i] = Run{runs[i].next, runs[i].end, runs[i].givenBackTo, base + i * runBufferSize};
    if (const int error = refill(runs[i])) result = error;
  }
  return result;
}

int SpillFile::refill(Run& run) noexcept {
  const std::size_t kept = run.filled - run.pos;
  if (kept > 0 && run.pos > 0) std::memmove(run.buffer, run.buffer + run.pos, kept);
  run.pos = 0;
  run.filled = kept;
  const std::size_t wanted =
      static_cast<std::size_t>(std::min<std::uint64_t>(runBufferSize - kept, run.end - run.next));
  for (;;) {
    const ssize_t n = ::pread(fd, run.buffer + run.filled, wanted, static_cast<off_t>(run.next));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      run.failed = true;
      return n < 0 ? errno : EIO;  // the file is shorter than what was written to it
    }
    run.filled += static_cast<std::size_t>(n);
    run.next += static_cast<std::uint64_t>(n);
    giveBackRead(run);
    return 0;
  }
}

void SpillFile::giveBackRead(Run& run) noexcept {
  // Only blocks wholly inside this run: the block where it starts may hold the end of the
  // run before, which may not have been read yet.
  const std::uint64_t from = (run.givenBackTo + kBlock - 1) / kBlock * kBlock;
  const std::uint64_t to = run.next / kBlock * kBlock;
  if (!holesPunched || to <= from) return;
  if (::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(from),
                  static_cast<off_t>(to - from)) != 0) {
    // Refused although the file system punched a hole when the file was opened: the file
    // keeps its room until it is cleared.
    holesPunched = errno == EINTR;
    return;
  }
  run.givenBackTo = to;
}

void SpillFile::clear() noexcept {
  runs.clear();
  mergeBuffers.reset();
  end = 0;
  if (fd >= 0) (void)::ftruncate(fd, 0);
}
