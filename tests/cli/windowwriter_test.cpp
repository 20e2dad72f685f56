// What the window's writer decides when the window is full: a file with a share (16 KiB) of
// lines in it writes them at once, the others' lines are set aside and read back in order
// at the end, a file that set lines aside keeps setting them aside, and without a spill
// file every file with lines writes them (a round). Driven through OutputSet, which fills
// the window as the grouping loop does (a line's file record is the set's to change), with
// a window small enough to fill many times; the files are read after each full window.

#include "windowwriter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "outputset.h"
#include "test_support.h"

namespace {

using testing_support::readFile;
using testing_support::regularFiles;
using testing_support::ScopedChdir;
using testing_support::TempDir;
using testing_support::writeFile;

// A budget whose buffers hold one file only: from the second file on, lines go to the window.
constexpr std::size_t kBudget = 128 * 1024;
constexpr std::size_t kLine = 128;  // bytes of a line, with its line feed

// The room for lines and their entries in the window of an OutputSet of this budget.
std::size_t windowRoom() {
  LineWindow probe(kBudget);
  EXPECT_TRUE(probe.reserve());
  return probe.limit();
}

struct Lines {
  std::string key;
  std::size_t bytes;  // of its lines in one window
  int inFile;         // how many windows' worth of its lines its file holds once this one is full
};

struct WindowCase {
  const char* name;
  bool spillFile;
  std::vector<std::vector<Lines>> windows;
};

void PrintTo(const WindowCase& c, std::ostream* os) { *os << c.name; }

// Lines of `key`, `bytes` in all with their line feeds, kLine each but the last.
std::vector<std::string> linesOf(const std::string& key, std::size_t bytes, int& serial) {
  std::vector<std::string> lines;
  for (std::size_t left = bytes; left > 0; left -= lines.back().size() + 1) {
    std::string line = key + ";" + std::to_string(serial++) + ";";
    line.resize(std::min(left, kLine) - 1, 'x');
    lines.push_back(line);
  }
  return lines;
}

class WindowWriterTest : public ::testing::TestWithParam<WindowCase> {};

TEST_P(WindowWriterTest, WritesSharesAtOnceAndEveryLineInOrder) {
  const WindowCase& c = GetParam();
  const TempDir dir;
  const ScopedChdir inside(dir.path());
  writeFile("in.csv", "");
  const std::size_t room = windowRoom();
  std::map<std::string, std::vector<std::string>> texts;  // per key, per window
  std::map<std::string, std::string> expected;
  {
    OutputSet outputs(GuardedFiles{FileIdentity::ofPath("in.csv").value(), "in.csv", std::nullopt}, "", false,
                      OutputLimits{kBudget, 64, c.spillFile, HashSeed{1, 2}});
    // Every file first, so that the buffers are given up before any line comes.
    outputs.fileFor("filler");
    for (const auto& window : c.windows) {
      for (const Lines& lines : window) outputs.fileFor(lines.key);
    }
    std::size_t used = 0;
    // Appends a line; returns whether the window was full, and emptied for it.
    const auto append = [&](const std::string& key, const std::string& line) {
      const std::size_t cost = line.size() + 1 + LineWindow::kEntrySize;
      const bool full = used + cost > room;
      used = full ? cost : used + cost;
      outputs.append(outputs.fileFor(key), line);
      expected[key] += line + "\n";
      return full;
    };
    int serial = 0;
    for (std::size_t w = 0; w < c.windows.size(); ++w) {
      std::vector<std::vector<std::string>> lines;
      for (const Lines& of : c.windows[w]) {
        lines.push_back(linesOf(of.key, of.bytes, serial));
        texts[of.key].resize(c.windows.size());
      }
      for (std::size_t i = 0, left = 1; left > 0; ++i) {  // interleaved, as keys come
        left = 0;
        for (std::size_t k = 0; k < lines.size(); ++k) {
          if (i >= lines[k].size()) continue;
          ++left;
          ASSERT_FALSE(append(c.windows[w][k].key, lines[k][i])) << "the case's lines must fit one window";
          texts[c.windows[w][k].key][w] += lines[k][i] + "\n";
        }
      }
      int fillers = 0;
      while (!append("filler", linesOf("filler", kLine, serial)[0])) ++fillers;
      ASSERT_GT(fillers, 0);
      for (const Lines& of : c.windows[w]) {
        std::string written;
        for (int i = 0; i < of.inFile; ++i) written += texts[of.key][static_cast<std::size_t>(i)];
        EXPECT_EQ(readFile(of.key), written) << of.key << " once window " << w + 1 << " was full";
      }
    }
    // Lines still in the window at the end come after those set aside.
    for (const auto& [key, unused] : texts) append(key, key + ";last");
    const OutputSet::Closed closed = outputs.closeAll();
    EXPECT_FALSE(closed.failure.has_value()) << closed.failure->getMessage();
  }
  EXPECT_EQ(regularFiles(".", {"in.csv"}), expected);
}

constexpr std::size_t kShare = 16 * 1024;

INSTANTIATE_TEST_SUITE_P(
    WindowWriter, WindowWriterTest,
    ::testing::Values(WindowCase{"AShareWritesAtOnce", true, {{{"a", kShare, 1}, {"q", 300, 0}}}},
                      WindowCase{"LessThanAShareIsSetAside", true, {{{"u", kShare - 1, 0}}}},
                      // Its later lines must follow those set aside.
                      WindowCase{"SetAsideStaysSetAsideWhenBusy", true, {{{"u", 300, 0}}, {{"u", 20000, 0}}}},
                      WindowCase{"WrittenThenSetAside", true, {{{"a", kShare, 1}}, {{"a", 300, 1}}}},
                      WindowCase{"ReadBackInOrderAcrossRuns", true, {{{"q", 300, 0}}, {{"q", 900, 0}}, {{"q", 50, 0}}}},
                      // Without a spill file, every file with lines in a full window writes them.
                      WindowCase{"RoundsWriteEveryFile",
                                 false,
                                 {{{"a", kShare, 1}, {"u", kShare - 1, 1}, {"q", 300, 1}},
                                  {{"a", 300, 2}, {"u", 20000, 2}, {"q", 300, 2}}}}),
    testing_support::CaseName());

}  // namespace
