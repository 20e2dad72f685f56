#include "splitter.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

#include "error.h"
#include "interruption.h"

namespace {

constexpr std::string_view kAppending = "appending: ";

CSVReader* openReader(const std::string& fileName, std::string separator, bool useHeadLine) {
  try {
    return new CSVReader(fileName, std::move(separator), useHeadLine);
  } catch (const std::bad_alloc&) {
    throw Error::of({"Could not open CSV File '", fileName, "': ", std::strerror(ENOMEM)});
  }
}

// Looks a few lines ahead of the grouping loop and brings what each line will touch into
// the cache in stages: its key's index slot, then its file, then where its line goes. With
// tens of thousands of keys, each of these is otherwise a wait for memory on every line,
// one after the other. A guess only: what it fetches is never relied on.
class Lookahead {
 public:
  // Keys of the first field, cut by a one-byte separator, are what it can find quickly.
  Lookahead(const CSVReader& reader, int fieldNumber) noexcept
      : source(reader),
        separator(reader.getSeparator().size() == 1 ? reader.getSeparator()[0] : '\0'),
        usable(fieldNumber == 1 && reader.getSeparator().size() == 1) {}

  // Called once per line taken, before its lookup.
  void step(const OutputSet& outputs) noexcept {
    ++current;
    if (!usable || !outputs.worthPrefetching()) return;
    const std::string_view ahead = source.getBufferedAhead();
    // The buffer was refilled or the loop caught up: start again after the lookahead line.
    if (cursor < ahead.data() || cursor > ahead.data() + ahead.size() || scanned <= current + 1) {
      cursor = ahead.data();
      scanned = current + 1;
    }
    const char* const end = ahead.data() + ahead.size();
    for (int lines = 0; lines < 2 && scanned < current + kDistance; ++lines) {
      const void* const lineFeed = std::memchr(cursor, '\n', static_cast<std::size_t>(end - cursor));
      if (lineFeed == nullptr) break;  // the rest of that line is not read yet
      const auto length = static_cast<std::size_t>(static_cast<const char*>(lineFeed) - cursor);
      const void* const cut = std::memchr(cursor, separator, length);
      const std::size_t keyLength =
          cut == nullptr ? length : static_cast<std::size_t>(static_cast<const char*>(cut) - cursor);
      const std::uint64_t hash = outputs.keyHash(std::string_view(cursor, keyLength));
      ++scanned;
      hashes[scanned % kDistance] = hash;
      lengths[scanned % kDistance] = length;
      outputs.prefetchSlot(hash);
      cursor += length + 1;
    }
    if (scanned >= current + kDistance / 2) outputs.prefetchFile(hashes[(current + kDistance / 2) % kDistance]);
    if (scanned >= current + kDistance / 4) {
      const std::uint64_t line = (current + kDistance / 4) % kDistance;
      outputs.prefetchLineSpace(hashes[line], lengths[line]);
    }
  }

 private:
  static constexpr std::uint64_t kDistance = 16;  // lines; a power of two

  const CSVReader& source;
  const char separator;
  const bool usable;
  std::uint64_t current = 0;  // lines taken so far
  std::uint64_t scanned = 0;  // the last line whose key was hashed
  const char* cursor = nullptr;
  std::uint64_t hashes[kDistance] = {};
  std::size_t lengths[kDistance] = {};
};

}  // namespace

Splitter::Splitter(const std::string& fileName, std::string separator, bool useHeadLine, StandardOutput& narrateTo)
    : reader(openReader(fileName, std::move(separator), useHeadLine)), narration(narrateTo) {}

Splitter::Splitter(CSVReader* ownedReader, StandardOutput& narrateTo, const OutputLimits& limits)
    : reader(ownedReader), narration(narrateTo), outputLimits(limits) {}

Splitter::~Splitter() { delete reader; }

void Splitter::split(int fieldNumber, const std::string& /*unused*/) {
  OutputSet outputs(reader->getFileIdentity(), narration.fileIdentity(),
                    reader->hasHeadLine() ? reader->getHeadLine() : std::string(), reader->hasHeadLine(), outputLimits);
  try {
    // Narration that nobody can read is not composed.
    const bool narrate = !narration.discardsEverything();
    Lookahead lookahead(*reader, fieldNumber);
    // A stop is looked at between records only, so that a record's echo, its "appending:"
    // and its append happen together or not at all.
    while (!interruption::stopRequested() && reader->hasNext()) {
      reader->next();
      lookahead.step(outputs);
      const std::string_view key = reader->getFieldView(fieldNumber);
      const std::string_view line = reader->getLineView();
      OutputFile* output = outputs.find(key);
      if (output != nullptr) {
        if (narrate) narration.writeTwoLines(line, kAppending, line);
      } else {
        // The line is echoed before its file is created, so that it shows even when that fails.
        if (narrate) narration.writeLine(line);
        output = &outputs.fileFor(key);
        if (narrate) {
          narration.write(kAppending);
          narration.writeLine(line);
        }
      }
      outputs.append(*output, line);
    }
    if (interruption::stopRequested()) {
      // Every line narrated so far goes into its file; nothing more is narrated.
      const OutputSet::Closed closed = outputs.closeAll();
      if (closed.failure) throw *closed.failure;
      return;
    }
    narration.writeLine(std::to_string(outputs.size()));
    narration.flush();
    const OutputSet::Closed closed = outputs.closeAll();
    // One "clozing" per file in ascending key order, up to and with the first that failed;
    // after a stop, nothing more is narrated.
    for (std::size_t i = 0; i < closed.filesUpToFailure && !interruption::stopRequested(); ++i) {
      narration.writeLine("clozing");
    }
    narration.flush();
    if (closed.failure) throw *closed.failure;
  } catch (const Error&) {
    // Decided before the files are written out on the way: a signal from now on does not
    // change how the run ends.
    interruption::recordError();
    throw;
  }
}
