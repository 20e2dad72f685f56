#include "failure.h"

#include <cassert>
#include <climits>
#include <cstring>

namespace {

const char* refusalText(Failure::Refusal refusal) noexcept {
  switch (refusal) {
    case Failure::Refusal::kNotPlainFileName:
      return "not a plain file name";
    case Failure::Refusal::kNotRegularFile:
      return "not a regular file";
    case Failure::Refusal::kInputFile:
      return "it is the input file";
    case Failure::Refusal::kStandardOutput:
      return "it is standard output";
    case Failure::Refusal::kSameFileAs:
      return "it is the same file as '";
    case Failure::Refusal::kOwnedByAnotherUser:
      return "owned by another user in a shared folder";
    case Failure::Refusal::kNotEmptied:
      return "it could not be emptied";
    case Failure::Refusal::kNone:
      break;
  }
  return "";
}

// A key that cannot be made a file: shown by its first NAME_MAX bytes, since a key too long
// to be a file name may be far longer still.
Error keyError(std::string_view key, const char* reason, std::string_view sameAsKey, bool sameAs) noexcept {
  const bool cut = key.size() > NAME_MAX;
  return Error::of({"Could not open output file '", key.substr(0, NAME_MAX), cut ? "..." : "", "': ", reason,
                    sameAs ? sameAsKey : "", sameAs ? "'" : ""});
}

}  // namespace

Error Failure::toError(std::string_view key, std::string_view sameAsKey, const char* setAsideFolder) const noexcept {
  assert(subject != What::kNothing && "a failure to report");
  switch (subject) {
    case What::kKey:
      if (way == How::kNoMemory) return Error::of({"Could not write output file '", key, "': ", std::strerror(ENOMEM)});
      if (way == How::kRefused) return keyError(key, refusalText(why), sameAsKey, why == Refusal::kSameFileAs);
      return keyError(key, std::strerror(errorNumber), {}, false);
    case What::kFile:
      return Error::of({"Could not write output file '", key,
                        "': ", way == How::kReplaced ? "it was replaced during the run" : std::strerror(errorNumber)});
    case What::kSetAside:
      return Error::of({"Could not read temporary data in ", setAsideFolder != nullptr ? "'" : "the output folder",
                        setAsideFolder != nullptr ? setAsideFolder : "", setAsideFolder != nullptr ? "'" : "", ": ",
                        std::strerror(errorNumber)});
    case What::kNothing:
      break;
  }
  return Error::of({"No failure"});
}
