#ifndef VARNOLIX_WINDOWWRITER_H_
#define VARNOLIX_WINDOWWRITER_H_

#include <cstdint>

#include "error.h"
#include "filetable.h"
#include "linewindow.h"
#include "spillfile.h"

/// What becomes of the lines in a LineWindow when it is full, and at the end of the run.
///
/// When the window is full, its lines are grouped by file (LineWindow::sortByFile()): a file
/// with a share of lines (16 KiB) writes them at once, the others set theirs aside as one
/// run of the SpillFile, and a file that set lines aside sets all its later ones aside too,
/// so that its lines stay in order. Setting aside is a saving, never a duty: where it cannot
/// be done (no unnamed file can be had, or writing one failed), every file writes what it has
/// (a round), and from then on rounds are all there is. At the end every file writes what it
/// set aside, run by run, then what the window holds, once, and is closed.
///
/// Failures never throw: a file's own failure is noted in the FileTable's pending failure
/// (the file is cut back to its last whole line); lines set aside that cannot be read back
/// fail the files they belong to, are noted as kSetAsideLost, and are the run's failure.
/// Not copyable.
class WindowWriter {
 public:
  /// In place of a file's number in the pending failure: lines set aside were lost.
  static constexpr std::uint32_t kSetAsideLost = UINT32_MAX;

  /// Writes the lines of `window` to the files of `table`; sets them aside when
  /// `setAsideAllowed`.
  WindowWriter(FileTable& table, LineWindow& window, bool setAsideAllowed) noexcept;

  WindowWriter(const WindowWriter&) = delete;
  WindowWriter& operator=(const WindowWriter&) = delete;

  /// Empties the window.
  void makeRoom() noexcept;

  /// Empties the window and gives half of its memory back, for memory that keys need more.
  /// Lines set aside keep what reading them back needs: when the smaller window would not
  /// give it, they go to their files first. Returns false, giving nothing back, when the
  /// window is as small as it may be.
  bool shrinkWindow() noexcept;

  /// Writes what waits of every file, from the spill file and the window, in the order the
  /// files were created, and closes each after it.
  void closeAll() noexcept;

  /// Returns the errno value of lines set aside that could not be read back, or 0.
  int lostSetAside() const noexcept { return readBackFailure; }

  /// Returns the Error of lines set aside that could not be read back, `failure` the errno
  /// value: "Could not read temporary data in the output folder: <reason>", or "in
  /// '<folder>'" when they were set aside under TMPDIR.
  Error lostSetAsideError(int failure) const noexcept;

 private:
  enum class AfterWriting { kKeepOpen, kClose };

  // Returns false, the window sorted or not, when lines cannot be set aside.
  bool setAside() noexcept;
  bool writesNow(std::uint32_t number) const noexcept;
  // Writes what waits of every file; with kClose, closes each after it.
  void writeEverything(AfterWriting then) noexcept;
  void writeOut(std::uint32_t number, int& readFailure, AfterWriting then) noexcept;

  FileTable& files;
  LineWindow& lines;
  SpillFile spill;
  bool setAsideAllowed;
  bool sorted = false;  // the window's lines are in its sorted half, at their files' places
  int readBackFailure = 0;
};

#endif  // VARNOLIX_WINDOWWRITER_H_
