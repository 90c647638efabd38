#include "outputs/measures_output.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "logs/messages.h"
#include "measures/measures.h"
#include "outputs/measures_kept.h"
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
                 HeldFiles* held, std::string update, ChangedMeasures* changed)
      : dir_(std::move(dir)), below_(std::move(below)), settings_(settings), held_(held),
        update_(std::move(update)), changed_(changed) {}

  bool up_to_date(const Task& task, uint64_t size, int64_t mtime_ns) const override {
    if (update_.empty()) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    load_kept();
    const KeptLog* log = nullptr;
    if (measured_again_.count(task.signal_id) == 0) {
      // Both lists are sorted.
      auto signal = std::lower_bound(
          kept_.signals.begin(), kept_.signals.end(), task.signal_id,
          [](const KeptSignal& s, const std::string& id) { return s.id < id; });
      if (signal != kept_.signals.end() && signal->id == task.signal_id) {
        auto it = std::lower_bound(
            signal->logs.begin(), signal->logs.end(), task.relative_path,
            [](const KeptLog& l, const std::string& path) { return l.path < path; });
        if (it != signal->logs.end() && it->path == task.relative_path) log = &*it;
      }
    }
    if (log == nullptr || log->size != size || log->mtime_ns != mtime_ns) {
      seen_[task.relative_path] = {size, mtime_ns};  // kept if it is measured
      return false;
    }
    left_[task.signal_id].push_back(task);
    return true;
  }

  std::vector<Task> tasks_again() override {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Task> again;
    for (KeptSignal& kept : kept_.signals) {
      auto left = left_.find(kept.id);
      if (left == left_.end()) continue;  // none of its logs is there
      // It goes on from where it was where every log it had is there as it
      // was, and those read since are later, with no other detector.
      bool goes_on = left->second.size() == kept.logs.size();
      uint64_t detectors[4];
      std::copy(std::begin(kept.at.detectors), std::end(kept.at.detectors), detectors);
      auto read = signals_.find(kept.id);
      if (read != signals_.end()) {
        for (const LogMeasures& log : read->second) {
          if (!log.dated) continue;
          goes_on &= kept.at.last_start == kNoHour || log.start > kept.at.last_start;
          for (int w = 0; w < 4; ++w) detectors[w] |= log.detectors[w];
        }
      }
      goes_on &= std::equal(std::begin(detectors), std::end(detectors), kept.at.detectors);
      if (goes_on) {
        going_on_[kept.id] = &kept;
        continue;
      }
      measured_again_.insert(kept.id);
      for (Task& task : left->second) again.push_back(std::move(task));
    }
    left_.clear();
    return again;
  }

  std::unique_ptr<LogOutput> start(const Task& task, File& in,
                                   const LogHour& hour, bool,
                                   std::string*) override {
    // The tables are readable by no more users than each of their logs.
    log_permissions_.fetch_and(in.permissions());
    auto log = std::make_unique<Log>(*this, task.signal_id);
    log->measures.path = task.relative_path;
    log->measures.hour = hour;
    log->second_pass = task.second_pass;
    log->measures.start = settings_.zone != nullptr
                              ? ZonedHour(*settings_.zone, hour, task.second_pass).start()
                              : hour_start(hour);
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
    // -u where no log came, changed or went: the tables stay as they are,
    // and so do their times.
    if (kept_used_ && signals_.empty() && measured_again_.empty() &&
        going_on_.size() == kept_.signals.size()) {
      if (changed_ != nullptr) {
        changed_->was = changed_->now = kept_.generation;
        for (const KeptSignal& kept : kept_.signals) {
          changed_->signals[kept.id] = {kNever, kept.at.rows};
          changed_->places[kept.id] = {kept.start, kept.at.before};
        }
        changed_->sizes = kept_.sizes;
      }
      return true;
    }
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
        if (log.dated) last_hour = std::max(last_hour, log.start + log.clock.went_back);
    // -u: those left alone count too.
    for (const auto& [signal, kept] : going_on_)
      last_hour = std::max(last_hour, kept->at.last_start);
    MeasureTables tables(settings_, out, last_hour);
    // With -u, the signals that go on from where they were count too, and
    // where each stands is kept.
    const bool update = !update_.empty();
    std::set<std::string> ids;
    for (const auto& [signal, logs] : signals_) ids.insert(signal);
    for (const auto& [signal, kept] : going_on_) ids.insert(signal);
    std::vector<File> old(kMeasureSchema.size());  // the tables they go on from
    KeptMeasures now;
    // The signals that went on: where they were kept, and their place in `now`.
    std::vector<std::pair<const KeptSignal*, size_t>> going_on;
    now.options = update_;
    // Random: a state made anew after a damaged one takes no number it had.
    now.generation = (uint64_t{std::random_device()()} << 32 | std::random_device()()) | 1;
    if (changed_ != nullptr) {
      changed_->was = kept_used_ ? kept_.generation : 0;
      changed_->now = now.generation;
    }
    for (const std::string& signal : ids) {
      std::vector<LogMeasures> logs;
      auto read = signals_.find(signal);
      if (read != signals_.end()) logs = std::move(read->second);
      KeptSignal* kept = nullptr;
      if (auto k = going_on_.find(signal); k != going_on_.end()) kept = k->second;
      KeptSignal next;
      if (update) {
        next.id = signal;
        if (kept != nullptr) next.logs = kept->logs;
        for (const LogMeasures& log : logs) {
          auto seen = seen_.find(log.path);
          if (log.dated && seen != seen_.end())
            next.logs.push_back({log.path, seen->second.first, seen->second.second});
        }
        next.start.assign(kMeasureSchema.size(), 0);
        for (size_t i = 0; i < kMeasureSchema.size(); ++i) next.start[i] = tables.written(i);
      }
      // Only the rows written anew: those before are where the caller
      // holds them.
      const bool only_new = changed_ != nullptr && changed_->only_new;
      if (kept != nullptr && !only_new && !copy_rows_before(*kept, dir, out, &old, &tables, what)) {
        if (what->empty()) return failed_write();
        return false;
      }
      // Where it stood, its states unpacked.
      SignalCheckpoint from;
      if (kept != nullptr) {
        from = kept->at;
        if (!unpack_states(kept->states, &from)) {
          *what = "Failed to read " + shown(dir->path_of(kKeptMeasuresName)) + ": it is damaged";
          return false;
        }
      }
      if (!tables.add_signal(signal, std::move(logs), &events_, &err,
                             kept != nullptr ? &from : nullptr, update ? &next.at : nullptr)) {
        if (err.empty()) return failed_write();
        *what = "Failed to read the events held for the measures: " + err;
        return false;
      }
      if (kept != nullptr)
        for (size_t i = 0; i < kMeasureSchema.size(); ++i) {
          next.at.before[i] += kept->at.before[i];
          next.at.rows[i] += kept->at.before[i];
        }
      if (kept != nullptr) going_on.push_back({kept, now.signals.size()});
      if (update) {
        pack_states(&next.at, &next.states);
        now.signals.push_back(std::move(next));
      }
    }
    signals_.clear();
    notes_ = kept_note_ + tables.notes();
    if (!tables.finish()) return failed_write();
    for (auto& file : files) {
      if (!file->finish(log_permissions_, &err)) {
        *what = "Failed to write " + file->name() + ": " + err;
        return false;
      }
    }
    if (update) {
      // Kept last, with the size and time of each table as written: tables
      // that are not those it describes are measured again.
      size_t f = 0;
      for (size_t i = 0; i < kMeasureSchema.size(); ++i) {
        uint64_t size = UINT64_MAX;
        int64_t mtime = 0;
        if (out[i] != nullptr && !dir->stat(files[f++]->temp_name(), &size, &mtime)) {
          *what = "Failed to write " + files[f - 1]->name() + ": it is gone";
          return false;
        }
        now.sizes.push_back(size);
        now.mtimes.push_back(mtime);
      }
      if (changed_ != nullptr) {
        // The first day whose rows may differ from the last run's, for the
        // report: the earliest of the rows each run wrote after where the
        // signal stood. Not told (kNoHour) where the tables hold only the
        // rows written anew: the rows before are not in them.
        const bool told = !changed_->only_new;
        std::vector<File> written(kMeasureSchema.size());
        for (size_t i = 0, f = 0; i < kMeasureSchema.size() && told; ++i)
          if (out[i] != nullptr && !dir->open_file(files[f++]->temp_name(), &written[i], &err)) {
            *what = "Failed to read " + files[f - 1]->name() + ": " + err;
            return false;
          }
        for (const auto& [kept, at] : going_on) {
          const KeptSignal& next = now.signals[at];
          int64_t first = told ? kNever : kNoHour;
          for (size_t i = 0; i < kMeasureSchema.size() && told; ++i) {
            if (out[i] == nullptr) continue;
            const uint64_t from = kept->at.before[i];
            if (!earliest_day(kMeasureSchema[i], old[i], dir, kept->start[i] + from,
                              kept->at.rows[i] - from, &first, what) ||
                !earliest_day(kMeasureSchema[i], written[i], nullptr, next.start[i] + from,
                              next.at.rows[i] - from, &first, what))
              return false;
          }
          changed_->signals[kept->id] = {first, kept->at.before};
        }
        for (const KeptSignal& next : now.signals)
          changed_->places[next.id] = {next.start, next.at.before};
        changed_->sizes = now.sizes;
      }
      // Closed before the new tables take their names: Windows replaces no
      // file that is open.
      for (File& file : old) file.close();
      // For the database, the state gone on from too, before the new one:
      // where the database did not take the new tables (a run killed
      // before it committed), the next run goes on from that one.
      std::vector<std::pair<std::string, std::string>> kept;
      if (changed_ != nullptr && changed_->only_new && kept_used_)
        kept.push_back({kKeptBeforeName, kept_bytes_});
      kept.push_back({kKeptMeasuresName, encode_kept(now)});
      for (const auto& [name, bytes] : kept) {
        files.push_back(std::make_unique<PublishedFile>());
        if (!files.back()->open_in(dir, name, &err) ||
            !files.back()->write(bytes.data(), bytes.size()) ||
            !files.back()->finish(0600, &err)) {
          *what = "Failed to write " + shown(dir->path_of(name)) + ": " +
                  (err.empty() ? files.back()->error() : err);
          return false;
        }
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
  // Reads what the run that made the tables kept, once, where -u asks: a
  // state of other options, or tables that are not those it describes,
  // are not used and the note says why.
  void load_kept() const {
    if (kept_loaded_) return;
    kept_loaded_ = true;
    std::string err, why;
    std::shared_ptr<Dir> dir = Dir::open(tables_path(), &err);
    // The bytes of the file `name` of the tables' directory; false where
    // it cannot be read.
    auto read_kept = [&dir](const char* name, std::string* bytes) {
      File file;
      std::string ignored;
      if (dir == nullptr || !dir->open_file(name, &file, &ignored)) return false;
      for (char piece[1 << 16];;) {
        const long long n = file.read(piece, sizeof piece);
        if (n < 0) return false;
        if (n == 0) return true;
        bytes->append(piece, static_cast<size_t>(n));
      }
    };
    std::string bytes;
    if (!read_kept(kKeptMeasuresName, &bytes)) return;
    // For the database, which holds the rows before: the tables are not
    // read, and the state must be the one whose tables it took last.
    const bool only_new = changed_ != nullptr && changed_->only_new;
    KeptMeasures kept;
    if (!decode_kept(bytes, &kept, &why)) {
      why = "what the last run kept (" + std::string(kKeptMeasuresName) + ") is damaged";
    } else if (const std::string option = changed_option(kept.options, update_); !option.empty()) {
      why = "they were made with another " + option;
    } else if (only_new && kept.generation != changed_->loaded) {
      // The run before it, where the database did not take the last run's.
      KeptMeasures before;
      std::string before_bytes, ignored;
      if (read_kept(kKeptBeforeName, &before_bytes) && decode_kept(before_bytes, &before, &ignored) &&
          before.generation == changed_->loaded && changed_option(before.options, update_).empty()) {
        kept = std::move(before);
        bytes = std::move(before_bytes);
      } else {
        why = "the database holds the measures of another run";
      }
    } else if (kept.sizes.size() != kMeasureSchema.size() ||
               kept.mtimes.size() != kMeasureSchema.size()) {
      why = "what the last run kept (" + std::string(kKeptMeasuresName) + ") is damaged";
    } else {
      for (size_t i = 0; i < kMeasureSchema.size() && why.empty() && !only_new; ++i) {
        if (kept.sizes[i] == UINT64_MAX) continue;
        const std::string name = std::string(kMeasureSchema[i].name) + ".csv";
        uint64_t size = 0;
        int64_t mtime = 0;
        if (!dir->stat(name, &size, &mtime) || size != kept.sizes[i] || mtime != kept.mtimes[i])
          why = name + " changed since the last run with -u";
      }
    }
    if (!why.empty()) {
      kept_note_ = "Note: every log is measured again for " + shown(tables_path()) + ": " +
                   why + "\n";
      return;
    }
    kept_ = std::move(kept);
    kept_used_ = true;
    if (only_new) kept_bytes_ = std::move(bytes);
    // Sorted, to be searched: a signal's logs, a line each, are a year's
    // 8,760 lines, and an archive holds thousands of signals.
    auto by_id = [](const KeptSignal& a, const KeptSignal& b) { return a.id < b.id; };
    std::sort(kept_.signals.begin(), kept_.signals.end(), by_id);
    for (KeptSignal& signal : kept_.signals)
      std::sort(signal.logs.begin(), signal.logs.end(),
                [](const KeptLog& a, const KeptLog& b) { return a.path < b.path; });
  }

  // Gives `tables` the rows of the signal `kept` up to where it stands, from
  // the table files of the run that kept it, opened into *old as needed.
  // Returns false with *what set when one cannot be opened, and with *what
  // empty where a copy failed (the new table's error says why, a failed
  // read's too).
  bool copy_rows_before(const KeptSignal& kept, const std::shared_ptr<Dir>& dir,
                        const std::vector<OutputStream*>& out, std::vector<File>* old,
                        MeasureTables* tables, std::string* what) {
    what->clear();
    std::string err;
    std::vector<size_t> copied;  // the tables with rows to copy, the largest first
    for (size_t i = 0; i < kMeasureSchema.size(); ++i) {
      if (out[i] == nullptr || kept.at.before[i] == 0) continue;
      const std::string name = std::string(kMeasureSchema[i].name) + ".csv";
      File& file = (*old)[i];
      if (!file.is_open() && !dir->open_file(name, &file, &err)) {
        *what = "Failed to read " + shown(dir->path_of(name)) + ": " + err;
        return false;
      }
      copied.push_back(i);
    }
    std::stable_sort(copied.begin(), copied.end(),
                     [&](size_t a, size_t b) { return kept.at.before[a] > kept.at.before[b]; });
    // In two halves of about the same size, one on a thread of its own
    // where the run has two: each table is its own file, and the copy is
    // most of a -u run's time.
    std::vector<size_t> halves[2];
    uint64_t sizes[2] = {0, 0};
    const int ways = settings_.jobs > 1 ? 2 : 1;
    for (size_t i : copied) {
      const int h = ways == 2 && sizes[1] < sizes[0] ? 1 : 0;
      halves[h].push_back(i);
      sizes[h] += kept.at.before[i];
    }
    auto copy = [&](int h) {
      for (size_t i : halves[h])
        if (!tables->copy_rows(i, (*old)[i], kept.start[i], kept.at.before[i])) return false;
      return true;
    };
    bool second = true;
    std::thread other;
    if (!halves[1].empty()) other = std::thread([&] { second = copy(1); });
    const bool first = copy(0);
    if (other.joinable()) other.join();
    return first && second;
  }

  // Lowers *first to the earliest day of the rows of `table` that lie in
  // `file` (opened from `dir` where it is not open) at `offset`, `size`
  // bytes. Returns false, with *what set, where they cannot be read.
  bool earliest_day(const MeasureTableDef& table, File& file, const std::shared_ptr<Dir>& dir,
                    uint64_t offset, uint64_t size, int64_t* first, std::string* what) const {
    if (size == 0) return true;
    const std::string name = std::string(table.name) + ".csv";
    std::string err;
    if (!file.is_open() && !dir->open_file(name, &file, &err)) {
      *what = "Failed to read " + shown(dir->path_of(name)) + ": " + err;
      return false;
    }
    std::string text = measure_header(table);
    const size_t header = text.size();
    text.resize(header + static_cast<size_t>(size));
    if (!file.read_at(offset, &text[header], static_cast<size_t>(size))) {
      *what = "Failed to read " + name + ": " + file.error();
      return false;
    }
    std::vector<MeasureColumn> columns;
    if (!read_measure_table(table, text, &columns, &err)) {
      *first = kNoHour;  // unreadable: every day
      return true;
    }
    // In a zone the times are instants, and their day on the zone's clocks
    // the one before at the earliest.
    const int64_t earlier = settings_.zone != nullptr ? 1 : 0;
    for (const MeasureColumn& column : columns) {
      if (column.def->kind != ColumnKind::kTime) continue;
      for (int64_t t : column.values)
        if (t != MeasureColumn::kMissing) *first = std::min(*first, day_of(t) - earlier);
      break;
    }
    return true;
  }

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
    bool second_pass = false;  // Task::second_pass
    ConvertResult convert(LogConverter& converter, InputStream& input) override {
      // In a zone, a log whose offset changes within it has its records'
      // times moved to real time as they are read.
      if (const TimeZone* zone = output_.settings_.zone.get(); zone != nullptr && measures.dated) {
        ZonedHour zoned(*zone, measures.hour, second_pass);
        if (!zoned.constant()) return converter.convert_measures(input, events_, &zoned);
      }
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
  std::string update_;  // -u: the options the tables depend on; else empty
  // -u: what changed of each signal that went on from where it stood; or
  // null.
  ChangedMeasures* changed_;
  std::string notes_;  // of the measures, once written
  mutable std::mutex mutex_;  // of what follows
  // -u: what the last run kept, and why it is not used; the logs to be
  // read (size, time) by path; the logs left alone as up to date, by signal; the signals measured from their first log, and
  // those that go on from where they were.
  mutable bool kept_loaded_ = false;
  mutable bool kept_used_ = false;  // what was kept is gone on from
  mutable std::string kept_bytes_;  // its file's bytes, where the database asks
  mutable KeptMeasures kept_;
  mutable std::string kept_note_;
  mutable std::map<std::string, std::pair<uint64_t, int64_t>> seen_;
  mutable std::map<std::string, std::vector<Task>> left_;
  std::set<std::string> measured_again_;
  std::map<std::string, KeptSignal*> going_on_;
  std::map<std::string, std::vector<LogMeasures>> signals_;  // by signal id
  File events_;  // of the logs kept
  uint64_t events_size_ = 0;
  size_t held_size_ = 0;  // of the events held in memory
  std::atomic<unsigned> log_permissions_{07777};  // that every log has
};

}  // namespace

std::unique_ptr<Output> make_measures_output(std::string dir, const MeasureSettings& settings,
                                             std::string below, HeldFiles* held,
                                             std::string update,
                                             ChangedMeasures* changed) {
  return std::make_unique<MeasuresOutput>(std::move(dir), std::move(below), settings, held,
                                          std::move(update), changed);
}
