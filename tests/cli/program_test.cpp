// Runs the built varnolix in fresh folders and compares standard output, every file
// and the exit status byte for byte.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using testing_support::FileSystem;
using testing_support::MountedFileSystem;
using testing_support::regularFiles;
using testing_support::RunOptions;
using testing_support::runVarnolix;
using testing_support::TempDir;
using testing_support::writeFile;

using Files = std::map<std::string, std::string>;

// A folder given by its path, as TempDir gives its own.
struct Folder {
  std::string dir;
  const std::string& path() const { return dir; }
  std::string operator/(const std::string& name) const { return dir + "/" + name; }
};

// Standard output sent to a file of the run's folder, as a shell's redirection does.
struct Redirect {
  const char* file = nullptr;  // none: standard output is captured
  int flags = 0;
  bool errorsToo = false;  // 2>&1
};

constexpr int kAppend = O_WRONLY | O_CREAT | O_APPEND;   // >>
constexpr int kTruncate = O_WRONLY | O_CREAT | O_TRUNC;  // >

struct ProgramCase {
  const char* name;
  std::optional<std::string> input;  // test.csv, or none
  std::vector<std::string> arguments;
  std::string standardOutput;
  Files files;  // every regular file besides test.csv afterwards
  int exitStatus;
  Redirect redirect = {};
  std::string standardError = "";
  std::optional<std::string> inputAfter = std::nullopt;  // test.csv afterwards, if not the input
  bool anotherRunInTheFolder = false;                    // the folder is locked as a run locks it
  FileSystem fileSystem = FileSystem::kTemporaryFolder;  // where the run's folder is
  Files before = {};                                     // files in the folder before the run
};

void PrintTo(const ProgramCase& c, std::ostream* os) { *os << c.name; }

class ProgramTest : public ::testing::TestWithParam<ProgramCase> {};

TEST_P(ProgramTest, ProducesExactOutputFilesAndStatus) {
  const ProgramCase& c = GetParam();
  TempDir scratch;
  const std::string work = scratch / "work";
  ASSERT_EQ(::mkdir(work.c_str(), 0755), 0);
  const MountedFileSystem fileSystem(c.fileSystem, work);
  if (!fileSystem.skipReason().empty()) GTEST_SKIP() << fileSystem.skipReason();
  const Folder dir{work};
  for (const auto& [name, content] : c.before) writeFile(dir / name, content);
  if (c.input) writeFile(dir / "test.csv", *c.input);
  RunOptions options;
  options.arguments = c.arguments;
  if (c.redirect.file != nullptr) {
    options.standardOutput = testing_support::Stdout::kFile;
    options.outputFile = c.redirect.file;
    options.outputFileFlags = c.redirect.flags;
    options.errorToOutputFile = c.redirect.errorsToo;
  }
  const int folder = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (c.anotherRunInTheFolder) {
    ASSERT_EQ(::flock(folder, LOCK_EX | LOCK_NB), 0);
  }
  const auto result = runVarnolix(dir.path(), options);
  ::close(folder);
  EXPECT_EQ(result.standardOutput, c.standardOutput);
  EXPECT_EQ(result.standardError, c.standardError);
  EXPECT_EQ(regularFiles(dir.path()), c.files);
  EXPECT_EQ(result.exitStatus, c.exitStatus);
  if (c.input) {
    EXPECT_EQ(testing_support::readFile(dir / "test.csv"), c.inputAfter.value_or(*c.input));
  }
}

const std::string kThreeLines = "a;1\nb;2\na;3\n";
const std::string kInputIsStandardOutput = "Could not open CSV File 'test.csv': it is standard output\n";
const std::string kBinaryLine = std::string("k\x80\xff;\x00\x01\x7f;\xc3\xa4", 11);

