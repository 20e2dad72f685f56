// The key index alone: every added key is found and no other, while the table grows from
// sparse to dense, for keys of every length the comparison treats apart, bytes above 0x7F,
// and hashes injected to collide.

#include "keyindex.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "failing_allocation.h"
#include "test_support.h"

namespace {

struct Named {
  std::string name;
  std::string_view key() const { return name; }
};

constexpr HashSeed kSeed{0x0123456789ABCDEFULL, 0xFEDCBA9876543210ULL};

// Every key of one length collides, so key comparison alone tells them apart.
struct LengthHash {
  explicit LengthHash(HashSeed) {}
  std::uint64_t operator()(std::string_view key) const noexcept { return key.size(); }
};

// Every key collides: one probe chain through the whole table.
struct ConstantHash {
  explicit ConstantHash(HashSeed) {}
  std::uint64_t operator()(std::string_view) const noexcept { return 7; }
};

// After a move to it, every key starts at slot 0 but one, whose first slot lies far apart:
// placing that one leaves its old slot free, inside the others' chain.
struct AllButOneAtZeroHash {
  explicit AllButOneAtZeroHash(HashSeed) {}
  std::uint64_t operator()(std::string_view key) const noexcept { return key == "key15" ? 100 : 0; }
};

using Keys = std::vector<std::string>;

// Keys whose lookups can only fail if the index is wrong: a key, then the same key with one
// byte changed, one byte more or one byte less.
Keys lookalikes(const Keys& added) {
  const std::set<std::string> present(added.begin(), added.end());
  Keys absent;
  for (const std::string& key : added) {
    std::string changed = key;
    if (!changed.empty()) changed.back() = static_cast<char>(changed.back() ^ 0x01);
    for (const std::string& candidate : {changed, key + "\x80", key.substr(0, key.empty() ? 0 : key.size() - 1)}) {
      if (present.count(candidate) == 0) absent.push_back(candidate);
    }
  }
  return absent;
}

template <class Hash>
std::size_t distinctHashes(const Keys& keys) {
  std::set<std::uint64_t> hashes;
  for (const std::string& key : keys) hashes.insert(Hash(kSeed)(key));
  return hashes.size();
}

// Adds `keys` one by one, checking after each doubling that every key added so far is
// found as itself and that no lookalike is found.
// What adding and finding keys cost the index, and which hash it ended with.
struct IndexStats {
  std::size_t probeDistance;  // summed over all keys: probes beyond the first
  bool strongHash;
};

// Adds `keys` one by one, checking after each doubling that every key added so far is
// found as itself and that no lookalike is found. An injected hash that collides stays in
// use: the index moves to its strong hash on long probes, here the same colliding one.
// With `kNoMemoryWhileAdding`, memory runs out in every add(), so that moving to the strong
// hash must reuse the table it has.
template <class Hash, class StrongHash = Hash, bool kNoMemoryWhileAdding = false>
IndexStats addAndFind(const Keys& keys) {
  std::deque<Named> values;  // stable addresses
  KeyIndex<Named, Hash, StrongHash> index(kSeed);
  const Keys absent = lookalikes(keys);
  for (std::size_t added = 0; added < keys.size(); ++added) {
    EXPECT_EQ(index.find(keys[added]), nullptr) << "found before it was added: " << keys[added];
    values.push_back(Named{keys[added]});
    index.reserveOneMore();
    const bool wasStrong = index.usesStrongHash();
    if (kNoMemoryWhileAdding) {
      const failing_allocation::NoMemory noMemory;
      index.add(values.back());
    } else {
      index.add(values.back());
    }
    // Checked at 2^n - 1, at the end, and right after a move to the strong hash (the next
    // growth would place every key afresh).
    const bool moved = !wasStrong && index.usesStrongHash();
    if (!moved && (added & (added + 1)) != 0 && added + 1 != keys.size()) continue;
    for (std::size_t i = 0; i <= added; ++i) EXPECT_EQ(index.find(keys[i]), &values[i]) << keys[i];
  }
  EXPECT_EQ(index.size(), keys.size());
  for (const std::string& key : absent) EXPECT_EQ(index.find(key), nullptr) << "found: " << key;
  return IndexStats{index.totalProbeDistance(), index.usesStrongHash()};
}

Keys numberedKeys(int count) {
  Keys keys;
  for (int i = 0; i < count; ++i) keys.push_back("key" + std::to_string(i));
  return keys;
}

// For each length from 0 to 20, a key and its variants with one byte changed, so that the
// comparison of every length and every position is exercised.
Keys everyLengthAndPosition() {
  Keys keys;
  for (std::size_t length = 0; length <= 20; ++length) {
    const std::string base(length, 'a');
    keys.push_back(base);
    for (std::size_t at = 0; at < length; ++at) {
      std::string variant = base;
      variant[at] = 'b';
      keys.push_back(variant);
    }
  }
  return keys;
}

Keys highBytes() {
  Keys keys;
  for (int byte = 0x7F; byte <= 0xFF; ++byte) {
    keys.push_back(std::string(1, static_cast<char>(byte)));
    keys.push_back("k" + std::string(6, static_cast<char>(byte)) + "\xe4\xf6");
  }
  return keys;
}

struct IndexCase {
  const char* name;
  Keys keys;
  IndexStats (*check)(const Keys&);
  std::size_t (*hashes)(const Keys&);  // the distinct hashes of the keys
  std::size_t mostHashes;              // at most this many: the keys must collide as meant
  bool strongHash;                     // whether the index must end with its strong hash
  bool fewProbes;                      // whether the keys must then cost few probes
};

void PrintTo(const IndexCase& c, std::ostream* os) { *os << c.name; }

class KeyIndexTest : public ::testing::TestWithParam<IndexCase> {};

TEST_P(KeyIndexTest, FindsEveryAddedKeyAndNoOther) {
  const IndexCase& c = GetParam();
  if (c.hashes != nullptr) {
    EXPECT_LE(c.hashes(c.keys), c.mostHashes) << "the keys must collide as the case means";
  }
  const IndexStats stats = c.check(c.keys);
  EXPECT_EQ(stats.strongHash, c.strongHash);
  // However the keys were chosen, finding each of them costs under two extra probes on
  // average once the index has the hash it ends with, unless a test made that one collide.
  if (c.fewProbes) {
    EXPECT_LE(stats.probeDistance, 2 * c.keys.size());
  }
}

template <class Hash>
std::size_t hashesUnderTwoSeeds(const Keys& keys) {
  std::set<std::uint64_t> hashes;
  for (const std::string& key : keys) {
    hashes.insert(Hash(kSeed)(key));
    hashes.insert(Hash(HashSeed{kSeed.k1, kSeed.k0})(key));
  }
  return hashes.size();
}

INSTANTIATE_TEST_SUITE_P(
    KeyIndex, KeyIndexTest,
    ::testing::Values(
        // Sparse while small, then half full: crosses every growth step, with the fast hash.
        IndexCase{"GrowsFromSparseToDense", numberedKeys(20000), addAndFind<KeyHash, SipHash13>, nullptr, 0, false,
                  true},
        IndexCase{"EveryLengthUpTo20", everyLengthAndPosition(), addAndFind<KeyHash, SipHash13>, nullptr, 0, false,
                  true},
        IndexCase{"EveryLengthUpTo20Colliding", everyLengthAndPosition(), addAndFind<LengthHash>,
                  distinctHashes<LengthHash>, 21, true, false},
        IndexCase{"BytesAbove0x7F", highBytes(), addAndFind<KeyHash, SipHash13>, nullptr, 0, false, true},
        IndexCase{"BytesAbove0x7FColliding", highBytes(), addAndFind<LengthHash>, distinctHashes<LengthHash>, 2, true,
                  false},
        IndexCase{"AllInOneProbeChain", numberedKeys(600), addAndFind<ConstantHash>, distinctHashes<ConstantHash>, 1,
                  true, false},
        // Keys chosen against the fast hash: the index moves to SipHash, keyed by the seed.
        IndexCase{"CraftedAgainstTheFastHash", testing_support::keysCollidingUnderKeyHash(),
                  addAndFind<KeyHash, SipHash13>, hashesUnderTwoSeeds<KeyHash>, 2, true, true},
        // The same, with no memory for a new table: the index rehashes in place.
        IndexCase{"CraftedWithoutMemoryForANewTable", testing_support::keysCollidingUnderKeyHash(),
                  addAndFind<KeyHash, SipHash13, true>, hashesUnderTwoSeeds<KeyHash>, 2, true, true},
        IndexCase{"OneProbeChainWithoutMemoryForANewTable", numberedKeys(600),
                  addAndFind<ConstantHash, LengthHash, true>, distinctHashes<ConstantHash>, 1, true, false},
        IndexCase{"ChainKeptWhenOneKeyMovesApartInPlace", numberedKeys(40),
                  addAndFind<ConstantHash, AllButOneAtZeroHash, true>, distinctHashes<ConstantHash>, 1, true, false}),
    testing_support::CaseName());

}  // namespace
