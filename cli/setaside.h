#ifndef VARNOLIX_SETASIDE_H_
#define VARNOLIX_SETASIDE_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "failure.h"
#include "wholelinewriter.h"

/// Where the lines of a full window go that their files do not write at once, so that each
/// file is still written about once: the seam between the window's writer and the ways of
/// setting lines aside. WindowWriter decides which files write now, lays the others' lines out
/// as one run of records, hands it to take(), and at the end asks readBack() for each file's
/// lines in file order. Behind it: SpillFile (an unnamed file, read back merged at the end)
/// and Rounds (the lines written to their files at once); WindowWriter falls back from the
/// first to the second. Each owns its memory and descriptor.
class SetAside {
 public:
  /// A run: records in ascending file order, each a header (the file's number, then the
  /// length of its lines, 32 bits each) followed by the lines.
  static constexpr std::size_t kHeaderBytes = 8;

  /// Writes the header of a record of `file` with `length` bytes of lines at `at`.
  static void putHeader(char* at, std::uint32_t file, std::uint32_t length) noexcept {
    std::memcpy(at, &file, 4);
    std::memcpy(at + 4, &length, 4);
  }

  /// Returns the file's number (`field` 0) or the length (`field` 1) of the header at `at`.
  static std::uint32_t headerField(const char* at, std::size_t field) noexcept {
    std::uint32_t value;
    std::memcpy(&value, at + 4 * field, 4);
    return value;
  }

  /// Whether canReadBack() may take memory of its own.
  enum class OwnMemory { kMayTake, kHasOnly };

  SetAside() = default;
  virtual ~SetAside() = default;
  SetAside(const SetAside&) = delete;
  SetAside& operator=(const SetAside&) = delete;

  /// Returns whether what is held and `moreRuns` runs more can all be read back through
  /// `spareBytes` of the caller's memory, or through memory of its own, which it takes now
  /// when `own` allows it: reading back must never fail for want of memory.
  virtual bool canReadBack(std::size_t spareBytes, std::size_t moreRuns, OwnMemory own) noexcept = 0;

  /// Takes the run of `size` bytes at `records`: holds its lines to be read back, or writes
  /// them to their files. Returns a failure when it could not, and then holds nothing of it.
  virtual Failure take(const char* records, std::size_t size) noexcept = 0;

  /// Returns whether lines are held, to be read back: a file with lines held may write
  /// nothing directly, so that its lines stay in order.
  virtual bool holdsLines() const noexcept = 0;

  /// Prepares reading back through `spare` (`spareBytes`, the caller's until clear()), or
  /// memory of its own. Returns the failure of a first read, if any.
  virtual Failure beginReadBack(char* spare, std::size_t spareBytes) noexcept = 0;

  /// Adds the lines held of `file`, run by run, to `writer`; files are asked for in ascending
  /// order after beginReadBack(). Returns the failure of a read (the rest of that run is
  /// then lost), if any.
  virtual Failure readBack(std::uint32_t file, WholeLineWriter& writer) noexcept = 0;

  /// Drops every line held and the memory taken for reading back.
  virtual void clear() noexcept = 0;

  /// Drops every line held and gives everything back, for good.
  virtual void close() noexcept = 0;

  /// Returns the folder lines are held in when it is not the output folder, else null: for
  /// the message of a failure to read them back.
  virtual const char* folder() const noexcept = 0;
};

#endif  // VARNOLIX_SETASIDE_H_
