#include "run/driver.h"

#include <algorithm>
#include <memory>
#include <set>
#include <utility>
#include <string>
#include <thread>
#include <vector>

#include "run/decompress.h"
#include "run/line_printer.h"
#include "logs/messages.h"
#include "logs/names.h"
#include "outputs/output.h"
#include "outputs/report_output.h"
#ifdef QUILLON_HAVE_SQLITE
#include "outputs/database.h"
#endif
#include "run/make_output.h"
#include "run/options.h"
#include "run/outputs_apart.h"
#include "logs/plan.h"
#include "logconv/log_time.h"
#include "run/progress.h"
#include "run/runner.h"
#include "run/walker.h"
#include "platform/platform.h"

namespace {

// With --tz: of the logs among `items` of one signal and of an hour that
// the zone's clocks showed twice, where a controller writes that hour as
// two logs, all but the first (by modification time, then path) are of the
// hour's second pass.
void mark_second_passes(const TimeZone& zone, const RunSettings& settings,
                        std::vector<Item*> items) {
  struct Log {
    std::string key;  // its signal and hour
    int64_t mtime;
    Task* task;
  };
  std::vector<Log> logs;
  for (Item* item : items) {
    if (!item->task || item->task->check_only) continue;
    Task& task = *item->task;
    LogHour hour;
    if (!log_hour_of(task.log_name, &hour, settings.first_year, settings.last_year) ||
        !zone.shows_twice(hour))
      continue;
    uint64_t size = 0;
    int64_t mtime = INT64_MAX;  // unknown: after the others
    if (task.dir != nullptr && !task.dir->stat(task.name, &size, &mtime)) mtime = INT64_MAX;
    logs.push_back({task.signal_id + '\n' + hour_start_text(hour), mtime, &task});
  }
  std::sort(logs.begin(), logs.end(), [](const Log& a, const Log& b) {
    if (a.key != b.key) return a.key < b.key;
    if (a.mtime != b.mtime) return a.mtime < b.mtime;
    return a.task->relative_path + a.task->name < b.task->relative_path + b.task->name;
  });
  for (size_t i = 1; i < logs.size(); ++i)
    logs[i].task->second_pass = logs[i].key == logs[i - 1].key;
}

// One run over a tree: for each directory the walk reaches, decompress in
// place where the output asks for it, plan, ready the output, and hand the
// items to the runner.
class TreeRun {
 public:
  // `dir_signal_id`, when given, is the signal id of the directory
  // argument's logs and the start of those below it.
  TreeRun(const Options& options, const RunSettings& settings,
          const std::optional<std::string>& dir_signal_id, const std::string& dir_path,
          Progress& progress, Runner& runner)
      : options_(options),
        settings_(settings),
        output_(*settings.output),
        out_name_(output_dir_name(options.letter)),
        root_signal_id_(dir_signal_id ? *dir_signal_id
                                      : ::dir_signal_id(options.dir)),
        prefix_signal_id_(dir_signal_id.value_or("")),
        dir_path_(dir_path),
        progress_(progress),
        runner_(runner) {}

  // Plans the directory of `visit` and hands its items to the runner.
  void visit(DirVisit& visit);

  // Whether any log was found.
  bool found_logs() const { return found_logs_; }

  // Whether the directory argument holds directories that were not searched.
  bool passed_sub_directories() const { return passed_sub_directories_; }

 private:
  // Decompresses the archives of `dir` in place, as the plain run does,
  // reporting each failure; the logs made join `entries`.
  void decompress(Dir& dir, std::vector<DirEntry>* entries, bool top);
  // Where the CSVs of a directory go, as messages show it, made or not.
  std::string output_path(const DirVisit& visit) const;
  // The item that reports `p`, an entry of `dir`, whose names it takes.
  Item item_for(PlannedEntry& p, const DirVisit& visit,
                const std::string& out_path) const;

