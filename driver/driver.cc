#include "driver/driver.h"

#include <stdio.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "driver/line_printer.h"
#include "driver/options.h"
#include "logconv/convert_log.h"
#include "logconv/streams.h"
#include "platform/platform.h"

// The line that opens the usage text and answers --version.
#define QUILLON_VERSION_LINE                                              \
  "Tavrin Quillon V 2.1. Complies to Traffic Signal Hi Resolution Data " \
  "Enumerations 2020 standard TPF-5 (377).\n"

const char kVersionLine[] = QUILLON_VERSION_LINE;

const char kUsage[] =
    QUILLON_VERSION_LINE
    "\n"
    "Usage:\n"
    "    quillon <directory to look in> <p=proprietary file e=standard "
    "enumeration file>\n\n"
    "Examples:\n"
    "  Ex 1. To read all files in the current directory where quillon is "
    "located and convert to standard format:\n"
    "    quillon . e\n"
    "  Ex 2. To read all files in the directory C:\\Data and convert to "
    "standard format:\n"
    "    quillon \"C:\\Data\" e\n"
    "\n"
    "Options:\n"
    "    quillon [options] <directory to look in> <p|e>\n"
    "  -k, --keep        change nothing in the directory: read each .dat.gz\n"
    "                    as it is, decompressing it on the way\n"
    "  -o, --output OUT  write the CSV files into OUT, made when missing\n"
    "  -r, --recursive   also every sub-directory, at any depth\n"
    "  -j, --jobs N      convert N logs at once (0: one per core; default 1)\n"
    "  -t, --test        check every log (.dat and .dat.gz) and write nothing\n"
    "  -q, --quiet       no progress line on a terminal\n"
    "  --version         print the version line\n"
    "  --                end of the options\n";

namespace {

// The status line of a run on a terminal: how far it has come, rewritten a
// few times a second at most. The clock is read once a file, never once a
// record.
class Progress {
 public:
  Progress(LinePrinter& printer, bool quiet)
      : printer_(printer),
        on_(printer.smart() && !quiet),
        start_(std::chrono::steady_clock::now()) {}

  // Shows "[done/total] <what><name>" and the rate of records so far.
  void update(size_t done, size_t total, const std::string& what,
              const std::string& name, uint64_t records) {
    if (!on_) return;
    auto now = std::chrono::steady_clock::now();
    // A new pass shows at once; within one, five times a second at most.
    if (what == last_what_ && now - last_ < std::chrono::milliseconds(200))
      return;
    last_what_ = what;
    last_ = now;
    std::string line = "[" + std::to_string(done) + "/" +
                       std::to_string(total) + "] " + what + name;
    double seconds = std::chrono::duration<double>(now - start_).count();
    if (records > 0 && seconds > 0) {
      char rate[48];
      snprintf(rate, sizeof rate, ", %.1f M records/s", records / seconds / 1e6);
      line += rate;
    }
    printer_.set_status(line);
  }

