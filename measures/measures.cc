#include "measures/measures.h"

#include <algorithm>
#include <mutex>
#include <thread>

#include "logconv/convert_log.h"

void note_detectors(LogMeasures* log) {
  for (const MeasureEvent& e : log->events)
    if (e.kind == SignalEvent::kDetector && e.on)
      log->detectors[e.value / 64] |= uint64_t{1} << (e.value % 64);
}

namespace {

// Deals the events of a log to the measures that take their kind, a piece
// at a time, and lets each take its share in one call: a virtual call an
// event cost a tenth of the run.
class Dealer {
 public:
  static constexpr size_t kPiece = 1 << 12;  // events dealt at once: 32 KiB a measure

  /// Deals to `measures` pieces of `most` events or fewer.
  Dealer(const std::vector<std::unique_ptr<Measure>>& measures, size_t most)
      : measures_(measures), ends_(measures.size()) {
    // The shares' room is left unset: filling it cost as much again.
    for (size_t i = 0; i < measures.size(); ++i) shares_.emplace_back(new MeasureEvent[most]);
    // A list of the ends of the shares of the measures that `takes`, with a
    // null after it; returns where it starts in slots_.
    auto list = [&](auto takes) {
      const size_t start = slots_.size();
      for (size_t i = 0; i < measures.size(); ++i)
        if (takes(*measures[i])) slots_.push_back(&ends_[i]);
      slots_.push_back(nullptr);
      return start;
    };
    size_t kind_start[kSignalEventKinds], channel_start[2][256];
    for (int k = 0; k < kSignalEventKinds; ++k)
      kind_start[k] = list([k](const Measure& m) { return (m.kinds() >> k & 1) != 0; });
    // A detector's events go only to the measures of its channel: the
    // map's tables take a few channels each, and dealing them every
    // channel's cost as much as the tables.
    for (int on = 0; on < 2; ++on) {
      const int k = static_cast<int>(on ? SignalEvent::kDetector : SignalEvent::kDetectorOff);
      for (int channel = 0; channel < 256; ++channel)
        channel_start[on][channel] = list([k, channel](const Measure& m) {
          return (m.kinds() >> k & 1) != 0 && m.takes_channel(channel);
        });
    }
    const size_t none = slots_.size();
    slots_.push_back(nullptr);
    for (int k = 0; k < kSignalEventKinds; ++k) takers_[k] = &slots_[kind_start[k]];
    takers_[kSignalEventKinds] = &slots_[none];
    for (int on = 0; on < 2; ++on)
      for (int channel = 0; channel < 256; ++channel)
        channel_takers_[on][channel] = &slots_[channel_start[on][channel]];
    for (size_t i = 0; i < measures.size(); ++i) ends_[i] = shares_[i].get();
  }

  /// Has the measures take `events` of a log whose hour starts at `start`.
  /// Where the clock went back (an event of no kind marks it), every
  /// measure is cut: nothing pairs across the step.
  void deal(std::span<const MeasureEvent> events, int64_t start) {
    for (size_t done = 0; done < events.size(); done += kPiece) {
      for (const MeasureEvent& e : events.subspan(done, std::min(kPiece, events.size() - done))) {
        if (e.kind == SignalEvent::kNone) {
          hand_out(start);
          for (const auto& m : measures_) m->cut();
          continue;
        }
        MeasureEvent** const* end =
            e.kind == SignalEvent::kDetector      ? channel_takers_[1][e.value]
            : e.kind == SignalEvent::kDetectorOff ? channel_takers_[0][e.value]
                                                  : takers_[static_cast<int>(e.kind)];
        for (; *end != nullptr; ++end) *(**end)++ = e;
      }
      hand_out(start);
    }
  }

 private:
  // Has each measure take its share dealt so far, and starts them anew.
  void hand_out(int64_t start) {
    for (size_t i = 0; i < measures_.size(); ++i) {
      if (ends_[i] != shares_[i].get()) measures_[i]->take({shares_[i].get(), ends_[i]}, start);
      ends_[i] = shares_[i].get();
    }
  }

  const std::vector<std::unique_ptr<Measure>>& measures_;
  std::vector<std::unique_ptr<MeasureEvent[]>> shares_;  // by measure
  std::vector<MeasureEvent*> ends_;                      // of each share
  // The ends of the shares of each kind's measures, in a list that a null
  // ends.
  std::vector<MeasureEvent**> slots_;
  MeasureEvent** const* takers_[kSignalEventKinds + 1];  // by kind
  MeasureEvent** const* channel_takers_[2][256];  // a detector's: by off/on, channel
};

}  // namespace

