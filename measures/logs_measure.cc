// logs.csv: a row for each log of the signal: ok where it was read to its
// end, damaged where not, duplicate where another log of its hour is
// measured, undated (no hour) where its name holds no valid date; and a
// missing row for each hour after its first log, up to the run's last
// hour, that has none, but for a run of them longer than the gap bound:
// one gap row, with its end. Rows stay few whatever the span of the logs.

#include "logconv/convert_log.h"
#include "measures/tables.h"

namespace {

class LogsMeasure : public Measure {
 public:
  using Measure::Measure;

  uint32_t kinds() const override { return 0; }

  void begin_log(const LogMeasures& log, int64_t start, int64_t previous) override {
    put_missing(previous + kTenthsPerHour, start);
    put_row(log, start, log.covered ? "ok" : "damaged");
    // In a zone, the hour shown twice is two hours of a log where the
    // clocks went back in it.
    last_ = start + log.clock.went_back;
  }

  void pass_log(const LogMeasures& log) override {
    put_row(log, log.dated ? log.start : kNoHour, log.dated ? "duplicate" : "undated");
  }

  void take(std::span<const MeasureEvent>, int64_t) override {}

  void settle(int64_t until) override {
    // The hours after the signal's last log, up to the run's last.
    if (until == kNever && last_ != kNoHour && signal_.last_hour != kNoHour)
      put_missing(last_ + kTenthsPerHour, signal_.last_hour + kTenthsPerHour);
  }

  void state(StateIO& io) override { io(last_); }

 private:
  // Writes a missing row for each hour from `from` up to `to`, or one gap
  // row for them where they are more than the bound.
  void put_missing(int64_t from, int64_t to) {
    if (to <= from) return;
    if (to - from > signal_.gap) {
      std::string& out = row();
      time_.put_hour(&out, from);
      out += ",gap,,,,,,,";
      time_.put_hour(&out, to);
      out += '\n';
      return;
    }
    for (int64_t h = from; h < to; h += kTenthsPerHour) {
      time_.put_hour(&row(), h);
      *signal_.out += ",missing,,,,,,,\n";
    }
  }

  // Writes the row of `log`, of the hour that starts at `start` (kNoHour:
  // none).
  void put_row(const LogMeasures& log, int64_t start, const char* state) {
    std::string& out = row();
    if (start != kNoHour) time_.put_hour(&out, start);
    out += ',';
    out += state;
    out += ',';
    put_int(&out, static_cast<int64_t>(log.records));
    out += ',';
    out += csv_field(log.path);
    out += ',';
    put_int(&out, log.version);
    out += ',';
    out += csv_field(log.closing);
    out += ',';
    put_int(&out, static_cast<int64_t>(log.steps_back));
    out += ',';
    if (log.steps_back > 0) put_seconds(&out, log.largest_step_back);
    out += ",\n";
  }

  int64_t last_ = kNoHour;  // the start of the last log's hour
};

}  // namespace

std::unique_ptr<Measure> make_logs_measure(const SignalContext& signal) {
  return std::make_unique<LogsMeasure>(signal);
}
