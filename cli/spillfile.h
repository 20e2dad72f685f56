#ifndef VARNOLIX_SPILLFILE_H_
#define VARNOLIX_SPILLFILE_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "descriptor.h"
#include "rawbytes.h"
#include "setaside.h"

/// Lines set aside in one unnamed file (O_TMPFILE: never a name, gone however the program
/// ends), so that each output file is still written once at the end: the runs are written as
/// they come and read back merged, each through a buffer of its own, in file order. The file
/// lives on the output folder's file system, else (no unnamed files there, or no holes)
/// under TMPDIR (/tmp when unset). Each run ends at a block's end and is read in whole
/// blocks, whose room is given back (holes punched) as soon as they are read: lines set aside
/// never take room twice, not even part of a block. Never throws; not copyable.
class SpillFile final : public SetAside {
 public:
  /// What reading back may take of memory of its own, when the caller's spare memory does
  /// not give every run a large buffer.
  static constexpr std::size_t kOwnMemoryBytes = std::size_t{8} << 20;

  /// Opens its unnamed file when it first takes a run.
  SpillFile() noexcept = default;

  /// Sets lines aside in `spillFile`, open for reading and writing, empty, taking at most
  /// `ownMemoryBytes` of memory of its own; tests give a memory file and little memory here.
  explicit SpillFile(Descriptor spillFile, std::size_t ownMemoryBytes = kOwnMemoryBytes) noexcept;

  ~SpillFile() override;

  bool canReadBack(std::size_t spareBytes, std::size_t moreRuns, OwnMemory own) noexcept override;
  Failure take(const char* records, std::size_t size) noexcept override;
  bool holdsLines() const noexcept override { return !runs.empty(); }
  Failure beginReadBack(char* spare, std::size_t spareBytes) noexcept override;
  Failure readBack(std::uint32_t number, WholeLineWriter& writer) noexcept override;
  void clear() noexcept override;
  void close() noexcept override;
  const char* folder() const noexcept override { return elsewhere; }

 private:
  struct Run {
    std::uint64_t next;         // offset of the next byte to read
    std::uint64_t end;          // at a block's end
    std::uint64_t givenBackTo;  // the room before this offset was given back
    char* buffer = nullptr;
    std::size_t pos = 0;
    std::size_t filled = 0;
    std::uint64_t recordLeft = 0;  // bytes of the current record not yet handed out
    bool failed = false;
  };

  // Opens the unnamed file, unless open: in the current folder, else in TMPDIR or /tmp.
  Failure open() noexcept;
  // Hands what `run` holds of file `number` to `writer`; returns the failure of a read, if any.
  Failure readRun(Run& run, std::uint32_t number, WholeLineWriter& writer) noexcept;
  // Reads more of `run` behind what its buffer holds; returns the failure, if any.
  Failure refill(Run& run) noexcept;
  // Gives the room of the blocks of `run` read so far back to the file system.
  void giveBackRead(Run& run) noexcept;

  Descriptor file;
  const char* elsewhere = nullptr;  // where the file lives, when not in the current folder
  bool holesPunched = true;         // while the file system gives room back
  std::uint64_t end = 0;            // bytes in the file, at a block's end
  const std::size_t ownMemory = kOwnMemoryBytes;
  std::vector<Run> runs;
  RawBytes mergeBuffers;
  std::size_t runBufferSize = 0;
};

#endif  // VARNOLIX_SPILLFILE_H_
