#ifndef VARNOLIX_KEYINDEX_H_
#define VARNOLIX_KEYINDEX_H_

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

#include "keyhash.h"
#include "prefetch.h"

/// Finds values by key: an open-addressing table (linear probing) of pointers to values
/// that carry their own key, as a member function key() returning std::string_view.
///
/// Made for one lookup per input line: find() is inline and, while the table is small,
/// nearly always ends at the first slot it looks at. Keys chosen to collide cannot slow it
/// down for long: once probe lengths grow beyond what a sound hash gives, the index rehashes
/// everything with `StrongHash`, keyed by the same seed. Does not own the values, which must
/// outlive the index and keep their keys unchanged. Allocates nothing until the first add().
/// Tests inject hashes that collide.
template <class Value, class Hash = KeyHash, class StrongHash = SipHash13>
class KeyIndex {
 public:
  explicit KeyIndex(HashSeed seed) noexcept : fastHash(seed), strongHash(seed) {}

  KeyIndex(const KeyIndex&) = delete;
  KeyIndex& operator=(const KeyIndex&) = delete;

  /// Returns the value whose key is `key`, or null.
  [[gnu::always_inline]] Value* find(std::string_view key) const noexcept { return find(key, hashOf(key)); }

  /// The same, for a `hash` that hashOf(key) gave while usesStrongHash() was what it is now.
  [[gnu::always_inline]] Value* find(std::string_view key, std::uint64_t hash) const noexcept {
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
      const Slot& slot = table[i];
      if (slot.value == nullptr) return nullptr;
      if (slot.hash == hash && sameBytes(slot.value->key(), key)) return slot.value;
    }
  }

  /// Returns the hash find() takes of `key`.
  [[gnu::always_inline]] std::uint64_t hashOf(std::string_view key) const noexcept {
    return strong ? strongHash(key) : fastHash(key);
  }

  /// Starts fetching the first slot of a key with `hash` into the cache.
  [[gnu::always_inline]] void prefetch(std::uint64_t hash) const noexcept { prefetch::forReading(&table[hash & mask]); }

  /// Returns the value in the first slot of a key with `hash`, if that slot holds one with
  /// that hash; without comparing keys: a guess, for prefetching.
  [[gnu::always_inline]] Value* guess(std::uint64_t hash) const noexcept {
    const Slot& slot = table[hash & mask];
    return slot.hash == hash ? slot.value : nullptr;
  }

  /// Makes room for one more value, so that the next add() cannot fail. Throws
  /// std::bad_alloc when the table cannot grow; the index is then unchanged.
  void reserveOneMore() {
    // Small tables stay at most an eighth full, so that a lookup rarely needs a second
    // probe, a mispredicted branch on every line; large ones stay at most half full.
    const std::size_t slots = mask + 1;
    const std::size_t spread = slots < kSparseSlots ? 8 : 2;
    if (owned == nullptr || spread * (count + 1) > slots) rebuild(owned == nullptr ? kFirstSlots : 2 * slots, strong);
  }

  /// Adds `value`, whose key must not be in the index yet; reserveOneMore() must have been
  /// called since the last add(). Never fails.
  void add(Value& value) noexcept {
    assert(owned != nullptr && (mask + 1 < kSparseSlots ? 8 : 2) * (count + 1) <= mask + 1 && "reserveOneMore() first");
    const std::size_t distance = place(Slot{hashOf(value.key()), &value});
    ++count;
    probeTotal += distance;
    // A sound hash keeps the mean distance from a key's first slot below one and no
    // distance near a hundred; beyond that, keys were chosen to collide.
    if (!strong && (distance > kLongestProbe || probeTotal > 2 * count + kLongestProbe)) {
      try {
        rebuild(mask + 1, true);
      } catch (...) {  // no memory for a new table: rehash in place of the old one
        rehashInPlace();
      }
    }
  }

  /// Returns the number of values added.
  std::size_t size() const noexcept { return count; }

  /// Returns true once the index moved to StrongHash.
  bool usesStrongHash() const noexcept { return strong; }

  /// Returns the sum over all values of their distance from their first slot: what finding
  /// each key once costs beyond its first probe. Walks the table; for tests.
  std::size_t totalProbeDistance() const noexcept {
    std::size_t total = 0;
    for (std::size_t i = 0; i <= mask; ++i) {
      if (table[i].value != nullptr) total += (i - (table[i].hash & mask)) & mask;
    }
    return total;
  }

 private:
  static constexpr std::size_t kFirstSlots = 64;
  static constexpr std::size_t kSparseSlots = 4096;  // 64 KiB of slots
  static constexpr std::size_t kLongestProbe = 96;

  struct Slot {
    std::uint64_t hash = 0;
    Value* value = nullptr;
  };

  // Puts `slot` in the first free place from its own; returns how far from it.
  std::size_t place(const Slot& slot) noexcept {
    Slot* const slots = owned.get();
    std::size_t i = slot.hash & mask;
    std::size_t distance = 0;
    for (; slots[i].value != nullptr; i = (i + 1) & mask) ++distance;
    slots[i] = slot;
    return distance;
  }

  void rebuild(std::size_t slots, bool withStrongHash) {
    std::unique_ptr<Slot[]> larger(new Slot[slots]);
    std::unique_ptr<Slot[]> old = std::move(owned);
    const std::size_t oldSlots = old == nullptr ? 0 : mask + 1;
    owned = std::move(larger);
    table = owned.get();
    mask = slots - 1;
    strong = withStrongHash;
    probeTotal = 0;
    for (std::size_t i = 0; i < oldSlots; ++i) {
      if (old[i].value == nullptr) continue;
      const std::uint64_t hash = withStrongHash ? strongHash(old[i].value->key()) : old[i].hash;
      probeTotal += place(Slot{hash, old[i].value});
    }
  }

  // Moves every value to its place under StrongHash without a second table. A slot whose
  // value has not moved yet counts as free: the value being placed takes it, and the one it
  // held is placed next. So a placed value never has an empty slot between its first slot and
  // its own, and no lookup stops short. Values yet to move carry a tag in their pointer's
  // lowest bit, which their alignment leaves free.
  void rehashInPlace() noexcept {
    static_assert(alignof(Value) >= 2, "a value's pointer must leave its lowest bit free for the tag");
    Slot* const slots = owned.get();
    for (std::size_t i = 0; i <= mask; ++i) {
      if (slots[i].value != nullptr) slots[i].value = tagged(slots[i].value);
    }
    strong = true;
    probeTotal = 0;
    for (std::size_t i = 0; i <= mask; ++i) {
      if (!isTagged(slots[i].value)) continue;
      Value* moving = untagged(slots[i].value);
      slots[i] = Slot{};
      while (moving != nullptr) {
        const std::uint64_t hash = strongHash(moving->key());
        std::size_t at = hash & mask;
        for (; slots[at].value != nullptr && !isTagged(slots[at].value); at = (at + 1) & mask) ++probeTotal;
        Value* const displaced = slots[at].value == nullptr ? nullptr : untagged(slots[at].value);
        slots[at] = Slot{hash, moving};
        moving = displaced;
      }
    }
  }

  // Only while rehashing in place, never dereferenced tagged: the cast is the tag's cost.
  static Value* tagged(Value* value) noexcept {
    return reinterpret_cast<Value*>(reinterpret_cast<std::uintptr_t>(value) | 1U);  // NOLINT(performance-no-int-to-ptr)
  }
  static Value* untagged(Value* value) noexcept {
    return reinterpret_cast<Value*>(  // NOLINT(performance-no-int-to-ptr)
        reinterpret_cast<std::uintptr_t>(value) & ~std::uintptr_t{1});
  }
  static bool isTagged(const Value* value) noexcept { return (reinterpret_cast<std::uintptr_t>(value) & 1U) != 0; }

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

  static constexpr Slot kNoSlot{};

  Hash fastHash;
  StrongHash strongHash;
  const Slot* table = &kNoSlot;  // a power of two of slots; one empty slot before the first add()
  std::size_t mask = 0;
  std::size_t count = 0;
  std::size_t probeTotal = 0;
  bool strong = false;
  std::unique_ptr<Slot[]> owned;
};

#endif  // VARNOLIX_KEYINDEX_H_
