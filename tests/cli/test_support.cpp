#include "test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <pty.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
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

namespace {

// Runs `command` in a shell; returns its standard output, or nothing when it fails.
std::optional<std::string> shell(const std::string& command) {
  std::FILE* const pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return std::nullopt;
  std::string output;
  char chunk[256];
  for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) output.append(chunk, n);
  if (::pclose(pipe) != 0) return std::nullopt;
  return output;
}

bool hasCommand(const std::string& name) { return shell("command -v " + name + " >/dev/null 2>&1").has_value(); }

}  // namespace

MountedFileSystem::MountedFileSystem(FileSystem kind, const std::string& mountPoint)
    : folder(mountPoint), image(mountPoint + ".img") {
  if (kind == FileSystem::kTemporaryFolder) return;
  if (::geteuid() != 0) {
    reason = "only root can mount a file system";
    return;
  }
  const bool fuse = kind == FileSystem::kFatThroughFuse || kind == FileSystem::kExfatThroughFuse;
  if (fuse && ::access("/dev/fuse", R_OK | W_OK) != 0) {
    reason = "no /dev/fuse here";
    return;
  }
  const std::map<FileSystem, std::vector<std::string>> tools{
      {FileSystem::kTmpfs, {}},
      {FileSystem::kExt4, {"mkfs.ext4"}},
      {FileSystem::kFatThroughFuse, {"mkfs.fat", "fusefat"}},
      {FileSystem::kExfatThroughFuse, {"mkfs.exfat", "mount.exfat-fuse", "losetup"}}};
  for (const std::string& tool : tools.at(kind)) {
    if (!hasCommand(tool)) {
      reason = tool + " is missing (scripts/setup --checks installs it)";
      return;
    }
  }
  const std::string quiet = " >/dev/null 2>&1";
  const std::string at = " '" + folder + "'";
  const std::string made = "truncate -s 64M '" + image + "' && ";
  std::optional<std::string> done;
  switch (kind) {
    case FileSystem::kTemporaryFolder:
      break;
    case FileSystem::kTmpfs:
      done = shell("mount -t tmpfs -o size=64M tmpfs" + at + quiet);
      break;
    case FileSystem::kExt4:
      done = shell(made + "mkfs.ext4 -q -F '" + image + "'" + quiet + " && mount -o loop '" + image + "'" + at + quiet);
      break;
    case FileSystem::kFatThroughFuse:
      done = shell(made + "mkfs.fat -F 32 '" + image + "'" + quiet + " && fusefat -o rw+ '" + image + "'" + at + quiet);
      break;
    case FileSystem::kExfatThroughFuse:
      if (shell(made + "mkfs.exfat '" + image + "'" + quiet)) {
        if (const auto device = shell("losetup -f --show '" + image + "'")) {
          loopDevice = device->substr(0, device->find('\n'));
          done = shell("mount.exfat-fuse '" + loopDevice + "'" + at + quiet);
        }
      }
      break;
  }
  mounted = done.has_value();
  if (!mounted) reason = "could not mount the file system here";
}

MountedFileSystem::~MountedFileSystem() {
  if (mounted) (void)shell("fusermount -u '" + folder + "' 2>/dev/null || umount '" + folder + "'");
  if (!loopDevice.empty()) (void)shell("losetup -d '" + loopDevice + "'");
  ::unlink(image.c_str());
}

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

std::string lastLine(const std::string& output) {
  const std::size_t end = output.size() < 2 ? std::string::npos : output.rfind('\n', output.size() - 2);
  return end == std::string::npos ? output : output.substr(end + 1);
}

std::pair<std::string, std::map<std::string, std::string>> interleavedInput(int keys, int lines) {
  std::string input;
  std::map<std::string, std::string> files;
  for (int i = 0; i < lines; ++i) {
    const std::string key = "k" + std::to_string(static_cast<long long>(i) * 7919 % keys);
    const std::string line = key + ";" + std::to_string(i) + ";" + std::string(static_cast<std::size_t>(i % 50), 'x');
    input += line + "\n";
    files[key] += line + "\n";
  }
  return {input, files};
}

