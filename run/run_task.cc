#include "run/run_task.h"

#include <limits>
#include <memory>

#include "logs/messages.h"
#include "logs/names.h"
#include "logconv/streams.h"

namespace {

// The error that Dir::open_file gives for what is no file to read.
const char kNotRegular[] = "not a regular file";

// Adds a message to a task's result, and what it says of the run.
void add_report(TaskResult* r, Outcome outcome, const std::string& what) {
  r->messages += error_line(what);
  if (outcome > r->outcome) r->outcome = outcome;
}

// Reads and drops the rest of `in`.
void drain(InputStream& in) {
  char buf[1 << 14];
  while (in.read(buf, sizeof buf) > 0) {
  }
}

uint64_t limit_of(const RunSettings& settings) {
  return settings.max_log_size != 0 ? settings.max_log_size
                                    : std::numeric_limits<uint64_t>::max();
}

// The conversion of one log, and what was wrong with its input.
struct Reading {
  ConvertResult result{LogEnd::kEndOfLog, 0};
  bool too_large = false;  // it passed the size limit
  std::string damage;      // what was wrong with an archive
};

// Converts the log read from `in` (through gzip when `archive`) into
// `out`. Where `out` can take back what it was given, rows from a member
// that fails its check are written anew from the members that passed.
Reading read_log(File& in, bool archive, const RunSettings& settings,
                 LogConverter& converter, LogOutput& out) {
  const uint64_t limit = limit_of(settings);
  auto convert = [&](InputStream& input) {
    return out.convert(converter, input);
  };
  Reading r;
  if (!archive) {
    FileInput file(in);
    LimitedInput input(file, limit);
    r.result = convert(input);
    r.too_large = input.exceeded();
    return r;
  }
  GzipInput gzip(in);
  LimitedInput input(gzip, limit);
  r.result = convert(input);
  // A bad event type may come of damage further on: that is what to report.
  if (r.result.end == LogEnd::kBadEventType) drain(input);
  r.too_large = input.exceeded();
  const GzipReader& reader = gzip.reader();
  if (r.too_large || reader.error().empty()) return r;
  r.damage = reader.error();
  if (!reader.cut_short() && reader.sound_bytes() < reader.bytes_out() &&
      r.result.end != LogEnd::kWriteFailed && out.can_restart()) {
    if (!in.rewind() || !out.restart()) {
      r.result = {LogEnd::kWriteFailed, 0};
      return r;
    }
    GzipInput again(in);
    LimitedInput sound(again, reader.sound_bytes());
    r.result = convert(sound);
  }
  return r;
}

// Reads an archive that holds no log to its end, to check it. Returns what
// was wrong with it, or nothing.
std::string check_archive(File& in, const RunSettings& settings) {
  GzipInput gzip(in);
  LimitedInput input(gzip, limit_of(settings));
  drain(input);
  if (input.exceeded()) return too_large_text(settings.max_log_size, true);
  return gzip.reader().error();
}
// The log's path as messages show it, made only for a message.
std::string message_path(const Task& task) {
  return !task.path.empty() ? task.path : shown(task.dir->path_of(task.name));
}

// Converts the log of `task`, open as `in` and dated `hour`, into the run's
// output, into `r`.
void convert_open_log(File& in, const Task& task, const LogHour& hour, const RunSettings& settings,
                      LogConverter& converter, bool in_order, TaskResult* r) {
  Output& output = *settings.output;
  std::string err;
  std::unique_ptr<LogOutput> out =
      output.start(task, in, hour, in_order, &err);
  if (out == nullptr) {
    add_report(r, settings.fail_fast ? Outcome::kStop : Outcome::kDamaged,
               "Failed to open " + output.name(task) + ": " + err);
    return;
  }
  r->bytes = output.gains_from_threads(task) ? in.size() : 0;
  Reading reading = read_log(in, task.archive, settings, converter, *out);
  in.close();

  const ConvertResult& converted = reading.result;
  r->records = converted.records;
  r->rows = converted.rows;
  if (converted.end == LogEnd::kWriteFailed) {
    add_report(r, Outcome::kStop,
               "Failed to write " + output.name(task) + ": " + out->error());
    out->discard();
    return;
  }
  // What was wrong with the log, in the words of a message (after its path)
  // and of a closing.
  std::string wrong;
  if (reading.too_large || converted.output_cut) {
    wrong = too_large_text(settings.max_log_size, task.archive);
    r->reason = "larger than --max-log-size";
  } else if (!reading.damage.empty()) {
    wrong = reading.damage;
    r->reason = "damaged .gz";
  } else if (converted.end == LogEnd::kBadFileRead) {
    wrong = "bad file read";
    r->reason = "cut short";
  } else if (converted.end == LogEnd::kBadEventType) {
    wrong = "bad event type " + std::to_string(converted.bad_type);
    r->reason = "bad event type";
  }
  if (!wrong.empty()) add_report(r, Outcome::kDamaged, message_path(task) + ": " + wrong);
  out->read({converted, std::move(wrong)});
  r->output = std::move(out);
}

// Reads the date and hour of the log of `task` into *hour, or reports that
// its name holds none. Returns whether the log is to be converted.
bool date_log(const Task& task, const RunSettings& settings, LogHour* hour,
              TaskResult* r) {
  if (task.check_only ||
      log_hour_of(task.log_name, hour, settings.first_year, settings.last_year))
    return true;
  add_report(r, Outcome::kDamaged, message_path(task) + ": " + kNoValidDate);
  r->reason = "without a valid date";
  if (settings.output->converts_undated()) return true;
  // The table and the rows have no time for its records: they get none of
  // them, and the log's row says what was wrong.
  r->output = settings.output->undated(task, kNoValidDate);
  return false;
}

}  // namespace

