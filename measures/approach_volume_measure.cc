// approach_volume.csv: the Detector Ons of each approach's count detectors
// per bin: every approach of a count detector in the map in every bin of
// the covered hours, 0 included, elsewhere only where one came on.

#include <map>
#include <set>

#include "measures/cycles.h"
#include "measures/tables.h"

namespace {

class ApproachVolumeMeasure : public Measure {
 public:
  explicit ApproachVolumeMeasure(const SignalContext& signal)
      : Measure(signal), bins_(signal.bin) {
    if (signal.map == nullptr) return;
    for (const auto& [channel, d] : *signal.map)
      if (d.roles & kCount) approaches_.insert(d.approach);
  }

  uint32_t kinds() const override {
    return approaches_.empty() ? 0 : 1u << static_cast<int>(SignalEvent::kDetector);
  }

  void begin_log(const LogMeasures& log, int64_t start, int64_t) override {
    if (!log.covered) return;
    for (int64_t b = start; b < start + kTenthsPerHour; b += signal_.bin) bins_.at(b).covered = true;
  }

  void take(std::span<const MeasureEvent> events, int64_t start) override {
    for (const MeasureEvent& e : events) {
      const MappedDetector* d = signal_.detector(e.value);
      if (d != nullptr && (d->roles & kCount)) ++bins_.at(event_time(start, e)).volume[d->approach];
    }
  }

  void settle(int64_t until) override {
    bins_.settle(until, [this](int64_t start, const Bin& bin) {
      const std::string head = bin_head(start);
      std::string& out = *signal_.out;
      for (const std::string& approach : approaches_) {
        auto it = bin.volume.find(approach);
        const int64_t n = it == bin.volume.end() ? 0 : it->second;
        if (n == 0 && !bin.covered) continue;
        out += head;
        out += csv_field(approach);
        out += ',';
        put_int(&out, n);
        out += '\n';
      }
    });
  }

 private:
  struct Bin {
    bool covered = false;
    std::map<std::string, int64_t> volume;  // by approach
  };
  std::set<std::string> approaches_;  // of the count detectors, in order
  Bins<Bin> bins_;
};

}  // namespace

std::unique_ptr<Measure> make_approach_volume_measure(const SignalContext& signal) {
  return std::make_unique<ApproachVolumeMeasure>(signal);
}
