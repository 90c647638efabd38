#include "outputs/events_table_output.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <utility>

#include "logs/messages.h"
#include "outputs/published_file.h"

const std::vector<std::string>& table_columns(Mode mode) {
  static const std::vector<std::string> kStandard = {
      "signal_id", "timestamp", "event_code", "event_param", "version", "log"};
  static const std::vector<std::string> kProprietary = {
      "signal_id", "timestamp", "event_type", "event_name", "data", "version",
      "log"};
  return mode == Mode::kProprietary ? kProprietary : kStandard;
}

namespace {

// Rewrites rows of the events table in its own columns into the columns
// asked for: each row's fields (quoted ones whole) picked by their index,
// kLogField for the log's path.
class ColumnPicker : public LineStream {
 public:
  static constexpr int kLogField = -1;

  ColumnPicker(OutputStream& out, const std::vector<int>& picks,
               std::string log_field)
      : out_(out), picks_(picks), log_field_(std::move(log_field)) {}

 private:
  // Writes the row `row` with its fields picked.
  bool line(std::string& row) override {
    row.pop_back();  // its "\n"
    fields_.clear();
    bool quoted = false;
    size_t start = 0;
    for (size_t i = 0; i <= row.size(); ++i) {
      if (i < row.size() && row[i] == '"') quoted = !quoted;
      if (i == row.size() || (row[i] == ',' && !quoted)) {
        fields_.emplace_back(row.data() + start, i - start);
        start = i + 1;
      }
    }
    picked_.clear();
    for (size_t i = 0; i < picks_.size(); ++i) {
      if (i > 0) picked_ += ',';
      int pick = picks_[i];
      if (pick == kLogField)
        picked_ += log_field_;
      else if (static_cast<size_t>(pick) < fields_.size())
        picked_ += fields_[static_cast<size_t>(pick)];
    }
    picked_ += '\n';
    return out_.write(picked_.data(), picked_.size());
  }

  OutputStream& out_;
  const std::vector<int>& picks_;
  std::string log_field_;
  std::string picked_;
  std::vector<std::string_view> fields_;
};

// One events table of every log, to the standard output or a file, in the
// columns asked for; with --logs, the table of its logs beside it.
class TableOutput : public Output {
 public:
  TableOutput(Mode mode, uint64_t max_size, const std::vector<std::string>& columns)
      : mode_(mode), max_size_(max_size), watch_(mode) {
    // The columns asked for, by their place in the table's own rows.
    const std::vector<std::string>& own = table_columns(mode);
    for (const std::string& name : columns) {
      size_t at = std::find(own.begin(), own.end(), name) - own.begin();
      picks_.push_back(name == "log" ? ColumnPicker::kLogField
                                     : static_cast<int>(at));
      header_ += (header_.empty() ? "" : ",") + name;
    }
    header_ = picks_.empty() ? std::string(events_header(mode)) : header_ + "\n";
  }

  // Opens the table `path` and writes its header, and the table of its logs
  // `logs_path` unless that is empty. Returns false, with *what set, when
  // that failed.
  bool open(const std::string& path, const std::string& logs_path,
            std::string* what) {
    if (!open_one(&table_, path, header_, what)) return false;
    if (logs_path.empty()) return true;
    logs_ = std::make_unique<PublishedFile>();
    return open_one(logs_.get(), logs_path,
                    "path,signal_id,start,version,closing,records\n", what);
  }

  // The events table of plain logs goes no faster on several threads, its
  // writing being the work, while archives have their inflating to share.
  bool gains_from_threads(const Task& task) const override {
    return task.archive;
  }

  std::unique_ptr<LogOutput> start(const Task& task, File& in,
                                   const LogHour& hour, bool in_order,
                                   std::string*) override {
    // The table is readable by no more users than each of its logs.
    log_permissions_.fetch_and(in.permissions());
    // The rows of the next log to publish go straight into the table, but
    // an archive's, which may have to be taken back.
    return std::make_unique<Rows>(*this, task, &hour, in_order && !task.archive);
  }

  std::unique_ptr<LogOutput> undated(const Task& task,
                                     const std::string& closing) override {
    if (logs_ == nullptr) return nullptr;
    auto rows = std::make_unique<Rows>(*this, task, nullptr, false);
    rows->read({{LogEnd::kEndOfLog, 0}, closing});
    return rows;
  }

  std::string name(const Task&) const override { return table_.name(); }
  std::string note() const override { return watch_.note() + zone_notes_; }

  bool finish(bool stopped, bool found, std::string* what) override {
    // A table is given its name only when the run went through every log.
    if (stopped || !found) {
      table_.discard();
      if (logs_ != nullptr) logs_->discard();
      return true;
    }
    std::string err;
    if (!table_.close(log_permissions_, &err)) {
      *what = "Failed to write " + table_.name() + ": " + err;
      if (logs_ != nullptr) logs_->discard();
      return false;
    }
    if (logs_ == nullptr || logs_->close(log_permissions_, &err)) return true;
    *what = "Failed to write " + logs_->name() + ": " + err;
    return false;
  }

