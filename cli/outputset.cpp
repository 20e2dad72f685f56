#include "outputset.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>

#include "error.h"

namespace {

// Blocks one file may hold before it writes them out. Lines are cheapest to write while
// they are still in the processor's cache, so all files together aim to hold at most
// kHotBytes; the bounds keep each write large enough that its call costs little per byte.
// A power of two keeps the writes aligned in the file, so the page cache can take them in
// large pages (with 100 keys: 32 KiB writes take 35% less system time than 28 KiB ones).
constexpr std::size_t kHotBytes = std::size_t{4} * 1024 * 1024;
constexpr std::size_t kMinBlocksPerFile = 4;
constexpr std::size_t kMaxBlocksPerFile = 16;
// Up to this many slots (64 KiB) the index stays at most an eighth full, so that a lookup
// nearly always ends at its first slot: every further probe is a mispredicted branch,
// once per line (with 100 keys, 5% less time in all). Larger indexes are kept half full.
constexpr std::size_t kSparseIndexSlots = 4096;
// Files looked at for a donor of blocks before giving up.
constexpr std::size_t kDonorSearch = 64;
// Descriptors left for standard streams, the input and the C library.
constexpr rlim_t kReservedDescriptors = 8;
// Enough descriptors to keep every file of a typical run open; more buys nothing.
constexpr rlim_t kWantedDescriptors = 65536;

constexpr int kCreateFlags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
constexpr int kReopenFlags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

const char kNotRegularFile[] = "not a regular file";

Error openError(std::string_view key, const std::string& reason) {
  return Error("Could not open output file '" + std::string(key) + "': " + reason);
}

Error writeError(const std::string& key, int errorNumber) {
  return Error("Could not write output file '" + key + "': " + std::strerror(errorNumber));
}

// Raises the soft open-file limit toward the hard one and returns how many output
// descriptors this set may hold at once.
std::size_t openFileAllowance() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1;
  const rlim_t wanted =
      limit.rlim_max == RLIM_INFINITY ? kWantedDescriptors : std::min(limit.rlim_max, kWantedDescriptors);
  if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < wanted) {
    rlimit raised = limit;
    raised.rlim_cur = wanted;
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  const rlim_t current = limit.rlim_cur == RLIM_INFINITY ? kWantedDescriptors : limit.rlim_cur;
  return current > kReservedDescriptors + 1 ? static_cast<std::size_t>(current - kReservedDescriptors) : 1;
}

// Returns the largest power of two of blocks within the bounds that keeps all files
// together at kHotBytes or below.
std::size_t blocksPerFile(std::size_t fileCount) {
  const std::size_t share = kHotBytes / BlockPool::kBlockSize / std::max<std::size_t>(fileCount, 1);
  std::size_t blocks = kMinBlocksPerFile;
  while (blocks < kMaxBlocksPerFile && 2 * blocks <= share) blocks *= 2;
  return blocks;
}

// A key may only name an entry of the current directory, never a path.
bool isPlainFileName(std::string_view key) {
  return !key.empty() && key != "." && key != ".." && key.find('/') == std::string_view::npos &&
         key.find('\0') == std::string_view::npos;
}

