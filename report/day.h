// A signal's day as the pages draw it: its rows of each table, and where
// their times fall. Shared by the day's page and its problems.

#ifndef QUILLON_REPORT_DAY_H_
#define QUILLON_REPORT_DAY_H_

#include <array>
#include <set>
#include <cstdint>
#include <string>
#include <vector>

#include "report/pages.h"

// The tables' times, as they read back: tenths of a second since 1970.
const int64_t kSecond = 10, kHour = 3600 * kSecond, kDay = 24 * kHour;

/// One signal's day: its rows of each table.
struct Day {
  const SignalRows& signal;
  int64_t day;
  const std::vector<std::vector<size_t>>& rows;

  /// The day's rows of the table `table`.
  const std::vector<size_t>& of(const char* table) const {
    return rows[static_cast<size_t>(measure_table_index(table))];
  }
  /// The time `t` into the day, and its hour.
  int64_t into(int64_t t) const { return t - day * kDay; }
  int hour_of(int64_t t) const { return static_cast<int>(into(t) / kHour); }
};

/// A time as the tables write it.
std::string time_text(int64_t t);

/// Tenths of a second as the tables write seconds.
std::string seconds_text(int64_t tenths);

/// "HH:MM:SS" of a time.
std::string clock_text(int64_t t);

/// The state of each hour of the day by its rows of logs.csv: ok, damaged,
/// missing, or none; of two logs of an hour, the one that covers it.
std::array<std::string, 24> hour_states(const Day& d);

/// The problems of the day by the thresholds of `settings`, worst first.
std::vector<Problem> day_problems(const Day& d, const std::array<std::string, 24>& states,
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
