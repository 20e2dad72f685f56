#include "spillfile.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace {

constexpr std::size_t kLargestRunBuffer = std::size_t{1} << 20;
// Room is given back in whole blocks of this size. Each run ends at a block's end (its first
// block has a gap before its first record), so that no block holds two runs: a block is free
// as soon as its run has read it.
constexpr std::uint64_t kBlock = 4096;
static_assert((kBlock & (kBlock - 1)) == 0 && kBlock % 512 == 0, "a block is what file systems give back whole");
// Bytes of a run's buffer beyond whole blocks: where a record header cut by the end of the
// last read waits, so that every read can be of whole blocks.
constexpr std::size_t kHeaderRoom = 64;
// The least a run's buffer may be: reads then stop inside blocks, and those are given back
// once read to their end.
constexpr std::size_t kLeastRunBuffer = 512;

// Returns what each of `runs` gets of `bytes`: whole blocks and room for a header when that
// is a block or more.
std::size_t runBufferFor(std::size_t bytes, std::size_t runs) noexcept {
  const std::size_t share = std::min(bytes / runs, kLargestRunBuffer);
  return share >= kBlock + kHeaderRoom ? (share - kHeaderRoom) / kBlock * kBlock + kHeaderRoom : share / 64 * 64;
}

std::uint64_t blockStart(std::uint64_t offset) noexcept { return offset / kBlock * kBlock; }
std::uint64_t blockEnd(std::uint64_t offset) noexcept { return blockStart(offset + kBlock - 1); }

// Writes of a run go in pieces of at most this much: a file size limit or a full file
// system is then met by a short write rather than a huge one failing whole.
constexpr std::size_t kLargestWrite = std::size_t{8} << 20;