INSTANTIATE_TEST_SUITE_P(
    Varnolix, ProgramTest,
    ::testing::Values(
        ProgramCase{"GroupsByFirstField",
                    "a;1\nb;2\na;3\n",
                    {},
                    "a;1\nappending: a;1\nb;2\nappending: b;2\na;3\nappending: a;3\n2\nclozing\nclozing\n",
                    {{"a", "a;1\na;3\n"}, {"b", "b;2\n"}},
                    0},
        ProgramCase{"MissingInput", std::nullopt, {}, "Could not open CSV File 'test.csv'\n", {}, 1},
        ProgramCase{"EmptyInput", "", {}, "0\n", {}, 0},
        ProgramCase{"ArgumentsIgnored",
                    "x;1\n",
                    {"--help", "other.csv", "-f", "2"},
                    "x;1\nappending: x;1\n1\nclozing\n",
                    {{"x", "x;1\n"}},
                    0},
        ProgramCase{
            "EmptyLineEndsGrouping", "a;1\n\nb;2\n", {}, "a;1\nappending: a;1\n1\nclozing\n", {{"a", "a;1\n"}}, 0},
        ProgramCase{"LastLineWithoutLineFeed",
                    "a;1\na;2",
                    {},
                    "a;1\nappending: a;1\na;2\nappending: a;2\n1\nclozing\n",
                    {{"a", "a;1\na;2\n"}},
                    0},
        ProgramCase{"CarriageReturnInKey",
                    "a\r\na;1\r\n",
                    {},
                    "a\r\nappending: a\r\na;1\r\nappending: a;1\r\n2\nclozing\nclozing\n",
                    {{"a\r", "a\r\n"}, {"a", "a;1\r\n"}},
                    0},
        ProgramCase{"ArbitraryBytesUnchanged",
                    kBinaryLine + "\n",
                    {},
                    kBinaryLine + "\nappending: " + kBinaryLine + "\n1\nclozing\n",
                    {{"k\x80\xff", kBinaryLine + "\n"}},
                    0},
        ProgramCase{
            "LineWithoutSeparator", "solo\n", {}, "solo\nappending: solo\n1\nclozing\n", {{"solo", "solo\n"}}, 0},
        // Standard output is never one of the run's files: narration appended to the input
        // would be read back as input.
        ProgramCase{
            "InputAppendedToRefused", kThreeLines, {}, "", {}, 1, {"test.csv", kAppend}, kInputIsStandardOutput},
        ProgramCase{
            "InputReadAndWrittenRefused", kThreeLines, {}, "", {}, 1, {"test.csv", O_RDWR}, kInputIsStandardOutput},
        // The shell has emptied the input already; the refusal reports it.
        ProgramCase{
            "InputTruncatedRefused", kThreeLines, {}, "", {}, 1, {"test.csv", kTruncate}, kInputIsStandardOutput, ""},
        // Standard error is the input too: the message would be written into it.
        ProgramCase{"InputAsBothOutputsRefusedSilently", kThreeLines, {}, "", {}, 1, {"test.csv", kAppend, true}},
        ProgramCase{"KeyFileAsStandardOutputRefused",
                    "b;1\na;2\nb;3\n",
                    {},
                    "",
                    {{"a", "b;1\nappending: b;1\na;2\nCould not open output file 'a': it is standard output\n"},
                     {"b", "b;1\n"}},
                    1,
                    {"a", kTruncate}},
        // Two runs in one folder would both write every file: the second is refused, and
        // touches nothing.
        ProgramCase{"FolderInUseByAnotherRun",
                    kThreeLines,
                    {},
                    "Could not lock the output folder: another run is writing here\n",
                    {},
                    1,
                    {},
                    "",
                    std::nullopt,
                    true}),
    testing_support::CaseName());

// Each spelling of a name is its own file where names do not fold, and refused where they
// do, even where each spelling has an inode number of its own (FAT and exFAT through FUSE).
const std::string kSpellings = "CO;1\nCo;2\nco;3\nCO;4\n";
const std::string kSpellingsRefused =
    "CO;1\nappending: CO;1\nCo;2\nCould not open output file 'Co': it is the same file as 'CO'\n";
const std::string kInputSpelledOtherwise = "x;1\nTEST.CSV;2\nx;3\n";
const std::string kInputSpelledOtherwiseRefused =
    "x;1\nappending: x;1\nTEST.CSV;2\nCould not open output file 'TEST.CSV': it is the input file\n";
const std::string kLongKey(NAME_MAX, 'M');
const std::string kLongKeyLines = kLongKey + ";1\n" + kLongKey + ";" + std::string(600, '0') + "\n";

ProgramCase onFileSystem(FileSystem kind, ProgramCase c) {
  c.fileSystem = kind;
  return c;
}

ProgramCase withFilesBefore(Files before, ProgramCase c) {
  c.before = std::move(before);
  return c;
}

