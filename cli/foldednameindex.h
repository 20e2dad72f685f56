#ifndef VARNOLIX_FOLDEDNAMEINDEX_H_
#define VARNOLIX_FOLDEDNAMEINDEX_H_

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "folderfilesystem.h"
#include "keyhash.h"

/// Finds the file this run created under a name that a file system folding case takes for a
/// given one: an open-addressing table of file numbers, at most half full, hashed by their
/// keys folded (FolderFileSystem::fold()), whose keys it looks up in `Files` (anything with
/// `files[number].key()`). Four bytes a slot; used only where names fold. reserveOneMore() may
/// throw; everything else never fails.
template <class Files>
class FoldedNameIndex {
 public:
  explicit FoldedNameIndex(HashSeed seed) noexcept : hash(seed) {}
  FoldedNameIndex(const FoldedNameIndex&) = delete;
  FoldedNameIndex& operator=(const FoldedNameIndex&) = delete;

  /// Makes sure that the next add() needs no memory. Throws std::bad_alloc.
  void reserveOneMore(const Files& files) {
    if (2 * (count + 1) <= slots.size()) return;
    std::vector<std::uint32_t> larger(slots.empty() ? 64 : 2 * slots.size(), kEmpty);
    for (const std::uint32_t file : slots) {
      if (file != kEmpty) place(larger, file, hashOf(files[file].key()));
    }
    slots.swap(larger);
  }

  /// Adds `file`, whose key is in `files`; reserveOneMore() must have been called.
  void add(std::uint32_t file, const Files& files) noexcept {
    assert(2 * (count + 1) <= slots.size() && "reserveOneMore() first");
    place(slots, file, hashOf(files[file].key()));
    ++count;
  }

  /// Returns the file whose key folds as `key` does, or kEmpty.
  std::uint32_t find(std::string_view key, const Files& files) const noexcept {
    if (slots.empty()) return kEmpty;
    FoldedName folded;
    FoldedName candidate;
    const std::string_view wanted = FolderFileSystem::fold(key, folded);
    const std::size_t mask = slots.size() - 1;
    for (std::size_t i = hash(wanted) & mask; slots[i] != kEmpty; i = (i + 1) & mask) {
      if (FolderFileSystem::fold(files[slots[i]].key(), candidate) == wanted) return slots[i];
    }
    return kEmpty;
  }

  static constexpr std::uint32_t kEmpty = UINT32_MAX;

 private:
  std::uint64_t hashOf(std::string_view key) const noexcept {
    FoldedName folded;
    return hash(FolderFileSystem::fold(key, folded));
  }

  static void place(std::vector<std::uint32_t>& table, std::uint32_t file, std::uint64_t hashed) noexcept {
    const std::size_t mask = table.size() - 1;
    std::size_t i = hashed & mask;
    while (table[i] != kEmpty) i = (i + 1) & mask;
    table[i] = file;
  }

  const SipHash13 hash;              // keys chosen to collide find no weakness here either
  std::vector<std::uint32_t> slots;  // a power of two
  std::size_t count = 0;
};

#endif  // VARNOLIX_FOLDEDNAMEINDEX_H_
