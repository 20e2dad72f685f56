#include "safefilecreator.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <utility>

#include "error.h"

namespace {

// The reasons a key is refused; the header lists when each applies.
const char kNotPlainFileName[] = "not a plain file name";
const char kNotRegularFile[] = "not a regular file";
const char kInputFile[] = "it is the input file";
const char kStandardOutput[] = "it is standard output";
const char kOwnedByAnotherUser[] = "owned by another user in a shared folder";
const char kNotEmptied[] = "it could not be emptied";

// O_NOFOLLOW, O_NOCTTY and O_NONBLOCK: an entry that appears between a look and the open
// is neither followed, nor made the controlling terminal, nor waited on.
constexpr int kCreateFlags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
// A reopened file is only appended to: it was emptied when it was created.
constexpr int kReopenFlags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;

// A key too long to be a file name shows in messages as its first NAME_MAX bytes.
Error refusal(std::string_view key, std::string_view reason, std::string_view more = {}, std::string_view end = {}) {
  const bool cut = key.size() > NAME_MAX;
  return Error::of(
      {"Could not open output file '", key.substr(0, NAME_MAX), cut ? "..." : "", "': ", reason, more, end});
}

bool isPlainFileName(std::string_view key) {
  return !key.empty() && key != "." && key != ".." && key.find('/') == std::string_view::npos &&
         key.find('\0') == std::string_view::npos;
}

// Returns the name of the file open on `fd` when it lies in the current folder, else empty.
std::string_view nameInCurrentFolder(int fd, char (&path)[PATH_MAX], char (&folder)[PATH_MAX]) noexcept {
  char link[32];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t length = fd < 0 ? -1 : ::readlink(link, path, sizeof path - 1);
  if (length <= 0 || ::getcwd(folder, sizeof folder) == nullptr) return {};
  const std::string_view file(path, static_cast<std::size_t>(length));
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

Descriptor SafeFileCreator::create(std::string_view key, OpenFileCache& descriptors, FileIdentity& identity) {
  if (!isPlainFileName(key)) throw refusal(key, kNotPlainFileName);
  if (key.size() > NAME_MAX) throw refusal(key, std::strerror(ENAMETOOLONG));
  char name[NAME_MAX + 1];
  std::memcpy(name, key.data(), key.size());
  name[key.size()] = '\0';

  // The usual case, a name that does not exist yet, takes a single call: a file this call
  // creates is new, so no check can refuse it.
  Descriptor file = descriptors.open(name, kCreateFlags | O_EXCL);
  const bool existed = file.error() == EEXIST;
  struct stat status {};
  if (existed) {
    // A name that exists may be another spelling of a file guarded or created; a name
    // that is new cannot be, so this costs nothing in the usual case.
    refuseOtherSpelling(key);
    // Refuse what is visibly wrong before opening anything: opening a device or a FIFO
    // can have effects of its own.
    if (::lstat(name, &status) == 0) refuseIfUnsafe(key, status);
    file = descriptors.open(name, kCreateFlags);
  }
  if (!file.isOpen()) {
    const int error = file.error();
    throw refusal(key, error == ELOOP || error == EISDIR || error == ENXIO ? kNotRegularFile : std::strerror(error));
  }
  if (::fstat(file.get(), &status) != 0) throw refusal(key, std::strerror(errno));
  if (existed) refuseIfUnsafe(key, status);  // the entry may have changed since the look
  identity = FileIdentity::of(status);
  // Only a file with content is truncated: truncating an empty one can make its close
  // write back at once (docs/performance.md).
  return status.st_size > 0 ? empty(key, name, std::move(file), status, descriptors) : std::move(file);
}

Descriptor SafeFileCreator::empty(std::string_view key, const char* name, Descriptor file, const struct stat& status,
                                  OpenFileCache& descriptors) const {
  if (::ftruncate(file.get(), 0) != 0) throw refusal(key, std::strerror(errno));
  if (folderFileSystem.throughFuse()) {
    // What the truncating descriptor writes next may land in front of the old bytes
    // (fusefat): the file is written through a descriptor opened after the truncation.
    (void)file.close();
    int failure = 0;
    file = reopen(name, FileIdentity::of(status), descriptors, failure);
    if (!file.isOpen()) throw refusal(key, failure == kReplaced ? kNotRegularFile : std::strerror(failure));
  }
  struct stat emptied {};
  if (::fstat(file.get(), &emptied) != 0) throw refusal(key, std::strerror(errno));
  if (emptied.st_size != 0) throw refusal(key, kNotEmptied);
  return file;
}

void SafeFileCreator::refuseOtherSpelling(std::string_view key) const {
  if (!folderFileSystem.foldsNames()) return;
  FoldedName folded;
  const std::string_view name = FolderFileSystem::fold(key, folded);
  if (name == inputName.view()) throw refusal(key, kInputFile);
  if (name == narrationName.view()) throw refusal(key, kStandardOutput);
  if (const std::optional<std::string_view> first = createdUnder(key)) {
    throw refusal(key, "it is the same file as '", *first, "'");
  }
}

Descriptor SafeFileCreator::reopen(const char* key, const FileIdentity& identity, OpenFileCache& descriptors,
                                   int& failure) noexcept {
  struct stat status {};
  // Looked at before opening: opening a device or a FIFO can have effects of its own.
  if (::fstatat(AT_FDCWD, key, &status, AT_SYMLINK_NOFOLLOW) != 0) {
    failure = errno;
    return Descriptor();
  }
  if (!S_ISREG(status.st_mode) || !(FileIdentity::of(status) == identity)) {
    failure = kReplaced;
    return Descriptor();
  }
  Descriptor file = descriptors.open(key, kReopenFlags);
  if (!file.isOpen()) {
    const int error = file.error();
    failure = error == ELOOP || error == EISDIR || error == ENXIO ? kReplaced : error;
    return file;
  }
  // And again on what was opened: the name may have changed in between.
  if (::fstat(file.get(), &status) != 0) {
    failure = errno;
    return Descriptor();
  }
  if (!S_ISREG(status.st_mode) || !(FileIdentity::of(status) == identity)) {
    failure = kReplaced;
    return Descriptor();
  }
  failure = 0;
  return file;
}

void SafeFileCreator::refuseIfUnsafe(std::string_view key, const struct stat& status) const {
  if (!S_ISREG(status.st_mode)) throw refusal(key, kNotRegularFile);
  const FileIdentity identity = FileIdentity::of(status);
  if (identity == inputFile) throw refusal(key, kInputFile);
  if (identity == narrationFile) throw refusal(key, kStandardOutput);
  if (const std::optional<std::string_view> first = createdAs(identity)) {
    throw refusal(key, "it is the same file as '", *first, "'");
  }
  if (sharedFolder && status.st_uid != user && status.st_uid != folderOwner) throw refusal(key, kOwnedByAnotherUser);
}
