// preemption.csv: each preemption from its input on to its input off; one
// still on at a break or at the end is written without its end.

#include <algorithm>
#include <tuple>
#include <vector>

#include "measures/tables.h"

namespace {

class PreemptionMeasure : public Measure {
 public:
  explicit PreemptionMeasure(const SignalContext& signal) : Measure(signal) {
    std::fill(std::begin(on_), std::end(on_), kNever);
  }

  uint32_t kinds() const override { return 1u << static_cast<int>(SignalEvent::kPreempt); }

  void take(std::span<const MeasureEvent> events, int64_t start) override {
    for (const MeasureEvent& e : events) take_event(e, event_time(start, e));
  }

  // Takes the event `e`, at time `t`.
  void take_event(const MeasureEvent& e, int64_t t) {
    const int v = e.value;
    if (e.on) {
      if (on_[v] == kNever) on_[v] = t;
    } else if (on_[v] != kNever) {
      done_.push_back({on_[v], v, t});
      on_[v] = kNever;
    }
  }

  void cut() override {
    for (int v = 0; v < 256; ++v) {
      if (on_[v] != kNever) done_.push_back({on_[v], v, kNever});
      on_[v] = kNever;
    }
  }

  void settle(int64_t until) override {
    for (int64_t on : on_) until = std::min(until, on);
    std::sort(done_.begin(), done_.end(), [](const Preemption& a, const Preemption& b) {
      return std::tie(a.on, a.preempt) < std::tie(b.on, b.preempt);
    });
    size_t n = 0;
    for (; n < done_.size() && done_[n].on < until; ++n) {
      const Preemption& p = done_[n];
      std::string& out = row();
      put_int(&out, p.preempt);
      out += ',';
      time_.put(&out, p.on);
      out += ',';
      if (p.off != kNever) time_.put(&out, p.off);
      out += ',';
      if (p.off != kNever) put_seconds(&out, p.off - p.on);
      out += '\n';
    }
    done_.erase(done_.begin(), done_.begin() + static_cast<ptrdiff_t>(n));
  }

 private:
  // A preemption: from its input on to its input off.
  struct Preemption {
    int64_t on;
    int preempt;
    int64_t off;  // kNever: not seen
  };
  int64_t on_[256];                // by preempt: its input on; kNever if off
  std::vector<Preemption> done_;  // not yet written
};

}  // namespace

std::unique_ptr<Measure> make_preemption_measure(const SignalContext& signal) {
  return std::make_unique<PreemptionMeasure>(signal);
}