std::vector<std::string> keysCollidingUnderKeyHash() {
  // In each 16-byte block, flipping the top bit of the first word, and the same two bits
  // of the second word that multiplying and shifting make of it, cancels out. Twelve
  // blocks, each as it is or flipped.
  std::vector<std::string> keys;
  for (unsigned choice = 0; choice < 4096; ++choice) {
    std::string key;
    for (unsigned block = 0; block < 12; ++block) {
      std::string bytes = "block" + std::string(1, static_cast<char>('a' + block)) + "-xyzuvwqrs";
      if ((choice >> block & 1) != 0) {
        bytes[7] = static_cast<char>(bytes[7] ^ 0x80);
        bytes[12] = static_cast<char>(bytes[12] ^ 0x04);
        bytes[15] = static_cast<char>(bytes[15] ^ 0x80);
      }
      key += bytes;
    }
    keys.push_back(key);
  }
  return keys;
}

void expectWholeLinePrefixes(const std::map<std::string, std::string>& files,
                             const std::map<std::string, std::string>& complete) {
  for (const auto& [name, content] : files) {
    EXPECT_TRUE(content.empty() || content.back() == '\n') << name << " ends in a torn line";
    const auto full = complete.find(name);
    if (full == complete.end()) {
      ADD_FAILURE() << "unexpected file " << name;
    } else {
      EXPECT_EQ(content, full->second.substr(0, content.size())) << name << " is not a prefix of its lines";
    }
  }
}

namespace {

void setLimit(int resource, const std::optional<rlim_t>& value) {
  if (!value) return;
  const rlimit limit{*value, *value};
  ::setrlimit(resource, &limit);
}

// In the child: standard output as asked for, limits, signal dispositions of a shell.
void prepareChild(const std::string& dir, const RunOptions& options, int outputPipe, int terminal, int errors) {
  if (::chdir(dir.c_str()) != 0) ::_exit(126);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGXFSZ}) ::signal(signal, SIG_DFL);
  sigset_t unblocked;
  sigemptyset(&unblocked);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGXFSZ}) sigaddset(&unblocked, signal);
  ::sigprocmask(SIG_UNBLOCK, &unblocked, nullptr);
  if (options.hangupIgnored) ::signal(SIGHUP, SIG_IGN);
  ::dup2(errors, STDERR_FILENO);
  switch (options.standardOutput) {
    case Stdout::kCapture:
    case Stdout::kClosedPipe:
      ::dup2(outputPipe, STDOUT_FILENO);
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
    case Stdout::kUnlinkedFile:
      ::dup2(::memfd_create("standard output", 0), STDOUT_FILENO);
      break;
    case Stdout::kFile:
      ::dup2(::open(options.outputFile.c_str(), options.outputFileFlags, 0644), STDOUT_FILENO);
      if (options.errorToOutputFile) ::dup2(STDOUT_FILENO, STDERR_FILENO);
      break;
    case Stdout::kTerminal:
      ::dup2(terminal, STDOUT_FILENO);
      break;
  }
  ::close_range(STDERR_FILENO + 1, ~0U, 0);  // nothing inherited from the test runner counts against limits
  setLimit(RLIMIT_NOFILE, options.openFileLimit);
  setLimit(RLIMIT_FSIZE, options.fileSizeLimit);
  setLimit(RLIMIT_AS, options.addressSpaceLimit);
  for (const auto& [name, value] : options.environment) ::setenv(name.c_str(), value.c_str(), 1);
  ::alarm(60);  // a program that hangs (say, on a FIFO) fails the test instead
}

}  // namespace

