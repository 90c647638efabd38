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

  /// The table `name` of the schema.
  const TableRows& table(const char* name) const {
    return tables[static_cast<size_t>(measure_table_index(name))];
  }
  /// Whether any of its hours is missing or damaged.
  bool has_gap() const;
  /// Sorts the rows of `tables` into their days (by their first time
  /// column), and notes the days that have a log.
  void sort_into_days();
};

/// A signal's day as drawn, and what the index says of it.
struct DayPage {
  std::string html;
  Markup cell;         // the day's cell of the index
  bool silent_detector = false;  // silent for 60 covered minutes or more
};

/// Draws the day `day` (counted from 1970-01-01) of the signal `id`, in bins
/// of `bin_minutes`; its cell links to its page beside the year's page.
DayPage draw_day(const std::string& id, int64_t day, const SignalRows& signal,
                 int bin_minutes);

/// One signal's row of the index.
struct IndexRow {
  bool flagged = false;
  std::string id;
  std::string folder;      // of its pages
  std::string unreadable;  // why its tables cannot be drawn, or nothing
  std::map<int64_t, int> days_by_year;  // how many days each year's page has
};

/// The index of every signal, a row each, with a link to each year's page
/// of its days: the flagged signals first. A row is a few hundred bytes
/// whatever the signal's days, so the index of thousands of signals stays
/// small.
std::string draw_index(std::vector<IndexRow> rows);

/// The year of the day `day` (counted from 1970-01-01).
int64_t year_of(int64_t day);

/// The name of the page of the year `year` of a signal, in its folder:
/// "2022.html".
std::string year_page(int64_t year);

/// The page of the days of the year `year` of the signal `id`: each day's
/// cell (DayPage::cell), by day, which links to its page beside it.
std::string draw_year(const std::string& id, int64_t year,
                      const std::map<int64_t, Markup>& cells);

/// The folder name of a signal's pages: its id with every byte but a-z, 0-9
/// and '-' written as "_" and two hex digits, so that no id leaves the
/// report's directory and no two ids share a folder, even where case does
/// not count; a Windows device name ("con") gets a "_" after it, and a
/// name past 120 bytes is cut to 100 and a hash of the id.
std::string page_folder(std::string_view signal_id);

#endif  // QUILLON_REPORT_PAGES_H_
