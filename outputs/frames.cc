#include "outputs/frames.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "events/event_table.h"
#include "logconv/packed_rows.h"

namespace {

// Nanoseconds in a tenth of a second.
const int64_t kTenthNs = 100000000;

// The code of `value` among `values`, added when new.
int32_t code_of(const std::string& value,
                std::unordered_map<std::string, int32_t>* codes,
                std::vector<std::string>* values) {
  auto [it, added] = codes->emplace(value, static_cast<int32_t>(values->size()));
  if (added) values->push_back(value);
  return it->second;
}

template <typename T>
void append(std::vector<T>* to, const std::vector<T>& from) {
  to->insert(to->end(), from.begin(), from.end());
}

}  // namespace

int64_t hour_ns(const LogHour& h) { return hour_start(h) * kTenthNs; }

// One log's columns, made where its task runs: its names and data bytes are
// coded among its own values, which the run's then take in.
struct ColumnSink::LogColumns : PreparedRows {
  std::vector<int64_t> timestamp;
  std::vector<uint8_t> code;
  std::vector<int16_t> param;
  std::vector<uint8_t> param_missing;
  std::vector<int32_t> name, data;
  std::vector<std::string> names, datas;
  bool complete = false;
};

namespace {

// Reads a log's packed proprietary rows into its columns.
class ColumnReader : public PackedRowReader {
 public:
  ColumnReader(const EventTable& table, int64_t start, ColumnSink::LogColumns* c)
      : PackedRowReader(Mode::kProprietary, table), start_(start), c_(*c),
        table_(table), name_codes_(table.count, -1) {
    for (int32_t& code : small_data_) code = -1;
  }

 protected:
  bool row(const PackedRow& r) override {
    c_.timestamp.push_back(start_ + int64_t{r.time} * kTenthNs);
    c_.code.push_back(r.code);
    int32_t& name = name_codes_[r.code];
    if (name < 0)
      name = code_of(std::string(event_name(table_.rows[r.code])), &names_,
                     &c_.names);
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
  int64_t start_;
  ColumnSink::LogColumns& c_;
  const EventTable& table_;
  std::vector<int32_t> name_codes_;  // by event type; -1: not yet
  int32_t small_data_[257];          // by the one data byte; 256: none
  std::unordered_map<std::string, int32_t> names_, datas_;
};

// Reads a log's packed standard-mode rows into its columns, sized for them
// beforehand: rows of one size, read in a loop of their own (which saves a
// call a row).
class StandardColumnReader : public OutputStream {
 public:
  StandardColumnReader(int64_t start, size_t rows, ColumnSink::LogColumns* c)
      : start_(start), c_(*c) {
    c_.timestamp.resize(rows);
    c_.code.resize(rows);
    c_.param.resize(rows);
    c_.param_missing.resize(rows);
  }

  bool write(const char* data, size_t size) override {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(data);
    const uint8_t* end = p + size;
    const size_t kRow = packed::kStandardRowSize;
    // A row begun in the last piece is completed first.
    while (partial_size_ > 0 && p < end) {
      partial_[partial_size_++] = *p++;
      if (partial_size_ == kRow) {
        partial_size_ = 0;
        if (!take(partial_)) return false;
      }
    }
    for (; static_cast<size_t>(end - p) >= kRow; p += kRow)
      if (!take(p)) return false;
    while (p < end) partial_[partial_size_++] = *p++;
    return true;
  }

  bool whole() const { return at_ == c_.timestamp.size() && partial_size_ == 0; }

 private:
  bool take(const uint8_t* row) {
    if (at_ == c_.timestamp.size()) return false;
    unsigned time = row[packed::kTime] << 8 | row[packed::kTime + 1];
    c_.timestamp[at_] = start_ + int64_t{time} * kTenthNs;
    c_.code[at_] = row[packed::kCode];
    c_.param[at_] = row[packed::kParam];
    c_.param_missing[at_] = row[packed::kHasParam] == 0;
    ++at_;
    return true;
  }

