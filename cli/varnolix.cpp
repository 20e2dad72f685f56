// varnolix: copies every line of test.csv, up to the first empty line, into a file named
// by the line's first field, narrating each step on standard output.

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <string>

#include "error.h"
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

}  // namespace

int main() {
  // A reader of the narration that goes away (varnolix | head -1) must not stop the
  // grouping: writes then fail with EPIPE, which the narration tolerates.
  std::signal(SIGPIPE, SIG_IGN);
  occupyClosedStandardDescriptors();
  StandardOutput& narration = StandardOutput::process();
  try {
    Splitter splitter(kInputFileName, kSeparator, kFirstLineIsHeader, narration);
    splitter.split(kFieldNumber, "");
  } catch (const Error& error) {
    narration.writeLine(error.getMessage());
    narration.flush();
    return 1;
  }
  narration.flush();
  return 0;
}
