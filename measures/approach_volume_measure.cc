// approach_volume.csv: the Detector Ons of each approach's count detectors
// per bin: every approach of a count detector in the map in every bin of
// the covered hours, 0 included, elsewhere only where one came on.

#include <algorithm>
#include <set>
#include <vector>

#include "measures/cycles.h"
#include "measures/tables.h"

namespace {

class ApproachVolumeMeasure : public Measure {
 public:
  explicit ApproachVolumeMeasure(const SignalContext& signal)
      : Measure(signal), bins_(signal, signal.bin) {
    std::fill(std::begin(approach_of_), std::end(approach_of_), -1);
    if (signal.map == nullptr) return;
    std::set<std::string> names;
    for (const auto& [channel, d] : *signal.map)
      if (d.roles & kCount) names.insert(d.approach);
    approaches_.assign(names.begin(), names.end());
    for (const auto& [channel, d] : *signal.map)
      if (d.roles & kCount)
        approach_of_[channel] = static_cast<int>(
            std::lower_bound(approaches_.begin(), approaches_.end(), d.approach) - approaches_.begin());
  }

  uint32_t kinds() const override {
    return approaches_.empty() ? 0 : 1u << static_cast<int>(SignalEvent::kDetector);
  }

  bool takes_channel(int channel) const override { return signal_.has_role(channel, kCount); }

  void begin_log(const LogMeasures& log, int64_t start, int64_t) override {
    if (!log.covered) return;
    for (int64_t b = start; b < start + kTenthsPerHour + log.clock.went_back; b += signal_.bin)
      bin(b).covered = true;
  }

  void take(std::span<const MeasureEvent> events, int64_t start) override {
    for (const MeasureEvent& e : events) {
      const int a = approach_of_[e.value];
      if (a >= 0) ++bin(event_time(start, e)).volume[static_cast<size_t>(a)];
    }
  }

  void settle(int64_t until) override {
    bins_.settle(until, [this](int64_t start, const Bin& bin) {
      const std::string head = bin_head(start);
      std::string& out = *signal_.out;
      for (size_t a = 0; a < approaches_.size(); ++a) {
        const int64_t n = bin.volume[a];
        if (n == 0 && !bin.covered) continue;
        out += head;
        out += csv_field(approaches_[a]);
        out += ',';
        put_int(&out, n);
        out += '\n';
      }
    });
  }

  void state(StateIO& io) override { io(bins_); }

 private:
  struct Bin {
    bool covered = false;
    std::vector<int64_t> volume;  // by approach
    void state(StateIO& io) { io(covered, volume); }
  };

  // The bin of time `t`, its counts made on first use.
  Bin& bin(int64_t t) {
    Bin& b = bins_.at(t);
    if (b.volume.empty()) b.volume.resize(approaches_.size());
    return b;
  }

  std::vector<std::string> approaches_;  // of the count detectors, in order
  int approach_of_[256];                 // by channel: its approach; -1 if no count
  Bins<Bin> bins_;
};

}  // namespace

std::unique_ptr<Measure> make_approach_volume_measure(const SignalContext& signal) {
  return std::make_unique<ApproachVolumeMeasure>(signal);
}
