// Signal performance measures: the tables engineers use, computed from the
// events of each signal's logs taken in time order, and read back.

#ifndef QUILLON_MEASURES_MEASURES_H_
#define QUILLON_MEASURES_MEASURES_H_

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "events/signal_events.h"
#include "logconv/streams.h"
#include "measures/measure.h"
#include "measures/schema.h"
#include "platform/platform.h"

/// Marks in log.detectors the channels of its held events' Detector Ons.
void note_detectors(LogMeasures* log);

/// One column of a measure table read back from its CSV.
struct MeasureColumn {
  static constexpr int64_t kMissing = INT64_MIN;
  const MeasureColumnDef* def = nullptr;
  /// A row each: of text, codes into `categories`; of numbers, the number;
  /// of times, tenths of a second since 1970 (every year 1 to 9999 fits);
  /// of seconds, tenths; of shares, ten-thousandths; of ratios,
  /// hundredths; kMissing where empty.
  std::vector<int64_t> values;
  std::vector<std::string> categories;  // of text, by first use
};

/// Reads the text of the measure table `table` as MeasureTables writes it,
/// header included, into its columns. Returns false, with *err naming the
/// row and column, where the text is not such a table.
bool read_measure_table(const MeasureTableDef& table, std::string_view csv,
                        std::vector<MeasureColumn>* columns, std::string* err);

/// Writes the measure tables of a run as CSV: a header row each, then the
/// rows of every signal given to add_signal, in the order given. A signal's
/// rows are written as they are settled, so memory holds its open
/// intervals and bins, not its logs.
class MeasureTables {
 public:
  /// `settings`: the bins, gaps, thresholds and detector map; `out`: where
  /// each table of kMeasureSchema goes, in its order, null for one not
  /// written (a map's without a map); `last_hour`: where the last hour of
  /// the run starts (up to which each signal's hours after its last log
  /// are missing), or kNoHour.
  MeasureTables(const MeasureSettings& settings, std::span<OutputStream* const> out,
                int64_t last_hour = kNoHour);

  /// Computes the measures of the signal `signal_id` from its logs (in any
  /// order: they are taken by their hour) and writes its rows. Events not
  /// held are read from `events`. Returns false when that read failed
  /// (*err says why) or a table refused a write (*err left empty).
  bool add_signal(const std::string& signal_id, std::vector<LogMeasures> logs,
                  File* events, std::string* err);

  /// Writes what is still held, the headers at least. Returns false when a
  /// table refused a write.
  bool finish();

  /// The notes of the signals added, whole lines: the logs whose clock went
  /// back, and the second logs of an hour.
  const std::string& notes() const { return notes_; }

 private:
  // Writes the text held for each table, of every table with `all`, else
  // of those that hold much; of the tables `tables` only where given.
  // Returns false when a table refused it.
  bool flush(bool all);
  bool flush(const std::vector<size_t>& tables, bool all);

  MeasureSettings settings_;
  int64_t last_hour_;
  std::vector<OutputStream*> out_;
  std::vector<std::string> text_;
  std::string notes_;
};

#endif  // QUILLON_MEASURES_MEASURES_H_
