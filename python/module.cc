// The compiled part of the Python module: logs read by the core library
// into columns, handed to Python as numpy arrays (quillon/__init__.py makes
// the dataframes). The conversion runs without the GIL.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "driver/driver.h"
#include "driver/messages.h"
#include "driver/options.h"
#include "driver/task.h"
#include "events/event_table.h"
#include "logconv/convert_log.h"
#include "logconv/packed_rows.h"
#include "platform/platform.h"

namespace py = pybind11;

namespace {

// datetime64[ns] covers these years.
const int kFirstYear = 1678, kLastYear = 2261;

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

int64_t hour_ns(const LogHour& h) {
  return (days_from_civil(h.year, h.month, h.day) * 24 + h.hour) * 3600 *
         int64_t{1000000000};
}

// The code of `value` among `values`, added when new.
int32_t code_of(const std::string& value,
                std::unordered_map<std::string, int32_t>* codes,
                std::vector<std::string>* values) {
  auto [it, added] = codes->emplace(value, static_cast<int32_t>(values->size()));
  if (added) values->push_back(value);
  return it->second;
}

// One log's columns, made where its task runs: its names and data bytes are
// coded among its own values, which the run's then take in.
struct LogColumns : PreparedRows {
  std::vector<int64_t> timestamp;
  std::vector<uint8_t> code;
  std::vector<int16_t> param;
  std::vector<uint8_t> param_missing;
  std::vector<int32_t> name, data;
  std::vector<std::string> names, datas;
  bool complete = false;
};

// Reads a log's packed rows into its columns.
class ColumnReader : public PackedRowReader {
 public:
  ColumnReader(Mode mode, const EventTable& table, int64_t start, LogColumns* c)
      : PackedRowReader(mode, table), mode_(mode), start_(start), c_(*c),
        table_(table), name_codes_(table.count, -1) {
    for (int32_t& code : small_data_) code = -1;
  }

 protected:
  bool row(const PackedRow& r) override {
    c_.timestamp.push_back(start_ + int64_t{r.time} * 100000000);
    c_.code.push_back(r.code);
    if (mode_ == Mode::kStandard) {
      c_.param.push_back(r.param);
      c_.param_missing.push_back(!r.has_param);
      return true;
    }
    int32_t& name = name_codes_[r.code];
    if (name < 0) {
      std::string padded = table_.rows[r.code].name;
      name = code_of(padded.substr(0, padded.find_last_not_of(' ') + 1),
                     &names_, &c_.names);
    }
    c_.name.push_back(name);
    // Most records have no data byte or one: those codes need no lookup.
    int32_t* small = r.length == 0   ? &small_data_[256]
                     : r.length == 1 ? &small_data_[r.data[0]]
                                     : nullptr;
    if (small != nullptr && *small >= 0) {
      c_.data.push_back(*small);
      return true;
    }
    int32_t code = code_of(
        std::string(reinterpret_cast<const char*>(r.data), r.length), &datas_,
        &c_.datas);
    if (small != nullptr) *small = code;
    c_.data.push_back(code);
    return true;
  }

 private:
  Mode mode_;
  int64_t start_;
  LogColumns& c_;
  const EventTable& table_;
  std::vector<int32_t> name_codes_;  // by event type; -1: not yet
  int32_t small_data_[257];          // by the one data byte; 256: none
  std::unordered_map<std::string, int32_t> names_, datas_;
};

// Reads a log's packed standard-mode rows into its columns: rows of five
// bytes, read in a loop of their own (which saves a call a row).
class StandardColumnReader : public OutputStream {
 public:
  StandardColumnReader(int64_t start, size_t rows, LogColumns* c)
      : start_(start), c_(*c) {
    c_.timestamp.resize(rows);
    c_.code.resize(rows);
    c_.param.resize(rows);
    c_.param_missing.resize(rows);
  }

  bool write(const char* data, size_t size) override {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(data);
    const uint8_t* end = p + size;
    // A row begun in the last piece is completed first.
    while (partial_size_ > 0 && p < end) {
      partial_[partial_size_++] = *p++;
      if (partial_size_ == 5) {
        partial_size_ = 0;
        if (!take(partial_)) return false;
      }
    }
    for (; end - p >= 5; p += 5)
      if (!take(p)) return false;
    while (p < end) partial_[partial_size_++] = *p++;
    return true;
  }

  bool whole() const { return at_ == c_.timestamp.size() && partial_size_ == 0; }

 private:
  bool take(const uint8_t* row) {
    if (at_ == c_.timestamp.size()) return false;
    c_.timestamp[at_] = start_ + int64_t{row[0] << 8 | row[1]} * 100000000;
    c_.code[at_] = row[2];
    c_.param[at_] = row[3];
    c_.param_missing[at_] = row[4] == 0;
    ++at_;
    return true;
  }

