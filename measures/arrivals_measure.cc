// arrivals.csv: each Detector On of an advance detector of a phase, moved
// to the stop bar by its travel time, in the whole cycle of the phase that
// holds it: the coordination diagram's points.

#include <cmath>
#include <cstring>

#include "measures/cycles.h"
#include "measures/tables.h"

namespace {

class ArrivalsMeasure : public Measure {
 public:
  explicit ArrivalsMeasure(const SignalContext& signal) : Measure(signal), arrivals_(signal) {}

  uint32_t kinds() const override { return arrivals_.kinds(); }

  bool takes_channel(int channel) const override { return arrivals_.takes_channel(channel); }

  void begin_log(const LogMeasures& log, int64_t, int64_t) override { arrivals_.begin_log(log); }

  void take(std::span<const MeasureEvent> events, int64_t start) override {
    for (const MeasureEvent& e : events) {
      arrivals_.take(
          e, event_time(start, e),
          [this](const Cycle& c, const ArrivalTracker::Arrival& a) {
            rows_.add({round_half_away(a.t), c.phase, c.start,
                       round_half_away(a.t - static_cast<double>(c.start)), a.state});
          },
          [](const Cycle&) {});
    }
  }

  void cut() override { arrivals_.cut(); }

  void settle(int64_t until) override {
    rows_.settle(std::min(until, arrivals_.earliest_open()), [this](const Row& a) {
      // The row but the signal's id, put together and appended at once.
      char text[kMaxIntSize + 2 * (kMaxTimeSize + 1) + kMaxSecondsSize + 10];
      char* p = put_int(text, a.phase);
      *p++ = ',';
      p = time_.put(p, a.cycle_start);
      *p++ = ',';
      p = time_.put(p, a.t);
      *p++ = ',';
      p = put_seconds(p, a.into_cycle);
      *p++ = ',';
      const char* name = ArrivalTracker::kStateNames[a.state];
      const size_t state = strlen(name);
      memcpy(p, name, state);
      p += state;
      *p++ = '\n';
      std::string& out = row();
      out.append(text, static_cast<size_t>(p - text));
    });
  }

  void state(StateIO& io) override { io(arrivals_, rows_); }

 private:
  struct Row {
    int64_t t;  // the arrival, rounded to the tenth
    int phase;
    int64_t cycle_start, into_cycle;
    int state;  // an ArrivalTracker state
  };
  ArrivalTracker arrivals_;
  HeldRows<Row> rows_;
};

}  // namespace

std::unique_ptr<Measure> make_arrivals_measure(const SignalContext& signal) {
  return std::make_unique<ArrivalsMeasure>(signal);
}
