#include "driver/output.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>

#ifdef QUILLON_HAVE_SQLITE
#include "driver/database.h"
#endif
#include "driver/measures.h"
#include "driver/report.h"
#include "driver/messages.h"
#include "driver/names.h"
#include "driver/options.h"
#include "driver/table.h"
#include "driver/task.h"
#include "driver/walker.h"

namespace {

const char kIsLink[] = "is a symbolic link, not a directory";

// Rows held in memory per log before they go to a file.
const size_t kRowsInMemory = 1 << 20;

// -t: every log read, nothing written.
class CheckOutput : public Output {
 public:
  CheckOutput(Mode mode, bool predicts_decompression, bool converts_undated,
              bool fail_fast)
      : mode_(mode),
        predicts_decompression_(predicts_decompression),
        converts_undated_(converts_undated),
        fail_fast_(fail_fast) {}

  bool stops_at_first_failure() const override { return fail_fast_; }
  bool predicts_decompression() const override {
    return predicts_decompression_;
  }
  bool converts_undated() const override { return converts_undated_; }

  std::unique_ptr<LogOutput> start(const Task& task, File&, const LogHour&,
                                   bool, std::string*) override {
    return std::make_unique<Check>(task.log_name, mode_);
  }
  std::string name(const Task&) const override { return std::string(); }

 private:
  class Check : public LogOutput {
   public:
    Check(std::string log_name, Mode mode)
        : log_name_(std::move(log_name)), mode_(mode) {}
    // The CSV's conversion, into nothing: the same records, damage and rows.
    ConvertResult convert(LogConverter& converter, InputStream& input) override {
      return converter.convert(input, null_, log_name_, mode_);
    }
    std::string error() const override { return std::string(); }
    Outcome publish(std::string*) override { return Outcome::kDone; }

   private:
    std::string log_name_;
    Mode mode_;
    NullOutput null_;
  };

  Mode mode_;
  bool predicts_decompression_, converts_undated_, fail_fast_;
};

// Where the CSVs of one directory go.
struct CsvPlace : OutputPlace {
  std::shared_ptr<Dir> dir;
};

// A CSV per log, written under a temporary name and renamed once whole.
class CsvOutput : public Output {
 public:
  CsvOutput(const Options& options, Mode mode, std::shared_ptr<Dir> root,
            std::string root_error, bool fail_fast)
      : mode_(mode),
        max_size_(options.max_log_size),
        keep_(options.keep),
        output_(options.output),
        out_name_(output_dir_name(options.letter)),
        root_(std::move(root)),
        root_error_(std::move(root_error)),
        fail_fast_(fail_fast) {}

  bool reads_archives() const override { return keep_; }
  bool stops_at_first_failure() const override { return fail_fast_; }
  bool converts_undated() const override { return true; }
  const FileId* not_searched() const override {
    return root_ != nullptr && !output_.empty() ? &root_->id() : nullptr;
  }

  bool enter(const DirVisit& visit, const std::string& out_path,
             std::vector<PlannedEntry>* plan,
             std::shared_ptr<const OutputPlace>* place, std::string* message,
             Outcome* outcome) override {
    std::string err;
    std::shared_ptr<Dir> out = output_dir(visit, &err);
    if (out == nullptr) {
      // Nothing of this directory can be written.
      *outcome = Outcome::kDamaged;
      if (err == kIsLink) {
        *message = error_line(shown(out_path) + ": " + err);
      } else if (fail_fast_) {
        for (const PlannedEntry& p : *plan) {
          if (p.step != Step::kConvert) continue;
          *message = error_line("Failed to open " +
                                shown(join_path(out_path, p.csv_name)) + ": " +
                                err);
          break;
        }
        *outcome = Outcome::kStop;
      } else {
        *message = error_line("Failed to open " + shown(out_path) + ": " + err);
      }
      return false;
    }
    std::vector<DirEntry> out_entries;
    std::string list_err;
    if (out->list(&out_entries, &list_err))
      refuse_csv_directories(out_entries, plan);
    auto csv_place = std::make_shared<CsvPlace>();
    csv_place->dir = std::move(out);
    *place = std::move(csv_place);
    return true;
  }

