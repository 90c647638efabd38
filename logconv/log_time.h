// Time as the logs keep it: tenths of a second on the controller's clock,
// counted from 1970-01-01 00:00 in the proleptic Gregorian calendar. Every
// output that writes a time, an hour or a date, and every measure that bins
// or cuts days, goes through here; every division rounds down, for times
// before 1970 too.

#ifndef QUILLON_LOGCONV_LOG_TIME_H_
#define QUILLON_LOGCONV_LOG_TIME_H_

#include <cstdint>
#include <string>

class OffsetCache;

/// A log's hour as numbers.
struct LogHour {
  int year, month, day, hour;
};

/// Tenths of a second in an hour, and in a day. A record's timestamp at or
/// past an hour counts into the next hour.
constexpr int64_t kTenthsPerHour = 36000, kTenthsPerDay = 24 * kTenthsPerHour;

/// `a` divided by `b` (above 0), rounded down: -1 / 10 is -1.
inline int64_t floor_div(int64_t a, int64_t b) {
  return a / b - (a % b != 0 && a < 0);
}

/// The start of the bin of `b` tenths that holds the time `t`, bins counted
/// from 1970-01-01 00:00.
inline int64_t bin_start(int64_t t, int64_t b) { return floor_div(t, b) * b; }

/// The day that holds the time `t`, counted from 1970-01-01.
inline int64_t day_of(int64_t t) { return floor_div(t, kTenthsPerDay); }

/// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
int64_t days_from_civil(int64_t y, int m, int d);

/// The date of the day `z` days from 1970-01-01.
void civil_from_days(int64_t z, int64_t* y, int* m, int* d);

/// How many days `month` (1 to 12) has in `year`, leap years as the
/// Gregorian calendar has them.
int days_in_month(int year, int month);

/// The hour after `hour`, across days, months and years.
LogHour next_hour(LogHour hour);

/// The start of `hour` in tenths of a second since 1970.
int64_t hour_start(const LogHour& hour);

/// The longest texts of a time, of seconds, of an integer, and of a double
/// with up to four decimals (its 309 digits and more).
const size_t kMaxTimeSize = 48, kMaxSecondsSize = 22, kMaxIntSize = 20, kMaxFixedSize = 400;

/// Puts times as the outputs write them, "YYYY-MM-DD HH:MM:SS.t" (years past
/// 9999 and before 0 with all their digits). Times come day by day: the
/// text of the last date is kept, which saves working out the calendar for
/// each.
class TimestampText {
 public:
  /// With a zone, times are instants (tenths since 1970 UTC), put as the
  /// zone's clocks showed them, in ISO 8601 with their offset:
  /// "YYYY-MM-DDTHH:MM:SS.t-05:00". Null: times as they are.
  void set_zone(OffsetCache* zone) { zone_ = zone; }

  /// Appends the time `t` to *out.
  void put(std::string* out, int64_t t);

  /// Puts the time `t` at `p`, which has room for kMaxTimeSize bytes;
  /// returns the end of what it put.
  char* put(char* p, int64_t t);

  /// Appends "YYYY-MM-DD HH:00:00", the start of the hour that holds `t`
  /// ("YYYY-MM-DDTHH:00:00-05:00" in a zone).
  void put_hour(std::string* out, int64_t t);

  /// Puts the wall time `t` of a clock `offset` seconds east of UTC at `p`
  /// (room for kMaxTimeSize bytes) in ISO 8601 with its offset,
  /// "YYYY-MM-DDTHH:MM:SS.t-05:00", or with `utc` as the instant in UTC,
  /// "YYYY-MM-DDTHH:MM:SS.tZ"; returns the end of what it put. Every time
  /// written in a zone is put here.
  char* put_zoned(char* p, int64_t t, int32_t offset, bool utc = false);

 private:
  char* put_wall(char* p, int64_t t);
  void set_day(int64_t day);

  OffsetCache* zone_ = nullptr;

  int64_t day_ = INT64_MIN;
  std::string date_;  // "YYYY-MM-DD " of day_
  // The hour written last, and its "YYYY-MM-DD HH:" with room for
  // "MM:SS.t" after it: a measure's times come mostly in order, which saves
  // the hour's digits a time, and the whole time is one append.
  int64_t hour_ = INT64_MIN;
  char hour_text_[40] = {};
  size_t hour_size_ = 0;
};

/// The time `t` as "YYYY-MM-DD HH:MM:SS.t".
std::string timestamp_text(int64_t t);

/// "YYYY-MM-DD HH:" of an hour, as the events table starts its timestamps.
std::string hour_text(const LogHour& hour);

/// "YYYY-MM-DD HH:00:00", the start of an hour, as the tables of logs write
/// it.
std::string hour_start_text(const LogHour& hour);

/// "YYYY-MM-DD", a day counted from 1970-01-01.
std::string date_text(int64_t day);

/// Appends tenths of a second as seconds to the tenth: "12.3", "-0.5".
void put_seconds(std::string* out, int64_t tenths);

/// Puts tenths of a second as seconds at `p`, which has room for
/// kMaxSecondsSize bytes; returns the end of what it put.
char* put_seconds(char* p, int64_t tenths);

/// Appends `v` in decimal.
void put_int(std::string* out, int64_t v);

/// Puts `v` in decimal at `p`, which has room for kMaxIntSize bytes;
/// returns the end of what it put.
char* put_int(char* p, int64_t v);

/// Appends `v` with `decimals` decimals: its exact value rounded to the
/// nearest, a half to even (as glibc's printf and Python write it), on
/// every system: Windows' printf rounds halves away from zero.
void put_fixed(std::string* out, double v, int decimals);

/// Puts `v` with `decimals` decimals (0 to 4) at `p`, which has room for
/// kMaxFixedSize bytes, as put_fixed appends it; returns the end of what it
/// put.
char* put_fixed(char* p, double v, int decimals);

#endif  // QUILLON_LOGCONV_LOG_TIME_H_
