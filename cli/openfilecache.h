#ifndef VARNOLIX_OPENFILECACHE_H_
#define VARNOLIX_OPENFILECACHE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "descriptor.h"

/// The open descriptors of a run's output files, kept within an allowance so that any
/// number of files works: when a file is to be opened and no descriptor is left, the least
/// recently used file is closed, and it is reopened for appending when it is next used.
///
/// Files are numbered 0, 1, 2, ... in the order they are added. A close that fails while
/// making room is not lost: use() or close() of that file reports it. Owns the
/// descriptors, never the paths; not copyable.
class OpenFileCache {
 public:
  /// Holds at most `maxOpen` descriptors at once; 0 means as many as the process's
  /// open-file limit allows, after raising its soft limit toward the hard one.
  explicit OpenFileCache(std::size_t maxOpen);

  OpenFileCache(const OpenFileCache&) = delete;
  OpenFileCache& operator=(const OpenFileCache&) = delete;

  /// Opens `path` as Descriptor::open() does, first closing least recently used files to
  /// stay within the allowance, and more of them while the system has no descriptor left.
  /// The result is not in the cache until add() takes it.
  Descriptor open(const std::string& path, int flags) noexcept;

  /// Adds file number `file`, which must be the number of files added so far, with its
  /// open `descriptor`, as the most recently used. `path` names the file when it is
  /// reopened and must outlive the cache. Throws std::bad_alloc; the descriptor is then
  /// closed.
  void add(std::size_t file, const std::string& path, Descriptor descriptor);

  /// Returns the open descriptor of `file`, reopening it for appending if it was closed,
  /// and marks it most recently used. Returns minus the errno value when reopening fails,
  /// or when closing it to make room failed earlier.
  int use(std::size_t file) noexcept;

  /// Returns whether `file` has an open descriptor.
  bool isOpen(std::size_t file) const noexcept { return entries[file].descriptor.isOpen(); }

  /// Closes `file`, which use() would reopen. Returns 0, or the errno value of this close
  /// or of a close that failed while making room.
  int close(std::size_t file) noexcept;

 private:
  static constexpr std::uint32_t kNone = UINT32_MAX;

  struct Entry {
    Descriptor descriptor;
    const std::string* path;
    int closeError = 0;  // of a close while making room, not yet reported
    std::uint32_t newer = kNone;
    std::uint32_t older = kNone;
  };

  void closeLeastRecentlyUsed() noexcept;
  // Closes the open `file`, keeping a failure for the next use() or close() to report.
  void closeOpen(std::size_t file) noexcept;
  void linkAsNewest(std::size_t file) noexcept;
  void unlink(std::size_t file) noexcept;

  const std::size_t allowance;
  std::vector<Entry> entries;  // by file number
  std::size_t openCount = 0;
  std::uint32_t newest = kNone;  // the open files form a list from newest to oldest
  std::uint32_t oldest = kNone;
};

#endif  // VARNOLIX_OPENFILECACHE_H_
