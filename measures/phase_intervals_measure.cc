// phase_intervals.csv: each green of a phase whose hours are all covered,
// from its Begin Green to its Begin Yellow, with its yellow and red
// clearance (where the numbering ends them) and the last gap out, max out
// or force off logged during it; and, as a split monitor, the split it
// took, the pattern in force at its start and the split programmed for its
// phase then.

#include <algorithm>
#include <cstring>
#include <tuple>
#include <vector>

#include "measures/tables.h"

namespace {

// Not known: a duration no interval has.
const int64_t kUnknown = INT64_MIN;

const char* const kTerminationNames[] = {"gap_out", "max_out", "force_off"};
const char kNoTermination[] = "none";  // no gap out, max out or force off

class PhaseIntervalsMeasure : public Measure {
 public:
  explicit PhaseIntervalsMeasure(const SignalContext& signal) : Measure(signal) {
    std::fill(std::begin(programmed_), std::end(programmed_), -1);
  }

  uint32_t kinds() const override {
    uint32_t kinds = 0;
    for (SignalEvent k : {SignalEvent::kGreen, SignalEvent::kYellow, SignalEvent::kYellowEnd,
                          SignalEvent::kRed, SignalEvent::kRedEnd, SignalEvent::kGapOut,
                          SignalEvent::kMaxOut, SignalEvent::kForceOff, SignalEvent::kPattern,
                          SignalEvent::kSplit})
      kinds |= 1u << static_cast<int>(k);
    return kinds;
  }

  void begin_log(const LogMeasures& log, int64_t, int64_t) override {
    covered_ = log.covered;
    ends_ = has_kind(log.kinds, SignalEvent::kYellowEnd);
  }

  void take(std::span<const MeasureEvent> events, int64_t start) override {
    for (const MeasureEvent& e : events) take_event(e, event_time(start, e));
  }

  // Takes the event `e`, at time `t`.
  void take_event(const MeasureEvent& e, int64_t t) {
    const int v = e.value;
    Phase& p = phases_[v];
    switch (e.kind) {
      case SignalEvent::kPattern:
        pattern_ = v;
        break;
      case SignalEvent::kSplit:
        programmed_[e.detail] = v;
        break;
      case SignalEvent::kGreen:
        write_pending(v);
        p.green = true;
        p.green_start = t;
        p.green_covered = covered_;
        p.termination = -1;
        p.pattern = pattern_;
        p.programmed = programmed_[v];
        break;
      case SignalEvent::kGapOut:
      case SignalEvent::kMaxOut:
      case SignalEvent::kForceOff: {
        const int termination = static_cast<int>(e.kind) - static_cast<int>(SignalEvent::kGapOut);
        if (p.green) p.termination = termination;
        // Logged in the tenth of the green's Begin Yellow, after it: still
        // the green's.
        else if (p.pending && t == p.interval.start + p.interval.green)
          p.interval.termination = termination;
        break;
      }
      case SignalEvent::kYellow:
        if (!p.green) break;
        p.green = false;
        // A green is written only when every hour of it is covered.
        if (!p.green_covered || !covered_) break;
        write_pending(v);
        p.pending = true;
        p.interval = {p.green_start, v,          t - p.green_start, kUnknown,
                      kUnknown,      p.termination, p.pattern,        p.programmed};
        p.yellow_start = t;
        p.yellow_open = true;
        p.red_open = false;
        p.ends = ends_;
        break;
      case SignalEvent::kYellowEnd:
        if (p.pending && p.yellow_open && p.ends) {
          p.interval.yellow = t - p.yellow_start;
          p.yellow_open = false;
        }
        break;
      case SignalEvent::kRed:
        if (!p.pending) break;
        // Without End Yellow rows, the yellow ends as the red begins.
        if (p.yellow_open && !p.ends) p.interval.yellow = t - p.yellow_start;
        p.yellow_open = false;
        p.red_start = t;
        p.red_open = p.ends;
        break;
      case SignalEvent::kRedEnd:
        if (p.pending && p.red_open) {
          p.interval.red = t - p.red_start;
          p.red_open = false;
        }
        break;
      default:
        break;
    }
  }