  bool up_to_date(const Task& task, uint64_t, int64_t mtime_ns) const override {
    uint64_t csv_size = 0;
    int64_t csv_mtime = 0;
    return dir_of(task).stat(csv_name_of(task.log_name), &csv_size,
                             &csv_mtime) &&
           csv_mtime > mtime_ns;
  }

  std::unique_ptr<LogOutput> start(const Task& task, File& in, const LogHour&,
                                   bool, std::string* err) override {
    auto csv = std::make_unique<Csv>(place_of(task).dir, csv_name_of(task.log_name),
                                     task.log_name, mode_, max_size_, fail_fast_);
    if (!csv->open(in, err)) return nullptr;
    return csv;
  }

  std::string name(const Task& task) const override {
    return shown(dir_of(task).path_of(csv_name_of(task.log_name)));
  }

 private:
  class Csv : public LogOutput {
   public:
    Csv(std::shared_ptr<Dir> dir, std::string csv_name, std::string log_name,
        Mode mode, uint64_t max_size, bool fail_fast)
        : dir_(std::move(dir)),
          csv_name_(std::move(csv_name)),
          log_name_(std::move(log_name)),
          mode_(mode),
          max_size_(max_size),
          fail_fast_(fail_fast) {}
    ~Csv() override { discard(); }

    bool open(const File& in, std::string* err) {
      if (!dir_->create_temp(Content::kText, &in, &file_, &temp_, err))
        return false;
      output_ = std::make_unique<FileOutput>(file_);
      return true;
    }
    ConvertResult convert(LogConverter& converter, InputStream& input) override {
      return converter.convert(input, *output_, log_name_, mode_, max_size_);
    }
    bool can_restart() const override { return true; }
    bool restart() override { return file_.truncate(); }
    std::string error() const override { return file_.error(); }

    Outcome publish(std::string* what) override {
      std::string err;
      bool is_directory = false;
      if (dir_->publish(&file_, temp_, csv_name_, Replace::kYes, &err,
                       &is_directory))
        return Outcome::kDone;
      // A directory put at the CSV's path since the run looked is reported
      // as one found then.
      *what = (is_directory ? "Failed to open " : "Failed to write ") +
              shown(dir_->path_of(csv_name_)) + ": " + err;
      return is_directory && !fail_fast_ ? Outcome::kDamaged : Outcome::kStop;
    }
    void discard() override {
      if (file_.is_open()) dir_->discard(&file_, temp_);
    }

   private:
    std::shared_ptr<Dir> dir_;
    std::string csv_name_, log_name_;
    Mode mode_;
    uint64_t max_size_;
    bool fail_fast_;
    File file_;
    std::string temp_;
    std::unique_ptr<FileOutput> output_;
  };

  static const CsvPlace& place_of(const Task& task) {
    return static_cast<const CsvPlace&>(*task.place);
  }
  static const Dir& dir_of(const Task& task) { return *place_of(task).dir; }

  // The output directory of a directory, made when missing; null, with
  // *err set, when it cannot be used.
  std::shared_ptr<Dir> output_dir(const DirVisit& visit, std::string* err) {
    if (visit.relative.empty() || root_ == nullptr) {
      *err = root_error_;
      return root_;
    }
    std::shared_ptr<Dir> out;
    if (output_.empty()) {
      out = visit.dir->make_child(out_name_, err);
    } else {
      // The same path below OUT, never through a link.
      out = root_;
      for (const std::string& name : visit.relative) {
        out = out->make_child(name, err);
        if (out == nullptr) return nullptr;
      }
    }
    if (out != nullptr) out->claim_for_writing();
    return out;
  }

  Mode mode_;
  uint64_t max_size_;  // of a log, and of its CSV
  bool keep_;
  std::string output_;
  std::string out_name_;
  std::shared_ptr<Dir> root_;  // of the directory argument's CSVs
  std::string root_error_;     // why there is none
  bool fail_fast_;
};

// Rows held while a task runs, for the thread that publishes: in memory,
// and past kRowsInMemory in a file.
class Spilled {
 public:
  Spilled() : rows_(kRowsInMemory) {}
  SpillOutput& rows() { return rows_; }
  bool restart() { return rows_.clear(); }

