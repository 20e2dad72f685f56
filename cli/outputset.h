#ifndef VARNOLIX_OUTPUTSET_H_
#define VARNOLIX_OUTPUTSET_H_

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "chunkarena.h"
#include "error.h"
#include "fileidentity.h"
#include "keyindex.h"
#include "openfilecache.h"
#include "outputfile.h"
#include "safefilecreator.h"
#include "spillfile.h"

/// How much an OutputSet may hold at once, and where lines may wait.
struct OutputLimits {
  // Lines waiting in memory, at most; less when the address-space or data limit
  // (RLIMIT_AS, RLIMIT_DATA) leaves less room.
  std::size_t bufferBytes = std::size_t{96} * 1024 * 1024;
  // Descriptors; 0 means as many as RLIMIT_NOFILE allows.
  std::size_t openFiles = 0;
  // Whether lines may wait in an unnamed file of the folder's file system when memory is full.
  bool setAsideInFile = true;
  // The secret of the key hashes; none: drawn for the run.
  std::optional<HashSeed> hashSeed = std::nullopt;
};

/// The output files of one grouping run, one per key, named by the key in the current
/// directory: the key index, the safe creation of files, the cache of open descriptors,
/// the memory where lines wait and the spill file, put together. docs/design.md gives the
/// cost of each way a line can take.
///
/// Promises:
/// - Keys are created only as SafeFileCreator allows, and a file is reopened only while it
///   is the file created ("Could not write output file '<key>': it was replaced during the
///   run" otherwise).
/// - Each file is emptied once, when its key first appears, and from then on only appended
///   to, in the order of its lines.
/// - Memory stays bounded: lines wait in a ChunkArena of a fixed budget. A file that
///   gathers its share is written out in whole pages; when the arena is full, every line
///   in it is set aside in the spill file (or, where there is none, written out), so that
///   each file is written about once at the end, however many keys.
/// - Every file holds whole lines whenever this set gives it up: closed, or destroyed on
///   the way out after an Error. A file whose write fails is cut back to its last line
///   feed and never written again.
/// - One file's failure never costs another file a line: when making room for a line
///   fails for another file, the line still goes in and the failure is thrown after it.
///
/// Failures are reported as Error: SafeFileCreator's refusals when a file cannot be
/// created, "Could not write output file '<key>': <reason>" when writing, reopening or
/// closing it fails or memory for a new key runs out, and "Could not read temporary data
/// in the output folder: <reason>" (or "in '<TMPDIR>'") when lines set aside cannot be
/// read back. Lines that cannot be set aside (no room, a file size limit) are never a
/// failure: they go to their files, and memory is written out in rounds from then on.
/// Not copyable.
class OutputSet {
 public:
  /// `inputFile` is the file being read and `standardOutput` the file the narration goes
  /// to, if it is one: neither is ever written. Every new file begins with `header` and a
  /// line feed when `withHeader` is set. Allocates nothing yet.
  OutputSet(const FileIdentity& inputFile, const std::optional<FileIdentity>& standardOutput, std::string header,
            bool withHeader, const OutputLimits& limits = OutputLimits());

  /// Writes out and closes every file still open, ignoring failures: the way out after an
  /// Error.
  ~OutputSet();

  OutputSet(const OutputSet&) = delete;
  OutputSet& operator=(const OutputSet&) = delete;

  /// Returns the file of `key` if this set has one, else null. Forced inline, like the
  /// lookup it wraps: the grouping loop calls it once per line.
  [[gnu::always_inline]] OutputFile* find(std::string_view key) const noexcept { return index.find(key); }

  /// Returns whether lookups are likely to wait for memory: when there are so many files
  /// that their index and records no longer fit in the processor's caches.
  bool worthPrefetching() const noexcept { return files.size() >= kPrefetchFrom; }

  /// Three stages of bringing a coming line's key into the cache, each to start when the
  /// one before has had time to arrive: its index slot, its file, and where its line goes.
  /// `hash` is from keyHash().
  std::uint64_t keyHash(std::string_view key) const noexcept { return index.hashOf(key); }
  void prefetchSlot(std::uint64_t hash) const noexcept { index.prefetch(hash); }
  void prefetchFile(std::uint64_t hash) const noexcept {
    if (const OutputFile* const file = index.guess(hash)) __builtin_prefetch(file);
  }
  void prefetchLineSpace(std::uint64_t hash, std::size_t lineLength) const noexcept {
    if (const OutputFile* const file = index.guess(hash)) {
      __builtin_prefetch(file->tail, 1);
      // A line that will not fit needs the file's chain: fetch that too.
      if (lineLength >= file->room) __builtin_prefetch(&states[file->index]);
    }
  }

