#ifndef VARNOLIX_OPENFILECACHE_H_
#define VARNOLIX_OPENFILECACHE_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "descriptor.h"
#include "failure.h"

/// The open descriptors of a run's output files, kept within an allowance so that any
/// number of files works: when a descriptor is needed and none is left, the least recently
/// used file is closed; its owner reopens it when it is next needed.
///
/// Files are numbered 0, 1, 2, ... in the order they are added. A close that fails while
/// making room is not lost: the file's next descriptor() or close() reports it. Costs four
/// bytes per file, and a slot per open descriptor. Owns the descriptors, never the paths;
/// not copyable.
class OpenFileCache {
 public:
  /// Holds at most `maxOpen` descriptors at once; 0 means as many as the process's
  /// open-file limit allows (its soft limit raised toward the hard one, up to 65,536),
  /// less a few for standard streams, the input, the folder's lock and lines set aside.
  explicit OpenFileCache(std::size_t maxOpen);

  OpenFileCache(const OpenFileCache&) = delete;
  OpenFileCache& operator=(const OpenFileCache&) = delete;

  /// Opens `path` as Descriptor::open() does, first closing least recently used files to
  /// stay within the allowance, and more of them while the system has no descriptor left.
  /// The result belongs to no file until add() or attach() takes it.
  Descriptor open(const char* path, int flags) noexcept;

  /// Makes sure that the next add() needs no memory. Throws std::bad_alloc.
  void reserveOneMore();

  /// Adds a new file, open on `descriptor`, as the most recently used, and returns its
  /// number: the number of files added before it. reserveOneMore() must have been called.
  std::uint32_t add(Descriptor descriptor) noexcept;

  /// Returns the open descriptor of `file` and marks it most recently used, or -1 when the
  /// file is closed. A close of it that failed while making room is then handed over in
  /// `closeFailure` (once); else `closeFailure` is left as it is.
  int descriptor(std::uint32_t file, Failure& closeFailure) noexcept;

  /// Makes the closed `file` open on `descriptor` again, as the most recently used; returns
  /// the descriptor.
  int attach(std::uint32_t file, Descriptor descriptor) noexcept;

  /// Returns whether `file` has an open descriptor.
  bool isOpen(std::uint32_t file) const noexcept { return state[file] >= 0; }

  /// Closes `file` if it is open. Returns the failure of this close or of a close that
  /// failed while making room, if any.
  Failure close(std::uint32_t file) noexcept;

  /// Returns the number of files added.
  std::size_t size() const noexcept { return state.size(); }

 private:
  static constexpr std::uint32_t kNone = UINT32_MAX;
  static constexpr std::int32_t kClosed = -1;
  static constexpr std::int32_t closeFailed(int error) noexcept { return kClosed - error; }
  static constexpr int errorOf(std::int32_t closeFailedCode) noexcept { return kClosed - closeFailedCode; }

  struct Slot {
    Descriptor descriptor;
    std::uint32_t file = kNone;
    std::uint32_t newer = kNone;
    std::uint32_t older = kNone;
  };

  void closeLeastRecentlyUsed() noexcept;
  // Closes the open `file`, keeping a failure for its next descriptor() or close().
  void closeOpen(std::uint32_t file) noexcept;
  std::uint32_t takeSlot(std::uint32_t file, Descriptor descriptor) noexcept;
  void linkAsNewest(std::uint32_t slot) noexcept;
  void unlink(std::uint32_t slot) noexcept;

  const std::size_t allowance;
  // Per file: its slot while open, kClosed, or closeFailed(errno) for a close that failed
  // unreported; every errno value has its own code, below kClosed.
  std::vector<std::int32_t> state;
  std::vector<Slot> slots;  // never more than the allowance
  std::vector<std::uint32_t> freeSlots;
  std::size_t openCount = 0;
  std::uint32_t newest = kNone;  // the open files' slots form a list from newest to oldest
  std::uint32_t oldest = kNone;
};

#endif  // VARNOLIX_OPENFILECACHE_H_