int openRetryingInterrupts(const std::string& path, int flags) noexcept {
  int fd;
  do {
    fd = ::open(path.c_str(), flags, 0666);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

}  // namespace

OutputSet::OutputSet(const FileIdentity& inputFile, std::string header, bool withHeader, OutputLimits limits)
    : input(inputFile),
      headLine(std::move(header)),
      writeHeadLine(withHeader),
      maxOpenFiles(limits.openFiles > 0 ? limits.openFiles : openFileAllowance()),
      pool(std::max<std::size_t>(1, limits.bufferBytes / BlockPool::kBlockSize)),
      slots(64) {}

void OutputSet::index(OutputFile& file, std::uint64_t hash) {
  const std::size_t spread = slots.size() < kSparseIndexSlots ? 8 : 2;
  if (spread * (files.size() + 1) > slots.size()) {
    std::vector<Slot> larger(2 * slots.size());
    for (const Slot& slot : slots) {
      if (slot.file == nullptr) continue;
      std::size_t i = slot.hash & (larger.size() - 1);
      while (larger[i].file != nullptr) i = (i + 1) & (larger.size() - 1);
      larger[i] = slot;
    }
    slots.swap(larger);
  }
  std::size_t i = hash & (slots.size() - 1);
  while (slots[i].file != nullptr) i = (i + 1) & (slots.size() - 1);
  slots[i] = Slot{hash, &file};
}

OutputSet::~OutputSet() {
  // Failures are ignored here: an Error is already on its way, and this is the last
  // chance to get the lines handed over so far into their files.
  for (OutputFile* file : openFiles) {
    file->writeOut(true);
    file->closeDescriptor();
  }
  openFiles.clear();
  for (const auto& entry : files) {
    OutputFile& file = *entry;
    if (!file.holdsData()) continue;
    const int fd = openRetryingInterrupts(file.key, kReopenFlags);
    if (fd < 0) continue;
    file.adopt(fd);
    file.writeOut(true);
    file.closeDescriptor();
  }
}

std::vector<OutputFile*> OutputSet::inKeyOrder() const {
  std::vector<OutputFile*> ordered;
  ordered.reserve(files.size());
  std::transform(files.begin(), files.end(), std::back_inserter(ordered),
                 [](const std::unique_ptr<OutputFile>& file) { return file.get(); });
  // std::string compares its bytes as unsigned char, and a prefix first.
  std::sort(ordered.begin(), ordered.end(), [](const OutputFile* a, const OutputFile* b) { return a->key < b->key; });
  return ordered;
}

void OutputSet::close(OutputFile& file) {
  writeOut(file, true);
  if (file.isOpen()) {
    forget(file);
    if (const int error = file.closeDescriptor()) throw writeError(file.key, error);
  }
}

OutputFile& OutputSet::create(std::string_view key) {
  if (!isPlainFileName(key)) throw openError(key, "not a plain file name");
  auto file = std::make_unique<OutputFile>(std::string(key), pool);
  const std::string& path = file->key;

  // The usual case, a name that does not exist yet, takes a single call: a file this call
  // creates is new, so it can be neither the input nor another key's file.
  struct stat status {};
  int fd = openWithRoom(path, kCreateFlags | O_EXCL);
  const bool existed = fd < 0 && -fd == EEXIST;
  if (existed) {
    // Refuse what is visibly wrong before opening anything: opening a device or a FIFO
    // can have effects of its own.
    if (::lstat(path.c_str(), &status) == 0) {
      if (!S_ISREG(status.st_mode)) throw openError(key, kNotRegularFile);
      checkNotInUse(key, FileIdentity::of(status));
    }
    // Opened without truncation, and with O_NOFOLLOW and O_NONBLOCK so that an entry that
    // appeared since the look above is neither followed nor waited on.
    fd = openWithRoom(path, kCreateFlags);
  }
  if (fd < 0) {
    const int error = -fd;
    throw openError(key, error == ELOOP || error == EISDIR || error == ENXIO ? kNotRegularFile : std::strerror(error));
  }
  file->adopt(fd);  // closed by the file's destructor if anything below throws
  if (::fstat(fd, &status) != 0) throw openError(key, std::strerror(errno));
  if (!S_ISREG(status.st_mode)) throw openError(key, kNotRegularFile);
  const FileIdentity identity = FileIdentity::of(status);
  if (existed) checkNotInUse(key, identity);
  // Only a file with content is truncated: on ext4, truncating even an empty file makes
  // its close start writeback at once, which costs a disk round trip per key.
  if (status.st_size > 0 && ::ftruncate(fd, 0) != 0) throw openError(key, std::strerror(errno));

  OutputFile& created = *file;
  createdFiles.emplace(identity, created.key);
  index(created, hashOf(key));
  files.push_back(std::move(file));
  openFiles.push_front(&created);
  created.openPosition = openFiles.begin();
  if (writeHeadLine) append(created, headLine);
  return created;
}

void OutputSet::checkNotInUse(std::string_view key, const FileIdentity& identity) const {
  if (identity == input) throw openError(key, "it is the input file");
  const auto owner = createdFiles.find(identity);
  if (owner != createdFiles.end()) throw openError(key, "it is the same file as '" + owner->second + "'");
}

void OutputSet::copyIn(OutputFile& file, std::string_view bytes) {
  while (!bytes.empty()) {
    if (file.room() == 0) provideBlock(file);
    bytes.remove_prefix(file.fill(bytes));
  }
}

void OutputSet::provideBlock(OutputFile& file) {
  if (file.blockCount() < blocksPerFile(files.size())) {
    if (char* const block = pool.acquire()) {
      file.addBlock(block);
      return;
    }
    // The pool is used up. A file without blocks has nothing of its own to write out:
    // another file writes out and gives blocks back.
    if (file.blockCount() == 0) {
      if (OutputFile* const donor = findDonor(file)) {
        writeOut(*donor, donor->fullBlocks() == 0);
        file.addBlock(pool.acquire());
        return;
      }
    }
  }
  writeOut(file, false);  // every block it holds is full: all go out
  file.addBlock(pool.acquire());
}

OutputFile* OutputSet::findDonor(const OutputFile& needy) {
  OutputFile* holder = nullptr;  // the first file seen holding data
  for (std::size_t looked = 0; looked < files.size() && (looked < kDonorSearch || holder == nullptr); ++looked) {
    donorCursor = (donorCursor + 1) % files.size();
    OutputFile& candidate = *files[donorCursor];
    if (&candidate == &needy) continue;
    if (candidate.isOpen() && candidate.fullBlocks() > 0) return &candidate;
    if (holder == nullptr && candidate.holdsData()) holder = &candidate;
  }
  return holder;
}

void OutputSet::writeOut(OutputFile& file, bool everything) {
  if (!file.holdsData() || (!everything && file.fullBlocks() == 0)) return;
  ensureOpen(file);
  if (const int error = file.writeOut(everything)) throw writeError(file.key, error);
  touch(file);
}

void OutputSet::ensureOpen(OutputFile& file) {
  if (file.isOpen()) return;
  const int fd = openWithRoom(file.key, kReopenFlags);
  if (fd < 0) throw writeError(file.key, -fd);
  file.adopt(fd);
  openFiles.push_front(&file);
  file.openPosition = openFiles.begin();
}

int OutputSet::openWithRoom(const std::string& path, int flags) {
  while (openFiles.size() >= maxOpenFiles) closeForNow(*openFiles.back());
  for (;;) {
    const int fd = openRetryingInterrupts(path, flags);
    if (fd >= 0) return fd;
    const int error = errno;
    if ((error != EMFILE && error != ENFILE) || openFiles.empty()) return -error;
    closeForNow(*openFiles.back());
  }
}

void OutputSet::closeForNow(OutputFile& file) {
  // What the file buffers stays buffered: it is written when the buffer is full, which
  // needs the descriptor again anyway.
  forget(file);
  if (const int error = file.closeDescriptor()) throw writeError(file.key, error);
}

void OutputSet::touch(OutputFile& file) noexcept { openFiles.splice(openFiles.begin(), openFiles, file.openPosition); }

void OutputSet::forget(OutputFile& file) noexcept { openFiles.erase(file.openPosition); }