  const Options& options_;
  const RunSettings& settings_;
  Output& output_;
  const std::string out_name_;
  const std::string root_signal_id_, prefix_signal_id_;
  const std::string dir_path_;  // below a larger run's directory, or empty
  Progress& progress_;
  Runner& runner_;
  bool found_logs_ = false;
  bool passed_sub_directories_ = false;
};

void TreeRun::decompress(Dir& dir, std::vector<DirEntry>* entries, bool top) {
  std::vector<std::string> archives = archives_to_decompress(*entries, top);
  if (archives.empty()) return;
  std::vector<std::string> gone;
  for (size_t i = 0; i < archives.size(); ++i) {
    const std::string& name = archives[i];
    progress_.update(i, archives.size(), "decompressing ", name, 0);
    std::string err;
    if (gunzip_in_place(dir, name, settings_.max_log_size, &err)) {
      entries->push_back({log_name_of_archive(name), EntryKind::kFile});
      gone.push_back(name);
    } else {
      runner_.add({error_line(shown(dir.path_of(name)) + ": " + err),
                   Outcome::kDamaged, std::nullopt});
    }
  }
  entries->erase(std::remove_if(entries->begin(), entries->end(),
                                [&](const DirEntry& e) {
                                  return std::binary_search(
                                      gone.begin(), gone.end(), e.name);
                                }),
                 entries->end());
}

std::string TreeRun::output_path(const DirVisit& visit) const {
  if (options_.output.empty()) return join_path(visit.path, out_name_);
  std::string path = options_.output;
  for (const std::string& name : visit.relative) path = join_path(path, name);
  return path;
}

Item TreeRun::item_for(PlannedEntry& p, const DirVisit& visit,
                       const std::string& out_path) const {
  const Dir& dir = *visit.dir;
  // The paths in messages, made only for a message.
  auto path = [&] { return shown(dir.path_of(p.name)); };
  auto other = [&] { return shown(dir.path_of(p.other)); };
  auto csv_path = [&] { return shown(join_path(out_path, p.csv_name)); };
  Item item;
  switch (p.step) {
    case Step::kConvert:
    case Step::kCheckArchive: {
      item.task = Task();
      Task& task = *item.task;
      task.dir = visit.dir;
      task.name = std::move(p.name);
      task.log_name = std::move(p.log_name);
      task.archive = p.archive;
      task.check_only = p.step == Step::kCheckArchive;
      if (!output_.names_logs()) break;
      // Names that are no UTF-8 go into tables as messages show them.
      if (!dir_path_.empty()) {
        append_shown_exactly(&task.relative_path, dir_path_);
        task.relative_path += '/';
      }
      for (const std::string& part : visit.relative) {
        append_shown_exactly(&task.relative_path, part);
        task.relative_path += '/';
      }
      append_shown_exactly(&task.relative_path, task.name);
      append_shown_exactly(&task.signal_id, signal_id_of(
          options_.signal_id, task.log_name,
          visit.relative.empty()
              ? root_signal_id_
              : relative_dir_id(prefix_signal_id_, visit.relative)));
      break;
    }
    case Step::kNote:
      item.message = "Note: " + path() + " is skipped: " + other() +
                     " is converted instead\n";
      break;
    case Step::kCollision:
      item.message = error_line(path() + ": " + csv_path() +
                                " is already written by " + other());
      item.outcome = Outcome::kDamaged;
      break;
    case Step::kNotRegular:
      item.message = error_line(path() + ": not a regular file");
      item.outcome = Outcome::kDamaged;
      break;
    case Step::kTargetExists:
      item.message = error_line(path() + ": " + other() + " already exists");
      item.outcome = Outcome::kDamaged;
      break;
    case Step::kNoName:
      item.message =
          error_line(path() + ": no file name is left once .gz is taken off");
      item.outcome = Outcome::kDamaged;
      break;
    case Step::kCsvIsDirectory:
      item.message = error_line("Failed to open " + csv_path() + ": " +
                                "Is a directory");
      item.outcome =
          settings_.fail_fast ? Outcome::kStop : Outcome::kDamaged;
      break;
  }
  return item;
}

void TreeRun::visit(DirVisit& visit) {
  const bool top = visit.relative.empty();
  std::vector<DirEntry> entries = std::move(visit.entries);
  // Logs of other days than those asked for are not there for this run:
  // not read, not decompressed, not reported.
  entries.erase(std::remove_if(entries.begin(), entries.end(),
                               [this](const DirEntry& e) {
                                 if (e.kind == EntryKind::kDirectory) return false;
                                 const std::string log = is_archive(e.name)
                                                             ? log_name_of_archive(e.name)
                                                             : e.name;
                                 return is_log_name(log) && !reads_log_of_day(options_, log);
                               }),
                entries.end());
  if (top && !options_.recursive) {
    for (const DirEntry& entry : entries)
      passed_sub_directories_ |= entry.kind == EntryKind::kDirectory;
  }
  if (!output_.reads_archives()) {
    // The plain run writes here when it decompresses: a decompression a
    // killed run left behind goes, whether there is one to do now or not.
    visit.dir->claim_for_writing();
    decompress(*visit.dir, &entries, top);
  }
  PlanRules rules;
  rules.read_archives = output_.reads_archives();
  rules.predict_decompression = output_.predicts_decompression();
  rules.top = top;
  std::vector<PlannedEntry> plan = plan_logs(entries, rules);
  entries = std::vector<DirEntry>();

  bool converts = false;
  for (const PlannedEntry& p : plan) {
    if (!p.log_name.empty()) found_logs_ = true;
    if (p.step == Step::kConvert) converts = true;
  }
  const std::string out_path = output_path(visit);
  std::shared_ptr<const OutputPlace> place;
  std::string message;
  Outcome outcome = Outcome::kDone;
  if (converts &&
      !output_.enter(visit.dir, visit.relative, out_path, &plan, &place,
                     &message, &outcome)) {
    // Nothing of this directory can be written; what comes before the
    // first log to convert is still said.
    for (PlannedEntry& p : plan) {
      if (p.step == Step::kConvert) break;
      runner_.add(item_for(p, visit, out_path));
    }
    runner_.add({message, outcome, std::nullopt});
    bool after = false;
    for (PlannedEntry& p : plan) {
      if (p.step == Step::kConvert) {
        after = true;
      } else if (after && p.step != Step::kCheckArchive) {
        runner_.add(item_for(p, visit, out_path));
      }
    }
    return;
  }
  std::vector<Item> items;
  items.reserve(plan.size());
  for (PlannedEntry& p : plan) {
    items.push_back(item_for(p, visit, out_path));
    if (items.back().task) items.back().task->place = place;
  }
  if (options_.zone != nullptr) {
    std::vector<Item*> all;
    for (Item& item : items) all.push_back(&item);
    mark_second_passes(*options_.zone, settings_, all);
  }
  runner_.add(std::move(items));
}

// Whether the inputs are log files, or one on the standard input, rather
// than a directory: for the formats that take files, several inputs, "-",
// or one that is a file.
bool reads_files(const Options& options) {
  if (!takes_log_files(options) || options.inputs.empty()) return false;
  if (options.inputs.size() != 1 || options.inputs[0] == "-") return true;
  std::string resolved;
  return output_target(options.inputs[0], &resolved) == OutputTarget::kFile;
}

// The log of the standard input, copied into a file without a name so that
// it can be read again. Null, with *err set, on failure.
std::shared_ptr<File> copy_standard_input(std::string* err) {
  File in;
  auto copy = std::make_shared<File>();
  if (!open_standard_input(&in, err) || !create_unnamed_temp(copy.get(), err))
    return nullptr;
  char buf[1 << 16];
  for (;;) {
    long long n = in.read(buf, sizeof buf);
    if (n == 0) break;
    if (n < 0 || !copy->write(buf, static_cast<size_t>(n))) {
      *err = n < 0 ? in.error() : copy->error();
      return nullptr;
    }
  }
  if (!copy->rewind()) {
    *err = copy->error();
    return nullptr;
  }
  return copy;
}

// The item of the log file `input`, as typed, or of the standard input's
// log ("-", its copy `standard_input`, named by --name).
Item file_item(const Options& options, const std::string& input,
               const std::shared_ptr<File>& standard_input) {
  Item item;
  Task task;
  std::string dir_id;
  if (input == "-") {
    task.name = options.name;
    task.path = "standard input";
    task.input = standard_input;
    task.relative_path = shown_exactly(options.name);
  } else {
    std::string dir_path, err;
    split_path(input, &dir_path, &task.name);
    task.dir = Dir::open(dir_path, &err);
    if (task.dir == nullptr) {
      item.message = error_line("Failed to open " + shown(input) + ": " + err);
      item.outcome = Outcome::kDamaged;
      return item;
    }
    task.path = shown(input);
    task.relative_path = shown_exactly(input);
    dir_id = dir_signal_id(dir_path);
    if (options.format == OutputFormat::kSqlite) {
      // The database keys a log by its canonical path below the database's
      // directory, the current one: a log however spelled is one row.
      const std::string base = canonical_path("."), at = canonical_path(dir_path);
      std::string below;
      if (base.empty() || at.empty() || !path_below(at, base, &below)) {
        item.message = error_line(task.path + ": lies outside " + shown(base) +
                                  ", the database's directory");
        item.outcome = Outcome::kDamaged;
        return item;
      }
      task.relative_path = shown_exactly(below.empty() ? task.name : below + "/" + task.name);
    }
  }
  task.archive = is_archive(task.name);
  task.log_name = task.archive ? log_name_of_archive(task.name) : task.name;
  if (!is_log_name(task.log_name)) {
    item.message = error_line(task.path + ": not a log (.dat or .dat.gz)");
    item.outcome = Outcome::kDamaged;
    return item;
  }
  task.signal_id = shown_exactly(signal_id_of(options.signal_id, task.log_name, dir_id));
  item.task = std::move(task);
  return item;
}

}  // namespace