 private:
  LinePrinter& printer_;
  bool on_;
  std::chrono::steady_clock::time_point start_, last_;
  std::string last_what_ = "\n";  // no pass yet
};

// "Error: <what>" as a line of the standard error stream.
std::string error_line(const std::string& what) {
  return "Error: " + what + "\n";
}

// Replaces each archive (`names` ending in .gz) of `dir` by its
// decompressed content, named without the last three characters, and adds
// the names it made to `names`. Returns false when any of them failed; each
// failure is reported and leaves its archive untouched.
bool decompress_all(const std::string& dir, std::vector<std::string>* names,
                    LinePrinter& printer, Progress& progress) {
  std::vector<std::string> archives, made;
  for (const std::string& name : *names)
    if (ends_with_ignoring_case(name, ".gz")) archives.push_back(name);
  bool ok = true;
  for (size_t i = 0; i < archives.size(); ++i) {
    const std::string& name = archives[i];
    progress.update(i, archives.size(), "decompressing ", name, 0);
    std::string err;
    if (gunzip_in_place(dir, name, &err)) {
      made.push_back(name.substr(0, name.size() - 3));
    } else {
      printer.print(error_line(join_path(dir, name) + ": " + err));
      ok = false;
    }
  }
  names->insert(names->end(), made.begin(), made.end());
  return ok;
}

// What became of one log.
enum class LogOutcome {
  kConverted,  // its CSV closes with ",End of Controller Log"
  kSkipped,    // not converted, for a reason that is no error
  kDamaged,    // reported: its CSV closes with an error row, or it was skipped
  kStop,       // a file could not be opened or written, reported: end the run
};

// One log to convert or check, or to skip with a message.
struct Task {
  std::string in_path;   // the log, or the archive it is read from
  std::string log_name;  // the log's name (an archive's without .gz)
  std::string out_dir;   // where its CSV goes
  std::string csv_path;
  bool archive = false;  // read through gzip
  std::string skip;      // when not empty: not converted, this is printed
  bool skip_is_error = false;
  std::string key;       // csv_path folded to lower case, where names ignore it
};

// What a task did: its outcome and the messages it holds for the standard
// error stream, printed in the order of the tasks.
struct TaskResult {
  LogOutcome outcome = LogOutcome::kConverted;
  std::string messages;
  uint64_t records = 0;
};

// Converts (or, with `test`, only reads) the log of `task`. The CSV is
// written under a temporary name in the task's output directory and takes
// its final name only once complete: a failure leaves an earlier CSV as it
// was.
TaskResult run_task(const Task& task, Mode mode, bool test,
                    LogConverter& converter) {
  TaskResult r;
  if (!task.skip.empty()) {
    r.outcome = task.skip_is_error ? LogOutcome::kDamaged : LogOutcome::kSkipped;
    r.messages = task.skip;
    return r;
  }
  std::string err;
  File in;
  if (!open_input(task.in_path, &in, &err)) {
    r.outcome = LogOutcome::kStop;
    r.messages = error_line("Failed to open " + task.in_path);
    return r;
  }
  std::unique_ptr<InputStream> input;
  GzipInput* gzip = nullptr;
  if (task.archive) {
    auto gzip_input = std::make_unique<GzipInput>(in);
    gzip = gzip_input.get();
    input = std::move(gzip_input);
  } else {
    input = std::make_unique<FileInput>(in);
  }

  ConvertResult result;
  if (test) {
    NullOutput output;
    result = converter.convert(*input, output, task.log_name, mode);
  } else {
    std::string temp;
    File out;
    if (!create_temp_file(task.out_dir, true, &in, &out, &temp, &err)) {
      r.outcome = LogOutcome::kStop;
      r.messages = error_line("Failed to open " + task.csv_path);
      return r;
    }
    FileOutput output(out);
    result = converter.convert(*input, output, task.log_name, mode);
    in.close();
    bool written = result.end != LogEnd::kWriteFailed && out.close();
    if (!written || !rename_replace(temp, task.csv_path, &err)) {
      out.close();
      remove_file(temp, &err);
      // A directory at the CSV's path cannot be replaced: that CSV could not
      // be opened, as the old way of writing in place would have found
      // before converting. (Looking only now saves a system call a file.)
      r.outcome = LogOutcome::kStop;
      r.messages = error_line(
          (written && is_directory(task.csv_path) ? "Failed to open "
                                                  : "Failed to write ") +
          task.csv_path);
      return r;
    }
  }
  r.records = result.records;
  if (result.end == LogEnd::kBadFileRead) {
    r.outcome = LogOutcome::kDamaged;
    // A damaged archive says what was wrong with it.
    r.messages = error_line(
        task.in_path + ": " +
        (gzip != nullptr && gzip->failed() ? gzip->error() : "bad file read"));
  } else if (result.end == LogEnd::kBadEventType) {
    r.outcome = LogOutcome::kDamaged;
    r.messages = error_line(task.in_path + ": bad event type " +
                            std::to_string(result.bad_type));
  }
  return r;
}

// Runs the tasks, `jobs` at a time, and prints each one's messages in task
// order, whatever order they finish in. A task that stops the run lets no
// later one start; those already started finish, unreported. Returns 1 when
// any task reported an error, else 0.
int run_tasks(const std::vector<Task>& tasks, Mode mode, bool test, int jobs,
              LinePrinter& printer, Progress& progress) {
  std::vector<TaskResult> results(tasks.size());
  std::vector<bool> done(tasks.size(), false);
  std::mutex mutex;
  std::condition_variable finished;
  std::atomic<size_t> next{0};
  // The first task that stopped the run: no task after it starts.
  std::atomic<size_t> stop_at{SIZE_MAX};
  auto work = [&] {
    LogConverter converter;
    for (;;) {
      size_t i = next.fetch_add(1);
      if (i >= tasks.size() || i > stop_at) return;
      TaskResult result = run_task(tasks[i], mode, test, converter);
      if (result.outcome == LogOutcome::kStop) {
        size_t first = stop_at;
        while (i < first && !stop_at.compare_exchange_weak(first, i)) {
        }
      }
      std::lock_guard<std::mutex> lock(mutex);
      results[i] = std::move(result);
      done[i] = true;
      finished.notify_all();
    }
  };

  std::vector<std::thread> workers;
  if (jobs > 1) {
    for (int i = 0; i < jobs && static_cast<size_t>(i) < tasks.size(); ++i)
      workers.emplace_back(work);
  }
  LogConverter converter;  // for one job at a time, in this thread
  int status = 0;
  uint64_t records = 0;
  for (size_t i = 0; i < tasks.size(); ++i) {
    progress.update(i, tasks.size(), "", tasks[i].log_name, records);
    TaskResult result;
    if (workers.empty()) {
      result = run_task(tasks[i], mode, test, converter);
    } else {
      std::unique_lock<std::mutex> lock(mutex);
      finished.wait(lock, [&] { return done[i]; });
      result = std::move(results[i]);
    }
    records += result.records;
    if (!result.messages.empty()) printer.print(result.messages);
    if (result.outcome == LogOutcome::kDamaged) status = 1;
    if (result.outcome == LogOutcome::kStop) {
      status = 1;
      stop_at = i;
      break;
    }
  }
  for (std::thread& worker : workers) worker.join();
  return status;
}

// The key under which two CSV paths are the same file.
std::string csv_key(const std::string& csv_path) {
  if (!kNamesIgnoreCase) return csv_path;
  std::string key = csv_path;
  for (char& c : key)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return key;
}

// A directory to take logs from.
struct LogDir {
  std::string path;      // as the tool prints it
  std::string relative;  // below the directory argument; empty for itself
};

// The directory argument and, with -r, every sub-directory below it, depth
// first in name order. Links to directories, output directories and OUT are
// passed over.
void find_log_dirs(const LogDir& dir, const Options& options,
                   std::vector<LogDir>* dirs) {
  dirs->push_back(dir);
  if (!options.recursive) return;
  std::vector<std::string> names;
  std::string err;
  if (!find_directories(dir.path, &names, &err)) return;
  for (const std::string& name : names) {
    if (name.rfind("csv_files_", 0) == 0) continue;
    LogDir child = {join_path(dir.path, name),
                    dir.relative.empty() ? name : join_path(dir.relative, name)};
    if (!options.output.empty() && same_file(child.path, options.output))
      continue;
    find_log_dirs(child, options, dirs);
  }
}

}  // namespace

