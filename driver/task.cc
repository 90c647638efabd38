#include "driver/task.h"

#include <limits>
#include <memory>

#include "driver/messages.h"
#include "driver/options.h"
#include "logconv/streams.h"

namespace {

// The error that Dir::open_file gives for what is no file to read.
const char kNotRegular[] = "not a regular file";

// Reads and drops the rest of `in`.
void drain(InputStream& in) {
  char buf[1 << 14];
  while (in.read(buf, sizeof buf) > 0) {
  }
}

// The conversion of one log, and what was wrong with its input.
struct Reading {
  ConvertResult result{LogEnd::kEndOfLog, 0};
  bool too_large = false;  // it passed the size limit
  std::string damage;      // what was wrong with an archive
};

// Converts the log read from `in` (through gzip when `archive`) into `out`.
// `csv`, when not null, is the file behind `out`, emptied when rows must be
// taken back.
Reading read_log(File& in, bool archive, const std::string& log_name,
                 OutputStream& out, File* csv, const RunSettings& settings,
                 LogConverter& converter) {
  const uint64_t limit = settings.max_log_size != 0
                             ? settings.max_log_size
                             : std::numeric_limits<uint64_t>::max();
  Reading r;
  if (!archive) {
    FileInput file(in);
    LimitedInput input(file, limit);
    r.result = converter.convert(input, out, log_name, settings.mode);
    r.too_large = input.exceeded();
    return r;
  }
  GzipInput gzip(in);
  LimitedInput input(gzip, limit);
  r.result = converter.convert(input, out, log_name, settings.mode);
  // A bad event type may come of damage further on: that is what to report.
  if (r.result.end == LogEnd::kBadEventType) drain(input);
  r.too_large = input.exceeded();
  const GzipReader& reader = gzip.reader();
  if (r.too_large || reader.error().empty()) return r;
  r.damage = reader.error();
  // Rows of a member that failed its check are not to be trusted: convert
  // again, only the members that passed.
  if (!reader.cut_short() && reader.sound_bytes() < reader.bytes_out() &&
      r.result.end != LogEnd::kWriteFailed && csv != nullptr) {
    if (!in.rewind() || !csv->truncate()) {
      r.result = {LogEnd::kWriteFailed, 0};
      return r;
    }
    GzipInput again(in);
    LimitedInput sound(again, reader.sound_bytes());
    r.result = converter.convert(sound, out, log_name, settings.mode);
  }
  return r;
}

// Reads an archive that holds no log to its end, to check it. Returns what
// was wrong with it, or nothing.
std::string check_archive(File& in, const RunSettings& settings) {
  GzipInput gzip(in);
  LimitedInput input(gzip, settings.max_log_size != 0
                               ? settings.max_log_size
                               : std::numeric_limits<uint64_t>::max());
  drain(input);
  if (input.exceeded())
    return "larger than --max-log-size (" + size_text(settings.max_log_size) +
           ") once decompressed";
  return gzip.reader().error();
}

}  // namespace

TaskResult run_task(const Task& task, const RunSettings& settings,
                    LogConverter& converter) {
  TaskResult r;
  const std::string path = shown(task.dir->path_of(task.name));
  auto report = [&](Outcome outcome, const std::string& what) {
    r.messages += error_line(what);
    if (outcome > r.outcome) r.outcome = outcome;
  };
  LogHour hour;
  if (!task.check_only && !read_log_hour(parse_log_date(task.log_name), &hour))
    report(Outcome::kDamaged, path + ": the name holds no valid date and hour");

  std::string err;
  File in;
  if (!task.dir->open_file(task.name, &in, &err)) {
    if (err == kNotRegular)
      report(Outcome::kDamaged, path + ": " + err);
    else
      report(settings.fail_fast ? Outcome::kStop : Outcome::kDamaged,
             "Failed to open " + path + ": " + err);
    return r;
  }
  if (task.check_only) {
    std::string damage = check_archive(in, settings);
    if (!damage.empty()) report(Outcome::kDamaged, path + ": " + damage);
    return r;
  }

  const std::string csv_path =
      task.out_dir == nullptr ? "" : shown(task.out_dir->path_of(task.csv_name));
  Reading reading;
  if (settings.test) {
    NullOutput output;
    reading = read_log(in, task.archive, task.log_name, output, nullptr,
                       settings, converter);
  } else {
    if (!task.out_dir->create_temp(true, &in, &r.csv, &r.temp, &err)) {
      report(settings.fail_fast ? Outcome::kStop : Outcome::kDamaged,
             "Failed to open " + csv_path + ": " + err);
      return r;
    }
    FileOutput output(r.csv);
    reading = read_log(in, task.archive, task.log_name, output, &r.csv,
                       settings, converter);
  }
  in.close();
  const ConvertResult& result = reading.result;
  r.records = result.records;
  if (result.end == LogEnd::kWriteFailed) {
    report(Outcome::kStop, "Failed to write " + csv_path + ": " + r.csv.error());
    discard(task, &r);
  } else if (reading.too_large) {
    report(Outcome::kDamaged,
           path + ": larger than --max-log-size (" +
               size_text(settings.max_log_size) + ")" +
               (task.archive ? " once decompressed" : ""));
  } else if (!reading.damage.empty()) {
    report(Outcome::kDamaged, path + ": " + reading.damage);
  } else if (result.end == LogEnd::kBadFileRead) {
    report(Outcome::kDamaged, path + ": bad file read");
  } else if (result.end == LogEnd::kBadEventType) {
    report(Outcome::kDamaged,
           path + ": bad event type " + std::to_string(result.bad_type));
  }
  return r;
}

void publish(const Task& task, const RunSettings& settings,
             TaskResult* result) {
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
  if (result->csv.is_open()) task.out_dir->discard(&result->csv, result->temp);
}
