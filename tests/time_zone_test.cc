// Time zones read from the system's zone files: offsets at instants, wall
// times skipped or shown twice, the rule of the years past the listed
// changes, and where a log's records stand around the changes.

#include "logconv/time_zone.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TimeZone loaded(const std::string& name) {
  TimeZone zone;
  std::string err;
  EXPECT_TRUE(zone.load(name, "", &err)) << err;
  return zone;
}

// A zone file that lists no change, only the rule `rule`.
std::string rule_only(const std::string& rule) {
  std::string header(44, '\0');
  header.replace(0, 5, "TZif2");
  header[20 + 4 * 4 + 3] = 1;  // one type
  header[20 + 5 * 4 + 3] = 1;  // one byte of abbreviations
  const std::string type("\0\0\0\0\0\0\0", 7);  // offset 0, its abbreviation ""
  return header + type + header + type + "\n" + rule + "\n";
}

TEST(TimeZone, OffsetsAtTheChanges) {
  struct Case {
    const char* zone;
    int64_t utc;
    int32_t offset;
  };
  // Both sides of this year's changes, one before the listed changes and
  // one in a year past them, as Python's zoneinfo gives them.
  const Case kCases[] = {
      {"America/Chicago", 1772956799, -21600}, {"America/Chicago", 1772956800, -18000},
      {"America/Chicago", 1793516399, -18000}, {"America/Chicago", 1793516400, -21600},
      {"America/Chicago", 3802550400, -18000}, {"America/Chicago", -2208988800, -21600},
      {"Australia/Sydney", 1775318399, 39600}, {"Australia/Sydney", 1775318400, 36000},
      {"Australia/Sydney", 1791043200, 39600}, {"Australia/Sydney", 3802550400, 36000},
      {"Australia/Lord_Howe", 1775318399, 37800}, {"Australia/Lord_Howe", 1791043200, 39600},
      {"Australia/Lord_Howe", 3802550400, 37800}, {"Asia/Kolkata", 1775318400, 19800},
      {"Asia/Kolkata", -2208988800, 19270},     {"America/Nuuk", 1772956800, -7200},
      {"America/Nuuk", 1791043200, -3600},      {"Europe/London", 1775318400, 3600},
      {"UTC", 1775318400, 0},
  };
  for (const Case& c : kCases)
    EXPECT_EQ(loaded(c.zone).offset_at(c.utc), c.offset) << c.zone << " at " << c.utc;
}

TEST(TimeZone, TheRuleGivesTheListedChanges) {
  // Each zone's closing rule, read on its own, agrees with every change
  // its file lists from 2024 (Nuuk's rule is that recent) to 2037, a second either side of each.
  const char* kZones[][2] = {
      {"America/Chicago", "CST6CDT,M3.2.0,M11.1.0"},
      {"Australia/Sydney", "AEST-10AEDT,M10.1.0,M4.1.0/3"},
      {"Australia/Lord_Howe", "<+1030>-10:30<+11>-11,M10.1.0,M4.1.0"},
      {"Europe/London", "GMT0BST,M3.5.0/1,M10.5.0"},
      {"America/Nuuk", "<-02>2<-01>,M3.5.0/-1,M10.5.0/0"},
      {"Pacific/Auckland", "NZST-12NZDT,M9.5.0,M4.1.0/3"},
  };
  for (const auto& z : kZones) {
    TimeZone listed = loaded(z[0]), rule;
    std::string err;
    ASSERT_TRUE(rule.parse(rule_only(z[1]), &err)) << err;
    int changes = 0;
    for (int64_t t = 1704067200; t < 2145916800; t += 3600) {
      if (listed.offset_at(t) == listed.offset_at(t + 3600)) continue;
      // A change within the hour: find its second.
      int64_t lo = t, hi = t + 3600;
      while (hi - lo > 1) {
        const int64_t mid = (lo + hi) / 2;
        (listed.offset_at(mid) == listed.offset_at(t) ? lo : hi) = mid;
      }
      ++changes;
      for (int64_t at : {lo - 1, lo, hi, hi + 1})
        ASSERT_EQ(rule.offset_at(at), listed.offset_at(at)) << z[0] << " at " << at;
    }
    EXPECT_GT(changes, 25) << z[0];
  }
}

