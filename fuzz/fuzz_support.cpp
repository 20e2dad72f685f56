#include "fuzz_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace fuzz_support {

namespace {

int removeEntry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }

void removeRoot() { ::nftw(root().c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS); }

// The folder libFuzzer was started in; its corpus paths may be relative to it.
const std::string& startFolder() {
  static const std::string folder = [] {
    char path[4096];
    if (::getcwd(path, sizeof path) == nullptr) broken("cannot tell the current folder");
    return std::string(path);
  }();
  return folder;
}

}  // namespace

void broken(const char* invariant) {
  std::fprintf(stderr, "broken invariant: %s\n", invariant);
  std::abort();
}

std::string readAll(const std::string& path) {
  std::string content;
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) broken("cannot read back a file");
  char chunk[65536];
  ssize_t n;
  while ((n = ::read(fd, chunk, sizeof chunk)) > 0) content.append(chunk, static_cast<std::size_t>(n));
  ::close(fd);
  return content;
}

void writeAll(const std::string& path, std::string_view content) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0 || ::write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size())) {
    broken("cannot write a file");
  }
  ::close(fd);
}

std::vector<std::string> entries(const std::string& dir) {
  std::vector<std::string> names;
  DIR* listing = ::opendir(dir.c_str());
  if (listing == nullptr) broken("cannot list a folder");
  while (const dirent* entry = ::readdir(listing)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(listing);
  return names;
}

const std::string& root() {
  static const std::string folder = [] {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp == '/' ? tmp : "/tmp") + "/varnolix-fuzz-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) broken("cannot make a private folder");
    return pattern;
  }();
  // Registered only once the name exists: exit handlers and the destructors of statics run
  // in reverse order of registration, so the name is still alive when the folder goes.
  static const bool removedAtExit = std::atexit(removeRoot) == 0;
  if (!removedAtExit) broken("cannot arrange for the private folder to go at exit");
  return folder;
}

std::string enterFreshCaseFolder() {
  startFolder();
  const std::string caseDir = root() + "/case";
  ::nftw(caseDir.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
  if (::mkdir(caseDir.c_str(), 0755) != 0 || ::chdir(caseDir.c_str()) != 0) broken("cannot enter the case folder");
  return caseDir;
}

void leaveCaseFolder() {
  if (::chdir(startFolder().c_str()) != 0) broken("cannot leave the case folder");
}

}  // namespace fuzz_support
