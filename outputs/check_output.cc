#include "outputs/check_output.h"

#include <string>
#include <utility>

namespace {

// -t: every log read, nothing written.
class CheckOutput : public Output {
 public:
  CheckOutput(Mode mode, bool predicts_decompression, bool converts_undated,
              bool fail_fast)
      : mode_(mode),
        predicts_decompression_(predicts_decompression),
        converts_undated_(converts_undated),
        fail_fast_(fail_fast) {}

  bool stops_at_first_failure() const override { return fail_fast_; }
  bool predicts_decompression() const override {
    return predicts_decompression_;
  }
  bool converts_undated() const override { return converts_undated_; }

  bool names_logs() const override { return false; }

  std::unique_ptr<LogOutput> start(const Task& task, File&, const LogHour&,
                                   bool, std::string*) override {
    return std::make_unique<Check>(task.log_name, mode_);
  }
  std::string name(const Task&) const override { return std::string(); }

 private:
  class Check : public LogOutput {
   public:
    Check(std::string log_name, Mode mode)
        : log_name_(std::move(log_name)), mode_(mode) {}
    // The CSV's conversion, into nothing: the same records, damage and rows.
    ConvertResult convert(LogConverter& converter, InputStream& input) override {
      return converter.convert(input, null_, log_name_, mode_);
    }
    std::string error() const override { return std::string(); }
    Outcome publish(std::string*) override { return Outcome::kDone; }

   private:
    std::string log_name_;
    Mode mode_;
    NullOutput null_;
  };

  Mode mode_;
  bool predicts_decompression_, converts_undated_, fail_fast_;
};

}  // namespace

std::unique_ptr<Output> make_check_output(Mode mode, bool predicts_decompression,
                                          bool converts_undated, bool fail_fast) {
  return std::make_unique<CheckOutput>(mode, predicts_decompression, converts_undated,
                                       fail_fast);
}