Started startVarnolix(const std::string& dir, const RunOptions& options) {
  int pipeEnds[2] = {-1, -1};
  if (options.standardOutput == Stdout::kCapture || options.standardOutput == Stdout::kClosedPipe) {
    if (::pipe(pipeEnds) != 0) fail("pipe");
  }
  if (options.standardOutput == Stdout::kClosedPipe) {
    ::close(pipeEnds[0]);  // nobody will ever read: every write gets EPIPE
    pipeEnds[0] = -1;
  }
  Started started;
  int terminalSide = -1;
  if (options.standardOutput == Stdout::kTerminal &&
      ::openpty(&started.terminal, &terminalSide, nullptr, nullptr, nullptr) != 0) {
    fail("openpty");
  }
  started.errors = ::memfd_create("standard error", 0);
  if (started.errors < 0) fail("memfd_create");
  std::vector<std::string> argumentTexts = options.wrapper;
  argumentTexts.emplace_back(VARNOLIX_PROGRAM);
  argumentTexts.insert(argumentTexts.end(), options.arguments.begin(), options.arguments.end());
  std::vector<char*> argv;
  for (std::string& text : argumentTexts) argv.push_back(text.data());
  argv.push_back(nullptr);

  started.pid = ::fork();
  if (started.pid < 0) fail("fork");
  if (started.pid == 0) {
    prepareChild(dir, options, pipeEnds[1], terminalSide, started.errors);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  if (pipeEnds[1] >= 0) ::close(pipeEnds[1]);
  if (terminalSide >= 0) ::close(terminalSide);
  started.output = pipeEnds[0];
  return started;
}

void readOutput(Started& started, std::size_t bytes) {
  char chunk[65536];
  while (started.output >= 0 && started.read.size() < bytes) {
    const ssize_t n = ::read(started.output, chunk, sizeof chunk);
    if (n > 0) {
      started.read.append(chunk, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      ::close(started.output);
      started.output = -1;
    }
  }
}

RunResult finishVarnolix(Started& started) {
  readOutput(started, std::string::npos);
  int status = 0;
  while (::waitpid(started.pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (started.terminal >= 0) {  // what the terminal holds, now that nobody writes to it
    ::fcntl(started.terminal, F_SETFL, O_NONBLOCK);
    char chunk[4096];
    ssize_t n;
    while ((n = ::read(started.terminal, chunk, sizeof chunk)) > 0)
      started.read.append(chunk, static_cast<std::size_t>(n));
    ::close(started.terminal);
    // As a terminal shows it: its output processing turned each line feed into two bytes.
    std::string shown;
    for (std::size_t at = 0; at < started.read.size(); ++at) {
      if (!(started.read[at] == '\r' && at + 1 < started.read.size() && started.read[at + 1] == '\n'))
        shown += started.read[at];
    }
    started.read = std::move(shown);
  }
  RunResult result;
  result.standardOutput = std::move(started.read);
  char chunk[4096];
  ssize_t n;
  while ((n = ::pread(started.errors, chunk, sizeof chunk, static_cast<off_t>(result.standardError.size()))) > 0) {
    result.standardError.append(chunk, static_cast<std::size_t>(n));
  }
  ::close(started.errors);
  if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

void waitUntilBlockedIn(pid_t pid, long number, int descriptor) {
  std::string call = std::to_string(number) + " ";
  if (descriptor >= 0) {
    char argument[32];
    std::snprintf(argument, sizeof argument, "0x%x ", static_cast<unsigned>(descriptor));
    call += argument;
  }
  for (int tries = 0; tries < 5000; ++tries) {
    std::ifstream syscall("/proc/" + std::to_string(pid) + "/syscall");
    std::string now;
    std::getline(syscall, now);
    if (now.rfind(call, 0) == 0) return;
    ::usleep(1000);
  }
  FAIL() << "the program never waited in system call " << call;
}

RunResult runVarnolix(const std::string& dir, const RunOptions& options) {
  Started started = startVarnolix(dir, options);
  return finishVarnolix(started);
}

}  // namespace testing_support