  int64_t start_;
  LogColumns& c_;
  size_t at_ = 0;
  uint8_t partial_[5];
  size_t partial_size_ = 0;
};

// The columns of the rows of the logs handed to it, and a row of facts a
// log.
class Columns : public LogSink {
 public:
  explicit Columns(Mode mode) : mode_(mode) {}
  Columns(const Columns&) = delete;
  Columns& operator=(const Columns&) = delete;

  std::unique_ptr<PreparedRows> prepare(const LogToLoad& log,
                                        SpillOutput& rows) override {
    auto columns = std::make_unique<LogColumns>();
    if (mode_ == Mode::kStandard) {
      StandardColumnReader reader(hour_ns(log.hour),
                                  static_cast<size_t>(rows.size() / 5),
                                  columns.get());
      columns->complete = rows.copy_to(reader) && reader.whole();
      return columns;
    }
    // Room for the rows: 3 bytes or more each.
    size_t n = static_cast<size_t>(rows.size() / (mode_ == Mode::kStandard ? 5 : 4));
    columns->timestamp.reserve(n);
    columns->code.reserve(n);
    if (mode_ == Mode::kStandard) {
      columns->param.reserve(n);
      columns->param_missing.reserve(n);
    } else {
      columns->name.reserve(n);
      columns->data.reserve(n);
    }
    ColumnReader reader(mode_, select_event_table(log.version), hour_ns(log.hour),
                        columns.get());
    columns->complete = rows.copy_to(reader);
    return columns;
  }

  bool load(const LogToLoad& log, SpillOutput& rows,
            std::unique_ptr<PreparedRows> prepared, std::string* err) override {
    auto* c = static_cast<LogColumns*>(prepared.get());
    if (c == nullptr || !c->complete) {
      *err = rows.error();
      return false;
    }
    prepared.release();
    logs_.push_back(log);
    logs_.back().header.clear();
    signal_of_log_.push_back(code_of(log.signal_id, &signal_codes_, &signals_));
    rows_ += c->timestamp.size();
    columns_.emplace_back(c);
    return true;
  }

  std::string name() const override { return "the dataframe"; }

  // The columns as numpy arrays and lists, and the facts of each log. The
  // logs' columns are copied once, into arrays of the whole size.
  py::dict to_python() {
    if (columns_.size() == 1) return one_to_python();
    py::array_t<int64_t> timestamp(rows_);
    py::array_t<int32_t> signal(rows_), name, data;
    py::array_t<uint8_t> code(rows_), param_missing;
    py::array_t<int16_t> param;
    if (mode_ == Mode::kStandard) {
      param = py::array_t<int16_t>(rows_);
      param_missing = py::array_t<uint8_t>(rows_);
    } else {
      name = py::array_t<int32_t>(rows_);
      data = py::array_t<int32_t>(rows_);
    }
    {
      py::gil_scoped_release release;
      size_t at = 0;
      for (size_t i = 0; i < columns_.size(); ++i) {
        const LogColumns& c = *columns_[i];
        const size_t n = c.timestamp.size();
        put(timestamp.mutable_data() + at, c.timestamp);
        put(code.mutable_data() + at, c.code);
        std::fill_n(signal.mutable_data() + at, n, signal_of_log_[i]);
        if (mode_ == Mode::kStandard) {
          put(param.mutable_data() + at, c.param);
          put(param_missing.mutable_data() + at, c.param_missing);
        } else {
          // The log's own codes become the run's.
          std::vector<int32_t> names, datas;
          for (const std::string& value : c.names)
            names.push_back(code_of(value, &name_codes_, &names_));
          for (const std::string& value : c.datas)
            datas.push_back(code_of(value, &data_codes_, &datas_));
          int32_t* to_name = name.mutable_data() + at;
          int32_t* to_data = data.mutable_data() + at;
          for (size_t k = 0; k < n; ++k) {
            to_name[k] = names[c.name[k]];
            to_data[k] = datas[c.data[k]];
          }
        }
        at += n;
        columns_[i].reset();
      }
    }
    return as_dict(timestamp, signal, code, param, param_missing, name, data);
  }

 private:
  // The columns of a single log: its arrays become numpy's, uncopied.
  py::dict one_to_python() {
    LogColumns& c = *columns_[0];
    std::vector<int32_t> signal(c.timestamp.size(), signal_of_log_[0]);
    for (const std::string& value : c.names) code_of(value, &name_codes_, &names_);
    for (const std::string& value : c.datas) code_of(value, &data_codes_, &datas_);
    return as_dict(array(c.timestamp), array(signal), array(c.code),
                   array(c.param), array(c.param_missing), array(c.name),
                   array(c.data));
  }

