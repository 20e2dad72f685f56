// Coverage-guided fuzzing of the whole grouping: each input becomes test.csv in a private
// folder, Splitter groups it, and the result is checked against a plain model of what the
// program promises. Any difference aborts, and libFuzzer keeps the input.

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"
#include "splitter.h"
#include "standardoutput.h"

namespace {

struct Expected {
  std::string narration;
  std::map<std::string, std::string> files;
};

// What the program must do with `input`, written independently of its code.
Expected model(std::string_view input) {
  Expected expected;
  std::set<std::string> created;
  std::size_t start = 0;
  while (start < input.size()) {
    const std::size_t end = input.find('\n', start);
    const std::string line(input.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
    if (line.empty()) break;  // the first empty line ends the grouping
    start = end == std::string_view::npos ? input.size() : end + 1;

    const std::string key = line.substr(0, line.find(';'));
    expected.narration += line + "\n";
    if (created.count(key) == 0) {
      std::string reason;
      if (key.empty() || key == "." || key == ".." || key.find('/') != std::string::npos ||
          key.find('\0') != std::string::npos) {
        reason = "not a plain file name";
      } else if (key == "test.csv") {
        reason = "it is the input file";
      } else if (key.size() > 255) {
        reason = "File name too long";
      }
      if (!reason.empty()) {
        expected.narration += "Could not open output file '" + key + "': " + reason + "\n";
        return expected;
      }
      created.insert(key);
    }
    expected.narration += "appending: " + line + "\n";
    expected.files[key] += line + "\n";
  }
  expected.narration += std::to_string(created.size()) + "\n";
  for (std::size_t i = 0; i < created.size(); ++i) expected.narration += "clozing\n";
  return expected;
}

[[noreturn]] void broken(const char* invariant) {
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
    broken("cannot write the input");
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

int removeEntry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }

// The folder libFuzzer was started in; its corpus paths may be relative to it.
const std::string& startFolder() {
  static const std::string folder = [] {
    char path[4096];
    if (::getcwd(path, sizeof path) == nullptr) broken("cannot tell the current folder");
    return std::string(path);
  }();
  return folder;
}

const std::string& root() {
  static const std::string folder = [] {
    char pattern[] = "/tmp/varnolix-fuzz-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) broken("cannot make a private folder");
    std::atexit([] { ::nftw(root().c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS); });
    return std::string(pattern);
  }();
  return folder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  startFolder();
  const std::string caseDir = root() + "/case";
  const std::string narrationPath = root() + "/narration";
  ::nftw(caseDir.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
  if (::mkdir(caseDir.c_str(), 0755) != 0) broken("cannot make the case folder");
  writeAll(caseDir + "/test.csv", input);
  if (::chdir(caseDir.c_str()) != 0) broken("cannot enter the case folder");

  const int narrationFd = ::open(narrationPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  {
    StandardOutput narration(narrationFd);
    try {
      Splitter splitter("test.csv", ";", false, narration);
      splitter.split(1, "");
    } catch (const Error& error) {
      narration.writeLine(error.getMessage());
    }
  }
  ::close(narrationFd);
  if (::chdir(startFolder().c_str()) != 0) broken("cannot leave the case folder");

  const Expected expected = model(input);
  if (readAll(narrationPath) != expected.narration) broken("narration differs");
  if (readAll(caseDir + "/test.csv") != input) broken("the input changed");
  std::map<std::string, std::string> files;
  for (const std::string& name : entries(caseDir)) {
    if (name != "test.csv") files[name] = readAll(caseDir + "/" + name);
  }
  if (files != expected.files) broken("output files differ");
  const std::vector<std::string> outside = entries(root());
  if (outside.size() != 2) broken("something was written outside the case folder");
  return 0;
}