TEST(TimeZone, WallTimesSkippedAndShownTwice) {
  struct Case {
    const char* zone;
    LogHour wall;
    int minute;
    int count;
    int32_t first, second;
  };
  const Case kCases[] = {
      {"America/Chicago", {2026, 3, 8, 1}, 59, 1, -21600, 0},
      {"America/Chicago", {2026, 3, 8, 2}, 30, 0, -21600, 0},  // the offset before
      {"America/Chicago", {2026, 3, 8, 3}, 0, 1, -18000, 0},
      {"America/Chicago", {2026, 11, 1, 0}, 59, 1, -18000, 0},
      {"America/Chicago", {2026, 11, 1, 1}, 30, 2, -18000, -21600},
      {"America/Chicago", {2026, 11, 1, 2}, 0, 1, -21600, 0},
      {"Australia/Sydney", {2026, 4, 5, 2}, 30, 2, 39600, 36000},
      {"Australia/Sydney", {2026, 10, 4, 2}, 0, 0, 36000, 0},
      {"Australia/Lord_Howe", {2026, 4, 5, 1}, 45, 2, 39600, 37800},
      {"Australia/Lord_Howe", {2026, 4, 5, 1}, 15, 1, 39600, 0},
      {"Asia/Kolkata", {2026, 11, 1, 1}, 30, 1, 19800, 0},
  };
  for (const Case& c : kCases) {
    const int64_t local = hour_start(c.wall) / 10 + c.minute * 60;
    int32_t offsets[2] = {};
    EXPECT_EQ(loaded(c.zone).offsets_of(local, offsets), c.count) << c.zone << " " << c.wall.hour;
    EXPECT_EQ(offsets[0], c.first) << c.zone << " " << c.wall.hour << ":" << c.minute;
    if (c.count == 2) {
      EXPECT_EQ(offsets[1], c.second) << c.zone;
    }
  }
}

TEST(TimeZone, ALogsRecordsAcrossTheChanges) {
  const TimeZone chicago = loaded("America/Chicago");
  // The fall-back hour: the first pass with daylight time; a step back of
  // less than the hour within it is the change; a later step back is not.
  ZonedHour fall(chicago, {2026, 11, 1, 1});
  EXPECT_FALSE(fall.constant());
  EXPECT_EQ(fall.offset(0), -18000);
  EXPECT_EQ(fall.offset(35999), -18000);
  EXPECT_EQ(fall.offset(12), -21600);
  EXPECT_EQ(fall.offset(35999), -21600);
  EXPECT_EQ(fall.offset(10), -21600);
  EXPECT_EQ(fall.offset(36005), -21600);  // 02:00:00.5, after the hour
  // A step back of more than the change is no change.
  ZonedHour jump(chicago, {2026, 11, 1, 1});
  jump.offset(36100);
  EXPECT_EQ(jump.offset(100), -18000);
  // The hour before, running past its end into the hour shown twice.
  ZonedHour before(chicago, {2026, 11, 1, 0});
  EXPECT_EQ(before.offset(36010), -18000);
  // The spring-forward: the hour skipped, and a log running into it.
  ZonedHour skipped(chicago, {2026, 3, 8, 2});
  EXPECT_TRUE(skipped.skipped());
  EXPECT_EQ(skipped.offset(100), -21600);
  EXPECT_EQ(skipped.skipped_times(), 1u);
  ZonedHour into(chicago, {2026, 3, 8, 1});
  EXPECT_FALSE(into.skipped());
  EXPECT_EQ(into.offset(35999), -21600);
  EXPECT_EQ(into.offset(36001), -21600);
  EXPECT_EQ(into.skipped_times(), 1u);
  // Any other hour: one offset for every record.
  ZonedHour plain(chicago, {2026, 7, 4, 12});
  EXPECT_TRUE(plain.constant());
  EXPECT_EQ(plain.constant_offset(), -18000);
}

TEST(TimeZone, NamesAndFilesItRefuses) {
  const char* kNames[] = {"Mars/Olympus_Mons", "../zoneinfo/UTC", "/etc/passwd", "",
                          "America//Chicago", "America/", "zone.tab", "America"};
  for (const char* name : kNames) {
    TimeZone zone;
    std::string err;
    EXPECT_FALSE(zone.load(name, "", &err)) << name;
    EXPECT_EQ(err.rfind("unknown time zone " + std::string(name), 0), 0u) << err;
  }
  const std::string kBytes[] = {"", "TZif", std::string(44, 'x'), rule_only("CST6CDT,M3.2.0"),
                                rule_only("CST6CDT,M13.2.0,M11.1.0"),
                                rule_only("CST6CDT,M3.2.0,M11.1.0").substr(0, 80)};
  for (const std::string& bytes : kBytes) {
    TimeZone zone;
    std::string err;
    EXPECT_FALSE(zone.parse(bytes, &err)) << bytes.size();
  }
}

TEST(TimeZone, OffsetTexts) {
  const std::pair<int32_t, const char*> kCases[] = {
      {-18000, "-05:00"}, {37800, "+10:30"}, {0, "+00:00"}, {19270, "+05:21:10"}, {-12416, "-03:26:56"}};
  for (const auto& [seconds, text] : kCases) {
    std::string out;
    put_utc_offset(&out, seconds);
    EXPECT_EQ(out, text);
  }
}

}  // namespace
