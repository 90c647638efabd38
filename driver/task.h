// One log's conversion: open it, convert it into a temporary file, and
// publish that under the CSV's name.

#ifndef QUILLON_DRIVER_TASK_H_
#define QUILLON_DRIVER_TASK_H_

#include <cstdint>
#include <memory>
#include <string>

#include "driver/log_sink.h"
#include "driver/options.h"
#include "driver/table.h"
#include "logconv/convert_log.h"
#include "logconv/streams.h"
#include "platform/platform.h"

/// What every task of a run shares.
struct RunSettings {
  Mode mode = Mode::kStandard;
  /// Only read and check the logs; write nothing.
  bool test = false;
  /// The most bytes a log may have, plain or decompressed; 0: no limit.
  uint64_t max_log_size = 0;
  /// A log or CSV that cannot be opened stops the run, as in the
  /// two-argument run; otherwise it is reported and the run goes on.
  bool fail_fast = true;
  OutputFormat format = OutputFormat::kCsv;
  /// The events table, which rows are written to in the order of the
  /// tasks; null with -t. Only the thread that reports tasks writes to it.
  EventsTable* table = nullptr;
  /// Where logs and their rows go (the database), in the order of the
  /// tasks; null with -t. Only the thread that reports tasks writes to it.
  LogSink* sink = nullptr;
  /// The years a log's name may hold.
  int first_year = 1, last_year = 9999;
  /// -u: a CSV newer than its log, a log loaded with the size and time it
  /// has, is left alone.
  bool update = false;
};

/// One log to convert or check, or an archive that holds no log, to check.
struct Task {
  std::shared_ptr<Dir> dir;  // where the log is
  std::string name;          // its entry there
  std::string log_name;      // the log's name, which gives the date
  bool archive = false;      // read through gzip
  bool check_only = false;   // an archive that holds no log: only read it
  std::shared_ptr<Dir> out_dir;  // where its CSV goes; null with -t
  std::string csv_name;
  std::string signal_field;  // events: its signal id as a table field
  std::string signal_id;     // sqlite: its signal id
  std::string relative_path; // sqlite: its path below the directory argument
  bool stored = false;       // sqlite: loaded before, with this size and time
  uint64_t stored_size = 0;
  int64_t stored_mtime_ns = 0;
};

/// How a task ended, for the run's status.
enum class Outcome {
  kDone,     // converted, or a note: nothing wrong
  kDamaged,  // an error was reported; the run goes on
  kStop,     // an error was reported that ends the run
};

/// What a task did.
struct TaskResult {
  Outcome outcome = Outcome::kDone;
  /// Its messages for the standard error stream, whole lines.
  std::string messages;
  uint64_t records = 0;
  /// The size of the file read, where more threads would share its work.
  uint64_t bytes = 0;
  /// The CSV, complete under the temporary name `temp`, to publish.
  File csv;
  std::string temp;
  /// Events: the log's rows, held until they can be written to the table
  /// or the database.
  std::unique_ptr<SpillOutput> rows;
  /// Sqlite: the log to load with its rows, and what the sink made of them
  /// beforehand.
  std::unique_ptr<LogToLoad> load;
  std::unique_ptr<PreparedRows> prepared;
};

/// Opens the log of `task` and converts it into a temporary file of its
/// output directory, or into rows of the events table (with settings.test,
/// only reads it), stopping at the size limit. Of an archive whose data
/// fails a check, only the rows of the members that passed are kept; one
/// cut short keeps the rows before the cut. The rows of a log go straight
/// to `table` when that is given and the log is no archive (the task is
/// the next to report); otherwise they are held in the result. Reports
/// every failure in the result's messages.
TaskResult run_task(const Task& task, const RunSettings& settings,
                    LogConverter& converter, OutputStream* table = nullptr);

/// What run_task does once the log of `task` is open as `in` (`path` as
/// messages show it, or empty for the path of `task`; `hour` read from its
/// name): the conversion, into the result. For a program that reads one
/// log it has opened itself.
void convert_file(File& in, const Task& task, const std::string& path,
                  const LogHour& hour, const RunSettings& settings,
                  LogConverter& converter, OutputStream* table,
                  TaskResult* result);

/// Gives the CSV of a task's result its name, replacing an earlier one, or
/// writes its rows to the events table; on failure the CSV is removed and
/// the failure reported in the result.
void publish(const Task& task, const RunSettings& settings,
             TaskResult* result);

/// Removes the CSV of a task's result, which is not to be published.
void discard(const Task& task, TaskResult* result);

#endif  // QUILLON_DRIVER_TASK_H_
