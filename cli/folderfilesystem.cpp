#include "folderfilesystem.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/vfs.h>

#include <clocale>
#include <cstdint>
#include <cstring>
#include <cwctype>
#include <string>

#include "fileidentity.h"

namespace {

constexpr long kFuseMagic = 0x65735546;
// File systems that fold case in every folder, whatever their inode numbers say.
constexpr long kFoldingMagics[] = {
    0x4d44,      // FAT (msdos, vfat)
    0x2011BAB0,  // exFAT
    0xFF534D42,  // CIFS
    0xFE534D42,  // SMB2
};

// Returns whether the folder lists entries named exactly `name` and `other`: two files, not
// two spellings of one.
bool listsBoth(const char* name, const char* other) noexcept {
  DIR* const folder = ::opendir(".");
  if (folder == nullptr) return true;  // cannot tell: names are taken as unfolded
  bool foundName = false;
  bool foundOther = false;
  while (const dirent* entry = ::readdir(folder)) {
    foundName = foundName || std::strcmp(entry->d_name, name) == 0;
    foundOther = foundOther || std::strcmp(entry->d_name, other) == 0;
  }
  ::closedir(folder);
  return foundName && foundOther;
}

// Returns the code point that starts `bytes` and sets `length` to its bytes, or -1 (and
// `length` 1) when they are not UTF-8.
long decode(const unsigned char* bytes, std::size_t available, std::size_t& length) noexcept {
  length = 1;
  const unsigned char lead = bytes[0];
  if (lead < 0x80) return lead;
  const std::size_t size = lead >= 0xF0 && lead <= 0xF4 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 && lead < 0xE0 ? 2 : 0;
  if (size == 0 || size > available) return -1;
  long point = lead & (0x7F >> size);
  for (std::size_t i = 1; i < size; ++i) {
    if ((bytes[i] & 0xC0) != 0x80) return -1;
    point = (point << 6) | (bytes[i] & 0x3F);
  }
  static constexpr long kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  if (point < kLeast[size] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return -1;
  length = size;
  return point;
}

std::size_t encode(long point, char* out) noexcept {
  const auto byte = [](long value) { return static_cast<char>(static_cast<unsigned char>(value)); };
  if (point < 0x80) {
    out[0] = byte(point);
    return 1;
  }
  if (point < 0x800) {
    out[0] = byte(0xC0 | (point >> 6));
    out[1] = byte(0x80 | (point & 0x3F));
    return 2;
  }
  if (point < 0x10000) {
    out[0] = byte(0xE0 | (point >> 12));
    out[1] = byte(0x80 | ((point >> 6) & 0x3F));
    out[2] = byte(0x80 | (point & 0x3F));
    return 3;
  }
  out[0] = byte(0xF0 | (point >> 18));
  out[1] = byte(0x80 | ((point >> 12) & 0x3F));
  out[2] = byte(0x80 | ((point >> 6) & 0x3F));
  out[3] = byte(0x80 | (point & 0x3F));
  return 4;
}

}  // namespace

FolderFileSystem FolderFileSystem::ofCurrentFolder(std::string_view inputName) noexcept {
  FolderFileSystem learned;
  struct statfs fileSystem {};
  if (::statfs(".", &fileSystem) == 0) {
    learned.fuse = fileSystem.f_type == kFuseMagic;
    for (const long magic : kFoldingMagics) learned.folds = learned.folds || fileSystem.f_type == magic;
  }
  if (learned.folds || inputName.empty() || inputName.size() > NAME_MAX ||
      inputName.find('/') != std::string_view::npos) {
    return learned;
  }
  // The input under another case: missing where names do not fold; found as the same file
  // where they fold and inode numbers can be trusted; found as another file either where
  // both names exist, which the folder's listing shows, or where each spelling has an inode
  // number of its own.
  char name[NAME_MAX + 1];
  char swapped[NAME_MAX + 1];
  bool letters = false;
  for (std::size_t i = 0; i < inputName.size(); ++i) {
    const char c = inputName[i];
    name[i] = c;
    swapped[i] = c >= 'a' && c <= 'z'   ? static_cast<char>(c - 'a' + 'A')
                 : c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a')
                                        : c;
    letters = letters || swapped[i] != c;
  }
  name[inputName.size()] = '\0';
  swapped[inputName.size()] = '\0';
  struct stat input {};
  struct stat other {};
  if (!letters || ::lstat(swapped, &other) != 0 || ::lstat(name, &input) != 0) return learned;
  learned.folds = FileIdentity::of(input) == FileIdentity::of(other) || !listsBoth(name, swapped);
  return learned;
}

std::string_view FolderFileSystem::fold(std::string_view name, FoldedName& into) noexcept {
  // Created once, never freed: Unicode's case mappings whatever the locale the program runs in.
  static const locale_t unicode = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  const auto* const bytes = reinterpret_cast<const unsigned char*>(name.data());
  std::size_t out = 0;
  for (std::size_t at = 0; at < name.size() && out + 4 <= sizeof into.bytes;) {
    std::size_t length = 0;
    long point = decode(bytes + at, name.size() - at, length);
    if (point < 0) {
      into.bytes[out++] = name[at++];
      continue;
    }
    if (point >= 'a' && point <= 'z') {
      point -= 'a' - 'A';
    } else if (point >= 0x80 && unicode != static_cast<locale_t>(nullptr)) {
      point = static_cast<long>(::towupper_l(static_cast<wint_t>(point), unicode));
    }
    out += encode(point, into.bytes + out);
    at += length;
  }
  into.size = out;
  return into.view();
}
