#ifndef VARNOLIX_ROUNDS_H_
#define VARNOLIX_ROUNDS_H_

#include <cstddef>
#include <cstdint>

#include "filetable.h"
#include "setaside.h"

/// Setting lines aside by not setting them aside: each run's lines are written to their
/// files at once, so that every full window is a round in which every file with lines in it
/// writes them (and, when it was closed to make room, is reopened). Where no unnamed file can
/// be had, or writing one failed. Holds nothing, takes no memory of its own. Not copyable.
class Rounds final : public SetAside {
 public:
  /// Writes the lines it takes to the files of `table`.
  explicit Rounds(FileTable& table) noexcept : files(table) {}

  bool canReadBack(std::size_t /*spareBytes*/, std::size_t /*moreRuns*/, OwnMemory /*own*/) noexcept override {
    return true;
  }
  Failure take(const char* records, std::size_t size) noexcept override;
  bool holdsLines() const noexcept override { return false; }
  Failure beginReadBack(char* /*spare*/, std::size_t /*spareBytes*/) noexcept override { return Failure(); }
  Failure readBack(std::uint32_t /*file*/, WholeLineWriter& /*writer*/) noexcept override { return Failure(); }
  void clear() noexcept override {}
  void close() noexcept override {}
  const char* folder() const noexcept override { return nullptr; }

 private:
  FileTable& files;
};

#endif  // VARNOLIX_ROUNDS_H_
