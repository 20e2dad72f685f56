#include "safefilecreator.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <utility>

namespace {

using Refusal = Failure::Refusal;

// O_NOFOLLOW, O_NOCTTY and O_NONBLOCK: an entry that appears between a look and the open
// is neither followed, nor made the controlling terminal, nor waited on.
constexpr int kCreateFlags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
// A reopened file is only appended to: it was emptied when it was created.
constexpr int kReopenFlags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;

bool isPlainFileName(std::string_view key) noexcept {
  return !key.empty() && key != "." && key != ".." && key.find('/') == std::string_view::npos &&
         key.find('\0') == std::string_view::npos;
}

// Whether an open() failed on something that is not a regular file: a link not followed,
// a folder, a FIFO or device that would have waited.
bool notRegular(int error) noexcept { return error == ELOOP || error == EISDIR || error == ENXIO; }

// Returns the name of the file open on `fd` when it lies in the current folder, else empty.
std::string_view nameInCurrentFolder(int fd, char (&target)[PATH_MAX], char (&folder)[PATH_MAX]) noexcept {
  char link[32];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t length = fd < 0 ? -1 : ::readlink(link, target, sizeof target - 1);
  if (length <= 0 || ::getcwd(folder, sizeof folder) == nullptr) return {};
  const std::string_view file(target, static_cast<std::size_t>(length));
  const std::size_t slash = file.rfind('/');
  if (slash == std::string_view::npos || file.substr(0, slash) != std::string_view(folder)) return {};
  return file.substr(slash + 1);
}

}  // namespace

SafeFileCreator::SafeFileCreator(const GuardedFiles& guarded, const FolderFileSystem& folder, CreatedAs created,
                                 CreatedUnder createdUnderName)
    : inputFile(guarded.input),
      narrationFile(guarded.standardOutput),
      folderFileSystem(folder),
      createdAs(std::move(created)),
      createdUnder(std::move(createdUnderName)),
      user(::geteuid()) {
  struct stat status {};
  if (::stat(".", &status) == 0) {
    sharedFolder = (status.st_mode & S_ISVTX) != 0 && (status.st_mode & S_IWOTH) != 0;
    folderOwner = status.st_uid;
  }
  if (!folderFileSystem.foldsNames()) return;
  if (guarded.inputName.size() <= NAME_MAX) FolderFileSystem::fold(guarded.inputName, inputName);
  char path[PATH_MAX];
  char current[PATH_MAX];
  const std::string_view narration = nameInCurrentFolder(guarded.standardOutputDescriptor, path, current);
  if (!narration.empty() && narration.size() <= NAME_MAX) FolderFileSystem::fold(narration, narrationName);
}

Failure SafeFileCreator::checkName(std::string_view key) noexcept {
  if (!isPlainFileName(key)) return Failure::refusedKey(Refusal::kNotPlainFileName);
  if (key.size() > NAME_MAX) return Failure::ofKey(Failure::How::kCreate, ENAMETOOLONG);
  return Failure();
}

SafeFileCreator::Created SafeFileCreator::create(std::string_view key, OpenFileCache& descriptors) const noexcept {
  Created created;
  created.failure = checkName(key);
  if (created.failure) return created;
  char name[NAME_MAX + 1];
  std::memcpy(name, key.data(), key.size());
  name[key.size()] = '\0';

  // The usual case, a name that does not exist yet, takes a single call: a file this call
  // creates is new, so no check can refuse it.
  created.descriptor = descriptors.open(name, kCreateFlags | O_EXCL);
  const bool existed = created.descriptor.error() == EEXIST;
  struct stat status {};
  if (existed) {
    // A name that exists may be another spelling of a file guarded or created; a name
    // that is new cannot be, so this costs nothing in the usual case.
    created.failure = refusalOfOtherSpelling(key);
    // Refuse what is visibly wrong before opening anything: opening a device or a FIFO
    // can have effects of its own.
    if (!created.failure && ::lstat(name, &status) == 0) created.failure = refusalOf(status);
    if (created.failure) return created;
    created.descriptor = descriptors.open(name, kCreateFlags);
  }
  if (!created.descriptor.isOpen()) {
    const int error = created.descriptor.error();
    created.failure = notRegular(error) ? Failure::refusedKey(Refusal::kNotRegularFile)
                                        : Failure::ofKey(Failure::How::kCreate, error);
    return created;
  }
  if (::fstat(created.descriptor.get(), &status) != 0) {
    created.failure = Failure::ofKey(Failure::How::kCreate, errno);
  } else if (existed) {
    created.failure = refusalOf(status);  // the entry may have changed since the look
  }
  if (created.failure) return created;
  created.identity = FileIdentity::of(status);
  // Only a file with content is truncated: truncating an empty one can make its close
  // write back at once (docs/performance.md).
  if (status.st_size > 0) empty(name, status, descriptors, created);
  return created;
}

