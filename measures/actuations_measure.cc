// actuations.csv: the Detector Ons of each channel per bin; every channel
// that the signal's logs show in every bin of its covered hours, 0
// included, elsewhere only where it actuated.

#include "measures/tables.h"

namespace {

class ActuationsMeasure : public Measure {
 public:
  explicit ActuationsMeasure(const SignalContext& signal)
      : Measure(signal), bins_(signal, signal.bin) {}

  uint32_t kinds() const override { return 1u << static_cast<int>(SignalEvent::kDetector); }

  void begin_log(const LogMeasures& log, int64_t start, int64_t) override {
    if (!log.covered) return;
    for (int64_t b = start; b < start + kTenthsPerHour + log.clock.went_back; b += signal_.bin)
      bins_.at(b).covered = true;
  }

  void take(std::span<const MeasureEvent> events, int64_t start) override {
    // A bin's counts are looked up once for a run of its events, not once
    // an event: the events of a log come nearly always in time order.
    for (size_t i = 0; i < events.size();) {
      const int64_t t = event_time(start, events[i]);
      const int64_t first = signal_.bin_of(t, signal_.bin), end = first + signal_.bin;
      int* actuations = bins_.at(t).actuations;
      for (; i < events.size(); ++i) {
        const int64_t u = event_time(start, events[i]);
        if (u < first || u >= end) break;
        actuations[events[i].value] += events[i].on;
      }
    }
  }

  void settle(int64_t until) override {
    bins_.settle(until, [this](int64_t start, const Counts& counts) {
      const std::string head = bin_head(start);
      std::string& out = *signal_.out;
      for (int d = 0; d < 256; ++d) {
        const int count = counts.actuations[d];
        if (!signal_.detector_seen[d] || (count == 0 && !counts.covered)) continue;
        out += head;
        put_int(&out, d);
        out += ',';
        put_int(&out, count);
        out += '\n';
      }
    });
  }

  void state(StateIO& io) override { io(bins_); }

 private:
  struct Counts {
    bool covered = false;  // its hour has a covered log
    int actuations[256] = {};
  };
  Bins<Counts> bins_;
};

}  // namespace

std::unique_ptr<Measure> make_actuations_measure(const SignalContext& signal) {
  return std::make_unique<ActuationsMeasure>(signal);
}
