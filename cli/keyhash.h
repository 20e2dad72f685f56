#ifndef VARNOLIX_KEYHASH_H_
#define VARNOLIX_KEYHASH_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

/// The secret of a run's key hashes: drawn per run, so that nobody who knows the code can
/// pick keys that collide; fixed by tests and fuzzers so that runs repeat.
struct HashSeed {
  std::uint64_t k0 = 0;
  std::uint64_t k1 = 0;

  /// Returns a seed from the system's random source (getrandom without waiting), or, when
  /// it has none yet, one mixed from the clock, the process number and the address layout.
  static HashSeed random() noexcept;
};

/// The fast hash of KeyIndex: keys are short and hashed once per line, so it takes eight
/// bytes at a time and never loops over single bytes. Seeded, but not strong enough against
/// keys crafted with its code at hand: KeyIndex watches its probe lengths and moves to
/// SipHash when they grow.
struct KeyHash {
  explicit KeyHash(HashSeed seed) noexcept : start(seed.k0) {}

  std::uint64_t operator()(std::string_view key) const noexcept {
    constexpr std::uint64_t kMultiplier = 0x9E3779B97F4A7C15ULL;
    std::uint64_t hash = start ^ (key.size() * kMultiplier);
    const char* next = key.data();
    std::size_t remaining = key.size();
    for (; remaining >= 8; remaining -= 8, next += 8) {
      std::uint64_t word;
      std::memcpy(&word, next, 8);
      hash = (hash ^ word) * kMultiplier;
      hash ^= hash >> 29;
    }
    // The last 1 to 7 bytes as whole loads (two overlapping ones, or three single bytes),
    // never assembled byte by byte in memory.
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

  std::uint64_t start;
};

/// SipHash-1-3 keyed by the run's seed: a keyed hash without known collisions that hold
/// whatever the key, for when keys were chosen to collide under KeyHash.
struct SipHash13 {
  explicit SipHash13(HashSeed seed) noexcept : k0(seed.k0), k1(seed.k1) {}

  std::uint64_t operator()(std::string_view key) const noexcept;

  std::uint64_t k0;
  std::uint64_t k1;
};

#endif  // VARNOLIX_KEYHASH_H_