void SafeFileCreator::empty(const char* name, const struct stat& status, OpenFileCache& descriptors,
                            Created& created) const noexcept {
  if (::ftruncate(created.descriptor.get(), 0) != 0) {
    created.failure = Failure::ofKey(Failure::How::kCreate, errno);
    return;
  }
  if (folderFileSystem.throughFuse()) {
    // What the truncating descriptor writes next may land in front of the old bytes
    // (fusefat): the file is written through a descriptor opened after the truncation.
    (void)created.descriptor.close();
    Failure failure;
    created.descriptor = reopen(0, name, FileIdentity::of(status), descriptors, failure);
    if (failure) {
      created.failure = failure.how() == Failure::How::kReplaced
                            ? Failure::refusedKey(Refusal::kNotRegularFile)
                            : Failure::ofKey(Failure::How::kCreate, failure.error());
      return;
    }
  }
  struct stat emptied {};
  if (::fstat(created.descriptor.get(), &emptied) != 0) {
    created.failure = Failure::ofKey(Failure::How::kCreate, errno);
  } else if (emptied.st_size != 0) {
    created.failure = Failure::refusedKey(Refusal::kNotEmptied);
  }
}

Failure SafeFileCreator::refusalOfOtherSpelling(std::string_view key) const noexcept {
  if (!folderFileSystem.foldsNames()) return Failure();
  FoldedName folded;
  const std::string_view name = FolderFileSystem::fold(key, folded);
  if (name == inputName.view()) return Failure::refusedKey(Refusal::kInputFile);
  if (name == narrationName.view()) return Failure::refusedKey(Refusal::kStandardOutput);
  if (const std::optional<std::uint32_t> first = createdUnder(key)) {
    return Failure::refusedKey(Refusal::kSameFileAs, *first);
  }
  return Failure();
}

Descriptor SafeFileCreator::reopen(std::uint32_t number, const char* key, const FileIdentity& identity,
                                   OpenFileCache& descriptors, Failure& failure) noexcept {
  struct stat status {};
  const Failure replaced = Failure::ofFile(number, Failure::How::kReplaced);
  // Looked at before opening: opening a device or a FIFO can have effects of its own.
  if (::fstatat(AT_FDCWD, key, &status, AT_SYMLINK_NOFOLLOW) != 0) {
    failure = Failure::ofFile(number, Failure::How::kReopen, errno);
    return Descriptor();
  }
  if (!S_ISREG(status.st_mode) || !(FileIdentity::of(status) == identity)) {
    failure = replaced;
    return Descriptor();
  }
  Descriptor file = descriptors.open(key, kReopenFlags);
  if (!file.isOpen()) {
    const int error = file.error();
    failure = notRegular(error) ? replaced : Failure::ofFile(number, Failure::How::kReopen, error);
    return file;
  }
  // And again on what was opened: the name may have changed in between.
  if (::fstat(file.get(), &status) != 0) {
    failure = Failure::ofFile(number, Failure::How::kReopen, errno);
    return Descriptor();
  }
  if (!S_ISREG(status.st_mode) || !(FileIdentity::of(status) == identity)) {
    failure = replaced;
    return Descriptor();
  }
  return file;
}

Failure SafeFileCreator::refusalOf(const struct stat& status) const noexcept {
  if (!S_ISREG(status.st_mode)) return Failure::refusedKey(Refusal::kNotRegularFile);
  const FileIdentity identity = FileIdentity::of(status);
  if (identity == inputFile) return Failure::refusedKey(Refusal::kInputFile);
  if (identity == narrationFile) return Failure::refusedKey(Refusal::kStandardOutput);
  if (const std::optional<std::uint32_t> first = createdAs(identity)) {
    return Failure::refusedKey(Refusal::kSameFileAs, *first);
  }
  if (sharedFolder && status.st_uid != user && status.st_uid != folderOwner) {
    return Failure::refusedKey(Refusal::kOwnedByAnotherUser);
  }
  return Failure();
}
