#include "csvreader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "error.h"
#include "inputfile.h"
#include "test_support.h"

namespace {

using testing_support::TempDir;
using testing_support::writeFile;

// Reads `content` with `reader`'s settings and returns every record a hasNext() loop sees.
std::vector<std::string> recordsOf(const std::string& content, bool useHeadLine, const std::string& separator = ";") {
  TempDir dir;
  writeFile(dir / "in.csv", content);
  CSVReader reader(dir / "in.csv", separator, useHeadLine);
  std::vector<std::string> records;
  while (reader.hasNext()) {
    reader.next();
    records.push_back(reader.getLine());
  }
  return records;
}

std::string errorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const Error& error) {
    return error.getMessage();
  }
  return "(no error)";
}

struct RecordsCase {
  const char* name;
  std::string content;
  bool useHeadLine;
  std::vector<std::string> expected;
};

void PrintTo(const RecordsCase& c, std::ostream* os) { *os << c.name; }

class RecordsTest : public ::testing::TestWithParam<RecordsCase> {};

TEST_P(RecordsTest, DeliversTheRecordsBeforeTheFirstEmptyLine) {
  const RecordsCase& c = GetParam();
  EXPECT_EQ(recordsOf(c.content, c.useHeadLine), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Reader, RecordsTest,
                         ::testing::Values(RecordsCase{"EmptyFile", "", false, {}},
                                           RecordsCase{"LastLineWithoutLineFeed", "a;1\nb;2", false, {"a;1", "b;2"}},
                                           RecordsCase{"SecondLineEmpty", "a;1\n\nb;2\n", false, {"a;1"}},
                                           RecordsCase{"FirstLineEmpty", "\na;1\n", false, {}},
                                           RecordsCase{"EmptyHeaderDoesNotStop", "\na;1\nb;2\n", true, {"a;1", "b;2"}},
                                           RecordsCase{"HeaderIsNoRecord", "h1;h2\nx;y\n", true, {"x;y"}},
                                           RecordsCase{"OnlyHeader", "h1;h2\n", true, {}},
                                           RecordsCase{
                                               "CarriageReturnsKept", "a;1\r\nb;2\r\n", false, {"a;1\r", "b;2\r"}},
                                           RecordsCase{"LoneCarriageReturnIsALine", "\r\nx\n", false, {"\r", "x"}},
                                           RecordsCase{"ArbitraryBytes",
                                                       std::string("\xff\xfe;\x00\x01\n\x80;z", 9),
                                                       false,
                                                       {std::string("\xff\xfe;\x00\x01", 5), "\x80;z"}}),
                         testing_support::CaseName());

struct FieldCase {
  const char* name;
  std::string content;  // the last line read is the current one
  bool useHeadLine;
  int fieldNumber;
  std::string expected;  // the field, or the message of the Error
};

void PrintTo(const FieldCase& c, std::ostream* os) { *os << c.name; }

class FieldTest : public ::testing::TestWithParam<FieldCase> {};

TEST_P(FieldTest, CutsTheNumberedFieldOrThrows) {
  const FieldCase& c = GetParam();
  TempDir dir;
  writeFile(dir / "in.csv", c.content);
  CSVReader reader(dir / "in.csv", ";", c.useHeadLine);
  while (reader.hasNext()) reader.next();
  std::string actual;
  try {
    actual = reader.getField(c.fieldNumber);
    EXPECT_EQ(std::string(reader.getFieldView(c.fieldNumber)), actual);
  } catch (const Error& error) {
    actual = error.getMessage();
  }
  EXPECT_EQ(actual, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Reader, FieldTest,
    ::testing::Values(FieldCase{"First", "a;b;c\n", false, 1, "a"},  //
                      FieldCase{"Middle", "a;b;c\n", false, 2, "b"}, FieldCase{"Last", "a;b;c\n", false, 3, "c"},
                      FieldCase{"AboveBound", "a;b;c\n", false, 4, "field number out of range"},
                      FieldCase{"Zero", "a;b;c\n", false, 0, "field number may not be <= 0"},
                      FieldCase{"Negative", "a;b;c\n", false, -7, "field number may not be <= 0"},
                      FieldCase{"NoSeparator", "abc\n", false, 1, "abc"},
                      FieldCase{"EmptyField", "a;;c\n", false, 2, ""},
                      FieldCase{"EmptyFirstField", ";x\n", false, 1, ""},
                      FieldCase{"ShorterLaterLine", "a;b;c\nd;e\n", false, 3,
                                "field number (practically, not theratically) out of range"},
                      FieldCase{"LastFieldOfShorterLine", "a;b;c\nd;e\n", false, 2, "e"},
                      FieldCase{"LongerLaterLineKeepsBound", "a;b\nc;d;e\n", false, 3, "field number out of range"},
                      FieldCase{"CarriageReturnInLastField", "a;b\r\n", false, 2, "b\r"},
                      FieldCase{"BoundFromFirstDataLine", "h1;h2\nx;y;z\n", true, 3, "z"}),
    testing_support::CaseName());

struct NumFieldsCase {
  const char* name;
  std::string content;
  bool useHeadLine;
  int expected;
};

void PrintTo(const NumFieldsCase& c, std::ostream* os) { *os << c.name; }

class NumFieldsTest : public ::testing::TestWithParam<NumFieldsCase> {};

TEST_P(NumFieldsTest, FixesTheBoundAtConstruction) {
  const NumFieldsCase& c = GetParam();
  TempDir dir;
  writeFile(dir / "in.csv", c.content);
  const CSVReader reader(dir / "in.csv", ";", c.useHeadLine);
  EXPECT_EQ(reader.getNumFields(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Reader, NumFieldsTest,
                         ::testing::Values(NumFieldsCase{"EmptyFile", "", false, 1},
                                           NumFieldsCase{"FirstDataLine", "a;b;c\nd\n", false, 3},
                                           NumFieldsCase{"HeaderThenData", "h1;h2\nx;y;z\n", true, 3},
                                           NumFieldsCase{"HeaderWithLineFeedOnly", "h1;h2\n", true, 1},
                                           NumFieldsCase{"HeaderWithoutLineFeed", "h1;h2", true, 2},
                                           NumFieldsCase{"EmptyFileWithHeader", "", true, 1}),
                         testing_support::CaseName());

TEST(Reader, CountsOverlappingOccurrencesOfLongSeparators) {
  TempDir dir;
  writeFile(dir / "in.csv", "x\n");
  const CSVReader reader(dir / "in.csv", "aa", false);
  std::string line = "aaa";
  EXPECT_EQ(reader.countFields(line), 3);
  line = "";
  EXPECT_EQ(reader.countFields(line), 1);
}

TEST(Reader, HeadLineOnlyWhenAsked) {
  TempDir dir;
  writeFile(dir / "in.csv", "h1;h2\nx;y\n");
  const CSVReader withHeader(dir / "in.csv", ";", true);
  EXPECT_TRUE(withHeader.hasHeadLine());
  EXPECT_EQ(withHeader.getHeadLine(), "h1;h2");
  const CSVReader withoutHeader(dir / "in.csv", ";", false);
  EXPECT_FALSE(withoutHeader.hasHeadLine());
  EXPECT_EQ(errorOf([&] { withoutHeader.getHeadLine(); }), "Headline? You said, that I have no headline... :(");
}

TEST(Reader, StaysUsableAfterAFieldError) {
  TempDir dir;
  writeFile(dir / "in.csv", "a;b\nc;d\n");
  CSVReader reader(dir / "in.csv", ";", false);
  reader.next();
  EXPECT_EQ(errorOf([&] { reader.getField(5); }), "field number out of range");
  EXPECT_EQ(reader.getLine(), "a;b");
  EXPECT_TRUE(reader.hasNext());
  reader.next();
  EXPECT_EQ(reader.getField(2), "d");
}

TEST(Reader, ReportsInputsThatCannotBeOpenedOrRead) {
  TempDir dir;
  ASSERT_EQ(::mkdir((dir / "folder.csv").c_str(), 0755), 0);
  for (const std::string& name : {dir / "missing.csv", dir / "folder.csv"}) {
    EXPECT_EQ(errorOf([&] { CSVReader reader(name, ";", false); }), "Could not open CSV File '" + name + "'");
  }
}

TEST(Reader, DeliversLinesOfAnyLengthAcrossReadChunks) {
  // Lengths straddle the reader's internal chunk boundaries, including lines far longer
  // than a chunk; every byte must come back in order.
  std::vector<std::string> lines;
  std::string content;
  unsigned seed = 12345;
  for (int i = 0; i < 4000; ++i) {
    seed = seed * 1103515245u + 12345u;
    std::size_t length = 1 + (seed >> 16) % 300;
    if (i % 997 == 0) length = 700 * 1024 + static_cast<std::size_t>(i);
    std::string line(length, static_cast<char>('a' + i % 26));
    line[0] = static_cast<char>('A' + i % 26);
    lines.push_back(line);
    content += line + "\n";
  }
  EXPECT_EQ(recordsOf(content, false), lines);
}

TEST(Reader, LongLineFromAPipeIsSearchedOnce) {
  // A pipe hands the line over in small reads; searching each refill from the start of the
  // line again would take quadratic time.
  TempDir dir;
  const std::string fifo = dir / "in.csv";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string line(std::size_t{8} << 20, 'x');
  std::thread writer([&] {
    const int fd = ::open(fifo.c_str(), O_WRONLY);
    for (std::size_t at = 0; at < line.size(); at += 4096) (void)!::write(fd, line.data() + at, 4096);
    (void)!::write(fd, "\nnext\n", 6);
    ::close(fd);
  });
  InputFile input(fifo);
  std::string_view held;
  const std::string_view first = input.readLine(held);
  EXPECT_EQ(first.size(), line.size());
  EXPECT_EQ(first.find_first_not_of('x'), std::string_view::npos);
  EXPECT_LE(input.bytesSearchedAcrossReads(), line.size() + 4096);
  held = first;
  EXPECT_EQ(input.readLine(held), "next");
  writer.join();
}

}  // namespace
