#include "test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testing_support {

namespace {

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error(what + ": " + std::strerror(errno)); }

int removeEntry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }

}  // namespace

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/varnolix-test-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) fail("mkdtemp");
  dir = pattern;
}

TempDir::~TempDir() { ::nftw(dir.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS); }

ScopedChdir::ScopedChdir(const std::string& dir) {
  char cwd[PATH_MAX];
  if (::getcwd(cwd, sizeof cwd) == nullptr) fail("getcwd");
  previous = cwd;
  if (::chdir(dir.c_str()) != 0) fail("chdir " + dir);
}

ScopedChdir::~ScopedChdir() { (void)::chdir(previous.c_str()); }

void writeFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

std::map<std::string, std::string> regularFiles(const std::string& dir, const std::vector<std::string>& except) {
  std::map<std::string, std::string> files;
  DIR* listing = ::opendir(dir.c_str());
  if (listing == nullptr) fail("opendir " + dir);
  while (const dirent* entry = ::readdir(listing)) {
    const std::string name = entry->d_name;
    struct stat status {};
    if (::lstat((dir + "/" + name).c_str(), &status) != 0 || !S_ISREG(status.st_mode)) continue;
    bool skipped = false;
    for (const std::string& excluded : except) skipped = skipped || excluded == name;
    if (!skipped) files[name] = readFile(dir + "/" + name);
  }
  ::closedir(listing);
  return files;
}

RunResult runVarnolix(const std::string& dir, const RunOptions& options) {
  int pipeEnds[2] = {-1, -1};
  if (options.standardOutput == Stdout::kCapture || options.standardOutput == Stdout::kClosedPipe) {
    if (::pipe(pipeEnds) != 0) fail("pipe");
  }
  if (options.standardOutput == Stdout::kClosedPipe) {
    ::close(pipeEnds[0]);  // nobody will ever read: every write gets EPIPE
    pipeEnds[0] = -1;
  }
  std::vector<std::string> argumentTexts{VARNOLIX_PROGRAM};
  argumentTexts.insert(argumentTexts.end(), options.arguments.begin(), options.arguments.end());
  std::vector<char*> argv;
  for (std::string& text : argumentTexts) argv.push_back(text.data());
  argv.push_back(nullptr);

  const pid_t child = ::fork();
  if (child < 0) fail("fork");
  if (child == 0) {
    if (::chdir(dir.c_str()) != 0) ::_exit(126);
    ::signal(SIGPIPE, SIG_DFL);  // the program must protect itself
    switch (options.standardOutput) {
      case Stdout::kCapture:
      case Stdout::kClosedPipe:
        ::dup2(pipeEnds[1], STDOUT_FILENO);
        break;
      case Stdout::kClosedWithStdin:
        ::close(STDIN_FILENO);  // the next two files opened would get descriptors 0 and 1
        [[fallthrough]];
      case Stdout::kClosedDescriptor:
        ::close(STDOUT_FILENO);
        break;
      case Stdout::kFullDevice:
      case Stdout::kNullDevice: {
        const int device = ::open(options.standardOutput == Stdout::kFullDevice ? "/dev/full" : "/dev/null", O_WRONLY);
        ::dup2(device, STDOUT_FILENO);
        break;
      }
    }
    ::close_range(STDERR_FILENO + 1, ~0U, 0);  // nothing inherited from the test runner counts against limits
    if (options.openFileLimit) {
      const rlimit limit{*options.openFileLimit, *options.openFileLimit};
      ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    if (options.fileSizeLimit) {
      ::signal(SIGXFSZ, SIG_IGN);
      const rlimit limit{*options.fileSizeLimit, *options.fileSizeLimit};
      ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    for (const auto& [name, value] : options.environment) ::setenv(name.c_str(), value.c_str(), 1);
    ::alarm(60);  // a program that hangs (say, on a FIFO) fails the test instead
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }

  RunResult result;
  if (pipeEnds[1] >= 0) ::close(pipeEnds[1]);
  if (pipeEnds[0] >= 0) {
    char chunk[65536];
    for (;;) {
      const ssize_t n = ::read(pipeEnds[0], chunk, sizeof chunk);
      if (n > 0) {
        result.standardOutput.append(chunk, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        break;
      }
    }
    ::close(pipeEnds[0]);
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

}  // namespace testing_support
