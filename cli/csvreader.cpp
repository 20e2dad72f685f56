#include "csvreader.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>

#include "error.h"

CSVReader::CSVReader(const std::string& fileName, std::string separatorText, bool withHeadLine)
    : file(fileName), separator(std::move(separatorText)), useHeadLine(withHeadLine) {
  if (useHeadLine) {
    if (!file.atEnd()) headLine = std::string(file.readLine(currentLine));
    numFields = countFields(headLine);
  }
  if (!file.atEnd()) {
    next();
    numFields = countFields(nextLine);
  }
  if (file.error() != 0) throwReadFailure();
}

void CSVReader::throwReadFailure() const {
  // A file that gave no data at all is reported as unopenable (a folder, say, opens but
  // cannot be read).
  if (!file.gotData() && file.error() == ENOMEM) {
    throw Error::of({"Could not open CSV File '", file.path(), "': ", std::strerror(ENOMEM)});
  }
  if (!file.gotData()) throw Error::of({"Could not open CSV File '", file.path(), "'"});
  throw Error::of({"Could not read CSV File '", file.path(), "': ", std::strerror(file.error())});
}

std::string CSVReader::getLine() const { return std::string(currentLine); }

std::string CSVReader::getField(int n) const { return std::string(getFieldView(n)); }

std::string_view CSVReader::fieldView(int n) const {
  if (n <= 0) throw Error("field number may not be <= 0");
  if (numFields < n) throw Error("field number out of range");
  const std::string_view line = currentLine;
  // Searches resume one character after the start of the previous occurrence.
  const auto findFrom = [this, line](std::size_t from) {
    if (separator.size() != 1) return line.find(separator, from);
    if (from >= line.size()) return std::string_view::npos;  // one byte: memchr
    const void* const hit = std::memchr(line.data() + from, separator[0], line.size() - from);
    return hit == nullptr ? std::string_view::npos
                          : static_cast<std::size_t>(static_cast<const char*>(hit) - line.data());
  };
  if (n == 1) return line.substr(0, findFrom(0));
  std::size_t occurrence = findFrom(0);
  for (int found = 1; found < n - 1 && occurrence != std::string_view::npos; ++found) {
    occurrence = findFrom(occurrence + 1);
  }
  if (occurrence == std::string_view::npos) {
    throw Error("field number (practically, not theratically) out of range");
  }
  const std::size_t begin = occurrence + 1;
  const std::size_t end = findFrom(begin);
  return line.substr(begin, end == std::string_view::npos ? std::string_view::npos : end - begin);
}

int CSVReader::countFields(std::string_view line) const noexcept {
  int count = 1;
  for (std::size_t at = line.find(separator); at != std::string_view::npos && count < INT_MAX;
       at = line.find(separator, at + 1)) {
    ++count;
  }
  return count;
}

std::string CSVReader::getHeadLine() const {
  if (!useHeadLine) throw Error("Headline? You said, that I have no headline... :(");
  return headLine;
}
