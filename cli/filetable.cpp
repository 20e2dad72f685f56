#include "filetable.h"

#include <climits>
#include <cstring>
#include <utility>

namespace {

const char* reasonOf(int failure) noexcept {
  return failure == SafeFileCreator::kReplaced ? "it was replaced during the run" : std::strerror(failure);
}

}  // namespace

FileTable::FileTable(const GuardedFiles& guarded, std::size_t openFiles, HashSeed seed)
    : descriptors(openFiles),
      folder(FolderFileSystem::ofCurrentFolder(guarded.inputName)),
      creator(
          guarded, folder,
          [this](const FileIdentity& identity) -> std::optional<std::string_view> {
            const std::uint32_t file = identities.find(identity, states);
            if (file == IdentityIndex<SegmentedArray<FileState>>::kEmpty) return std::nullopt;
            return files[file].key();
          },
          [this](std::string_view key) -> std::optional<std::string_view> {
            const std::uint32_t file = foldedNames.find(key, files);
            if (file == FoldedNameIndex<SegmentedArray<OutputFile>>::kEmpty) return std::nullopt;
            return files[file].key();
          }),
      index(seed),
      foldedNames(seed) {}

void FileTable::refuseOverlongKey(std::string_view key) {
  if (key.size() <= NAME_MAX) return;
  FileIdentity unused;
  (void)creator.create(key, descriptors, unused);  // throws the refusal
}

void FileTable::reserveOneMore(std::size_t keyLength) {
  if (keyLength > OutputFile::kKeyInPlace) keys.reserve(keyLength);
  files.reserveOneMore();
  states.reserveOneMore();
  index.reserveOneMore();
  identities.reserveOneMore(states);
  if (folder.foldsNames()) foldedNames.reserveOneMore(files);
  descriptors.reserveOneMore();
}

OutputFile& FileTable::add(std::string_view key) {
  FileState created;
  Descriptor descriptor = creator.create(key, descriptors, created.identity);
  const std::uint32_t number = descriptors.add(std::move(descriptor));
  const char* const whole = key.size() > OutputFile::kKeyInPlace ? keys.store(key) : nullptr;
  OutputFile& file = files.push(OutputFile(key, whole, number));
  states.push(created);
  index.add(file);
  identities.add(number, states);
  if (folder.foldsNames()) foldedNames.add(number, files);
  return file;
}

void FileTable::write(std::uint32_t number, const char* bytes, std::size_t size) noexcept {
  FileState& fileState = states[number];
  const int before = fileState.failure;
  WholeLineWriter writer = writerFor(number);
  writer.add(bytes, size);
  writer.flush();
  noteFailure(number, before);
}

Error FileTable::failureOf(std::uint32_t number, int failure) const noexcept {
  return Error::of({"Could not write output file '", files[number].key(), "': ", reasonOf(failure)});
}

int FileTable::descriptorFor(std::uint32_t number, int& failure) noexcept {
  int closeFailure = 0;
  const int fd = descriptors.descriptor(number, closeFailure);
  if (fd >= 0) return fd;
  if (closeFailure != 0) {  // a close failed while making room
    failure = closeFailure;
    return -1;
  }
  char name[NAME_MAX + 1];
  const std::string_view key = files[number].key();
  std::memcpy(name, key.data(), key.size());
  name[key.size()] = '\0';
  Descriptor reopened = SafeFileCreator::reopen(name, states[number].identity, descriptors, failure);
  return reopened.isOpen() ? descriptors.attach(number, std::move(reopened)) : -1;
}
