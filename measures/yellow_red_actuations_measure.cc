// yellow_red_actuations.csv: per bin and phase, the Detector Ons of the
// phase's stop-bar detectors during its yellow (from Begin Yellow to its
// end), during its red (from the end of yellow to the next Begin Green),
// and in the first seconds of that red: the red-light runners.

#include <map>

#include "measures/cycles.h"
#include "measures/tables.h"

namespace {

class YellowRedActuationsMeasure : public Measure {
 public:
  explicit YellowRedActuationsMeasure(const SignalContext& signal)
      : Measure(signal), bins_(signal, signal.bin) {
    if (signal.map == nullptr) return;
    for (const auto& [channel, d] : *signal.map)
      if (d.roles & kStopBar) any_ = true;
  }

  uint32_t kinds() const override {
    return any_ ? CycleTracker::kinds() | 1u << static_cast<int>(SignalEvent::kDetector) : 0;
  }

  bool takes_channel(int channel) const override { return signal_.has_role(channel, kStopBar); }

  void begin_log(const LogMeasures& log, int64_t, int64_t) override { cycles_.begin_log(log); }

  void take(std::span<const MeasureEvent> events, int64_t start) override {
    for (const MeasureEvent& e : events) {
      const int64_t t = event_time(start, e);
      State& s = state_[e.value];
      if (e.kind == SignalEvent::kDetector) {
        const MappedDetector* d = signal_.detector(e.value);
        if (d == nullptr || (d->roles & kStopBar) == 0) continue;
        for (int p : d->phases) {
          const State& phase = state_[p];
          if (phase.since == kNever || phase.in == kGreen) continue;
          Counts& n = bins_.at(t)[p];
          if (phase.in == kInYellow) {
            ++n.yellow;
          } else {
            ++n.red;
            n.red_first += t - phase.since < signal_.red_tenths;
          }
        }
      } else if (e.kind == SignalEvent::kGreen) {
        s = {kGreen, t};
      } else if (e.kind == SignalEvent::kYellow) {
        s = {kInYellow, t};
      } else if (cycles_.ends_yellow(e) && s.in == kInYellow) {
        s = {kInRed, t};
      }
    }
  }

  void cut() override {
    for (State& s : state_) s = State();
  }

  void settle(int64_t until) override {
    bins_.settle(until, [this](int64_t start, const std::map<int, Counts>& phases) {
      const std::string head = bin_head(start);
      std::string& out = *signal_.out;
      for (const auto& [phase, n] : phases) {
        out += head;
        for (int64_t v : {int64_t{phase}, n.yellow, n.red}) {
          put_int(&out, v);
          out += ',';
        }
        put_int(&out, n.red_first);
        out += '\n';
      }
    });
  }

  void state(StateIO& io) override { io(any_, state_, cycles_, bins_); }

 private:
  enum In { kGreen, kInYellow, kInRed };
  struct State {
    In in = kGreen;
    int64_t since = kNever;  // kNever: not known since a break
  };
  struct Counts {
    int64_t yellow = 0, red = 0, red_first = 0;
  };
  bool any_ = false;  // the map has a stop-bar detector of the signal
  State state_[256];  // by phase
  CycleTracker cycles_;  // for the end of yellow of the log's numbering
  Bins<std::map<int, Counts>> bins_;
};

}  // namespace

std::unique_ptr<Measure> make_yellow_red_actuations_measure(const SignalContext& signal) {
  return std::make_unique<YellowRedActuationsMeasure>(signal);
}
