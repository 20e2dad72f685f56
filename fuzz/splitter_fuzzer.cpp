// Coverage-guided fuzzing of the whole grouping: each input becomes test.csv in a private
// folder, Splitter groups it, and the result is checked against a plain model of what the
// program promises. Any difference aborts, and libFuzzer keeps the input.

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"
#include "fuzz_support.h"
#include "splitter.h"
#include "standardoutput.h"

using fuzz_support::broken;
using fuzz_support::enterFreshCaseFolder;
using fuzz_support::entries;
using fuzz_support::leaveCaseFolder;
using fuzz_support::readAll;
using fuzz_support::root;
using fuzz_support::writeAll;

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
        const std::string shown = key.size() > 255 ? key.substr(0, 255) + "..." : key;
        expected.narration += "Could not open output file '" + shown + "': " + reason + "\n";
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string caseDir = enterFreshCaseFolder();
  const std::string narrationPath = root() + "/narration";
  writeAll(caseDir + "/test.csv", input);

  const int narrationFd = ::open(narrationPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  {
    StandardOutput narration(narrationFd);
    try {
      OutputLimits limits;
      limits.hashSeed = HashSeed{3, 4};  // runs repeat: the same input meets the same index
      Splitter splitter(new CSVReader("test.csv", ";", false), narration, limits);
      splitter.split(1, "");
    } catch (const Error& error) {
      narration.writeLine(error.getMessage());
    }
  }
  ::close(narrationFd);
  leaveCaseFolder();

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
