#include "outputset.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "error.h"

namespace {

// Blocks one file may hold before it writes them out. Lines are cheapest to write while
// they are still in the processor's cache, so all files together aim to hold at most
// kHotBytes; the bounds keep each write large enough that its call costs little per byte.
// A power of two keeps the writes aligned in the file, so the page cache can take them in
// large pages.
constexpr std::size_t kHotBytes = std::size_t{4} * 1024 * 1024;
constexpr std::size_t kMinBlocksPerFile = 4;
constexpr std::size_t kMaxBlocksPerFile = 16;
// Files looked at for a donor of blocks before giving up.
constexpr std::size_t kDonorSearch = 64;

Error writeError(const std::string& key, int errorNumber) {
  return Error("Could not write output file '" + key + "': " + std::strerror(errorNumber));
}

// Returns the largest power of two of blocks within the bounds that keeps all files
// together at kHotBytes or below.
std::size_t blocksPerFile(std::size_t fileCount) {
  const std::size_t share = kHotBytes / BlockPool::kBlockSize / std::max<std::size_t>(fileCount, 1);
  std::size_t blocks = kMinBlocksPerFile;
  while (blocks < kMaxBlocksPerFile && 2 * blocks <= share) blocks *= 2;
  return blocks;
}

}  // namespace

OutputSet::OutputSet(const FileIdentity& inputFile, const std::optional<FileIdentity>& standardOutput,
                     std::string header, bool withHeader, OutputLimits limits)
    : headLine(std::move(header)),
      writeHeadLine(withHeader),
      pool(std::max<std::size_t>(1, limits.bufferBytes / BlockPool::kBlockSize)),
      descriptors(limits.openFiles),
      creator(inputFile, standardOutput) {}

OutputSet::~OutputSet() {
  // An Error is on its way: this is the last chance to get the lines handed over so far
  // into their files.
  for (const auto& file : files) writeOutWholeLines(*file);
}

void OutputSet::writeOutWholeLines(OutputFile& file) noexcept {
  if (file.hasFailed()) return;  // cut back when it failed
  file.dropPartialLine();
  if (!file.holdsData() && !file.endsMidLine()) return;
  const int fd = descriptors.use(file.number);
  if (fd < 0) return;
  if (file.holdsData() && file.writeOut(fd, true) == 0) return;
  file.cutBackToWholeLines(fd);
}

const std::vector<std::unique_ptr<OutputFile>>& OutputSet::inKeyOrder() {
  // std::string compares its bytes as unsigned char, and a prefix first.
  std::sort(files.begin(), files.end(),
            [](const std::unique_ptr<OutputFile>& a, const std::unique_ptr<OutputFile>& b) { return a->key < b->key; });
  return files;
}

void OutputSet::close(OutputFile& file) {
  writeOut(file, true);
  if (const int error = descriptors.close(file.number)) throw writeError(file.key, error);
}

void OutputSet::closeAll() {
  for (const auto& file : files) close(*file);
}

OutputFile& OutputSet::create(std::string_view key) {
  try {
    files.push_back(std::make_unique<OutputFile>(std::string(key), files.size(), pool));
  } catch (const std::bad_alloc&) {
    throw writeError(std::string(key), ENOMEM);
  }
  OutputFile& created = *files.back();
  try {
    descriptors.add(created.number, created.key, creator.create(created.key, descriptors));
    index.add(created);
  } catch (const std::bad_alloc&) {
    throw writeError(created.key, ENOMEM);
  } catch (...) {
    files.pop_back();
    throw;
  }
  if (writeHeadLine) append(created, headLine);
  return created;
}

void OutputSet::appendAcrossBlocks(OutputFile& file, std::string_view line) {
  try {
    copyIn(file, line);
    copyIn(file, std::string_view("\n", 1));
  } catch (const std::bad_alloc&) {
    // What was copied of the line is dropped on the way out: files hold whole lines.
    throw writeError(file.key, ENOMEM);
  }
}

void OutputSet::copyIn(OutputFile& file, std::string_view bytes) {
  while (!bytes.empty()) {
    if (file.room() == 0) provideBlock(file);
    bytes.remove_prefix(file.fill(bytes));
  }
}

void OutputSet::provideBlock(OutputFile& file) {
  if (file.blockCount() < blocksPerFile(files.size())) {
    if (char* const block = pool.acquire()) {
      file.addBlock(block);
      return;
    }
    // The pool is used up. A file without blocks has nothing of its own to write out:
    // another file writes out and gives blocks back.
    if (file.blockCount() == 0) {
      if (OutputFile* const donor = findDonor(file)) {
        writeOut(*donor, donor->fullBlocks() == 0);
        file.addBlock(pool.acquire());
        return;
      }
    }
  }
  writeOut(file, false);  // every block it holds is full: all go out
  file.addBlock(pool.acquire());
}

OutputFile* OutputSet::findDonor(const OutputFile& needy) {
  OutputFile* holder = nullptr;  // the first file seen holding data
  for (std::size_t looked = 0; looked < files.size() && (looked < kDonorSearch || holder == nullptr); ++looked) {
    donorCursor = (donorCursor + 1) % files.size();
    OutputFile& candidate = *files[donorCursor];
    if (&candidate == &needy) continue;
    if (descriptors.isOpen(candidate.number) && candidate.fullBlocks() > 0) return &candidate;
    if (holder == nullptr && candidate.holdsData()) holder = &candidate;
  }
  return holder;
}

void OutputSet::writeOut(OutputFile& file, bool everything) {
  if (!file.holdsData() || (!everything && file.fullBlocks() == 0)) return;
  const int fd = descriptors.use(file.number);
  if (fd < 0) {
    file.markFailed();
    throw writeError(file.key, -fd);
  }
  if (const int error = file.writeOut(fd, everything)) {
    file.cutBackToWholeLines(fd);
    file.markFailed();
    throw writeError(file.key, error);
  }
}
