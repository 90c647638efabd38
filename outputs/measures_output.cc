#include "outputs/measures_output.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "logs/messages.h"
#include "measures/measures.h"
#include "outputs/published_file.h"

namespace {

// The signal performance measures: each log's events read where its task
// runs, every signal's measured in time order once the run is through, the
// tables written into a directory.
class MeasuresOutput : public Output {
 public:
  /// The tables go into the directory `dir` (or its sub-directory `below`),
  /// taken as `settings` says.
  MeasuresOutput(std::string dir, std::string below, const MeasureSettings& settings,
                 HeldFiles* held)
      : dir_(std::move(dir)), below_(std::move(below)), settings_(settings), held_(held) {}

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

  std::unique_ptr<LogOutput> undated(const Task& task, const std::string& closing) override {
    // A row of logs.csv, with no hour.
    auto log = std::make_unique<Log>(*this, task.signal_id);
    log->measures.path = task.relative_path;
    log->measures.dated = false;
    log->read({{LogEnd::kEndOfLog, 0}, closing});
    return log;
  }

  std::string name(const Task&) const override { return shown(tables_path()); }

  // A log's events are few and handed over as they come: threads gain
  // from logs a sixteenth the size of those whose rows are written.
  uint64_t worth_threads() const override { return kTextWorthThreads / 16; }

  // A log read ahead holds all its events in memory until it is handed
  // over (a text output's hold a bounded piece): half as many ahead, which
  // a busy core's delay would otherwise pile up.
  size_t logs_ahead() const override { return kTextLogsAhead / 2; }

  std::string note() const override { return notes_; }

  bool finish(bool stopped, bool, std::string* what) override {
    // Tables of every log or none: a run that stops leaves earlier ones.
    if (stopped) return true;
    std::string err;
    std::shared_ptr<Dir> dir = Dir::make(dir_, &err);
    if (dir != nullptr && !below_.empty()) dir = dir->make_child(below_, &err);
    if (dir == nullptr) {
      *what = "Failed to open " + shown(tables_path()) + ": " + err;
      return false;
    }
    dir->claim_for_writing();
    // Every table is written whole under a temporary name before any takes
    // its own: a failure leaves the earlier set as it was (those not yet
    // written are removed as they go).
    std::vector<std::unique_ptr<PublishedFile>> files;
    std::vector<OutputStream*> out;
    for (const MeasureTableDef& table : kMeasureSchema) {
      // A map's tables only with a map.
      if (table.mapped && settings_.detectors == nullptr) {
        out.push_back(nullptr);
        continue;
      }
      const std::string name = std::string(table.name) + ".csv";
      files.push_back(std::make_unique<PublishedFile>());
      if (!files.back()->open_in(dir, name, &err)) {
        *what = "Failed to write " + shown(dir->path_of(name)) + ": " + err;
        return false;
      }
      out.push_back(files.back().get());
    }
    // The name of the table that refused a write, with its reason.
    auto failed_write = [&files, what]() {
      for (const auto& file : files)
        if (!file->error().empty()) *what = "Failed to write " + file->name() + ": " + file->error();
      return false;
    };
    // Each signal's hours after its last log are missing up to the run's
    // last hour.
    int64_t last_hour = settings_.last_hour;
    for (const auto& [signal, logs] : signals_)
      for (const LogMeasures& log : logs)
        if (log.dated) last_hour = std::max(last_hour, hour_start(log.hour));
    MeasureTables tables(settings_, out, last_hour);
    for (auto& [signal, logs] : signals_) {
      if (!tables.add_signal(signal, std::move(logs), &events_, &err)) {
        if (err.empty()) return failed_write();
        *what = "Failed to read the events held for the measures: " + err;
        return false;
      }
    }
    signals_.clear();
    notes_ = tables.notes();
    if (!tables.finish()) return failed_write();
    for (auto& file : files) {
      if (!file->finish(log_permissions_, &err)) {
        *what = "Failed to write " + file->name() + ": " + err;
        return false;
      }
    }
    if (held_ != nullptr) {
      for (auto& file : files) held_->hold(std::move(file));
      return true;
    }
    HeldFiles written;
    for (auto& file : files) written.hold(std::move(file));
    if (!written.publish_all(&err)) {
      *what = "Failed to write " + err;
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
      measures.covered = read.wrong.empty();
      measures.records = read.converted.records;
      measures.version = read.converted.version;
      measures.closing = read.wrong.empty() ? "End of Controller Log" : "Error: " + read.wrong;
      measures.clock = read.converted.clock;
      measures.kinds = signal_events(select_event_table(read.converted.version)).kinds;
      std::copy(std::begin(read.converted.clock.detectors), std::end(read.converted.clock.detectors),
                std::begin(measures.detectors));
      measures.detectors_noted = true;
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

  // Keeps a log's measures until the run is through, its events in memory
  // while the run's held there are few, else in the events file: memory
  // holds a line a log and those few. Held, a signal day's events are
  // neither written nor read back by each thread of its tables.
  Outcome keep(const std::string& signal_id, LogMeasures log, std::string* message) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string err;
    // Held with the room reserved for them, which copying them into less
    // would touch as much memory again.
    const size_t room = log.events.capacity() * sizeof(MeasureEvent);
    if (!log.events.empty() && held_size_ + room <= settings_.held_events) {
      held_size_ += room;
    } else if (!log.events.empty()) {
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
      // The room reserved for the events goes too, used or not.
      std::vector<MeasureEvent>().swap(log.events);
    }
    signals_[signal_id].push_back(std::move(log));
    return Outcome::kDone;
  }

  // Where the tables go, as messages show it.
  std::string tables_path() const { return below_.empty() ? dir_ : join_path(dir_, below_); }

  std::string dir_, below_;
  MeasureSettings settings_;
  HeldFiles* held_;  // where the tables go once written, or null
  std::string notes_;  // of the measures, once written
  std::mutex mutex_;  // of what follows
  std::map<std::string, std::vector<LogMeasures>> signals_;  // by signal id
  File events_;  // of the logs kept
  uint64_t events_size_ = 0;
  size_t held_size_ = 0;  // of the events held in memory
  std::atomic<unsigned> log_permissions_{07777};  // that every log has
};

}  // namespace

std::unique_ptr<Output> make_measures_output(std::string dir, const MeasureSettings& settings,
                                             std::string below, HeldFiles* held) {
  return std::make_unique<MeasuresOutput>(std::move(dir), std::move(below), settings, held);
}
