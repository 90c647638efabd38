// terminations.csv: the gap outs, max outs, force offs and skips of each
// phase per bin, as they were logged, and the greens that began in the bin:
// the terminations and skips of a phase sum to its greens and skips.

#include "measures/tables.h"

namespace {

class TerminationsMeasure : public Measure {
 public:
  explicit TerminationsMeasure(const SignalContext& signal)
      : Measure(signal), bins_(signal, signal.bin) {}

  uint32_t kinds() const override {
    return 1u << static_cast<int>(SignalEvent::kGapOut) |
           1u << static_cast<int>(SignalEvent::kMaxOut) |
           1u << static_cast<int>(SignalEvent::kForceOff) |
           1u << static_cast<int>(SignalEvent::kSkip) |
           1u << static_cast<int>(SignalEvent::kGreen);
  }

  void take(std::span<const MeasureEvent> events, int64_t start) override {
    for (const MeasureEvent& e : events) take_event(e, event_time(start, e));
  }

  // Takes the event `e`, at time `t`.
  void take_event(const MeasureEvent& e, int64_t t) {
    int* counts = bins_.at(t).count[e.value];
    switch (e.kind) {
      case SignalEvent::kGapOut: ++counts[0]; break;
      case SignalEvent::kMaxOut: ++counts[1]; break;
      case SignalEvent::kForceOff: ++counts[2]; break;
      case SignalEvent::kSkip: ++counts[3]; break;
      default: ++counts[4]; break;  // a green
    }
  }

  void settle(int64_t until) override {
    bins_.settle(until, [this](int64_t start, const Counts& counts) {
      const std::string head = bin_head(start);
      std::string& out = *signal_.out;
      for (int v = 0; v < 256; ++v) {
        const int* c = counts.count[v];
        if (c[0] + c[1] + c[2] + c[3] + c[4] == 0) continue;
        out += head;
        put_int(&out, v);
        for (int i = 0; i < kCounts; ++i) {
          out += ',';
          put_int(&out, c[i]);
        }
        out += '\n';
      }
    });
  }

  void state(StateIO& io) override { io(bins_); }

 private:
  static constexpr int kCounts = 5;
  struct Counts {
    // By phase: gap outs, max outs, force offs, skips, greens.
    int count[256][kCounts] = {};
  };
  Bins<Counts> bins_;
};

}  // namespace

std::unique_ptr<Measure> make_terminations_measure(const SignalContext& signal) {
  return std::make_unique<TerminationsMeasure>(signal);
}
