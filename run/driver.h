// The whole run of the tool: the command line, the walk over the
// directories, the decompression pass, and the conversion of every log.

#ifndef QUILLON_RUN_DRIVER_H_
#define QUILLON_RUN_DRIVER_H_

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "outputs/log_sink.h"
#include "outputs/measures_output.h"
#include "outputs/sink_output.h"
#include "logs/names.h"
#include "run/options.h"

/// Runs the tool on its command line (UTF-8, the program name first) and
/// returns the exit status: 0 when every step succeeded, 1 when any failure
/// was reported on the standard error stream, 2 for a wrong command line.
int run_quillon(const std::vector<std::string>& args);

/// What a program that runs quillon in its own process takes from a run.
struct RunHooks {
  /// Takes each message (whole lines) instead of the standard error
  /// stream, which then shows no status line either.
  std::function<void(const std::string&)> message;
  /// With OutputFormat::kRows, takes each log and its rows.
  LogSink* sink = nullptr;
  /// The years a log's name may hold; a log dated outside them is reported
  /// as one whose name holds no valid date.
  int first_year = kFirstYear, last_year = kLastYear;
  /// The signal id of the directory argument itself by --signal-id dir
  /// (else the last name of its absolute path); the directories below it
  /// then get it and their path below it.
  std::optional<std::string> dir_signal_id;
  /// Where the directory argument lies below that of a larger run (a
  /// folder of an archive read apart): the paths of its logs in the tables
  /// start with it and "/", as in a run of the larger one.
  std::string dir_path;
  /// Called between logs in the thread that runs the run: true stops it
  /// there, as a failure stops it (nothing more published, the output not
  /// finished). Python checks its signals here.
  std::function<bool()> interrupted;
  /// With -f measures -u, takes what the run changed.
  ChangedMeasures* changed = nullptr;
  /// With -f sqlite: the run is one transaction, and this is called before
  /// it is committed.
  BeforeCommit before_commit;
};

/// Runs `options` as run_quillon runs a command line, with `hooks`, and
/// returns the exit status. Nothing is printed when hooks.message is set.
int run_with(const Options& options, const RunHooks& hooks);

/// Runs -f sqlite --measures: the logs loaded as run_with() loads them,
/// then measured with -u into DB.measures (kept beside the database: the
/// tables and what their next run needs), then those tables loaded into
/// the database (ArchiveDatabase::load_measures()), all in one
/// transaction. Returns the exit status.
int run_with_measures(const Options& options);

/// Runs -f report --from DB: the measure tables of the database written
/// into OUT/measures as -f measures writes them, then drawn as -f report
/// draws them; no log is read. Returns the exit status.
int report_from_database(const Options& options);

#endif  // QUILLON_RUN_DRIVER_H_
