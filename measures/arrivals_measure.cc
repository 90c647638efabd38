// arrivals.csv: each Detector On of an advance detector of a phase, moved
// to the stop bar by its travel time, in the whole cycle of the phase that
// holds it: the coordination diagram's points.

#include <cmath>

#include "measures/cycles.h"
#include "measures/tables.h"

namespace {

class ArrivalsMeasure : public Measure {
 public:
  explicit ArrivalsMeasure(const SignalContext& signal) : Measure(signal), arrivals_(signal) {}

  uint32_t kinds() const override { return signal_.map != nullptr ? ArrivalTracker::kinds() : 0; }

  bool takes_channel(int channel) const override { return signal_.has_role(channel, kAdvance); }

  void begin_log(const LogMeasures& log, int64_t, int64_t) override { arrivals_.begin_log(log); }

  void take(std::span<const MeasureEvent> events, int64_t start) override {
    for (const MeasureEvent& e : events) {
      arrivals_.take(
          e, event_time(start, e),
          [this](const Cycle& c, const ArrivalTracker::Arrival& a) {
            const int64_t at = std::llround(a.t);
            std::string& text = rows_.start(at, c.phase);
            text += signal_.field;
            text += ',';
            put_int(&text, c.phase);
            text += ',';
            time_.put(&text, c.start);
            text += ',';
            time_.put(&text, at);
            text += ',';
            put_seconds(&text, std::llround(a.t - static_cast<double>(c.start)));
            text += ',';
            text += a.state;
            text += '\n';
            rows_.done();
          },
          [](const Cycle&) {});
    }
  }

  void cut() override { arrivals_.cut(); }

  void settle(int64_t until) override {
    rows_.settle(std::min(until, arrivals_.earliest_open()), signal_.out);
  }

 private:
  ArrivalTracker arrivals_;
  HeldRows rows_;
};

}  // namespace

std::unique_ptr<Measure> make_arrivals_measure(const SignalContext& signal) {
  return std::make_unique<ArrivalsMeasure>(signal);
}
