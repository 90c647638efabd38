// What a run writes kept apart from what it reads: no output replaces a
// log or another output, and none is made inside a directory the run reads.

#ifndef QUILLON_RUN_OUTPUTS_APART_H_
#define QUILLON_RUN_OUTPUTS_APART_H_

#include <string>

#include "run/options.h"

/// What is wrong with the files that the run of `options` writes (its -o
/// file for -f events and -f sqlite, its --logs file), against what it
/// reads: one that is a log (.dat, .dat.gz: never an output, read or not),
/// an input, the other output, or lies inside a directory read. A link at
/// an output's path counts as the file it names. Returns nothing where all
/// is well.
std::string outputs_apart(const Options& options);

#endif  // QUILLON_RUN_OUTPUTS_APART_H_
