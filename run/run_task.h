// One log's task: open it, convert it into the run's output, and hand that
// to the runner to publish in order.

#ifndef QUILLON_RUN_RUN_TASK_H_
#define QUILLON_RUN_RUN_TASK_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "logs/names.h"
#include "logs/task.h"
#include "outputs/output.h"
#include "logconv/convert_log.h"
#include "platform/platform.h"

/// What every task of a run shares.
struct RunSettings {
  /// Where the logs' rows go.
  Output* output = nullptr;
  /// The most bytes a log may have, plain or decompressed; 0: no limit.
  uint64_t max_log_size = 0;
  /// A log or CSV that cannot be opened stops the run, as in the
  /// two-argument run; otherwise it is reported and the run goes on.
  bool fail_fast = true;
  /// The years a log's name may hold.
  int first_year = kFirstYear, last_year = kLastYear;
  /// -u: leave alone the logs whose output is up to date.
  bool update = false;
};

/// What a task did.
struct TaskResult {
  Outcome outcome = Outcome::kDone;
  /// Its messages for the standard error stream, whole lines.
  std::string messages;
  uint64_t records = 0;
  /// The size of the file read, where more threads would share its work.
  uint64_t bytes = 0;
  /// What it wrote, to publish; null when nothing is.
  std::unique_ptr<LogOutput> output;
  /// Whether it was a log's (not an archive that holds none), the rows it
  /// gave, and why it was reported, in a few words ("cut short"), or
  /// nothing.
  bool log = false;
  uint64_t rows = 0;
  std::string reason;
};

/// What a run did, summed up over its tasks.
struct RunSummary {
  uint64_t logs = 0, rows = 0;
  /// The logs reported, by reason, in the order the reasons first came.
  std::vector<std::pair<std::string, uint64_t>> reported;

  /// Adds a task's result.
  void add(const TaskResult& result);

  /// The closing line of -v: "quillon: 145 logs, 206,321 events; 3 logs
  /// reported: 1 without a valid date, 1 cut short, 1 bad event type".
  std::string line() const;
};

/// One thing a run reports, in its place: a message of its own (a note, a
/// failure found when planning) and a task, either or both.
struct Item {
  std::string message;
  Outcome outcome = Outcome::kDone;  // of the message
  std::optional<Task> task;
};

/// Opens the log of `task` and converts it into the run's output (with -t,
/// only reads it), stopping at the size limit. Of an archive whose data
/// fails a check, only the rows of the members that passed are kept; one
/// cut short keeps the rows before the cut. `in_order`: the task is the
/// next to publish, on the thread that publishes. Reports every failure in
/// the result's messages.
TaskResult run_task(const Task& task, const RunSettings& settings,
                    LogConverter& converter, bool in_order);

/// What run_task does once the log of `task` is open as `in`: the date
/// check and the conversion, then publishing, into the result. For a
/// program that reads one log it has opened itself.
TaskResult read_open_log(File& in, const Task& task, const RunSettings& settings,
                         LogConverter& converter);

/// Publishes what a task's result holds; a failure is reported in the
/// result.
void publish(TaskResult* result);

/// Removes what a task's result holds, which is not to be published.
void discard(TaskResult* result);

#endif  // QUILLON_RUN_RUN_TASK_H_
