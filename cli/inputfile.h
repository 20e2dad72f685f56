#ifndef VARNOLIX_INPUTFILE_H_
#define VARNOLIX_INPUTFILE_H_

#include <cstddef>
#include <memory>
#include <string>

#include "fileidentity.h"

/// A file read line by line through one large buffer, so that reading costs one system
/// call per chunk, never one per line.
///
/// End of file behaves like a standard stream's end-of-file flag: it is set only once a
/// read has run into the end of the data (never right after opening, not even for an
/// empty file, and not by a line that ends with a line feed). A read error sets it too,
/// and additionally marks the file failed; the failure is kept for the owner to report.
class InputFile {
 public:
  /// Opens `path` for reading. Throws Error "Could not open CSV File '<path>'" when it
  /// cannot be opened or names a folder.
  explicit InputFile(const std::string& path);
  ~InputFile();

  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  /// Replaces `line` with the bytes up to the next line feed, which is consumed and not
  /// stored; a carriage return before it is kept. At the end of the data without a line
  /// feed, `line` holds what remains (possibly nothing) and atEnd() becomes true. When
  /// reading fails, `line` is left empty and failed() becomes true. Requires !atEnd().
  void readLine(std::string& line);

  /// Returns true once a read ran into the end of the data or failed.
  bool atEnd() const noexcept { return endReached; }

  /// Returns true once a read failed; failureMessage() then says why.
  bool failed() const noexcept { return !failure.empty(); }

  /// Returns the message to report for the failed read: the open message when the file
  /// gave no data at all, "Could not read CSV File '<path>': <reason>" otherwise.
  const std::string& failureMessage() const noexcept { return failure; }

  /// Returns the identity of the open file.
  const FileIdentity& identity() const noexcept { return fileIdentity; }

 private:
  // Reads the next chunk into the buffer; returns false at the end of the data or on failure.
  bool refill();

  const std::string path;
  const int descriptor;
  FileIdentity fileIdentity;
  const std::unique_ptr<char[]> buffer;
  std::size_t position = 0;  // next unread byte in buffer
  std::size_t filled = 0;    // bytes of buffer holding data
  unsigned long long bytesRead = 0;
  bool endReached = false;
  std::string failure;
};

/// Returns the message for an input file that cannot be opened.
std::string openFailureMessage(const std::string& path);

#endif  // VARNOLIX_INPUTFILE_H_
