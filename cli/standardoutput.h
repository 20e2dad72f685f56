#ifndef VARNOLIX_STANDARDOUTPUT_H_
#define VARNOLIX_STANDARDOUTPUT_H_

#include <cstddef>
#include <memory>
#include <optional>
#include <string_view>

#include "fileidentity.h"
#include "rawbytes.h"

/// The narration channel: text buffered in one large block and written to a descriptor
/// (standard output for the program) a block at a time.
///
/// Narration is a courtesy, never the product: when the descriptor fails (a closed pipe,
/// a full disk, the file-size limit, a closed descriptor) the failure is remembered,
/// further text is dropped, and nothing is thrown, so the grouping goes on and its result
/// stays what it would have been. Once the program is asked to stop, no write waits longer
/// than a quarter of a second on a reader that does not read (a terminal or pipe nobody
/// reads): what does not go out by then is dropped. Allocates nothing after construction;
/// when its buffer cannot be had, it narrates through a small one. Not copyable.
class StandardOutput {
 public:
  /// Writes to descriptor `descriptorNumber`, which the caller keeps open and owns.
  explicit StandardOutput(int descriptorNumber);
  ~StandardOutput();

  StandardOutput(const StandardOutput&) = delete;
  StandardOutput& operator=(const StandardOutput&) = delete;

  /// Returns the process's standard output (descriptor 1). Flushed at normal exit.
  static StandardOutput& process();

  /// Appends `text`.
  void write(std::string_view text) {
    if (text.size() <= capacity - used) {
      std::char_traits<char>::copy(buffer + used, text.data(), text.size());
      used += text.size();
    } else {
      writeSlow(text);
    }
  }

  /// Appends `text` and a line feed.
  void writeLine(std::string_view text) {
    if (text.size() < capacity - used) {
      std::char_traits<char>::copy(buffer + used, text.data(), text.size());
      used += text.size();
      buffer[used++] = '\n';
    } else {
      write(text);
      write(std::string_view("\n", 1));
    }
  }

  /// Appends `first` and a line feed, then `prefix`, `second` and a line feed: two lines
  /// with one check for room, since this runs for every record.
  void writeTwoLines(std::string_view first, std::string_view prefix, std::string_view second) {
    const std::size_t size = first.size() + prefix.size() + second.size() + 2;
    if (size <= capacity - used) {
      char* out = buffer + used;
      std::char_traits<char>::copy(out, first.data(), first.size());
      out += first.size();
      *out++ = '\n';
      std::char_traits<char>::copy(out, prefix.data(), prefix.size());
      out += prefix.size();
      std::char_traits<char>::copy(out, second.data(), second.size());
      out += second.size();
      *out = '\n';
      used += size;
    } else {
      writeLine(first);
      write(prefix);
      writeLine(second);
    }
  }

  /// Hands everything buffered to the descriptor.
  void flush() noexcept;

  /// Writes `message` and a line feed as the last line, and flushes. After a stop, narration
  /// still pending is dropped in its favour, and the message gets a time limit of its own
  /// even if the narration's ran out. A line feed goes first when what was written so far
  /// ends inside a line.
  void writeLastLine(std::string_view message) noexcept;

  /// Returns true when the descriptor is the null device, so that writers may skip
  /// composing text that nobody can ever read.
  bool discardsEverything() const noexcept { return nullDevice; }

  /// Returns the descriptor written to.
  int descriptor() const noexcept { return fd; }

  /// Returns the identity of the file written to when it is a regular file or a FIFO,
  /// which the run must then never read or write as one of its own files.
  const std::optional<FileIdentity>& fileIdentity() const noexcept { return file; }

 private:
  void writeSlow(std::string_view text);
  void writeThrough(const char* data, std::size_t size) noexcept;
  void writeWithDeadline(const char* data, std::size_t size) noexcept;
  void noteWritten(const char* data, std::size_t count) noexcept;

  const int fd;
  const RawBytes ownBuffer;
  char smallBuffer[512] = {};  // when ownBuffer could not be had
  char* const buffer;
  const std::size_t capacity;
  std::size_t used = 0;
  bool broken = false;   // a write failed: nothing more goes out
  bool stalled = false;  // after a stop, the reader did not take the narration in time
  bool endsMidLine = false;
  bool nullDevice = false;
  std::optional<FileIdentity> file;
};

#endif  // VARNOLIX_STANDARDOUTPUT_H_
