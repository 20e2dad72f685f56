#ifndef VARNOLIX_INPUTFILE_H_
#define VARNOLIX_INPUTFILE_H_

#include <cassert>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "descriptor.h"
#include "fileidentity.h"
#include "rawbytes.h"

/// A file read line by line through one large buffer, so that reading costs one system
/// call per chunk, never one per line.
///
/// End of file behaves like a standard stream's end-of-file flag: it is set only once a
/// read has run into the end of the data (never right after opening, not even for an
/// empty file, and not by a line that ends with a line feed). A failed open or read sets
/// it too and keeps the errno value in error(); nothing is thrown, the owner reports it.
/// A lack of memory for a long line is a failed read (ENOMEM). When the program is asked
/// to stop while waiting for data (a FIFO), the data ends there, without error.
/// Not copyable.
class InputFile {
 public:
  /// Opens `path` for reading. When it cannot be opened, names a folder or its buffer
  /// cannot be had, atEnd() is true at once and error() says why.
  explicit InputFile(const std::string& path);

  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  /// Returns the bytes up to the next line feed, which is consumed and not included; a
  /// carriage return before it is kept. At the end of the data without a line feed, returns
  /// what remains (possibly nothing) and atEnd() becomes true. When reading fails, returns
  /// an empty line, atEnd() becomes true and error() says why. Requires !atEnd().
  ///
  /// The line is a view into the file's buffer, valid until the call after next: `held` is
  /// the line returned by the previous call, which the caller may still use; if the buffer
  /// must move, those bytes are copied aside and `held` is pointed at the copy.
  std::string_view readLine(std::string_view& held) {
    assert(!atEnd());
    std::string_view line;
    return takeBufferedLine(line) ? line : readLineAcrossChunks(held);
  }

  /// Returns true once a read ran into the end of the data, or the open or a read failed.
  bool atEnd() const noexcept { return endReached; }

  /// Returns 0, or the errno value of the failed open or read.
  int error() const noexcept { return failure; }

  /// Returns true once any data has been read.
  bool gotData() const noexcept { return bytesRead > 0; }

  /// Returns the path the file was opened by.
  const std::string& path() const noexcept { return filePath; }

  /// Returns the identity of the open file.
  const FileIdentity& identity() const noexcept { return fileIdentity; }

  /// Returns the bytes read but not yet handed out as lines: what comes next, valid until
  /// the next readLine().
  std::string_view unread() const noexcept { return {buffer.get() + position, filled - position}; }

  /// Returns how often the buffer's bytes changed (a read into it, or a move): while this
  /// number stays the same, a view into the buffer keeps meaning the same bytes.
  unsigned long long bufferGeneration() const noexcept { return refills; }

  /// Returns how many bytes were searched for a line end in lines that spanned more than
  /// one read: each byte once, however many reads a long line takes.
  unsigned long long bytesSearchedAcrossReads() const noexcept { return searchedAcrossReads; }

 private:
  // Reads the next chunk behind the unread bytes; returns false at the end of the data or on
  // failure.
  bool refill(std::string_view& held);
  // Makes room behind the unread bytes of a full buffer: moves them to its front, or grows it
  // when they fill it; the held line is copied aside first. Returns false when memory is out.
  bool makeRoom(std::string_view& held);
  // readLine() for a line that runs past the bytes in the buffer, or at the end.
  std::string_view readLineAcrossChunks(std::string_view& held);
  void fail(int errorNumber) noexcept;

  // Takes the next line into `line` if the buffer holds its line feed; the usual case,
  // kept inline in the caller's loop.
  bool takeBufferedLine(std::string_view& line) noexcept {
    const char* const start = buffer.get() + position;
    const std::size_t available = filled - position;
    const void* const lineFeed = available == 0 ? nullptr : std::memchr(start, '\n', available);
    if (lineFeed == nullptr) return false;
    const auto length = static_cast<std::size_t>(static_cast<const char*>(lineFeed) - start);
    position += length + 1;
    line = std::string_view(start, length);
    return true;
  }

  const std::string filePath;
  const Descriptor descriptor;
  FileIdentity fileIdentity;
  RawBytes buffer;  // grows only for a line longer than itself
  std::size_t capacity = 0;
  std::size_t position = 0;  // next unread byte in buffer
  std::size_t filled = 0;    // bytes of buffer holding data
  std::string heldCopy;      // where a held line goes when the buffer moves
  unsigned long long bytesRead = 0;
  unsigned long long searchedAcrossReads = 0;
  unsigned long long refills = 0;
  bool endReached = false;
  int failure = 0;
};

#endif  // VARNOLIX_INPUTFILE_H_