int run_quillon(const std::vector<std::string>& args) {
  Options options;
  switch (parse_command_line(args, &options)) {
    case Command::kHelp:
      print_error(kUsage);
      return 0;
    case Command::kVersion:
      print_error(kVersionLine);
      return 0;
    case Command::kBadUsage:
      print_error(kUsage);
      return 2;
    case Command::kRun:
      break;
  }
  const char letter = options.letter;
  const Mode mode = letter == 'p' ? Mode::kProprietary : Mode::kStandard;
  // Archives are read as they are under -k, and when nothing is written.
  const bool read_archives = options.keep || options.test;
  const std::string out_name = std::string("csv_files_") + letter;

  LinePrinter printer;
  Progress progress(printer, options.quiet);
  std::string err;
  // The output directory of the directory argument is made first; one that
  // could not be made shows when its first CSV fails to open. OUT gets its
  // parents too.
  if (!options.test) {
    if (options.output.empty())
      make_directory(join_path(options.dir, out_name), &err);
    else
      make_directories(options.output, &err);
  }

  std::vector<LogDir> dirs;
  find_log_dirs({options.dir, ""}, options, &dirs);
  int status = 0;
  bool top_listed = false;
  std::vector<Task> tasks;
  for (const LogDir& dir : dirs) {
    std::string out_dir =
        !options.output.empty()
            ? (dir.relative.empty() ? options.output
                                    : join_path(options.output, dir.relative))
            : join_path(dir.path, out_name);
    // The directory is listed once: archives, then the logs among their
    // contents and the logs that were there.
    std::vector<std::string> names;
    bool listed = find_files(dir.path, {".gz", ".dat"}, &names, &err);
    if (dir.relative.empty()) top_listed = listed;
    if (!read_archives && !decompress_all(dir.path, &names, printer, progress))
      status = 1;
    std::vector<Task> dir_tasks;
    for (const std::string& name : names) {
      Task task;
      task.in_path = join_path(dir.path, name);
      task.out_dir = out_dir;
      if (ends_with_ignoring_case(name, ".dat")) {
        task.log_name = name;
      } else if (read_archives && ends_with_ignoring_case(name, ".dat.gz")) {
        task.log_name = name.substr(0, name.size() - 3);
        task.archive = true;
      } else {
        continue;
      }
      task.csv_path = join_path(
          out_dir, task.log_name.substr(0, task.log_name.size() - 3) + "csv");
      dir_tasks.push_back(std::move(task));
    }
    std::sort(dir_tasks.begin(), dir_tasks.end(),
              [](const Task& a, const Task& b) { return a.in_path < b.in_path; });

    // x.dat, x.DAT and x.Dat all make x.csv: the first in name order does.
    // A log beats its own archive: x.dat is converted, x.dat.gz skipped.
    // The keys are the tasks' own CSV paths, folded where names ignore case.
    if (kNamesIgnoreCase) {
      for (Task& task : dir_tasks) task.key = csv_key(task.csv_path);
    }
    auto key_of = [](const Task& task) -> std::string_view {
      return kNamesIgnoreCase ? task.key : task.csv_path;
    };
    std::unordered_map<std::string_view, const Task*> logs_by_csv, written_by;
    for (const Task& task : dir_tasks)
      if (!task.archive) logs_by_csv.emplace(key_of(task), &task);
    bool any = false;
    for (Task& task : dir_tasks) {
      auto log = logs_by_csv.find(key_of(task));
      if (task.archive && log != logs_by_csv.end()) {
        task.skip = "Note: " + task.in_path + " is skipped: " +
                    log->second->in_path + " is converted instead\n";
      } else if (auto [first, inserted] = written_by.emplace(key_of(task), &task);
                 !inserted) {
        task.skip = error_line(task.in_path + ": " + task.csv_path +
                               " is already written by " + first->second->in_path);
        task.skip_is_error = true;
      }
      any = true;
    }
    // A sub-directory's output directory is made only when it has logs.
    if (any && !options.test && !dir.relative.empty())
      make_directories(out_dir, &err);
    tasks.insert(tasks.end(), std::make_move_iterator(dir_tasks.begin()),
                 std::make_move_iterator(dir_tasks.end()));
  }

  if (!top_listed || tasks.empty()) {
    printer.print("Failed to find any .dat files in " +
                  join_path(options.dir, "*.dat") + "\n");
    return 1;
  }
  int jobs = options.jobs;
  if (jobs == 0) jobs = std::max(1u, std::thread::hardware_concurrency());
  if (run_tasks(tasks, mode, options.test, jobs, printer, progress) != 0)
    status = 1;
  return status;
}
