#include "driver/driver.h"

#include <algorithm>
#include <memory>
#include <utility>
#include <string>
#include <thread>
#include <vector>

#ifdef QUILLON_HAVE_SQLITE
#include "driver/database.h"
#endif
#include "driver/decompress.h"
#include "driver/line_printer.h"
#include "driver/messages.h"
#include "driver/options.h"
#include "driver/plan.h"
#include "driver/progress.h"
#include "driver/runner.h"
#include "driver/table.h"
#include "driver/walker.h"
#include "platform/platform.h"

namespace {

const char kIsLink[] = "is a symbolic link, not a directory";

// One run over a tree: for each directory the walk reaches, decompress in
// place, plan, find the output directory, and hand the items to the runner.
class TreeRun {
 public:
  // `dir_signal_id`, when given, is the signal id of the directory
  // argument's logs and the start of those below it.
  TreeRun(const Options& options, const RunSettings& settings,
          std::shared_ptr<Dir> out_root, std::string out_root_error,
          const std::optional<std::string>& dir_signal_id, Progress& progress,
          Runner& runner)
      : options_(options),
        settings_(settings),
        out_name_(std::string("csv_files_") + options.letter),
        out_root_(std::move(out_root)),
        out_root_error_(std::move(out_root_error)),
        root_signal_id_(dir_signal_id ? *dir_signal_id
                                      : ::dir_signal_id(options.dir)),
        prefix_signal_id_(dir_signal_id.value_or("")),
        progress_(progress),
        runner_(runner) {}

  // Plans the directory of `visit` and hands its items to the runner.
  void visit(DirVisit& visit);

  // Whether any log was found.
  bool found_logs() const { return found_logs_; }

  // The events table's signal id of a log.
  std::string signal_id(const DirVisit& visit, const std::string& log_name) const;

 private:
  // Decompresses the archives of `dir` in place, as the plain run does,
  // reporting each failure; the logs made join `entries`.
  void decompress(Dir& dir, std::vector<DirEntry>* entries, bool top);
  // The output directory of a directory, made when missing; null, with
  // *err set, when it cannot be used.
  std::shared_ptr<Dir> output_dir(const DirVisit& visit, std::string* err);
  // The output directory's path as messages show it, made or not.
  std::string output_path(const DirVisit& visit) const;
  // The item that reports `p`, an entry of `dir`.
  // The item that reports `p`, an entry of `dir`, whose names it takes.
  Item item_for(PlannedEntry& p, const std::shared_ptr<Dir>& dir,
                const std::shared_ptr<Dir>& out,
                const std::string& out_path) const;