 private:
  static bool open_one(PublishedFile* table, const std::string& path,
                       const std::string& header, std::string* what) {
    std::string err;
    if (table->open(path, &err) && table->write(header.data(), header.size()))
      return true;
    *what = "Failed to open " +
            (path.empty() || path == "-" ? std::string("standard output")
                                         : shown(path)) +
            ": " + (err.empty() ? table->error() : err);
    return false;
  }

  class Rows : public LogOutput, SpilledRows {
   public:
    // `hour`: null for a log whose name holds no date, which has no rows.
    Rows(TableOutput& output, const Task& task, const LogHour* hour, bool direct)
        : output_(output),
          signal_field_(csv_field(task.signal_id)),
          path_(task.relative_path),
          signal_id_(task.signal_id),
          dated_(hour != nullptr),
          second_pass_(task.second_pass),
          hour_(hour != nullptr ? *hour : LogHour{0, 0, 0, 0}),
          direct_(direct) {}
    ConvertResult convert(LogConverter& converter, InputStream& input) override {
      OutputStream* to = direct_ ? static_cast<OutputStream*>(&output_.table_)
                                 : &rows_;
      std::unique_ptr<ColumnPicker> picker;
      if (!output_.picks_.empty()) {
        picker = std::make_unique<ColumnPicker>(*to, output_.picks_,
                                                csv_field(path_));
        to = picker.get();
      }
      return converter.convert_events(
          input, *to, {signal_field_, hour_, output_.zone_.get(), output_.utc_, second_pass_},
          output_.mode_, output_.max_size_);
    }
    bool can_restart() const override { return !direct_; }
    bool restart() override { return SpilledRows::restart(); }
    std::string error() const override {
      return direct_ ? output_.table_.error() : rows_.error();
    }
    void read(const LogRead& read) override {
      skipped_times_ = read.converted.skipped_times;
      version_ = read.converted.version;
      records_ = read.converted.records;
      closing_ = read.wrong.empty() ? "End of Controller Log" : "Error: " + read.wrong;
    }
    Outcome publish(std::string* what) override {
      if (dated_) output_.watch_.saw(version_);
      if (skipped_times_ > 0)
        output_.zone_notes_ += "Note: " + shown(path_) + ": " + std::to_string(skipped_times_) +
                               " of its times do not exist in " + output_.zone_->name() +
                               " (its clocks skipped them): written with the offset "
                               "before the change\n";
      if (!direct_ && !rows_.copy_to(output_.table_)) {
        *what = "Failed to write " + output_.table_.name() + ": " +
                (rows_.error().empty() ? output_.table_.error() : rows_.error());
        return Outcome::kStop;
      }
      if (output_.logs_ == nullptr) return Outcome::kDone;
      const std::string row =
          csv_field(path_) + "," + csv_field(signal_id_) + "," +
          (dated_ ? output_.start_text(hour_, second_pass_) : std::string()) + "," +
          std::to_string(version_) + "," + csv_field(closing_) + "," +
          std::to_string(records_) + "\n";
      if (output_.logs_->write(row.data(), row.size())) return Outcome::kDone;
      *what = "Failed to write " + output_.logs_->name() + ": " +
              output_.logs_->error();
      return Outcome::kStop;
    }

   private:
    TableOutput& output_;
    std::string signal_field_, path_, signal_id_;
    bool dated_, second_pass_;
    LogHour hour_;
    bool direct_;
    int version_ = 0;
    uint64_t records_ = 0, skipped_times_ = 0;
    std::string closing_;
  };

  // The start of a log's hour as the table of logs writes it: in a zone,
  // ISO 8601 with its offset (the earlier where the hour is shown twice),
  // or in UTC.
  std::string start_text(const LogHour& hour, bool second_pass) const {
    if (zone_ == nullptr) return hour_start_text(hour);
    char text[kMaxTimeSize];
    const char* end = TimestampText().put_zoned(text, hour_start(hour),
                                                ZonedHour(*zone_, hour, second_pass).start_offset(), utc_);
    const char* tenth = strchr(text + 10, '.');  // ".0", left out
    return std::string(text, static_cast<size_t>(tenth - text)) +
           std::string(tenth + 2, static_cast<size_t>(end - tenth - 2));
  }

  Mode mode_;
  uint64_t max_size_;  // of a log, and of its rows
  std::vector<int> picks_;  // the columns asked for; none: the table's own
  std::string header_;
  PublishedFile table_;
  std::unique_ptr<PublishedFile> logs_;  // --logs
  std::atomic<unsigned> log_permissions_{07777};  // that every log has
  NumberingWatch watch_;  // of the logs published
  std::string zone_notes_;  // of the logs published: times the zone skipped

 public:
  std::shared_ptr<const TimeZone> zone_;  // --tz, or null
  bool utc_ = false;                      // --utc
};

}  // namespace

std::unique_ptr<Output> make_events_table_output(Mode mode, uint64_t max_log_size,
                                                 const std::vector<std::string>& columns,
                                                 const std::string& path,
                                                 const std::string& logs_path,
                                                 std::string* what,
                                                 std::shared_ptr<const TimeZone> zone,
                                                 bool utc) {
  auto table = std::make_unique<TableOutput>(mode, max_log_size, columns);
  table->zone_ = std::move(zone);
  table->utc_ = utc;
  if (!table->open(path, logs_path, what)) return nullptr;
  return table;
}
