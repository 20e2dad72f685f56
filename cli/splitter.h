#ifndef VARNOLIX_SPLITTER_H_
#define VARNOLIX_SPLITTER_H_

#include <string>

#include "csvreader.h"
#include "outputset.h"
#include "standardoutput.h"

/// Groups the records of a CSVReader into output files named by one field of each
/// record, narrating every step.
///
/// For every record the narration gets the line, then "appending: " and the line; after
/// the last record, the number of distinct keys and one "clozing" line per key, in
/// ascending key order. Each output file gets, in input order, the lines whose key is its
/// name, after the header line when the reader has one. Owns its reader; not copyable.
class Splitter {
 public:
  /// Creates the owned reader as CSVReader(fileName, separator, useHeadLine) and
  /// narrates to `narrateTo`. Throws the reader's Error when the file cannot be opened.
  Splitter(const std::string& fileName, std::string separator, bool useHeadLine,
           StandardOutput& narrateTo = StandardOutput::process());

  /// Takes ownership of `ownedReader`, which must not be null when split() runs; the
  /// output files are held within `limits` (tests and fuzzers fix their hash seed there).
  explicit Splitter(CSVReader* ownedReader, StandardOutput& narrateTo = StandardOutput::process(),
                    const OutputLimits& limits = OutputLimits());

  ~Splitter();

  Splitter(const Splitter&) = delete;
  Splitter& operator=(const Splitter&) = delete;

  /// Groups all remaining records by field `fieldNumber` (counted from 1) into files in
  /// the current directory. The second argument is accepted and not used: files are
  /// always named by the bare key.
  /// Throws Error when a field cannot be taken (the record is then neither echoed nor
  /// written), when a key's file cannot be created (the record has been echoed, not
  /// written) or written, and when reading the input fails. Every line handed over before
  /// the Error is in its file, unless writing it failed, and every file is closed holding
  /// whole lines.
  ///
  /// When the program is asked to stop (see interruption.h), stops between two records,
  /// writes every line narrated so far into its file, closes the files and returns without
  /// narrating more: no key count, no "clozing".
  void split(int fieldNumber, const std::string& unused);

 private:
  CSVReader* reader;
  StandardOutput& narration;
  const OutputLimits outputLimits;
};

#endif  // VARNOLIX_SPLITTER_H_
