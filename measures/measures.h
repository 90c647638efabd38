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

/// Where a signal's measures stood after its last log, before they were
/// ended: what a later run needs to go on from there with the logs that
/// came since, as if it had measured every log.
struct SignalCheckpoint {
  int64_t last_start = kNoHour;   // the hour of its last log measured; kNoHour: none
  uint32_t last_clock = RecordClock::kNoRecord;  // that log's last record's time
  bool last_covered = false;      // ... read to its end without damage
  uint64_t detectors[4] = {};     // the channels its measures took as detectors
  /// By table of kMeasureSchema: its measure's state (empty for a table
  /// not written), the bytes of the signal's rows written by then, and of
  /// all of them.
  std::vector<std::string> states;
  std::vector<uint64_t> before, rows;

  /// Saves or loads it, as `io` does.
  void state(StateIO& io) {
    io(last_start, last_clock, last_covered, detectors, states, before, rows);
  }
};

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
  /// With `from`, the signal goes on from where an earlier run left it,
  /// `logs` being those after its last one (all of them later), its rows
  /// up to there already given to add_text(). With `at_end`, where it
  /// stands after its last log is kept there, its `before` and `rows`
  /// counted from the start of its rows in this call.
  bool add_signal(const std::string& signal_id, std::vector<LogMeasures> logs,
                  File* events, std::string* err, const SignalCheckpoint* from = nullptr,
                  SignalCheckpoint* at_end = nullptr);

  /// Appends `text`, rows as written, to the table `table` of
  /// kMeasureSchema. Returns false when the table refused a write.
  bool add_text(size_t table, std::string_view text);

  /// Appends `size` bytes of rows as written, read from the file `from` at
  /// `offset`, to the table `table`. Returns false when they could not be
  /// read or the table refused them.
  bool copy_rows(size_t table, File& from, uint64_t offset, uint64_t size);

  /// The bytes given to the table `table` so far, its header included.
  uint64_t written(size_t table) const { return flushed_[table] + text_[table].size(); }

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
  std::vector<uint64_t> flushed_;  // by table: the bytes written out
  std::string notes_;
};

#endif  // QUILLON_MEASURES_MEASURES_H_