int run_quillon(const std::vector<std::string>& args) {
  Options options;
  std::string error;
  switch (parse_command_line(args, &options, &error)) {
    case Command::kHelp:
      print_output(usage_text());
      return 0;
    case Command::kVersion:
      print_output(kVersionLine);
      return 0;
    case Command::kBadUsage:
      print_error(usage_error_text(error));
      return 2;
    case Command::kRun:
      break;
  }
  if (!options.from.empty()) return report_from_database(options);
  return options.with_measures ? run_with_measures(options) : run_with(options, RunHooks());
}

int report_from_database(const Options& options) {
#ifdef QUILLON_HAVE_SQLITE
  std::string err;
  File db;
  std::string dir_path, name;
  split_path(options.from, &dir_path, &name);
  std::shared_ptr<Dir> at = Dir::open(dir_path, &err);
  if (at == nullptr || !at->open_file(name, &db, &err)) {
    print_error(error_line("Failed to open " + shown(options.from) + ": " + err));
    return 1;
  }
  // The pages are readable by no more users than the database.
  const unsigned permissions = db.permissions();
  db.close();
  std::shared_ptr<Dir> out = Dir::make(options.output, &err);
  std::shared_ptr<Dir> tables = out != nullptr ? out->make_child("measures", &err) : nullptr;
  if (tables == nullptr) {
    print_error(error_line("Failed to make " + shown(join_path(options.output, "measures")) +
                           ": " + err));
    return 1;
  }
  // The tables take their names with the pages, once all are written: a
  // failure leaves the earlier report whole.
  HeldFiles held;
  if (!write_measure_tables(options.from, tables, permissions, &held, &err)) {
    print_error(error_line(shown(options.from) + ": " + err));
    return 1;
  }
  MeasureSettings settings = options.measures;
  settings.zone = options.zone;
  if (!write_report(options.output, settings, permissions, &err, &held)) {
    print_error(error_line(err));
    return 1;
  }
  return 0;
#else
  print_error(error_line(shown(options.from) + ": this quillon has no sqlite format"));
  return 1;
#endif
}

