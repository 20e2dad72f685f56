// Fuzzes the output side under tiny limits: the first two bytes of an input choose the
// block budget and the descriptor allowance, the rest is lines whose first byte picks one
// of 64 keys. Every line must land, in order, in its key's file, whatever the limits
// force (donated blocks, evicted and reopened files, lines longer than a file may hold).

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>

#include "outputset.h"

namespace {

[[noreturn]] void broken(const char* invariant) {
  std::fprintf(stderr, "broken invariant: %s\n", invariant);
  std::abort();
}

int removeEntry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }

std::string readAll(const std::string& path) {
  std::string content;
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) broken("an output file is missing");
  char chunk[65536];
  ssize_t n;
  while ((n = ::read(fd, chunk, sizeof chunk)) > 0) content.append(chunk, static_cast<std::size_t>(n));
  ::close(fd);
  return content;
}

const std::string& root() {
  static const std::string folder = [] {
    char pattern[] = "/tmp/varnolix-outputs-fuzz-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) broken("cannot make a private folder");
    std::atexit([] { ::nftw(root().c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS); });
    return std::string(pattern);
  }();
  return folder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const OutputLimits limits{(std::size_t{data[0]} % 16 + 1) * BlockPool::kBlockSize, std::size_t{data[1]} % 8 + 1};
  std::string_view rest(reinterpret_cast<const char*>(data) + 2, size - 2);

  const std::string caseDir = root() + "/case";
  ::nftw(caseDir.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
  if (::mkdir(caseDir.c_str(), 0755) != 0) broken("cannot make the case folder");
  char startFolder[4096];
  if (::getcwd(startFolder, sizeof startFolder) == nullptr || ::chdir(caseDir.c_str()) != 0) {
    broken("cannot enter the case folder");
  }

  std::map<std::string, std::string> expected;
  {
    struct stat input {};
    if (::stat(".", &input) != 0) broken("cannot stat the case folder");
    OutputSet outputs(FileIdentity::of(input), "", false, limits);
    while (!rest.empty()) {
      const std::size_t end = rest.find('\n');
      std::string_view line = rest.substr(0, end);
      rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
      if (line.empty()) continue;
      // Long lines matter; repeat short input to reach beyond a file's blocks.
      std::string body(line);
      if (static_cast<unsigned char>(line[0]) % 5 == 0) body = std::string(20000, line[0]) + body;
      const std::string key = "k" + std::to_string(static_cast<unsigned char>(line[0]) % 64);
      expected[key] += body + "\n";
      outputs.append(outputs.fileFor(key), body);
    }
    for (OutputFile* file : outputs.inKeyOrder()) outputs.close(*file);
  }
  if (::chdir(startFolder) != 0) broken("cannot leave the case folder");
  for (const auto& [key, content] : expected) {
    if (readAll(caseDir + "/" + key) != content) broken("an output file differs");
  }
  return 0;
}
