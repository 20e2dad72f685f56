#ifndef VARNOLIX_CSVREADER_H_
#define VARNOLIX_CSVREADER_H_

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "fileidentity.h"
#include "inputfile.h"

/// Reads a separator-delimited text file one line at a time with one line of lookahead,
/// optionally taking the first line as a header, and cuts numbered fields out of the
/// current line. Fields are the exact bytes between separators: no quoting, escaping,
/// trimming or decoding.
///
/// A reader driven by hasNext() stops at the first empty line after the header and at
/// the end of the file; a last line without a line feed is still delivered. One owner
/// at a time; not copyable.
class CSVReader {
 public:
  /// Opens `fileName`, reads the header line when `withHeadLine` is set, reads ahead the
  /// first data line and fixes the field-count bound (getNumFields()).
  /// Throws Error "Could not open CSV File '<fileName>'" when the file cannot be opened,
  /// is a folder or gives no data because reading it fails, and
  /// "Could not read CSV File '<fileName>': <reason>" when reading fails after data came.
  CSVReader(const std::string& fileName, std::string separatorText, bool withHeadLine);

  CSVReader(const CSVReader&) = delete;
  CSVReader& operator=(const CSVReader&) = delete;

  /// Returns true while a further record exists (the lookahead line is not empty), and
  /// also when reading the lookahead failed, so that next() reports the failure.
  bool hasNext() const noexcept { return !nextLine.empty() || file.error() != 0; }

  /// Makes the lookahead line current and reads the following line ahead.
  /// Throws Error "Could not read CSV File '<fileName>': <reason>" when reading the
  /// input failed; the lines delivered before stay delivered.
  void next() {
    if (file.error() != 0) throwReadFailure();
    // Copied half by half, as readLine() stored it: a whole copy would wait on that store
    // (docs/performance.md).
    currentLine = std::string_view(nextLine.data(), nextLine.size());
    nextLine = file.atEnd() ? std::string_view() : file.readLine(currentLine);
  }

  /// Returns a copy of the current line (empty before the first next()).
  std::string getLine() const;

  /// Returns the current line without copying; valid until the next call of next().
  std::string_view getLineView() const noexcept { return currentLine; }

  /// Returns a copy of field `n` (counted from 1) of the current line.
  /// Throws Error "field number may not be <= 0" when n <= 0, "field number out of range"
  /// when n > getNumFields(), and "field number (practically, not theratically) out of
  /// range" when the current line has fewer separators than field n needs.
  std::string getField(int n) const;

  /// Like getField(), without copying; the view is valid until the next call of next().
  std::string_view getFieldView(int n) const {
    if (n == 1 && separator.size() == 1 && !currentLine.empty()) {  // the usual key, inline in the caller's loop
      const void* const end = std::memchr(currentLine.data(), separator[0], currentLine.size());
      return end == nullptr
                 ? currentLine
                 : currentLine.substr(0, static_cast<std::size_t>(static_cast<const char*>(end) - currentLine.data()));
    }
    return fieldView(n);
  }

  /// Returns the bytes read after the lookahead line: lines to come, which a caller may
  /// look at to prepare for them. Valid until the next call of next().
  std::string_view getBufferedAhead() const noexcept { return file.unread(); }

  /// Returns a number that changes whenever the bytes behind the views handed out may have
  /// changed: equal views taken under equal numbers show equal bytes.
  unsigned long long getBufferGeneration() const noexcept { return file.bufferGeneration(); }

  /// Returns the field separator.
  const std::string& getSeparator() const noexcept { return separator; }

  /// Returns the field count fixed at construction: that of the first data line, or of
  /// the header when the file ended right after it without a line feed.
  int getNumFields() const noexcept { return numFields; }

  /// Returns the number of separator occurrences in `line` plus one; searches resume one
  /// character after the start of each occurrence.
  int countFields(const std::string& line) const noexcept { return countFields(std::string_view(line)); }
  int countFields(std::string_view line) const noexcept;

  /// Returns whether the first line of the file is taken as a header.
  bool hasHeadLine() const noexcept { return useHeadLine; }

  /// Returns a copy of the header line.
  /// Throws Error "Headline? You said, that I have no headline... :(" when the reader was
  /// built without a header.
  std::string getHeadLine() const;

  /// Returns the identity of the input file, so that nothing writes over it.
  const FileIdentity& getFileIdentity() const noexcept { return file.identity(); }

  /// Returns the name the input file was opened by.
  const std::string& getFileName() const noexcept { return file.path(); }

 private:
  [[noreturn]] void throwReadFailure() const;
  std::string_view fieldView(int n) const;

  InputFile file;
  std::string_view currentLine;  // views into the file's buffer (see InputFile::readLine)
  std::string_view nextLine;
  const std::string separator;
  std::string headLine;
  const bool useHeadLine;
  std::int32_t numFields = 1;
};

#endif  // VARNOLIX_CSVREADER_H_
