// Logs and their rows, packed, into a LogSink: the archive database
// (-f sqlite), the dataframes, or a program's own.

#ifndef QUILLON_OUTPUTS_SINK_OUTPUT_H_
#define QUILLON_OUTPUTS_SINK_OUTPUT_H_

#include <functional>
#include <memory>
#include <string>

#include "logconv/time_zone.h"
#include "outputs/log_sink.h"
#include "outputs/output.h"

/// The output of a run's logs into `sink` in `mode`: the dataframes, or a
/// program's own sink.
std::unique_ptr<Output> make_sink_output(LogSink* sink, Mode mode);

class ArchiveDatabase;

/// Called with the archive database before the run's one transaction is
/// committed (ArchiveDatabase::hold_transaction).
using BeforeCommit = std::function<bool(ArchiveDatabase&, std::string*)>;

/// The output of a run's logs into the archive database `path` in `mode`,
/// the logs' paths being below `dir` (empty: none is loaded); with `zone`,
/// a database of instants (ArchiveDatabase::open); with `before_commit`,
/// the run in one transaction, which it is called before committing.
/// Returns null, with *what and *status set, when it cannot be opened or is
/// refused.
std::unique_ptr<Output> make_database_output(const std::string& path, Mode mode,
                                             const std::string& dir,
                                             std::string* what, int* status,
                                             std::shared_ptr<const TimeZone> zone = nullptr,
                                             BeforeCommit before_commit = nullptr);

#endif  // QUILLON_OUTPUTS_SINK_OUTPUT_H_
