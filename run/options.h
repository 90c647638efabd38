// The command line: options, then the directory and the mode letter; and the
// usage text that describes it.

#ifndef QUILLON_RUN_OPTIONS_H_
#define QUILLON_RUN_OPTIONS_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "logconv/time_zone.h"
#include "logs/names.h"
#include "measures/measure.h"

/// What a run writes.
enum class OutputFormat {
  kCsv,     // a CSV per log
  kEvents,  // one events table of the whole run
  kSqlite,  // logs and events loaded into an SQLite database
  kMeasures,  // the signal performance measures, tables in a directory
  kReport,    // the measures drawn: HTML pages in a directory
  kRows,    // logs and their rows handed to a program (RunHooks::sink);
            // not on the command line
};

/// Whether this build can load SQLite databases.
extern const bool kHaveSqlite;

/// Without -j: one log at a time until the logs prove big enough to be worth
/// a thread each, then one per core.
const int kAutomaticJobs = -1;

/// What a run is asked to do.
struct Options {
  std::string dir;     // as typed: the first input
  /// Every argument before the mode: a directory, or log files and "-" for
  /// one log on the standard input.
  std::vector<std::string> inputs;
  std::string name;    // --name: the name of the log on the standard input
  bool with_options = false;  // the command line gave options
  char letter = 0;     // the mode argument's first character
  bool keep = false;   // -k: read archives as they are, change nothing in dir
  bool recursive = false;  // -r: sub-directories too
  bool test = false;   // -t: check every log, write nothing
  bool quiet = false;  // -q: no progress line
  std::string output;  // -o: where the CSVs go; empty: dir/csv_files_<letter>
  int jobs = kAutomaticJobs;  // -j: logs converted at once; 0: one per core
  uint64_t max_log_size = uint64_t{256} << 20;  // 0: no limit
  OutputFormat format = OutputFormat::kCsv;  // -f
  SignalIdFrom signal_id = SignalIdFrom::kAuto;  // --signal-id
  bool update = false;  // -u: leave what is up to date alone
  /// --columns: the events table's columns, in their order; empty: its own.
  std::vector<std::string> columns;
  std::string logs;     // --logs: the file of the events table's logs
  bool verbose = false;  // -v: a closing line that sums the run up
  /// --bin (the measures' bins, a divisor of 60), --gap (the most missing
  /// hours written a row each) and --threshold.
  MeasureSettings measures;
  std::string measures_given;  // the first of those given: "--bin"; empty
  std::string detectors;  // --detectors: the detector map's file, read into `measures`
  /// --measures: with -f sqlite, the measure tables in the database too,
  /// computed as -f measures -u computes them into DB.measures (kept).
  bool with_measures = false;
  /// --from DB: with -f report, the pages drawn from the measure tables of
  /// the database DB (made with -f sqlite --measures), no log read.
  std::string from;
  /// --since and --until: the first and last days (counted from 1970-01-01)
  /// whose logs the run reads; the others, and logs of no date, are left
  /// unread. INT64_MIN and INT64_MAX where not given.
  int64_t since = INT64_MIN, until = INT64_MAX;
  /// --tz: the zone of the controllers' clocks (an IANA name), read into
  /// `zone`; --utc: times written in UTC.
  std::string tz;
  std::shared_ptr<const TimeZone> zone;
  bool utc = false;
};

/// Whether the run of `options` reads the log named `log_name` (an
/// archive's name without its .gz): one of the days of --since and
/// --until.
bool reads_log_of_day(const Options& options, std::string_view log_name);

/// Reads a day for --since or --until: YYYY-MM-DD, "today" or "yesterday"
/// (by this machine's clock), counted from 1970-01-01. False where it is
/// none of these.
bool parse_day(const std::string& text, int64_t* day);

/// Whether the run of `options` takes log files as inputs besides
/// directories: the events table, the database and -t do; the CSV files are
/// written for one directory.
bool takes_log_files(const Options& options);

/// What the command line asks for.
enum class Command {
  kRun,       // convert (or check) with the parsed options
  kHelp,      // print the usage text, status 0
  kVersion,   // print the version line, status 0
  kBadUsage,  // a wrong command line, status 2: print the error (else the
              // usage text)
};

/// The usage text's first line, printed for --version.
extern const char kVersionLine[];

/// The usage text, printed for a wrong command line and for -h: the
/// examples, then every option.
const std::string& usage_text();

/// Parses `args` (the program name first). Exactly two arguments are always
/// the directory and the mode, whatever they look like; otherwise options
/// come first, "--" ends them, and exactly two arguments must follow. Short
/// options may be bundled ("-kr", "-j4", "-oOUT"); long ones take their value
/// as the next argument or after "=". A mode that starts with "-" is an
/// option given too late, not a mode. Never fails: a wrong command line is
/// kBadUsage, with *error (when given) set to what is wrong, or left empty
/// where the usage text says it (a wrong count of arguments without
/// options).
Command parse_command_line(const std::vector<std::string>& args,
                           Options* options, std::string* error = nullptr);

/// What a wrong command line prints, after `error` (empty: the usage text).
std::string usage_error_text(const std::string& error);

/// Reads a size: a decimal number of bytes, or of KiB, MiB, GiB or TiB with
/// the suffix K, M, G or T (in any case, "KiB" and "KB" too). Returns false
/// when `text` is none.
bool parse_size(const std::string& text, uint64_t* size);

#endif  // QUILLON_RUN_OPTIONS_H_
