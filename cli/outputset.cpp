#include "outputset.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

namespace {

// Returns the most waiting lines may take: `wanted`, or half of the room the address-space
// and data limits leave, whichever is less.
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

}  // namespace

OutputSet::OutputSet(const GuardedFiles& guarded, std::string header, bool withHeader, const OutputLimits& limits)
    : headLine(std::move(header)),
      writeHeadLine(withHeader),
      files(guarded, limits.openFiles, limits.hashSeed.value_or(HashSeed::random())),
      window(budgetWithinLimits(limits.bufferBytes)),
      buffers(window.budgetBytes() / 2, files),
      writer(files, window, limits.setAsideInFile) {}

OutputSet::~OutputSet() { (void)closeAll(); }

OutputFile& OutputSet::create(std::string_view key) {
  // Room in every part first, so that nothing can fail once the file exists: a key is
  // added whole or not at all. A key too long to be a file name is refused before that.
  if (const Failure refused = SafeFileCreator::checkName(key)) throw errorOf(refused, key);
  for (;;) {
    try {
      files.reserveOneMore(key.size());
      window.reserveFiles(files.size() + 1);
      break;
    } catch (const std::bad_alloc&) {
      // The keys need the memory more than waiting lines do: the buffers are given back,
      // or the window gives half of its memory back.
      if (buffers.inUse()) {
        buffers.leaveFor(window);
        continue;
      }
      if (!writer.shrinkWindow()) throw errorOf(Failure::ofKey(Failure::How::kNoMemory, ENOMEM), key);
    }
  }
  Failure refused;
  OutputFile* const added = files.add(key, refused);
  if (added == nullptr) throw errorOf(refused, key);
  OutputFile& file = *added;
  if (buffers.inUse() && !buffers.giveBuffer(file)) buffers.leaveFor(window);
  if (files.size() == prefetch::kManyFiles) window.preferLargePages();
  if (writeHeadLine) append(file, headLine);
  throwPendingFailure();  // of another file, while room was made for this one
  return file;
}

void OutputSet::appendSlowly(OutputFile& file, std::string_view line) {
  if (buffers.inUse()) {
    buffers.copyIn(file, line);
    buffers.copyIn(file, std::string_view("\n", 1));
    throwPendingFailure();
    return;
  }
  if (!window.reserve()) throw errorOf(Failure::ofFile(file.index, Failure::How::kWrite, ENOMEM));
  if (line.size() + 1 + LineWindow::kEntrySize <= window.limit()) {
    writer.makeRoom();
    if (window.appendLineIfRoom(file.index, line)) {
      if (file.pending == 0) window.noteFile(file.index);
      file.pending += static_cast<std::uint32_t>(line.size() + 1);
      throwPendingFailure();
      return;
    }
  }
  // Longer than the window: in pieces, each file's pieces staying in order.
  copyIn(file, line);
  copyIn(file, std::string_view("\n", 1));
  throwPendingFailure();
}

void OutputSet::copyIn(OutputFile& file, std::string_view bytes) {
  while (!bytes.empty()) {
    std::size_t taken = window.appendBytes(file.index, bytes.data(), bytes.size());
    if (taken == 0) {
      writer.makeRoom();
      taken = window.appendBytes(file.index, bytes.data(), bytes.size());
      if (taken == 0) throw errorOf(Failure::ofFile(file.index, Failure::How::kWrite, ENOMEM));
    }
    if (file.pending == 0) window.noteFile(file.index);
    file.pending += static_cast<std::uint32_t>(taken);
    bytes.remove_prefix(taken);
  }
}

void OutputSet::throwPendingFailure() {
  if (const Failure failure = files.takeUnreported()) throw errorOf(failure);
}

Error OutputSet::errorOf(const Failure& failure, std::string_view newKey) const noexcept {
  const bool ofFile = failure.what() == Failure::What::kFile;
  const bool sameAs = failure.refusal() == Failure::Refusal::kSameFileAs;
  return failure.toError(ofFile ? files[failure.file()].key() : newKey,
                         sameAs ? files[failure.sameAs()].key() : std::string_view(), writer.lostSetAsideFolder());
}

OutputSet::Closed OutputSet::closeAll() noexcept {
  if (closed) return Closed{files.size(), std::nullopt};
  closed = true;
  buffers.writeAll();
  writer.closeAll();
  if (const Failure& lost = writer.lostSetAside()) return Closed{files.size(), errorOf(lost), true};
  // The first failed file in ascending key order, and how many files come up to it.
  std::optional<std::uint32_t> first;
  for (std::uint32_t number = 0; number < files.size(); ++number) {
    if (files.state(number).failure && (!first || files[number].key() < files[*first].key())) first = number;
  }
  if (!first) {
    if (const Failure failure = files.takeUnreported()) return Closed{files.size(), errorOf(failure)};
    return Closed{files.size(), std::nullopt};
  }
  std::size_t upTo = 1;
  for (std::uint32_t number = 0; number < files.size(); ++number) {
    if (files[number].key() < files[*first].key()) ++upTo;
  }
  return Closed{upTo, errorOf(files.state(*first).failure)};
}
