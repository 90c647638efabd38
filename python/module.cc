// The compiled part of the Python module: the bindings of the core library's
// readers. Logs become columns (outputs/frames.h) without the GIL, handed to
// Python as numpy arrays; quillon/__init__.py makes the dataframes.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "outputs/frames.h"
#include "run/driver.h"
#include "logs/messages.h"
#include "logs/names.h"
#include "logconv/convert_log.h"
#include "logconv/log_time.h"
#include "run/options.h"
#include "measures/measures.h"
#include "outputs/output.h"
#include "outputs/sink_output.h"
#include "run/run_task.h"
#include "platform/platform.h"

namespace py = pybind11;

namespace {

// `v` as a numpy array that owns it, uncopied.
template <typename T>
py::array_t<T> array(std::vector<T>&& v) {
  auto* owned = new std::vector<T>(std::move(v));
  py::capsule free_when_done(owned, [](void* p) {
    delete static_cast<std::vector<T>*>(p);
  });
  return py::array_t<T>(static_cast<py::ssize_t>(owned->size()), owned->data(),
                        free_when_done);
}

// What a read gives Python: the columns, the facts of each log, the
// messages and the status.
py::dict result_of(RunColumns&& c, Mode mode,
                   const std::vector<std::string>& messages, int status,
                   const TimeZone* zone = nullptr) {
  if (zone != nullptr) to_instants(&c, *zone);
  py::dict d;
  d["timestamp"] = array(std::move(c.timestamp));
  d["signal_code"] = array(std::move(c.signal));
  d["signals"] = c.signals;
  d["code"] = array(std::move(c.code));
  d["version"] = array(std::move(c.version));
  d["log_code"] = array(std::move(c.log));
  if (mode == Mode::kStandard) {
    d["param"] = array(std::move(c.param));
    d["param_missing"] = array(std::move(c.param_missing));
  } else {
    d["name_code"] = array(std::move(c.name));
    d["names"] = c.names;
    d["data_code"] = array(std::move(c.data));
    py::list datas;
    for (const std::string& bytes : c.datas) datas.append(py::bytes(bytes));
    d["datas"] = datas;
  }
  py::dict logs;
  py::list path, signal_id, start, version, closing, records;
  for (size_t i = 0; i < c.logs.size(); ++i) {
    const LogToLoad& log = c.logs[i];
    path.append(log.path);
    signal_id.append(log.signal_id);
    // NaT for a log whose name holds no date.
    const int64_t offset = zone != nullptr ? c.start_offsets[i] * int64_t{1000000000} : 0;
    start.append(log.dated ? hour_ns(log.hour) - offset
                           : std::numeric_limits<int64_t>::min());
    version.append(log.version);
    closing.append(log.closing);
    records.append(log.records);
  }
  logs["path"] = path;
  logs["signal_id"] = signal_id;
  logs["start"] = start;
  logs["version"] = version;
  logs["closing"] = closing;
  logs["records"] = records;
  d["logs"] = logs;
  d["messages"] = messages;
  d["status"] = status;
  return d;
}

// The zone `tz` names, or null for None; ValueError for a zone unknown.
std::unique_ptr<TimeZone> zone_of(const py::object& tz) {
  if (tz.is_none()) return nullptr;
  auto zone = std::make_unique<TimeZone>();
  std::string err;
  if (!zone->load(py::cast<std::string>(tz), "", &err)) throw py::value_error(err);
  return zone;
}

Mode mode_of(const std::string& mode) {
  if (mode.empty()) throw py::value_error("mode must be \"e\" or \"p\", not \"\"");
  return mode_of_letter(mode[0]);
}

// The messages of a run, a line each.
std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return lines;
}

// Raises OSError(errno, strerror, filename), as Python does for a file,
// for the last failure of the platform's calls.
[[noreturn]] void raise_os_error(const std::string& path, const std::string& why) {
  // The file name as os functions give it for a str path.
  PyObject* args = Py_BuildValue(
      "(isN)", last_error_number(), why.c_str(),
      PyUnicode_DecodeFSDefaultAndSize(path.data(),
                                       static_cast<Py_ssize_t>(path.size())));
  PyErr_SetObject(PyExc_OSError, args);
  Py_XDECREF(args);
  throw py::error_already_set();
}

