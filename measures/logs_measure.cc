// logs.csv: a row for each log of the signal, ok where it was read to its
// end, damaged where not, and a missing row for each hour between two logs
// that has none.

#include "logconv/convert_log.h"
#include "measures/tables.h"

namespace {

class LogsMeasure : public Measure {
 public:
  using Measure::Measure;

  uint32_t kinds() const override { return 0; }

  void begin_log(const LogMeasures& log, int64_t start, int64_t previous) override {
    for (int64_t h = previous + kTenthsPerHour; h < start; h += kTenthsPerHour) {
      time_.put_hour(&row(), h);
      *signal_.out += ",missing,,\n";
    }
    std::string& out = row();
    time_.put_hour(&out, start);
    out += log.covered ? ",ok," : ",damaged,";
    put_int(&out, static_cast<int64_t>(log.records));
    out += ',';
    out += csv_field(log.path);
    out += '\n';
  }

  void take(std::span<const MeasureEvent>, int64_t) override {}
  void settle(int64_t) override {}
};

}  // namespace

std::unique_ptr<Measure> make_logs_measure(const SignalContext& signal) {
  return std::make_unique<LogsMeasure>(signal);
}
