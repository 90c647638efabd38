// split_failures.csv: each green of a phase with a stop-bar detector in the
// map: the share of the green during which one of the phase's stop-bar
// channels at least was on (gor), the same over the first seconds of red
// after its yellow (ror5), and whether both reach the split failure's
// share.

#include <cmath>
#include <map>
#include <vector>

#include "measures/cycles.h"
#include "measures/tables.h"

namespace {

class SplitFailuresMeasure : public Measure {
 public:
  explicit SplitFailuresMeasure(const SignalContext& signal) : Measure(signal) {
    if (signal.map == nullptr) return;
    for (const auto& [channel, d] : *signal.map)
      if (d.roles & kStopBar)
        for (int p : d.phases) phases_[p].stop_bar = true;
    for (int p = 0; p < 256; ++p)
      if (phases_[p].stop_bar) active_.push_back(p);
  }

  uint32_t kinds() const override {
    if (active_.empty()) return 0;
    return CycleTracker::kinds() | 1u << static_cast<int>(SignalEvent::kDetector) |
           1u << static_cast<int>(SignalEvent::kDetectorOff);
  }

  bool takes_channel(int channel) const override { return signal_.has_role(channel, kStopBar); }

  void begin_log(const LogMeasures& log, int64_t start, int64_t) override {
    cycles_.begin_log(log);
    covered_ = log.covered;
    if (log.covered) covered_end_ = start + kTenthsPerHour + log.clock.went_back;
  }

  void take(std::span<const MeasureEvent> events, int64_t start) override {
    for (const MeasureEvent& e : events) {
      const int64_t t = event_time(start, e);
      if (t >= due_) finish_before(t);
      if (e.kind == SignalEvent::kDetector || e.kind == SignalEvent::kDetectorOff) {
        const MappedDetector* d = signal_.detector(e.value);
        if (d == nullptr || (d->roles & kStopBar) == 0) continue;
        const bool on = e.kind == SignalEvent::kDetector;
        if (on_[e.value] == on) continue;
        on_[e.value] = on;
        for (int p : d->phases) occupy(&phases_[p], t, on ? 1 : -1);
        continue;
      }
      Phase& p = phases_[e.value];
      if (!p.stop_bar) continue;
      if (e.kind == SignalEvent::kGreen) {
        // A green before it whose yellow did not end has no red to measure.
        for (Green& g : p.greens) {
          if (g.red != kNever) continue;
          g.red = kNoRed;
          due_ = std::min(due_, t);
        }
        p.green = t;
        p.green_covered = covered_;
      } else if (e.kind == SignalEvent::kYellow) {
        if (p.green != kNever && p.green_covered && covered_)
          p.greens.push_back({p.green, t, kNever});
        p.green = kNever;
      } else if (cycles_.ends_yellow(e)) {
        // The end of the latest green's yellow: its red begins.
        if (!p.greens.empty() && p.greens.back().red == kNever) {
          p.greens.back().red = covered_ ? t : kNoRed;
          due_ = std::min(due_, covered_ ? t + signal_.red_tenths : t);
        }
      }
    }
  }

  void cut() override {
    // What comes after a break is not known: the occupancy counts to the
    // end of the covered hours, and a red that reaches past it has none.
    finish_before(kNever, true);
    for (int number : active_) {
      Phase& p = phases_[number];
      p.on = 0;
      p.occupied.clear();
      p.green = kNever;
    }
    for (bool& on : on_) on = false;
    cycles_.cut();
  }

  void settle(int64_t until) override {
    finish_before(until);
    int64_t held = until;
    for (int number : active_) {
      const Phase& p = phases_[number];
      held = std::min(held, p.green);
      for (const Green& g : p.greens) held = std::min(held, g.start);
    }
    rows_.settle(held, [this](const Row& g) {
      // The row but the signal's id, put together and appended at once.
      char text[kMaxIntSize + kMaxTimeSize + kMaxSecondsSize + 2 * kMaxFixedSize + 8];
      char* p = put_int(text, g.phase);
      *p++ = ',';
      p = time_.put(p, g.t);
      *p++ = ',';
      p = put_seconds(p, g.green);
      *p++ = ',';
      if (g.gor >= 0) p = put_fixed(p, g.gor, 2);
      *p++ = ',';
      if (g.ror >= 0) p = put_fixed(p, g.ror, 2);
      *p++ = ',';
      if (g.gor >= 0 && g.ror >= 0) {
        const double share = signal_.split_failure_percent / 100.0;
        *p++ = g.gor >= share && g.ror >= share ? '1' : '0';
      }
      *p++ = '\n';
      row().append(text, static_cast<size_t>(p - text));
    });
  }