  const Options& options_;
  const RunSettings& settings_;
  const std::string out_name_;
  std::shared_ptr<Dir> out_root_;
  std::string out_root_error_;
  const std::string root_signal_id_, prefix_signal_id_;
  Progress& progress_;
  Runner& runner_;
  bool found_logs_ = false;
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
      entries->push_back({name.substr(0, name.size() - 3), EntryKind::kFile});
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

std::shared_ptr<Dir> TreeRun::output_dir(const DirVisit& visit,
                                         std::string* err) {
  if (visit.relative.empty() || out_root_ == nullptr) {
    *err = out_root_error_;
    return out_root_;
  }
  std::shared_ptr<Dir> out;
  if (options_.output.empty()) {
    out = visit.dir->make_child(out_name_, err);
  } else {
    // The same path below OUT, never through a link.
    out = out_root_;
    for (const std::string& name : visit.relative) {
      out = out->make_child(name, err);
      if (out == nullptr) return nullptr;
    }
  }
  if (out != nullptr) out->claim_for_writing();
  return out;
}

Item TreeRun::item_for(PlannedEntry& p, const std::shared_ptr<Dir>& dir,
                       const std::shared_ptr<Dir>& out,
                       const std::string& out_path) const {
  // The paths in messages, made only for a message.
  auto path = [&] { return shown(dir->path_of(p.name)); };
  auto other = [&] { return shown(dir->path_of(p.other)); };
  auto csv_path = [&] { return shown(join_path(out_path, p.csv_name)); };
  Item item;
  switch (p.step) {
    case Step::kConvert:
    case Step::kCheckArchive:
      item.task = Task();
      item.task->dir = dir;
      item.task->name = std::move(p.name);
      item.task->log_name = std::move(p.log_name);
      item.task->archive = p.archive;
      item.task->check_only = p.step == Step::kCheckArchive;
      item.task->out_dir = out;
      item.task->csv_name = std::move(p.csv_name);
      break;
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

std::string TreeRun::signal_id(const DirVisit& visit,
                               const std::string& log_name) const {
  std::string from_name = leading_fields(log_name);
  if (options_.signal_id == SignalIdFrom::kName ||
      (options_.signal_id == SignalIdFrom::kAuto && !from_name.empty())) {
    return from_name;
  }
  if (visit.relative.empty()) return root_signal_id_;
  // Below the directory argument, its path from there (after the
  // argument's own id, when one was given).
  std::string id = prefix_signal_id_;
  for (const std::string& name : visit.relative)
    id += (id.empty() ? "" : "/") + name;
  return id;
}

void TreeRun::visit(DirVisit& visit) {
  const bool top = visit.relative.empty();
  std::vector<DirEntry> entries = std::move(visit.entries);
  const bool events = settings_.format == OutputFormat::kEvents;
  const bool sqlite = settings_.format == OutputFormat::kSqlite ||
                      settings_.format == OutputFormat::kRows;
  // The events table and the database never change the directory:
  // archives are read as they are.
  const bool read_archives = options_.keep || options_.test || events || sqlite;
  if (!read_archives) {
    // The plain run writes here when it decompresses: a decompression a
    // killed run left behind goes, whether there is one to do now or not.
    visit.dir->claim_for_writing();
    decompress(*visit.dir, &entries, top);
  }
  PlanRules rules;
  rules.read_archives = read_archives;
  rules.predict_decompression =
      options_.test && !options_.keep && !events && !sqlite;
  rules.top = top;
  std::vector<PlannedEntry> plan = plan_logs(entries, rules);
  entries = std::vector<DirEntry>();

  bool converts = false;
  for (const PlannedEntry& p : plan) {
    if (!p.log_name.empty()) found_logs_ = true;
    if (p.step == Step::kConvert) converts = true;
  }
  const std::string out_path = output_path(visit);
  std::shared_ptr<Dir> out;
  if (converts && !options_.test && !events && !sqlite) {
    std::string err;
    out = output_dir(visit, &err);
    if (out == nullptr) {
      // Nothing of this directory can be written.
      std::string message;
      Outcome outcome = Outcome::kDamaged;
      if (err == kIsLink) {
        message = error_line(shown(out_path) + ": " + err);
      } else if (settings_.fail_fast) {
        for (const PlannedEntry& p : plan) {
          if (p.step != Step::kConvert) continue;
          message = error_line("Failed to open " +
                               shown(join_path(out_path, p.csv_name)) + ": " +
                               err);
          break;
        }
        outcome = Outcome::kStop;
      } else {
        message = error_line("Failed to open " + shown(out_path) + ": " + err);
      }
      // What comes before the first log to convert is still said.
      for (PlannedEntry& p : plan) {
        if (p.step == Step::kConvert) break;
        runner_.add(item_for(p, visit.dir, nullptr, out_path));
      }
      runner_.add({message, outcome, std::nullopt});
      bool after = false;
      for (PlannedEntry& p : plan) {
        if (p.step == Step::kConvert) {
          after = true;
        } else if (after && p.step != Step::kCheckArchive) {
          runner_.add(item_for(p, visit.dir, nullptr, out_path));
        }
      }
      return;
    }
    std::vector<DirEntry> out_entries;
    std::string list_err;
    if (out->list(&out_entries, &list_err)) refuse_csv_directories(out_entries, &plan);
  }
  std::vector<Item> items;
  items.reserve(plan.size());
  for (PlannedEntry& p : plan) {
    const std::string log_name = sqlite || events ? p.log_name : std::string();
    const std::string name = sqlite ? p.name : std::string();
    items.push_back(item_for(p, visit.dir, out, out_path));
    if (!items.back().task) continue;
    Task& task = *items.back().task;
    if (events) task.signal_field = csv_field(signal_id(visit, log_name));
    if (sqlite) {
      task.signal_id = signal_id(visit, log_name);
      for (const std::string& part : visit.relative)
        task.relative_path += part + "/";
      task.relative_path += name;
      if (settings_.update && settings_.sink != nullptr)
        task.stored = settings_.sink->stored(
            task.relative_path, &task.stored_size, &task.stored_mtime_ns);
    }
  }
  runner_.add(std::move(items));
}

}  // namespace

std::string dir_signal_id(const std::string& dir) {
  // The last name of the absolute path, "." and ".." taken as they go.
  const std::string path = absolute_path(dir);
  std::vector<std::string> names;
  std::string name;
  for (size_t i = 0; i <= path.size(); ++i) {
    bool separator = i == path.size() || path[i] == '/' ||
                     path[i] == kPathSeparator[0];
    if (!separator) {
      name += path[i];
      continue;
    }
    if (name == "..") {
      if (!names.empty()) names.pop_back();
    } else if (!name.empty() && name != ".") {
      names.push_back(name);
    }
    name.clear();
  }
  return names.empty() ? std::string() : names.back();
}

int run_quillon(const std::vector<std::string>& args) {
  Options options;
  switch (parse_command_line(args, &options)) {
    case Command::kHelp:
      print_error(usage_text());
      return 0;
    case Command::kVersion:
      print_error(kVersionLine);
      return 0;
    case Command::kBadUsage:
      print_error(usage_text());
      return 2;
    case Command::kRun:
      break;
  }
  return run_with(options, RunHooks());
}

int run_with(const Options& options, const RunHooks& hooks) {
  RunSettings settings;
  settings.mode = options.letter == 'p' ? Mode::kProprietary : Mode::kStandard;
  settings.test = options.test;
  settings.max_log_size = options.max_log_size;
  settings.format = options.format;
  settings.update = options.update;
  const bool events = options.format == OutputFormat::kEvents;
  const bool sqlite = options.format == OutputFormat::kSqlite ||
                      options.format == OutputFormat::kRows;
  settings.sink = hooks.sink;
  settings.first_year = hooks.first_year;
  settings.last_year = hooks.last_year;
  // The two-argument run stops at the first log or CSV it cannot open;
  // over a tree, into another directory or into a table the run goes on.
  settings.fail_fast =
      !options.recursive && options.output.empty() && !events && !sqlite;

  LinePrinter printer(hooks.message);
  Progress progress(printer, options.quiet);
  if (!options.test && !hooks.message) remove_temporaries_on_interrupt();
  const std::string no_logs = "Failed to find any .dat files in " +
                              shown(join_path(options.dir, "*.dat")) + "\n";

  // The output directory of the directory argument is made first (OUT with
  // its parents); one that cannot be used shows when its logs would be
  // written.
  std::string err, out_err;
  std::shared_ptr<Dir> root = Dir::open(options.dir, &err);
  std::shared_ptr<Dir> out_root;
  EventsTable table;
#ifdef QUILLON_HAVE_SQLITE
  ArchiveDatabase database;
  if (options.format == OutputFormat::kSqlite && !options.test) {
    int status = database.open(options.output, settings.mode, &err);
    if (status != 0) {
      printer.print(error_line(shown(options.output) + ": " + err));
      return status;
    }
    settings.sink = &database;
  }
#endif
  if (events && !options.test) {
    // The table is written from the start; its header first.
    std::string_view header = events_header(settings.mode);
    if (!table.open(options.output, &err) ||
        !table.write(header.data(), header.size())) {
      printer.print(error_line("Failed to open " +
                               (options.output.empty() || options.output == "-"
                                    ? std::string("standard output")
                                    : shown(options.output)) +
                               ": " + (err.empty() ? table.error() : err)));
      return 1;
    }
    settings.table = &table;
  } else if (!options.test && !sqlite) {
    if (!options.output.empty()) {
      out_root = Dir::make(options.output, &out_err);
      if (out_root == nullptr) {
        printer.print(error_line("Failed to open " + shown(options.output) +
                                 ": " + out_err));
        return 1;
      }
    } else if (root != nullptr) {
      out_root = root->make_child(std::string("csv_files_") + options.letter,
                                  &out_err);
    }
    if (out_root != nullptr) out_root->claim_for_writing();
  }
  if (root == nullptr) {
    printer.print(no_logs);
    return 1;
  }

  const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  const bool automatic = options.jobs == kAutomaticJobs;
  int jobs = options.jobs == 0 || automatic ? cores : options.jobs;
  Runner runner(settings, jobs, automatic, printer, progress);
  TreeRun run(options, settings, out_root, out_err, hooks.dir_signal_id,
              progress, runner);
  // With -o, OUT may lie inside the tree: it is not searched.
  const FileId* skip = out_root != nullptr && !options.output.empty()
                           ? &out_root->id()
                           : nullptr;
  TreeWalker walker(root, options.recursive, skip);
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
  int status = runner.finish();
  const bool found = top_listed && run.found_logs();
  if (!runner.stopped() && !found) printer.print(no_logs);
  // A table is given its name only when the run went through every log.
  if (settings.table != nullptr) {
    if (runner.stopped() || !found) {
      table.discard();
    } else if (!table.close(&err)) {
      printer.print(error_line("Failed to write " + table.name() + ": " + err));
      return 1;
    }
  }
  if (!runner.stopped() && !found) return 1;
  return status;
}
