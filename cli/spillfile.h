#ifndef VARNOLIX_SPILLFILE_H_
#define VARNOLIX_SPILLFILE_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "rawbytes.h"

/// Lines set aside when memory is full, so that each output file is still written once at
/// the end: runs of records (file number, length, bytes) in ascending file order, merged when
/// read back. One unnamed file (O_TMPFILE) on the output folder's file system, else TMPDIR's
/// (/tmp when unset): never a name, gone however the program ends. Each run ends at a block's
/// end and is read in whole blocks, whose room is given back (holes punched) as soon as they
/// are read: lines set aside never take room twice, not even a part of a block. Never
/// throws; not copyable.
class SpillFile {
 public:
  SpillFile() noexcept = default;
  ~SpillFile();

  SpillFile(const SpillFile&) = delete;
  SpillFile& operator=(const SpillFile&) = delete;

  /// Bytes before a record's bytes: its file's number, then its length, 32 bits each.
  static constexpr std::size_t kHeaderSize = 8;

  /// Writes the header of a record of `file` with `length` bytes at `at`.
  static void putHeader(char* at, std::uint32_t file, std::uint32_t length) noexcept {
    std::memcpy(at, &file, 4);
    std::memcpy(at + 4, &length, 4);
  }

  /// Opens the unnamed file, unless open already: in the current folder, else (no unnamed
  /// files, or no holes) in TMPDIR or /tmp. Returns 0, or the errno value of the last attempt.
  int open() noexcept;

  /// Returns whether open() succeeded.
  bool isOpen() const noexcept { return fd >= 0; }

  /// Returns the folder the file lives in (TMPDIR or /tmp), or null for the current folder.
  const char* elsewhere() const noexcept { return folder; }

  /// Closes the file, dropping every run (after a failure to write it).
  void close() noexcept;

  /// Returns whether any run is held.
  bool holdsRuns() const noexcept { return !runs.empty(); }

  /// Whether canReadBack() may take memory of its own.
  enum class OwnMemory { kMayTake, kHasOnly };

  /// Returns whether the runs held and `moreRuns` more can all be read back: through
  /// `spareBytes` of the caller's memory, or through memory of its own, which it then takes
  /// at once (unless `own` forbids it), so that reading back never fails for want of it.
  bool canReadBack(std::size_t spareBytes, std::size_t moreRuns, OwnMemory own) noexcept;

  /// Writes `size` bytes of records, headers included, in ascending file order, as a run.
  /// Returns 0 once all of it is in the file, else the errno value of the failure, and then
  /// nothing of it stays. Requires open().
  int writeRun(const char* records, std::size_t size) noexcept;

  /// Reads the start of every run, through `spare` (`spareBytes`, free until the merge
  /// ends) or memory of its own. Returns 0 or the errno value (ENOMEM, or a failed read).
  int beginMerge(char* spare, std::size_t spareBytes) noexcept;

  /// Hands the bytes of every record of `file` to `sink`, run by run, as sink.add(bytes,
  /// size) pieces that stay valid until sink.flush(), which is called before their memory
  /// is reused. Files must be asked for in ascending order after beginMerge(). Returns 0, or
  /// the errno value of a failed read (the rest of that run is then lost).
  template <class Sink>
  int copyRecordsOf(std::uint32_t file, Sink& sink) noexcept {
    int result = 0;
    for (Run& run : runs) {
      while (!run.failed) {
        if (run.recordLeft == 0) {
          if (run.pos == run.filled && run.next == run.end) break;  // drained
          if (run.filled - run.pos < kHeaderSize) {
            sink.flush();
            if (const int error = refill(run)) result = error;
            continue;
          }
          if (headerAt(run, 0) != file) break;
          run.recordLeft = headerAt(run, 4);
          run.pos += kHeaderSize;
          continue;
        }
        if (run.pos == run.filled) {
          sink.flush();
          if (const int error = refill(run)) result = error;
          continue;
        }
        const std::size_t piece =
            run.filled - run.pos < run.recordLeft ? run.filled - run.pos : static_cast<std::size_t>(run.recordLeft);
        sink.add(run.buffer + run.pos, piece);
        run.pos += piece;
        run.recordLeft -= piece;
      }
    }
    return result;
  }

  /// Drops every run and gives their space back.
  void clear() noexcept;

 private:
  struct Run {
    std::uint64_t next;  // offset of the next byte to read
    std::uint64_t end;
    std::uint64_t givenBackTo;  // the room before this offset was given back
    char* buffer = nullptr;
    std::size_t pos = 0;
    std::size_t filled = 0;
    std::uint64_t recordLeft = 0;  // bytes of the current record not yet handed out
    bool failed = false;
  };

  // The file's number (at 0) or the length (at 4) of the record that starts where `run` is.
  static std::uint32_t headerAt(const Run& run, std::size_t at) noexcept {
    std::uint32_t value;
    std::memcpy(&value, run.buffer + run.pos + at, 4);
    return value;
  }
  // Reads more of `run` behind what its buffer holds; returns 0 or the errno value.
  int refill(Run& run) noexcept;
  // Gives the room of the whole blocks of `run` read so far back to the file system.
  void giveBackRead(Run& run) noexcept;

  int fd = -1;
  const char* folder = nullptr;  // where the file lives, when not in the current folder
  bool holesPunched = true;      // while the file system gives room back
  std::uint64_t end = 0;         // bytes in the file
  std::vector<Run> runs;
  RawBytes mergeBuffers;
  std::size_t runBufferSize = 0;
};

#endif  // VARNOLIX_SPILLFILE_H_