  void state(StateIO& io) override {
    io(phases_, active_, on_, cycles_, covered_, covered_end_, due_, rows_);
  }

 private:
  // A green's row: its shares, -1 where there is none.
  struct Row {
    int64_t t;  // its start
    int phase;
    int64_t green;
    double gor, ror;
  };
  // A green from its start to its yellow, and the end of that yellow.
  struct Green {
    int64_t start, yellow, red;  // red: kNever until seen, kNoRed where none
  };
  struct Phase {
    bool stop_bar = false;         // one of its channels is a stop bar
    int on = 0;                    // of its stop-bar channels, how many are on
    int64_t since = kNever;        // one at least has been on since
    std::vector<std::pair<int64_t, int64_t>> occupied;  // closed spans, in order
    int64_t green = kNever;        // the green begun, not yet at its yellow
    bool green_covered = false;
    std::vector<Green> greens;     // not yet written
    void state(StateIO& io) { io(stop_bar, on, since, occupied, green, green_covered, greens); }
  };

  // A stop-bar channel of `p` goes on (+1) or off (-1) at `t`.
  static void occupy(Phase* p, int64_t t, int change) {
    if (p->on == 0 && change > 0) p->since = t;
    p->on += change;
    if (p->on == 0 && change < 0) {
      p->occupied.push_back({p->since, t});
      p->since = kNever;
    }
  }

  // The tenths of [from, to) that `p` was occupied, up to `now` for a span
  // still open.
  static int64_t occupied(const Phase& p, int64_t from, int64_t to, int64_t now) {
    int64_t sum = 0;
    auto add = [&](int64_t a, int64_t b) { sum += std::max<int64_t>(0, std::min(b, to) - std::max(a, from)); };
    for (const auto& [a, b] : p.occupied) add(a, b);
    if (p.on > 0) add(p.since, now);
    return sum;
  }

  // Writes every green whose first red ends by `t` (every one at a break),
  // and forgets the spans before the earliest green still to come.
  void finish_before(int64_t t, bool at_break = false) {
    const int64_t red = signal_.red_tenths;
    due_ = kNever;
    for (int number : active_) {
      Phase& p = phases_[number];
      size_t n = 0;
      for (; n < p.greens.size(); ++n) {
        const Green& g = p.greens[n];
        const bool red_seen = g.red != kNever && g.red != kNoRed;
        if (!at_break && (g.red == kNever || (red_seen && g.red + red > t))) break;
        // Spans still open count up to here, or to the end of coverage.
        const int64_t now = at_break ? covered_end_ : t;
        const bool red_known = red_seen && g.red + red <= covered_end_;
        Row row{g.start, number, g.yellow - g.start, -1, -1};
        if (g.yellow > g.start)
          row.gor = static_cast<double>(occupied(p, g.start, g.yellow, now)) /
                    static_cast<double>(g.yellow - g.start);
        if (red_known)
          row.ror = static_cast<double>(occupied(p, g.red, g.red + red, now)) /
                    static_cast<double>(red);
        rows_.add(row);
      }
      p.greens.erase(p.greens.begin(), p.greens.begin() + static_cast<ptrdiff_t>(n));
      // The next time a green of the phase can be written.
      for (const Green& g : p.greens)
        if (g.red != kNever) due_ = std::min(due_, g.red == kNoRed ? t : g.red + red);
      // The spans no green still to come can reach.
      const int64_t keep = p.greens.empty() ? std::min(t, p.green) : p.greens.front().start;
      size_t old = 0;
      while (old < p.occupied.size() && p.occupied[old].second <= keep) ++old;
      p.occupied.erase(p.occupied.begin(), p.occupied.begin() + static_cast<ptrdiff_t>(old));
    }
  }

  // A green's red that will not be known: no end of its yellow came.
  static constexpr int64_t kNoRed = kNever - 1;

  Phase phases_[256];            // by number
  std::vector<int> active_;      // the phases of a stop-bar channel
  bool on_[256] = {};            // by channel
  CycleTracker cycles_;          // for the end of yellow of the log's numbering
  bool covered_ = false;
  int64_t covered_end_ = INT64_MIN;
  int64_t due_ = kNever;  // the next time a green may be written
  HeldRows<Row> rows_;
};

}  // namespace

std::unique_ptr<Measure> make_split_failures_measure(const SignalContext& signal) {
  return std::make_unique<SplitFailuresMeasure>(signal);
}
