#include "measures/measures.h"

#include <algorithm>
#include <unordered_map>

#include "logconv/convert_log.h"

bool has_clearance_ends(const EventTable& table) {
  const SignalEventTable& events = signal_events(table);
  for (int type = 0; type < table.count; ++type)
    if (events.kind[type] == SignalEvent::kYellowEnd) return true;
  return false;
}

void note_detectors(LogMeasures* log) {
  for (const MeasureEvent& e : log->events)
    if (e.kind == SignalEvent::kDetector && e.on)
      log->detectors[e.value / 64] |= uint64_t{1} << (e.value % 64);
}

MeasureTables::MeasureTables(int bin_minutes, std::span<OutputStream* const> out)
    : bin_tenths_(bin_minutes * 600), out_(out.begin(), out.end()) {
  for (const MeasureTableDef& table : kMeasureSchema) text_.push_back(measure_header(table));
}

bool MeasureTables::add_signal(const std::string& signal_id,
                               std::vector<LogMeasures> logs, File* events,
                               std::string* err) {
  err->clear();
  std::stable_sort(logs.begin(), logs.end(),
                   [](const LogMeasures& a, const LogMeasures& b) {
                     return hour_start(a.hour) < hour_start(b.hour);
                   });
  std::vector<SignalContext> contexts(kMeasureSchema.size());
  for (LogMeasures& log : logs) note_detectors(&log);
  for (size_t i = 0; i < contexts.size(); ++i) {
    SignalContext& c = contexts[i];
    c.field = csv_field(signal_id);
    c.bin = bin_tenths_;
    for (const LogMeasures& log : logs)
      for (int d = 0; d < 256; ++d) c.detector_seen[d] |= log.detectors[d / 64] >> (d % 64) & 1;
    c.out = &text_[i];
  }
  // Each table's measure, and those that take each kind of event, in a
  // list that a null ends: a kind's takers are found without a count.
  std::vector<std::unique_ptr<Measure>> measures;
  std::vector<Measure*> by_kind[kSignalEventKinds + 1];
  for (size_t i = 0; i < kMeasureSchema.size(); ++i) {
    measures.push_back(kMeasureSchema[i].make(contexts[i]));
    for (int k = 0; k < kSignalEventKinds; ++k)
      if (measures.back()->kinds() >> k & 1) by_kind[k].push_back(measures.back().get());
  }
  Measure* const* takers[kSignalEventKinds + 1];
  for (int k = 0; k <= kSignalEventKinds; ++k) {
    by_kind[k].push_back(nullptr);
    takers[k] = by_kind[k].data();
  }
  auto take = [&takers](const MeasureEvent& e, int64_t start) {
    const int64_t t = event_time(start, e);
    for (Measure* const* m = takers[static_cast<int>(e.kind)]; *m != nullptr; ++m)
      (*m)->take(e, t);
  };

  std::vector<MeasureEvent> chunk;
  bool first = true, previous_covered = false;
  int64_t previous = 0;
  for (const LogMeasures& log : logs) {
    const int64_t start = hour_start(log.hour);
    // A gap, damage or a log out of order ends every open interval.
    if (!first && (start != previous + kTenthsPerHour || !previous_covered))
      for (auto& m : measures) m->cut();
    for (auto& m : measures) m->settle(start);
    for (auto& m : measures) m->begin_log(log, start, first ? start : previous);
    for (const MeasureEvent& e : log.events) take(e, start);
    // Events not held are read back a piece at a time.
    for (uint64_t done = 0; done < log.count;) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(log.count - done, 1 << 16));
      chunk.resize(n);
      if (!events->read_at(log.offset + done * sizeof(MeasureEvent),
                           reinterpret_cast<char*>(chunk.data()), n * sizeof(MeasureEvent))) {
        *err = events->error();
        return false;
      }
      for (const MeasureEvent& e : chunk) take(e, start);
      done += n;
    }
    previous = start;
    previous_covered = log.covered;
    first = false;
    if (!flush(false)) return false;
  }
  for (auto& m : measures) m->cut();
  for (auto& m : measures) m->settle(kNever);
  return flush(false);
}

bool MeasureTables::finish() { return flush(true); }

bool MeasureTables::flush(bool all) {
  for (size_t i = 0; i < text_.size(); ++i) {
    if (!all && text_[i].size() < (1 << 18)) continue;
    if (!out_[i]->write(text_[i].data(), text_[i].size())) return false;
    text_[i].clear();
  }
  return true;
}
