#ifndef VARNOLIX_FAILURE_H_
#define VARNOLIX_FAILURE_H_

#include <cassert>
#include <cstdint>
#include <string_view>

#include "error.h"

/// A failure of the output side: what failed, how, and why. Every unit of the output side
/// reports its failures in this one form, from where they happen to where they are
/// reported; toError() turns one into the Error the user reads, and holds every message
/// text (README.md, "Failures it guards against", lists them). A value of 16 bytes; nothing
/// here throws.
class Failure {
 public:
  /// What failed.
  enum class What : std::uint8_t {
    kNothing,
    kKey,       // a key whose file could not be had; the caller knows its name
    kFile,      // a file of the run, by its number
    kSetAside,  // the lines set aside
  };

  /// How it failed.
  enum class How : std::uint8_t {
    kNone,
    kRefused,   // a key: its file may not be written (see Refusal)
    kCreate,    // a key: creating its file failed; the lines set aside: their file
    kNoMemory,  // a key: no memory for it
    kWrite,     // a file, or the lines set aside
    kReopen,    // a file closed to make room could not be opened again
    kReplaced,  // a file: something else stands under its name
    kClose,     // a file
    kReadBack,  // the lines set aside
  };

  /// Why a key is refused.
  enum class Refusal : std::uint8_t {
    kNone,
    kNotPlainFileName,
    kNotRegularFile,
    kInputFile,
    kStandardOutput,
    kSameFileAs,  // as the file sameAs()
    kOwnedByAnotherUser,
    kNotEmptied,
  };

  /// No failure.
  constexpr Failure() noexcept = default;

  static constexpr Failure refusedKey(Refusal why, std::uint32_t sameAsFile = 0) noexcept {
    return Failure(What::kKey, How::kRefused, 0, 0, why, sameAsFile);
  }
  static constexpr Failure ofKey(How how, int error) noexcept { return Failure(What::kKey, how, error); }
  static constexpr Failure ofFile(std::uint32_t file, How how, int error = 0) noexcept {
    return Failure(What::kFile, how, error, file);
  }
  static constexpr Failure ofSetAside(How how, int error) noexcept { return Failure(What::kSetAside, how, error); }

  /// Returns whether this is a failure at all.
  constexpr explicit operator bool() const noexcept { return subject != What::kNothing; }

  constexpr What what() const noexcept { return subject; }
  constexpr How how() const noexcept { return way; }
  /// The errno value, or 0 where the failure is not the system's (a refusal, a replaced file).
  constexpr int error() const noexcept { return errorNumber; }
  /// The file that failed; requires what() == What::kFile.
  constexpr std::uint32_t file() const noexcept {
    assert(subject == What::kFile);
    return failedFile;
  }
  constexpr Refusal refusal() const noexcept { return why; }
  /// The file a refused key reaches already; requires refusal() == Refusal::kSameFileAs.
  constexpr std::uint32_t sameAs() const noexcept {
    assert(why == Refusal::kSameFileAs);
    return sameAsFile;
  }

  /// Returns the Error the user reads. `key` is the key that failed (for a file, its key),
  /// `sameAsKey` the key of sameAs(), `setAsideFolder` where lines were set aside (null: the
  /// output folder). Never fails for lack of memory (see Error::of). Requires a failure.
  Error toError(std::string_view key, std::string_view sameAsKey, const char* setAsideFolder) const noexcept;

 private:
  constexpr Failure(What what, How how, int error, std::uint32_t file = 0, Refusal refusal = Refusal::kNone,
                    std::uint32_t sameAs = 0) noexcept
      : failedFile(file), sameAsFile(sameAs), errorNumber(error), subject(what), way(how), why(refusal) {}

  std::uint32_t failedFile = 0;
  std::uint32_t sameAsFile = 0;
  int errorNumber = 0;
  What subject = What::kNothing;
  How way = How::kNone;
  Refusal why = Refusal::kNone;
};

static_assert(sizeof(Failure) == 16, "a failure travels by value");

#endif  // VARNOLIX_FAILURE_H_
