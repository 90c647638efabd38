// The one time unit: dates to days and back, the texts of times, hours and
// seconds, and bins and days rounding down before 1970 as after.

#include "logconv/log_time.h"

#include <gtest/gtest.h>

#include <charconv>
#include <random>
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
  } kCases[] = {{0, "0.0"},     {5, "0.5"},      {-5, "-0.5"},    {99, "9.9"},
                {100, "10.0"},  {123, "12.3"},   {999, "99.9"},   {1000, "100.0"},
                {-105, "-10.5"}, {INT64_MIN, "-922337203685477580.8"}};
  for (const auto& c : kCases) {
    std::string text;
    put_seconds(&text, c.tenths);
    EXPECT_EQ(text, c.text) << c.tenths;
  }
  for (const auto& [v, expected] : {std::pair<int64_t, const char*>{0, "0"}, {9, "9"}, {10, "10"},
                                    {99, "99"}, {100, "100"}, {-1, "-1"},
                                    {INT64_MIN, "-9223372036854775808"}}) {
    std::string text;
    put_int(&text, v);
    EXPECT_EQ(text, expected) << v;
  }
}

// One writer of times kept across many, in and out of order, across hours,
// days and years of every width, writes each as a fresh one does.
TEST(LogTime, TimesWrittenInAnyOrderByOneWriter) {
  std::mt19937_64 random(7);
  const int64_t kYear = 365 * kTenthsPerDay;
  const int64_t anchors[] = {0, -1, 1000 * kYear, -3000 * kYear, 9000 * kYear, 20000 * kYear};
  TimestampText kept;
  for (int i = 0; i < 20000; ++i) {
    const int64_t t = anchors[random() % 6] +
                      static_cast<int64_t>(random() % (3 * kTenthsPerHour)) - kTenthsPerHour;
    std::string text;
    kept.put(&text, t);
    ASSERT_EQ(text, timestamp_text(t)) << t;
  }
}

// Decimals rounded quickly where a value is far from a half are those of
// the exact conversion, at every scale and next to every half.
TEST(LogTime, FixedDecimalsAsTheExactConversion) {
  std::mt19937_64 random(11);
  auto exact = [](double v, int decimals) {
    char text[400];
    const std::to_chars_result r =
        std::to_chars(text, text + sizeof text, v, std::chars_format::fixed, decimals);
    return std::string(text, r.ptr);
  };
  for (int i = 0; i < 200000; ++i) {
    const int decimals = static_cast<int>(random() % 6);
    double v;
    switch (i % 4) {
      case 0:  // a share or a percent
        v = static_cast<double>(random() % 100000) / static_cast<double>(random() % 999 + 1);
        break;
      case 1:  // next to a half of the last decimal
        v = (static_cast<double>(random() % 2000000) + 0.5) / std::pow(10.0, decimals) +
            static_cast<double>(static_cast<int>(random() % 7) - 3) * 1e-12;
        break;
      case 2:  // of any size
        v = std::ldexp(static_cast<double>(random() % (1u << 30)), static_cast<int>(random() % 80) - 50);
        break;
      default:  // a negative, or a negative zero
        v = -static_cast<double>(random() % 1000) / 8.0;
        break;
    }
    std::string ours;
    put_fixed(&ours, v, decimals);
    ASSERT_EQ(ours, exact(v, decimals)) << v << " to " << decimals;
  }
}

}  // namespace