int run_with_measures(const Options& options) {
  if (reads_files(options)) {
    print_error(usage_error_text("--measures needs a directory of logs"));
    return 2;
  }
  // Each message once: the measures read the logs that the load read, and
  // meet what was wrong with them again.
  std::set<std::string> said;
  RunHooks load;
  load.message = [&said](const std::string& lines) {
    said.insert(lines);
    print_error(lines);
  };
  // The logs loaded, then measured, then the tables loaded, before the
  // run's one transaction is committed: a reader sees the measures of the
  // logs the database holds.
  int measured = 0;
  load.before_commit = [&](ArchiveDatabase& db, std::string* err) {
#ifdef QUILLON_HAVE_SQLITE
    Options measures = options;
    measures.format = OutputFormat::kMeasures;
    measures.output = options.output + ".measures";
    measures.update = true;
    measures.with_measures = false;
    // The tables hold only the rows written anew: those before are in the
    // database.
    ChangedMeasures changed;
    changed.only_new = true;
    changed.loaded = db.loaded_measures();
    RunHooks hooks;
    hooks.changed = &changed;
    hooks.message = [&said](const std::string& lines) {
      if (said.count(lines) == 0) print_error(lines);
    };
    measured = run_with(measures, hooks);
    // Tables not written (the run said why): the logs are loaded without
    // them, and the next run loads them.
    if (changed.now == 0) return true;
    if (db.load_measures(measures.output, changed, err)) return true;
    *err = "the measures: " + *err;
    return false;
#else
    (void)db, (void)err;
    return true;
#endif
  };
  const int status = run_with(options, load);
  if (status == 2 || options.test) return status;
  return std::max(status, measured);
}

