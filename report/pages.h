// The pages of the report: a signal's day drawn from its rows of the
// measure tables, and the index of every signal and day. Markup only: the
// report's output reads the tables and writes the files.

#ifndef QUILLON_REPORT_PAGES_H_
#define QUILLON_REPORT_PAGES_H_

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "measures/state.h"

#include "measures/measures.h"
#include "report/chart.h"

/// One measure table's rows of a signal, read back.
struct TableRows {
  const MeasureTableDef* def = nullptr;
  std::vector<MeasureColumn> columns;

  size_t rows() const { return columns.empty() ? 0 : columns[0].values.size(); }
  /// The place of the column `name` of the schema.
  int column(const char* name) const { return measure_column_index(*def, name); }
  int64_t at(int column, size_t row) const { return columns[column].values[row]; }
  const std::string& text(int column, size_t row) const {
    return columns[column].categories[static_cast<size_t>(columns[column].values[row])];
  }
  bool missing(int column, size_t row) const {
    return columns[column].values[row] == MeasureColumn::kMissing;
  }
};

/// A signal's tables, its rows of each by day, and the days with a log.
struct SignalRows {
  std::vector<TableRows> tables;  // by their place in kMeasureSchema
  std::map<int64_t, std::vector<std::vector<size_t>>> days;  // rows by table
  std::set<int64_t> pages;
  /// With --tz, the zone of the tables' times, which are instants: days
  /// are the zone's, of 23 to 25 hours. Else none.
  const TimeZone* zone = nullptr;

  /// The day (counted from 1970-01-01) that holds the time `t`.
  int64_t day_of_time(int64_t t) const;
  /// Where the day `day` starts: with a zone, the instant of its midnight
  /// (or of its first time, where the clocks skipped midnight).
  int64_t day_start(int64_t day) const;

  /// The table `name` of the schema.
  const TableRows& table(const char* name) const {
    return tables[static_cast<size_t>(measure_table_index(name))];
  }
  /// Sorts the rows of `tables` into their days (by their first time
  /// column), and notes the days that have a log.
  void sort_into_days();
};

/// Something an engineer should look at on a signal's day.
struct Problem {
  int severity = 0;   // 3 severe, 2 warning, 1 notice
  std::string kind;   // "hours_missing", "detector_stuck_on", ...
  std::string chart;  // the id of the chart of the day's page that shows it
  std::string text;   // its reason in words

  /// Saves or loads it, as `io` does.
  void state(StateIO& io) { io(severity, kind, chart, text); }
};

/// The role that colours a day whose worst problem is `severity` (0: none).
Role severity_role(int severity);

/// The word of a problem's severity: "Severe", "Warning" or "Notice".
const char* severity_word(int severity);

/// A signal's day as drawn, and what the index says of it.
struct DayPage {
  std::string html;
  Markup cell;                    // the day's cell of the year's page
  std::vector<Problem> problems;  // worst first
  std::string figures;  // with a detector map: arrivals on green, split failures
};

/// Draws the day `day` (counted from 1970-01-01) of the signal `id`, its
/// bins and thresholds by `settings`; its cell links to its page beside the
/// year's page.
DayPage draw_day(const std::string& id, int64_t day, const SignalRows& signal,
                 const MeasureSettings& settings);

/// The days of a run that the index lists the problems of: the last ones.
constexpr int64_t kIndexDays = 14;

/// One signal's row of the index.
struct IndexRow {
  std::string id;
  std::string folder;      // of its pages
  std::string unreadable;  // why its tables cannot be drawn, or nothing
  std::map<int64_t, int> days_by_year;  // how many days each year's page has
  /// The problems of its last kIndexDays days with a page, by day.
  std::map<int64_t, std::vector<Problem>> problems;
  std::map<int64_t, std::string> figures;  // of those days, DayPage's
};

/// The index of every signal: the problems of the run's last kIndexDays
/// days, a line each with its reason and a link to the chart that shows
/// it; then a row a signal, the worst first, with a link to each year's
/// page and a cell for each of those days coloured by its worst problem.
/// The thresholds of `settings` are listed. A row is a few hundred bytes
/// whatever the signal's days, so the index of thousands of signals stays
/// small.
std::string draw_index(std::vector<IndexRow> rows, const MeasureSettings& settings);

/// The year of the day `day` (counted from 1970-01-01).
int64_t year_of(int64_t day);

/// The name of the page of the year `year` of a signal, in its folder:
/// "2022.html".
std::string year_page(int64_t year);

/// The page of the days of the year `year` of the signal `id`: each day's
/// cell (DayPage::cell), by day, which links to its page beside it.
std::string draw_year(const std::string& id, int64_t year,
                      const std::map<int64_t, Markup>& cells);

/// The folder name of a signal's pages: its id with letters, digits, '-',
/// '_' and '.' as they are and every other byte (and a leading or trailing
/// '.') written as "~" and two hex digits, so that no id leaves the
/// report's directory and no two ids share a folder; a Windows device name
/// ("con", "COM1.x") gets a "~" after it, and a name past 120 bytes is cut
/// to 100 and "~z" and a hash of the id. With `clash` (another id of the
/// run has the folder where case does not count), "~~" and a hash of the
/// id are added.
std::string page_folder(std::string_view signal_id, bool clash = false);

#endif  // QUILLON_REPORT_PAGES_H_
