#include "splitter.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
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
// the cache in stages: its key's index slot, then its file. With tens of thousands of keys,
// each of these is otherwise a wait for memory on every line, one after the other. What it
// fetches is a guess, never relied on. The hash of a key it found ahead is used once the
// line comes, when the line is at the same place in a buffer that did not change since and
// the index still hashes as it did; even a wrong hash could only make the lookup miss, and
// a key that is missed is looked up again before a file is made for it.
class Lookahead {
 public:
  // Keys of the first field, cut by a one-byte separator, are what it can find quickly.
  Lookahead(const CSVReader& reader, int fieldNumber) noexcept
      : source(reader),
        separator(reader.getSeparator().size() == 1 ? reader.getSeparator()[0] : '\0'),
        usable(fieldNumber == 1 && reader.getSeparator().size() == 1) {}

  // Called for each line taken while the output set is worth prefetching for, before its
  // lookup; `current` counts from the first such line.
  void step(const OutputSet& outputs) noexcept {
    ++current;
    if (!usable) return;
    const std::string_view ahead = source.getBufferedAhead();
    // New bytes in the buffer, another hash, or the loop caught up: start again after the
    // lookahead line, forgetting every line found before.
    if (source.getBufferGeneration() != generation || outputs.hashEpoch() != epoch || scanned <= current + 1) {
      cursor = ahead.data();
      scanned = current + 1;
      generation = source.getBufferGeneration();
      epoch = outputs.hashEpoch();
      std::fill(std::begin(starts), std::end(starts), nullptr);
    }
    const char* const end = ahead.data() + ahead.size();
    // Up to the line before the one that would take the current line's place.
    for (int lines = 0; lines < 2 && scanned + 1 < current + kDistance; ++lines) {
      const void* const lineFeed = std::memchr(cursor, '\n', static_cast<std::size_t>(end - cursor));
      if (lineFeed == nullptr) break;  // the rest of that line is not read yet
      const auto length = static_cast<std::size_t>(static_cast<const char*>(lineFeed) - cursor);
      const void* const cut = std::memchr(cursor, separator, length);
      const std::size_t keyLength =
          cut == nullptr ? length : static_cast<std::size_t>(static_cast<const char*>(cut) - cursor);
      const std::uint64_t hash = outputs.keyHash(std::string_view(cursor, keyLength));
      ++scanned;
      hashes[scanned % kDistance] = hash;
      starts[scanned % kDistance] = cursor;
      keyLengths[scanned % kDistance] = keyLength;
      outputs.prefetchSlot(hash);
      cursor += length + 1;
    }
    if (scanned >= current + kFileAhead) outputs.prefetchFile(hashes[(current + kFileAhead) % kDistance]);
  }

  // Sets `key`, the first field of the current `line`, and its `hash` when they were found
  // ahead and are surely this line's; returns whether they were.
  bool foundAhead(std::string_view line, const OutputSet& outputs, std::string_view& key,
                  std::uint64_t& hash) const noexcept {
    const std::uint64_t at = current % kDistance;
    if (starts[at] != line.data() || source.getBufferGeneration() != generation || outputs.hashEpoch() != epoch) {
      return false;
    }
    key = line.substr(0, keyLengths[at]);
    hash = hashes[at];
    return true;
  }

 private:
  // Lines ahead whose slots are fetched (less than this), and whose files are fetched.
  static constexpr std::uint64_t kDistance = 16;
  static constexpr std::uint64_t kFileAhead = 8;
  static_assert((kDistance & (kDistance - 1)) == 0, "a line's slot is its number modulo the distance: cheap");
  static_assert(kFileAhead < kDistance, "a file is fetched for a line whose slot was fetched before");

  const CSVReader& source;
  const char separator;
  const bool usable;
  std::uint64_t current = 0;  // lines taken so far
  std::uint64_t scanned = 0;  // the last line whose key was hashed
  const char* cursor = nullptr;
  unsigned long long generation = 0;  // of the buffer the lines found ahead are in
  bool epoch = false;                 // of the hash they were hashed with
  std::uint64_t hashes[kDistance] = {};
  const char* starts[kDistance] = {};  // where each line found ahead begins; null: none
  std::size_t keyLengths[kDistance] = {};
};

}  // namespace

Splitter::Splitter(const std::string& fileName, std::string separator, bool useHeadLine, StandardOutput& narrateTo)
    : reader(openReader(fileName, std::move(separator), useHeadLine)), narration(narrateTo) {}

Splitter::Splitter(CSVReader* ownedReader, StandardOutput& narrateTo, const OutputLimits& limits)
    : reader(ownedReader), narration(narrateTo), outputLimits(limits) {}

Splitter::~Splitter() { delete reader; }

void Splitter::split(int fieldNumber, const std::string& /*unused*/) {
  const GuardedFiles guarded{reader->getFileIdentity(), reader->getFileName(), narration.fileIdentity(),
                             narration.descriptor()};
  OutputSet outputs(guarded, reader->hasHeadLine() ? reader->getHeadLine() : std::string(), reader->hasHeadLine(),
                    outputLimits);
  try {
    // Narration that nobody can read is not composed.
    const bool narrate = !narration.discardsEverything();
    Lookahead lookahead(*reader, fieldNumber);
    // A stop is looked at between records only, so that a record's echo, its "appending:"
    // and its append happen together or not at all.
    while (!interruption::stopRequested() && reader->hasNext()) {
      reader->next();
      const std::string_view line = reader->getLineView();
      std::string_view key;
      std::uint64_t hash = 0;
      bool found = false;
      if (outputs.worthPrefetching()) {
        lookahead.step(outputs);
        found = lookahead.foundAhead(line, outputs, key, hash);
      }
      if (!found) key = reader->getFieldView(fieldNumber);
      OutputFile* output = found ? outputs.find(key, hash) : outputs.find(key);
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
    // Lines set aside that cannot be read back cost files lines the narration showed: that
    // failure is reported in place of the one on its way.
    const OutputSet::Closed closed = outputs.closeAll();
    if (closed.setAsideLost) throw *closed.failure;
    throw;
  }
}
