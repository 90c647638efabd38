// Conversion of one controller log file into one CSV file.
//
// A log file is a text header, ended by the first line that contains
// "Binary Data Follows:", and then packed binary event records: a type byte,
// a big-endian timestamp in tenths of a second since the start of the hour
// named by the file name, and as many data bytes as the event table of the
// header's version gives for that type.

#ifndef QUILLON_LOGCONV_CONVERT_LOG_H_
#define QUILLON_LOGCONV_CONVERT_LOG_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "logconv/log_time.h"
#include "logconv/time_zone.h"
#include "logconv/streams.h"

/// What the rows of a CSV show.
enum class Mode {
  /// Every record with the controller's own event number, data bytes, name
  /// and on/off state.
  kProprietary,
  /// Records translated into standard enumeration codes; records without a
  /// standard equivalent are left out.
  kStandard,
};

/// How a conversion ended; the closing row of the CSV says the same.
enum class LogEnd {
  /// ",End of Controller Log": the input ended cleanly between records.
  kEndOfLog,
  /// ",Error: bad file read": a read failed, or the input ended inside the
  /// header or inside a record.
  kBadFileRead,
  /// ",Error: bad event type N": a type byte beyond the event table.
  kBadEventType,
  /// The output could not be written; the CSV is incomplete.
  kWriteFailed,
};

/// The outcome of convert_log.
/// How the clock of a log's records went, as the measures read it (times in
/// tenths since the start of the log's hour), and the channels that came on.
struct RecordClock {
  static constexpr uint32_t kNoRecord = UINT32_MAX;
  uint32_t first = kNoRecord;  // the first record's time
  uint32_t last = kNoRecord;   // the last record's time
  uint64_t steps_back = 0;     // records earlier than the one before them
  uint32_t largest_step = 0;   // the largest such step
  uint64_t detectors[4] = {};  // the channels of its Detector Ons, a bit each
  /// With a zone: where the zone's clocks went back within the log (the
  /// hour shown twice, both times in it), the tenths they went back: its
  /// hour is that much longer in real time. Else 0.
  uint32_t went_back = 0;
};

struct ConvertResult {
  LogEnd end;
  /// The offending type byte when `end` is kBadEventType.
  int bad_type;
  /// How many whole records were read.
  uint64_t records = 0;
  /// How many of them gave a row (in standard mode those with a standard
  /// code; else all).
  uint64_t rows = 0;
  /// The format version read from the header's first line.
  int version = 0;
  /// Whether the rows stopped at the bound on what is written.
  bool output_cut = false;
  /// The records' clock; read by the measures' conversion only.
  RecordClock clock = {};
  /// Events in a zone: the rows at wall times that its clocks skipped.
  uint64_t skipped_times = 0;
};

/// The two fields that a name longer than 17 characters carries before its
/// date (AB and 17 of AB_17_2022_06_08_13.dat), joined by one "_"; empty
/// for a shorter name.
std::string leading_fields(std::string_view file_name);

/// The timestamps of one log's events as the events table and the database
/// write them, "YYYY-MM-DD HH:MM:SS.t": the hour of the log's name plus the
/// record's tenths of a second, a time past the hour the next hour's.
class EventClock {
 public:
  explicit EventClock(const LogHour& hour);

  /// "YYYY-MM-DD HH:" of the log's hour, and of the next.
  const std::string& hour() const { return hour_; }
  const std::string& next_hour() const { return next_hour_; }

  /// Puts the timestamp of `tenths` at `out` and returns where it ends.
  char* put(char* out, unsigned tenths) const;

 private:
  std::string hour_, next_hour_;
};

/// The layout of the rows that LogConverter::convert_packed writes. A
/// standard row: two time bytes (big-endian), the code, the parameter, and 1
/// when there is a parameter, else 0. A proprietary row: the record as it is
/// (type, two time bytes, data bytes).
namespace packed {
const size_t kStandardRowSize = 5;
const size_t kTime = 0, kCode = 2, kParam = 3, kHasParam = 4;
const size_t kRecordHead = 3;  // type and time, before the data bytes
}  // namespace packed

/// What the rows of a log in the events table start with.
struct EventsLog {
  /// The signal id as a field of the table (csv_field of it).
  std::string_view signal_field;
  /// The hour the records' timestamps count from.
  LogHour hour;
  /// With a zone, the zone of the controller's clock: timestamps in ISO
  /// 8601 with their offset from UTC ("2026-11-01T01:30:00.0-05:00"), or
  /// with `utc` the instant in UTC ("2026-11-01T06:30:00.0Z").
  const TimeZone* zone = nullptr;
  bool utc = false;
  /// In the zone, the second of two logs of the hour shown twice.
  bool second_pass = false;
};

