// Signal performance measures: the tables engineers use, computed from the
// events of each signal's logs taken in time order.

#ifndef QUILLON_DRIVER_MEASURES_H_
#define QUILLON_DRIVER_MEASURES_H_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "events/signal_events.h"
#include "logconv/convert_log.h"
#include "logconv/streams.h"

/// What the measures take of one log.
struct LogMeasures {
  std::string path;       // below the directory argument
  LogHour hour;
  bool whole = false;     // read to its end without damage
  uint64_t records = 0;   // whole records read
  bool has_clearance_ends = true;  // its numbering has End Yellow and End Red
  std::vector<MeasureEvent> events;
};

/// Whether the numbering of `table` has rows for the end of yellow and of
/// red clearance (version 4 has none).
bool has_clearance_ends(const EventTable& table);

/// The names of the measure tables, each written as NAME.csv.
extern const char* const kMeasureTables[7];

/// The measure tables of a run, as CSV text: a header row each, then the
/// rows of every signal given to add_signal, in the order given.
class MeasureTables {
 public:
  /// `bin_minutes`: a divisor of 60.
  explicit MeasureTables(int bin_minutes);

  /// Computes the measures of the signal `signal_id` from its logs (in any
  /// order: they are taken by their hour) and adds its rows.
  void add_signal(const std::string& signal_id, std::vector<LogMeasures> logs);

  /// The text of table `i` of kMeasureTables, header first.
  const std::string& text(int i) const { return text_[i]; }

 private:
  int bin_tenths_;
  std::string text_[7];
};

#endif  // QUILLON_DRIVER_MEASURES_H_
