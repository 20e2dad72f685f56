#ifndef VARNOLIX_SAFEFILECREATOR_H_
#define VARNOLIX_SAFEFILECREATOR_H_

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string_view>

#include "descriptor.h"
#include "fileidentity.h"
#include "folderfilesystem.h"
#include "openfilecache.h"

/// The files a run must never write as its own: the input, with the name it was opened by in
/// the current folder, and the file standard output goes to, if it is one.
struct GuardedFiles {
  FileIdentity input;
  std::string_view inputName;
  std::optional<FileIdentity> standardOutput;
  int standardOutputDescriptor = -1;  // where the narration goes, to learn its name by
};

/// Creates the file of a key in the current folder, emptied, after making sure that writing
/// it harms nothing, and opens it again later only if it is still the file it created. A key
/// is refused, with the Error "Could not open output file '<key>': <reason>", when it is
///   - "not a plain file name": empty, ".", "..", or holding '/' or a NUL byte (a key is
///     never used as a path);
///   - "File name too long": longer than a file name can be (NAME_MAX), which is found
///     before the key is copied anywhere; the message shows its first NAME_MAX bytes and
///     "...";
///   - "not a regular file": an existing symbolic link, folder, FIFO, socket or device,
///     which is neither followed nor waited on;
///   - "it is the input file": the file being read, under any name (a hard link, or another
///     spelling where the folder's file system folds case);
///   - "it is standard output": the file the narration goes to (varnolix > key);
///   - "it is the same file as '<first key>'": a file this run already writes under another
///     key (hard links, or names a case-insensitive file system folds together: told by
///     device and inode, and where names fold, by the names as the file system compares
///     them, since FAT and exFAT through FUSE give each spelling its own inode number);
///   - "owned by another user in a shared folder": in a sticky, world-writable folder such
///     as /tmp, an existing file whose owner is neither this user nor the folder's owner
///     (whatever fs.protected_regular says: another user's file is not ours to fill);
///   - "it could not be emptied": an existing file that still holds bytes once truncated
///     (through FUSE, where it is opened again after truncating, as fusefat keeps old bytes
///     behind what the truncating descriptor writes);
///   - or cannot be created, with the system's reason ("Permission denied", ...).
/// Nothing is truncated before every check has passed, on the descriptor actually opened.
/// Not copyable.
class SafeFileCreator {
 public:
  /// Returns the key under which this run already created the file `identity`, if any.
  using CreatedAs = std::function<std::optional<std::string_view>(const FileIdentity& identity)>;

  /// Returns the key under which this run already created a file whose name a file system
  /// folding case takes for `key`, if any.
  using CreatedUnder = std::function<std::optional<std::string_view>(std::string_view key)>;

  /// Why reopen() refused: the name no longer leads to the file created.
  static constexpr int kReplaced = -1;

  /// Guards `guarded` in the current folder, whose file system is `folder`; `createdAs` and
  /// `createdUnder` tell the files created so far. Looks at the current folder once, to tell
  /// whether it is shared.
  SafeFileCreator(const GuardedFiles& guarded, const FolderFileSystem& folder, CreatedAs createdAs,
                  CreatedUnder createdUnder);

  SafeFileCreator(const SafeFileCreator&) = delete;
  SafeFileCreator& operator=(const SafeFileCreator&) = delete;

  /// Creates or empties the file named `key`, opening it through `descriptors`, and
  /// returns its descriptor, open for writing, and sets `identity` to the file's. Throws
  /// Error as listed above; `key` is copied only once it fits a file name.
  Descriptor create(std::string_view key, OpenFileCache& descriptors, FileIdentity& identity);

  /// Opens the file named `key` again for appending, through `descriptors`, if it is still
  /// the regular file `identity`: a device or FIFO put in its place is never opened, a link
  /// never followed. Never throws; on failure returns no descriptor and sets `failure` to
  /// the errno value, or to kReplaced when something else stands under the name.
  static Descriptor reopen(const char* key, const FileIdentity& identity, OpenFileCache& descriptors,
                           int& failure) noexcept;

 private:
  // Throws the refusal that an existing entry described by `status` earns, if any.
  void refuseIfUnsafe(std::string_view key, const struct stat& status) const;
  // Throws the refusal an existing entry earns when its name is another spelling of a
  // guarded or created file, where names fold.
  void refuseOtherSpelling(std::string_view key) const;
  // Empties the file of `key`, open on `file` and described by `status`, and returns the
  // descriptor to write it through.
  Descriptor empty(std::string_view key, const char* name, Descriptor file, const struct stat& status,
                   OpenFileCache& descriptors) const;

  const FileIdentity inputFile;
  const std::optional<FileIdentity> narrationFile;
  const FolderFileSystem folderFileSystem;
  FoldedName inputName;      // folded, where names fold
  FoldedName narrationName;  // folded, where names fold and the narration goes to this folder
  const CreatedAs createdAs;
  const CreatedUnder createdUnder;
  const uid_t user;
  bool sharedFolder = false;  // sticky and world-writable
  uid_t folderOwner = 0;
};

#endif  // VARNOLIX_SAFEFILECREATOR_H_