/// The first line of the events table: its column names in `mode`.
std::string_view events_header(Mode mode);

/// `field` as a CSV field: quoted, with its quotes doubled, when it holds a
/// comma, a double quote or a line end (RFC 4180); as it is otherwise.
std::string csv_field(std::string_view field);

/// Converts a whole log file read from `input` into CSV text written to
/// `output`. `file_name` is the log's name without its directory; the date
/// and hour of every row come from it. Neither opens, closes nor reports on
/// the console: the result tells how the CSV closed.
ConvertResult convert_log(InputStream& input, OutputStream& output,
                          std::string_view file_name, Mode mode);

/// What one conversion writes: the CSV of the log (header rows, event rows,
/// closing row), the log's rows of the events table, its rows packed, or
/// the events that the measures use.
enum class RowForm { kCsv, kEvents, kPacked, kMeasures };

/// Converts logs one after another as convert_log does, keeping its buffers
/// from one to the next (which saves two large allocations a file). Holds
/// nothing else between conversions; one per thread.
class LogConverter {
 public:
  /// Allocates the buffers now rather than at the first conversion;
  /// throws std::bad_alloc when there is no memory for them.
  void reserve();

  /// convert_log, with this converter's buffers. With `max_output` (0: no
  /// bound), the rows stop before the one that would take the CSV past that
  /// many bytes, the conversion ending there as a read cut short does, its
  /// closing row after them; ConvertResult::output_cut then says so.
  ConvertResult convert(InputStream& input, OutputStream& output,
                        std::string_view file_name, Mode mode,
                        uint64_t max_output = 0);

  /// Writes the rows of a log read from `input` in the events table to
  /// `output`: no header rows and no closing row, one row per record (in
  /// standard mode per record that has a standard code), the timestamp the
  /// hour's plus the record's tenths of a second, also past the hour.
  /// `max_output` bounds the rows as for convert().
  ConvertResult convert_events(InputStream& input, OutputStream& output,
                               const EventsLog& log, Mode mode,
                               uint64_t max_output = 0);

  /// Writes the rows of a log read from `input` packed for a program to
  /// read, laid out as `packed` says. Records without a standard code give
  /// no row, as in the events table. `header`, when not null, receives the
  /// log's header: its lines up to and including the one that holds "Binary
  /// Data Follows:" when that ends within the first kMaxHeader bytes, else
  /// nothing.
  ConvertResult convert_packed(InputStream& input, OutputStream& output,
                               Mode mode, std::string* header = nullptr);

  /// Writes the events of a log read from `input` that the signal
  /// performance measures use (events/signal_events.h), each a
  /// MeasureEvent as its bytes are, in file order (detectors and pedestrian
  /// calls only as they come on). With `zoned`, for a log whose offset
  /// changes within it, times are tenths after the instant its hour starts
  /// at (ZonedHour::start_offset()), in real time: the clocks going back
  /// in the fall no step back.
  ConvertResult convert_measures(InputStream& input, OutputStream& output,
                                 ZonedHour* zoned = nullptr);

  /// The most bytes of header that convert_packed hands over.
  static constexpr size_t kMaxHeader = 64 << 10;

 private:
  template <RowForm kForm>
  ConvertResult convert_as(InputStream& input, OutputStream& output, Mode mode,
                           const std::string& prefix,
                           const std::string& next_prefix,
                           std::string* header, uint64_t max_output,
                           std::string_view zone_suffix = {}, ZonedHour* zoned = nullptr);

  std::unique_ptr<char[]> in_buf_;
  std::unique_ptr<char[]> out_buf_;
  size_t out_capacity_ = 0;
};

/// The date and hour that a log's file name carries.
struct LogDate {
  std::string_view year, month, day, hour;
};

/// Takes year, month, day and hour from a name such as 2022_06_08_13.dat or,
/// when the name is longer than 17 characters, AB_17_2022_06_08_13.dat (the
/// first two fields are then skipped). A missing field reads "(null)". The
/// fields point into `file_name`.
LogDate parse_log_date(std::string_view file_name);

/// Reads the fields of `date` as a date and an hour: each written in decimal
/// digits only, the year from 1 to 9999, the month from 1 to 12, a day that
/// month has in that year (leap years as the Gregorian calendar has them),
/// the hour from 0 to 23. Returns false, leaving *hour as it was, when the
/// fields are no such date and hour.
bool read_log_hour(const LogDate& date, LogHour* hour);

/// Reads the format version from a log's first header line: its sixth
/// space-separated word as a decimal number, 0 when there is none.
int parse_log_version(std::string_view first_line);

#endif  // QUILLON_LOGCONV_CONVERT_LOG_H_
