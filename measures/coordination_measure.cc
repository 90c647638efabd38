// coordination.csv: each change of pattern, cycle length, offset or a
// phase's split, and each ring yield, in time order (as logged within a
// tenth).

#include <algorithm>
#include <vector>

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
    for (const MeasureEvent& e : events) done_.push_back({event_time(start, e), e});
  }

  void settle(int64_t until) override {
    // A clock that went back may have logged a change before an earlier one.
    std::stable_sort(done_.begin(), done_.end(),
                     [](const Change& a, const Change& b) { return a.t < b.t; });
    size_t n = 0;
    for (; n < done_.size() && done_[n].t < until; ++n) {
      const Change& c = done_[n];
      std::string& out = row();
      time_.put(&out, c.t);
      switch (c.e.kind) {
        case SignalEvent::kPattern: out += ",pattern,"; break;
        case SignalEvent::kCycle: out += ",cycle_length,"; break;
        case SignalEvent::kOffset: out += ",offset,"; break;
        case SignalEvent::kSplit: out += ",split,"; break;
        default: out += ",yield,"; break;
      }
      put_int(&out, c.e.value);
      out += ',';
      if (c.e.kind == SignalEvent::kSplit) put_int(&out, c.e.phase);
      out += '\n';
    }
    done_.erase(done_.begin(), done_.begin() + static_cast<ptrdiff_t>(n));
  }

 private:
  // A change at time `t`.
  struct Change {
    int64_t t;
    MeasureEvent e;
  };
  std::vector<Change> done_;  // not yet written
};

}  // namespace

std::unique_ptr<Measure> make_coordination_measure(const SignalContext& signal) {
  return std::make_unique<CoordinationMeasure>(signal);
}