  /// Returns the file of `key`, creating (or emptying) it when the key is new.
  /// Throws Error when it cannot be created; the key is then not added.
  OutputFile& fileFor(std::string_view key) {
    OutputFile* const found = find(key);
    return found != nullptr ? *found : create(key);
  }

  /// Appends `line` and a line feed to `file`, which must belong to this set.
  /// Throws Error when this file cannot be written (the line is then not in it), when memory
  /// runs out, or, with the line in, when making room for it failed for another file.
  void append(OutputFile& file, std::string_view line) {
    if (!file.appendIfRoom(line)) appendSlowly(file, line);
  }

  /// Returns the number of files (distinct keys) created so far.
  std::size_t size() const noexcept { return files.size(); }

  /// What closing every file came to.
  struct Closed {
    // In ascending key order, the files up to and with the first that failed; all of them
    // when none did, or when the failure is the spill file's, which may touch any file.
    std::size_t filesUpToFailure;
    std::optional<Error> failure;
  };

  /// Writes every line handed over into its file and closes every file, in the order they
  /// were created, each file opened at most once. Failures do not stop it: a file that
  /// fails is cut back to its last whole line. Lines set aside that cannot be read back
  /// fail the files they belong to, and that failure is the one returned. Later calls do
  /// nothing.
  Closed closeAll() noexcept;

 private:
  static constexpr std::size_t kPrefetchFrom = 4096;

  class Writer;
  friend class Writer;

  OutputFile& create(std::string_view key);
  void appendSlowly(OutputFile& file, std::string_view line);
  void copyIn(OutputFile& file, std::string_view bytes);
  // Gives `file`, whose chunk is full, another: after writing its lines out when it holds
  // its share, or after making room when the arena is full.
  void takeChunk(OutputFile& file);
  // Empties the arena: sets every line aside, or writes it out. Failures are kept for
  // throwPendingFailure().
  void makeRoom() noexcept;
  bool setAside() noexcept;
  enum class AfterWriting { kKeepOpen, kClose };
  // Writes what waits of every file, from the spill file and the arena, in creation order;
  // with kClose, closes each file after it.
  void writeEverything(AfterWriting then) noexcept;
  void writeChain(Writer& writer, const OutputFile& file, const FileState& state) const noexcept;
  static void emptyChain(OutputFile& file, FileState& state) noexcept;
  std::size_t chainBytes(const OutputFile& file, const FileState& state) const noexcept;
  // Returns the descriptor of `file`, reopening it if it was closed; -1 with `failure` set
  // when that fails.
  int descriptorFor(const OutputFile& file, int& failure) noexcept;
  // Writes `count` pieces to `fd`; returns 0 or the errno value. Keeps the count of bytes
  // up to the last line feed.
  static int writePieces(FileState& state, int fd, const iovec* pieces, int count) noexcept;
  // Marks `state` failed with `failure` and cuts its file back to whole lines.
  static void fail(FileState& state, int fd, int failure) noexcept;
  void notePending(std::uint32_t source, int failure) noexcept;
  void throwPendingFailure();
  Error failureOf(std::uint32_t file, int failure) const noexcept;
  std::size_t shareOfEachFile() const noexcept;

  const std::string headLine;
  const bool writeHeadLine;

  ChunkArena arena;
  SpillFile spill;
  bool setAsideAllowed;
  bool closed = false;
  OpenFileCache descriptors;
  SafeFileCreator creator;
  KeyStore keys;
  SegmentedArray<OutputFile> files;  // in order of creation, as are the two below
  SegmentedArray<FileState> states;
  KeyIndex<OutputFile> index;
  IdentityIndex<SegmentedArray<FileState>> identities;
  std::size_t share;  // what a file gathers before it is written out
  // A failure of another file while making room, thrown once the line that needed the room
  // is in: the file's number (or kSpillFailure) and the failure.
  std::uint32_t pendingFile = 0;
  int pendingFailure = 0;
  int spillReadFailure = 0;  // why lines set aside could not be read back, if they could not
};

#endif  // VARNOLIX_OUTPUTSET_H_
