// The plain run's output: a CSV file per log, beside the logs or below OUT.

#ifndef QUILLON_OUTPUTS_CSV_OUTPUT_H_
#define QUILLON_OUTPUTS_CSV_OUTPUT_H_

#include <cstdint>
#include <memory>
#include <string>

#include "outputs/output.h"

/// What the CSV output takes of the command line.
struct CsvSettings {
  uint64_t max_log_size = 0;  // of a log, and of its CSV; 0: no limit
  bool keep = false;          // -k: archives read as they are
  std::string output;         // -o OUT, or empty: beside the logs
  char letter = 'e';          // the mode letter, which names the directory
};

/// The CSV files of a run in `mode`: `root` is where the directory
/// argument's CSVs go (null, with `root_error` saying why, when it cannot
/// be used); with `fail_fast`, a log or CSV that cannot be opened stops the
/// run.
std::unique_ptr<Output> make_csv_output(const CsvSettings& settings, Mode mode,
                                        std::shared_ptr<Dir> root,
                                        std::string root_error, bool fail_fast);

#endif  // QUILLON_OUTPUTS_CSV_OUTPUT_H_
