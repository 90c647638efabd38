// cycles.csv: each whole cycle of every phase of a signal in the detector
// map, from one end of its yellow to the next, with its green and yellow
// starts.

#include "measures/cycles.h"
#include "measures/tables.h"

namespace {

class CyclesMeasure : public Measure {
 public:
  using Measure::Measure;

  uint32_t kinds() const override { return signal_.map != nullptr ? CycleTracker::kinds() : 0; }

  void begin_log(const LogMeasures& log, int64_t, int64_t) override { cycles_.begin_log(log); }

  void take(std::span<const MeasureEvent> events, int64_t start) override {
    for (const MeasureEvent& e : events) {
      if (cycles_.take(e, event_time(start, e)) != 1) continue;
      const Cycle& c = cycles_.cycle();
      std::string& text = rows_.start(c.start, c.phase);
      text += signal_.field;
      text += ',';
      put_int(&text, c.phase);
      for (int64_t t : {c.start, c.green, c.yellow, c.end}) {
        text += ',';
        if (t != kNever) time_.put(&text, t);
      }
      text += '\n';
      rows_.done();
    }
  }

  void cut() override { cycles_.cut(); }

  void settle(int64_t until) override {
    rows_.settle(std::min(until, cycles_.earliest_open()), signal_.out);
  }

 private:
  CycleTracker cycles_;
  HeldRows rows_;
};

}  // namespace

std::unique_ptr<Measure> make_cycles_measure(const SignalContext& signal) {
  return std::make_unique<CyclesMeasure>(signal);
}
