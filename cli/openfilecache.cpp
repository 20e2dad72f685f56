#include "openfilecache.h"

#include <sys/resource.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <utility>

namespace {

// Descriptors left for standard streams, the input, the folder's lock, the spill file and
// the C library.
constexpr rlim_t kReservedDescriptors = 8;
// Enough descriptors to keep every file of a typical run open; more buys nothing.
constexpr rlim_t kWantedDescriptors = 65536;

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

Descriptor OpenFileCache::open(const char* path, int flags) noexcept {
  while (openCount >= allowance) closeLeastRecentlyUsed();
  for (;;) {
    // Output files are regular files, opened without waiting: the write-out after a stop
    // must not give one up for a signal.
    Descriptor opened = Descriptor::open(path, flags, Descriptor::AfterStop::kRetry);
    if (opened.isOpen() || (opened.error() != EMFILE && opened.error() != ENFILE) || openCount == 0) return opened;
    closeLeastRecentlyUsed();
  }
}

void OpenFileCache::reserveOneMore() {
  // Capacity grows by doubling: reserving one more each time would copy all every time.
  if (state.size() == state.capacity()) state.reserve(2 * state.capacity() + 64);
  if (freeSlots.empty() && slots.size() == slots.capacity() && slots.size() < allowance) {
    // The slot the new file takes, unless one falls free by making room first.
    slots.reserve(std::min(allowance, 2 * slots.capacity() + 64));
    freeSlots.reserve(slots.capacity());
  }
}

std::uint32_t OpenFileCache::add(Descriptor descriptor) noexcept {
  assert(state.size() < state.capacity() && "reserveOneMore() first");
  const auto file = static_cast<std::uint32_t>(state.size());
  state.push_back(kClosed);
  attach(file, std::move(descriptor));
  return file;
}

int OpenFileCache::descriptor(std::uint32_t file, Failure& closeFailure) noexcept {
  std::int32_t& now = state[file];
  if (now < kClosed) closeFailure = Failure::ofFile(file, Failure::How::kClose, errorOf(std::exchange(now, kClosed)));
  if (now == kClosed) return -1;
  const auto slot = static_cast<std::uint32_t>(now);
  if (newest != slot) {
    unlink(slot);
    linkAsNewest(slot);
  }
  return slots[slot].descriptor.get();
}

int OpenFileCache::attach(std::uint32_t file, Descriptor descriptor) noexcept {
  assert(file < state.size() && state[file] < 0 && descriptor.isOpen());
  while (openCount >= allowance) closeLeastRecentlyUsed();
  const std::uint32_t slot = takeSlot(file, std::move(descriptor));
  state[file] = static_cast<std::int32_t>(slot);
  linkAsNewest(slot);
  return slots[slot].descriptor.get();
}

std::uint32_t OpenFileCache::takeSlot(std::uint32_t file, Descriptor descriptor) noexcept {
  std::uint32_t slot;
  if (!freeSlots.empty()) {
    slot = freeSlots.back();
    freeSlots.pop_back();
  } else if (slots.size() < slots.capacity()) {  // reserved by reserveOneMore()
    slot = static_cast<std::uint32_t>(slots.size());
    slots.emplace_back();
  } else {  // no memory may be taken here: a file makes room instead
    closeLeastRecentlyUsed();
    slot = freeSlots.back();
    freeSlots.pop_back();
  }
  slots[slot].descriptor = std::move(descriptor);
  slots[slot].file = file;
  return slot;
}

Failure OpenFileCache::close(std::uint32_t file) noexcept {
  if (state[file] >= 0) closeOpen(file);
  const std::int32_t now = std::exchange(state[file], kClosed);
  return now < kClosed ? Failure::ofFile(file, Failure::How::kClose, errorOf(now)) : Failure();
}

void OpenFileCache::closeLeastRecentlyUsed() noexcept { closeOpen(slots[oldest].file); }

void OpenFileCache::closeOpen(std::uint32_t file) noexcept {
  const auto slot = static_cast<std::uint32_t>(state[file]);
  unlink(slot);
  const int error = slots[slot].descriptor.close();
  slots[slot].file = kNone;
  freeSlots.push_back(slot);  // capacity for every slot was reserved as it was made
  state[file] = error != 0 ? closeFailed(error) : kClosed;
}

void OpenFileCache::linkAsNewest(std::uint32_t slot) noexcept {
  Slot& entry = slots[slot];
  entry.older = newest;
  entry.newer = kNone;
  if (newest != kNone) slots[newest].newer = slot;
  newest = slot;
  if (oldest == kNone) oldest = newest;
  ++openCount;
}

void OpenFileCache::unlink(std::uint32_t slot) noexcept {
  Slot& entry = slots[slot];
  (entry.newer != kNone ? slots[entry.newer].older : newest) = entry.older;
  (entry.older != kNone ? slots[entry.older].newer : oldest) = entry.newer;
  entry.newer = kNone;
  entry.older = kNone;
  --openCount;
}
