#include "safefilecreator.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "error.h"

namespace {

// The reasons a key is refused; the header lists when each applies.
const char kNotPlainFileName[] = "not a plain file name";
const char kNotRegularFile[] = "not a regular file";
const char kInputFile[] = "it is the input file";
const char kStandardOutput[] = "it is standard output";
const char kSameFileAs[] = "it is the same file as '";
const char kOwnedByAnotherUser[] = "owned by another user in a shared folder";

// O_NOFOLLOW and O_NONBLOCK: an entry that appears between a look and the open is
// neither followed nor waited on.
constexpr int kCreateFlags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

Error refusal(const std::string& key, const std::string& reason) {
  return Error("Could not open output file '" + key + "': " + reason);
}

bool isPlainFileName(std::string_view key) {
  return !key.empty() && key != "." && key != ".." && key.find('/') == std::string_view::npos &&
         key.find('\0') == std::string_view::npos;
}

}  // namespace

SafeFileCreator::SafeFileCreator(const FileIdentity& input, const std::optional<FileIdentity>& standardOutput)
    : inputFile(input), narrationFile(standardOutput), user(::geteuid()) {
  struct stat folder {};
  if (::stat(".", &folder) == 0) {
    sharedFolder = (folder.st_mode & S_ISVTX) != 0 && (folder.st_mode & S_IWOTH) != 0;
    folderOwner = folder.st_uid;
  }
}

Descriptor SafeFileCreator::create(const std::string& key, OpenFileCache& descriptors) {
  if (!isPlainFileName(key)) throw refusal(key, kNotPlainFileName);

  // The usual case, a name that does not exist yet, takes a single call: a file this call
  // creates is new, so no check can refuse it.
  Descriptor file = descriptors.open(key, kCreateFlags | O_EXCL);
  const bool existed = file.error() == EEXIST;
  struct stat status {};
  if (existed) {
    // Refuse what is visibly wrong before opening anything: opening a device or a FIFO
    // can have effects of its own.
    if (::lstat(key.c_str(), &status) == 0) refuseIfUnsafe(key, status);
    file = descriptors.open(key, kCreateFlags);
  }
  if (!file.isOpen()) {
    const int error = file.error();
    throw refusal(key, error == ELOOP || error == EISDIR || error == ENXIO ? kNotRegularFile : std::strerror(error));
  }
  if (::fstat(file.get(), &status) != 0) throw refusal(key, std::strerror(errno));
  if (existed) refuseIfUnsafe(key, status);  // the entry may have changed since the look
  // Only a file with content is truncated: on ext4, truncating even an empty file makes
  // its close start writeback at once, a disk round trip per key.
  if (status.st_size > 0 && ::ftruncate(file.get(), 0) != 0) throw refusal(key, std::strerror(errno));
  createdFiles.emplace(FileIdentity::of(status), key);
  return file;
}

void SafeFileCreator::refuseIfUnsafe(const std::string& key, const struct stat& status) const {
  if (!S_ISREG(status.st_mode)) throw refusal(key, kNotRegularFile);
  const FileIdentity identity = FileIdentity::of(status);
  if (identity == inputFile) throw refusal(key, kInputFile);
  if (identity == narrationFile) throw refusal(key, kStandardOutput);
  const auto owner = createdFiles.find(identity);
  if (owner != createdFiles.end()) throw refusal(key, kSameFileAs + owner->second + "'");
  if (sharedFolder && status.st_uid != user && status.st_uid != folderOwner) throw refusal(key, kOwnedByAnotherUser);
}
