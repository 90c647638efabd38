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
    for (const MeasureEvent& e : events)
      if (cycles_.take(e, event_time(start, e)) == 1) rows_.add(Row(cycles_.cycle()));
  }

  void cut() override { cycles_.cut(); }

  void settle(int64_t until) override {
    rows_.settle(std::min(until, cycles_.earliest_open()), [this](const Row& c) {
      // The row but the signal's id, put together and appended at once.
      char text[kMaxIntSize + 4 * (kMaxTimeSize + 1) + 1];
      char* p = put_int(text, c.phase);
      for (int64_t t : {c.start, c.green, c.yellow, c.end}) {
        *p++ = ',';
        if (t != kNever) p = time_.put(p, t);
      }
      *p++ = '\n';
      std::string& out = row();
      out.append(text, static_cast<size_t>(p - text));
    });
  }

  void state(StateIO& io) override { io(cycles_, rows_); }

 private:
  struct Row : Cycle {
    Row() = default;
    explicit Row(const Cycle& c) : Cycle(c), t(c.start) {}
    int64_t t = 0;  // the time it is written by
  };
  CycleTracker cycles_;
  HeldRows<Row> rows_;
};

}  // namespace

std::unique_ptr<Measure> make_cycles_measure(const SignalContext& signal) {
  return std::make_unique<CyclesMeasure>(signal);
}
