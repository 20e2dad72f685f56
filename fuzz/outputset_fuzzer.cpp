// Fuzzes the output side under tiny limits: the first two bytes of an input choose the
// memory budget, the descriptor allowance and whether lines may be set aside in a spill
// file, the rest is lines whose first byte picks one of 64 keys. Every line must land, in
// order, in its key's file, whatever the limits force (lines set aside, rounds of writes,
// evicted and reopened files, lines longer than memory).

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "outputset.h"

using fuzz_support::broken;
using fuzz_support::enterFreshCaseFolder;
using fuzz_support::leaveCaseFolder;
using fuzz_support::readAll;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const OutputLimits limits{(std::size_t{data[0]} % 16 + 1) * 4096, std::size_t{data[1]} % 8 + 1, data[1] % 16 < 8,
                            HashSeed{1, 2}};
  std::string_view rest(reinterpret_cast<const char*>(data) + 2, size - 2);

  const std::string caseDir = enterFreshCaseFolder();

  std::map<std::string, std::string> expected;
  {
    struct stat input {};
    if (::stat(".", &input) != 0) broken("cannot stat the case folder");
    OutputSet outputs(GuardedFiles{FileIdentity::of(input), "", std::nullopt}, "", false, limits);
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
    if (outputs.closeAll().failure) broken("closing failed");
  }
  leaveCaseFolder();
  for (const auto& [key, content] : expected) {
    if (readAll(caseDir + "/" + key) != content) broken("an output file differs");
  }
  return 0;
}
