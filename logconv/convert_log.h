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
#include <string_view>

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
struct ConvertResult {
  LogEnd end;
  /// The offending type byte when `end` is kBadEventType.
  int bad_type;
  /// How many whole records were read.
  uint64_t records = 0;
};

/// Converts a whole log file read from `input` into CSV text written to
/// `output`. `file_name` is the log's name without its directory; the date
/// and hour of every row come from it. Neither opens, closes nor reports on
/// the console: the result tells how the CSV closed.
ConvertResult convert_log(InputStream& input, OutputStream& output,
                          std::string_view file_name, Mode mode);

/// Converts logs one after another as convert_log does, keeping its buffers
/// from one to the next (which saves two large allocations a file). Holds
/// nothing else between conversions; one per thread.
class LogConverter {
 public:
  /// convert_log, with this converter's buffers.
  ConvertResult convert(InputStream& input, OutputStream& output,
                        std::string_view file_name, Mode mode);

 private:
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

/// A log's hour as numbers.
struct LogHour {
  int year, month, day, hour;
};

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
