// The one place that asks which format a run writes: the output that the
// command line chose.

#ifndef QUILLON_RUN_MAKE_OUTPUT_H_
#define QUILLON_RUN_MAKE_OUTPUT_H_

#include <memory>
#include <string>

#include "outputs/log_sink.h"
#include "outputs/measures_output.h"
#include "outputs/output.h"
#include "outputs/sink_output.h"
#include "run/options.h"

/// Makes the output that `options` ask for, in `mode`: with -t the check
/// that writes nothing, else the CSV files (under `root`, the open directory
/// argument, or null when it could not be opened), the events table, or the
/// database; `sink`, when not null, takes the logs instead (a program's
/// own); -u of the measures puts what it changed in `changed`, when given;
/// the database is loaded in one transaction with `before_commit`, when
/// given.
/// Returns null, with *what and *status set to the failure's message
/// (without "Error: ") and the run's exit status, when it cannot be made.
std::unique_ptr<Output> make_output(const Options& options, Mode mode,
                                    const std::shared_ptr<Dir>& root,
                                    LogSink* sink, std::string* what,
                                    int* status, ChangedMeasures* changed = nullptr,
                                    BeforeCommit before_commit = nullptr);

#endif  // QUILLON_RUN_MAKE_OUTPUT_H_
