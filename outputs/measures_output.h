// The signal performance measures (-f measures): each log's events read
// where its task runs, every signal measured in time order once the run is
// through, the tables written into a directory.

#ifndef QUILLON_OUTPUTS_MEASURES_OUTPUT_H_
#define QUILLON_OUTPUTS_MEASURES_OUTPUT_H_

#include <memory>
#include <string>

#include "measures/measure.h"
#include "outputs/output.h"

/// The measure tables of a run, taken as `settings` says, published
/// together once the run is through into the directory `dir` (made with its
/// parents; a link typed as `dir` is followed) or, with `below`, into its
/// sub-directory `below`, made there and never reached through a link.
std::unique_ptr<Output> make_measures_output(std::string dir, const MeasureSettings& settings,
                                             std::string below = "");

#endif  // QUILLON_OUTPUTS_MEASURES_OUTPUT_H_
