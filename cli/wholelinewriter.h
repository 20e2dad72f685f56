#ifndef VARNOLIX_WHOLELINEWRITER_H_
#define VARNOLIX_WHOLELINEWRITER_H_

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

#include "descriptorsource.h"
#include "failure.h"
#include "filestate.h"

/// Writes pieces of one file's lines, gathered into few calls: the one place that keeps the
/// promise of whole lines. It counts the bytes written up to the last line feed, and when a
/// write fails it marks the file failed, cuts it back to that count and drops every later
/// piece, so that a file never ends inside a line because its own write failed. The file is
/// opened at the first write that needs it. Allocates nothing; never throws. Not copyable.
class WholeLineWriter {
 public:
  WholeLineWriter(DescriptorSource source, std::uint32_t file, FileState& state) noexcept
      : descriptors(source), number(file), fileState(state) {}

  WholeLineWriter(const WholeLineWriter&) = delete;
  WholeLineWriter& operator=(const WholeLineWriter&) = delete;

  /// Adds `size` bytes at `bytes`, which must stay valid until the next flush(). Dropped
  /// when the file has failed.
  void add(const char* bytes, std::size_t size) noexcept {
    if (fileState.failure || size == 0) return;
    if (count == kPiecesPerWrite) flush();
    pieces[count++] = iovec{const_cast<char*>(bytes), size};
  }

  /// Writes the pieces added since the last flush().
  void flush() noexcept;

  /// Returns the descriptor the lines went to, or -1 if none was needed.
  int descriptor() const noexcept { return fd; }

  /// Marks `state` failed with `failure` (unless there is none, or the file failed before)
  /// and cuts its file, open on `fd` if that is not -1, back to its last line feed; never
  /// extends a file that changed.
  static void fail(FileState& state, int fd, Failure failure) noexcept;

 private:
  // On the stack, so that writing allocates nothing, also on the way out after a lack of
  // memory.
  static constexpr int kPiecesPerWrite = 64;

  const DescriptorSource descriptors;
  const std::uint32_t number;
  FileState& fileState;
  int fd = -1;
  iovec pieces[kPiecesPerWrite];
  int count = 0;
};

#endif  // VARNOLIX_WHOLELINEWRITER_H_
