#ifndef VARNOLIX_IDENTITYINDEX_H_
#define VARNOLIX_IDENTITYINDEX_H_

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fileidentity.h"

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
    assert(2 * (count + 1) <= slots.size() && "reserveOneMore() first");
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

#endif  // VARNOLIX_IDENTITYINDEX_H_
