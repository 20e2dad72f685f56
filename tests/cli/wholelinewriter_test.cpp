// The writer that keeps files in whole lines: pieces gathered into few writes, the bytes up
// to the last line feed counted, and a write that fails part way leaving the file cut back
// to that line feed, failed, and never written again.

#include "wholelinewriter.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <utility>
#include <vector>

#include "counting_io.h"
#include "test_support.h"
#include "unit_support.h"

namespace {

using testing_support::expectFailure;
using How = Failure::How;

constexpr std::uint32_t kFile = 3;

// Hands out one descriptor, or a failure when it is -1, and counts how often it was asked.
struct Source {
  int fd = -1;
  Failure failure;
  int asked = 0;

  DescriptorSource get() {
    return DescriptorSource{[](void* owner, std::uint32_t, Failure& out) noexcept {
                              auto* const self = static_cast<Source*>(owner);
                              ++self->asked;
                              if (self->fd < 0) out = self->failure;
                              return self->fd;
                            },
                            this};
  }
};

std::string contentOf(int fd) {
  struct stat status {};
  EXPECT_EQ(::fstat(fd, &status), 0);
  std::string content(static_cast<std::size_t>(status.st_size), '\0');
  EXPECT_EQ(::pread(fd, content.data(), content.size(), 0), status.st_size);
  return content;
}

// Each piece as many times as said, in order.
std::vector<std::string> repeated(const std::vector<std::pair<std::string, std::size_t>>& runs) {
  std::vector<std::string> pieces;
  for (const auto& [piece, times] : runs) pieces.insert(pieces.end(), times, piece);
  return pieces;
}

struct GatherCase {
  const char* name;
  std::vector<std::string> pieces;  // added, then flushed once
  int writes;
  std::uint64_t wholeLines;
};

void PrintTo(const GatherCase& c, std::ostream* os) { *os << c.name; }

class GatherTest : public ::testing::TestWithParam<GatherCase> {};

TEST_P(GatherTest, WritesEveryPieceInFewWritesAndCountsWholeLines) {
  const GatherCase& c = GetParam();
  const testing_support::TempDir dir;
  const std::string path = dir / "out";
  counting_io::byName.clear();
  counting_io::counting = true;
  Source source;
  source.fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  FileState state;
  {
    WholeLineWriter writer(source.get(), kFile, state);
    for (const std::string& piece : c.pieces) writer.add(piece.data(), piece.size());
    writer.flush();
  }
  counting_io::counting = false;
  std::string all;
  for (const std::string& piece : c.pieces) all += piece;
  EXPECT_EQ(contentOf(source.fd), all);
  EXPECT_EQ(counting_io::byName[path].writes, c.writes);
  EXPECT_EQ(source.asked, c.writes > 0 ? 1 : 0) << "the file is needed at its first write only";
  EXPECT_EQ(state.written, all.size());
  EXPECT_EQ(state.wholeLines, c.wholeLines);
  EXPECT_FALSE(state.failure);
  ::close(source.fd);
}

INSTANTIATE_TEST_SUITE_P(
    WholeLineWriter, GatherTest,
    ::testing::Values(GatherCase{"NothingAdded", {}, 0, 0}, GatherCase{"OnlyEmptyPieces", {"", ""}, 0, 0},
                      GatherCase{"LineInPieces", {"a;", "1", "\n", "b;"}, 1, 4},
                      GatherCase{"NoLineFeedYet", {"a;1"}, 1, 0},
                      // 64 pieces go in one write.
                      GatherCase{"MorePiecesThanOneWrite", repeated({{"k;1\n", 150}}), 3, 600},
                      GatherCase{"LastLineFeedInAnEarlierWrite", repeated({{"x\n", 64}, {"y", 40}}), 2, 128}),
    testing_support::CaseName());

// Writes past 4 KiB fail with EPERM: a full disk without a disk.
int sealedMemoryFile() {
  const int fd = ::memfd_create("sealed", MFD_CLOEXEC | MFD_ALLOW_SEALING);
  EXPECT_EQ(::ftruncate(fd, 4096), 0);
  EXPECT_EQ(::fcntl(fd, F_ADD_SEALS, F_SEAL_GROW), 0);
  return fd;
}

// Writes fail with EPIPE at once: nobody reads.
int pipeWithoutReader() {
  int ends[2];
  EXPECT_EQ(::pipe2(ends, O_CLOEXEC), 0);
  ::close(ends[0]);
  return ends[1];
}

std::string lines(int count, std::size_t length) {
  std::string text;
  for (int i = 0; i < count; ++i) text += std::string(length - 1, static_cast<char>('a' + i % 26)) + "\n";
  return text;
}

struct FailCase {
  const char* name;
  bool pipe;                        // else a memory file that cannot grow past 4 KiB
  std::vector<std::string> writes;  // each added as one piece and flushed
  std::uint64_t wholeLines;         // what the file keeps
  int error;
};

void PrintTo(const FailCase& c, std::ostream* os) { *os << c.name; }

class FailTest : public ::testing::TestWithParam<FailCase> {};

TEST_P(FailTest, CutsBackToTheLastLineFeedAndDropsEverythingAfter) {
  const FailCase& c = GetParam();
  const auto previous = std::signal(SIGPIPE, SIG_IGN);
  Source source;
  source.fd = c.pipe ? pipeWithoutReader() : sealedMemoryFile();
  FileState state;
  std::string all;
  {
    WholeLineWriter writer(source.get(), kFile, state);
    for (const std::string& bytes : c.writes) {
      writer.add(bytes.data(), bytes.size());
      writer.flush();
      all += bytes;
    }
    // The file has room again after the cut, so a piece not dropped would land.
    writer.add("late\n", 5);
    writer.flush();
  }
  {
    WholeLineWriter later(source.get(), kFile, state);
    later.add("later\n", 6);
    later.flush();
  }
  EXPECT_EQ(source.asked, 1) << "a failed file is never written again";
  expectFailure(state.failure, Failure::ofFile(kFile, How::kWrite, c.error));
  EXPECT_EQ(state.wholeLines, c.wholeLines);
  EXPECT_EQ(state.written, c.wholeLines);
  if (!c.pipe) {
    EXPECT_EQ(contentOf(source.fd), all.substr(0, c.wholeLines));
  }
  ::close(source.fd);
  std::signal(SIGPIPE, previous);
}

INSTANTIATE_TEST_SUITE_P(
    WholeLineWriter, FailTest,
    ::testing::Values(FailCase{"TornLineCut", false, {lines(60, 100)}, 4000, EPERM},
                      FailCase{"LinesEndWhereTheWriteFails", false, {lines(80, 64)}, 4096, EPERM},
                      FailCase{"LastLineFeedInAnEarlierWrite", false, {"a\n", lines(1, 6000)}, 2, EPERM},
                      FailCase{"NothingWritten", true, {lines(3, 10)}, 0, EPIPE}),
    testing_support::CaseName());

// A file that cannot be had (reopening it failed, or it was replaced) fails as its source
// says, and is not asked for again.
TEST(WholeLineWriter, FileThatCannotBeHadFailsWithItsSourcesFailure) {
  Source source;
  source.failure = Failure::ofFile(kFile, How::kReplaced);
  FileState state;
  WholeLineWriter writer(source.get(), kFile, state);
  writer.add("a\n", 2);
  writer.flush();
  writer.add("b\n", 2);
  writer.flush();
  expectFailure(state.failure, source.failure);
  EXPECT_EQ(source.asked, 1);
  EXPECT_EQ(writer.descriptor(), -1);
  EXPECT_EQ(state.written, 0U);
}

struct CutCase {
  const char* name;
  std::string content;  // of the file when fail() is called
  std::uint64_t wholeLines;
  Failure earlier;  // of the state before
  Failure given;
  std::string kept;
  Failure failure;  // of the state after
};

void PrintTo(const CutCase& c, std::ostream* os) { *os << c.name; }

class CutTest : public ::testing::TestWithParam<CutCase> {};

TEST_P(CutTest, OnlyEverShrinksAFile) {
  const CutCase& c = GetParam();
  const int fd = ::memfd_create("cut", MFD_CLOEXEC);
  ASSERT_EQ(::pwrite(fd, c.content.data(), c.content.size(), 0), static_cast<ssize_t>(c.content.size()));
  FileState state;
  state.written = c.content.size();
  state.wholeLines = c.wholeLines;
  state.failure = c.earlier;
  WholeLineWriter::fail(state, fd, c.given);
  EXPECT_EQ(contentOf(fd), c.kept);
  expectFailure(state.failure, c.failure);
  ::close(fd);
}

const Failure kWriteFailed = Failure::ofFile(kFile, How::kWrite, EIO);
const Failure kReplaced = Failure::ofFile(kFile, How::kReplaced);

INSTANTIATE_TEST_SUITE_P(
    WholeLineWriter, CutTest,
    ::testing::Values(CutCase{"TornLine", "a\nb\nc", 4, Failure(), kWriteFailed, "a\nb\n", kWriteFailed},
                      // Someone else shortened the file: it stays as it is.
                      CutCase{"FileShorterThanItsLines", "a\n", 4, Failure(), kWriteFailed, "a\n", kWriteFailed},
                      // What the window's writer does at the end: cut back, nothing failed.
                      CutCase{"WithoutAFailure", "a\nbb", 2, Failure(), Failure(), "a\n", Failure()},
                      CutCase{"FirstFailureKept", "a\nb", 2, kReplaced, kWriteFailed, "a\n", kReplaced}),
    testing_support::CaseName());

}  // namespace
