#include "outputset.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

namespace {

// What all files together aim to hold before each writes out: lines are cheapest to write
// while they are still in the processor's cache. The bounds keep each write large enough
// that its call costs little per byte; powers of two keep writes aligned in the file.
constexpr std::size_t kHotBytes = std::size_t{4} * 1024 * 1024;
constexpr std::size_t kSmallestShare = std::size_t{16} * 1024;
constexpr std::size_t kLargestShare = std::size_t{64} * 1024;
// Pieces per write: on the stack, so that writing allocates nothing, also on the way out
// after a lack of memory.
constexpr int kPiecesPerWrite = 64;
// In place of a file's number: a failure to read the spill file back, or no file.
constexpr std::uint32_t kSpillFileRead = UINT32_MAX;
constexpr std::uint32_t kNoFile = UINT32_MAX - 1;

// Returns the most the arena may hold: `wanted`, or half of the room the address-space and
// data limits leave, whichever is less.
std::size_t budgetWithinLimits(std::size_t wanted) noexcept {
  rlim_t limit = RLIM_INFINITY;
  for (const int resource : {RLIMIT_AS, RLIMIT_DATA}) {
    rlimit current{};
    if (::getrlimit(resource, &current) == 0 && current.rlim_cur != RLIM_INFINITY) {
      limit = std::min(limit, current.rlim_cur);
    }
  }
  if (limit == RLIM_INFINITY) return wanted;
  unsigned long pages = 0;
  if (std::FILE* const statm = std::fopen("/proc/self/statm", "re")) {
    if (std::fscanf(statm, "%lu", &pages) != 1) pages = 0;
    std::fclose(statm);
  }
  const auto used = static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE));
  const rlim_t room = limit > used ? limit - used : 0;
  return std::min<std::size_t>(wanted, static_cast<std::size_t>(room / 2));
}

const char* reasonOf(int failure) noexcept {
  return failure == SafeFileCreator::kReplaced ? "it was replaced during the run" : std::strerror(failure);
}

}  // namespace

// Gathers the pieces of one file's lines and writes them, opening the file at its first
// write; a failure marks the file failed and cuts it back, and later pieces are dropped.
class OutputSet::Writer {
 public:
  Writer(OutputSet& set, std::uint32_t file) noexcept : outputs(set), number(file), state(set.states[file]) {}

  void add(const char* bytes, std::size_t size) noexcept {
    if (state.failure != 0 || size == 0) return;
    if (count == kPiecesPerWrite) flush();
    pieces[count++] = iovec{const_cast<char*>(bytes), size};
  }

  void flush() noexcept {
    const int pending = count;
    count = 0;
    if (pending == 0 || state.failure != 0) return;
    if (fd < 0) {
      int failure = 0;
      fd = outputs.descriptorFor(outputs.files[number], failure);
      if (fd < 0) {
        fail(state, -1, failure);
        return;
      }
    }
    if (const int error = writePieces(state, fd, pieces, pending)) fail(state, fd, error);
  }

  // Returns the descriptor the lines went to, or -1 if none was needed.
  int descriptor() const noexcept { return fd; }

 private:
  OutputSet& outputs;
  const std::uint32_t number;
  FileState& state;
  int fd = -1;
  iovec pieces[kPiecesPerWrite];
  int count = 0;
};

OutputSet::OutputSet(const FileIdentity& inputFile, const std::optional<FileIdentity>& standardOutput,
                     std::string header, bool withHeader, const OutputLimits& limits)
    : headLine(std::move(header)),
      writeHeadLine(withHeader),
      arena(budgetWithinLimits(limits.bufferBytes)),
      setAsideAllowed(limits.setAsideInFile),
      descriptors(limits.openFiles),
      creator(inputFile, standardOutput,
              [this](const FileIdentity& identity) -> std::optional<std::string_view> {
                const std::uint32_t file = identities.find(identity, states);
                if (file == IdentityIndex<SegmentedArray<FileState>>::kEmpty) return std::nullopt;
                return files[file].key();
              }),
      index(limits.hashSeed.value_or(HashSeed::random())),
      share(kLargestShare) {}

OutputSet::~OutputSet() { (void)closeAll(); }

std::size_t OutputSet::shareOfEachFile() const noexcept {
  const std::size_t even = kHotBytes / std::max<std::size_t>(files.size(), 1);
  std::size_t bytes = kSmallestShare;
  while (bytes < kLargestShare && 2 * bytes <= even) bytes *= 2;
  return bytes;
}

