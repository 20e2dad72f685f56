#include "openfilecache.h"

#include <fcntl.h>
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>

namespace {

// Descriptors left for standard streams, the input and the C library.
constexpr rlim_t kReservedDescriptors = 8;
// Enough descriptors to keep every file of a typical run open; more buys nothing.
constexpr rlim_t kWantedDescriptors = 65536;

// A reopened file is only appended to: it was emptied when it was created.
constexpr int kReopenFlags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

// Raises the soft open-file limit toward the hard one and returns how many output
// descriptors may be open at once.
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

}  // namespace

OpenFileCache::OpenFileCache(std::size_t maxOpen) : allowance(maxOpen > 0 ? maxOpen : openFileAllowance()) {}

Descriptor OpenFileCache::open(const std::string& path, int flags) noexcept {
  while (openCount >= allowance) closeLeastRecentlyUsed();
  for (;;) {
    Descriptor opened = Descriptor::open(path.c_str(), flags);
    if (opened.isOpen() || (opened.error() != EMFILE && opened.error() != ENFILE) || openCount == 0) return opened;
    closeLeastRecentlyUsed();
  }
}

void OpenFileCache::add(std::size_t file, const std::string& path, Descriptor descriptor) {
  entries.push_back(Entry{std::move(descriptor), &path});
  linkAsNewest(file);
}

int OpenFileCache::use(std::size_t file) noexcept {
  Entry& entry = entries[file];
  if (entry.closeError != 0) return -std::exchange(entry.closeError, 0);
  if (entry.descriptor.isOpen()) {
    unlink(file);
  } else {
    entry.descriptor = open(*entry.path, kReopenFlags);
    if (!entry.descriptor.isOpen()) return -entry.descriptor.error();
  }
  linkAsNewest(file);
  return entry.descriptor.get();
}

int OpenFileCache::close(std::size_t file) noexcept {
  if (entries[file].descriptor.isOpen()) closeOpen(file);
  return std::exchange(entries[file].closeError, 0);
}

void OpenFileCache::closeLeastRecentlyUsed() noexcept {
  // What the file still buffers stays buffered: it is written when its buffer is full,
  // which needs the descriptor again anyway.
  closeOpen(oldest);
}

void OpenFileCache::closeOpen(std::size_t file) noexcept {
  Entry& entry = entries[file];
  unlink(file);
  const int error = entry.descriptor.close();
  if (error != 0 && entry.closeError == 0) entry.closeError = error;
}

void OpenFileCache::linkAsNewest(std::size_t file) noexcept {
  Entry& entry = entries[file];
  entry.older = newest;
  entry.newer = kNone;
  if (newest != kNone) entries[newest].newer = static_cast<std::uint32_t>(file);
  newest = static_cast<std::uint32_t>(file);
  if (oldest == kNone) oldest = newest;
  ++openCount;
}

void OpenFileCache::unlink(std::size_t file) noexcept {
  Entry& entry = entries[file];
  (entry.newer != kNone ? entries[entry.newer].older : newest) = entry.older;
  (entry.older != kNone ? entries[entry.older].newer : oldest) = entry.newer;
  entry.newer = kNone;
  entry.older = kNone;
  --openCount;
}
