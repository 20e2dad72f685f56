#ifndef VARNOLIX_FOLDERFILESYSTEM_H_
#define VARNOLIX_FOLDERFILESYSTEM_H_

#include <climits>
#include <cstddef>
#include <string_view>

#include "foldedname.h"

/// What the current folder's file system is known to bend, learned once, before anything is
/// created there:
///   - whether it takes names that differ in case for one file (FAT and exFAT, NTFS mounted
///     with ignore_case, SMB shares). Some of these give each spelling of a name its own
///     inode number (FAT and exFAT through FUSE), so that device and inode cannot tell that
///     two names reach one file; names are then compared as the file system compares them.
///   - whether it is reached through FUSE, where a file truncated through a descriptor can
///     keep its old bytes behind what that descriptor writes next (fusefat): a truncated file
///     is opened again before it is written.
/// Learning costs a statfs(), an lstat() of the input under another case and, only when that
/// finds a file of another inode, one listing of the folder. Copyable; never throws.
class FolderFileSystem {
 public:
  FolderFileSystem() noexcept = default;

  /// Looks at the current folder, in which `inputName`, a name without '/', exists. A name
  /// without letters, or with '/', tells nothing: names are then taken as unfolded.
  static FolderFileSystem ofCurrentFolder(std::string_view inputName) noexcept;

  /// Returns whether two names that differ in case may reach one file here.
  bool foldsNames() const noexcept { return folds; }

  /// Returns whether the folder is reached through FUSE.
  bool throughFuse() const noexcept { return fuse; }

  /// Returns `name` (at most NAME_MAX bytes) as a file system that folds case compares it,
  /// in `into`: each character of UTF-8 in upper case, other bytes as they are. Folds a
  /// little more than FAT and exFAT do (title case and a few scripts they leave alone), never
  /// less, so that no two names they take for one file compare unequal.
  static std::string_view fold(std::string_view name, FoldedName& into) noexcept;

 private:
  bool folds = false;
  bool fuse = false;
};

#endif  // VARNOLIX_FOLDERFILESYSTEM_H_
