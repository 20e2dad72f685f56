#ifndef VARNOLIX_SAFEFILECREATOR_H_
#define VARNOLIX_SAFEFILECREATOR_H_

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "descriptor.h"
#include "fileidentity.h"
#include "openfilecache.h"

/// Creates the file of a key in the current folder, emptied, after making sure that writing
/// it harms nothing. A key is refused, with the Error
/// "Could not open output file '<key>': <reason>", when it is
///   - "not a plain file name": empty, ".", "..", or holding '/' or a NUL byte (a key is
///     never used as a path);
///   - "not a regular file": an existing symbolic link, folder, FIFO, socket or device,
///     which is neither followed nor waited on;
///   - "it is the input file": the file being read, under any name (a hard link);
///   - "it is standard output": the file the narration goes to (varnolix > key);
///   - "it is the same file as '<first key>'": a file this run already writes under another
///     key (hard links, or names a case-insensitive file system folds together);
///   - "owned by another user in a shared folder": in a sticky, world-writable folder such
///     as /tmp, an existing file whose owner is neither this user nor the folder's owner
///     (whatever fs.protected_regular says: another user's file is not ours to fill);
///   - or cannot be created, with the system's reason ("Permission denied", ...).
/// Nothing is truncated before every check has passed, on the descriptor actually opened.
/// Not copyable.
class SafeFileCreator {
 public:
  /// `input` is the file being read, `standardOutput` the file the narration goes to, if
  /// it is one. Looks at the current folder once, to tell whether it is shared.
  SafeFileCreator(const FileIdentity& input, const std::optional<FileIdentity>& standardOutput);

  SafeFileCreator(const SafeFileCreator&) = delete;
  SafeFileCreator& operator=(const SafeFileCreator&) = delete;

  /// Creates or empties the file named `key`, opening it through `descriptors`, and
  /// returns its descriptor, open for writing. Throws Error as listed above.
  Descriptor create(const std::string& key, OpenFileCache& descriptors);

 private:
  // Throws the refusal that an existing entry described by `status` earns, if any.
  void refuseIfUnsafe(const std::string& key, const struct stat& status) const;

  const FileIdentity inputFile;
  const std::optional<FileIdentity> narrationFile;
  const uid_t user;
  bool sharedFolder = false;  // sticky and world-writable
  uid_t folderOwner = 0;
  std::unordered_map<FileIdentity, std::string, FileIdentityHash> createdFiles;  // file -> its key
};

#endif  // VARNOLIX_SAFEFILECREATOR_H_
