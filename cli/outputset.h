#ifndef VARNOLIX_OUTPUTSET_H_
#define VARNOLIX_OUTPUTSET_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "blockpool.h"
#include "fileidentity.h"
#include "outputfile.h"

/// How much an OutputSet may hold at once. With few keys each file reaches its own maximum
/// of blocks long before the budget; with tens of thousands, the budget decides how
/// much each write carries.
struct OutputLimits {
  std::size_t bufferBytes = std::size_t{96} * 1024 * 1024;  // all blocks together
  std::size_t openFiles = 0;                                // descriptors; 0 means as many as RLIMIT_NOFILE allows
};

/// The output files of one grouping run, one per key, named by the key in the current
/// directory.
///
/// Promises:
/// - A key is only ever used as a plain file name; an existing entry that is not a
///   regular file is neither followed nor waited on; nothing is truncated before it is
///   known to be neither the input nor a file this run already writes under another key.
/// - Each file is emptied once, when its key first appears, and from then on only
///   appended to, even when its descriptor is closed to make room and reopened later,
///   so any number of keys works within the process's open-file limit.
/// - Memory stays bounded: lines wait in blocks of one pool with a fixed budget, and are
///   written out in whole blocks, never with a system call per line.
/// - Destruction writes out and closes every file, ignoring failures: on the way out
///   after an Error, every line handed over before it is in its file.
///
/// Failures are reported as Error: "Could not open output file '<key>': <reason>" when a
/// file cannot be created, "Could not write output file '<key>': <reason>" when writing,
/// reopening or closing it fails. Not copyable.
class OutputSet {
 public:
  /// `inputFile` is the file being read, which is never written; every new file begins
  /// with `header` and a line feed when `withHeader` is set.
  OutputSet(const FileIdentity& inputFile, std::string header, bool withHeader, OutputLimits limits = OutputLimits());
  ~OutputSet();

  OutputSet(const OutputSet&) = delete;
  OutputSet& operator=(const OutputSet&) = delete;

  /// Returns the file of `key` if this set has one, else null. Forced inline: the grouping
  /// loop calls it once per line.
  [[gnu::always_inline]] OutputFile* find(std::string_view key) const noexcept {
    const std::uint64_t hash = hashOf(key);
    for (std::size_t i = hash & (slots.size() - 1);; i = (i + 1) & (slots.size() - 1)) {
      const Slot& slot = slots[i];
      if (slot.file == nullptr) return nullptr;
      if (slot.hash == hash && sameBytes(slot.file->key, key)) return slot.file;
    }
  }

  /// Returns the file of `key`, creating (or emptying) it when the key is new.
  /// Throws Error when it cannot be created; the key is then not added.
  OutputFile& fileFor(std::string_view key) {
    OutputFile* const found = find(key);
    return found != nullptr ? *found : create(key);
  }

  /// Appends `line` and a line feed to `file`, which must belong to this set.
  /// Throws Error when writing buffered lines out fails.
  void append(OutputFile& file, std::string_view line) {
    if (!file.appendIfRoom(line)) {
      copyIn(file, line);
      copyIn(file, std::string_view("\n", 1));
    }
  }

  /// Returns the number of files (distinct keys) created so far.
  std::size_t size() const noexcept { return files.size(); }

  /// Returns the files in ascending key order (bytes compared as unsigned values).
  std::vector<OutputFile*> inKeyOrder() const;

  /// Writes out what `file` still buffers and closes it for good. Throws Error on failure.
  void close(OutputFile& file);

 private:
  // One entry of the open-addressing index from key to file.
  struct Slot {
    std::uint64_t hash = 0;
    OutputFile* file = nullptr;
  };

  // Eight bytes at a time: keys are short and looked up once per line.
  static std::uint64_t hashOf(std::string_view key) noexcept {
    constexpr std::uint64_t kMultiplier = 0x9E3779B97F4A7C15ULL;
    std::uint64_t hash = key.size() * kMultiplier;
    const char* next = key.data();
    std::size_t remaining = key.size();
    for (; remaining >= 8; remaining -= 8, next += 8) {
      std::uint64_t word;
      std::memcpy(&word, next, 8);
      hash = (hash ^ word) * kMultiplier;
      hash ^= hash >> 29;
    }
    // The last 1 to 7 bytes as whole loads (two overlapping ones, or three single bytes):
    // assembling them byte by byte in memory stalls the load that follows.
    if (remaining >= 4) {
      std::uint32_t head;
      std::uint32_t tail;
      std::memcpy(&head, next, 4);
      std::memcpy(&tail, next + remaining - 4, 4);
      hash = (hash ^ ((std::uint64_t{head} << 32) | tail)) * kMultiplier;
    } else if (remaining > 0) {
      const auto byte = [next](std::size_t at) { return std::uint64_t{static_cast<unsigned char>(next[at])}; };
      hash = (hash ^ ((byte(0) << 16) | (byte(remaining / 2) << 8) | byte(remaining - 1))) * kMultiplier;
    }
    hash ^= hash >> 32;
    hash *= 0xBF58476D1CE4E5B9ULL;
    return hash ^ (hash >> 29);
  }

  // Key equality without a library call for the usual short keys.
  static bool sameBytes(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    const std::size_t length = a.size();
    if (length > 16 || length < 4) return a == b;
    // Two overlapping loads of a fixed width cover the key.
    if (length >= 8) {
      return load<std::uint64_t>(a.data()) == load<std::uint64_t>(b.data()) &&
             load<std::uint64_t>(a.data() + length - 8) == load<std::uint64_t>(b.data() + length - 8);
    }
    return load<std::uint32_t>(a.data()) == load<std::uint32_t>(b.data()) &&
           load<std::uint32_t>(a.data() + length - 4) == load<std::uint32_t>(b.data() + length - 4);
  }

  template <class Word>
  static Word load(const char* at) noexcept {
    Word word;
    std::memcpy(&word, at, sizeof word);
    return word;
  }
  OutputFile& create(std::string_view key);
  void index(OutputFile& file, std::uint64_t hash);
  void copyIn(OutputFile& file, std::string_view bytes);
  // Gives `file`, whose blocks are all full, an empty block.
  void provideBlock(OutputFile& file);
  // Returns a file other than `needy` (which holds no block) that can give blocks back by
  // writing: an open one with full blocks, found in a short round-robin search, else the
  // first file seen holding data. Null if there is none.
  OutputFile* findDonor(const OutputFile& needy);
  void checkNotInUse(std::string_view key, const FileIdentity& identity) const;
  void writeOut(OutputFile& file, bool everything);
  void ensureOpen(OutputFile& file);
  // Opens `path`, first closing least recently used files to stay within the allowance.
  // Returns the descriptor, or minus the errno value of the failed open.
  int openWithRoom(const std::string& path, int flags);
  void closeForNow(OutputFile& file);
  void touch(OutputFile& file) noexcept;
  void forget(OutputFile& file) noexcept;

  const FileIdentity input;
  const std::string headLine;
  const bool writeHeadLine;
  const std::size_t maxOpenFiles;

  BlockPool pool;                                                                // outlives the files
  std::vector<std::unique_ptr<OutputFile>> files;                                // in order of creation
  std::vector<Slot> slots;                                                       // a power of two, sparse (see index())
  std::unordered_map<FileIdentity, std::string, FileIdentityHash> createdFiles;  // file -> its key
  std::list<OutputFile*> openFiles;                                              // most recently used first
  std::size_t donorCursor = 0;                                                   // where findDonor() resumes
};

#endif  // VARNOLIX_OUTPUTSET_H_