  // The columns and the facts of each log, for Python.
  py::dict as_dict(const py::array_t<int64_t>& timestamp,
                   const py::array_t<int32_t>& signal,
                   const py::array_t<uint8_t>& code,
                   const py::array_t<int16_t>& param,
                   const py::array_t<uint8_t>& param_missing,
                   const py::array_t<int32_t>& name,
                   const py::array_t<int32_t>& data) {
    py::dict d;
    d["timestamp"] = timestamp;
    d["signal_code"] = signal;
    d["signals"] = signals_;
    d["code"] = code;
    if (mode_ == Mode::kStandard) {
      d["param"] = param;
      d["param_missing"] = param_missing;
    } else {
      d["name_code"] = name;
      d["names"] = names_;
      d["data_code"] = data;
      py::list datas;
      for (const std::string& bytes : datas_) datas.append(py::bytes(bytes));
      d["datas"] = datas;
    }
    py::dict logs;
    py::list path, signal_id, start, version, closing, records;
    for (const LogToLoad& log : logs_) {
      path.append(log.path);
      signal_id.append(log.signal_id);
      start.append(hour_ns(log.hour));
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
    return d;
  }

  template <typename T>
  static py::array_t<T> array(std::vector<T>& v) {
    auto* owned = new std::vector<T>(std::move(v));
    py::capsule free_when_done(owned, [](void* p) {
      delete static_cast<std::vector<T>*>(p);
    });
    return py::array_t<T>(static_cast<py::ssize_t>(owned->size()), owned->data(),
                          free_when_done);
  }

  template <typename T>
  static void put(T* to, const std::vector<T>& from) {
    if (!from.empty()) memcpy(to, from.data(), from.size() * sizeof(T));
  }

  Mode mode_;
  py::ssize_t rows_ = 0;
  std::vector<std::unique_ptr<LogColumns>> columns_;  // a log each
  std::vector<int32_t> signal_of_log_;
  std::vector<std::string> signals_, names_, datas_;
  std::unordered_map<std::string, int32_t> signal_codes_, name_codes_, data_codes_;
  std::vector<LogToLoad> logs_;
};

Mode mode_of(const std::string& mode) {
  if (mode.empty()) throw py::value_error("mode must be \"e\" or \"p\", not \"\"");
  return mode[0] == 'p' ? Mode::kProprietary : Mode::kStandard;
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

// The signal id of a log of the directory `dir` with the rule of --signal-id
// auto, or the one given.
std::string signal_id_of(const py::object& given, const std::string& log_name,
                         const std::string& dir) {
  if (!given.is_none()) return py::cast<std::string>(given);
  std::string leading = leading_fields(log_name);
  if (!leading.empty()) return leading;
  return dir_signal_id(dir);
}

RunSettings settings_for(Mode mode, uint64_t max_log_size, Columns* columns) {
  RunSettings settings;
  settings.mode = mode;
  settings.format = OutputFormat::kRows;
  settings.max_log_size = max_log_size;
  settings.fail_fast = false;
  settings.sink = columns;
  settings.first_year = kFirstYear;
  settings.last_year = kLastYear;
  return settings;
}

// What a read gives Python: the columns, the messages and the status.
py::dict result_of(Columns& columns, const std::vector<std::string>& messages,
                   int status) {
  py::dict d = columns.to_python();
  d["messages"] = messages;
  d["status"] = status;
  return d;
}

// One log, as a task of a run reads it; the log's name gives its date.
py::dict read_one(File& in, const std::shared_ptr<Dir>& dir,
                  const std::string& name, const std::string& shown_path,
                  Mode mode, const std::string& signal_id,
                  uint64_t max_log_size) {
  auto columns = std::make_unique<Columns>(mode);
  RunSettings settings = settings_for(mode, max_log_size, columns.get());
  Task task;
  task.dir = dir;
  task.name = name;
  task.archive = ends_with_ignoring_case(name, ".gz");
  task.log_name = task.archive ? name.substr(0, name.size() - 3) : name;
  task.signal_id = signal_id;
  task.relative_path = name;
  TaskResult result;
  {
    py::gil_scoped_release release;
    LogConverter converter;
    LogHour hour;
    if (!read_log_hour(parse_log_date(task.log_name), &hour) ||
        hour.year < kFirstYear || hour.year > kLastYear) {
      result.messages = error_line(shown_path + ": the name holds no valid date and hour");
      result.outcome = Outcome::kDamaged;
    } else {
      convert_file(in, task, shown_path, hour, settings, converter, nullptr, &result);
      Outcome before = result.outcome;
      publish(task, settings, &result);
      if (result.outcome < before) result.outcome = before;
    }
  }
  return result_of(*columns, lines_of(result.messages),
                   result.outcome == Outcome::kDone ? 0 : 1);
}

[[noreturn]] void raise_os_error(const std::string& path, const std::string& why) {
  // OSError(errno, strerror, filename), as Python raises it for a file.
  int code = why == strerror(ENOENT) ? ENOENT : why == strerror(EACCES) ? EACCES : 0;
  PyObject* args = Py_BuildValue("(iss)", code, why.c_str(), path.c_str());
  PyErr_SetObject(PyExc_OSError, args);
  Py_XDECREF(args);
  throw py::error_already_set();
}

py::dict read_log(const std::string& path, const std::string& mode,
                  const py::object& signal_id, uint64_t max_log_size) {
  std::string dir_path, name, err;
  split_path(path, &dir_path, &name);
  std::shared_ptr<Dir> dir = Dir::open(dir_path, &err);
  if (dir == nullptr) raise_os_error(path, err);
  File in;
  if (!dir->open_file(name, &in, &err)) raise_os_error(path, err);
  std::string log_name =
      ends_with_ignoring_case(name, ".gz") ? name.substr(0, name.size() - 3) : name;
  return read_one(in, dir, name, shown(path), mode_of(mode),
                  signal_id_of(signal_id, log_name, dir_path), max_log_size);
}

py::dict read_bytes(const py::bytes& data, const std::string& name,
                    const std::string& mode, const py::object& signal_id,
                    uint64_t max_log_size) {
  if (name.empty()) throw py::value_error("a log needs a name, which gives its date");
  std::string bytes = data;
  File in;
  std::string err;
  if (!create_unnamed_temp(&in, &err) || !in.write(bytes.data(), bytes.size()) ||
      !in.rewind()) {
    raise_os_error(name, err.empty() ? in.error() : err);
  }
  std::string log_name =
      ends_with_ignoring_case(name, ".gz") ? name.substr(0, name.size() - 3) : name;
  return read_one(in, nullptr, name, shown(name), mode_of(mode),
                  signal_id_of(signal_id, log_name, "."), max_log_size);
}

py::dict read_archive(const std::string& dir, const std::string& mode,
                      bool recursive, int jobs, const std::string& signal_id,
                      uint64_t max_log_size, const py::object& signal_dir) {
  Options options;
  options.dir = dir;
  options.letter = mode_of(mode) == Mode::kProprietary ? 'p' : 'e';
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
  std::string err;
  if (Dir::open(dir, &err) == nullptr) raise_os_error(dir, err);
  auto columns = std::make_unique<Columns>(mode_of(mode));
  std::vector<std::string> messages;
  RunHooks hooks;
  hooks.message = [&](const std::string& text) {
    for (std::string& line : lines_of(text)) messages.push_back(std::move(line));
  };
  hooks.sink = columns.get();
  hooks.first_year = kFirstYear;
  hooks.last_year = kLastYear;
  if (!signal_dir.is_none()) hooks.dir_signal_id = py::cast<std::string>(signal_dir);
  int status;
  {
    py::gil_scoped_release release;
    status = run_with(options, hooks);
  }
  return result_of(*columns, messages, status);
}

py::tuple convert(const std::vector<std::string>& args) {
  std::vector<std::string> command_line = {"quillon"};
  command_line.insert(command_line.end(), args.begin(), args.end());
  Options options;
  if (parse_command_line(command_line, &options) != Command::kRun)
    throw py::value_error("not a run of quillon: " + usage_text());
  std::vector<std::string> messages;
  RunHooks hooks;
  hooks.message = [&](const std::string& text) {
    for (std::string& line : lines_of(text)) messages.push_back(std::move(line));
  };
  int status;
  {
    py::gil_scoped_release release;
    status = run_with(options, hooks);
  }
  return py::make_tuple(status, messages);
}

uint64_t size_of(const std::string& text) {
  uint64_t size;
  if (!parse_size(text, &size)) throw py::value_error("not a size: " + text);
  return size;
}

}  // namespace

PYBIND11_MODULE(_quillon, m) {
  m.doc() = "The compiled part of quillon: logs into columns.";
  m.def("read_log", &read_log);
  m.def("read_bytes", &read_bytes);
  m.def("read_archive", &read_archive);
  m.def("convert", &convert);
  m.def("size_of", &size_of);
  m.attr("version_line") = std::string(kVersionLine);
}
