#include "filetable.h"

#include <climits>
#include <cstring>
#include <utility>

FileTable::FileTable(const GuardedFiles& guarded, std::size_t openFiles, HashSeed seed)
    : descriptors(openFiles),
      folder(FolderFileSystem::ofCurrentFolder(guarded.inputName)),
      creator(
          guarded, folder,
          [this](const FileIdentity& identity) {
            return identities.find(FileIdentityHash()(identity),
                                   [&](std::uint32_t file) { return states[file].identity == identity; });
          },
          [this](std::string_view key) {
            FoldedName folded;
            FoldedName candidate;
            const std::string_view sought = FolderFileSystem::fold(key, folded);
            return foldedNames.find(foldedHash(sought), [&](std::uint32_t file) {
              return FolderFileSystem::fold(files[file].key(), candidate) == sought;
            });
          }),
      index(seed),
      foldedHash(seed) {}

std::uint64_t FileTable::identityHash(std::uint32_t number) const noexcept {
  return FileIdentityHash()(states[number].identity);
}

std::uint64_t FileTable::foldedKeyHash(std::string_view key) const noexcept {
  FoldedName folded;
  return foldedHash(FolderFileSystem::fold(key, folded));
}

void FileTable::reserveOneMore(std::size_t keyLength) {
  if (keyLength > OutputFile::kKeyInPlace) keys.reserve(keyLength);
  files.reserveOneMore();
  states.reserveOneMore();
  index.reserveOneMore();
  identities.reserveOneMore([this](std::uint32_t file) { return identityHash(file); });
  if (folder.foldsNames())
    foldedNames.reserveOneMore([this](std::uint32_t file) { return foldedKeyHash(files[file].key()); });
  descriptors.reserveOneMore();
}

OutputFile* FileTable::add(std::string_view key, Failure& failure) noexcept {
  SafeFileCreator::Created created = creator.create(key, descriptors);
  if (created.failure) {
    failure = created.failure;
    return nullptr;
  }
  FileState fresh;
  fresh.identity = created.identity;
  const std::uint32_t number = descriptors.add(std::move(created.descriptor));
  const char* const whole = key.size() > OutputFile::kKeyInPlace ? keys.store(key) : nullptr;
  OutputFile& file = files.push(OutputFile(key, whole, number));
  states.push(fresh);
  index.add(file);
  identities.add(number, identityHash(number));
  if (folder.foldsNames()) foldedNames.add(number, foldedKeyHash(key));
  return &file;
}

void FileTable::write(std::uint32_t number, const char* bytes, std::size_t size) noexcept {
  const bool failedBefore = static_cast<bool>(states[number].failure);
  WholeLineWriter writer = writerFor(number);
  writer.add(bytes, size);
  writer.flush();
  noteIfFailed(number, failedBefore);
}

int FileTable::descriptorFor(std::uint32_t number, Failure& failure) noexcept {
  Failure closeFailure;
  const int fd = descriptors.descriptor(number, closeFailure);
  if (fd >= 0) return fd;
  if (closeFailure) {  // a close failed while making room
    failure = closeFailure;
    return -1;
  }
  char name[NAME_MAX + 1];
  const std::string_view key = files[number].key();
  std::memcpy(name, key.data(), key.size());
  name[key.size()] = '\0';
  Descriptor reopened = SafeFileCreator::reopen(number, name, states[number].identity, descriptors, failure);
  return reopened.isOpen() ? descriptors.attach(number, std::move(reopened)) : -1;
}
