#ifndef VARNOLIX_SAFEFILECREATOR_H_
#define VARNOLIX_SAFEFILECREATOR_H_

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

#include "descriptor.h"
#include "failure.h"
#include "fileidentity.h"
#include "folderfilesystem.h"
#include "guardedfiles.h"
#include "openfilecache.h"

/// Creates the file of a key in the current folder, emptied, after making sure that writing
/// it harms nothing, and opens it again later only if it is still the file it created. The
/// keys it refuses, and why, are listed once, in README.md ("Failures it guards against");
/// each is a Failure::Refusal. Every check is made on the descriptor actually opened, and
/// nothing is truncated before all have passed. Where the folder's file system folds case,
/// a name that exists is also compared, as that file system compares names, with the
/// guarded files and the keys created so far, since FAT and exFAT through FUSE give each
/// spelling its own inode number. Never throws; not copyable.
class SafeFileCreator {
 public:
  /// Returns the file this run already created as the file `identity`, if any.
  using CreatedAs = std::function<std::optional<std::uint32_t>(const FileIdentity& identity)>;

  /// Returns the file this run already created under a name that a file system folding
  /// case takes for `key`, if any.
  using CreatedUnder = std::function<std::optional<std::uint32_t>(std::string_view key)>;

  /// Guards `guarded` in the current folder, whose file system is `folder`; `createdAs` and
  /// `createdUnder` tell the files created so far. Looks at the current folder once, to tell
  /// whether it is shared.
  SafeFileCreator(const GuardedFiles& guarded, const FolderFileSystem& folder, CreatedAs createdAs,
                  CreatedUnder createdUnder);

  SafeFileCreator(const SafeFileCreator&) = delete;
  SafeFileCreator& operator=(const SafeFileCreator&) = delete;

  /// Returns the refusal of a key that is not a plain file name or is longer than a file
  /// name can be, found before the key is copied anywhere; else no failure.
  static Failure checkName(std::string_view key) noexcept;

  /// A file created, or why not.
  struct Created {
    Descriptor descriptor;  // open for writing, when created
    FileIdentity identity;
    Failure failure;  // of the key, when not created
  };

  /// Creates or empties the file named `key`, opening it through `descriptors`.
  Created create(std::string_view key, OpenFileCache& descriptors) const noexcept;

  /// Opens the file `number`, named `key`, again for appending, through `descriptors`, if
  /// it is still the regular file `identity`: a device or FIFO put in its place is never
  /// opened, a link never followed. On failure returns no descriptor and sets `failure`
  /// (How::kReplaced when something else stands under the name).
  static Descriptor reopen(std::uint32_t number, const char* key, const FileIdentity& identity,
                           OpenFileCache& descriptors, Failure& failure) noexcept;

 private:
  // The refusal that an existing entry described by `status` earns, if any.
  Failure refusalOf(const struct stat& status) const noexcept;
  // The refusal an existing entry earns when its name is another spelling of a guarded or
  // created file, where names fold.
  Failure refusalOfOtherSpelling(std::string_view key) const noexcept;
  // Empties the file named `name`, open on `created.descriptor` and described by `status`,
  // and leaves it open on the descriptor to write it through.
  void empty(const char* name, const struct stat& status, OpenFileCache& descriptors, Created& created) const noexcept;

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
