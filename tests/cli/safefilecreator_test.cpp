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
#include "unit_support.h"

namespace {

using testing_support::expectFailure;
using testing_support::readFile;
using testing_support::regularFiles;
using testing_support::ScopedChdir;
using testing_support::TempDir;
using testing_support::writeFile;
using How = Failure::How;
using Refusal = Failure::Refusal;

constexpr std::uint32_t kEarlier = 7;  // the file an earlier key created

// A current folder with the input and the file standard output goes to, open as it is.
struct Folder {
  TempDir dir;
  ScopedChdir inside{dir.path()};
  FileIdentity input = made("in.csv", "input\n");
  FileIdentity narration = made("out.txt", "narration\n");
  Descriptor narrationFd{::open("out.txt", O_WRONLY | O_APPEND | O_CLOEXEC)};
  std::vector<Descriptor> held;  // kept open while a key is tried
  OpenFileCache cache{16};

  static FileIdentity made(const char* name, const std::string& content) {
    writeFile(name, content);
    return FileIdentity::ofPath(name).value();
  }

  // A FIFO with a reader, which an open for writing would not even wait for.
  void fifo(const char* name) {
    ASSERT_EQ(::mkfifo(name, 0644), 0);
    held.emplace_back(::open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
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
  // An entry of every kind a refusal is about.
  ASSERT_EQ(::mkdir("sub", 0755), 0);
  writeFile("target", "target\n");
  ASSERT_EQ(::symlink("target", "link"), 0);
  ASSERT_EQ(::symlink("nowhere", "dangling"), 0);
  ASSERT_EQ(::link("in.csv", "alias"), 0);
  writeFile("earlier", "earlier\n");
  ASSERT_EQ(::link("earlier", "again"), 0);
  folder.fifo("fifo");
  if (::geteuid() == 0) {  // a folder shared as /tmp is, with another user's file
    ASSERT_EQ(::chmod(".", 01777), 0);
    writeFile("theirs", "theirs\n");
    ASSERT_EQ(::chown("theirs", 4242, 4242), 0);
  }
  const auto before = regularFiles(".", {});
  const SafeFileCreator creator = folder.creator();  // after the folder is shared: it looks once
  SafeFileCreator::Created created;
  EXPECT_EQ(opensOf(c.key, [&] { created = creator.create(c.key, folder.cache); }), 0);
  EXPECT_FALSE(created.descriptor.isOpen());
  expectFailure(created.failure, c.failure);
  EXPECT_EQ(regularFiles(".", {}), before) << "a refused key changed the folder";
}

Failure refused(Refusal why, std::uint32_t sameAs = 0) { return Failure::refusedKey(why, sameAs); }

INSTANTIATE_TEST_SUITE_P(
    SafeFileCreator, RefusalTest,
    ::testing::Values(
        RefusalCase{"Empty", "", refused(Refusal::kNotPlainFileName)},
        RefusalCase{"Dot", ".", refused(Refusal::kNotPlainFileName)},
        RefusalCase{"DotDot", "..", refused(Refusal::kNotPlainFileName)},
        RefusalCase{"Slash", "sub/x", refused(Refusal::kNotPlainFileName)},
        RefusalCase{"NulByte", std::string("in.csv\0x", 8), refused(Refusal::kNotPlainFileName)},
        RefusalCase{"LongerThanAFileName", std::string(NAME_MAX + 1, 'k'), Failure::ofKey(How::kCreate, ENAMETOOLONG)},
        RefusalCase{"Symlink", "link", refused(Refusal::kNotRegularFile)},
        RefusalCase{"DanglingSymlink", "dangling", refused(Refusal::kNotRegularFile)},
        RefusalCase{"Folder", "sub", refused(Refusal::kNotRegularFile)},
        RefusalCase{"Fifo", "fifo", refused(Refusal::kNotRegularFile)},
        RefusalCase{"Input", "in.csv", refused(Refusal::kInputFile)},
        RefusalCase{"InputUnderAnotherName", "alias", refused(Refusal::kInputFile)},
        RefusalCase{"StandardOutput", "out.txt", refused(Refusal::kStandardOutput)},
        RefusalCase{"EarlierKeysFile", "again", refused(Refusal::kSameFileAs, kEarlier)},
        RefusalCase{"AnotherUsersInASharedFolder", "theirs", refused(Refusal::kOwnedByAnotherUser), true}),
    testing_support::CaseName());

// A truncation reported done that left the file's bytes (FAT through FUSE): the file is
// refused, never written as if it were empty.
TEST(SafeFileCreator, RefusesAFileThatKeepsItsBytesAfterTruncation) {
  Folder folder;
  Folder::made("old", "old lines\n");
  const SafeFileCreator creator = folder.creator();
  counting_io::truncatesKeepBytes = true;
  const SafeFileCreator::Created created = creator.create("old", folder.cache);
  counting_io::truncatesKeepBytes = false;
  expectFailure(created.failure, refused(Refusal::kNotEmptied));
  EXPECT_EQ(readFile("old"), "old lines\n");
}

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
  const bool existed = !c.before.empty();
  const FileIdentity existing = existed ? Folder::made(c.key.c_str(), c.before) : FileIdentity{};
  if (c.sharedFolderOwnedByOther) {  // the file belongs to the folder's owner: it may be written
    ASSERT_EQ(::chmod(".", 01777), 0);
    ASSERT_EQ(::chown(".", 4242, 4242), 0);
    ASSERT_EQ(::chown(c.key.c_str(), 4242, 4242), 0);
  }
  const SafeFileCreator creator = folder.creator();
  SafeFileCreator::Created created;
  EXPECT_EQ(opensOf(c.key, [&] { created = creator.create(c.key, folder.cache); }), 1);
  ASSERT_FALSE(created.failure);
  EXPECT_TRUE(created.identity == FileIdentity::ofPath(c.key.c_str()).value());
  EXPECT_TRUE(!existed || created.identity == existing) << "emptied in place, not replaced";
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
  void (*replace)(Folder&);  // what becomes of the name "kept" once its file was created and closed
  Failure failure;
  int opens;  // of the name: what is not the file created is looked at, never opened
};

void PrintTo(const ReopenCase& c, std::ostream* os) { *os << c.name; }

class ReopenTest : public ::testing::TestWithParam<ReopenCase> {};

TEST_P(ReopenTest, ReopensOnlyTheFileCreated) {
  const ReopenCase& c = GetParam();
  Folder folder;
  FileIdentity identity;
  {
    const SafeFileCreator::Created created = folder.creator().create("kept", folder.cache);
    ASSERT_EQ(::write(created.descriptor.get(), "a\n", 2), 2);
    identity = created.identity;
  }
  c.replace(folder);
  Failure failure;
  Descriptor reopened;
  EXPECT_EQ(opensOf("kept", [&] { reopened = SafeFileCreator::reopen(5, "kept", identity, folder.cache, failure); }),
            c.opens);
  expectFailure(failure, c.failure);
  ASSERT_EQ(reopened.isOpen(), !c.failure);
  if (!reopened.isOpen()) return;
  EXPECT_EQ(::write(reopened.get(), "b\n", 2), 2);
  EXPECT_EQ(readFile("kept"), "a\nb\n") << "a reopened file is appended to";
}

const Failure kReplaced = Failure::ofFile(5, How::kReplaced);

INSTANTIATE_TEST_SUITE_P(SafeFileCreator, ReopenTest,
                         ::testing::Values(ReopenCase{"TheFileCreated", [](Folder&) {}, Failure(), 1},
                                           // A new file under the name (made before the old one
                                           // is gone, so that it cannot get the old inode number).
                                           ReopenCase{"RenamedOver",
                                                      [](Folder&) {
                                                        writeFile("other", "a\n");
                                                        ASSERT_EQ(::rename("other", "kept"), 0);
                                                      },
                                                      kReplaced, 0},
                                           ReopenCase{"SymlinkToTheFileCreated",
                                                      [](Folder&) {
                                                        ASSERT_EQ(::rename("kept", "moved"), 0);
                                                        ASSERT_EQ(::symlink("moved", "kept"), 0);
                                                      },
                                                      kReplaced, 0},
                                           ReopenCase{"Fifo",
                                                      [](Folder& folder) {
                                                        folder.fifo("fifo");
                                                        ASSERT_EQ(::rename("fifo", "kept"), 0);
                                                      },
                                                      kReplaced, 0},
                                           ReopenCase{"Gone", [](Folder&) { ASSERT_EQ(::unlink("kept"), 0); },
                                                      Failure::ofFile(5, How::kReopen, ENOENT), 0}),
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
  Failure failure;
};

void PrintTo(const SpellingCase& c, std::ostream* os) { *os << c.name; }

class SpellingTest : public ::testing::TestWithParam<SpellingCase> {};

TEST_P(SpellingTest, ComparesNamesAsTheFileSystemDoes) {
  const SpellingCase& c = GetParam();
  const FolderFileSystem fileSystem = c.folds ? foldingFileSystem() : FolderFileSystem();
  ASSERT_EQ(fileSystem.foldsNames(), c.folds);
  Folder folder;
  writeFile(c.key, "other spelling\n");
  const SafeFileCreator::Created created = folder.creator(fileSystem).create(c.key, folder.cache);
  expectFailure(created.failure, c.failure);
  EXPECT_EQ(readFile(c.key), c.failure ? "other spelling\n" : "");
}

INSTANTIATE_TEST_SUITE_P(
    SafeFileCreator, SpellingTest,
    ::testing::Values(SpellingCase{"Input", true, "IN.CSV", refused(Refusal::kInputFile)},
                      SpellingCase{"StandardOutput", true, "Out.Txt", refused(Refusal::kStandardOutput)},
                      SpellingCase{"EarlierKey", true, "Earlier", refused(Refusal::kSameFileAs, kEarlier)},
                      // Where names do not fold, each spelling is a file of its own.
                      SpellingCase{"InputKeptApart", false, "IN.CSV", Failure()},
                      SpellingCase{"EarlierKeyKeptApart", false, "Earlier", Failure()}),
    testing_support::CaseName());

}  // namespace
