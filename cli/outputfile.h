#ifndef VARNOLIX_OUTPUTFILE_H_
#define VARNOLIX_OUTPUTFILE_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

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

static_assert(sizeof(OutputFile) == 32 && alignof(OutputFile) == 32,
              "half a cache line, aligned to it: finding a file and noting its line touch one line of memory");

#endif  // VARNOLIX_OUTPUTFILE_H_
