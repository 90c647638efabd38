// terminations.csv: the gap outs, max outs and force offs of each phase per
// bin, as they were logged.

#include "measures/tables.h"

namespace {

class TerminationsMeasure : public Measure {
 public:
  explicit TerminationsMeasure(const SignalContext& signal)
      : Measure(signal), bins_(signal.bin) {}

  uint32_t kinds() const override {
    return 1u << static_cast<int>(SignalEvent::kGapOut) |
           1u << static_cast<int>(SignalEvent::kMaxOut) |
           1u << static_cast<int>(SignalEvent::kForceOff);
  }

  void take(std::span<const MeasureEvent> events, int64_t start) override {
    for (const MeasureEvent& e : events) take_event(e, event_time(start, e));
  }

  // Takes the event `e`, at time `t`.
  void take_event(const MeasureEvent& e, int64_t t) {
    ++bins_.at(t).count[e.value][static_cast<int>(e.kind) -
                                 static_cast<int>(SignalEvent::kGapOut)];
  }

  void settle(int64_t until) override {
    bins_.settle(until, [this](int64_t start, const Counts& counts) {
      const std::string head = bin_head(start);
      std::string& out = *signal_.out;
      for (int v = 0; v < 256; ++v) {
        const int* c = counts.count[v];
        if (c[0] + c[1] + c[2] == 0) continue;
        out += head;
        put_int(&out, v);
        for (int i = 0; i < 3; ++i) {
          out += ',';
          put_int(&out, c[i]);
        }
        out += '\n';
      }
    });
  }

 private:
  struct Counts {
    int count[256][3] = {};  // by phase: gap outs, max outs, force offs
  };
  Bins<Counts> bins_;
};

}  // namespace

std::unique_ptr<Measure> make_terminations_measure(const SignalContext& signal) {
  return std::make_unique<TerminationsMeasure>(signal);
}
