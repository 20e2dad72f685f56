#ifndef VARNOLIX_OUTPUTFILE_H_
#define VARNOLIX_OUTPUTFILE_H_

#include <cstddef>
#include <list>
#include <memory>
#include <string>
#include <string_view>

/// One output file of a grouping run: its key (which is its name), the buffered lines
/// not yet written, and, while it holds one, an open descriptor.
///
/// Only mechanics live here; OutputSet decides when to open, write out and close.
/// Operations that touch the system return 0 or the errno value of the failure, so the
/// owner can report it or, on its way out after another failure, ignore it. Owns its
/// descriptor and buffer; not copyable.
class OutputFile {
 public:
  explicit OutputFile(std::string name) : key(std::move(name)) {}
  ~OutputFile();

  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  /// The key the file is named by.
  const std::string key;

  /// Appends `line` and a line feed if the buffer has room for both; returns whether it did.
  bool appendIfRoom(std::string_view line) noexcept {
    if (line.size() >= capacity - used) return false;
    std::char_traits<char>::copy(buffer.get() + used, line.data(), line.size());
    used += line.size();
    buffer[used++] = '\n';
    return true;
  }

  std::size_t buffered() const noexcept { return used; }
  std::size_t bufferCapacity() const noexcept { return capacity; }

  /// Replaces the buffer with one of `newCapacity` bytes, keeping its content.
  /// Requires newCapacity >= buffered().
  void resizeBuffer(std::size_t newCapacity);

  /// Frees the buffer. Requires buffered() == 0.
  void releaseBuffer() noexcept;

  bool isOpen() const noexcept { return descriptor >= 0; }

  /// Takes ownership of the open descriptor `fd`. Requires !isOpen().
  void adopt(int fd) noexcept { descriptor = fd; }

  /// Writes the whole buffer to the descriptor and empties it. Requires isOpen().
  /// Returns 0 or the errno value of the failed write (the buffer is then kept).
  int writeOut() noexcept;

  /// Writes `data` straight to the descriptor, bypassing the buffer. Requires isOpen().
  int writeDirect(std::string_view data) noexcept;

  /// Closes the descriptor (buffered bytes stay buffered). Returns 0 or the errno value
  /// of a failed close, which can report a write that failed late (disk full, I/O error).
  int closeDescriptor() noexcept;

  /// Where this file stands in its owner's list of open descriptors.
  std::list<OutputFile*>::iterator openPosition;

 private:
  int descriptor = -1;
  std::unique_ptr<char[]> buffer;
  std::size_t capacity = 0;
  std::size_t used = 0;
};

#endif  // VARNOLIX_OUTPUTFILE_H_
