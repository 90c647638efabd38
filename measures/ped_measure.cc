// ped.csv: the walks, pedestrian calls and pushbutton presses of each phase
// per bin, and the delay from the first call after a walk to the next walk,
// where both fell in covered hours with no break between them: its mean and
// its largest.

#include <algorithm>

#include "measures/tables.h"

namespace {

class PedMeasure : public Measure {
 public:
  explicit PedMeasure(const SignalContext& signal) : Measure(signal), bins_(signal, signal.bin) {
    cut();
  }

  uint32_t kinds() const override {
    return 1u << static_cast<int>(SignalEvent::kWalk) |
           1u << static_cast<int>(SignalEvent::kPedCall) |
           1u << static_cast<int>(SignalEvent::kPedPress);
  }

  void begin_log(const LogMeasures& log, int64_t, int64_t) override { covered_ = log.covered; }

  void take(std::span<const MeasureEvent> events, int64_t start) override {
    for (const MeasureEvent& e : events) take_event(e, event_time(start, e));
  }

  // Takes the event `e`, at time `t`.
  void take_event(const MeasureEvent& e, int64_t t) {
    const int v = e.value;
    if (e.kind == SignalEvent::kWalk) {
      Counts& b = bins_.at(t).phase[v];
      ++b.walks;
      if (first_call_[v] != kNever && call_covered_[v] && covered_) {
        ++b.delay_samples;
        b.delay_sum += t - first_call_[v];
        b.delay_max = std::max(b.delay_max, t - first_call_[v]);
      }
      first_call_[v] = kNever;
    } else if (e.kind == SignalEvent::kPedPress) {
      if (e.on) ++bins_.at(t).phase[v].presses;  // the button's number, taken as the phase
    } else if (e.on) {
      ++bins_.at(t).phase[v].calls;
      if (first_call_[v] == kNever) {
        first_call_[v] = t;
        call_covered_[v] = covered_;
      }
    }
  }

  void cut() override {
    for (int64_t& t : first_call_) t = kNever;
  }

  void settle(int64_t until) override {
    bins_.settle(until, [this](int64_t start, const Bin& bin) {
      const std::string head = bin_head(start);
      std::string& out = *signal_.out;
      for (int v = 0; v < 256; ++v) {
        const Counts& b = bin.phase[v];
        if (b.walks + b.calls + b.presses == 0) continue;
        out += head;
        for (int n : {v, b.walks, b.calls}) {
          put_int(&out, n);
          out += ',';
        }
        if (b.delay_samples > 0)
          put_seconds(&out, (b.delay_sum + b.delay_samples / 2) / b.delay_samples);
        out += ',';
        put_int(&out, b.delay_samples);
        out += ',';
        if (b.delay_samples > 0) put_seconds(&out, b.delay_max);
        out += ',';
        put_int(&out, b.presses);
        out += '\n';
      }
    });
  }


  void state(StateIO& io) override { io(bins_, covered_, first_call_, call_covered_); }

 private:
  struct Counts {
    int walks = 0, calls = 0, delay_samples = 0, presses = 0;
    int64_t delay_sum = 0, delay_max = 0;
  };
  struct Bin {
    Counts phase[256];
  };
  Bins<Bin> bins_;
  bool covered_ = false;       // the log begun last
  int64_t first_call_[256];    // by phase: the first call since its walk; kNever: none
  bool call_covered_[256] = {};  // whether that call fell in a covered log
};

}  // namespace

std::unique_ptr<Measure> make_ped_measure(const SignalContext& signal) {
  return std::make_unique<PedMeasure>(signal);
}