// Opens an unnamed file in `folder` whose file system can punch holes (else lines set aside
// take their room twice while read back); returns it, or no descriptor with its error.
Descriptor openUnnamed(const char* folder) noexcept {
  Descriptor opened;
  do {
    opened = Descriptor(::open(folder, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
  } while (!opened.isOpen() && errno == EINTR);
  if (opened.isOpen() && ::fallocate(opened.get(), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0, kBlock) != 0) {
    return Descriptor();
  }
  return opened;
}

}  // namespace

SpillFile::SpillFile(Descriptor spillFile, std::size_t ownMemoryBytes) noexcept
    : file(std::move(spillFile)), ownMemory(ownMemoryBytes) {}

SpillFile::~SpillFile() { close(); }

Failure SpillFile::open() noexcept {
  if (file.isOpen()) return Failure();
  file = openUnnamed(".");
  if (!file.isOpen()) {
    // As sort(1) does: TMPDIR, or /tmp. Still an unnamed file: never a name in any folder.
    const char* const temporary = std::getenv("TMPDIR");
    const char* const where = temporary != nullptr && *temporary != '\0' ? temporary : "/tmp";
    file = openUnnamed(where);
    if (!file.isOpen()) return Failure::ofSetAside(Failure::How::kCreate, errno);
    elsewhere = where;
  }
  return Failure();
}

void SpillFile::close() noexcept {
  clear();
  (void)file.close();
}

bool SpillFile::canReadBack(std::size_t spareBytes, std::size_t moreRuns, OwnMemory own) noexcept {
  const std::size_t count = runs.size() + moreRuns;
  if (count == 0 || runBufferFor(spareBytes, count) >= kLeastRunBuffer) return true;
  if (ownMemory == 0 || runBufferFor(ownMemory, count) < kLeastRunBuffer) return false;
  // Taken whole: whatever the number of runs at the end, their buffers fit in it.
  if (mergeBuffers == nullptr && own == OwnMemory::kMayTake) mergeBuffers = allocateRawBytes(ownMemory);
  return mergeBuffers != nullptr;
}

Failure SpillFile::take(const char* records, std::size_t size) noexcept {
  if (size == 0) return Failure();
  if (const Failure failure = open()) return failure;
  try {
    if (runs.size() == runs.capacity()) runs.reserve(2 * runs.size() + 16);
  } catch (const std::bad_alloc&) {
    return Failure::ofSetAside(Failure::How::kWrite, ENOMEM);
  }
  // The run ends at a block's end; `end` is at one.
  const std::uint64_t first = end + blockEnd(size) - size;
  for (std::size_t done = 0; done < size;) {
    // A regular file that no other process can hold up: interruptions are retried.
    const ssize_t n =
        ::pwrite(file.get(), records + done, std::min(size - done, kLargestWrite), static_cast<off_t>(first + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int error = n < 0 ? errno : EIO;
      (void)::ftruncate(file.get(), static_cast<off_t>(end));  // gives the room of the broken run back
      return Failure::ofSetAside(Failure::How::kWrite, error);
    }
    done += static_cast<std::size_t>(n);
  }
  runs.push_back(Run{first, first + size, end});  // room reserved above
  end = first + size;
  return Failure();
}

Failure SpillFile::beginReadBack(char* spare, std::size_t spareBytes) noexcept {
  if (runs.empty()) return Failure();
  // Large buffers, as each refill inside a file's lines splits its write: the spare memory
  // when it gives each run the most, else memory of its own, else what the spare gives.
  const std::size_t spared = runBufferFor(spareBytes, runs.size());
  runBufferSize = spared;
  char* base = spare;
  if (spared < kLargestRunBuffer) {
    const std::size_t own = ownMemory == 0 ? 0 : runBufferFor(ownMemory, runs.size());
    if (own > spared && mergeBuffers == nullptr) mergeBuffers = allocateRawBytes(own * runs.size());
    if (own > spared && mergeBuffers != nullptr) {
      runBufferSize = own;
      base = mergeBuffers.get();
    } else if (spared < kLeastRunBuffer) {
      return Failure::ofSetAside(Failure::How::kReadBack, ENOMEM);
    }
  }
  Failure result;
  for (std::size_t i = 0; i < runs.size(); ++i) {
    // Filled now, so that the first files read do not each wait for every run.
    runs[i] = Run{runs[i].next, runs[i].end, runs[i].givenBackTo, base + i * runBufferSize};
    if (const Failure failure = refill(runs[i])) result = failure;
  }
  return result;
}

Failure SpillFile::readBack(std::uint32_t number, WholeLineWriter& writer) noexcept {
  Failure result;
  for (Run& run : runs) {
    if (const Failure failure = readRun(run, number, writer)) result = failure;
  }
  return result;
}

Failure SpillFile::readRun(Run& run, std::uint32_t number, WholeLineWriter& writer) noexcept {
  Failure result;
  while (!run.failed) {
    if (run.recordLeft == 0) {
      if (run.pos == run.filled && run.next == run.end) break;  // drained
      if (run.filled - run.pos < kHeaderBytes) {
        writer.flush();  // the pieces handed out are in the buffer about to be refilled
        if (const Failure failure = refill(run)) result = failure;
        continue;
      }
      assert(headerField(run.buffer + run.pos, 0) >= number && "files are read back in ascending order");
      if (headerField(run.buffer + run.pos, 0) != number) break;
      run.recordLeft = headerField(run.buffer + run.pos, 1);
      run.pos += kHeaderBytes;
      continue;
    }
    if (run.pos == run.filled) {
      writer.flush();
      if (const Failure failure = refill(run)) result = failure;
      continue;
    }
    const std::size_t piece = std::min<std::uint64_t>(run.filled - run.pos, run.recordLeft);
    writer.add(run.buffer + run.pos, piece);
    run.pos += piece;
    run.recordLeft -= piece;
  }
  return result;
}

Failure SpillFile::refill(Run& run) noexcept {
  const std::size_t kept = run.filled - run.pos;
  if (kept > 0 && run.pos > 0) std::memmove(run.buffer, run.buffer + run.pos, kept);
  run.pos = 0;
  run.filled = kept;
  // Whole blocks when the buffer holds one: what was read is then given back to its end.
  const std::uint64_t room = runBufferSize - kept;
  const std::uint64_t wholeBlocksEnd = std::min(run.end, blockStart(run.next + room));
  const auto wanted = static_cast<std::size_t>(wholeBlocksEnd > run.next ? wholeBlocksEnd - run.next
                                                                         : std::min(room, run.end - run.next));
  for (;;) {
    const ssize_t n = ::pread(file.get(), run.buffer + run.filled, wanted, static_cast<off_t>(run.next));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      run.failed = true;
      // No bytes where bytes were written: the file is shorter than what was written to it.
      return Failure::ofSetAside(Failure::How::kReadBack, n < 0 ? errno : EIO);
    }
    run.filled += static_cast<std::size_t>(n);
    run.next += static_cast<std::uint64_t>(n);
    giveBackRead(run);
    return Failure();
  }
}

void SpillFile::giveBackRead(Run& run) noexcept {
  // The blocks of a run are its own: the first holds nothing before it, the last ends with it.
  const std::uint64_t from = run.givenBackTo;
  const std::uint64_t to = run.next == run.end ? blockEnd(run.end) : blockStart(run.next);
  if (!holesPunched || to <= from) return;
  if (::fallocate(file.get(), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(from),
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
  if (file.isOpen()) (void)::ftruncate(file.get(), 0);
}
