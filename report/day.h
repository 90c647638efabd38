// A signal's day as the pages draw it: its rows of each table, and where
// their times fall. Shared by the day's page and its problems.

#ifndef QUILLON_REPORT_DAY_H_
#define QUILLON_REPORT_DAY_H_

#include <algorithm>
#include <array>
#include <set>
#include <cstdint>
#include <string>
#include <vector>

#include "report/pages.h"

// The tables' times, as they read back: tenths of a second since 1970.
const int64_t kSecond = 10, kHour = 3600 * kSecond, kDay = 24 * kHour;

// The most hours a day has: 25 where the clocks go back.
const int kMaxHours = 25;

/// One signal's day: its rows of each table, and its hours: 24, or in a
/// zone (SignalRows::zone) 23 or 25 where the clocks change, each named
/// by the zone's clocks ("01:00" twice in the fall).
struct Day {
  Day(const SignalRows& signal, int64_t day, const std::vector<std::vector<size_t>>& rows);

  const SignalRows& signal;
  int64_t day;
  const std::vector<std::vector<size_t>>& rows;

  /// The day's rows of the table `table`.
  const std::vector<size_t>& of(const char* table) const {
    return rows[static_cast<size_t>(measure_table_index(table))];
  }
  /// Where it starts and ends, and its hours.
  int64_t start() const { return start_; }
  int64_t end() const { return end_; }
  int hours() const { return static_cast<int>(labels_.size()); }
  /// The time `t` into the day, and its hour.
  int64_t into(int64_t t) const { return t - start_; }
  int hour_of(int64_t t) const {
    return std::clamp(static_cast<int>(floor_div(into(t), kHour)), 0, hours() - 1);
  }
  /// The x of the time `t`, and of the start of the hour `h`, and an hour's
  /// width, on the day's axis.
  double x(int64_t t) const { return day_x(into(t), hours()); }
  double hour_x(int h) const { return day_x(h * kHour, hours()); }
  double hour_width() const { return (kChartRight - kChartLeft) / hours(); }
  /// The name of the hour `h` ("07:00"), and every hour's.
  const std::string& label(int h) const { return labels_[static_cast<size_t>(h)]; }
  /// The hours `hours` (of the day's, from 0) as the clocks name them: 7
  /// for "07:00".
  std::vector<int> clock_hours(std::vector<int> hours) const {
    for (int& h : hours) h = (label(h)[0] - '0') * 10 + (label(h)[1] - '0');
    return hours;
  }
  const std::vector<std::string>& labels() const { return labels_; }
  /// A time as the tables write it, and its "HH:MM:SS".
  std::string time(int64_t t) const;
  std::string clock(int64_t t) const { return time(t).substr(11, 8); }

 private:
  int64_t start_, end_;
  std::vector<std::string> labels_;
};

/// A time as the tables write it.
std::string time_text(int64_t t);

/// Tenths of a second as the tables write seconds.
std::string seconds_text(int64_t tenths);

/// "HH:MM:SS" of a time.
std::string clock_text(int64_t t);

/// The state of each hour of the day by its rows of logs.csv: ok, damaged,
/// missing, or none; of two logs of an hour, the one that covers it.
std::vector<std::string> hour_states(const Day& d);

/// The problems of the day by the thresholds of `settings`, worst first.
std::vector<Problem> day_problems(const Day& d, const std::vector<std::string>& states,
                                  const MeasureSettings& settings);

/// Draws the charts of the detector map's tables: a coordination diagram
/// per phase with arrivals, the split failures, the approach volumes.
void draw_map_charts(Markup* page, const Day& d);

/// The day's arrivals on green and split failures in words, or nothing
/// without a map: "68.2% arrivals on green, 544 split failures".
std::string map_summary(const Day& d);

/// Hours as a list of ranges: "7-9, 17".
std::string hours_text(const std::vector<int>& hours);

#endif  // QUILLON_REPORT_DAY_H_
