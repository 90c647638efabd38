// The columns of the dataframes: the rows of a run's logs, read from their
// packed form into one array per column, as the Python module hands them
// to pandas.

#ifndef QUILLON_OUTPUTS_FRAMES_H_
#define QUILLON_OUTPUTS_FRAMES_H_

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "outputs/log_sink.h"
#include "logconv/convert_log.h"

/// The years whose hours a timestamp in nanoseconds since 1970 (numpy's
/// datetime64[ns]) can hold.
const int kFirstColumnYear = 1678, kLastColumnYear = 2261;

/// Nanoseconds from 1970-01-01 00:00 to the start of `hour`, in the
/// proleptic Gregorian calendar.
int64_t hour_ns(const LogHour& hour);

/// The columns of every row of a run, in the order of its logs. Names,
/// data bytes and signal ids are coded: each column holds indices into its
/// list of values, numbered in the order the values first appear.
struct RunColumns {
  std::vector<int64_t> timestamp;  // nanoseconds since 1970
  std::vector<int32_t> signal;     // into `signals`
  std::vector<std::string> signals;
  std::vector<uint8_t> code;       // the standard code, or the event type
  // Standard mode: the parameter, and 1 where the code has none.
  std::vector<int16_t> param;
  std::vector<uint8_t> param_missing;
  // Proprietary mode: the name and the data bytes.
  std::vector<int32_t> name, data;  // into `names`, `datas`
  std::vector<std::string> names, datas;
  /// The header version of each row's log, and the log, into `logs`.
  std::vector<int32_t> version, log;
  /// Each log taken (its header left out).
  std::vector<LogToLoad> logs;
  /// By log, after to_instants: the offset from UTC of its hour's start, in
  /// seconds; empty before.
  std::vector<int32_t> start_offsets;
};

/// Turns the wall times of `run` (the controllers' clocks in `zone`) into
/// instants, nanoseconds since 1970 UTC: each row less its offset, its
/// log's records taken in order to tell the hour shown twice apart; and
/// notes each log's start offset.
void to_instants(RunColumns* run, const TimeZone& zone);

/// Takes the logs of a run and keeps their rows as columns. A log's rows
/// are read into columns of its own where its task runs (prepare), and
/// joined to the run's in the order of the logs.
class ColumnSink : public LogSink {
 public:
  /// With `rows` false, only the logs are kept, not their rows.
  explicit ColumnSink(Mode mode, bool rows = true);
  ~ColumnSink() override;
  ColumnSink(const ColumnSink&) = delete;
  ColumnSink& operator=(const ColumnSink&) = delete;

  std::unique_ptr<PreparedRows> prepare(const LogToLoad& log,
                                        SpillOutput& rows) override;
  bool load(const LogToLoad& log, SpillOutput& rows,
            std::unique_ptr<PreparedRows> prepared, std::string* err) override;
  std::string name() const override { return "the dataframe"; }

  /// The columns of every log taken, in their order; the sink is empty
  /// afterwards. The rows are copied once at most: those of a single log
  /// not at all.
  RunColumns take();

  /// One log's columns, as prepare() makes them.
  struct LogColumns;

 private:
  Mode mode_;
  bool rows_kept_;
  std::vector<std::unique_ptr<LogColumns>> columns_;  // a log each
  size_t rows_ = 0;
  std::vector<int32_t> signal_of_log_;
  std::vector<std::string> signals_;
  std::unordered_map<std::string, int32_t> signal_codes_;
  std::vector<LogToLoad> logs_;
};

#endif  // QUILLON_OUTPUTS_FRAMES_H_
