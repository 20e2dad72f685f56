#ifndef VARNOLIX_OUTPUTSET_H_
#define VARNOLIX_OUTPUTSET_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "error.h"
#include "filebuffers.h"
#include "fileidentity.h"
#include "filetable.h"
#include "keyindex.h"
#include "linewindow.h"
#include "outputfile.h"
#include "outputlimits.h"
#include "prefetch.h"
#include "windowwriter.h"

/// The output files of one grouping run, one per key, named by the key in the current
/// directory: the files themselves (FileTable) and where their lines wait, in a buffer per
/// file while the run has few files (FileBuffers), beyond that in a window of lines in the
/// order they came (LineWindow), which a WindowWriter empties into the files and the spill
/// file. docs/design.md follows a line through these parts and gives what each way costs.
///
/// Promises:
/// - Keys are created only as SafeFileCreator allows, and a file is reopened only while it
///   is the file created ("Could not write output file '<key>': it was replaced during the
///   run" otherwise).
/// - Each file is emptied once, when its key first appears, and from then on only appended
///   to, in the order of its lines.
/// - Memory stays bounded: lines wait within one budget, and beyond it are set aside (or
///   written out in rounds), so that each file is written about once, however many keys.
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
/// read back; lines that cannot be set aside never fail a run (they go to their files,
/// and memory is written out in rounds from then on). Not copyable.
class OutputSet {
 public:
  /// The files of `guarded` are never written. Every new file begins with `header` and a
  /// line feed when `withHeader` is set. Allocates nothing yet.
  OutputSet(const GuardedFiles& guarded, std::string header, bool withHeader,
            const OutputLimits& limits = OutputLimits());

  /// Writes out and closes every file, ignoring failures: the way out after an Error.
  ~OutputSet();

  OutputSet(const OutputSet&) = delete;
  OutputSet& operator=(const OutputSet&) = delete;

  /// Returns the file of `key` if this set has one, else null; with `hash`, for a hash
  /// that keyHash(key) gave under the same hashEpoch(). Forced inline, like the lookup it
  /// wraps: the grouping loop calls it once per line.
  [[gnu::always_inline]] OutputFile* find(std::string_view key) const noexcept { return files.find(key); }
  [[gnu::always_inline]] OutputFile* find(std::string_view key, std::uint64_t hash) const noexcept {
    return files.find(key, hash);
  }

  /// Returns whether lookups are likely to wait for memory: when there are so many files
  /// that their index and records no longer fit in the processor's caches.
  bool worthPrefetching() const noexcept { return files.size() >= prefetch::kManyFiles; }

  /// Bringing a coming line's key into the cache: see FileTable.
  [[gnu::always_inline]] std::uint64_t keyHash(std::string_view key) const noexcept { return files.keyHash(key); }
  [[gnu::always_inline]] void prefetchSlot(std::uint64_t hash) const noexcept { files.prefetchSlot(hash); }
  [[gnu::always_inline]] void prefetchFile(std::uint64_t hash) const noexcept { files.prefetchFile(hash); }
  bool hashEpoch() const noexcept { return files.hashEpoch(); }

  /// Returns the file of `key`, creating (or emptying) it when the key is new.
  /// Throws Error when it cannot be created; the key is then not added.
  OutputFile& fileFor(std::string_view key) {
    OutputFile* const found = find(key);
    return found != nullptr ? *found : create(key);
  }

  /// Appends `line` and a line feed to `file`, which must belong to this set.
  /// Throws Error when this file cannot be written (the line is then not in it), when memory
  /// runs out, or, with the line in, when making room for it failed for another file.
  [[gnu::always_inline]] void append(OutputFile& file, std::string_view line) {
    if (buffers.inUse()) {
      if (buffers.appendIfRoom(file, line)) return;
    } else if (window.appendLineIfRoom(file.index, line)) {
      if (file.pending == 0) window.noteFile(file.index);
      file.pending += static_cast<std::uint32_t>(line.size() + 1);
      return;
    }
    appendSlowly(file, line);
  }

  /// Returns the number of files (distinct keys) created so far.
  std::size_t size() const noexcept { return files.size(); }

  /// What closing every file came to.
  struct Closed {
    // In ascending key order, the files up to and with the first that failed; all of them
    // when none did, or when the failure is the spill file's, which may touch any file.
    std::size_t filesUpToFailure;
    std::optional<Error> failure;
    // Whether the failure is that of lines set aside, which costs any file lines.
    bool setAsideLost = false;
  };

  /// Writes every line handed over into its file and closes every file, in the order they
  /// were created, each file opened at most once. Failures do not stop it: a file that
  /// fails is cut back to its last whole line. Lines set aside that cannot be read back
  /// fail the files they belong to, and that failure is the one returned. Later calls do
  /// nothing.
  Closed closeAll() noexcept;

 private:
  OutputFile& create(std::string_view key);
  void appendSlowly(OutputFile& file, std::string_view line);
  // Puts `bytes` into the window as lines of `file`, in pieces when they do not fit at once.
  void copyIn(OutputFile& file, std::string_view bytes);
  void throwPendingFailure();
  // The one place a failure becomes the Error the user reads; `newKey` names a key that is
  // not a file yet.
  Error errorOf(const Failure& failure, std::string_view newKey = {}) const noexcept;

  const std::string headLine;
  const bool writeHeadLine;

  FileTable files;
  LineWindow window;
  FileBuffers buffers;
  WindowWriter writer;
  bool closed = false;
};

#endif  // VARNOLIX_OUTPUTSET_H_
