// Time zones: the offset from UTC that a zone's clocks keep at each instant,
// read from the compiled zone files of the IANA time zone database (TZif,
// the files of /usr/share/zoneinfo), and the instants a wall time of the
// zone can be. The same files give the same answers on every system.

#ifndef QUILLON_LOGCONV_TIME_ZONE_H_
#define QUILLON_LOGCONV_TIME_ZONE_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "logconv/log_time.h"

/// A zone's rule for the years after its last listed change, as the zone
/// file's closing line gives it ("CST6CDT,M3.2.0,M11.1.0"): a standard
/// offset and, where it keeps daylight saving, the daylight offset and the
/// two moments of each year that change between them.
struct ZoneRule {
  /// A moment of the year: Mm.w.d (kind 'M': month, week 1 to 5 (5 the
  /// last), weekday 0 Sunday), Jn (kind 'J': day 1 to 365, 29 February never
  /// counted) or n (kind 'n': day 0 to 365); at `time` seconds after that
  /// day's midnight of the wall time then in force (negative or past 24
  /// hours allowed).
  struct Moment {
    char kind = 'M';
    int month = 0, week = 0, weekday = 0, day = 0;
    int32_t time = 7200;
  };
  int32_t standard = 0;       // seconds east of UTC
  bool daylight = false;      // whether it keeps daylight saving
  int32_t saving = 0;         // daylight offset, seconds east of UTC
  Moment start, end;          // to daylight, and back to standard
};

/// Reads the rule `text` of a zone file's closing line. Returns false where
/// it is not one.
bool parse_zone_rule(std::string_view text, ZoneRule* rule);

class TimeZone {
 public:
  /// Loads the zone `name` (an IANA name such as "America/Chicago") from
  /// the folder `folder` (time_zone_folder() where empty). Returns false,
  /// with *err saying why ("unknown time zone" for a name that has no file
  /// there), when it cannot.
  bool load(const std::string& name, const std::string& folder, std::string* err);

  /// Reads a zone from the bytes of its file. Returns false, with *err set,
  /// where they are not a zone file.
  bool parse(std::string_view tzif, std::string* err);

  /// The zone's name as loaded.
  const std::string& name() const { return name_; }

  /// The offset from UTC, in seconds east of it, at the instant `utc`
  /// (seconds since 1970-01-01 00:00 UTC).
  int32_t offset_at(int64_t utc) const;

  /// The offsets that the wall time `local` (seconds since 1970-01-01 00:00
  /// on the zone's clocks) can have: none where the clocks skipped it, two
  /// where they showed it twice (the earlier instant's first). Returns how
  /// many it put in `offsets`.
  int offsets_of(int64_t local, int32_t offsets[2]) const;

  /// Whether the zone's clocks showed some time of the hour `hour` twice
  /// (the hour of a fall-back).
  bool shows_twice(const LogHour& hour) const;

 private:
  std::string name_;
  std::vector<int64_t> changes_;   // the instants the offset changed, ascending
  std::vector<int32_t> offsets_;   // the offset from each change on
  int32_t first_ = 0;              // before the first change
  bool has_rule_ = false;          // after the last change: rule_
  ZoneRule rule_;
};

/// Where a log's wall times stand in a zone: each record's offset, taken
/// in file order. A zone's clocks showing an hour twice (the fall-back) show
/// it first with the earlier offset; a record that steps back by no more
/// than the change, both records within the hour shown twice, is where the
/// clocks went back, and times shown twice take the later offset from there.
/// A controller that writes the hour shown twice as two logs has the second
/// of them all in the later offset.
class ZonedHour {
 public:
  /// For a log of `hour` on the clocks of `zone`; `second_pass`: the later
  /// of two logs of the hour shown twice (Task::second_pass).
  ZonedHour(const TimeZone& zone, const LogHour& hour, bool second_pass = false);

  /// Whether every record of the log, whatever its time, has the one
  /// offset constant_offset().
  bool constant() const { return constant_; }
  int32_t constant_offset() const { return constant_offset_; }

  /// Whether the hour's start is a wall time that the zone's clocks
  /// skipped.
  bool skipped() const { return skipped_; }

  /// The offset of the next record, at `stamp` tenths after the hour's
  /// start. A time the clocks skipped takes the offset before the change,
  /// and is counted in skipped_times().
  int32_t offset(uint32_t stamp);

  /// How many records fell at wall times that the clocks skipped.
  uint64_t skipped_times() const { return skipped_times_; }

  /// The offset of the hour's start, as offset() gives it for a first
  /// record there, and the instant the hour starts at (tenths since 1970
  /// UTC): its start less that offset.
  int32_t start_offset() const { return constant_offset_; }
  int64_t start() const { return start_ - int64_t{constant_offset_} * 10; }

  /// Where the records so far showed the clocks going back (the hour shown
  /// twice, both times in this log): the tenths they went back; else 0.
  uint32_t went_back() const { return went_back_; }

 private:
  const TimeZone& zone_;
  int64_t start_;  // the hour's start, tenths on the zone's clocks
  bool constant_ = false, skipped_ = false, stepped_ = false;
  int32_t constant_offset_ = 0;  // of the start, where not constant
  uint32_t last_ = UINT32_MAX;
  uint32_t went_back_ = 0;
  uint64_t skipped_times_ = 0;
};

/// Appends the offset `seconds` east of UTC as ISO 8601 writes it:
/// "-05:00", "+10:30", "+00:00" ("-00:44:30" where seconds remain).
void put_utc_offset(std::string* out, int32_t seconds);

/// Puts the offset as put_utc_offset appends it at `p`, which has room for
/// 9 bytes; returns the end of what it put.
char* put_utc_offset(char* p, int32_t seconds);

/// The offsets of a zone at instants that come mostly in order: the offset
/// of the hour asked last is kept where it holds the whole hour, which
/// saves a search an instant.
class OffsetCache {
 public:
  explicit OffsetCache(const TimeZone* zone = nullptr) : zone_(zone) {}

  /// The offset in seconds at the instant `t`, tenths of a second since
  /// 1970 UTC.
  int32_t at(int64_t t) {
    if (t >= hour_ && t < hour_ + 36000) return steady_ ? offset_ : zone_->offset_at(floor_div(t, 10));
    return fill(t);
  }

  const TimeZone* zone() const { return zone_; }

 private:
  int32_t fill(int64_t t);

  const TimeZone* zone_;
  int64_t hour_ = INT64_MIN;  // the UTC hour asked last
  int32_t offset_ = 0;        // its offset, where
  bool steady_ = false;       // ... it holds the whole hour
};

#endif  // QUILLON_LOGCONV_TIME_ZONE_H_
