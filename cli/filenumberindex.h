#ifndef VARNOLIX_FILENUMBERINDEX_H_
#define VARNOLIX_FILENUMBERINDEX_H_

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

/// Finds a file of the run by something each file has besides its key (the identity of the
/// file created, its name as a file system folding case compares it): an open-addressing
/// table of file numbers, at most half full, that keeps no copy of what it finds by. The
/// owner hashes a file's, and tells whether a file is the one looked for. Four bytes a slot.
/// reserveOneMore() may throw; everything else never fails. Not copyable.
class FileNumberIndex {
 public:
  FileNumberIndex() = default;
  FileNumberIndex(const FileNumberIndex&) = delete;
  FileNumberIndex& operator=(const FileNumberIndex&) = delete;

  /// Makes sure that the next add() needs no memory; `hashOf(file)` gives the hash of each
  /// file added so far. Throws std::bad_alloc, and the index is then unchanged.
  template <class HashOf>
  void reserveOneMore(HashOf&& hashOf) {
    if (2 * (count + 1) <= slots.size()) return;
    std::vector<std::uint32_t> larger(slots.empty() ? 64 : 2 * slots.size(), kEmpty);
    for (const std::uint32_t file : slots) {
      if (file != kEmpty) place(larger, file, hashOf(file));
    }
    slots.swap(larger);
  }

  /// Adds `file`, whose hash is `hash`; reserveOneMore() must have been called.
  void add(std::uint32_t file, std::uint64_t hash) noexcept {
    assert(2 * (count + 1) <= slots.size() && "reserveOneMore() first");
    place(slots, file, hash);
    ++count;
  }

  /// Returns the file with `hash` for which `isSought(file)` is true, if any.
  template <class IsSought>
  std::optional<std::uint32_t> find(std::uint64_t hash, IsSought&& isSought) const noexcept {
    if (slots.empty()) return std::nullopt;
    const std::size_t mask = slots.size() - 1;
    for (std::size_t i = hash & mask; slots[i] != kEmpty; i = (i + 1) & mask) {
      if (isSought(slots[i])) return slots[i];
    }
    return std::nullopt;
  }

 private:
  static constexpr std::uint32_t kEmpty = UINT32_MAX;

  static void place(std::vector<std::uint32_t>& table, std::uint32_t file, std::uint64_t hash) noexcept {
    const std::size_t mask = table.size() - 1;
    std::size_t i = hash & mask;
    while (table[i] != kEmpty) i = (i + 1) & mask;
    table[i] = file;
  }

  std::vector<std::uint32_t> slots;  // a power of two
  std::size_t count = 0;
};

#endif  // VARNOLIX_FILENUMBERINDEX_H_
