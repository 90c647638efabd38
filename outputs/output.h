// What a run writes, chosen once where the run is set up: a CSV file per
// log, one events table, a log sink (the database, the dataframes) or, with
// -t, nothing. Tasks, the runner and publishing go through these classes and
// never ask which format the run writes: a new format is one new class (a
// file of this folder) and one line in make_output().

#ifndef QUILLON_OUTPUTS_OUTPUT_H_
#define QUILLON_OUTPUTS_OUTPUT_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "logs/plan.h"
#include "logs/task.h"
#include "logconv/convert_log.h"
#include "logconv/streams.h"
#include "platform/platform.h"


/// How a task or a message ended, for the run's status.
enum class Outcome {
  kDone,     // converted, or a note: nothing wrong
  kDamaged,  // an error was reported; the run goes on
  kStop,     // an error was reported that ends the run
};

/// What a task has read of its log, once it is read to its end.
struct LogRead {
  ConvertResult converted;
  /// What was wrong with the log (as a message says it after the path);
  /// empty for a sound one.
  std::string wrong;
};

/// One log's output while its task runs, until the runner publishes it in
/// the order of the tasks, or discards it. Discarded when it goes
/// unpublished.
class LogOutput {
 public:
  virtual ~LogOutput() = default;

  /// Converts the log read from `input` into this output.
  virtual ConvertResult convert(LogConverter& converter, InputStream& input) = 0;

  /// Whether restart() can take back what was written.
  virtual bool can_restart() const { return false; }

  /// Takes back everything written, to write the log anew; false when that
  /// failed.
  virtual bool restart() { return false; }

  /// Why the last write failed.
  virtual std::string error() const = 0;

  /// Takes what was read of the log, once it is read to its end.
  virtual void read(const LogRead& read) { (void)read; }

  /// Publishes the output in the run's order. Returns kDone, or the outcome
  /// of a failure with *what set to its message (without "Error: ").
  virtual Outcome publish(std::string* what) = 0;

  /// Removes what was written and not published.
  virtual void discard() {}
};

/// The size of log from which reading logs on several threads gains more
/// than the threads cost, where each log's rows are written as text.
const uint64_t kTextWorthThreads = 64 << 10;

/// How many logs each thread may read ahead of the one handed over next,
/// where each log's rows are written as text.
const size_t kTextLogsAhead = 4;

/// The output of a run, one per format.
class Output {
 public:
  virtual ~Output() = default;

  /// Whether archives are read as they are, rather than decompressed in
  /// place first as the plain run does.
  virtual bool reads_archives() const { return true; }

  /// -t without -k: whether what the plain run would decompress is
  /// checked instead, and what would stop its decompression reported.
  virtual bool predicts_decompression() const { return false; }

  /// Whether a log whose name holds no valid date is still converted (it is
  /// reported either way).
  virtual bool converts_undated() const { return false; }

  /// Whether a log or output that cannot be opened stops the run, as in the
  /// two-argument run; otherwise it is reported and the run goes on.
  virtual bool stops_at_first_failure() const { return false; }

  /// Whether it reads a task's signal id and its path below the directory
  /// argument; the run makes them only for an output that does.
  virtual bool names_logs() const { return true; }

  /// The directory that the walk must not search (OUT inside the tree), or
  /// null.
  virtual const FileId* not_searched() const { return nullptr; }

  /// Readies the output of the directory `dir` (`relative`: the names that
  /// lead there from the directory argument), whose plan converts logs
  /// (`plan`, whose steps it may change), `out_path` being where its CSVs
  /// go as messages show it. Returns true with *place set (left null
  /// for an output of one place); false, with *message and *outcome set to
  /// what the run reports instead of the directory's logs, when nothing of
  /// it can be written.
  virtual bool enter(const std::shared_ptr<Dir>& dir,
                     const std::vector<std::string>& relative,
                     const std::string& out_path,
                     std::vector<PlannedEntry>* plan,
                     std::shared_ptr<const OutputPlace>* place,
                     std::string* message, Outcome* outcome) {
    (void)dir, (void)relative, (void)out_path, (void)plan, (void)place, (void)message,
        (void)outcome;
    return true;
  }

  /// -u: whether the output of the log of `task`, whose file has `size`
  /// bytes and was modified at `mtime_ns`, is up to date. Called on any
  /// thread.
  virtual bool up_to_date(const Task& task, uint64_t size,
                          int64_t mtime_ns) const {
    (void)task, (void)size, (void)mtime_ns;
    return false;
  }

  /// -u, once the run's logs are through: the logs that up_to_date() left
  /// alone and that must be read after all (a signal whose measures cannot
  /// go on from where they were); they are no longer up to date.
  virtual std::vector<Task> tasks_again() { return {}; }

  /// The size of log, plain or compressed, from which reading logs on
  /// several threads gains more than the threads cost.
  virtual uint64_t worth_threads() const { return kTextWorthThreads; }

  /// How many logs each thread may read ahead of the one handed over next:
  /// what they made waits in memory meanwhile.
  virtual size_t logs_ahead() const { return kTextLogsAhead; }

  /// Whether reading the log of `task` gains from more threads (the
  /// runner counts its bytes toward starting them).
  virtual bool gains_from_threads(const Task& task) const {
    (void)task;
    return true;
  }

  /// Starts the output of the log of `task`, open as `in` and dated `hour`,
  /// on the task's thread. `in_order`: the task is the next to publish, on
  /// the thread that publishes. Returns null, with *err set, on failure.
  virtual std::unique_ptr<LogOutput> start(const Task& task, File& in,
                                           const LogHour& hour, bool in_order,
                                           std::string* err) = 0;

  /// The output of the log of `task`, whose name holds no valid date and
  /// whose rows no output takes: where the output keeps a row per log
  /// (the database, the dataframes, the events table's --logs), one that
  /// publishes that row, closed with `closing`; else null. Called on the
  /// task's thread.
  virtual std::unique_ptr<LogOutput> undated(const Task& task,
                                             const std::string& closing) {
    (void)task, (void)closing;
    return nullptr;
  }

  /// What messages call where the output of `task` goes.
  virtual std::string name(const Task& task) const = 0;

  /// A note for the end of the run (whole lines), or nothing.
  virtual std::string note() const { return std::string(); }

  /// Has finish() call `interrupted` between the pieces of a long ending
  /// (the report's signals): true stops it there, its files left unnamed.
  virtual void set_interruption(std::function<bool()> interrupted) { (void)interrupted; }

  /// Ends the run: `stopped` when a failure ended it, `found` when it found
  /// any log. Returns false, with *what set to the message of the failure
  /// (without "Error: "), when the output could not be completed.
  virtual bool finish(bool stopped, bool found, std::string* what) {
    (void)stopped, (void)found, (void)what;
    return true;
  }
};

/// Rows held while a task runs, for the thread that publishes: in memory,
/// and past a million bytes in a file.
class SpilledRows {
 public:
  SpilledRows();
  SpillOutput& rows() { return rows_; }
  bool restart() { return rows_.clear(); }

 protected:
  SpillOutput rows_;
};

/// Tells whether the logs published into an output of standard codes mix
/// version 4, which numbers its codes apart, with other versions.
class NumberingWatch {
 public:
  explicit NumberingWatch(Mode mode) : mode_(mode) {}
  /// Takes the version of a log whose rows were published.
  void saw(int version) {
    (version == 4 ? version4_ : others_) = true;
  }
  /// The note that says so, when they mix; else nothing.
  std::string note() const;

 private:
  Mode mode_;
  bool version4_ = false, others_ = false;
};

#endif  // QUILLON_OUTPUTS_OUTPUT_H_