OutputFile& OutputSet::create(std::string_view key) {
  // Room in every part first, so that nothing can fail once the file exists: a key is
  // added whole or not at all. A key too long to be a file name is refused before that.
  if (key.size() > NAME_MAX) {
    FileIdentity unused;
    (void)creator.create(key, descriptors, unused);  // throws the refusal
  }
  for (;;) {
    try {
      if (key.size() > OutputFile::kKeyInPlace) keys.reserve(key.size());
      files.reserveOneMore();
      states.reserveOneMore();
      index.reserveOneMore();
      identities.reserveOneMore(states);
      descriptors.reserveOneMore();
      break;
    } catch (const std::bad_alloc&) {
      // The keys need the memory more than waiting lines do: the arena gives half back.
      makeRoom();
      if (!arena.shrink()) throw Error::of({"Could not write output file '", key, "': ", std::strerror(ENOMEM)});
    }
  }
  FileState state;
  Descriptor descriptor = creator.create(key, descriptors, state.identity);
  const std::uint32_t number = descriptors.add(std::move(descriptor));
  const char* const whole = key.size() > OutputFile::kKeyInPlace ? keys.store(key) : nullptr;
  OutputFile& file = files.push(OutputFile(key, whole, number));
  states.push(state);
  index.add(file);
  identities.add(number, states);
  share = shareOfEachFile();
  if (files.size() == kPrefetchFrom) arena.preferLargePages();
  if (writeHeadLine) append(file, headLine);
  throwPendingFailure();  // of another file, while room was made for this one
  return file;
}

void OutputSet::appendSlowly(OutputFile& file, std::string_view line) {
  copyIn(file, line);
  copyIn(file, std::string_view("\n", 1));
  throwPendingFailure();
}

void OutputSet::copyIn(OutputFile& file, std::string_view bytes) {
  while (!bytes.empty()) {
    if (file.room == 0) takeChunk(file);
    const std::size_t count = std::min<std::size_t>(bytes.size(), file.room);
    std::memcpy(file.tail, bytes.data(), count);
    file.tail += count;
    file.room = static_cast<std::uint16_t>(file.room - count);
    bytes.remove_prefix(count);
  }
}

void OutputSet::takeChunk(OutputFile& file) {
  FileState& state = states[file.index];
  if (state.last != ChunkArena::kNoChunk && !state.setAside && state.fullBytes + arena.size(state.last) >= share) {
    // Its share gathered: out in one write, while the lines are still in the cache.
    Writer writer(*this, file.index);
    writeChain(writer, file, state);
    writer.flush();
    for (ChunkArena::Cell chunk = state.first; chunk != ChunkArena::kNoChunk;) {
      const ChunkArena::Cell next = arena.next(chunk);
      arena.release(chunk);
      chunk = next;
    }
    emptyChain(file, state);
    if (state.failure != 0) throw failureOf(file.index, state.failure);
  }
  ChunkArena::Cell chunk = arena.acquire(ChunkArena::classOfChunk(state.chunksTaken));
  if (chunk == ChunkArena::kNoChunk) {
    makeRoom();  // empties every chain, this one's too
    chunk = arena.acquire(ChunkArena::classOfChunk(state.chunksTaken));
    if (chunk == ChunkArena::kNoChunk) throw failureOf(file.index, ENOMEM);
  }
  if (state.last == ChunkArena::kNoChunk) {
    state.first = chunk;
  } else {
    arena.link(state.last, chunk);
    state.fullBytes += static_cast<std::uint32_t>(arena.size(state.last));
  }
  state.last = chunk;
  file.tail = arena.bytes(chunk);
  file.room = static_cast<std::uint16_t>(arena.size(chunk));
  if (state.chunksTaken <= ChunkArena::kLargestClass) ++state.chunksTaken;
}

std::size_t OutputSet::chainBytes(const OutputFile& file, const FileState& state) const noexcept {
  return state.last == ChunkArena::kNoChunk
             ? 0
             : state.fullBytes + static_cast<std::size_t>(file.tail - arena.bytes(state.last));
}

void OutputSet::writeChain(Writer& writer, const OutputFile& file, const FileState& state) const noexcept {
  for (ChunkArena::Cell chunk = state.first; chunk != ChunkArena::kNoChunk; chunk = arena.next(chunk)) {
    const char* const bytes = arena.bytes(chunk);
    writer.add(bytes, chunk == state.last ? static_cast<std::size_t>(file.tail - bytes) : arena.size(chunk));
  }
}

void OutputSet::emptyChain(OutputFile& file, FileState& state) noexcept {
  state.first = ChunkArena::kNoChunk;
  state.last = ChunkArena::kNoChunk;
  state.fullBytes = 0;
  file.tail = nullptr;
  file.room = 0;
}

