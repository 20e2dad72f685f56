#ifndef VARNOLIX_OUTPUTFILE_H_
#define VARNOLIX_OUTPUTFILE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "blockpool.h"

/// One output file of a grouping run: its key (which is its name) and the lines not yet
/// written, held in blocks of a BlockPool.
///
/// Every block but the last is full. Writes are block-sized, so a successful one may end
/// inside a line; the file keeps its own count of the bytes written up to the last line
/// feed, so that it can be cut back to whole lines when a later write fails. Only
/// mechanics live here; OutputSet decides when to take blocks and write out, and holds the
/// descriptors. Returns its blocks to the pool; not copyable.
class alignas(64) OutputFile {  // a cache line of its own for the fields a line touches
 public:
  /// `fileNumber` is the file's place in the order its owner created files.
  OutputFile(std::string name, std::size_t fileNumber, BlockPool& blockPool)
      : key(std::move(name)), number(fileNumber), pool(blockPool) {}
  ~OutputFile();

  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  /// The key the file is named by.
  const std::string key;

 private:
  // Next to the key, so that looking a line's file up and appending the line touch one
  // cache line of the file, which matters with tens of thousands of keys.
  char* tail = nullptr;   // where the next byte goes in blocks.back()
  char* limit = nullptr;  // the end of blocks.back(); no room when there is no block

 public:
  /// The file's place in creation order, which numbers it for the owner's bookkeeping.
  const std::size_t number;

  /// Appends `line` and a line feed if the last block has room for both; returns whether
  /// it did.
  bool appendIfRoom(std::string_view line) noexcept {
    if (line.size() >= room()) return false;
    char* const at = tail;
    std::char_traits<char>::copy(at, line.data(), line.size());
    at[line.size()] = '\n';
    tail += line.size() + 1;
    // The next line of this file comes many lines later: fetch where it goes now, so that
    // copying it does not wait for memory.
    __builtin_prefetch(at + line.size() + 64, 1);
    return true;
  }

  /// Copies as much of `bytes` as the last block has room for; returns how much.
  std::size_t fill(std::string_view bytes) noexcept;

  /// Bytes the last block still has room for (none when the file holds no block).
  std::size_t room() const noexcept { return static_cast<std::size_t>(limit - tail); }

  std::size_t blockCount() const noexcept { return blocks.size(); }
  std::size_t fullBlocks() const noexcept { return blocks.empty() ? 0 : blocks.size() - (room() > 0 ? 1 : 0); }
  bool holdsData() const noexcept { return !blocks.empty() && (blocks.size() > 1 || room() < BlockPool::kBlockSize); }

  /// Adds an empty block as the last one. Requires room() == 0. Throws std::bad_alloc.
  void addBlock(char* block) {
    blocks.push_back(block);
    tail = block;
    limit = block + BlockPool::kBlockSize;
  }

  /// Writes the full blocks (and, with `everything`, the partly filled last one too) to
  /// the open descriptor `fd` and returns them to the pool; a partly filled block that
  /// stays becomes the only one. Returns 0 or the errno value of the failed write (the
  /// blocks are then kept, and some of their bytes may be in the file).
  int writeOut(int fd, bool everything) noexcept;

  /// Drops the buffered bytes after the last line feed: the start of a line whose append
  /// did not complete.
  void dropPartialLine() noexcept;

  /// Returns true when the bytes written so far do not end with a line feed.
  bool endsMidLine() const noexcept { return written != wholeLineBytes; }

  /// Shrinks the file behind the open descriptor `fd` to the bytes written up to the last
  /// line feed, if it holds more; never extends a file that changed under the program.
  /// Returns 0 or the errno value of the failure.
  int cutBackToWholeLines(int fd) noexcept;

  /// Marks the file as failed: it is never written again in this run.
  void markFailed() noexcept { failed = true; }
  bool hasFailed() const noexcept { return failed; }

 private:
  std::size_t bytesIn(std::size_t block) const noexcept {
    return block + 1 == blocks.size() ? BlockPool::kBlockSize - room() : BlockPool::kBlockSize;
  }
  // Counts `count` more bytes written, from the start of the blocks.
  void noteWritten(std::size_t count) noexcept;

  BlockPool& pool;
  std::vector<char*> blocks;
  std::uint64_t written = 0;         // bytes written to the file in this run
  std::uint64_t wholeLineBytes = 0;  // of those, the bytes up to the last line feed
  bool failed = false;
};

#endif  // VARNOLIX_OUTPUTFILE_H_
