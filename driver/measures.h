// Signal performance measures: the tables engineers use, computed from the
// events of each signal's logs taken in time order.

#ifndef QUILLON_DRIVER_MEASURES_H_
#define QUILLON_DRIVER_MEASURES_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "events/signal_events.h"
#include "logconv/convert_log.h"
#include "logconv/streams.h"
#include "platform/platform.h"

/// What the measures take of one log.
struct LogMeasures {
  std::string path;       // below the directory argument
  LogHour hour;
  bool whole = false;     // read to its end without damage
  uint64_t records = 0;   // whole records read
  bool has_clearance_ends = true;  // its numbering has End Yellow and End Red
  uint64_t detectors[4] = {};      // the channels of its Detector On events
  std::vector<MeasureEvent> events;  // held, or else:
  uint64_t offset = 0, count = 0;    // where they lie in the events file
};

/// Whether the numbering of `table` has rows for the end of yellow and of
/// red clearance (version 4 has none).
bool has_clearance_ends(const EventTable& table);

/// Marks in log.detectors the channels of its held events' Detector Ons.
void note_detectors(LogMeasures* log);

/// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
int64_t days_from_civil(int64_t y, int m, int d);

/// The date of the day `z` days from 1970-01-01.
void civil_from_days(int64_t z, int64_t* y, int* m, int* d);

/// The names of the measure tables, each written as NAME.csv.
extern const char* const kMeasureTables[7];

/// The measure tables, by their place in kMeasureTables.
enum MeasureTable {
  kLogsTable, kActuationsTable, kTerminationsTable, kIntervalsTable,
  kPedTable, kCoordinationTable, kPreemptionTable,
};

/// A time in tenths of a second since 1970 as the tables write it:
/// "YYYY-MM-DD HH:MM:SS.t".
std::string measure_time_text(int64_t tenths);

/// Tenths of a second as the tables write seconds: "12.3".
std::string measure_seconds_text(int64_t tenths);

/// One column of a measure table read back from its CSV.
struct MeasureColumn {
  enum Kind {
    kText,     // codes into `categories`
    kInt,      // the number; kMissing where empty
    kTime,     // nanoseconds since 1970; kMissing where empty
    kSeconds,  // tenths of a second; kMissing where empty
  };
  static constexpr int64_t kMissing = INT64_MIN;
  Kind kind;
  std::string name;
  std::vector<int64_t> values;          // a row each: codes, numbers or times
  std::vector<std::string> categories;  // of a text column, by first use
};

/// Reads the text of the measure table `table` (an index of kMeasureTables)
/// as MeasureTables writes it, header included, into its columns. Returns
/// false, with *err naming the row, where the text is not such a table.
bool read_measure_table(int table, std::string_view csv,
                        std::vector<MeasureColumn>* columns, std::string* err);

/// Writes the measure tables of a run as CSV: a header row each, then the
/// rows of every signal given to add_signal, in the order given. A signal's
/// rows are written as they are settled, so memory holds its open
/// intervals and bins, not its logs.
class MeasureTables {
 public:
  /// `bin_minutes`: a divisor of 60; `out`: where each table of
  /// kMeasureTables goes.
  MeasureTables(int bin_minutes, OutputStream* const out[7]);

  /// Computes the measures of the signal `signal_id` from its logs (in any
  /// order: they are taken by their hour) and writes its rows. Events not
  /// held are read from `events`. Returns false when that read failed
  /// (*err says why) or a table refused a write (*err left empty).
  bool add_signal(const std::string& signal_id, std::vector<LogMeasures> logs,
                  File* events, std::string* err);

  /// Writes what is still held, the headers at least. Returns false when a
  /// table refused a write.
  bool finish();

 private:
  // Writes the text held for each table, of every table with `all`, else
  // of those that hold much. Returns false when a table refused it.
  bool flush(bool all);

  int64_t bin_tenths_;
  OutputStream* out_[7];
  std::string text_[7];
};

#endif  // QUILLON_DRIVER_MEASURES_H_
