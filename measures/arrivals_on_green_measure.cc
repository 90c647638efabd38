// arrivals_on_green.csv: per bin (by the arrival's exact time) and phase,
// the arrivals of arrivals.csv on green, yellow and red, the share on green
// and the platoon ratio: that share times the seconds of the cycles that
// start in the bin over their green seconds.

#include <cmath>
#include <map>

#include "measures/cycles.h"
#include "measures/tables.h"

namespace {

class ArrivalsOnGreenMeasure : public Measure {
 public:
  explicit ArrivalsOnGreenMeasure(const SignalContext& signal)
      : Measure(signal), arrivals_(signal), bins_(signal, signal.bin) {}

  uint32_t kinds() const override { return arrivals_.kinds(); }

  bool takes_channel(int channel) const override { return arrivals_.takes_channel(channel); }

  void begin_log(const LogMeasures& log, int64_t, int64_t) override { arrivals_.begin_log(log); }

  void take(std::span<const MeasureEvent> events, int64_t start) override {
    for (const MeasureEvent& e : events) {
      arrivals_.take(
          e, event_time(start, e),
          [this](const Cycle& c, const ArrivalTracker::Arrival& a) {
            Counts& n = bins_.at(static_cast<int64_t>(std::floor(a.t)))[c.phase];
            ++n.arrivals;
            n.on_green += a.state == ArrivalTracker::kGreen;
            n.on_yellow += a.state == ArrivalTracker::kYellow;
            n.on_red += a.state == ArrivalTracker::kRed;
          },
          [this](const Cycle& c) {
            Counts& n = bins_.at(c.start)[c.phase];
            n.cycle += c.end - c.start;
            if (c.green != kNever && c.yellow != kNever) n.green += c.yellow - c.green;
          });
    }
  }

  void cut() override { arrivals_.cut(); }

  void settle(int64_t until) override {
    // A bin is whole once no arrival or cycle still to come can fall in it.
    until = signal_.bin_of(std::min(until, arrivals_.earliest_open()), signal_.bin);
    bins_.settle(until, [this](int64_t start, const std::map<int, Counts>& phases) {
      const std::string head = bin_head(start);
      std::string& out = *signal_.out;
      for (const auto& [phase, n] : phases) {
        if (n.arrivals == 0) continue;
        out += head;
        for (int64_t v : {int64_t{phase}, n.arrivals, n.on_green, n.on_yellow, n.on_red}) {
          put_int(&out, v);
          out += ',';
        }
        const double share = static_cast<double>(n.on_green) / static_cast<double>(n.arrivals);
        put_fixed(&out, share * 100, 1);
        out += ',';
        if (n.green > 0)
          put_fixed(&out, share * static_cast<double>(n.cycle) / static_cast<double>(n.green), 2);
        out += '\n';
      }
    });
  }

  void state(StateIO& io) override { io(arrivals_, bins_); }

 private:
  struct Counts {
    int64_t arrivals = 0, on_green = 0, on_yellow = 0, on_red = 0;
    int64_t cycle = 0, green = 0;  // tenths, of the cycles that start in the bin
  };
  ArrivalTracker arrivals_;
  Bins<std::map<int, Counts>> bins_;
};

}  // namespace

std::unique_ptr<Measure> make_arrivals_on_green_measure(const SignalContext& signal) {
  return std::make_unique<ArrivalsOnGreenMeasure>(signal);
}
