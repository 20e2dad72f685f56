#ifndef VARNOLIX_FILEBUFFERS_H_
#define VARNOLIX_FILEBUFFERS_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "filetable.h"
#include "linewindow.h"
#include "outputfile.h"
#include "prefetch.h"

/// Where lines wait while a run has few files (up to 3,072, as the budget allows): one
/// buffer per file, of 16 to 64 KiB, in which its lines gather until it is full and is
/// written in one piece while still in the processor's cache. Buffers are cut in order from one region of at most a
/// budget of bytes, reserved on first use and resident only as used, and given back all at
/// once, when the run outgrows them; its lines then wait in a LineWindow. A failure to write
/// a file is noted in the FileTable's pending failure, never thrown. Owns the region; not
/// copyable.
class FileBuffers {
 public:
  /// Holds at most `budget` bytes (half the budget of all waiting lines, so that moving
  /// them into the window keeps within it); writes through `table`.
  FileBuffers(std::size_t budget, FileTable& table) noexcept;
  ~FileBuffers();

  FileBuffers(const FileBuffers&) = delete;
  FileBuffers& operator=(const FileBuffers&) = delete;

  /// Returns whether lines wait in these buffers, rather than in the window.
  bool inUse() const noexcept { return active; }

  /// Appends `line` and a line feed to the buffer of `file` when both fit with a byte to
  /// spare (a buffer is written out as soon as it is full); returns whether they did.
  /// Inline: the grouping loop calls it once per line.
  [[gnu::always_inline]] bool appendIfRoom(OutputFile& file, std::string_view line) noexcept {
    if (line.size() + 1 >= (std::size_t{1} << file.bufferSizeLog) - file.pending) return false;
    char* const at = region + file.buffer + file.pending;
    std::memcpy(at, line.data(), line.size());
    at[line.size()] = '\n';
    file.pending += static_cast<std::uint32_t>(line.size() + 1);
    // The next line of this file comes many lines later: fetch where it goes now, so that
    // copying it does not wait for memory. It starts in the cache line just written and
    // runs into the one after.
    prefetch::forWriting(at + line.size() + 1 + prefetch::kCacheLine);
    return true;
  }

  /// Appends `bytes` to the buffer of `file`, writing it out whenever it is full.
  void copyIn(OutputFile& file, std::string_view bytes) noexcept;

  /// Gives `file`, the newest of the table, its buffer: 64 KiB while there are at most 64
  /// files, 32 KiB up to 128, 16 KiB beyond, so that all buffers together stay small enough
  /// to be written from the cache, while each write stays large enough to cost little per
  /// byte (powers of two keep writes aligned in the file); older buffers shrink to match.
  /// Returns false, and gives none, when the run has too many files for buffers or the
  /// budget is used up.
  bool giveBuffer(OutputFile& file) noexcept;

  /// Writes out what every buffer holds.
  void writeAll() noexcept;

  /// Moves what every buffer holds into `window` when it can hold all of it (else writes it
  /// out), and gives the buffers back for good.
  void leaveFor(LineWindow& window) noexcept;

 private:
  void writeOut(OutputFile& file) noexcept;
  void releaseAll() noexcept;

  FileTable& files;
  std::size_t budget;
  char* region = nullptr;
  std::size_t used = 0;
  bool active = true;
};

#endif  // VARNOLIX_FILEBUFFERS_H_
