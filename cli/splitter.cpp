#include "splitter.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

#include "error.h"
#include "interruption.h"
#include "outputset.h"

namespace {

constexpr std::string_view kAppending = "appending: ";

CSVReader* openReader(const std::string& fileName, std::string separator, bool useHeadLine) {
  try {
    return new CSVReader(fileName, std::move(separator), useHeadLine);
  } catch (const std::bad_alloc&) {
    throw Error::of({"Could not open CSV File '", fileName, "': ", std::strerror(ENOMEM)});
  }
}

}  // namespace

Splitter::Splitter(const std::string& fileName, std::string separator, bool useHeadLine, StandardOutput& narrateTo)
    : reader(openReader(fileName, std::move(separator), useHeadLine)), narration(narrateTo) {}

Splitter::Splitter(CSVReader* ownedReader, StandardOutput& narrateTo) : reader(ownedReader), narration(narrateTo) {}

Splitter::~Splitter() { delete reader; }

void Splitter::split(int fieldNumber, const std::string& /*unused*/) {
  OutputSet outputs(reader->getFileIdentity(), narration.fileIdentity(),
                    reader->hasHeadLine() ? reader->getHeadLine() : std::string(), reader->hasHeadLine());
  try {
    // Composing narration for the null device is most of the work on a fast disk.
    const bool narrate = !narration.discardsEverything();
    // A stop is looked at between records only, so that a record's echo, its "appending:"
    // and its append happen together or not at all.
    while (!interruption::stopRequested() && reader->hasNext()) {
      reader->next();
      const std::string_view key = reader->getFieldView(fieldNumber);
      const std::string_view line = reader->getLineView();
      OutputFile* output = outputs.find(key);
      if (output != nullptr) {
        if (narrate) narration.writeTwoLines(line, kAppending, line);
      } else {
        // The line is echoed before its file is created, so that it shows even when that fails.
        if (narrate) narration.writeLine(line);
        output = &outputs.fileFor(key);
        if (narrate) {
          narration.write(kAppending);
          narration.writeLine(line);
        }
      }
      outputs.append(*output, line);
    }
    if (interruption::stopRequested()) {
      // Every line narrated so far goes into its file; nothing more is narrated.
      outputs.closeAll();
      return;
    }
    narration.writeLine(std::to_string(outputs.size()));
    narration.flush();
    for (const auto& output : outputs.inKeyOrder()) {
      // After a stop nothing more is narrated; the files are still all closed.
      if (!interruption::stopRequested()) narration.writeLine("clozing");
      outputs.close(*output);
    }
    narration.flush();
  } catch (const Error&) {
    // Decided before the files are written out on the way: a signal from now on does not
    // change how the run ends.
    interruption::recordError();
    throw;
  }
}
