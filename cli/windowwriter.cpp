#include "windowwriter.h"

#include <cstring>

#include "prefetch.h"
#include "wholelinewriter.h"

namespace {

// A file with this much in a full window writes it; the others set theirs aside: a write
// call, and often a reopen, costs more than setting a few lines aside and reading them
// back, and each file then writes about once per share it holds.
constexpr std::uint32_t kShare = 16 * 1024;

}  // namespace

WindowWriter::WindowWriter(FileTable& table, LineWindow& window, bool allowed) noexcept
    : files(table), lines(window), setAsideAllowed(allowed) {}

void WindowWriter::makeRoom() noexcept {
  if (lines.empty()) return;
  if (setAsideAllowed && !spill.canReadBack(lines.spareBytes(), 1, SpillFile::OwnMemory::kMayTake)) {
    // Reading one run more back would need memory of its own, which may not be had: what
    // was set aside goes to the files now, and setting aside starts over.
    writeEverything(AfterWriting::kKeepOpen);
    return;
  }
  if (setAsideAllowed && setAside()) return;
  writeEverything(AfterWriting::kKeepOpen);
  if (!setAsideAllowed && spill.isOpen()) {  // given up: its descriptor goes back to the files
    spill.close();
    files.giveOneBack();
  }
}

bool WindowWriter::shrinkWindow() noexcept {
  makeRoom();
  const std::size_t smaller = lines.spareBytesAfterShrink();
  if (smaller == 0) return false;
  // Reading back must not come to need what is given away: what could not be read back
  // through the smaller window goes to the files first.
  if (!spill.canReadBack(smaller, 0, SpillFile::OwnMemory::kHasOnly)) {
    writeEverything(AfterWriting::kKeepOpen);
  }
  return lines.shrink();
}

void WindowWriter::closeAll() noexcept { writeEverything(AfterWriting::kClose); }

bool WindowWriter::writesNow(std::uint32_t number) const noexcept {
  const OutputFile& file = files[number];
  return !file.setAside && file.pending >= kShare;  // set aside once: its later lines must follow
}

bool WindowWriter::setAside() noexcept {
  // First a record for each file that sets its lines aside, in ascending order: one run of
  // the spill file. Then the lines of the files that write now, and of those that failed
  // (dropped).
  char* const out = lines.sorted();
  std::uint32_t offset = 0;
  lines.touchedFiles([&](std::uint32_t number) {
    if (files.state(number).failure != 0 || writesNow(number)) return;
    SpillFile::putHeader(out + offset, number, files[number].pending);
    offset += SpillFile::kHeaderSize;
    lines.place(number, offset);
    offset += files[number].pending;
  });
  const std::uint32_t setAsideBytes = offset;
  lines.touchedFiles([&](std::uint32_t number) {
    if (files.state(number).failure == 0 && !writesNow(number)) return;
    lines.place(number, offset);
    offset += files[number].pending;
  });
  lines.sortByFile();
  sorted = true;
  if (setAsideBytes > 0) {
    // The first time, the spill file takes a descriptor of the files' allowance.
    bool usable = spill.isOpen();
    if (!usable && files.holdOneBack()) {
      usable = spill.open() == 0;
      if (!usable) files.giveOneBack();
    }
    // No unnamed file anywhere, or no room or a file size limit for it: what was set aside
    // and what is in the window goes to the files, and from then on the window is written
    // out in rounds.
    if (!usable || spill.writeRun(out, setAsideBytes) != 0) {
      setAsideAllowed = false;
      return false;
    }
  }
  lines.touchedFiles([&](std::uint32_t number) {
    OutputFile& file = files[number];
    if (files.state(number).failure == 0 && lines.endOf(number) > setAsideBytes) {
      files.write(number, out + lines.endOf(number) - file.pending, file.pending);
    } else if (files.state(number).failure == 0) {
      file.setAside = true;
    }
    file.pending = 0;
  });
  lines.clear();
  sorted = false;
  return true;
}

void WindowWriter::writeEverything(AfterWriting then) noexcept {
  if (!sorted) {
    std::uint32_t offset = 0;
    lines.touchedFiles([&](std::uint32_t number) {
      lines.place(number, offset);
      offset += files[number].pending;
    });
    lines.sortByFile();
    sorted = true;
  }
  int readFailure = spill.holdsRuns() ? spill.beginMerge(lines.spare(), lines.spareBytes()) : 0;
  if (then == AfterWriting::kKeepOpen && !spill.holdsRuns()) {
    // A round: only the files with lines in the window have anything to write.
    lines.touchedFiles([&](std::uint32_t number) { writeOut(number, readFailure, then); });
  } else {
    for (std::uint32_t number = 0; number < files.size(); ++number) {
      // The system calls of each file push the next one's record and state out of the
      // cache, faster than the processor can see that they are read in order.
      if (number + 2 < files.size()) {
        prefetch::forReading(&files[number + 2]);
        prefetch::forReading(&files.state(number + 2));
      }
      writeOut(number, readFailure, then);
    }
  }
  lines.clear();
  sorted = false;
  spill.clear();
}

void WindowWriter::writeOut(std::uint32_t number, int& readFailure, AfterWriting then) noexcept {
  OutputFile& file = files[number];
  FileState& state = files.state(number);
  WholeLineWriter writer = files.writerFor(number);
  const int before = state.failure;
  if (file.setAside && state.failure == 0) {
    // Lines set aside come first, in the order of the runs.
    if (readFailure == 0) readFailure = spill.copyRecordsOf(number, writer);
    if (readFailure != 0) {
      // Lines of this file may be lost in the spill file: nothing after them may be written.
      writer.flush();
      WholeLineWriter::fail(state, writer.descriptor(), readFailure);
      readBackFailure = readFailure;
      files.pending.note(kSetAsideLost, readFailure);
    }
  }
  file.setAside = false;
  if (file.pending != 0) {
    writer.add(lines.sorted() + lines.endOf(number) - file.pending, file.pending);
    file.pending = 0;
  }
  writer.flush();
  files.noteFailure(number, before);
  if (then == AfterWriting::kKeepOpen) return;
  if (state.written != state.wholeLines) {
    // A line left unfinished, by a failure of this file or because the rest of the line
    // was lost with the spill file: the file ends at the line before.
    int failure = 0;
    const int fd = writer.descriptor() >= 0 ? writer.descriptor() : files.descriptorFor(number, failure);
    if (fd >= 0) WholeLineWriter::fail(state, fd, 0);
  }
  if (const int error = files.close(number)) {
    if (state.failure == 0) state.failure = error;
  }
}

Error WindowWriter::lostSetAsideError(int failure) const noexcept {
  const char* const elsewhere = spill.elsewhere();
  return Error::of({"Could not read temporary data in ", elsewhere != nullptr ? "'" : "the output folder",
                    elsewhere != nullptr ? elsewhere : "", elsewhere != nullptr ? "'" : "", ": ",
                    std::strerror(failure)});
}