MeasureTables::MeasureTables(const MeasureSettings& settings,
                             std::span<OutputStream* const> out, int64_t last_hour)
    : settings_(settings),
      last_hour_(last_hour),
      out_(out.begin(), out.end()) {
  for (size_t i = 0; i < kMeasureSchema.size(); ++i)
    text_.push_back(out_[i] != nullptr ? measure_header(kMeasureSchema[i]) : std::string());
  flushed_.assign(text_.size(), 0);
}

bool MeasureTables::copy_rows(size_t table, File& from, uint64_t offset, uint64_t size) {
  // What is held goes first; the rows go straight from file to file.
  if (!flush({table}, true) || !out_[table]->copy_from(from, offset, size)) return false;
  flushed_[table] += size;
  return true;
}

bool MeasureTables::add_text(size_t table, std::string_view text) {
  text_[table] += text;
  return flush({table}, false);
}

namespace {

// Whether `a` is measured rather than `b`, a log of the same hour: a
// covered one over a damaged one, then the one with more records.
bool measured_over(const LogMeasures& a, const LogMeasures& b) {
  if (a.covered != b.covered) return a.covered;
  return a.records > b.records;
}

// " N time(s)".
std::string times(uint64_t n) {
  return std::to_string(n) + (n == 1 ? " time" : " times");
}

}  // namespace

