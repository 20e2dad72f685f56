#ifndef VARNOLIX_FUZZ_SUPPORT_H_
#define VARNOLIX_FUZZ_SUPPORT_H_

#include <string>
#include <string_view>
#include <vector>

namespace fuzz_support {

/// Reports a broken invariant and aborts, so that libFuzzer keeps the input.
[[noreturn]] void broken(const char* invariant);

std::string readAll(const std::string& path);
void writeAll(const std::string& path, std::string_view content);

/// Names in `dir`, without "." and "..".
std::vector<std::string> entries(const std::string& dir);

/// A private folder for this process under $TMPDIR (or /tmp), removed when the process
/// exits normally. libFuzzer ends on a crash without running exit handlers; scripts/fuzz
/// points TMPDIR into a folder of its own, so that the folder goes then too.
const std::string& root();

/// Empties root()/case (creating it) and makes it the current folder; the folder the
/// process started in is restored by leaveCaseFolder(). Returns the case folder's path.
std::string enterFreshCaseFolder();
void leaveCaseFolder();

}  // namespace fuzz_support

#endif  // VARNOLIX_FUZZ_SUPPORT_H_
