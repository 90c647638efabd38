#include "run/runner.h"

#include <new>
#include <utility>

#include "run/line_printer.h"
#include "logs/messages.h"
#include "run/progress.h"

std::function<void()> Runner::thread_hook_for_tests;

Runner::Runner(RunTask run, int jobs, bool automatic, LinePrinter& printer,
               Progress& progress, uint64_t worth_threads, size_t ahead)
    : run_(std::move(run)),
      printer_(printer),
      progress_(progress),
      jobs_(jobs),
      automatic_(automatic),
      worth_threads_(worth_threads),
      ahead_(ahead) {
  if (!automatic) start_workers(jobs);
}

void Runner::start_workers(int jobs) {
  // Where the system gives fewer threads than asked (process or memory
  // limits), the run goes on with those it gave; with none, in this one.
  // Memory held back while they start leaves this thread room to go on,
  // when the threads take all there is.
  std::unique_ptr<char[]> held_back(
      jobs > 1 ? new (std::nothrow) char[16 << 20] : nullptr);
  for (int i = 0; jobs > 1 && i < jobs; ++i) {
    // Counted before it starts: a thread that gives up at once takes
    // itself off the count.
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++live_workers_;
    }
    try {
      if (thread_hook_for_tests) thread_hook_for_tests();
      workers_.emplace_back(&Runner::work, this);
    } catch (const std::exception&) {
      std::lock_guard<std::mutex> lock(mutex_);
      --live_workers_;
      break;
    }
  }
  held_back.reset();
  // Enough items ahead to keep every thread busy, few enough that their
  // finished outputs do not pile up.
  std::lock_guard<std::mutex> lock(mutex_);
  window_ = ahead_ * workers_.size();
}

Runner::~Runner() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    quit_ = true;
  }
  changed_.notify_all();
  for (std::thread& worker : workers_) worker.join();
}

// Runs a task; one that runs out of memory stops the run instead of the
// process.
TaskResult Runner::run_one(const Task& task, LogConverter& converter,
                           bool in_order) {
  try {
    return run_(task, converter, in_order);
  } catch (const std::bad_alloc&) {
    TaskResult r;
    r.outcome = Outcome::kStop;
    r.messages = error_line(shown(task.dir->path_of(task.name)) + ": out of memory");
    return r;
  }
}

void Runner::work() {
  // A thread that cannot have its buffers (the system gave the thread but
  // not the memory) leaves the tasks to the others.
  LogConverter converter;
  try {
    converter.reserve();
  } catch (const std::bad_alloc&) {
    std::lock_guard<std::mutex> lock(mutex_);
    --live_workers_;
    changed_.notify_all();
    return;
  }
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] {
      return quit_ || stopped_ || next_to_start_ < slots_.size();
    });
    if (quit_ || stopped_) return;
    Slot& slot = slots_[next_to_start_++];
    slot.started = true;
    if (slot.item.task) {
      lock.unlock();
      TaskResult result = run_one(*slot.item.task, converter, false);
      lock.lock();
      slot.result = std::move(result);
    }
    slot.done = true;
    changed_.notify_all();
  }
}

void Runner::add(std::vector<Item> items) {
  for (const Item& item : items)
    if (item.task) ++tasks_added_;
  for (Item& item : items) {
    if (stopped_) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      slots_.emplace_back();
      slots_.back().item = std::move(item);
    }
    changed_.notify_all();
    while (!stopped_ && slots_.size() > window_) report_front();
  }
}

void Runner::add(Item item) {
  std::vector<Item> items;
  items.push_back(std::move(item));
  add(std::move(items));
}

int Runner::finish() {
  while (!stopped_ && !slots_.empty()) report_front();
  return status_;
}

void Runner::report_front() {
  if (interrupted_ && interrupted_()) {
    stop();
    status_ = 1;
    return;
  }
  std::unique_lock<std::mutex> lock(mutex_);
  Slot& slot = slots_.front();
  if (slot.item.task) {
    progress_.update(tasks_done_, tasks_added_, "",
                     slot.item.task->log_name.empty()
                                                    ? slot.item.task->name
                                                    : slot.item.task->log_name,
                     records_);
  }
  if (live_workers_ == 0) {
    if (!slot.started && slot.item.task) {
      slot.started = true;
      lock.unlock();
      // The next task to report: its rows may go straight to the output.
      slot.result = run_one(*slot.item.task, converter_, true);
      lock.lock();
    }
    slot.done = true;
    ++next_to_start_;
  } else {
    changed_.wait(lock, [&] { return slot.done || live_workers_ == 0; });
    if (!slot.done) {  // the threads have all given up
      lock.unlock();
      report_front();
      return;
    }
  }
  // The slot is done: no thread but this one touches it again.
  lock.unlock();
  TaskResult& result = slot.result;
  Outcome outcome = slot.item.outcome;
  std::string messages = std::move(slot.item.message);
  if (slot.item.task) {
    ++tasks_done_;
    records_ += result.records;
    bytes_done_ += result.bytes;
    summary_.add(result);
    if (result.outcome != Outcome::kStop)
      publish(&result);
    else
      discard(&result);
    messages += result.messages;
    if (result.outcome > outcome) outcome = result.outcome;
  }
  lock.lock();
  slots_.pop_front();
  --next_to_start_;
  lock.unlock();
  if (!messages.empty()) printer_.print(messages);
  if (outcome != Outcome::kDone) status_ = 1;
  if (outcome == Outcome::kStop) stop();
  // Logs that prove big enough are read on every core from now on.
  if (automatic_ && workers_.empty() && !stopped_ && jobs_ > 1 &&
      tasks_done_ > 0 && bytes_done_ / tasks_done_ >= worth_threads_) {
    start_workers(jobs_);
  }
}

void Runner::stop() {
  std::unique_lock<std::mutex> lock(mutex_);
  stopped_ = true;
  changed_.notify_all();
  // Tasks under way finish; nothing of theirs is published.
  for (Slot& slot : slots_) {
    if (!slot.started) continue;
    changed_.wait(lock, [&] { return slot.done; });
    if (slot.item.task) discard(&slot.result);
  }
  slots_.clear();
  next_to_start_ = 0;
}