// One log, open as `in`, as a task of a run reads it; `task.log_name`
// gives its date, `task.path` names it in messages.
py::dict read_one(File& in, const Task& task, Mode mode, uint64_t max_log_size,
                  const TimeZone* zone) {
  ColumnSink columns(mode);
  std::unique_ptr<Output> output = make_sink_output(&columns, mode);
  RunSettings settings;
  settings.output = output.get();
  settings.max_log_size = max_log_size;
  settings.fail_fast = false;
  settings.first_year = kFirstColumnYear;
  settings.last_year = kLastColumnYear;
  TaskResult result;
  RunColumns run;
  {
    py::gil_scoped_release release;
    LogConverter converter;
    result = read_open_log(in, task, settings, converter);
    run = columns.take();
  }
  return result_of(std::move(run), mode, lines_of(result.messages),
                   result.outcome == Outcome::kDone ? 0 : 1, zone);
}

// A task for the log `name` of `dir` (null for one read from memory).
Task task_for(const std::shared_ptr<Dir>& dir, const std::string& name,
              const std::string& signal_id) {
  Task task;
  task.dir = dir;
  task.name = name;
  task.archive = is_archive(name);
  task.log_name = task.archive ? log_name_of_archive(name) : name;
  task.relative_path = shown_exactly(name);
  task.signal_id = signal_id;
  return task;
}

// The signal id of the log `log_name` of the directory `dir`: the one
// given, else by the rule of --signal-id auto.
std::string signal_id_for(const py::object& given, const std::string& log_name,
                          const std::string& dir) {
  if (!given.is_none()) return py::cast<std::string>(given);
  return signal_id_of(SignalIdFrom::kAuto, log_name, dir_signal_id(dir));
}

py::dict read_log(const std::string& path, const std::string& mode,
                  const py::object& signal_id, uint64_t max_log_size, const py::object& tz) {
  std::unique_ptr<TimeZone> zone = zone_of(tz);
  std::string dir_path, name, err;
  split_path(path, &dir_path, &name);
  std::shared_ptr<Dir> dir = Dir::open(dir_path, &err);
  if (dir == nullptr) raise_os_error(path, err);
  File in;
  if (!dir->open_file(name, &in, &err)) raise_os_error(path, err);
  Task task = task_for(dir, name, "");
  task.signal_id = shown_exactly(signal_id_for(signal_id, task.log_name, dir_path));
  task.path = shown(path);
  return read_one(in, task, mode_of(mode), max_log_size, zone.get());
}

py::dict read_bytes(const py::bytes& data, const std::string& name,
                    const std::string& mode, const py::object& signal_id,
                    uint64_t max_log_size, const py::object& tz) {
  if (name.empty()) throw py::value_error("a log needs a name, which gives its date");
  std::unique_ptr<TimeZone> zone = zone_of(tz);
  std::string bytes = data;
  File in;
  std::string err;
  if (!create_unnamed_temp(&in, &err) || !in.write(bytes.data(), bytes.size()) ||
      !in.rewind()) {
    raise_os_error(name, err.empty() ? in.error() : err);
  }
  // A name with folders is an object's key, as storage gives it: its last
  // part names the log, its folders are the directory of the dir rule.
  const size_t slash = name.find_last_of('/');
  const std::string folders = slash == std::string::npos ? "" : name.substr(0, slash);
  Task task = task_for(nullptr, name.substr(slash + 1), "");
  task.relative_path = shown_exactly(name);
  task.signal_id = shown_exactly(
      signal_id.is_none()
          ? signal_id_of(SignalIdFrom::kAuto, task.log_name, folders)
          : py::cast<std::string>(signal_id));
  task.path = shown(name);
  return read_one(in, task, mode_of(mode), max_log_size, zone.get());
}

// Has `hooks` check Python's signals between logs, as Python code would
// between statements: a Ctrl-C stops the run, and *raised holds what the
// signal's handler raised (KeyboardInterrupt) to raise once the run is
// through.
void check_signals(RunHooks* hooks, std::optional<py::error_already_set>* raised) {
  hooks->interrupted = [raised] {
    py::gil_scoped_acquire acquire;
    if (PyErr_CheckSignals() == 0) return false;
    raised->emplace();
    return true;
  };
}