TaskResult run_task(const Task& task, const RunSettings& settings,
                    LogConverter& converter, bool in_order) {
  TaskResult r;
  r.log = !task.check_only;
  // -u: what is up to date is left alone, the log not even opened.
  uint64_t size = 0;
  int64_t mtime = 0;
  if (settings.update && !task.check_only && task.dir != nullptr &&
      task.dir->stat(task.name, &size, &mtime) &&
      settings.output->up_to_date(task, size, mtime)) {
    return r;
  }
  LogHour hour = {0, 0, 0, 0};
  if (!date_log(task, settings, &hour, &r)) return r;

  std::string err;
  File opened;
  File* in = task.input.get();  // the standard input's copy
  if (in == nullptr) {
    in = &opened;
    if (!task.dir->open_file(task.name, in, &err)) {
      if (err == kNotRegular)
        add_report(&r, Outcome::kDamaged, message_path(task) + ": " + err);
      else
        add_report(&r, settings.fail_fast ? Outcome::kStop : Outcome::kDamaged,
                   "Failed to open " + message_path(task) + ": " + err);
      if (r.reason.empty()) r.reason = "not opened";
      return r;
    }
  }
  if (task.check_only) {
    std::string damage = check_archive(*in, settings);
    if (!damage.empty()) add_report(&r, Outcome::kDamaged, message_path(task) + ": " + damage);
    return r;
  }
  convert_open_log(*in, task, hour, settings, converter, in_order, &r);
  return r;
}

void RunSummary::add(const TaskResult& result) {
  if (!result.log) return;
  ++logs;
  rows += result.rows;
  if (result.reason.empty()) return;
  for (auto& [reason, count] : reported) {
    if (reason == result.reason) {
      ++count;
      return;
    }
  }
  reported.emplace_back(result.reason, 1);
}

namespace {

// A count with thousands separated by commas: "206,321".
std::string grouped(uint64_t n) {
  std::string digits = std::to_string(n);
  for (size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, ",");
  return digits;
}

std::string counted(uint64_t n, const char* one, const char* many) {
  return grouped(n) + " " + (n == 1 ? one : many);
}

}  // namespace

std::string RunSummary::line() const {
  uint64_t total = 0;
  std::string why;
  for (const auto& [reason, count] : reported) {
    total += count;
    why += (why.empty() ? ": " : ", ") + grouped(count) + " " + reason;
  }
  return "quillon: " + counted(logs, "log", "logs") + ", " +
         counted(rows, "event", "events") + "; " +
         (total == 0 ? std::string("no log reported")
                     : counted(total, "log", "logs") + " reported" + why) +
         "\n";
}

TaskResult read_open_log(File& in, const Task& task, const RunSettings& settings,
                         LogConverter& converter) {
  TaskResult r;
  LogHour hour = {0, 0, 0, 0};
  if (!date_log(task, settings, &hour, &r)) return r;
  convert_open_log(in, task, hour, settings, converter, true, &r);
  publish(&r);
  return r;
}

void publish(TaskResult* result) {
  if (result->output == nullptr) return;
  std::string what;
  Outcome outcome = result->output->publish(&what);
  result->output.reset();
  if (outcome == Outcome::kDone) return;
  add_report(result, outcome, what);
}

void discard(TaskResult* result) {
  if (result->output != nullptr) result->output->discard();
  result->output.reset();
}
