#ifndef VARNOLIX_KEYINDEX_H_
#define VARNOLIX_KEYINDEX_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

/// The default hash of KeyIndex: keys are short and hashed once per line, so it takes
/// eight bytes at a time and never loops over single bytes.
struct KeyHash {
  std::uint64_t operator()(std::string_view key) const noexcept {
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
};

/// Finds values by key: an open-addressing table (linear probing) of pointers to values
/// that carry their own key, as a member `key` convertible to std::string_view.
///
/// Made for one lookup per input line: find() is inline and, while the table is small,
/// nearly always ends at the first slot it looks at. Does not own the values, which must
/// outlive the index and keep their keys unchanged. `Hash` maps a key to 64 bits; tests
/// inject one that collides.
template <class Value, class Hash = KeyHash>
class KeyIndex {
 public:
  KeyIndex() : slots(kFirstSlots) {}

  /// Returns the value whose key is `key`, or null.
  [[gnu::always_inline]] Value* find(std::string_view key) const noexcept {
    const std::uint64_t hash = Hash()(key);
    for (std::size_t i = hash & (slots.size() - 1);; i = (i + 1) & (slots.size() - 1)) {
      const Slot& slot = slots[i];
      if (slot.value == nullptr) return nullptr;
      if (slot.hash == hash && sameBytes(slot.value->key, key)) return slot.value;
    }
  }

  /// Adds `value`, whose key must not be in the index yet. Throws std::bad_alloc when the
  /// table cannot grow; the index is then unchanged.
  void add(Value& value) {
    // Small tables stay at most an eighth full, so that a lookup rarely needs a second
    // probe, a mispredicted branch on every line; large ones stay at most half full.
    const std::size_t spread = slots.size() < kSparseSlots ? 8 : 2;
    if (spread * (count + 1) > slots.size()) grow();
    place(slots, Slot{Hash()(value.key), &value});
    ++count;
  }

  /// Returns the number of values added.
  std::size_t size() const noexcept { return count; }

 private:
  static constexpr std::size_t kFirstSlots = 64;
  static constexpr std::size_t kSparseSlots = 4096;  // 64 KiB of slots

  struct Slot {
    std::uint64_t hash = 0;
    Value* value = nullptr;
  };

  static void place(std::vector<Slot>& table, const Slot& slot) noexcept {
    std::size_t i = slot.hash & (table.size() - 1);
    while (table[i].value != nullptr) i = (i + 1) & (table.size() - 1);
    table[i] = slot;
  }

  void grow() {
    std::vector<Slot> larger(2 * slots.size());
    for (const Slot& slot : slots) {
      if (slot.value != nullptr) place(larger, slot);
    }
    slots.swap(larger);
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

  std::vector<Slot> slots;  // a power of two
  std::size_t count = 0;
};

#endif  // VARNOLIX_KEYINDEX_H_
