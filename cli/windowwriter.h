#ifndef VARNOLIX_WINDOWWRITER_H_
#define VARNOLIX_WINDOWWRITER_H_

#include <cstddef>
#include <cstdint>

#include "failure.h"
#include "filetable.h"
#include "linewindow.h"
#include "rounds.h"
#include "setaside.h"
#include "spillfile.h"

/// What becomes of the lines in a LineWindow when it is full, and at the end of the run.
///
/// When the window is full, its lines are grouped by file (LineWindow::sortByFile()): a file
/// with a share of lines (16 KiB) writes them at once, and the others' lines go, as one run,
/// to the way lines are set aside (SetAside): the spill file, or rounds once that failed,
/// which it decides here and nowhere else. A file with lines held writes nothing directly,
/// so that its lines stay in order. At the end every file writes what was set aside, run by
/// run, then what the window holds, once, and is closed.
///
/// Failures never throw: a file's own failure is noted in the FileTable (the file is cut back
/// to its last whole line); lines set aside that cannot be read back fail the files they
/// belong to, and are the run's failure (lostSetAside()). Not copyable.
class WindowWriter {
 public:
  /// Writes the lines of `window` to the files of `table`; sets them aside in a spill file
  /// when `spillFile`, else in rounds.
  WindowWriter(FileTable& table, LineWindow& window, bool spillFile) noexcept;

  WindowWriter(const WindowWriter&) = delete;
  WindowWriter& operator=(const WindowWriter&) = delete;

  /// Empties the window.
  void makeRoom() noexcept;

  /// Empties the window and gives half of its memory back, for memory that keys need more.
  /// Lines set aside keep what reading them back needs: when the smaller window would not
  /// give it, they go to their files first. Returns false, giving nothing back, when the
  /// window is as small as it may be.
  bool shrinkWindow() noexcept;

  /// Writes what waits of every file, set aside and in the window, in the order the files
  /// were created, and closes each after it.
  void closeAll() noexcept;

  /// Returns the failure to read lines set aside back, if any.
  const Failure& lostSetAside() const noexcept { return readBackFailure; }

  /// Returns the folder those lines were set aside in when it is not the output folder.
  const char* lostSetAsideFolder() const noexcept { return readBackFolder; }

 private:
  enum class AfterWriting { kKeepOpen, kClose };

  bool writesNow(std::uint32_t number) const noexcept;
  // Lays the window out as a run and the rest, hands the run over, writes the rest.
  void setAsideRun() noexcept;
  // Lays out the run, then the lines of files that write now or failed; returns the run's size.
  std::size_t layOutRun() noexcept;
  // Sends what was set aside and what the window holds to the files, for good.
  void fallBackToRounds() noexcept;
  // Writes what waits of every file; with kClose, closes each after it.
  void writeEverything(AfterWriting then) noexcept;
  void writeOut(std::uint32_t number, Failure& readFailure, AfterWriting then) noexcept;
  void finishFile(std::uint32_t number, const WholeLineWriter& writer) noexcept;

  FileTable& files;
  LineWindow& window;
  SpillFile spill;
  Rounds rounds;
  SetAside* setAside;   // where lines go now
  bool sorted = false;  // the window's lines are in its sorted half, at their files' places
  Failure readBackFailure;
  const char* readBackFolder = nullptr;
};

#endif  // VARNOLIX_WINDOWWRITER_H_
