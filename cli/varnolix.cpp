// varnolix: copies every line of test.csv, up to the first empty line, into a file named
// by the line's first field, narrating each step on standard output.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>

#include <optional>
#include <string>

#include "error.h"
#include "fileidentity.h"
#include "interruption.h"
#include "splitter.h"
#include "standardoutput.h"

namespace {

// Settings are fixed: the program reads no arguments or configuration, and of the
// environment only TMPDIR, which says where lines may wait, never what the files get.
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
    char opening[] = "Could not open CSV File '";
    char reason[] = "': it is standard output\n";
    const iovec message[] = {{opening, sizeof opening - 1},
                             {const_cast<char*>(kInputFileName.data()), kInputFileName.size()},
                             {reason, sizeof reason - 1}};
    (void)!::writev(STDERR_FILENO, message, 3);
  }
  return true;
}

// Two runs writing one folder would both fill every file. Takes an exclusive lock on the
// folder's own descriptor (no lock file: any name could be a key), held until the program
// ends. Throws Error when another run holds it; a folder that cannot be locked at all (a
// file system without locks) is written as before.
void lockOutputFolder() {
  const int folder = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) return;
  if (::flock(folder, LOCK_EX | LOCK_NB) == 0) return;  // kept open, and locked, until the end
  const int error = errno;
  ::close(folder);
  if (error == EWOULDBLOCK) throw Error("Could not lock the output folder: another run is writing here");
}

}  // namespace

int main() {
  interruption::install();
  occupyClosedStandardDescriptors();
  StandardOutput& narration = StandardOutput::process();
  if (refuseInputAsStandardOutput(narration)) return 1;
  if (!Error::memoryReserved()) {  // too little memory even to throw: said without allocating
    narration.writeLastLine("Could not open CSV File 'test.csv': Cannot allocate memory");
    return 1;
  }
  int status = 0;
  try {
    Splitter splitter(kInputFileName, kSeparator, kFirstLineIsHeader, narration);
    lockOutputFolder();
    splitter.split(kFieldNumber, "");
  } catch (const Error& error) {
    interruption::recordError();
    narration.writeLastLine(error.getMessage());
    status = 1;
  }
  narration.flush();
  // A stop asked before any Error ends the program by that signal, after the write-out.
  if (const int signal = interruption::endingSignal()) interruption::endBySignal(signal);
  return status;
}