 protected:
  SpillOutput rows_;
};

// Rewrites rows of the events table in its own columns into the columns
// asked for: each row's fields (quoted ones whole) picked by their index,
// kLogField for the log's path.
class ColumnPicker : public OutputStream {
 public:
  static constexpr int kLogField = -1;

  ColumnPicker(OutputStream& out, const std::vector<int>& picks,
               std::string log_field)
      : out_(out), picks_(picks), log_field_(std::move(log_field)) {}

  bool write(const char* data, size_t size) override {
    for (const char* end = data + size; data < end;) {
      const char* nl = static_cast<const char*>(memchr(data, '\n', end - data));
      if (nl == nullptr) {
        row_.append(data, end);
        return true;
      }
      row_.append(data, nl);
      data = nl + 1;
      if (!pick()) return false;
    }
    return true;
  }

 private:
  // Writes the row held, its fields picked, and forgets it.
  bool pick() {
    fields_.clear();
    bool quoted = false;
    size_t start = 0;
    for (size_t i = 0; i <= row_.size(); ++i) {
      if (i < row_.size() && row_[i] == '"') quoted = !quoted;
      if (i == row_.size() || (row_[i] == ',' && !quoted)) {
        fields_.emplace_back(row_.data() + start, i - start);
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
    row_.clear();
    return out_.write(picked_.data(), picked_.size());
  }

  OutputStream& out_;
  const std::vector<int>& picks_;
  std::string log_field_;
  std::string row_, picked_;
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
    logs_ = std::make_unique<EventsTable>();
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
  std::string note() const override { return watch_.note(); }

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
  static bool open_one(EventsTable* table, const std::string& path,
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

  class Rows : public LogOutput, Spilled {
   public:
    // `hour`: null for a log whose name holds no date, which has no rows.
    Rows(TableOutput& output, const Task& task, const LogHour* hour, bool direct)
        : output_(output),
          signal_field_(csv_field(task.signal_id)),
          path_(task.relative_path),
          signal_id_(task.signal_id),
          dated_(hour != nullptr),
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
      return converter.convert_events(input, *to, {signal_field_, hour_},
                                      output_.mode_, output_.max_size_);
    }
    bool can_restart() const override { return !direct_; }
    bool restart() override { return Spilled::restart(); }
    std::string error() const override {
      return direct_ ? output_.table_.error() : rows_.error();
    }
    void read(const LogRead& read) override {
      version_ = read.converted.version;
      records_ = read.converted.records;
      closing_ = read.wrong.empty() ? "End of Controller Log" : "Error: " + read.wrong;
    }
    Outcome publish(std::string* what) override {
      if (dated_) output_.watch_.saw(version_);
      if (!direct_ && !rows_.copy_to(output_.table_)) {
        *what = "Failed to write " + output_.table_.name() + ": " +
                (rows_.error().empty() ? output_.table_.error() : rows_.error());
        return Outcome::kStop;
      }
      if (output_.logs_ == nullptr) return Outcome::kDone;
      const std::string row =
          csv_field(path_) + "," + csv_field(signal_id_) + "," +
          (dated_ ? EventClock(hour_).hour() + "00:00" : std::string()) + "," +
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
    bool dated_;
    LogHour hour_;
    bool direct_;
    int version_ = 0;
    uint64_t records_ = 0;
    std::string closing_;
  };

  Mode mode_;
  uint64_t max_size_;  // of a log, and of its rows
  std::vector<int> picks_;  // the columns asked for; none: the table's own
  std::string header_;
  EventsTable table_;
  std::unique_ptr<EventsTable> logs_;  // --logs
  std::atomic<unsigned> log_permissions_{07777};  // that every log has
  NumberingWatch watch_;  // of the logs published
};

// The signal performance measures: each log's events read where its task
// runs, every signal's measured in time order once the run is through, the
// tables written into a directory.
class MeasuresOutput : public Output {
 public:
  /// With `report`, the tables go into OUT/measures and the pages into OUT.
  MeasuresOutput(std::string dir, int bin_minutes, bool report)
      : dir_(std::move(dir)), tables_(report ? join_path(dir_, "measures") : dir_),
        bin_minutes_(bin_minutes), report_(report) {}

  std::unique_ptr<LogOutput> start(const Task& task, File& in,
                                   const LogHour& hour, bool,
                                   std::string*) override {
    // The tables are readable by no more users than each of their logs.
    log_permissions_.fetch_and(in.permissions());
    auto log = std::make_unique<Log>(*this, task.signal_id);
    log->measures.path = task.relative_path;
    log->measures.hour = hour;
    // Room for an event a record of a plain log (3 bytes or more each), up
    // to a million: the events are seldom moved as they come, and trimmed
    // once read.
    if (!task.archive)
      log->measures.events.reserve(
          static_cast<size_t>(std::min<uint64_t>(in.size() / 3, 1 << 20)));
    return log;
  }

  std::string name(const Task&) const override { return shown(dir_); }

  bool finish(bool stopped, bool, std::string* what) override {
    // Tables of every log or none: a run that stops leaves earlier ones.
    if (stopped) return true;
    std::string err;
    std::shared_ptr<Dir> dir = Dir::make(tables_, &err);
    if (dir == nullptr) {
      *what = "Failed to open " + shown(tables_) + ": " + err;
      return false;
    }
    // Every table is written whole under a temporary name before any takes
    // its own: a failure leaves the earlier set as it was (those not yet
    // written are removed as they go).
    EventsTable files[7];
    OutputStream* out[7];
    for (int i = 0; i < 7; ++i) {
      const std::string path = join_path(tables_, std::string(kMeasureTables[i]) + ".csv");
      if (!files[i].open(path, &err)) {
        *what = "Failed to write " + shown(path) + ": " + err;
        return false;
      }
      out[i] = &files[i];
    }
    // The name of the table that refused a write, with its reason.
    auto failed_write = [&files, what]() {
      for (EventsTable& file : files)
        if (!file.error().empty()) *what = "Failed to write " + file.name() + ": " + file.error();
      return false;
    };
    MeasureTables tables(bin_minutes_, out);
    for (auto& [signal, logs] : signals_) {
      if (!tables.add_signal(signal, std::move(logs), &events_, &err)) {
        if (err.empty()) return failed_write();
        *what = "Failed to read the events held for the measures: " + err;
        return false;
      }
    }
    signals_.clear();
    if (!tables.finish()) return failed_write();
    for (EventsTable& file : files) {
      if (!file.close(log_permissions_, &err)) {
        *what = "Failed to write " + file.name() + ": " + err;
        return false;
      }
    }
    if (report_ && !write_report(dir_, tables_, bin_minutes_, log_permissions_, &err)) {
      *what = "Failed to write the report: " + err;
      return false;
    }
    return true;
  }

 private:
  // Takes the measure events that a conversion writes into a log's list.
  class Events : public OutputStream {
   public:
    explicit Events(std::vector<MeasureEvent>* events) : events_(*events) {}
    bool write(const char* data, size_t size) override {
      // Whole events only: the conversion hands them over as it puts them.
      const size_t n = size / sizeof(MeasureEvent);
      const size_t at = events_.size();
      events_.resize(at + n);
      memcpy(events_.data() + at, data, n * sizeof(MeasureEvent));
      return n * sizeof(MeasureEvent) == size;
    }

   private:
    std::vector<MeasureEvent>& events_;
  };

  class Log : public LogOutput {
   public:
    Log(MeasuresOutput& output, std::string signal_id)
        : output_(output), signal_id_(std::move(signal_id)),
          events_(&measures.events) {}
    ConvertResult convert(LogConverter& converter, InputStream& input) override {
      return converter.convert_measures(input, events_);
    }
    bool can_restart() const override { return true; }
    bool restart() override {
      measures.events.clear();
      return true;
    }
    std::string error() const override { return std::string(); }
    void read(const LogRead& read) override {
      measures.whole = read.wrong.empty();
      measures.records = read.converted.records;
      measures.has_clearance_ends =
          has_clearance_ends(select_event_table(read.converted.version));
      note_detectors(&measures);
    }
    Outcome publish(std::string* message) override {
      return output_.keep(signal_id_, std::move(measures), message);
    }

    LogMeasures measures;

   private:
    MeasuresOutput& output_;
    std::string signal_id_;
    Events events_;
  };

  // Keeps a log's measures until the run is through, its events in the
  // events file: memory holds a line a log.
  Outcome keep(const std::string& signal_id, LogMeasures log, std::string* message) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string err;
    if (!log.events.empty()) {
      const size_t size = log.events.size() * sizeof(MeasureEvent);
      if ((!events_.is_open() && !create_unnamed_temp(&events_, &err)) ||
          !events_.write(reinterpret_cast<const char*>(log.events.data()), size)) {
        *message = "Failed to hold the events for the measures: " +
                   (err.empty() ? events_.error() : err);
        return Outcome::kStop;
      }
      log.offset = events_size_;
      log.count = log.events.size();
      events_size_ += size;
      std::vector<MeasureEvent>().swap(log.events);
    }
    signals_[signal_id].push_back(std::move(log));
    return Outcome::kDone;
  }

  std::string dir_, tables_;
  int bin_minutes_;
  bool report_;
  std::mutex mutex_;  // of what follows
  std::map<std::string, std::vector<LogMeasures>> signals_;  // by signal id
  File events_;  // of the logs kept
  uint64_t events_size_ = 0;
  std::atomic<unsigned> log_permissions_{07777};  // that every log has
};

// Logs and their rows, packed, into a LogSink: the database, or a
// program's own.
class SinkOutput : public Output {
 public:
  SinkOutput(LogSink* sink, Mode mode) : sink_(sink), mode_(mode), watch_(mode) {}

#ifdef QUILLON_HAVE_SQLITE
  // Opens the database `path` to load into. Returns false, with *what and
  // *status set, when it cannot be.
  bool open_database(const std::string& path, const std::string& dir,
                     std::string* what, int* status) {
    auto database = std::make_unique<ArchiveDatabase>();
    std::string err;
    DatabaseOpen opened = database->open(path, mode_, dir, &err);
    if (opened != DatabaseOpen::kOpened) {
      *what = shown(path) + ": " + err;
      *status = opened == DatabaseOpen::kRefused ? 2 : 1;
      return false;
    }
    owned_ = std::move(database);
    sink_ = owned_.get();
    return true;
  }
#endif

  bool up_to_date(const Task& task, uint64_t size,
                  int64_t mtime_ns) const override {
    // A log without a date is reported again by every run.
    LogHour hour;
    if (!log_hour_of(task.log_name, &hour)) return false;
    // The sink is not for two threads at once.
    std::lock_guard<std::mutex> lock(sink_lock_);
    uint64_t stored_size = 0;
    int64_t stored_mtime = 0;
    return sink_->stored(task.relative_path, &stored_size, &stored_mtime) &&
           stored_size == size && stored_mtime == mtime_ns;
  }

  std::unique_ptr<LogOutput> start(const Task& task, File& in,
                                   const LogHour& hour, bool,
                                   std::string*) override {
    auto rows = std::make_unique<Rows>(*this);
    LogToLoad& load = rows->load;
    load.path = task.relative_path;
    load.signal_id = task.signal_id;
    load.hour = hour;
    load.size = in.size();
    in.size_and_time(&load.size, &load.mtime_ns);
    return rows;
  }

  std::unique_ptr<LogOutput> undated(const Task& task,
                                     const std::string& closing) override {
    auto rows = std::make_unique<Rows>(*this);
    LogToLoad& load = rows->load;
    load.path = task.relative_path;
    load.signal_id = task.signal_id;
    load.dated = false;
    if (task.dir != nullptr) task.dir->stat(task.name, &load.size, &load.mtime_ns);
    rows->read({{LogEnd::kEndOfLog, 0}, closing});
    return rows;
  }

  std::string name(const Task&) const override { return shown(sink_->name()); }
  std::string note() const override { return watch_.note(); }

 private:
  class Rows : public LogOutput, Spilled {
   public:
    explicit Rows(SinkOutput& output) : output_(output) {}
    ConvertResult convert(LogConverter& converter, InputStream& input) override {
      load.header.clear();
      return converter.convert_packed(input, rows_, output_.mode_, &load.header);
    }
    bool can_restart() const override { return true; }
    bool restart() override { return Spilled::restart(); }
    std::string error() const override { return rows_.error(); }
    void read(const LogRead& read) override {
      load.version = read.converted.version;
      load.records = read.converted.records;
      load.closing = read.wrong.empty() ? "End of Controller Log"
                                        : "Error: " + read.wrong;
      prepared_ = output_.sink_->prepare(load, rows_);
    }
    Outcome publish(std::string* what) override {
      std::string err;
      if (load.dated) output_.watch_.saw(load.version);
      std::lock_guard<std::mutex> lock(output_.sink_lock_);
      if (output_.sink_->load(load, rows_, std::move(prepared_), &err))
        return Outcome::kDone;
      *what = "Failed to write " + shown(output_.sink_->name()) + ": " + err;
      return Outcome::kStop;
    }

    LogToLoad load;

   private:
    SinkOutput& output_;
    std::unique_ptr<PreparedRows> prepared_;
  };

  LogSink* sink_;
  Mode mode_;
  std::unique_ptr<LogSink> owned_;
  mutable std::mutex sink_lock_;
  NumberingWatch watch_;  // of the logs published
};

}  // namespace

std::string NumberingWatch::note() const {
  if (mode_ != Mode::kStandard || !version4_ || !others_) return std::string();
  return "Note: these logs mix version 4 with other versions, whose standard "
         "codes are numbered apart: tell them by the version column\n";
}

std::unique_ptr<Output> make_sink_output(LogSink* sink, Mode mode) {
  return std::make_unique<SinkOutput>(sink, mode);
}

std::unique_ptr<Output> make_output(const Options& options, Mode mode,
                                    const std::shared_ptr<Dir>& root,
                                    LogSink* sink, std::string* what,
                                    int* status) {
  *status = 1;
  const bool csv = options.format == OutputFormat::kCsv;
  // The two-argument run stops at the first log or CSV it cannot open; over
  // a tree, into another directory or into a table the run goes on.
  const bool fail_fast = csv && !options.recursive && options.output.empty();
  if (options.test) {
    // The formats of one table or database never change the directory.
    return std::make_unique<CheckOutput>(mode, csv && !options.keep, csv,
                                         fail_fast);
  }
  switch (options.format) {
    case OutputFormat::kCsv: {
      // The output directory of the directory argument is made first (OUT
      // with its parents); one that cannot be used shows when its logs
      // would be written.
      std::shared_ptr<Dir> out;
      std::string err;
      if (!options.output.empty()) {
        out = Dir::make(options.output, &err);
        if (out == nullptr) {
          *what = "Failed to open " + shown(options.output) + ": " + err;
          return nullptr;
        }
      } else if (root != nullptr) {
        out = root->make_child(output_dir_name(options.letter), &err);
      }
      if (out != nullptr) out->claim_for_writing();
      return std::make_unique<CsvOutput>(options, mode, std::move(out), err,
                                         fail_fast);
    }
    case OutputFormat::kEvents: {
      auto table = std::make_unique<TableOutput>(mode, options.max_log_size,
                                                 options.columns);
      if (!table->open(options.output, options.logs, what)) return nullptr;
      return table;
    }
    case OutputFormat::kSqlite: {
      auto database = std::make_unique<SinkOutput>(sink, mode);
#ifdef QUILLON_HAVE_SQLITE
      // The logs' paths are below the directory argument: its one canonical
      // path however it is spelled (none when it cannot be opened, and so
      // no log loaded).
      const std::string dir =
          root != nullptr ? canonical_path(options.dir) : std::string();
      if (!database->open_database(options.output, dir, what, status))
        return nullptr;
#endif
      return database;
    }
    case OutputFormat::kRows:
      return std::make_unique<SinkOutput>(sink, mode);
    case OutputFormat::kMeasures:
      return std::make_unique<MeasuresOutput>(options.output, options.bin_minutes, false);
    case OutputFormat::kReport:
      return std::make_unique<MeasuresOutput>(options.output, options.bin_minutes, true);
  }
  return nullptr;
}
