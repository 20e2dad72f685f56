#ifndef VARNOLIX_FILETABLE_H_
#define VARNOLIX_FILETABLE_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "error.h"
#include "fileidentity.h"
#include "foldednameindex.h"
#include "folderfilesystem.h"
#include "identityindex.h"
#include "keyindex.h"
#include "keystore.h"
#include "openfilecache.h"
#include "outputfile.h"
#include "prefetch.h"
#include "safefilecreator.h"
#include "segmentedarray.h"
#include "wholelinewriter.h"

/// The first failure of a file met while room was made for a line, kept until that line is
/// in: the file's number (or a number its owner gives a meaning of its own) and the errno
/// value. Later ones are dropped: the first is reported.
struct PendingFailure {
  std::uint32_t source = 0;
  int failure = 0;

  void note(std::uint32_t from, int error) noexcept {
    if (failure != 0) return;
    source = from;
    failure = error;
  }
};

/// The output files of one run: for each key, its record (OutputFile) and its state,
/// numbered in the order they were created; found by key; created only as SafeFileCreator
/// allows, with descriptors kept in an OpenFileCache; and reopened only while each is the
/// file created. Owns all of it; not copyable.
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

  /// Throws the Error that refuses `key` when it is too long to be a file name, before
  /// anything copies it.
  void refuseOverlongKey(std::string_view key);

  /// Makes sure that add() of a key of `keyLength` bytes needs no memory. Throws
  /// std::bad_alloc; the table is then unchanged.
  void reserveOneMore(std::size_t keyLength);

  /// Creates or empties the file of `key`, which is new to the table, and adds it;
  /// reserveOneMore() must have been called. Throws SafeFileCreator's Error, and the key
  /// is then not added.
  OutputFile& add(std::string_view key);

  /// Returns the number of files.
  std::size_t size() const noexcept { return files.size(); }

  OutputFile& operator[](std::uint32_t number) noexcept { return files[number]; }
  const OutputFile& operator[](std::uint32_t number) const noexcept { return files[number]; }
  FileState& state(std::uint32_t number) noexcept { return states[number]; }
  const FileState& state(std::uint32_t number) const noexcept { return states[number]; }

  /// Writes `size` bytes of lines to file `number`; when that fails, the file is cut back
  /// to its last whole line and the failure noted in `pending`.
  void write(std::uint32_t number, const char* bytes, std::size_t size) noexcept;

  /// Notes in `pending` that file `number` failed, if it did and did not before `since`
  /// (its failure as it was).
  void noteFailure(std::uint32_t number, int since) noexcept {
    const int now = states[number].failure;
    if (now != 0 && since == 0) pending.note(number, now);
  }

  /// Returns "Could not write output file '<key>': <reason>" for file `number`.
  Error failureOf(std::uint32_t number, int failure) const noexcept;

  /// The descriptors: see OpenFileCache.
  bool isOpen(std::uint32_t number) const noexcept { return descriptors.isOpen(number); }
  int close(std::uint32_t number) noexcept { return descriptors.close(number); }
  bool holdOneBack() noexcept { return descriptors.holdOneBack(); }
  void giveOneBack() noexcept { descriptors.giveOneBack(); }

  /// Returns the open descriptor of file `number`, reopening it if it was closed and is
  /// still the file created; -1 with `failure` set otherwise.
  int descriptorFor(std::uint32_t number, int& failure) noexcept;

  /// Returns a writer of file `number`'s lines.
  WholeLineWriter writerFor(std::uint32_t number) noexcept {
    return WholeLineWriter(descriptorSource(), number, states[number]);
  }

  /// Returns descriptorFor() as a WholeLineWriter takes it.
  DescriptorSource descriptorSource() noexcept {
    return DescriptorSource{[](void* owner, std::uint32_t number, int& failure) noexcept {
                              return static_cast<FileTable*>(owner)->descriptorFor(number, failure);
                            },
                            this};
  }

  PendingFailure pending;

 private:
  OpenFileCache descriptors;
  const FolderFileSystem folder;
  SafeFileCreator creator;
  KeyStore keys;
  SegmentedArray<OutputFile> files;  // in order of creation, as are the two below
  SegmentedArray<FileState> states;
  KeyIndex<OutputFile> index;
  IdentityIndex<SegmentedArray<FileState>> identities;
  FoldedNameIndex<SegmentedArray<OutputFile>> foldedNames;  // only where names fold
};

#endif  // VARNOLIX_FILETABLE_H_
