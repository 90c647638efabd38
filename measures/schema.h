// The measure tables, defined once: each table's name, its columns with
// their kinds, and the class that computes its rows. The writer, the
// reader, the report, the Python frames and the documentation's check all
// take names, columns and counts from here; a new table is a row of
// kMeasureSchema and a class.

#ifndef QUILLON_MEASURES_SCHEMA_H_
#define QUILLON_MEASURES_SCHEMA_H_

#include <memory>
#include <span>
#include <string>
#include <string_view>

class Measure;
struct SignalContext;

/// What a column holds, as it is written and read back.
enum class ColumnKind {
  kId,        // free text, a category in frames (signal ids)
  kText,      // free text, a string in frames (paths)
  kCategory,  // one of the column's fixed values, or empty
  kInt,       // a decimal integer, or empty
  kTime,      // "YYYY-MM-DD HH:MM:SS.t" or "YYYY-MM-DD HH:MM:SS", or empty
  kSeconds,   // seconds to the tenth, "12.3" or "-0.5", or empty
  kShare,     // a share to four decimals, "0.0125", or empty
  kRatio,     // a number to the hundredth, "1.25", or empty
};

/// One column of a measure table.
struct MeasureColumnDef {
  const char* name;
  ColumnKind kind;
  /// Its type in the Python frames: "category", "string", "int16",
  /// "int32", "Int64" (an integer that may be missing), "datetime64[ns]"
  /// or "float64".
  const char* frame_type;
  /// A category's fixed values, in the order they are numbered; else empty.
  std::span<const char* const> values = {};
};

/// One measure table, written as NAME.csv.
struct MeasureTableDef {
  const char* name;
  std::span<const MeasureColumnDef> columns;
  /// Makes the measure that computes the table's rows for one signal.
  std::unique_ptr<Measure> (*make)(const SignalContext& signal);
  /// Written only with a detector map.
  bool mapped = false;
  /// Its share of a signal's work, roughly, by which the tables are split
  /// among threads.
  int weight = 1;
};

/// Every measure table, in the order they are written and read.
extern const std::span<const MeasureTableDef> kMeasureSchema;

/// The header row of `table`, its column names joined by commas, with its
/// line end.
std::string measure_header(const MeasureTableDef& table);

/// The place of the table `name` in kMeasureSchema; -1 where none is.
int measure_table_index(std::string_view name);

/// The place of the column `name` in `table`; -1 where none is.
int measure_column_index(const MeasureTableDef& table, std::string_view name);

#endif  // QUILLON_MEASURES_SCHEMA_H_