  int64_t start_;
  ColumnSink::LogColumns& c_;
  size_t at_ = 0;
  uint8_t partial_[packed::kStandardRowSize];
  size_t partial_size_ = 0;
};

}  // namespace

ColumnSink::ColumnSink(Mode mode, bool rows) : mode_(mode), rows_kept_(rows) {}
ColumnSink::~ColumnSink() = default;

std::unique_ptr<PreparedRows> ColumnSink::prepare(const LogToLoad& log,
                                                  SpillOutput& rows) {
  auto columns = std::make_unique<LogColumns>();
  if (!rows_kept_) {
    columns->complete = true;
    return columns;
  }
  if (mode_ == Mode::kStandard) {
    StandardColumnReader reader(
        log.dated ? hour_ns(log.hour) : 0,
        static_cast<size_t>(rows.size() / packed::kStandardRowSize),
        columns.get());
    columns->complete = rows.copy_to(reader) && reader.whole();
    return columns;
  }
  // Room for the rows, which take packed::kRecordHead bytes or more each.
  size_t n = static_cast<size_t>(rows.size() / (packed::kRecordHead + 1));
  columns->timestamp.reserve(n);
  columns->code.reserve(n);
  columns->name.reserve(n);
  columns->data.reserve(n);
  ColumnReader reader(select_event_table(log.version),
                      log.dated ? hour_ns(log.hour) : 0,
                      columns.get());
  columns->complete = rows.copy_to(reader);
  return columns;
}

bool ColumnSink::load(const LogToLoad& log, SpillOutput& rows,
                      std::unique_ptr<PreparedRows> prepared,
                      std::string* err) {
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

void to_instants(RunColumns* run, const TimeZone& zone) {
  const int64_t kSecondNs = 1000000000;
  run->start_offsets.clear();
  std::vector<std::unique_ptr<ZonedHour>> hours;
  for (const LogToLoad& log : run->logs) {
    const LogHour hour = log.dated ? log.hour : LogHour{1970, 1, 1, 0};
    hours.push_back(std::make_unique<ZonedHour>(zone, hour, log.second_pass));
    run->start_offsets.push_back(hours.back()->start_offset());
  }
  for (size_t i = 0; i < run->timestamp.size(); ++i) {
    const size_t log = static_cast<size_t>(run->log[i]);
    ZonedHour& zoned = *hours[log];
    const int64_t stamp = (run->timestamp[i] - hour_ns(run->logs[log].hour)) / kTenthNs;
    const int32_t offset = zoned.constant() ? zoned.constant_offset()
                                            : zoned.offset(static_cast<uint32_t>(stamp));
    run->timestamp[i] -= offset * kSecondNs;
  }
}

RunColumns ColumnSink::take() {
  RunColumns run;
  std::unordered_map<std::string, int32_t> name_codes, data_codes;
  if (columns_.size() == 1) {
    // A single log's columns become the run's, uncopied.
    LogColumns& c = *columns_[0];
    run.timestamp = std::move(c.timestamp);
    run.code = std::move(c.code);
    run.param = std::move(c.param);
    run.param_missing = std::move(c.param_missing);
    run.name = std::move(c.name);
    run.data = std::move(c.data);
    run.names = std::move(c.names);
    run.datas = std::move(c.datas);
    run.signal.assign(run.timestamp.size(), signal_of_log_[0]);
    run.version.assign(run.timestamp.size(), logs_[0].version);
    run.log.assign(run.timestamp.size(), 0);
  } else {
    run.timestamp.reserve(rows_);
    run.code.reserve(rows_);
    run.signal.reserve(rows_);
    run.version.reserve(rows_);
    run.log.reserve(rows_);
    if (mode_ == Mode::kStandard) {
      run.param.reserve(rows_);
      run.param_missing.reserve(rows_);
    } else {
      run.name.reserve(rows_);
      run.data.reserve(rows_);
    }
    for (size_t i = 0; i < columns_.size(); ++i) {
      const LogColumns& c = *columns_[i];
      append(&run.timestamp, c.timestamp);
      append(&run.code, c.code);
      const size_t n = c.timestamp.size();
      run.signal.insert(run.signal.end(), n, signal_of_log_[i]);
      run.version.insert(run.version.end(), n, logs_[i].version);
      run.log.insert(run.log.end(), n, static_cast<int32_t>(i));
      if (mode_ == Mode::kStandard) {
        append(&run.param, c.param);
        append(&run.param_missing, c.param_missing);
      } else {
        // The log's own codes become the run's.
        std::vector<int32_t> names, datas;
        for (const std::string& value : c.names)
          names.push_back(code_of(value, &name_codes, &run.names));
        for (const std::string& value : c.datas)
          datas.push_back(code_of(value, &data_codes, &run.datas));
        for (int32_t code : c.name) run.name.push_back(names[code]);
        for (int32_t code : c.data) run.data.push_back(datas[code]);
      }
      columns_[i].reset();
    }
  }
  run.signals = std::move(signals_);
  run.logs = std::move(logs_);
  columns_.clear();
  rows_ = 0;
  signal_of_log_.clear();
  signals_.clear();
  signal_codes_.clear();
  logs_.clear();
  return run;
}
