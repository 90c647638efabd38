#include "measures/measures.h"

#include <algorithm>

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

namespace {

// Deals the events of a log to the measures that take their kind, a piece
// at a time, and lets each take its share in one call: a virtual call an
// event cost a tenth of the run.
class Dealer {
 public:
  static const size_t kPiece = 1 << 16;  // events dealt at once

  /// Deals to `measures` pieces of `most` events or fewer.
  Dealer(const std::vector<std::unique_ptr<Measure>>& measures, size_t most)
      : measures_(measures), ends_(measures.size()) {
    // The shares' room is left unset: filling it cost as much again.
    for (size_t i = 0; i < measures.size(); ++i) shares_.emplace_back(new MeasureEvent[most]);
    std::vector<size_t> kind_start;
    for (int k = 0; k <= kSignalEventKinds; ++k) {
      kind_start.push_back(slots_.size());
      for (size_t i = 0; i < measures.size(); ++i)
        if (k < kSignalEventKinds && (measures[i]->kinds() >> k & 1)) slots_.push_back(&ends_[i]);
      slots_.push_back(nullptr);
    }
    for (int k = 0; k <= kSignalEventKinds; ++k) takers_[k] = &slots_[kind_start[k]];
  }

  /// Has the measures take `events` of a log whose hour starts at `start`.
  void deal(std::span<const MeasureEvent> events, int64_t start) {
    for (size_t done = 0; done < events.size(); done += kPiece) {
      for (size_t i = 0; i < measures_.size(); ++i) ends_[i] = shares_[i].get();
      for (const MeasureEvent& e : events.subspan(done, std::min(kPiece, events.size() - done)))
        for (MeasureEvent** const* end = takers_[static_cast<int>(e.kind)]; *end != nullptr; ++end)
          *(**end)++ = e;
      for (size_t i = 0; i < measures_.size(); ++i)
        if (ends_[i] != shares_[i].get()) measures_[i]->take({shares_[i].get(), ends_[i]}, start);
    }
  }

 private:
  const std::vector<std::unique_ptr<Measure>>& measures_;
  std::vector<std::unique_ptr<MeasureEvent[]>> shares_;  // by measure
  std::vector<MeasureEvent*> ends_;                      // of each share
  // The ends of the shares of each kind's measures, in a list that a null
  // ends.
  std::vector<MeasureEvent**> slots_;
  MeasureEvent** const* takers_[kSignalEventKinds + 1];  // by kind
};

}  // namespace

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
  uint64_t detectors[4] = {};
  for (LogMeasures& log : logs) {
    note_detectors(&log);
    for (int w = 0; w < 4; ++w) detectors[w] |= log.detectors[w];
  }
  for (size_t i = 0; i < contexts.size(); ++i) {
    SignalContext& c = contexts[i];
    c.field = csv_field(signal_id);
    c.bin = bin_tenths_;
    for (int d = 0; d < 256; ++d) c.detector_seen[d] = detectors[d / 64] >> (d % 64) & 1;
    c.out = &text_[i];
  }
  std::vector<std::unique_ptr<Measure>> measures;
  for (size_t i = 0; i < kMeasureSchema.size(); ++i)
    measures.push_back(kMeasureSchema[i].make(contexts[i]));
  uint64_t most = 0;
  for (const LogMeasures& log : logs) most = std::max(most, log.events.size() + log.count);
  Dealer dealer(measures, static_cast<size_t>(std::min<uint64_t>(most, Dealer::kPiece)));

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
    dealer.deal(log.events, start);
    // Events not held are read back a piece at a time.
    for (uint64_t done = 0; done < log.count;) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(log.count - done, Dealer::kPiece));
      chunk.resize(n);
      if (!events->read_at(log.offset + done * sizeof(MeasureEvent),
                           reinterpret_cast<char*>(chunk.data()), n * sizeof(MeasureEvent))) {
        *err = events->error();
        return false;
      }
      dealer.deal(chunk, start);
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
