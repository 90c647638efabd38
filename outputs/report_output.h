// The report (-f report): the measure tables of a run, as -f measures
// writes them into OUT/measures, drawn as pages of each signal's day.

#ifndef QUILLON_OUTPUTS_REPORT_OUTPUT_H_
#define QUILLON_OUTPUTS_REPORT_OUTPUT_H_

#include <memory>
#include <string>

#include "outputs/output.h"

/// The report of a run into the directory `dir`: the tables in bins of
/// `bin_minutes` into `dir`/measures, then index.html and a page a signal
/// and day.
std::unique_ptr<Output> make_report_output(std::string dir, int bin_minutes);

#endif  // QUILLON_OUTPUTS_REPORT_OUTPUT_H_
