#ifndef VARNOLIX_FILETABLE_H_
#define VARNOLIX_FILETABLE_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

#include "failure.h"
#include "fileidentity.h"
#include "filenumberindex.h"
#include "folderfilesystem.h"
#include "keyindex.h"
#include "keystore.h"
#include "openfilecache.h"
#include "outputfile.h"
#include "prefetch.h"
#include "safefilecreator.h"
#include "segmentedarray.h"
#include "wholelinewriter.h"

/// The output files of one run: for each key, its record (OutputFile) and its state,
/// numbered in the order they were created; found by key; created only as SafeFileCreator
/// allows, with descriptors kept in an OpenFileCache; and reopened only while each is the
/// file created. Keeps the first failure met while room was made for a line until the owner
/// takes it, once that line is in. Owns all of it; not copyable.
class FileTable {
 public:
  /// The files of `guarded` are never written. At most `openFiles` descriptors (0: as many
  /// as RLIMIT_NOFILE allows); `seed` is the secret of the key hashes. Learns how the
  /// current folder's file system compares names, before anything is created.
  FileTable(const GuardedFiles& guarded, std::size_t openFiles, HashSeed seed);

  FileTable(const FileTable&) = delete;
  FileTable& operator=(const FileTable&) = delete;

  /// Returns the file of `key`, or null. Forced inline: the grouping loop calls it per line.
  [[gnu::always_inline]] OutputFile* find(std::string_view key) const noexcept { return index.find(key); }

  /// The same, for a `hash` that keyHash(key) gave under the same hashEpoch().
  [[gnu::always_inline]] OutputFile* find(std::string_view key, std::uint64_t hash) const noexcept {
    return index.find(key, hash);
  }

  /// Two stages of bringing a coming line's key into the cache (see prefetch.h): its index
  /// slot, then its file.
  [[gnu::always_inline]] std::uint64_t keyHash(std::string_view key) const noexcept { return index.hashOf(key); }
  [[gnu::always_inline]] void prefetchSlot(std::uint64_t hash) const noexcept { index.prefetch(hash); }
  [[gnu::always_inline]] void prefetchFile(std::uint64_t hash) const noexcept {
    if (const OutputFile* const file = index.guess(hash)) prefetch::forWriting(file);
  }

  /// Returns a value that changes whenever keyHash() may change what it gives for a key.
  bool hashEpoch() const noexcept { return index.usesStrongHash(); }

  /// Makes sure that add() of a key of `keyLength` bytes needs no memory. Throws
  /// std::bad_alloc; the table is then unchanged.
  void reserveOneMore(std::size_t keyLength);

  /// Creates or empties the file of `key`, which is new to the table, and adds it;
  /// reserveOneMore() must have been called. Returns null, with `failure` set, when the key
  /// is refused or its file cannot be created; the key is then not added.
  OutputFile* add(std::string_view key, Failure& failure) noexcept;

  /// Returns the number of files.
  std::size_t size() const noexcept { return files.size(); }

  OutputFile& operator[](std::uint32_t number) noexcept { return files[number]; }
  const OutputFile& operator[](std::uint32_t number) const noexcept { return files[number]; }
  FileState& state(std::uint32_t number) noexcept { return states[number]; }
  const FileState& state(std::uint32_t number) const noexcept { return states[number]; }

  /// Writes `size` bytes of lines to file `number`; when that fails, the file is cut back
  /// to its last whole line and the failure noted.
  void write(std::uint32_t number, const char* bytes, std::size_t size) noexcept;

  /// Notes the failure of file `number`, if it failed and `failedBefore` says it had not.
  void noteIfFailed(std::uint32_t number, bool failedBefore) noexcept {
    if (!failedBefore && states[number].failure) note(states[number].failure);
  }

  /// Notes `failure`, unless one was noted and not taken yet: the first is reported.
  void note(Failure failure) noexcept {
    if (!unreported) unreported = failure;
  }

  /// Returns the failure noted and not taken yet, if any, and forgets it.
  Failure takeUnreported() noexcept { return std::exchange(unreported, Failure()); }

  /// Closes file `number` if it is open; returns the failure of that close, or of one made
  /// while making room.
  Failure close(std::uint32_t number) noexcept { return descriptors.close(number); }

  /// Returns the open descriptor of file `number`, reopening it if it was closed and is
  /// still the file created; -1 with `failure` set otherwise.
  int descriptorFor(std::uint32_t number, Failure& failure) noexcept;

  /// Returns a writer of file `number`'s lines.
  WholeLineWriter writerFor(std::uint32_t number) noexcept {
    return WholeLineWriter(descriptorSource(), number, states[number]);
  }

  /// Returns descriptorFor() as a WholeLineWriter takes it.
  DescriptorSource descriptorSource() noexcept {
    return DescriptorSource{[](void* owner, std::uint32_t number, Failure& failure) noexcept {
                              return static_cast<FileTable*>(owner)->descriptorFor(number, failure);
                            },
                            this};
  }

 private:
  OpenFileCache descriptors;
  const FolderFileSystem folder;
  SafeFileCreator creator;
  KeyStore keys;
  SegmentedArray<OutputFile> files;  // in order of creation, as are the two below
  SegmentedArray<FileState> states;
  KeyIndex<OutputFile> index;
  // The hash of a file's identity, and of its key as the folder's file system compares names.
  std::uint64_t identityHash(std::uint32_t number) const noexcept;
  std::uint64_t foldedKeyHash(std::string_view key) const noexcept;

  FileNumberIndex identities;   // by the identity of the file created
  FileNumberIndex foldedNames;  // by the key folded, only where names fold
  const SipHash13 foldedHash;   // keys chosen to collide find no weakness here either
  Failure unreported;
};

#endif  // VARNOLIX_FILETABLE_H_