py::dict read_archive(const std::string& dir, const std::string& mode,
                      bool recursive, int jobs, const std::string& signal_id,
                      uint64_t max_log_size, const py::object& signal_dir,
                      bool rows, const py::object& since, const py::object& until,
                      const py::object& tz) {
  std::unique_ptr<TimeZone> zone = zone_of(tz);
  Options options;
  options.dir = dir;
  options.inputs = {dir};
  options.letter = letter_of_mode(mode_of(mode));
  options.recursive = recursive;
  if (jobs < 0) throw py::value_error("jobs must be 0 or more");
  options.jobs = jobs;
  options.max_log_size = max_log_size;
  options.format = OutputFormat::kRows;
  options.quiet = true;
  if (signal_id == "auto") options.signal_id = SignalIdFrom::kAuto;
  else if (signal_id == "name") options.signal_id = SignalIdFrom::kName;
  else if (signal_id == "dir") options.signal_id = SignalIdFrom::kDir;
  else throw py::value_error("signal_id must be \"auto\", \"name\" or \"dir\"");
  for (const auto& [day, given, name] : {std::tuple{&options.since, &since, "since"},
                                         std::tuple{&options.until, &until, "until"}}) {
    if (given->is_none()) continue;
    const std::string text = py::cast<std::string>(*given);
    if (!parse_day(text, day))
      throw py::value_error(std::string(name) + " must be a date such as 2024-06-12, today or "
                            "yesterday, not " + text);
  }
  std::string err;
  if (Dir::open(dir, &err) == nullptr) raise_os_error(dir, err);
  ColumnSink columns(mode_of(mode), rows);
  std::vector<std::string> messages;
  RunHooks hooks;
  hooks.message = [&](const std::string& text) {
    for (std::string& line : lines_of(text)) messages.push_back(std::move(line));
  };
  hooks.sink = &columns;
  hooks.first_year = kFirstColumnYear;
  hooks.last_year = kLastColumnYear;
  if (!signal_dir.is_none()) {
    hooks.dir_signal_id = py::cast<std::string>(signal_dir);
    hooks.dir_path = *hooks.dir_signal_id;
  }
  std::optional<py::error_already_set> raised;
  check_signals(&hooks, &raised);
  int status;
  RunColumns run;
  {
    py::gil_scoped_release release;
    status = run_with(options, hooks);
    run = columns.take();
  }
  if (raised) throw *raised;
  return result_of(std::move(run), mode_of(mode), messages, status, zone.get());
}

py::tuple convert(const std::vector<std::string>& args, const py::object& signal_dir,
                  const py::object& last_hour) {
  std::vector<std::string> command_line = {"quillon"};
  command_line.insert(command_line.end(), args.begin(), args.end());
  Options options;
  std::string error;
  if (parse_command_line(command_line, &options, &error) != Command::kRun)
    throw py::value_error(error.empty() ? "not a run of quillon: " + usage_text()
                                        : error);
  if (!last_hour.is_none()) options.measures.last_hour = py::cast<int64_t>(last_hour);
  std::vector<std::string> messages;
  RunHooks hooks;
  if (!signal_dir.is_none()) {
    hooks.dir_signal_id = py::cast<std::string>(signal_dir);
    hooks.dir_path = *hooks.dir_signal_id;
  }
  hooks.message = [&](const std::string& text) {
    for (std::string& line : lines_of(text)) messages.push_back(std::move(line));
  };
  std::optional<py::error_already_set> raised;
  check_signals(&hooks, &raised);
  int status;
  {
    py::gil_scoped_release release;
    status = run_with(options, hooks);
  }
  if (raised) throw *raised;
  return py::make_tuple(status, messages);
}

// The columns of measure table `table` (its place in the schema) from its
// CSV text: a list of (name, kind, values, categories), kind "text", "int",
// "time" or "seconds".
py::list measure_table(int table, const py::bytes& data) {
  if (table < 0 || static_cast<size_t>(table) >= kMeasureSchema.size())
    throw py::value_error("no measure table " + std::to_string(table));
  std::vector<MeasureColumn> columns;
  std::string err;
  std::string_view text = data;
  bool ok;
  {
    py::gil_scoped_release release;
    ok = read_measure_table(kMeasureSchema[static_cast<size_t>(table)], text, &columns, &err);
  }
  if (!ok) throw py::value_error(err);
  py::list out;
  for (MeasureColumn& c : columns) {
    const ColumnKind kind = c.def->kind;
    const char* name = kind == ColumnKind::kInt       ? "int"
                       : kind == ColumnKind::kTime    ? "time"
                       : kind == ColumnKind::kSeconds ? "seconds"
                       : kind == ColumnKind::kShare   ? "share"
                       : kind == ColumnKind::kRatio   ? "ratio"
                                                      : "text";
    out.append(py::make_tuple(c.def->name, name, array(std::move(c.values)), c.categories));
  }
  return out;
}

// The measure tables in their order: a list of (name, [(column, frame
// type, fixed values), ...]).
py::list measure_schema() {
  py::list out;
  for (const MeasureTableDef& table : kMeasureSchema) {
    py::list columns;
    for (const MeasureColumnDef& c : table.columns) {
      py::list values;
      for (const char* v : c.values) values.append(v);
      columns.append(py::make_tuple(c.name, c.frame_type, values));
    }
    out.append(py::make_tuple(table.name, columns, table.mapped));
  }
  return out;
}

