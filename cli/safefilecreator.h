#ifndef VARNOLIX_SAFEFILECREATOR_H_
#define VARNOLIX_SAFEFILECREATOR_H_

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
///   - "it is the same file as '<first key>'": a file this run already writes under another
///     key (hard links, or names a case-insensitive file system folds together);
///   - or cannot be created, with the system's reason ("Permission denied", ...).
/// Nothing is truncated before every check has passed, on the descriptor actually opened.
/// Not copyable.
class SafeFileCreator {
 public:
  /// `input` is the file being read.
  explicit SafeFileCreator(const FileIdentity& input);

  SafeFileCreator(const SafeFileCreator&) = delete;
  SafeFileCreator& operator=(const SafeFileCreator&) = delete;

  /// Creates or empties the file named `key`, opening it through `descriptors`, and
  /// returns its descriptor, open for writing. Throws Error as listed above.
  Descriptor create(const std::string& key, OpenFileCache& descriptors);

 private:
  // Throws the refusal that an existing entry described by `status` earns, if any.
  void refuseIfUnsafe(const std::string& key, const struct stat& status) const;

  const FileIdentity inputFile;
  std::unordered_map<FileIdentity, std::string, FileIdentityHash> createdFiles;  // file -> its key
};

#endif  // VARNOLIX_SAFEFILECREATOR_H_
