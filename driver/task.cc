#include "driver/task.h"

#include <functional>
#include <limits>
#include <memory>

#include "driver/messages.h"
#include "driver/options.h"
#include "logconv/streams.h"

namespace {

// The error that Dir::open_file gives for what is no file to read.
const char kNotRegular[] = "not a regular file";

// Rows of the events table held in memory per log before they go to a file.
const size_t kRowsInMemory = 1 << 20;

// Adds a message to a task's result, and what it says of the run.
void add_report(TaskResult* r, Outcome outcome, const std::string& what) {
  r->messages += error_line(what);
  if (outcome > r->outcome) r->outcome = outcome;
}

// Whether the rows go to a LogSink, packed.
bool writes_packed_rows(const RunSettings& settings) {
  return settings.format == OutputFormat::kSqlite ||
         settings.format == OutputFormat::kRows;
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

// Converts the log read from `in` (through gzip when `archive`) with
// `convert`, which takes an InputStream and returns a ConvertResult.
// `restart`, when set, takes back everything written so far (false
// when it cannot): rows from a member that fails its check are then written
// anew from the members that passed.
template <typename Convert>
Reading read_log(File& in, bool archive, const RunSettings& settings,
                 Convert convert, const std::function<bool()>& restart) {
  const uint64_t limit = limit_of(settings);
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
      r.result.end != LogEnd::kWriteFailed && restart) {
    if (!in.rewind() || !restart()) {
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
  if (input.exceeded())
    return "larger than --max-log-size (" + size_text(settings.max_log_size) +
           ") once decompressed";
  return gzip.reader().error();
}

}  // namespace

TaskResult run_task(const Task& task, const RunSettings& settings,
                    LogConverter& converter, OutputStream* table) {
  TaskResult r;
  // The log's path as messages show it, made only for a message.
  auto path_of_log = [&] { return shown(task.dir->path_of(task.name)); };
  auto report = [&](Outcome outcome, const std::string& what) {
    add_report(&r, outcome, what);
  };
  const bool events = settings.format == OutputFormat::kEvents;
  const bool packed = writes_packed_rows(settings);
  // -u: what is up to date is left alone, the log not even opened.
  uint64_t size = 0, csv_size = 0;
  int64_t mtime = 0, csv_mtime = 0;
  if (settings.update && !settings.test && !task.check_only &&
      task.dir->stat(task.name, &size, &mtime)) {
    if (packed && task.stored && task.stored_size == size &&
        task.stored_mtime_ns == mtime) {
      return r;
    }
    if (!events && !packed &&
        task.out_dir->stat(task.csv_name, &csv_size, &csv_mtime) &&
        csv_mtime > mtime) {
      return r;
    }
  }
  LogHour hour = {0, 0, 0, 0};
  if (!task.check_only &&
      (!read_log_hour(parse_log_date(task.log_name), &hour) ||
       hour.year < settings.first_year || hour.year > settings.last_year)) {
    report(Outcome::kDamaged,
           path_of_log() + ": the name holds no valid date and hour");
    // The table and the rows have no time for its records: they get none
    // of them.
    if (events || packed) return r;
  }

  std::string err;
  File in;
  if (!task.dir->open_file(task.name, &in, &err)) {
    if (err == kNotRegular)
      report(Outcome::kDamaged, path_of_log() + ": " + err);
    else
      report(settings.fail_fast ? Outcome::kStop : Outcome::kDamaged,
             "Failed to open " + path_of_log() + ": " + err);
    return r;
  }
  if (task.check_only) {
    std::string damage = check_archive(in, settings);
    if (!damage.empty()) report(Outcome::kDamaged, path_of_log() + ": " + damage);
    return r;
  }
  convert_file(in, task, std::string(), hour, settings, converter, table, &r);
  return r;
}

void convert_file(File& in, const Task& task, const std::string& path,
                  const LogHour& hour, const RunSettings& settings,
                  LogConverter& converter, OutputStream* table,
                  TaskResult* result) {
  TaskResult& r = *result;
  auto report = [&](Outcome outcome, const std::string& what) {
    add_report(&r, outcome, what);
  };
  const bool events = settings.format == OutputFormat::kEvents;
  const bool packed = writes_packed_rows(settings);
  std::string err;
  // The log's path, and where its rows go, as messages show them; made only
  // for a message.
  auto path_of_log = [&] {
    return path.empty() ? shown(task.dir->path_of(task.name)) : path;
  };
  auto out_name = [&] {
    return events   ? (settings.table != nullptr ? settings.table->name() : "")
           : packed ? (settings.sink != nullptr ? shown(settings.sink->name()) : "")
           : task.out_dir == nullptr
               ? std::string()
               : shown(task.out_dir->path_of(task.csv_name));
  };
  NullOutput null_output;
  std::unique_ptr<FileOutput> csv_output;
  OutputStream* output = &null_output;
  std::function<bool()> restart;
  if (settings.test) {
  } else if (events && table != nullptr && !task.archive) {
    output = table;
  } else if (events || packed) {
    r.rows = std::make_unique<SpillOutput>(kRowsInMemory);
    output = r.rows.get();
    restart = [&r] { return r.rows->clear(); };
  } else {
    if (!task.out_dir->create_temp(true, &in, &r.csv, &r.temp, &err)) {
      report(settings.fail_fast ? Outcome::kStop : Outcome::kDamaged,
             "Failed to open " + out_name() + ": " + err);
      return;
    }
    csv_output = std::make_unique<FileOutput>(r.csv);
    output = csv_output.get();
    restart = [&r] { return r.csv.truncate(); };
  }
  const EventsLog log = {task.signal_field, hour};
  std::string header;
  auto convert = [&](InputStream& input) {
    if (packed) {
      header.clear();
      return converter.convert_packed(input, *output, settings.mode, &header);
    }
    return events ? converter.convert_events(input, *output, log, settings.mode)
                  : converter.convert(input, *output, task.log_name,
                                      settings.mode);
  };
  uint64_t size = in.size();
  int64_t mtime = 0;
  // What counts toward more threads (Runner): the events table of plain
  // logs goes no faster on several, its writing being the work, while
  // archives have their inflating to share.
  r.bytes = events && !task.archive ? 0 : size;
  if (packed) in.size_and_time(&size, &mtime);
  Reading reading =
      read_log(in, task.archive, settings, convert, restart);
  in.close();

  const ConvertResult& converted = reading.result;
  r.records = converted.records;
  if (converted.end == LogEnd::kWriteFailed) {
    std::string why = r.rows != nullptr ? r.rows->error()
                      : events          ? settings.table->error()
                                        : r.csv.error();
    report(Outcome::kStop, "Failed to write " + out_name() + ": " + why);
    discard(task, &r);
    return;
  }
  // What was wrong with the log, in the words of a message (after its path)
  // and of a closing.
  std::string wrong;
  if (reading.too_large) {
    wrong = "larger than --max-log-size (" + size_text(settings.max_log_size) +
            ")" + (task.archive ? " once decompressed" : "");
  } else if (!reading.damage.empty()) {
    wrong = reading.damage;
  } else if (converted.end == LogEnd::kBadFileRead) {
    wrong = "bad file read";
  } else if (converted.end == LogEnd::kBadEventType) {
    wrong = "bad event type " + std::to_string(converted.bad_type);
  }
  if (!wrong.empty()) report(Outcome::kDamaged, path_of_log() + ": " + wrong);
  if (packed && r.rows != nullptr) {
    r.load = std::make_unique<LogToLoad>();
    LogToLoad& load = *r.load;
    load.path = task.relative_path;
    load.signal_id = task.signal_id;
    load.hour = hour;
    load.version = converted.version;
    load.header = std::move(header);
    load.records = converted.records;
    load.size = size;
    load.mtime_ns = mtime;
    load.closing = wrong.empty() ? "End of Controller Log" : "Error: " + wrong;
    if (settings.sink != nullptr) r.prepared = settings.sink->prepare(load, *r.rows);
  }
}

void publish(const Task& task, const RunSettings& settings,
             TaskResult* result) {
  if (result->load != nullptr) {
    std::string err;
    if (!settings.sink->load(*result->load, *result->rows,
                             std::move(result->prepared), &err)) {
      result->messages += error_line(
          "Failed to write " + shown(settings.sink->name()) + ": " + err);
      result->outcome = Outcome::kStop;
    }
    result->load.reset();
    result->rows.reset();
    result->prepared.reset();
    return;
  }
  if (result->rows != nullptr) {
    if (!result->rows->copy_to(*settings.table)) {
      const std::string& why = result->rows->error().empty()
                                   ? settings.table->error()
                                   : result->rows->error();
      result->messages += error_line("Failed to write " +
                                     settings.table->name() + ": " + why);
      result->outcome = Outcome::kStop;
    }
    result->rows.reset();
    return;
  }
  if (!result->csv.is_open()) return;
  std::string err;
  bool is_directory = false;
  if (task.out_dir->publish(&result->csv, result->temp, task.csv_name, true,
                            &err, &is_directory)) {
    return;
  }
  const std::string csv_path = shown(task.out_dir->path_of(task.csv_name));
  // A directory put at the CSV's path since the run looked is reported as
  // one found then.
  Outcome outcome = is_directory && !settings.fail_fast ? Outcome::kDamaged
                                                        : Outcome::kStop;
  result->messages += error_line(
      (is_directory ? "Failed to open " : "Failed to write ") + csv_path +
      ": " + err);
  if (outcome > result->outcome) result->outcome = outcome;
}

void discard(const Task& task, TaskResult* result) {
  result->load.reset();
  result->prepared.reset();
  result->rows.reset();
  if (result->csv.is_open()) task.out_dir->discard(&result->csv, result->temp);
}
