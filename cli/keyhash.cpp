#include "keyhash.h"

#include <sys/random.h>
#include <unistd.h>

#include <ctime>

namespace {

std::uint64_t rotate(std::uint64_t word, int bits) noexcept { return (word << bits) | (word >> (64 - bits)); }

void sipRound(std::uint64_t& v0, std::uint64_t& v1, std::uint64_t& v2, std::uint64_t& v3) noexcept {
  v0 += v1;
  v1 = rotate(v1, 13);
  v1 ^= v0;
  v0 = rotate(v0, 32);
  v2 += v3;
  v3 = rotate(v3, 16);
  v3 ^= v2;
  v0 += v3;
  v3 = rotate(v3, 21);
  v3 ^= v0;
  v2 += v1;
  v1 = rotate(v1, 17);
  v1 ^= v2;
  v2 = rotate(v2, 32);
}

// splitmix64: spreads a weak source of randomness over all bits.
std::uint64_t mixed(std::uint64_t word) noexcept {
  word += 0x9E3779B97F4A7C15ULL;
  word = (word ^ (word >> 30)) * 0xBF58476D1CE4E5B9ULL;
  word = (word ^ (word >> 27)) * 0x94D049BB133111EBULL;
  return word ^ (word >> 31);
}

}  // namespace

HashSeed HashSeed::random() noexcept {
  HashSeed seed;
  if (::getrandom(&seed, sizeof seed, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof seed)) return seed;
  // No entropy yet (early boot): the clock, the process and where the system put the stack.
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  const auto stackAddress = reinterpret_cast<std::uintptr_t>(&now);
  seed.k0 = mixed(static_cast<std::uint64_t>(now.tv_nsec) ^ (static_cast<std::uint64_t>(now.tv_sec) << 30) ^
                  static_cast<std::uint64_t>(::getpid()));
  seed.k1 = mixed(seed.k0 ^ stackAddress);
  return seed;
}

std::uint64_t SipHash13::operator()(std::string_view key) const noexcept {
  std::uint64_t v0 = 0x736F6D6570736575ULL ^ k0;
  std::uint64_t v1 = 0x646F72616E646F6DULL ^ k1;
  std::uint64_t v2 = 0x6C7967656E657261ULL ^ k0;
  std::uint64_t v3 = 0x7465646279746573ULL ^ k1;
  const char* next = key.data();
  std::size_t remaining = key.size();
  for (; remaining >= 8; remaining -= 8, next += 8) {
    std::uint64_t word;
    std::memcpy(&word, next, 8);
    v3 ^= word;
    sipRound(v0, v1, v2, v3);
    v0 ^= word;
  }
  std::uint64_t last = static_cast<std::uint64_t>(key.size()) << 56;
  for (std::size_t i = 0; i < remaining; ++i) last |= std::uint64_t{static_cast<unsigned char>(next[i])} << (8 * i);
  v3 ^= last;
  sipRound(v0, v1, v2, v3);
  v0 ^= last;
  v2 ^= 0xFF;
  sipRound(v0, v1, v2, v3);
  sipRound(v0, v1, v2, v3);
  sipRound(v0, v1, v2, v3);
  return v0 ^ v1 ^ v2 ^ v3;
}
