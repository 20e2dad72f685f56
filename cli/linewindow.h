#ifndef VARNOLIX_LINEWINDOW_H_
#define VARNOLIX_LINEWINDOW_H_

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

/// The memory where lines wait for their files: a window onto the input in the order the
/// lines came, and a second half that receives them grouped by file when the window is full.
///
/// One region of at most a budget of bytes, reserved on first use and resident only as it is
/// used. The first half holds the lines and, growing down from its end, an entry per line (its
/// file's number and where it ends), so that the grouping loop writes memory only in sequence,
/// whatever the number of files. sortByFile() then copies every line to the place its owner
/// chose for its file in the second half, in one pass whose destinations are all known in
/// advance and fetched ahead: each file's lines end up together, in their order, ready to be
/// written in one piece or set aside as one record. Files are numbers from 0; the window also
/// notes which files have lines in it, for touchedFiles().
///
/// Owns the region; not copyable. Nothing here throws but reserveFiles().
class LineWindow {
 public:
  /// What a line costs beyond its bytes.
  static constexpr std::size_t kEntrySize = 8;

  /// Holds at most `budget` bytes, both halves together.
  explicit LineWindow(std::size_t budget) noexcept;
  ~LineWindow();

  LineWindow(const LineWindow&) = delete;
  LineWindow& operator=(const LineWindow&) = delete;

  /// Appends `line` and a line feed as a line of `file` when both fit; returns whether they
  /// did. Inline: the grouping loop calls it once per line.
  [[gnu::always_inline]] bool appendLineIfRoom(std::uint32_t file, std::string_view line) noexcept {
    const std::size_t bytes = line.size() + 1;
    if (bytes + kEntrySize > static_cast<std::size_t>(entriesEnd - logEnd)) return false;
    std::memcpy(logEnd, line.data(), line.size());
    logEnd[line.size()] = '\n';
    logEnd += bytes;
    entriesEnd -= kEntrySize;
    const Entry entry{file, static_cast<std::uint32_t>(logEnd - region)};
    std::memcpy(entriesEnd, &entry, kEntrySize);
    return true;
  }

  /// Appends as much of `size` bytes of `file` as fits; returns how many did (0 when the
  /// window is full or its region cannot be had).
  std::size_t appendBytes(std::uint32_t file, const char* bytes, std::size_t size) noexcept;

  /// Notes that `file` has lines in the window; its owner calls it with a file's first.
  void noteFile(std::uint32_t file) noexcept {
    assert(file / 64 < touchedWords && "reserveFiles() first");
    touched[file / 64] |= std::uint64_t{1} << (file % 64);
  }

  /// Calls `visit(file)` for every file noted since the window was last emptied, in
  /// ascending order.
  template <class Visit>
  void touchedFiles(Visit&& visit) const noexcept {
    for (std::size_t word = 0; word < touchedWords; ++word) {
      for (std::uint64_t bits = touched[word]; bits != 0; bits &= bits - 1) {
        visit(static_cast<std::uint32_t>(word * 64 + static_cast<unsigned>(__builtin_ctzll(bits))));
      }
    }
  }

  /// Returns whether no line waits.
  bool empty() const noexcept { return logEnd == region; }

  /// Returns the most a line and its entry may take in an empty window (0 until the region
  /// is reserved).
  std::size_t limit() const noexcept { return limitBytes; }

  /// Returns the most the region may take, both halves together.
  std::size_t budgetBytes() const noexcept { return budget; }

  /// Makes sure files 0 to `files` - 1 can be noted and placed. Throws std::bad_alloc.
  void reserveFiles(std::size_t files);

  /// Reserves the region, unless it is: the budget, or half of it, and so on, down to a
  /// smallest size; with `wholeBudgetOnly`, the budget or nothing. Returns false when no
  /// region could be had; a later call tries again.
  bool reserve(bool wholeBudgetOnly = false) noexcept;

  /// Where sortByFile() puts the lines: at least the bytes waiting plus one entry's size for
  /// every line, so that each file may be given a header of up to kEntrySize bytes.
  char* sorted() noexcept { return region + half; }

  /// Sets where the lines of `file` go in sorted(), as an offset; every file noted must be
  /// given one before sortByFile().
  void place(std::uint32_t file, std::uint32_t offset) noexcept {
    assert(file < cursor.size() && offset <= half);
    cursor[file] = offset;
  }

  /// Returns the offset in sorted() just after the last line of `file`, after sortByFile().
  std::uint32_t endOf(std::uint32_t file) const noexcept { return cursor[file]; }

  /// Copies every line to sorted() at its file's place, in order, advancing each place. The
  /// lines still count as waiting (and their files as noted) until clear(); the first half
  /// is free meanwhile (see spare()), and nothing may be appended.
  void sortByFile() noexcept;

  /// Empties the window: drops every line waiting, and every file noted.
  void clear() noexcept;

  /// Returns the first half between sortByFile() and clear(): room to read lines set aside
  /// back into while what was sorted is written out.
  char* spare() noexcept { return region; }
  std::size_t spareBytes() const noexcept { return region == nullptr ? 0 : half; }

  /// Gives back half of the region, for memory that other parts of the program need more;
  /// the window must be empty. Returns false when the region is as small as it may be.
  bool shrink() noexcept;

  /// Returns what spareBytes() will be after shrink(), or 0 when it cannot give memory back.
  std::size_t spareBytesAfterShrink() const noexcept;

  /// Asks for the region in large pages: worth it once lines of thousands of files are
  /// copied all over it, not before (a large page makes a small window cost 2 MiB).
  void preferLargePages() noexcept;

 private:
  struct Entry {
    std::uint32_t file;
    std::uint32_t end;  // offset of the byte after the line in the first half
  };
  static_assert(sizeof(Entry) == kEntrySize, "an entry is what a line costs beyond its bytes");

  template <bool kFetchAhead>
  static void copyToPlaces(const char* lines, const char* entries, std::size_t count, char* out,
                           std::vector<std::uint32_t>& places) noexcept;
  void restart() noexcept;

  std::size_t budget;
  char* region = nullptr;
  std::size_t mappedBytes = 0;
  std::size_t half = 0;
  std::size_t limitBytes = 0;
  char* logEnd = nullptr;      // the first free byte after the lines
  char* entriesEnd = nullptr;  // the last entry written; entries grow down from the limit
  std::vector<std::uint32_t> cursor;
  std::vector<std::uint64_t> touched;
  std::size_t touchedWords = 0;  // words of `touched` in use
  bool largePages = false;
};

#endif  // VARNOLIX_LINEWINDOW_H_
