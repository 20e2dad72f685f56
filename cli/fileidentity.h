#ifndef VARNOLIX_FILEIDENTITY_H_
#define VARNOLIX_FILEIDENTITY_H_

#include <sys/stat.h>

#include <cstddef>
#include <functional>
#include <optional>

/// Names one file on the system regardless of the path it was reached by: two paths
/// (hard links, or names a case-insensitive file system folds together) lead to the
/// same file exactly when their identities are equal.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;

  /// Returns the identity of the file that `status` (from stat, lstat or fstat) describes.
  static FileIdentity of(const struct stat& status) noexcept { return FileIdentity{status.st_dev, status.st_ino}; }

  /// Returns the identity of the file `path` leads to (following symbolic links), if any.
  static std::optional<FileIdentity> ofPath(const char* path) noexcept {
    struct stat status {};
    return ::stat(path, &status) == 0 ? std::optional<FileIdentity>(of(status)) : std::nullopt;
  }

  /// Returns the identity of the file open on descriptor `fd`, if any.
  static std::optional<FileIdentity> ofDescriptor(int fd) noexcept {
    struct stat status {};
    return ::fstat(fd, &status) == 0 ? std::optional<FileIdentity>(of(status)) : std::nullopt;
  }

  friend bool operator==(const FileIdentity& a, const FileIdentity& b) noexcept {
    return a.device == b.device && a.inode == b.inode;
  }
};

/// Hash for unordered containers keyed by FileIdentity.
struct FileIdentityHash {
  std::size_t operator()(const FileIdentity& id) const noexcept {
    const std::size_t h = std::hash<unsigned long long>()(static_cast<unsigned long long>(id.inode));
    return h ^ (std::hash<unsigned long long>()(static_cast<unsigned long long>(id.device)) * 0x9E3779B97F4A7C15ULL);
  }
};

#endif  // VARNOLIX_FILEIDENTITY_H_
