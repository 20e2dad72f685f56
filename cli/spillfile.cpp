#include "spillfile.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

constexpr std::size_t kStageSize = std::size_t{1} << 20;
// What reading all runs back may take at once, shared out among them.
constexpr std::size_t kMergeBytes = std::size_t{8} << 20;
constexpr std::size_t kSmallestRunBuffer = 4096;
// Room is given back in whole blocks of this size; blocks that two runs share stay.
constexpr std::uint64_t kBlock = 4096;

// Opens an unnamed file in `folder` whose file system can give room back (punch holes);
// returns the descriptor, or -1 with errno set. Without holes, lines set aside would take
// their room twice while they are read back into their files, and a file system that can
// hold the output could still run out of room.
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

void putHeader(char* at, std::uint32_t file, std::uint32_t length) noexcept {
  std::memcpy(at, &file, 4);
  std::memcpy(at + 4, &length, 4);
}

}  // namespace

SpillFile::~SpillFile() {
  if (fd >= 0) ::close(fd);
}

int SpillFile::open() noexcept {
  if (fd >= 0) return 0;
  if (stage == nullptr) stage = allocateRawBytes(kStageSize);
  if (stage == nullptr) return ENOMEM;
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
  if (fd >= 0) ::close(fd);
  fd = -1;
}

int SpillFile::beginRun() noexcept {
  try {
    runs.reserve(runs.size() + 1);
  } catch (const std::bad_alloc&) {
    return ENOMEM;
  }
  runStart = end;
  staged = 0;
  return 0;
}

int SpillFile::addRecord(std::uint32_t file, std::uint32_t length) noexcept {
  char header[kHeaderSize];
  putHeader(header, file, length);
  return addBytes(header, sizeof header);
}

int SpillFile::addBytes(const char* bytes, std::size_t size) noexcept {
  while (size > 0) {
    if (staged == kStageSize) {
      if (const int error = flushStage()) return error;
    }
    const std::size_t taken = std::min(size, kStageSize - staged);
    std::memcpy(stage.get() + staged, bytes, taken);
    staged += taken;
    bytes += taken;
    size -= taken;
  }
  return 0;
}

int SpillFile::flushStage() noexcept {
  std::size_t done = 0;
  while (done < staged) {
    // A regular file that no other process can hold up: interruptions are retried.
    const ssize_t n = ::pwrite(fd, stage.get() + done, staged - done, static_cast<off_t>(end + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : EIO;
    done += static_cast<std::size_t>(n);
  }
  end += staged;
  staged = 0;
  return 0;
}

int SpillFile::endRun() noexcept {
  if (const int error = flushStage()) {
    abandonRun();
    return error;
  }
  if (end > runStart) runs.push_back(Run{runStart, end, runStart});  // room reserved by beginRun()
  return 0;
}

void SpillFile::abandonRun() noexcept {
  staged = 0;
  end = runStart;
  (void)::ftruncate(fd, static_cast<off_t>(end));  // gives the space of the broken run back
}

int SpillFile::beginMerge() noexcept {
  if (runs.empty()) return 0;
  runBufferSize = std::clamp(kMergeBytes / runs.size(), std::size_t{16} * 1024, kStageSize) / 4096 * 4096;
  mergeBuffers = allocateRawBytes(runBufferSize * runs.size());
  char* base = mergeBuffers.get();
  if (base == nullptr) {  // the write buffer, idle now, shared out instead
    runBufferSize = kStageSize / runs.size() / 4096 * 4096;
    if (runBufferSize < kSmallestRunBuffer) return ENOMEM;
    base = stage.get();
  }
  int result = 0;
  for (std::size_t i = 0; i < runs.size(); ++i) {
    runs[i].buffer = base + i * runBufferSize;
    runs[i].pos = 0;
    runs[i].filled = 0;
    runs[i].recordLeft = 0;
    // Filled now, so that the first files read do not each wait for every run.
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

std::uint32_t SpillFile::recordFileAt(const Run& run) noexcept {
  std::uint32_t file;
  std::memcpy(&file, run.buffer + run.pos, 4);
  return file;
}

std::uint32_t SpillFile::recordLengthAt(const Run& run) noexcept {
  std::uint32_t length;
  std::memcpy(&length, run.buffer + run.pos + 4, 4);
  return length;
}

void SpillFile::clear() noexcept {
  runs.clear();
  mergeBuffers.reset();
  end = 0;
  staged = 0;
  if (fd >= 0) (void)::ftruncate(fd, 0);
}