INSTANTIATE_TEST_SUITE_P(
    FileSystems, ProgramTest,
    ::testing::Values(
        ProgramCase{"SpellingsAreFilesOfTheirOwnInTheTemporaryFolder",
                    kSpellings,
                    {},
                    "CO;1\nappending: CO;1\nCo;2\nappending: Co;2\nco;3\nappending: co;3\nCO;4\nappending: CO;4\n"
                    "3\nclozing\nclozing\nclozing\n",
                    {{"CO", "CO;1\nCO;4\n"}, {"Co", "Co;2\n"}, {"co", "co;3\n"}},
                    0},
        onFileSystem(FileSystem::kTmpfs,
                     ProgramCase{"SpellingsAreFilesOfTheirOwnOnTmpfs",
                                 kSpellings,
                                 {},
                                 "CO;1\nappending: CO;1\nCo;2\nappending: Co;2\nco;3\nappending: co;3\nCO;4\n"
                                 "appending: CO;4\n3\nclozing\nclozing\nclozing\n",
                                 {{"CO", "CO;1\nCO;4\n"}, {"Co", "Co;2\n"}, {"co", "co;3\n"}},
                                 0}),
        // Another file named as the input in another case is just another file there.
        withFilesBefore({{"TEST.CSV", "old\n"}},
                        onFileSystem(FileSystem::kExt4,
                                     ProgramCase{"InputInAnotherCaseIsAnotherFileOnExt4",
                                                 kInputSpelledOtherwise,
                                                 {},
                                                 "x;1\nappending: x;1\nTEST.CSV;2\nappending: TEST.CSV;2\nx;3\n"
                                                 "appending: x;3\n2\nclozing\nclozing\n",
                                                 {{"TEST.CSV", "TEST.CSV;2\n"}, {"x", "x;1\nx;3\n"}},
                                                 0})),
        onFileSystem(FileSystem::kFatThroughFuse,
                     ProgramCase{"SpellingsRefusedOnFat", kSpellings, {}, kSpellingsRefused, {{"CO", "CO;1\n"}}, 1}),
        onFileSystem(FileSystem::kExfatThroughFuse,
                     ProgramCase{"SpellingsRefusedOnExfat", kSpellings, {}, kSpellingsRefused, {{"CO", "CO;1\n"}}, 1}),
        onFileSystem(FileSystem::kExfatThroughFuse,
                     ProgramCase{"AccentedSpellingsRefusedOnExfat",
                                 "\xc3\x84;1\nb;2\n\xc3\xa4;3\n",
                                 {},
                                 "\xc3\x84;1\nappending: \xc3\x84;1\nb;2\nappending: b;2\n\xc3\xa4;3\n"
                                 "Could not open output file '\xc3\xa4': it is the same file as '\xc3\x84'\n",
                                 {{"\xc3\x84", "\xc3\x84;1\n"}, {"b", "b;2\n"}},
                                 1}),
        onFileSystem(FileSystem::kFatThroughFuse, ProgramCase{"InputInAnotherCaseRefusedOnFat",
                                                              kInputSpelledOtherwise,
                                                              {},
                                                              kInputSpelledOtherwiseRefused,
                                                              {{"x", "x;1\n"}},
                                                              1}),
        onFileSystem(FileSystem::kExfatThroughFuse, ProgramCase{"InputInAnotherCaseRefusedOnExfat",
                                                                kInputSpelledOtherwise,
                                                                {},
                                                                kInputSpelledOtherwiseRefused,
                                                                {{"x", "x;1\n"}},
                                                                1}),
        onFileSystem(FileSystem::kFatThroughFuse,
                     ProgramCase{"StandardOutputInAnotherCaseRefusedOnFat",
                                 "out;1\n",
                                 {},
                                 "",
                                 {{"OUT", "out;1\nCould not open output file 'out': it is standard output\n"}},
                                 1,
                                 {"OUT", kTruncate}}),
        // Through FUSE, FAT keeps old bytes behind what the descriptor that truncated a file
        // writes next.
        withFilesBefore({{"k", "older and longer content\n"}},
                        onFileSystem(FileSystem::kFatThroughFuse, ProgramCase{"OlderContentReplacedOnFat",
                                                                              "k;1\n",
                                                                              {},
                                                                              "k;1\nappending: k;1\n1\nclozing\n",
                                                                              {{"k", "k;1\n"}},
                                                                              0})),
        withFilesBefore({{kLongKey, "old\n"}},
                        onFileSystem(FileSystem::kFatThroughFuse,
                                     ProgramCase{"LongestKeyWithOlderContentOnFat",
                                                 kLongKeyLines,
                                                 {},
                                                 kLongKey + ";1\nappending: " + kLongKey + ";1\n" + kLongKey + ";" +
                                                     std::string(600, '0') + "\nappending: " + kLongKey + ";" +
                                                     std::string(600, '0') + "\n1\nclozing\n",
                                                 {{kLongKey, kLongKeyLines}},
                                                 0}))),
    testing_support::CaseName());

TEST(Varnolix, MatchesAReferenceGroupingOnGeneratedInput) {
  // Many keys, lines of every length up to well past the program's buffers, arbitrary
  // bytes after the key, keys met in no particular order.
  std::mt19937 random(20261207);
  std::vector<std::string> keys;
  for (int i = 0; i < 300; ++i) keys.push_back("key" + std::to_string(i) + (i % 7 == 0 ? "\xe4\xf6" : ""));
  std::string input;
  std::string expectedOutput;
  Files expectedFiles;
  for (int i = 0; i < 20000; ++i) {
    const std::string& key = keys[random() % (i < 10000 ? 40 : keys.size())];
    std::string rest(random() % 120 == 0 ? 70000 + random() % 70000 : random() % 200, '\0');
    for (char& byte : rest) {
      byte = static_cast<char>(random() % 256);
      if (byte == '\n') byte = ';';
    }
    const std::string line = key + ";" + rest;
    input += line + "\n";
    expectedOutput += line + "\nappending: " + line + "\n";
    expectedFiles[key] += line + "\n";
  }
  expectedOutput += std::to_string(expectedFiles.size()) + "\n";
  for (std::size_t i = 0; i < expectedFiles.size(); ++i) expectedOutput += "clozing\n";

  TempDir dir;
  writeFile(dir / "test.csv", input);
  const auto result = runVarnolix(dir.path());
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_TRUE(result.standardOutput == expectedOutput) << "standard output differs";
  EXPECT_EQ(regularFiles(dir.path()), expectedFiles);
}

}  // namespace