// The start of the hour a log's name gives, in tenths of a second since
// 1970 (a .gz archive's too): on the controller's clock, or with `tz` the
// instant (of the later pass through an hour shown twice, with
// `second_pass`); None for a name of no valid date.
py::object log_hour(const std::string& name, const py::object& tz, bool second_pass) {
  const std::string log = is_archive(name) ? log_name_of_archive(name) : name;
  LogHour hour;
  if (!is_log_name(log) || !read_log_hour(parse_log_date(log), &hour)) return py::none();
  std::unique_ptr<TimeZone> zone = zone_of(tz);
  if (zone != nullptr) return py::int_(ZonedHour(*zone, hour, second_pass).start());
  return py::int_(hour_start(hour));
}

// The day --since takes, counted from 1970-01-01; ValueError for none.
int64_t day_number(const std::string& text) {
  int64_t day;
  if (!parse_day(text, &day))
    throw py::value_error("not a date such as 2024-06-12, today or yesterday: " + text);
  return day;
}

uint64_t size_of(const std::string& text) {
  uint64_t size;
  if (!parse_size(text, &size)) throw py::value_error("not a size: " + text);
  return size;
}

}  // namespace

PYBIND11_MODULE(_quillon, m) {
  m.doc() = "The compiled part of quillon: logs into columns.";
  // Where the system does not tell the umask, it is read now, as the module
  // loads, not while another thread may be making files.
  new_file_permissions();
  m.def("read_log", &read_log, py::arg("path"), py::arg("mode"),
        py::arg("signal_id"), py::arg("max_log_size"), py::arg("tz") = py::none(),
        "Reads the log file `path` (.dat or .dat.gz) into columns; raises "
        "OSError when it cannot be opened.");
  m.def("read_bytes", &read_bytes, py::arg("data"), py::arg("name"),
        py::arg("mode"), py::arg("signal_id"), py::arg("max_log_size"),
        py::arg("tz") = py::none(),
        "Reads a log held in `data` into columns; `name` (its last part, "
        "after any folders) gives its date, and a name ending in .gz says the "
        "data is gzip-compressed.");
  m.def("read_archive", &read_archive, py::arg("dir"), py::arg("mode"),
        py::arg("recursive"), py::arg("jobs"), py::arg("signal_id"),
        py::arg("max_log_size"), py::arg("signal_dir"), py::arg("rows") = true,
        py::arg("since") = py::none(), py::arg("until") = py::none(),
        py::arg("tz") = py::none(),
        "Reads every log of the folder `dir` (and below it, when recursive) "
        "into columns, in the order of the events table; without `rows`, "
        "only the facts of each log; with `since` or `until`, only the logs "
        "of those days (YYYY-MM-DD, today or yesterday). With `tz`, the zone of "
        "the controllers' clocks, timestamps are instants (UTC).");
  m.def("convert", &convert, py::arg("args"), py::arg("signal_dir") = py::none(),
        py::arg("last_hour") = py::none(),
        "Runs quillon with the command-line arguments `args` and returns its "
        "exit status and its messages, a list of lines. `signal_dir`: the "
        "signal id of the folder given and the start of those below it, as "
        "in a run of a folder above it; `last_hour`: the measures' last hour "
        "of a larger run, in tenths of a second since 1970.");
  m.def("log_hour", &log_hour, py::arg("name"), py::arg("tz") = py::none(),
        py::arg("second_pass") = false,
        "The start of the hour a log's name gives (its .gz too), in tenths of "
        "a second since 1970: on the controllers' clocks, or with `tz` the "
        "instant (with `second_pass`, of the later of two logs of an hour "
        "shown twice); None for a name of no valid date.");
  m.def("measure_table", &measure_table, py::arg("table"), py::arg("data"),
        "Reads the CSV text of measure table number `table` (as the "
        "measures write them) into columns; raises ValueError where it is "
        "not such a table.");
  m.def("measure_schema", &measure_schema,
        "The measure tables in their order: (name, [(column, frame type, "
        "fixed values), ...], made only with a detector map) each.");
  m.def("day_number", &day_number, py::arg("text"),
        "The day --since takes (YYYY-MM-DD, today or yesterday), counted from "
        "1970-01-01; raises ValueError for none.");
  m.def("size_of", &size_of, py::arg("text"),
        "Reads a size as --max-log-size does; raises ValueError for none.");
  m.attr("version_line") = std::string(kVersionLine);
}
