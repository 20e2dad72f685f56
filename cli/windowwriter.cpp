#include "windowwriter.h"

#include "prefetch.h"
#include "wholelinewriter.h"

namespace {

// A file with this much in a full window writes it; the others set theirs aside: a write
// call, and often a reopen, costs more than setting a few lines aside and reading them
// back, and each file then writes about once per share it holds.
constexpr std::uint32_t kShare = 16 * 1024;

// The window keeps an entry's bytes free per line, so a header per file always fits.
static_assert(SetAside::kHeaderBytes <= LineWindow::kEntrySize, "a run's headers must fit the sorted half");

}  // namespace

WindowWriter::WindowWriter(FileTable& table, LineWindow& lineWindow, bool spillFile) noexcept
    : files(table), window(lineWindow), rounds(table), setAside(spillFile ? static_cast<SetAside*>(&spill) : &rounds) {}

void WindowWriter::makeRoom() noexcept {
  if (window.empty()) return;
  if (!setAside->canReadBack(window.spareBytes(), 1, SetAside::OwnMemory::kMayTake)) {
    // Reading one run more back would need memory that may not be had: what was set aside
    // goes to the files now, and setting aside starts over.
    writeEverything(AfterWriting::kKeepOpen);
    return;
  }
  setAsideRun();
}

bool WindowWriter::shrinkWindow() noexcept {
  makeRoom();
  const std::size_t smaller = window.spareBytesAfterShrink();
  if (smaller == 0) return false;
  // Reading back must not come to need what is given away: what could not be read back
  // through the smaller window goes to the files first.
  if (!setAside->canReadBack(smaller, 0, SetAside::OwnMemory::kHasOnly)) writeEverything(AfterWriting::kKeepOpen);
  return window.shrink();
}

void WindowWriter::closeAll() noexcept { writeEverything(AfterWriting::kClose); }

bool WindowWriter::writesNow(std::uint32_t number) const noexcept {
  const OutputFile& file = files[number];
  return !file.setAside && file.pending >= kShare;  // set aside once: its later lines must follow
}

std::size_t WindowWriter::layOutRun() noexcept {
  char* const out = window.sorted();
  std::uint32_t offset = 0;
  window.touchedFiles([&](std::uint32_t number) {
    if (files.state(number).failure || writesNow(number)) return;
    SetAside::putHeader(out + offset, number, files[number].pending);
    offset += SetAside::kHeaderBytes;
    window.place(number, offset);
    offset += files[number].pending;
  });
  const std::uint32_t runBytes = offset;
  window.touchedFiles([&](std::uint32_t number) {
    if (!files.state(number).failure && !writesNow(number)) return;
    window.place(number, offset);
    offset += files[number].pending;
  });
  window.sortByFile();
  sorted = true;
  return runBytes;
}

void WindowWriter::setAsideRun() noexcept {
  const std::size_t runBytes = layOutRun();
  if (setAside->take(window.sorted(), runBytes)) {
    fallBackToRounds();
    return;
  }
  const bool held = setAside->holdsLines();
  window.touchedFiles([&](std::uint32_t number) {
    OutputFile& file = files[number];
    if (!files.state(number).failure && window.endOf(number) > runBytes) {
      files.write(number, window.sorted() + window.endOf(number) - file.pending, file.pending);
    } else if (!files.state(number).failure) {
      file.setAside = held;
    }
    file.pending = 0;
  });
  window.clear();
  sorted = false;
}

void WindowWriter::fallBackToRounds() noexcept {
  // No unnamed file anywhere, or no room or a file size limit for it: setting aside is a
  // saving, never a duty. What was set aside and what the window holds go to the files,
  // and from then on each full window is a round.
  writeEverything(AfterWriting::kKeepOpen);
  setAside->close();
  setAside = &rounds;
}

void WindowWriter::writeEverything(AfterWriting then) noexcept {
  if (!sorted) {
    std::uint32_t offset = 0;
    window.touchedFiles([&](std::uint32_t number) {
      window.place(number, offset);
      offset += files[number].pending;
    });
    window.sortByFile();
    sorted = true;
  }
  const bool held = setAside->holdsLines();
  Failure readFailure = held ? setAside->beginReadBack(window.spare(), window.spareBytes()) : Failure();
  if (then == AfterWriting::kKeepOpen && !held) {
    // Only the files with lines in the window have anything to write.
    window.touchedFiles([&](std::uint32_t number) { writeOut(number, readFailure, then); });
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
  window.clear();
  sorted = false;
  setAside->clear();
}

void WindowWriter::writeOut(std::uint32_t number, Failure& readFailure, AfterWriting then) noexcept {
  OutputFile& file = files[number];
  FileState& state = files.state(number);
  WholeLineWriter writer = files.writerFor(number);
  const bool failedBefore = static_cast<bool>(state.failure);
  if (file.setAside && !state.failure) {
    // Lines set aside come first, in the order of the runs.
    if (!readFailure) readFailure = setAside->readBack(number, writer);
    if (readFailure) {
      // Lines of this file may be lost with what was set aside: nothing after them may be
      // written.
      writer.flush();
      WholeLineWriter::fail(state, writer.descriptor(), readFailure);
      if (!readBackFailure) readBackFolder = setAside->folder();
      readBackFailure = readFailure;
      files.note(readFailure);
    }
  }
  file.setAside = false;
  if (file.pending != 0) {
    writer.add(window.sorted() + window.endOf(number) - file.pending, file.pending);
    file.pending = 0;
  }
  writer.flush();
  files.noteIfFailed(number, failedBefore);
  if (then == AfterWriting::kClose) finishFile(number, writer);
}

void WindowWriter::finishFile(std::uint32_t number, const WholeLineWriter& writer) noexcept {
  FileState& state = files.state(number);
  if (state.written != state.wholeLines) {
    // A line left unfinished, by a failure of this file or because the rest of the line
    // was lost with what was set aside: the file ends at the line before.
    Failure unused;
    const int fd = writer.descriptor() >= 0 ? writer.descriptor() : files.descriptorFor(number, unused);
    if (fd >= 0) WholeLineWriter::fail(state, fd, Failure());
  }
  if (const Failure closed = files.close(number)) {
    if (!state.failure) state.failure = closed;
  }
}
