// The signal performance measures (-f measures): each log's events read
// where its task runs, every signal measured in time order once the run is
// through, the tables written into a directory.

#ifndef QUILLON_OUTPUTS_MEASURES_OUTPUT_H_
#define QUILLON_OUTPUTS_MEASURES_OUTPUT_H_

#include <memory>
#include <string>

#include "outputs/output.h"

/// The measure tables of a run, in bins of `bin_minutes`, published together
/// into the directory `dir` (made with its parents) once the run is through.
std::unique_ptr<Output> make_measures_output(std::string dir, int bin_minutes);

#endif  // QUILLON_OUTPUTS_MEASURES_OUTPUT_H_
