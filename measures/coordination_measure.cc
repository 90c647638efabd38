// coordination.csv: each change of pattern, cycle length or offset, in
// the order logged.

#include "measures/tables.h"

namespace {

class CoordinationMeasure : public Measure {
 public:
  using Measure::Measure;

  uint32_t kinds() const override {
    return 1u << static_cast<int>(SignalEvent::kPattern) |
           1u << static_cast<int>(SignalEvent::kCycle) |
           1u << static_cast<int>(SignalEvent::kOffset);
  }

  void take(std::span<const MeasureEvent> events, int64_t start) override {
    for (const MeasureEvent& e : events) take_event(e, event_time(start, e));
  }

  // Takes the event `e`, at time `t`.
  void take_event(const MeasureEvent& e, int64_t t) {
    std::string& out = row();
    time_.put(&out, t);
    out += e.kind == SignalEvent::kPattern ? ",pattern,"
           : e.kind == SignalEvent::kCycle ? ",cycle_length,"
                                           : ",offset,";
    put_int(&out, e.value);
    out += '\n';
  }

  void settle(int64_t) override {}
};

}  // namespace

std::unique_ptr<Measure> make_coordination_measure(const SignalContext& signal) {
  return std::make_unique<CoordinationMeasure>(signal);
}
