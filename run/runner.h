// Runs tasks, several at once, and reports them in the order they were
// given.

#ifndef QUILLON_RUN_RUNNER_H_
#define QUILLON_RUN_RUNNER_H_

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "run/run_task.h"

class Progress;
class LinePrinter;

/// Runs one task on any thread: the task, the thread's converter, and
/// whether the task is the next to publish, run on the thread that publishes.
using RunTask =
    std::function<TaskResult(const Task&, LogConverter&, bool in_order)>;

/// Runs the tasks of the items given to it on up to `jobs` threads, and
/// prints each item's messages and publishes its CSV in the order the items
/// were given, so that the output is that of one task at a time. An item
/// that stops the run lets no later task publish anything; tasks that had
/// started are waited for and their CSVs removed. Holds only a few items
/// beyond the one it reports next, whatever their number.
class Runner {
 public:
  /// With `automatic`, the tasks run in this thread until the logs read
  /// average `worth_threads` bytes (the output's Output::worth_threads),
  /// and then on `jobs` threads, each `ahead` tasks at most ahead of the
  /// one reported next (Output::logs_ahead).
  Runner(RunTask run, int jobs, bool automatic, LinePrinter& printer,
         Progress& progress, uint64_t worth_threads = kTextWorthThreads,
         size_t ahead = kTextLogsAhead);
  ~Runner();

  /// Adds `items` (one directory's) after those added before, and counts
  /// their tasks as found; may run or report earlier items first. Does
  /// nothing once the run has stopped.
  void add(std::vector<Item> items);

  /// Adds one item, as add() does.
  void add(Item item);

  /// Runs and reports every item added. Returns the exit status: 1 when any
  /// item reported an error, else 0.
  int finish();

  /// Whether an item, or an interruption, has stopped the run.
  bool stopped() const { return stopped_; }

  /// Has `interrupted` called before each item is reported; when it returns
  /// true the run stops there.
  void set_interruption(std::function<bool()> interrupted) {
    interrupted_ = std::move(interrupted);
  }

  /// What the tasks reported so far did.
  const RunSummary& summary() const { return summary_; }

  /// How many threads run the tasks (0: the calling thread does).
  size_t threads() const { return workers_.size(); }

  /// When set, called before each thread is started; tests throw
  /// std::system_error from it to play a system that gives no more threads.
  static std::function<void()> thread_hook_for_tests;

 private:
  struct Slot {
    Item item;
    bool started = false;
    bool done = false;
    TaskResult result;
  };

  // Reports the item at the front, waiting for or running its task.
  void report_front();
  // Lets no more tasks start, waits for those running and removes what they
  // wrote.
  void stop();
  void work();
  // Starts `jobs` threads, or as many as the system gives.
  void start_workers(int jobs);
  TaskResult run_one(const Task& task, LogConverter& converter, bool in_order);

  const RunTask run_;
  LinePrinter& printer_;
  Progress& progress_;
  size_t window_ = 0;  // how many items may wait beyond the front

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Slot> slots_;
  size_t next_to_start_ = 0;  // index into slots_
  bool quit_ = false;
  std::vector<std::thread> workers_;
  size_t live_workers_ = 0;  // threads that take tasks

  int jobs_;
  bool automatic_;
  uint64_t worth_threads_;
  size_t ahead_;  // how many items may wait beyond the front for each thread
  uint64_t bytes_done_ = 0;
  bool stopped_ = false;
  int status_ = 0;
  uint64_t tasks_added_ = 0, tasks_done_ = 0, records_ = 0;
  RunSummary summary_;
  LogConverter converter_;  // for tasks run in this thread
  std::function<bool()> interrupted_;
};

#endif  // QUILLON_RUN_RUNNER_H_
