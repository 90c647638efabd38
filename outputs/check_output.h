// -t: every log read as the run's format would read it, nothing written.

#ifndef QUILLON_OUTPUTS_CHECK_OUTPUT_H_
#define QUILLON_OUTPUTS_CHECK_OUTPUT_H_

#include <memory>

#include "outputs/output.h"

/// The check of -t in `mode`: each log converted into nothing, so that its
/// records, damage and rows are counted as a CSV's would be.
/// `predicts_decompression`, `converts_undated` and `fail_fast` are what the
/// output answers to the questions of those names.
std::unique_ptr<Output> make_check_output(Mode mode, bool predicts_decompression,
                                          bool converts_undated, bool fail_fast);

#endif  // QUILLON_OUTPUTS_CHECK_OUTPUT_H_
