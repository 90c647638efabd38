// The one time unit: dates to days and back, the texts of times, hours and
// seconds, and bins and days rounding down before 1970 as after.

#include "logconv/log_time.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(LogTime, EveryDayFromYear1To9999RoundTrips) {
  int64_t day = days_from_civil(1, 1, 1);
  for (int y = 1; y <= 9999; ++y) {
    for (int m = 1; m <= 12; ++m) {
      for (int d = 1; d <= days_in_month(y, m); ++d, ++day) {
        ASSERT_EQ(days_from_civil(y, m, d), day) << y << "-" << m << "-" << d;
        int64_t yy;
        int mm, dd;
        civil_from_days(day, &yy, &mm, &dd);
        ASSERT_TRUE(yy == y && mm == m && dd == d) << day;
      }
    }
  }
  EXPECT_EQ(days_from_civil(1970, 1, 1), 0);
  EXPECT_EQ(days_from_civil(1969, 12, 31), -1);
}

TEST(LogTime, TextsAndBinsRoundDown) {
  struct Case {
    int64_t t;
    const char* text;
    int64_t bin15;  // the start of its 15-minute bin
    int64_t day;
  };
  const int64_t kDay = kTenthsPerDay, kBin = 9000;
  const Case kCases[] = {
      {0, "1970-01-01 00:00:00.0", 0, 0},
      {-1, "1969-12-31 23:59:59.9", -kBin, -1},
      {-kBin, "1969-12-31 23:45:00.0", -kBin, -1},
      {-kBin - 1, "1969-12-31 23:44:59.9", -2 * kBin, -1},
      {-kDay, "1969-12-31 00:00:00.0", -kDay, -1},
      {-kDay - 1, "1969-12-30 23:59:59.9", -kDay - kBin, -2},
      {kBin - 1, "1970-01-01 00:14:59.9", 0, 0},
      {hour_start({9999, 12, 31, 23}) + kTenthsPerHour, "10000-01-01 00:00:00.0",
       hour_start({9999, 12, 31, 23}) + kTenthsPerHour, days_from_civil(10000, 1, 1)},
      {hour_start({1, 1, 1, 0}) - 1, "0000-12-31 23:59:59.9", hour_start({1, 1, 1, 0}) - kBin,
       days_from_civil(0, 12, 31)},
  };
  for (const Case& c : kCases) {
    EXPECT_EQ(timestamp_text(c.t), c.text) << c.t;
    EXPECT_EQ(bin_start(c.t, kBin), c.bin15) << c.t;
    EXPECT_EQ(day_of(c.t), c.day) << c.t;
  }
  std::string hour;
  TimestampText().put_hour(&hour, -1);
  EXPECT_EQ(hour, "1969-12-31 23:00:00");
  EXPECT_EQ(hour_text({2024, 2, 29, 23}), "2024-02-29 23:");
  EXPECT_EQ(hour_start_text({1969, 12, 31, 5}), "1969-12-31 05:00:00");
  EXPECT_EQ(date_text(-1), "1969-12-31");
  EXPECT_EQ(hour_start(next_hour({2023, 12, 31, 23})), hour_start({2024, 1, 1, 0}));
}

TEST(LogTime, SecondsAndIntegersKeepTheirSign) {
  const struct {
    int64_t tenths;
    const char* text;
  } kCases[] = {{0, "0.0"}, {5, "0.5"}, {-5, "-0.5"}, {123, "12.3"}, {-105, "-10.5"},
                {INT64_MIN, "-922337203685477580.8"}};
  for (const auto& c : kCases) {
    std::string text;
    put_seconds(&text, c.tenths);
    EXPECT_EQ(text, c.text) << c.tenths;
  }
  std::string text;
  put_int(&text, INT64_MIN);
  EXPECT_EQ(text, "-9223372036854775808");
}

}  // namespace
