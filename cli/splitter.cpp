#include "splitter.h"

#include <string_view>
#include <utility>

#include "outputset.h"

Splitter::Splitter(std::string fileName, std::string separator, bool useHeadLine, StandardOutput& narrateTo)
    : reader(new CSVReader(std::move(fileName), std::move(separator), useHeadLine)), narration(narrateTo) {}

Splitter::Splitter(CSVReader* ownedReader, StandardOutput& narrateTo) : reader(ownedReader), narration(narrateTo) {}

Splitter::~Splitter() { delete reader; }

void Splitter::split(int fieldNumber, const std::string& /*unused*/) {
  OutputSet outputs(reader->getFileIdentity(), reader->hasHeadLine() ? reader->getHeadLine() : std::string(),
                    reader->hasHeadLine());
  // Composing narration for the null device is most of the work on a fast disk.
  const bool narrate = !narration.discardsEverything();
  while (reader->hasNext()) {
    reader->next();
    const std::string_view key = reader->getFieldView(fieldNumber);
    const std::string_view line = reader->getLineView();
    if (narrate) narration.writeLine(line);
    OutputFile& output = outputs.fileFor(key);
    if (narrate) {
      narration.write("appending: ");
      narration.writeLine(line);
    }
    outputs.append(output, line);
  }
  narration.writeLine(std::to_string(outputs.size()));
  narration.flush();
  for (OutputFile* output : outputs.inKeyOrder()) {
    narration.writeLine("clozing");
    outputs.close(*output);
  }
  narration.flush();
}
