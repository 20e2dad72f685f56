#ifndef VARNOLIX_KEYSTORE_H_
#define VARNOLIX_KEYSTORE_H_

#include <cassert>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

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
    assert(!blocks.empty() && used + key.size() + 1 <= kBlockSize && "reserve() first");
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

#endif  // VARNOLIX_KEYSTORE_H_
