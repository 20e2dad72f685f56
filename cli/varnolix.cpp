// varnolix: copies every line of test.csv, up to the first empty line, into a file named
// by the line's first field, narrating each step on standard output.

#include <fcntl.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "error.h"
#include "fileidentity.h"
#include "interruption.h"
#include "splitter.h"
#include "standardoutput.h"

namespace {

// Settings are fixed: the program reads no arguments, environment or configuration.
const std::string kInputFileName = "test.csv";
const std::string kSeparator = ";";
constexpr int kFieldNumber = 1;
constexpr bool kFirstLineIsHeader = false;

// A closed standard descriptor would be handed to the next file opened, and narration
// would then land in an output file; park /dev/null on it instead.
void occupyClosedStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) >= 0) continue;
    const int parked = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (parked >= 0 && parked != fd) {
      ::dup2(parked, fd);
      ::close(parked);
    }
  }
}

// Narration written into the input would be read back as input (varnolix >> test.csv):
// refused before anything is opened. The message goes to standard error, the one message
// that does, since standard output is the input; and not even there if that is the input
// too. Returns true when refused.
bool refuseInputAsStandardOutput(const StandardOutput& narration) {
  const std::optional<FileIdentity> input = FileIdentity::ofPath(kInputFileName.c_str());
  if (!input || !(input == narration.fileIdentity())) return false;
  if (!(FileIdentity::ofDescriptor(STDERR_FILENO) == input)) {
    const std::string message = "Could not open CSV File '" + kInputFileName + "': it is standard output\n";
    (void)!::write(STDERR_FILENO, message.data(), message.size());
  }
  return true;
}

}  // namespace

int main() {
  interruption::install();
  occupyClosedStandardDescriptors();
  StandardOutput& narration = StandardOutput::process();
  if (refuseInputAsStandardOutput(narration)) return 1;
  int status = 0;
  try {
    Splitter splitter(kInputFileName, kSeparator, kFirstLineIsHeader, narration);
    splitter.split(kFieldNumber, "");
  } catch (const Error& error) {
    interruption::errorFirst();
    narration.writeLine(error.getMessage());
    status = 1;
  }
  narration.flush();
  // A stop asked before any Error ends the program by that signal, after the write-out.
  if (const int signal = interruption::endingSignal()) interruption::endBySignal(signal);
  return status;
}