bool MeasureTables::add_signal(const std::string& signal_id,
                               std::vector<LogMeasures> logs, File* events,
                               std::string* err, const SignalCheckpoint* from,
                               SignalCheckpoint* at_end) {
  err->clear();
  // The dated logs by their hour, those of an hour in the walk's order;
  // the undated after them.
  const auto undated = std::stable_partition(logs.begin(), logs.end(),
                                             [](const LogMeasures& l) { return l.dated; });
  for (auto log = logs.begin(); log != undated; ++log)
    if (log->start == INT64_MIN) log->start = hour_start(log->hour);
  std::stable_sort(logs.begin(), undated, [](const LogMeasures& a, const LogMeasures& b) {
    return a.start < b.start;
  });
  std::vector<SignalContext> contexts(kMeasureSchema.size());
  uint64_t detectors[4] = {};
  if (from != nullptr) std::copy(std::begin(from->detectors), std::end(from->detectors), detectors);
  for (auto log = logs.begin(); log != undated; ++log) {
    // Noted where the conversion did not (a pass over the events).
    if (!log->detectors_noted) note_detectors(&*log);
    for (int w = 0; w < 4; ++w) detectors[w] |= log->detectors[w];
  }
  // The signal's channels in the map, which are detectors that should be
  // there whether they actuate or not.
  const std::map<int, MappedDetector>* map = nullptr;
  if (settings_.detectors != nullptr) {
    auto it = settings_.detectors->find(signal_id);
    if (it != settings_.detectors->end()) map = &it->second;
  }
  if (map != nullptr)
    for (const auto& [channel, d] : *map) detectors[channel / 64] |= uint64_t{1} << (channel % 64);
  for (size_t i = 0; i < contexts.size(); ++i) {
    SignalContext& c = contexts[i];
    c.map = map;
    if (map != nullptr)
      for (const auto& [channel, d] : *map) c.mapped[channel] = &d;
    c.red_tenths = int64_t{settings_.red_seconds} * 10;
    c.split_failure_percent = settings_.split_failure_percent;
    c.field = csv_field(signal_id);
    c.bin = settings_.bin_minutes * 600;
    c.gap = int64_t{settings_.gap_hours} * kTenthsPerHour;
    c.stuck_tenths = int64_t{settings_.stuck_on_minutes} * 600;
    c.chatter_pairs = settings_.chatter_pairs;
    c.chatter_tenths = settings_.chatter_tenths;
    c.last_hour = last_hour_;
    c.offsets = OffsetCache(settings_.zone.get());
    for (int d = 0; d < 256; ++d) c.detector_seen[d] = detectors[d / 64] >> (d % 64) & 1;
    c.out = &text_[i];
  }
  // The logs measured, in time order, each with what comes before it: a
  // break, and the logs of its hour that are not measured.
  struct Step {
    LogMeasures* log;
    int64_t start, previous;  // where its hour starts, and the last hour before
    bool cut;
    std::vector<const LogMeasures*> others;
  };
  std::vector<Step> steps;
  // The last log measured before them, where an earlier run measured it.
  LogMeasures before;
  if (from != nullptr && from->last_start != kNoHour) {
    before.clock.last = from->last_clock;
    before.covered = from->last_covered;
    steps.push_back({&before, from->last_start, from->last_start, false, {}});
  }
  const size_t first_step = steps.size();
  for (auto group = logs.begin(); group != undated;) {
    // One log an hour is measured; the others are as if they were not
    // there.
    const int64_t start = group->start;
    auto group_end = group;
    LogMeasures* log = &*group;
    while (group_end != undated && group_end->start == start) {
      if (measured_over(*group_end, *log)) log = &*group_end;
      ++group_end;
    }
    log->steps_back = log->clock.steps_back;
    log->largest_step_back = log->clock.largest_step;
    Step step{log, start, start, false, {}};
    if (!steps.empty()) {
      const LogMeasures* previous = steps.back().log;
      const int64_t previous_start = steps.back().start;
      // The start of its last hour: in a zone, the hour shown twice in the
      // fall is two hours of one log where the clocks went back in it.
      step.previous = previous_start + previous->clock.went_back;
      // A gap or damage ends every open interval, and so does a clock
      // that went back between two logs.
      const bool back = previous->clock.last != RecordClock::kNoRecord &&
                        log->clock.first != RecordClock::kNoRecord &&
                        start + log->clock.first < previous_start + previous->clock.last;
      if (back) {
        ++log->steps_back;
        log->largest_step_back = std::max(
            log->largest_step_back,
            static_cast<uint32_t>(previous_start + previous->clock.last - start - log->clock.first));
      }
      step.cut = back || start != step.previous + kTenthsPerHour || !previous->covered;
    }
    if (log->steps_back > 0) {
      std::string largest;
      put_seconds(&largest, log->largest_step_back);
      notes_ += "Note: " + log->path + ": its clock goes back " + times(log->steps_back) +
                ", by up to " + largest + " s: no interval is measured across a step\n";
    }
    for (auto other = group; other != group_end; ++other) {
      if (&*other == log) continue;
      step.others.push_back(&*other);
      notes_ += "Note: " + other->path + ": a second log of its signal's hour " +
                hour_start_text(log->hour) + ", which is measured from " + log->path + "\n";
    }
    steps.push_back(std::move(step));
    group = group_end;
  }
  steps.erase(steps.begin(), steps.begin() + static_cast<ptrdiff_t>(first_step));
  uint64_t most = 0;
  for (const LogMeasures& log : logs) most = std::max(most, log.events.size() + log.count);
  if (at_end != nullptr) {
    const Step* last = steps.empty() ? nullptr : &steps.back();
    if (last != nullptr) {
      // Where its last hour starts: in a zone, a log of two hours (the
      // hour shown twice) stands as its second, its clock after it.
      const uint32_t went_back = last->log->clock.went_back, clock = last->log->clock.last;
      at_end->last_start = last->start + went_back;
      at_end->last_clock = clock == RecordClock::kNoRecord ? clock
                                                           : clock - std::min(clock, went_back);
      at_end->last_covered = last->log->covered;
    } else if (from != nullptr) {
      at_end->last_start = from->last_start;
      at_end->last_clock = from->last_clock;
      at_end->last_covered = from->last_covered;
    }
    std::copy(std::begin(detectors), std::end(detectors), at_end->detectors);
    at_end->states.assign(kMeasureSchema.size(), std::string());
    at_end->before.assign(kMeasureSchema.size(), 0);
    at_end->rows.assign(kMeasureSchema.size(), 0);
  }
  std::vector<uint64_t> start(kMeasureSchema.size());
  for (size_t i = 0; i < start.size(); ++i) start[i] = written(i);

  // The tables are taken in groups, a thread each: a table knows no other,
  // and each writes its own file, so that the signal's measures take the
  // time of the slowest group rather than of all of them.
  std::vector<size_t> tables;
  for (size_t i = 0; i < kMeasureSchema.size(); ++i)
    if (out_[i] != nullptr) tables.push_back(i);
  const size_t count = std::max<size_t>(1, std::min<size_t>(settings_.jobs, tables.size()));
  std::vector<std::vector<size_t>> groups(count);
  // The heaviest first, each to the group with the least so far.
  std::stable_sort(tables.begin(), tables.end(), [](size_t a, size_t b) {
    return kMeasureSchema[a].weight > kMeasureSchema[b].weight;
  });
  std::vector<int> load(count, 0);
  for (size_t i : tables) {
    const size_t g = static_cast<size_t>(std::min_element(load.begin(), load.end()) - load.begin());
    groups[g].push_back(i);
    load[g] += kMeasureSchema[i].weight;
  }
  std::mutex reading;  // of the events file, which one thread reads at a time
  std::vector<std::string> errors(count);
  std::vector<char> failed(count, 0);
  auto run = [&](size_t g) {
    std::vector<std::unique_ptr<Measure>> measures;
    for (size_t i : groups[g]) measures.push_back(kMeasureSchema[i].make(contexts[i]));
    if (from != nullptr) {
      for (size_t m = 0; m < measures.size(); ++m) {
        const size_t i = groups[g][m];
        StateIO io(i < from->states.size() ? std::string_view(from->states[i]) : std::string_view());
        measures[m]->state(io);
        if (!io.ok() || !io.at_end()) {
          errors[g] = "the state kept of its " + std::string(kMeasureSchema[i].name) +
                      " does not read";
          failed[g] = 1;
          return;
        }
      }
    }
    Dealer dealer(measures, static_cast<size_t>(std::min<uint64_t>(most, Dealer::kPiece)));
    std::vector<MeasureEvent> chunk;
    for (const Step& step : steps) {
      if (step.cut)
        for (auto& m : measures) m->cut();
      for (auto& m : measures) m->settle(step.start);
      for (auto& m : measures) m->begin_log(*step.log, step.start, step.previous);
      dealer.deal(step.log->events, step.start);
      // Events not held are read back a piece at a time.
      for (uint64_t done = 0; done < step.log->count;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(step.log->count - done, Dealer::kPiece));
        chunk.resize(n);
        bool read;
        {
          std::lock_guard<std::mutex> lock(reading);
          read = events->read_at(step.log->offset + done * sizeof(MeasureEvent),
                                 reinterpret_cast<char*>(chunk.data()), n * sizeof(MeasureEvent));
          if (!read) errors[g] = events->error();
        }
        if (!read) {
          failed[g] = 1;
          return;
        }
        dealer.deal(chunk, step.start);
        done += n;
      }
      for (const LogMeasures* other : step.others)
        for (auto& m : measures) m->pass_log(*other);
      if (!flush(groups[g], false)) {
        failed[g] = 1;
        return;
      }
    }
    if (at_end != nullptr) {
      for (size_t m = 0; m < measures.size(); ++m) {
        const size_t i = groups[g][m];
        StateIO io(&at_end->states[i]);
        measures[m]->state(io);
        at_end->before[i] = written(i) - start[i];
      }
    }
    for (auto& m : measures) m->cut();
    for (auto& m : measures) m->settle(kNever);
    for (auto log = undated; log != logs.end(); ++log)
      for (auto& m : measures) m->pass_log(*log);
    if (!flush(groups[g], false)) failed[g] = 1;
  };
  std::vector<std::thread> threads;
  for (size_t g = 1; g < count; ++g) threads.emplace_back(run, g);
  run(0);
  for (std::thread& t : threads) t.join();
  for (size_t g = 0; g < count; ++g) {
    if (!failed[g]) continue;
    *err = errors[g];
    return false;
  }
  if (at_end != nullptr)
    for (size_t i = 0; i < start.size(); ++i) at_end->rows[i] = written(i) - start[i];
  return true;
}

bool MeasureTables::finish() { return flush(true); }

bool MeasureTables::flush(bool all) {
  std::vector<size_t> tables(text_.size());
  for (size_t i = 0; i < tables.size(); ++i) tables[i] = i;
  return flush(tables, all);
}

bool MeasureTables::flush(const std::vector<size_t>& tables, bool all) {
  // A table's text is written out once a log leaves this much of it: its
  // memory stays small (at 256 KiB, its growth was a sixth of the map's
  // page faults).
  const size_t kWrittenFrom = size_t{1} << 16;
  for (size_t i : tables) {
    if (out_[i] == nullptr || (!all && text_[i].size() < kWrittenFrom)) continue;
    if (!out_[i]->write(text_[i].data(), text_[i].size())) return false;
    flushed_[i] += text_[i].size();
    text_[i].clear();
  }
  return true;
}
