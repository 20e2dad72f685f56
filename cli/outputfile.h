#ifndef VARNOLIX_OUTPUTFILE_H_
#define VARNOLIX_OUTPUTFILE_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "wholelinewriter.h"

/// One output file as the grouping loop sees it: its key (which is its name), its number and
/// how many bytes of its lines wait, in its buffer while the run has few files, else in the
/// window. Half a cache line, with a key of up to 16 bytes in place, so that finding a line's
/// file and noting its line touch one line of memory for the file even with a million keys.
/// How the file was written is its FileState; the output side decides everything else.
class alignas(32) OutputFile {  // never across two cache lines
 public:
  static constexpr std::size_t kKeyInPlace = 16;

  OutputFile() noexcept = default;

  /// Returns the key, which names the file; its bytes live as long as the file.
  std::string_view key() const noexcept {
    if (keyLength <= kKeyInPlace) return {keyBytes, keyLength};
    const char* whole;
    std::memcpy(&whole, keyBytes + 8, sizeof whole);
    return {whole, keyLength};
  }

  /// Returns the file's place in the order files were created, which never changes.
  std::uint32_t creationIndex() const noexcept { return index; }

 private:
  // The parts of the output side, which keep the record between them.
  friend class FileTable;
  friend class FileBuffers;
  friend class WindowWriter;
  friend class OutputSet;

  // `whole` holds the key's bytes for as long as the file lives; a key of up to 16 bytes
  // is also copied in place.
  OutputFile(std::string_view key, const char* whole, std::uint32_t creation) noexcept
      : index(creation), keyLength(static_cast<std::uint8_t>(key.size())) {
    if (key.size() <= kKeyInPlace) {
      std::memcpy(keyBytes, key.data(), key.size());
    } else {
      std::memcpy(keyBytes, key.data(), 8);
      std::memcpy(keyBytes + 8, &whole, sizeof whole);
    }
  }

  char keyBytes[kKeyInPlace] = {};  // the key, or its first 8 bytes and where all of it is
  std::uint32_t pending = 0;        // bytes of its lines waiting, in its buffer or the window
  std::uint32_t buffer = 0;         // while the run has few files: where its buffer is
  std::uint32_t index = 0;
  std::uint8_t keyLength = 0;      // at most NAME_MAX
  std::uint8_t bufferSizeLog = 0;  // its buffer holds 2 to this power bytes
  bool setAside = false;           // some of its lines wait in the spill file: none may be written directly
};

/// Finds the file this run created with a given identity: an open-addressing table of file
/// numbers, at most half full, whose identities it looks up in the files' states. Four
/// bytes a slot. reserveOneMore() may throw; everything else never fails.
template <class States>
class IdentityIndex {
 public:
  IdentityIndex() = default;
  IdentityIndex(const IdentityIndex&) = delete;
  IdentityIndex& operator=(const IdentityIndex&) = delete;

  /// Makes sure that the next add() needs no memory. Throws std::bad_alloc.
  void reserveOneMore(const States& states) {
    if (2 * (count + 1) <= slots.size()) return;
    std::vector<std::uint32_t> larger(slots.empty() ? 64 : 2 * slots.size(), kEmpty);
    for (const std::uint32_t file : slots) {
      if (file != kEmpty) place(larger, file, states[file].identity);
    }
    slots.swap(larger);
  }

  /// Adds `file`, whose identity is in `states`.
  void add(std::uint32_t file, const States& states) noexcept {
    place(slots, file, states[file].identity);
    ++count;
  }

  /// Returns the file with `identity`, or kEmpty.
  std::uint32_t find(const FileIdentity& identity, const States& states) const noexcept {
    if (slots.empty()) return kEmpty;
    const std::size_t mask = slots.size() - 1;
    for (std::size_t i = FileIdentityHash()(identity) & mask; slots[i] != kEmpty; i = (i + 1) & mask) {
      if (states[slots[i]].identity == identity) return slots[i];
    }
    return kEmpty;
  }

  static constexpr std::uint32_t kEmpty = UINT32_MAX;

 private:
  static void place(std::vector<std::uint32_t>& table, std::uint32_t file, const FileIdentity& identity) noexcept {
    const std::size_t mask = table.size() - 1;
    std::size_t i = FileIdentityHash()(identity) & mask;
    while (table[i] != kEmpty) i = (i + 1) & mask;
    table[i] = file;
  }

  std::vector<std::uint32_t> slots;  // a power of two
  std::size_t count = 0;
};

/// Elements in fixed-size segments: addresses stay put as it grows, and growing never
/// copies. reserveOneMore() may throw; everything else never fails.
template <class T, std::size_t kPerSegment = 4096>
class SegmentedArray {
 public:
  SegmentedArray() = default;
  SegmentedArray(const SegmentedArray&) = delete;
  SegmentedArray& operator=(const SegmentedArray&) = delete;

  /// Makes sure that the next push() needs no memory. Throws std::bad_alloc.
  void reserveOneMore() {
    if (count < segments.size() * kPerSegment) return;
    segments.reserve(segments.size() + 1);
    segments.emplace_back(new T[kPerSegment]);
  }

  /// Stores `value` at the end; reserveOneMore() must have been called.
  T& push(const T& value) noexcept {
    T& slot = segments[count / kPerSegment][count % kPerSegment];
    slot = value;
    ++count;
    return slot;
  }

  T& operator[](std::size_t at) noexcept { return segments[at / kPerSegment][at % kPerSegment]; }
  const T& operator[](std::size_t at) const noexcept { return segments[at / kPerSegment][at % kPerSegment]; }
  std::size_t size() const noexcept { return count; }

 private:
  std::vector<std::unique_ptr<T[]>> segments;
  std::size_t count = 0;
};

/// The bytes of every key, each followed by a NUL so that it can name its file, in blocks
/// that never move. reserve() may throw; store() never fails.
class KeyStore {
 public:
  KeyStore() = default;
  KeyStore(const KeyStore&) = delete;
  KeyStore& operator=(const KeyStore&) = delete;

  /// Makes sure that store() of a key of `length` bytes (at most kBlockSize - 1) needs no
  /// memory. Throws std::bad_alloc.
  void reserve(std::size_t length) {
    if (!blocks.empty() && used + length + 1 <= kBlockSize) return;
    blocks.reserve(blocks.size() + 1);
    blocks.emplace_back(new char[kBlockSize]);
    used = 0;
  }

  /// Returns a lasting copy of `key`, followed by a NUL; reserve() must have been called.
  const char* store(std::string_view key) noexcept {
    char* const at = blocks.back().get() + used;
    std::memcpy(at, key.data(), key.size());
    at[key.size()] = '\0';
    used += key.size() + 1;
    return at;
  }

 private:
  static constexpr std::size_t kBlockSize = std::size_t{64} * 1024;
  std::vector<std::unique_ptr<char[]>> blocks;
  std::size_t used = 0;
};

#endif  // VARNOLIX_OUTPUTFILE_H_
