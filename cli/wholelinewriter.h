#ifndef VARNOLIX_WHOLELINEWRITER_H_
#define VARNOLIX_WHOLELINEWRITER_H_

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

#include "failure.h"
#include "fileidentity.h"

/// What is known of how one output file was written: the bytes written, the bytes up to its
/// last line feed, the file created (which a reopened file must be), and how it failed.
struct FileState {
  std::uint64_t written = 0;     // bytes written to the file in this run
  std::uint64_t wholeLines = 0;  // of those, the bytes up to the last line feed
  FileIdentity identity;         // of the file created
  Failure failure;               // the first, if it failed: of the file, or of lines set aside
};

/// Where a WholeLineWriter gets the descriptor of its file when it first needs one: a
/// function and what it works on. Not a virtual class: its owner is looked up on every line,
/// and a checked build would look at its type each time, which needs a descriptor of its own.
struct DescriptorSource {
  /// Returns the open descriptor of file `file`, opening it again if it was closed; -1 with
  /// `failure` set when that fails.
  using Function = int (*)(void* owner, std::uint32_t file, Failure& failure) noexcept;

  Function function;
  void* owner;

  int descriptorFor(std::uint32_t file, Failure& failure) const noexcept { return function(owner, file, failure); }
};

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