void OutputSet::makeRoom() noexcept {
  if (setAsideAllowed && setAside()) {
    arena.releaseAll();
    return;
  }
  writeEverything(AfterWriting::kKeepOpen);
  arena.releaseAll();
  if (!setAsideAllowed && spill.isOpen()) {  // given up: its descriptor goes back to the files
    spill.close();
    descriptors.giveOneBack();
  }
}

bool OutputSet::setAside() noexcept {
  // The first time, the spill file takes a descriptor of the files' allowance. Where it
  // cannot be had (a file system without unnamed files), lines are written out instead.
  if (!spill.isOpen()) {
    const bool held = descriptors.holdOneBack();
    if (!held || spill.open() != 0) {
      if (held) descriptors.giveOneBack();
      setAsideAllowed = false;
      return false;
    }
  }
  if (spill.beginRun() != 0) return false;
  int error = 0;
  for (std::uint32_t number = 0; number < files.size() && error == 0; ++number) {
    OutputFile& file = files[number];
    FileState& state = states[number];
    if (state.last == ChunkArena::kNoChunk || state.failure != 0) continue;
    const std::size_t bytes = chainBytes(file, state);
    if (!state.setAside && bytes >= ChunkArena::kLargestChunk && descriptors.isOpen(number)) {
      // Busy and open: written out now costs a write, set aside a write and a read.
      Writer writer(*this, number);
      writeChain(writer, file, state);
      writer.flush();
      if (state.failure != 0) notePending(number, state.failure);
      emptyChain(file, state);
      continue;
    }
    error = spill.addRecord(number, static_cast<std::uint32_t>(bytes));
    for (ChunkArena::Cell chunk = state.first; chunk != ChunkArena::kNoChunk && error == 0; chunk = arena.next(chunk)) {
      const char* const start = arena.bytes(chunk);
      error =
          spill.addBytes(start, chunk == state.last ? static_cast<std::size_t>(file.tail - start) : arena.size(chunk));
    }
    state.setAside = true;  // also when the run fails: its lines then go out after those of earlier runs
  }
  if (error == 0) {
    error = spill.endRun();
  } else {
    spill.abandonRun();
  }
  if (error != 0) {
    // Setting lines aside is a way of saving writes, never a reason for a run to fail (a
    // file size limit, a full file system): what was set aside and what is in memory now
    // goes to the files, and from then on memory is written out in rounds.
    setAsideAllowed = false;
    return false;
  }
  for (std::uint32_t number = 0; number < files.size(); ++number) {
    FileState& state = states[number];
    if (!state.setAside || state.last == ChunkArena::kNoChunk) continue;
    emptyChain(files[number], state);
    state.chunksTaken = 0;  // a file whose lines were set aside starts small again
  }
  return true;
}

void OutputSet::writeEverything(AfterWriting then) noexcept {
  int readFailure = spill.holdsRuns() ? spill.beginMerge() : 0;
  for (std::uint32_t number = 0; number < files.size(); ++number) {
    OutputFile& file = files[number];
    FileState& state = states[number];
    Writer writer(*this, number);
    const bool failedBefore = state.failure != 0;
    if (state.setAside && state.failure == 0) {
      // Lines set aside come first, in the order of the runs.
      if (readFailure == 0) readFailure = spill.copyRecordsOf(number, writer);
      if (readFailure != 0) {
        // Lines of this file may be lost in the spill file: nothing after them may be written.
        writer.flush();
        fail(state, writer.descriptor(), readFailure);
        spillReadFailure = readFailure;
        notePending(kSpillFileRead, readFailure);
      }
    }
    state.setAside = false;
    writeChain(writer, file, state);
    writer.flush();
    emptyChain(file, state);
    state.chunksTaken = 0;  // memory was full: every file starts small again
    if (!failedBefore && state.failure != 0) notePending(number, state.failure);
    if (then == AfterWriting::kKeepOpen) continue;
    if (state.written != state.wholeLines) {
      // A line left unfinished, by a failure of this file or because the rest of the line
      // was lost with the spill file: the file ends at the line before.
      int failure = 0;
      const int fd = writer.descriptor() >= 0 ? writer.descriptor() : descriptorFor(file, failure);
      if (fd >= 0) fail(state, fd, 0);
    }
    if (const int error = descriptors.close(number)) {
      if (state.failure == 0) state.failure = error;
    }
  }
  spill.clear();
}