int run_with(const Options& given, const RunHooks& hooks) {
  LinePrinter printer(hooks.message);
  Progress progress(printer, given.quiet);
  if (!given.test && !hooks.message) remove_temporaries_on_interrupt();
  // Log files are read where they are: the run's directory is the current
  // one, as their paths are typed from it.
  const bool files = reads_files(given);
  Options options = given;
  if (files) options.dir = ".";
  std::string days;
  if (options.since != INT64_MIN || options.until != INT64_MAX) {
    days = " of the days";
    if (options.since != INT64_MIN) days += " from " + date_text(options.since);
    if (options.until != INT64_MAX) days += " to " + date_text(options.until);
  }
  const std::string no_logs = "Failed to find any .dat files" + days + " in " +
                              shown(join_path(options.dir, "*.dat")) + "\n";

  // Before anything is read or made: no output replaces what the run
  // reads, or another output.
  const std::string clash = outputs_apart(given);
  if (!clash.empty()) {
    printer.print(usage_error_text(clash));
    return 2;
  }
  std::string err;
  std::shared_ptr<Dir> root = Dir::open(options.dir, &err);
  int status = 1;
  std::unique_ptr<Output> output =
      make_output(options, mode_of_letter(options.letter), root, hooks.sink,
                  &err, &status, hooks.changed, hooks.before_commit);
  if (output == nullptr) {
    printer.print(error_line(err));
    return status;
  }
  if (root == nullptr) {
    // Given options, a file where the directory goes is told so.
    std::string resolved;
    if (options.with_options &&
        output_target(options.dir, &resolved) == OutputTarget::kFile) {
      printer.print(error_line(
          shown(options.dir) + " is a file, not a directory of logs: -f events, "
          "-f sqlite and -t read log files"));
    } else {
      printer.print(no_logs);
    }
    return 1;
  }
  std::shared_ptr<File> standard_input;
  if (files && std::find(options.inputs.begin(), options.inputs.end(), "-") !=
                   options.inputs.end()) {
    standard_input = copy_standard_input(&err);
    if (standard_input == nullptr) {
      printer.print(error_line("Failed to read standard input: " + err));
      return 1;
    }
  }
  RunSettings settings;
  settings.output = output.get();
  settings.max_log_size = options.max_log_size;
  settings.fail_fast = output->stops_at_first_failure();
  settings.first_year = hooks.first_year;
  settings.last_year = hooks.last_year;
  settings.update = options.update;

  const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  const bool automatic = options.jobs == kAutomaticJobs;
  int jobs = options.jobs == 0 || automatic ? cores : options.jobs;
  Runner runner(
      [&settings](const Task& task, LogConverter& converter, bool in_order) {
        return run_task(task, settings, converter, in_order);
      },
      jobs, automatic, printer, progress, output->worth_threads(), output->logs_ahead());
  if (hooks.interrupted) {
    runner.set_interruption(hooks.interrupted);
    output->set_interruption(hooks.interrupted);
  }
  bool found = false, passed_sub_directories = false;
  // The log files given, made items first: in a zone, two logs of the hour
  // shown twice are told apart among them.
  std::vector<std::optional<Item>> file_items(files ? options.inputs.size() : 0);
  std::vector<Item*> given_logs;
  for (size_t i = 0; i < file_items.size(); ++i) {
    std::string resolved;
    const std::string& input = options.inputs[i];
    if (input != "-" && output_target(input, &resolved) == OutputTarget::kDirectory) continue;
    file_items[i] = file_item(options, input, standard_input);
    given_logs.push_back(&*file_items[i]);
  }
  if (options.zone != nullptr) mark_second_passes(*options.zone, settings, given_logs);
  // Each input in the order given: a directory is walked, a file is a log.
  for (size_t i = 0; i < (files ? options.inputs.size() : 1) && !runner.stopped();
       ++i) {
    const std::string& input = options.inputs[i];
    if (files && file_items[i]) {
      Item item = std::move(*file_items[i]);
      if (item.task && input != "-" && !reads_log_of_day(options, item.task->log_name)) continue;
      found |= item.task.has_value();
      runner.add(std::move(item));
      continue;
    }
    Options walked = options;
    walked.dir = files ? input : options.dir;
    std::shared_ptr<Dir> dir = files ? Dir::open(walked.dir, &err) : root;
    if (dir == nullptr) {
      runner.add({error_line("Failed to open " + shown(input) + ": " + err),
                  Outcome::kDamaged, std::nullopt});
      continue;
    }
    TreeRun run(walked, settings, hooks.dir_signal_id, hooks.dir_path, progress, runner);
    TreeWalker walker(dir, options.recursive, output->not_searched());
    bool top_listed = true;
    DirVisit visit;
    while (!runner.stopped() && walker.next(&visit)) {
      if (visit.dir == nullptr) {
        if (visit.relative.empty()) {
          top_listed = false;
        } else {
          runner.add({error_line(shown(visit.path) + ": " + visit.error),
                      Outcome::kDamaged, std::nullopt});
        }
        continue;
      }
      run.visit(visit);
    }
    found |= top_listed && run.found_logs();
    passed_sub_directories |= run.passed_sub_directories();
  }
  status = runner.finish();
  // -u: the logs left alone that the output needs after all.
  if (options.update && !runner.stopped()) {
    std::vector<Task> again = output->tasks_again();
    if (!again.empty()) {
      for (Task& task : again) runner.add(Item{"", Outcome::kDone, std::move(task)});
      status = runner.finish();
    }
  }
  // The output is finished first: the measures' notes come of its tables.
  const bool finished = output->finish(runner.stopped(), found, &err);
  if (!runner.stopped()) {
    const std::string note = output->note();
    if (!note.empty()) printer.print(note);
  }
  if (!runner.stopped() && !found) {
    printer.print(files ? error_line("no log was read") : no_logs);
    // Given options, a directory of folders is told how to search them.
    if (options.with_options && passed_sub_directories)
      printer.print("Note: the sub-directories of " + shown(options.dir) +
                    " are searched with -r\n");
  }
  if (!finished) {
    printer.print(error_line(err));
    status = 1;
  }
  if (options.verbose) printer.print(runner.summary().line());
  if (!runner.stopped() && !found) return 1;
  return status;
}
