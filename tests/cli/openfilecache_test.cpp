// The cache of output descriptors alone, on temporary files: it never holds more descriptors
// than its allowance, closes the least recently used file to make room (a use or a reopening
// makes a file the most recent), and hands a close that failed while making room over once,
// as that file's failure, at its next descriptor() or close().

#include "openfilecache.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>
#include <vector>

#include "fileidentity.h"
#include "test_support.h"

namespace {

using testing_support::TempDir;

// Files of a temporary folder, kept open through a cache.
struct Files {
  TempDir dir;
  OpenFileCache cache;
  explicit Files(std::size_t allowance) : cache(allowance) {}

  std::string path(std::uint32_t file) const { return dir / ("f" + std::to_string(file)); }
  std::uint32_t add() {
    cache.reserveOneMore();
    const auto file = static_cast<std::uint32_t>(cache.size());
    return cache.add(cache.open(path(file).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC));
  }
  int use(std::uint32_t file) {
    Failure none;
    const int fd = cache.descriptor(file, none);
    EXPECT_FALSE(none) << "a failure of file " << file;
    return fd;
  }
  int reopen(std::uint32_t file) { return cache.attach(file, cache.open(path(file).c_str(), O_WRONLY | O_CLOEXEC)); }
  std::vector<std::uint32_t> open() const {
    std::vector<std::uint32_t> files;
    for (std::uint32_t file = 0; file < cache.size(); ++file) {
      if (cache.isOpen(file)) files.push_back(file);
    }
    return files;
  }
  // Descriptors of this process open on a file of the folder, whatever the cache believes.
  std::size_t descriptors() const {
    char* const real = ::realpath(dir.path().c_str(), nullptr);
    const std::string prefix = std::string(real) + "/";
    std::free(real);
    std::size_t count = 0;
    DIR* const fds = ::opendir("/proc/self/fd");
    while (const dirent* entry = ::readdir(fds)) {
      char target[PATH_MAX];
      const ssize_t n = ::readlinkat(::dirfd(fds), entry->d_name, target, sizeof target);
      if (n > 0 && std::string(target, static_cast<std::size_t>(n)).rfind(prefix, 0) == 0) ++count;
    }
    ::closedir(fds);
    return count;
  }
};

enum class Do { kAdd, kUse, kReopen, kClose };

struct Step {
  Do what;
  std::uint32_t file;
};

constexpr Step kAdd{Do::kAdd, 0};
constexpr Step use(std::uint32_t file) { return {Do::kUse, file}; }
constexpr Step reopen(std::uint32_t file) { return {Do::kReopen, file}; }
constexpr Step closeIt(std::uint32_t file) { return {Do::kClose, file}; }

struct RecencyCase {
  const char* name;
  std::size_t allowance;
  std::vector<Step> steps;
  std::vector<std::uint32_t> open;  // at the end
};

void PrintTo(const RecencyCase& c, std::ostream* os) { *os << c.name; }

class OpenFileCacheRecencyTest : public ::testing::TestWithParam<RecencyCase> {};

TEST_P(OpenFileCacheRecencyTest, KeepsTheMostRecentlyUsedOpenWithinTheAllowance) {
  const RecencyCase& c = GetParam();
  Files files(c.allowance);
  for (const Step& step : c.steps) {
    if (step.what == Do::kAdd) files.add();
    if (step.what == Do::kUse) files.use(step.file);
    if (step.what == Do::kReopen) files.reopen(step.file);
    if (step.what == Do::kClose) {
      EXPECT_FALSE(files.cache.close(step.file));
    }
    EXPECT_LE(files.open().size(), c.allowance);
    EXPECT_EQ(files.descriptors(), files.open().size()) << "a file closed only in name";
  }
  EXPECT_EQ(files.open(), c.open);
  for (const std::uint32_t file : c.open) {  // each on its own file
    EXPECT_TRUE(FileIdentity::ofDescriptor(files.use(file)) == FileIdentity::ofPath(files.path(file).c_str())) << file;
  }
}

INSTANTIATE_TEST_SUITE_P(
    OpenFileCache, OpenFileCacheRecencyTest,
    ::testing::Values(RecencyCase{"AllFit", 3, {kAdd, kAdd, kAdd}, {0, 1, 2}},
                      RecencyCase{"OldestClosedForANewFile", 2, {kAdd, kAdd, kAdd}, {1, 2}},
                      RecencyCase{"UseMakesTheNewest", 2, {kAdd, kAdd, use(0), kAdd}, {0, 2}},
                      RecencyCase{"ReopenedIsTheNewest", 2, {kAdd, kAdd, kAdd, reopen(0), kAdd}, {0, 3}},
                      RecencyCase{"CloseLeavesRoom", 2, {kAdd, kAdd, closeIt(0), kAdd}, {1, 2}},
                      RecencyCase{"UsesAndReopensAmongMany",
                                  3,
                                  {kAdd, kAdd, kAdd, kAdd, kAdd, kAdd, use(3), reopen(0), use(1), kAdd},
                                  {0, 3, 6}}),
    testing_support::CaseName());

// The system may run out of descriptors before the allowance does: more files are closed.
TEST(OpenFileCache, ClosesMoreWhileTheSystemHasNoDescriptorLeft) {
  Files files(1000);
  rlimit previous{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &previous), 0);
  const int lowestFree = ::dup(0);
  ::close(lowestFree);
  const rlimit limited{static_cast<rlim_t>(lowestFree) + 3, previous.rlim_max};
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limited), 0);
  for (int i = 0; i < 10; ++i) files.add();
  ::setrlimit(RLIMIT_NOFILE, &previous);
  EXPECT_GE(files.use(9), 0);
  EXPECT_LE(files.open().size(), 3u);
}