int OutputSet::descriptorFor(const OutputFile& file, int& failure) noexcept {
  const int fd = descriptors.descriptor(file.index);
  if (fd >= 0) return fd;
  if (fd < -1) {  // a close failed while making room
    failure = -fd;
    return -1;
  }
  char name[NAME_MAX + 1];
  const std::string_view key = file.key();
  std::memcpy(name, key.data(), key.size());
  name[key.size()] = '\0';
  Descriptor reopened = SafeFileCreator::reopen(name, states[file.index].identity, descriptors, failure);
  return reopened.isOpen() ? descriptors.attach(file.index, std::move(reopened)) : -1;
}

int OutputSet::writePieces(FileState& state, int fd, const iovec* pieces, int count) noexcept {
  std::size_t total = 0;
  for (int i = 0; i < count; ++i) total += pieces[i].iov_len;
  std::size_t done = 0;
  int error = 0;
  while (done < total) {
    // The pieces still to go, starting inside one after a short write.
    iovec rest[kPiecesPerWrite];
    int used = 0;
    std::size_t skip = done;
    for (int i = 0; i < count; ++i) {
      if (skip >= pieces[i].iov_len) {
        skip -= pieces[i].iov_len;
        continue;
      }
      rest[used++] = iovec{static_cast<char*>(pieces[i].iov_base) + skip, pieces[i].iov_len - skip};
      skip = 0;
    }
    const ssize_t n = ::writev(fd, rest, used);
    // An output file is a regular file, which no other process can hold up: an interrupted
    // write is repeated even after a stop was asked, since the write-out must finish.
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n < 0 ? errno : EIO;  // no progress: never spin
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  // The last line feed written, looked for from the end of what went out.
  std::size_t end = done;
  for (int i = count; i-- > 0 && end > 0;) {
    std::size_t start = 0;
    for (int j = 0; j < i; ++j) start += pieces[j].iov_len;
    if (start >= end) continue;
    const auto* const bytes = static_cast<const char*>(pieces[i].iov_base);
    if (const void* const lineFeed = ::memrchr(bytes, '\n', end - start)) {
      state.wholeLines =
          state.written + start + static_cast<std::size_t>(static_cast<const char*>(lineFeed) - bytes) + 1;
      break;
    }
    end = start;
  }
  state.written += done;
  return error;
}

void OutputSet::fail(FileState& state, int fd, int failure) noexcept {
  // Cut back to whole lines, only ever shrinking: never extending a file that changed.
  struct stat status {};
  if (fd >= 0 && ::fstat(fd, &status) == 0 && static_cast<std::uint64_t>(status.st_size) > state.wholeLines &&
      ::ftruncate(fd, static_cast<off_t>(state.wholeLines)) == 0) {
    state.written = state.wholeLines;
  }
  if (failure != 0 && state.failure == 0) state.failure = failure;
}

void OutputSet::notePending(std::uint32_t source, int failure) noexcept {
  if (pendingFailure != 0) return;  // the first is reported
  pendingFile = source;
  pendingFailure = failure;
}

void OutputSet::throwPendingFailure() {
  if (pendingFailure == 0) return;
  const int failure = std::exchange(pendingFailure, 0);
  throw failureOf(pendingFile, failure);
}

Error OutputSet::failureOf(std::uint32_t file, int failure) const noexcept {
  if (file == kSpillFileRead) {
    const char* const elsewhere = spill.elsewhere();
    return Error::of({"Could not read temporary data in ", elsewhere != nullptr ? "'" : "the output folder",
                      elsewhere != nullptr ? elsewhere : "", elsewhere != nullptr ? "'" : "", ": ",
                      std::strerror(failure)});
  }
  return Error::of({"Could not write output file '", files[file].key(), "': ", reasonOf(failure)});
}

OutputSet::Closed OutputSet::closeAll() noexcept {
  if (closed) return Closed{files.size(), std::nullopt};
  closed = true;
  writeEverything(AfterWriting::kClose);
  if (spillReadFailure != 0) return Closed{files.size(), failureOf(kSpillFileRead, spillReadFailure)};
  // The first failed file in ascending key order, and how many files come up to it.
  std::uint32_t first = kNoFile;
  for (std::uint32_t number = 0; number < files.size(); ++number) {
    if (states[number].failure != 0 && (first == kNoFile || files[number].key() < files[first].key())) {
      first = number;
    }
  }
  if (first == kNoFile) {
    if (pendingFailure != 0) return Closed{files.size(), failureOf(pendingFile, std::exchange(pendingFailure, 0))};
    return Closed{files.size(), std::nullopt};
  }
  std::size_t upTo = 1;
  for (std::uint32_t number = 0; number < files.size(); ++number) {
    if (files[number].key() < files[first].key()) ++upTo;
  }
  return Closed{upTo, failureOf(first, states[first].failure)};
}
