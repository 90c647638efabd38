// coordination.csv: each change of pattern, cycle length, offset or a
// phase's split, and each ring yield, in time order (as logged within a
// tenth).

#include "measures/tables.h"

namespace {

class CoordinationMeasure : public Measure {
 public:
  using Measure::Measure;

  uint32_t kinds() const override {
    uint32_t kinds = 0;
    for (SignalEvent k : {SignalEvent::kPattern, SignalEvent::kCycle, SignalEvent::kOffset,
                          SignalEvent::kSplit, SignalEvent::kYield})
      kinds |= 1u << static_cast<int>(k);
    return kinds;
  }

  void take(std::span<const MeasureEvent> events, int64_t start) override {
    for (const MeasureEvent& e : events) changes_.add(event_time(start, e), e);
  }

  void settle(int64_t until) override {
    changes_.settle(until, [this](int64_t t, const MeasureEvent& e) {
      std::string& out = row();
      time_.put(&out, t);
      switch (e.kind) {
        case SignalEvent::kPattern: out += ",pattern,"; break;
        case SignalEvent::kCycle: out += ",cycle_length,"; break;
        case SignalEvent::kOffset: out += ",offset,"; break;
        case SignalEvent::kSplit: out += ",split,"; break;
        default: out += ",yield,"; break;
      }
      put_int(&out, e.value);
      out += ',';
      if (e.kind == SignalEvent::kSplit) put_int(&out, e.detail);
      out += '\n';
    });
  }

  void state(StateIO& io) override { io(changes_); }

 private:
  TimeOrdered changes_;  // not yet written
};

}  // namespace

std::unique_ptr<Measure> make_coordination_measure(const SignalContext& signal) {
  return std::make_unique<CoordinationMeasure>(signal);
}