// Makes every later close() of descriptor `fd` fail with `error`, leaving it open: a seccomp
// filter, which no process can take back, so for a child process only.
bool failClosesOf(int fd, int error) {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_close, 0, 3),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),  // its low half, on little-endian
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(fd), 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (static_cast<std::uint32_t>(error) & SECCOMP_RET_DATA)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW)};
  const sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// Whether failClosesOf() works here: a container may forbid seccomp filters.
bool closesCanBeMadeToFail() {
  const pid_t child = ::fork();
  if (child == 0) std::_Exit(failClosesOf(-1, EIO) ? 0 : 1);
  int status = 0;
  return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

enum class MadeRoomFor { kOpen, kAttach };
enum class Asked { kDescriptor, kClose };

struct CloseFailureCase {
  const char* name;
  MadeRoomFor madeRoomFor;
  Asked asked;
  int error;  // of the close
};

void PrintTo(const CloseFailureCase& c, std::ostream* os) { *os << c.name; }

class OpenFileCacheCloseFailureTest : public ::testing::TestWithParam<CloseFailureCase> {};

std::string describe(const Failure& f) {
  const auto number = [](auto value) { return std::to_string(static_cast<int>(value)); };
  return f ? "what " + number(f.what()) + ", file " + (f.what() == Failure::What::kFile ? number(f.file()) : "-") +
                 ", how " + number(f.how()) + ", errno " + number(f.error())
           : "none";
}

// In a child process: makes a close that makes room fail as `c` says, asks for the failure,
// writes what is wrong to standard error and exits with 0 when nothing is.
[[noreturn]] void makeRoomAndAsk(Files& files, const CloseFailureCase& c) {
  std::uint32_t failed = 0;
  std::uint32_t other = 1;
  files.add();
  bool filtered;
  if (c.madeRoomFor == MadeRoomFor::kOpen) {
    filtered = failClosesOf(files.use(0), c.error);
    files.add();  // opening file 1 closes file 0
  } else {
    files.add();
    std::swap(failed, other);
    Descriptor reopened = Descriptor::open(files.path(0).c_str(), O_WRONLY | O_CLOEXEC);
    filtered = failClosesOf(files.use(1), c.error);
    files.cache.attach(0, std::move(reopened));  // closes file 1
  }
  std::string wrong = filtered ? "" : "no seccomp filter\n";
  Failure left = Failure::ofFile(7, Failure::How::kWrite, EIO);
  if (files.cache.descriptor(other, left) < 0 || left.file() != 7) wrong += "the other file: " + describe(left) + "\n";
  Failure failure;
  if (c.asked == Asked::kClose) failure = files.cache.close(failed);
  if (c.asked == Asked::kDescriptor && files.cache.descriptor(failed, failure) != -1) wrong += "still open\n";
  if (describe(failure) != describe(Failure::ofFile(failed, Failure::How::kClose, c.error))) {
    wrong += "handed over: " + describe(failure) + "\n";
  }
  Failure again;
  if (files.cache.descriptor(failed, again) != -1 || again || files.cache.close(failed)) wrong += "handed over twice\n";
  if (const Failure otherClosed = files.cache.close(other)) wrong += "the other file failed: " + describe(otherClosed);
  std::fputs(wrong.c_str(), stderr);
  std::_Exit(wrong.empty() ? 0 : 1);
}

TEST_P(OpenFileCacheCloseFailureTest, IsHandedOverOnceAsThatFilesFailureWhateverItsErrno) {
  if (!closesCanBeMadeToFail()) GTEST_SKIP() << "no seccomp filters here";
  Files files(1);
  EXPECT_EXIT(makeRoomAndAsk(files, GetParam()), ::testing::ExitedWithCode(0), "");
}

// EPERM is 1, which once also meant "closed".
INSTANTIATE_TEST_SUITE_P(OpenFileCache, OpenFileCacheCloseFailureTest,
                         ::testing::Values(CloseFailureCase{"ToOpenThenAskedForItsDescriptor", MadeRoomFor::kOpen,
                                                            Asked::kDescriptor, EPERM},
                                           CloseFailureCase{"ToOpenThenClosed", MadeRoomFor::kOpen, Asked::kClose, EIO},
                                           CloseFailureCase{"ToAttachThenAskedForItsDescriptor", MadeRoomFor::kAttach,
                                                            Asked::kDescriptor, EDQUOT},
                                           CloseFailureCase{"ToAttachThenClosed", MadeRoomFor::kAttach, Asked::kClose,
                                                            EPERM}),
                         testing_support::CaseName());

// The cache's own close of an open file fails when its descriptor was closed behind its back.
TEST(OpenFileCache, AFailedCloseOfAnOpenFileIsReturnedAtOnce) {
  Files files(2);
  files.add();
  ::close(files.use(0));
  const Failure failure = files.cache.close(0);
  ASSERT_EQ(failure.what(), Failure::What::kFile);
  EXPECT_EQ(failure.file(), 0u);
  EXPECT_EQ(failure.how(), Failure::How::kClose);
  EXPECT_EQ(failure.error(), EBADF);
  EXPECT_FALSE(files.cache.isOpen(0));
  EXPECT_FALSE(files.cache.close(0));
}

}  // namespace
