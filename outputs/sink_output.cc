#include "outputs/sink_output.h"

#include <mutex>
#include <utility>

#ifdef QUILLON_HAVE_SQLITE
#include "outputs/database.h"
#endif
#include "logs/messages.h"
#include "logs/names.h"

namespace {

// Logs and their rows, packed, into a LogSink: the database, or a
// program's own.
class SinkOutput : public Output {
 public:
  SinkOutput(LogSink* sink, Mode mode) : sink_(sink), mode_(mode), watch_(mode) {}

#ifdef QUILLON_HAVE_SQLITE
  // Opens the database `path` to load into. Returns false, with *what and
  // *status set, when it cannot be.
  bool open_database(const std::string& path, const std::string& dir,
                     std::shared_ptr<const TimeZone> zone, BeforeCommit before_commit,
                     std::string* what, int* status) {
    auto database = std::make_unique<ArchiveDatabase>();
    if (before_commit) database->hold_transaction(std::move(before_commit));
    std::string err;
    DatabaseOpen opened = database->open(path, mode_, dir, &err, std::move(zone));
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
    // A log without a date is reported once, as a damaged one is: it is
    // stored with its size and time. The sink is not for two threads at
    // once.
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
    load.second_pass = task.second_pass;
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

  bool finish(bool stopped, bool, std::string* what) override {
    // A run that stopped leaves what it loaded as it is.
    if (stopped) return true;
    std::lock_guard<std::mutex> lock(sink_lock_);
    std::string err;
    if (sink_->finish(&err)) return true;
    *what = "Failed to write " + shown(sink_->name()) + ": " + err;
    return false;
  }

 private:
  class Rows : public LogOutput, SpilledRows {
   public:
    explicit Rows(SinkOutput& output) : output_(output) {}
    ConvertResult convert(LogConverter& converter, InputStream& input) override {
      load.header.clear();
      return converter.convert_packed(input, rows_, output_.mode_, &load.header);
    }
    bool can_restart() const override { return true; }
    bool restart() override { return SpilledRows::restart(); }
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

std::unique_ptr<Output> make_sink_output(LogSink* sink, Mode mode) {
  return std::make_unique<SinkOutput>(sink, mode);
}

std::unique_ptr<Output> make_database_output(const std::string& path, Mode mode,
                                             const std::string& dir,
                                             std::string* what, int* status,
                                             std::shared_ptr<const TimeZone> zone,
                                             BeforeCommit before_commit) {
  auto database = std::make_unique<SinkOutput>(nullptr, mode);
#ifdef QUILLON_HAVE_SQLITE
  if (!database->open_database(path, dir, std::move(zone), std::move(before_commit), what,
                               status))
    return nullptr;
#else
  (void)path, (void)dir, (void)what, (void)status, (void)zone, (void)before_commit;
#endif
  return database;
}
