// The file creator in a folder of its own: a key's file is created or emptied only when that
// harms nothing; every refusal leaves the folder as it was and opens nothing; a file is
// reopened only while it is the file created; and where names fold, a name that exists is
// compared with the guarded files and earlier keys as the file system compares names.

#include "safefilecreator.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "counting_io.h"
#include "test_support.h"

namespace {

using testing_support::readFile;
using testing_support::regularFiles;
using testing_support::ScopedChdir;
using testing_support::TempDir;
using testing_support::writeFile;
using Refusal = Failure::Refusal;
using Held = std::vector<Descriptor>;  // what a case keeps open while the key is tried

constexpr std::uint32_t kEarlier = 7;  // the file an earlier key created

// A current folder with the input and the file standard output goes to, open as it is.
struct Folder {
  TempDir dir;
  ScopedChdir inside{dir.path()};
  FileIdentity input = made("in.csv", "input\n");
  FileIdentity narration = made("out.txt", "narration\n");
  Descriptor narrationFd{::open("out.txt", O_WRONLY | O_APPEND | O_CLOEXEC)};
  OpenFileCache cache{16};

  static FileIdentity made(const char* name, const std::string& content) {
    writeFile(name, content);
    return FileIdentity::ofPath(name).value();
  }

  // The file of an earlier key is `earlier`, under any name; where names fold, "EARLIER".
  SafeFileCreator creator(const FolderFileSystem& fileSystem = FolderFileSystem()) const {
    return SafeFileCreator(
        GuardedFiles{input, "in.csv", narration, narrationFd.get()}, fileSystem,
        [](const FileIdentity& identity) -> std::optional<std::uint32_t> {
          if (identity == FileIdentity::ofPath("earlier")) return kEarlier;
          return std::nullopt;
        },
        [](std::string_view key) -> std::optional<std::uint32_t> {
          FoldedName folded;
          if (FolderFileSystem::fold(key, folded) == "EARLIER") return kEarlier;
          return std::nullopt;
        });
  }
};

void expectRefused(const Failure& failure, Refusal why, std::uint32_t sameAs = 0) {
  EXPECT_EQ(failure.what(), Failure::What::kKey);
  EXPECT_EQ(failure.how(), Failure::How::kRefused);
  EXPECT_EQ(failure.refusal(), why);
  EXPECT_EQ(failure.sameAs(), sameAs);
}

// Opens that succeeded on `name` while `run` ran.
template <class Run>
int opensOf(const std::string& name, Run&& run) {
  counting_io::byName.clear();
  counting_io::counting = true;
  run();
  counting_io::counting = false;
  return counting_io::byName[name].opens;
}

struct RefusalCase {
  const char* name;
  void (*setup)(Held&);
  std::string key;
  Failure failure;
  bool rootOnly = false;
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class RefusalTest : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(RefusalTest, RefusesBeforeOpeningOrTruncatingAnything) {
  const RefusalCase& c = GetParam();
  if (c.rootOnly && ::geteuid() != 0) GTEST_SKIP() << "only root can give a file to another user";
  Folder folder;
  Held held;
  c.setup(held);
  const auto before = regularFiles(".", {});
  const SafeFileCreator creator = folder.creator();  // after setup: it looks at the folder once
  SafeFileCreator::Created created;
  EXPECT_EQ(opensOf(c.key, [&] { created = creator.create(c.key, folder.cache); }), 0);
  EXPECT_FALSE(created.descriptor.isOpen());
  EXPECT_EQ(created.failure.what(), Failure::What::kKey);
  EXPECT_EQ(created.failure.how(), c.failure.how());
  EXPECT_EQ(created.failure.error(), c.failure.error());
  if (c.failure.how() == Failure::How::kRefused)
    expectRefused(created.failure, c.failure.refusal(), c.failure.sameAs());
  EXPECT_EQ(regularFiles(".", {}), before) << "a refused key changed the folder";
}

void nothing(Held&) {}
void subFolder(Held&) { ASSERT_EQ(::mkdir("sub", 0755), 0); }
void links(Held&) {
  writeFile("target", "target\n");
  ASSERT_EQ(::symlink("target", "link"), 0);
  ASSERT_EQ(::symlink("nowhere", "dangling"), 0);
  ASSERT_EQ(::link("in.csv", "alias"), 0);
  writeFile("earlier", "earlier\n");
  ASSERT_EQ(::link("earlier", "again"), 0);
}
// A FIFO with a reader, which an open for writing would not wait for.
void fifo(Held& held) {
  ASSERT_EQ(::mkfifo("fifo", 0644), 0);
  held.emplace_back(::open("fifo", O_RDONLY | O_NONBLOCK | O_CLOEXEC));
}
void sharedFolder(Held&) {
  ASSERT_EQ(::chmod(".", 01777), 0);
  writeFile("theirs", "theirs\n");
  ASSERT_EQ(::chown("theirs", 4242, 4242), 0);
}

Failure refused(Refusal why, std::uint32_t sameAs = 0) { return Failure::refusedKey(why, sameAs); }

INSTANTIATE_TEST_SUITE_P(
    SafeFileCreator, RefusalTest,
    ::testing::Values(RefusalCase{"Empty", nothing, "", refused(Refusal::kNotPlainFileName)},
                      RefusalCase{"Dot", nothing, ".", refused(Refusal::kNotPlainFileName)},
                      RefusalCase{"DotDot", nothing, "..", refused(Refusal::kNotPlainFileName)},
                      RefusalCase{"Slash", subFolder, "sub/x", refused(Refusal::kNotPlainFileName)},
                      RefusalCase{"NulByte", nothing, std::string("in.csv\0x", 8), refused(Refusal::kNotPlainFileName)},
                      RefusalCase{"LongerThanAFileName", nothing, std::string(NAME_MAX + 1, 'k'),
                                  Failure::ofKey(Failure::How::kCreate, ENAMETOOLONG)},
                      RefusalCase{"Symlink", links, "link", refused(Refusal::kNotRegularFile)},
                      RefusalCase{"DanglingSymlink", links, "dangling", refused(Refusal::kNotRegularFile)},
                      RefusalCase{"Folder", subFolder, "sub", refused(Refusal::kNotRegularFile)},
                      RefusalCase{"Fifo", fifo, "fifo", refused(Refusal::kNotRegularFile)},
                      RefusalCase{"Input", nothing, "in.csv", refused(Refusal::kInputFile)},
                      RefusalCase{"InputUnderAnotherName", links, "alias", refused(Refusal::kInputFile)},
                      RefusalCase{"StandardOutput", nothing, "out.txt", refused(Refusal::kStandardOutput)},
                      RefusalCase{"EarlierKeysFile", links, "again", refused(Refusal::kSameFileAs, kEarlier)},
                      RefusalCase{"AnotherUsersInASharedFolder", sharedFolder, "theirs",
                                  refused(Refusal::kOwnedByAnotherUser), true}),
    testing_support::CaseName());

struct CreateCase {
  const char* name;
  std::string key;
  std::string before;  // the file's content, if it exists
  bool sharedFolderOwnedByOther = false;
};

void PrintTo(const CreateCase& c, std::ostream* os) { *os << c.name; }

class CreateTest : public ::testing::TestWithParam<CreateCase> {};

TEST_P(CreateTest, CreatesOrEmptiesTheFileItself) {
  const CreateCase& c = GetParam();
  if (c.sharedFolderOwnedByOther && ::geteuid() != 0) GTEST_SKIP() << "only root can give a folder away";
  Folder folder;
  std::optional<FileIdentity> existing;
  if (!c.before.empty()) existing = Folder::made(c.key.c_str(), c.before);
  if (c.sharedFolderOwnedByOther) {  // the file belongs to the folder's owner: it may be written
    ASSERT_EQ(::chmod(".", 01777), 0);
    ASSERT_EQ(::chown(".", 4242, 4242), 0);
    ASSERT_EQ(::chown(c.key.c_str(), 4242, 4242), 0);
  }
  const SafeFileCreator creator = folder.creator();
  SafeFileCreator::Created created;
  EXPECT_EQ(opensOf(c.key, [&] { created = creator.create(c.key, folder.cache); }), 1);
  ASSERT_FALSE(created.failure);
  ASSERT_TRUE(created.descriptor.isOpen());
  EXPECT_TRUE(created.identity == FileIdentity::ofPath(c.key.c_str()).value());
  if (existing) {
    EXPECT_TRUE(created.identity == *existing) << "emptied in place, not replaced";
  }
  EXPECT_EQ(::write(created.descriptor.get(), "x\n", 2), 2);
  EXPECT_EQ(readFile(c.key), "x\n");
}

INSTANTIATE_TEST_SUITE_P(SafeFileCreator, CreateTest,
                         ::testing::Values(CreateCase{"NewName", "new", ""},
                                           CreateCase{"ExistingWithContent", "old", "old lines\nmore\n"},
                                           CreateCase{"LongestName", std::string(NAME_MAX, 'k'), "old\n"},
                                           CreateCase{"FolderOwnersInASharedFolder", "owners", "old\n", true}),
                         testing_support::CaseName());

struct ReopenCase {
  const char* name;
  void (*replace)(Held&);  // the name "kept", after its file was created and closed
  Failure::How how;
  int error;
  int opens;  // of the name; what is not the file created is looked at, never opened
};

void PrintTo(const ReopenCase& c, std::ostream* os) { *os << c.name; }

class ReopenTest : public ::testing::TestWithParam<ReopenCase> {};

TEST_P(ReopenTest, ReopensOnlyTheFileCreated) {
  const ReopenCase& c = GetParam();
  Folder folder;
  const SafeFileCreator creator = folder.creator();
  FileIdentity identity;
  {
    const SafeFileCreator::Created created = creator.create("kept", folder.cache);
    ASSERT_FALSE(created.failure);
    ASSERT_EQ(::write(created.descriptor.get(), "a\n", 2), 2);
    identity = created.identity;
  }
  Held held;
  c.replace(held);
  Failure failure;
  Descriptor reopened;
  EXPECT_EQ(opensOf("kept", [&] { reopened = SafeFileCreator::reopen(5, "kept", identity, folder.cache, failure); }),
            c.opens);
  EXPECT_EQ(failure.how(), c.how);
  EXPECT_EQ(failure.error(), c.error);
  EXPECT_EQ(reopened.isOpen(), c.how == Failure::How::kNone);
  if (failure) {
    EXPECT_EQ(failure.file(), 5U);
  }
  if (!reopened.isOpen()) return;
  EXPECT_EQ(::write(reopened.get(), "b\n", 2), 2);
  EXPECT_EQ(readFile("kept"), "a\nb\n") << "a reopened file is appended to";
}

void kept(Held&) {}
// The old file is kept open, so that the new one cannot be given its inode number again.
void newFile(Held& held) {
  held.emplace_back(::open("kept", O_RDONLY | O_CLOEXEC));
  ASSERT_EQ(::unlink("kept"), 0);
  writeFile("kept", "a\n");
}
void renamedOver(Held&) {
  writeFile("other", "a\n");
  ASSERT_EQ(::rename("other", "kept"), 0);
}
void linkToIt(Held&) {
  ASSERT_EQ(::rename("kept", "moved"), 0);
  ASSERT_EQ(::symlink("moved", "kept"), 0);
}
void fifoInstead(Held& held) {
  ASSERT_EQ(::unlink("kept"), 0);
  fifo(held);
  ASSERT_EQ(::rename("fifo", "kept"), 0);
}
void gone(Held&) { ASSERT_EQ(::unlink("kept"), 0); }

INSTANTIATE_TEST_SUITE_P(SafeFileCreator, ReopenTest,
                         ::testing::Values(ReopenCase{"TheFileCreated", kept, Failure::How::kNone, 0, 1},
                                           ReopenCase{"NewFileUnderItsName", newFile, Failure::How::kReplaced, 0, 0},
                                           ReopenCase{"RenamedOver", renamedOver, Failure::How::kReplaced, 0, 0},
                                           ReopenCase{"SymlinkToTheFileCreated", linkToIt, Failure::How::kReplaced, 0,
                                                      0},
                                           ReopenCase{"Fifo", fifoInstead, Failure::How::kReplaced, 0, 0},
                                           ReopenCase{"Gone", gone, Failure::How::kReopen, ENOENT, 0}),
                         testing_support::CaseName());

// A file system that folds names, learned as from FAT: the input's other spelling is found
// as the same file (here a hard link, in a folder of its own).
FolderFileSystem foldingFileSystem() {
  const TempDir elsewhere;
  const ScopedChdir inside(elsewhere.path());
  writeFile("test.csv", "");
  EXPECT_EQ(::link("test.csv", "TEST.CSV"), 0);
  return FolderFileSystem::ofCurrentFolder("test.csv");
}

struct SpellingCase {
  const char* name;
  bool folds;
  std::string key;  // another spelling of a guarded or earlier file, a file of its own here
  Refusal refusal;  // kNone: created
};

void PrintTo(const SpellingCase& c, std::ostream* os) { *os << c.name; }

class SpellingTest : public ::testing::TestWithParam<SpellingCase> {};

TEST_P(SpellingTest, ComparesNamesAsTheFileSystemDoes) {
  const SpellingCase& c = GetParam();
  const FolderFileSystem fileSystem = c.folds ? foldingFileSystem() : FolderFileSystem();
  ASSERT_EQ(fileSystem.foldsNames(), c.folds);
  Folder folder;
  writeFile(c.key, "other spelling\n");
  const SafeFileCreator creator = folder.creator(fileSystem);
  const SafeFileCreator::Created created = creator.create(c.key, folder.cache);
  if (c.refusal == Refusal::kNone) {
    EXPECT_FALSE(created.failure);
    EXPECT_EQ(readFile(c.key), "");
  } else {
    expectRefused(created.failure, c.refusal, c.refusal == Refusal::kSameFileAs ? kEarlier : 0);
    EXPECT_EQ(readFile(c.key), "other spelling\n");
  }
}

INSTANTIATE_TEST_SUITE_P(SafeFileCreator, SpellingTest,
                         ::testing::Values(SpellingCase{"Input", true, "IN.CSV", Refusal::kInputFile},
                                           SpellingCase{"StandardOutput", true, "Out.Txt", Refusal::kStandardOutput},
                                           SpellingCase{"EarlierKey", true, "Earlier", Refusal::kSameFileAs},
                                           // Where names do not fold, each spelling is a file of its own.
                                           SpellingCase{"InputKeptApart", false, "IN.CSV", Refusal::kNone},
                                           SpellingCase{"EarlierKeyKeptApart", false, "Earlier", Refusal::kNone}),
                         testing_support::CaseName());

}  // namespace