  void cut() override {
    for (int v = 0; v < 256; ++v) {
      write_pending(v);
      phases_[v].green = false;
    }
  }

  void settle(int64_t until) override {
    // An interval still open holds back every later one: rows come in
    // time order.
    for (const Phase& p : phases_) {
      if (p.pending) until = std::min(until, p.interval.start);
      if (p.green && p.green_covered) until = std::min(until, p.green_start);
    }
    std::sort(done_.begin(), done_.end(), [](const Interval& a, const Interval& b) {
      return std::tie(a.start, a.phase) < std::tie(b.start, b.phase);
    });
    size_t n = 0;
    for (; n < done_.size() && done_[n].start < until; ++n) {
      const Interval& i = done_[n];
      // The row but the signal's id, put together and appended at once.
      char text[4 * kMaxIntSize + kMaxTimeSize + 4 * kMaxSecondsSize + 20];
      char* p = put_int(text, i.phase);
      *p++ = ',';
      p = time_.put(p, i.start);
      *p++ = ',';
      p = put_seconds(p, i.green);
      *p++ = ',';
      if (i.yellow != kUnknown) p = put_seconds(p, i.yellow);
      *p++ = ',';
      if (i.red != kUnknown) p = put_seconds(p, i.red);
      *p++ = ',';
      const char* termination =
          i.termination >= 0 ? kTerminationNames[i.termination] : kNoTermination;
      const size_t size = strlen(termination);
      memcpy(p, termination, size);
      p += size;
      *p++ = ',';
      if (i.yellow != kUnknown && i.red != kUnknown) p = put_seconds(p, i.green + i.yellow + i.red);
      *p++ = ',';
      if (i.pattern >= 0) p = put_int(p, i.pattern);
      *p++ = ',';
      if (i.programmed >= 0) p = put_int(p, i.programmed);
      *p++ = '\n';
      row().append(text, static_cast<size_t>(p - text));
    }
    done_.erase(done_.begin(), done_.begin() + static_cast<ptrdiff_t>(n));
  }

  void state(StateIO& io) override {
    io(covered_, ends_, pattern_, programmed_, phases_, done_);
  }

 private:
  // A green with its clearances, in tenths (kUnknown: not known).
  struct Interval {
    int64_t start;
    int phase;
    int64_t green, yellow, red;
    int termination;  // 0 gap out, 1 max out, 2 force off, -1 none
    int pattern;      // in force at its start; -1 none seen
    int programmed;   // the split of its phase then, seconds; -1 none seen
  };

  // A phase, from its green's begin to its clearance's end.
  struct Phase {
    bool green = false;          // a green is open
    int64_t green_start = 0;
    bool green_covered = false;  // begun in a covered log
    int termination = -1;        // its last termination
    int pattern = -1, programmed = -1;  // in force at its start
    // The interval waiting for its clearances, until the phase's next green.
    bool pending = false;
    Interval interval = {};
    int64_t yellow_start = 0, red_start = 0;
    bool yellow_open = false, red_open = false, ends = true;
  };

  // Puts the interval of phase `v` that waits for its clearances among
  // those to write.
  void write_pending(int v) {
    Phase& p = phases_[v];
    if (!p.pending) return;
    p.pending = false;
    done_.push_back(p.interval);
  }

  bool covered_ = false, ends_ = true;  // of the log begun last
  int pattern_ = -1;                    // the pattern in force; -1 none seen
  int programmed_[256];                 // by phase: its latest split; -1 none
  Phase phases_[256];                   // by phase
  std::vector<Interval> done_;          // not yet written
};

}  // namespace

std::unique_ptr<Measure> make_phase_intervals_measure(const SignalContext& signal) {
  return std::make_unique<PhaseIntervalsMeasure>(signal);
}
