#ifndef VARNOLIX_STANDARDOUTPUT_H_
#define VARNOLIX_STANDARDOUTPUT_H_

#include <cstddef>
#include <memory>
#include <optional>
#include <string_view>

#include "fileidentity.h"

/// The narration channel: text buffered in one large block and written to a descriptor
/// (standard output for the program) a block at a time.
///
/// Narration is a courtesy, never the product: when the descriptor fails (a closed pipe,
/// a full disk, the file-size limit, a closed descriptor) the failure is remembered,
/// further text is dropped, and nothing is thrown, so the grouping goes on and its result
/// stays what it would have been. Once the program is asked to stop, nothing waits on a
/// reader that does not read: what cannot go out at once is dropped. Not copyable.
class StandardOutput {
 public:
  /// Writes to descriptor `fd`, which the caller keeps open and owns.
  explicit StandardOutput(int fd);
  ~StandardOutput();

  StandardOutput(const StandardOutput&) = delete;
  StandardOutput& operator=(const StandardOutput&) = delete;

  /// Returns the process's standard output (descriptor 1). Flushed at normal exit.
  static StandardOutput& process();

  /// Appends `text`.
  void write(std::string_view text) {
    if (text.size() <= capacity - used) {
      std::char_traits<char>::copy(buffer.get() + used, text.data(), text.size());
      used += text.size();
    } else {
      writeSlow(text);
    }
  }

  /// Appends `text` and a line feed.
  void writeLine(std::string_view text) {
    if (text.size() < capacity - used) {
      std::char_traits<char>::copy(buffer.get() + used, text.data(), text.size());
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
      char* out = buffer.get() + used;
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

  /// Returns true when the descriptor is the null device, so that writers may skip
  /// composing text that nobody can ever read.
  bool discardsEverything() const noexcept { return nullDevice; }

  /// Returns the identity of the file written to when it is a regular file or a FIFO,
  /// which the run must then never read or write as one of its own files.
  const std::optional<FileIdentity>& fileIdentity() const noexcept { return file; }

 private:
  void writeSlow(std::string_view text);
  void writeThrough(const char* data, std::size_t size) noexcept;

  const int descriptor;
  const std::size_t capacity;
  const std::unique_ptr<char[]> buffer;
  std::size_t used = 0;
  bool broken = false;
  bool nullDevice = false;
  std::optional<FileIdentity> file;
};

#endif  // VARNOLIX_STANDARDOUTPUT_H_
