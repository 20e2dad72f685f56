#ifndef VARNOLIX_OUTPUTSET_H_
#define VARNOLIX_OUTPUTSET_H_

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "blockpool.h"
#include "fileidentity.h"
#include "keyindex.h"
#include "openfilecache.h"
#include "outputfile.h"
#include "safefilecreator.h"

/// How much an OutputSet may hold at once. With few keys each file reaches its own maximum
/// of blocks long before the budget; with tens of thousands, the budget decides how
/// much each write carries.
struct OutputLimits {
  std::size_t bufferBytes = std::size_t{96} * 1024 * 1024;  // all blocks together
  std::size_t openFiles = 0;                                // descriptors; 0 means as many as RLIMIT_NOFILE allows
};

/// The output files of one grouping run, one per key, named by the key in the current
/// directory: the key index, the safe creation of files, the cache of open descriptors
/// and the budget of buffer blocks, put together.
///
/// Promises:
/// - Keys are created only as SafeFileCreator allows.
/// - Each file is emptied once, when its key first appears, and from then on only
///   appended to, even when its descriptor is closed to make room and reopened later,
///   so any number of keys works within the process's open-file limit.
/// - Memory stays bounded: lines wait in blocks of one pool with a fixed budget, and are
///   written out in whole blocks, never with a system call per line.
/// - Every file holds whole lines whenever this set gives it up: closed, or destroyed on
///   the way out after an Error (which writes out every line handed over, ignoring
///   failures). A file whose write fails is cut back to its last line feed and never
///   written again.
///
/// Failures are reported as Error: SafeFileCreator's refusals when a file cannot be
/// created, "Could not write output file '<key>': <reason>" when writing, reopening or
/// closing it fails, or memory for a new key or a line runs out ("Cannot allocate
/// memory"). Not copyable.
class OutputSet {
 public:
  /// `inputFile` is the file being read and `standardOutput` the file the narration goes
  /// to, if it is one: neither is ever written. Every new file begins with `header` and a
  /// line feed when `withHeader` is set.
  OutputSet(const FileIdentity& inputFile, const std::optional<FileIdentity>& standardOutput, std::string header,
            bool withHeader, OutputLimits limits = OutputLimits());
  ~OutputSet();

  OutputSet(const OutputSet&) = delete;
  OutputSet& operator=(const OutputSet&) = delete;

  /// Returns the file of `key` if this set has one, else null. Forced inline, like the
  /// lookup it wraps: the grouping loop calls it once per line.
  [[gnu::always_inline]] OutputFile* find(std::string_view key) const noexcept { return index.find(key); }

  /// Returns the file of `key`, creating (or emptying) it when the key is new.
  /// Throws Error when it cannot be created; the key is then not added.
  OutputFile& fileFor(std::string_view key) {
    OutputFile* const found = find(key);
    return found != nullptr ? *found : create(key);
  }

  /// Appends `line` and a line feed to `file`, which must belong to this set.
  /// Throws Error when writing buffered lines out fails or memory runs out; the line is
  /// then not in the file.
  void append(OutputFile& file, std::string_view line) {
    if (!file.appendIfRoom(line)) appendAcrossBlocks(file, line);
  }

  /// Returns the number of files (distinct keys) created so far.
  std::size_t size() const noexcept { return files.size(); }

  /// Returns the files in ascending key order (bytes compared as unsigned values). Sorts in
  /// place, allocating nothing.
  const std::vector<std::unique_ptr<OutputFile>>& inKeyOrder();

  /// Writes out what `file` still buffers and closes it. Throws Error on failure.
  void close(OutputFile& file);

  /// Writes out and closes every file, in no particular order. Throws Error at the first
  /// failure; destruction then writes out the others.
  void closeAll();

 private:
  OutputFile& create(std::string_view key);
  void appendAcrossBlocks(OutputFile& file, std::string_view line);
  // Writes out what `file` buffers up to its last line feed and cuts it back to whole
  // lines if that fails; for the way out, where nothing may throw.
  void writeOutWholeLines(OutputFile& file) noexcept;
  void copyIn(OutputFile& file, std::string_view bytes);
  // Gives `file`, whose blocks are all full, an empty block.
  void provideBlock(OutputFile& file);
  // Returns a file other than `needy` (which holds no block) that can give blocks back by
  // writing: an open one with full blocks, found in a short round-robin search, else the
  // first file seen holding data. Null if there is none.
  OutputFile* findDonor(const OutputFile& needy);
  void writeOut(OutputFile& file, bool everything);

  const std::string headLine;
  const bool writeHeadLine;

  BlockPool pool;  // outlives the files
  OpenFileCache descriptors;
  SafeFileCreator creator;
  std::vector<std::unique_ptr<OutputFile>> files;  // in order of creation
  KeyIndex<OutputFile> index;
  std::size_t donorCursor = 0;  // where findDonor() resumes
};

#endif  // VARNOLIX_OUTPUTSET_H_
