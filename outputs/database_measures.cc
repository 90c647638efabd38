// The measure tables in the archive database (-f sqlite --measures): each
// table of kMeasureSchema as an SQL table of the same columns, typed, its
// rows those of the table's CSV; a -u run of the measures replaces only the
// rows of the signals and days it changed.

#include "outputs/database.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <string_view>
#include <vector>

#include "logconv/convert_log.h"
#include "logconv/log_time.h"
#include "measures/schema.h"
#include "platform/platform.h"

namespace {

// The SQL type of a column of `kind`.
const char* sql_type(ColumnKind kind) {
  switch (kind) {
    case ColumnKind::kInt: return "INTEGER";
    case ColumnKind::kSeconds:
    case ColumnKind::kShare:
    case ColumnKind::kRatio: return "REAL";
    default: return "TEXT";
  }
}

// The decimals a number of `kind` is written with; -1: not a decimal.
int decimals_of(ColumnKind kind) {
  switch (kind) {
    case ColumnKind::kSeconds: return 1;
    case ColumnKind::kRatio: return 2;
    case ColumnKind::kShare: return 4;
    default: return -1;
  }
}

// Where a table's time is: its first time column; -1 where it has none.
int time_column(const MeasureTableDef& table) {
  for (size_t c = 0; c < table.columns.size(); ++c)
    if (table.columns[c].kind == ColumnKind::kTime) return static_cast<int>(c);
  return -1;
}

// The rows of a CSV text, each its fields unquoted.
class CsvRows {
 public:
  explicit CsvRows(std::string_view text) : text_(text) {}
  // Where the next row starts, in bytes from the text's start.
  size_t at() const { return at_; }
  // The next row into *fields; false at the end.
  bool next(std::vector<std::string>* fields) {
    fields->clear();
    if (at_ >= text_.size()) return false;
    std::string field;
    bool quoted = false;
    for (; at_ < text_.size(); ++at_) {
      const char c = text_[at_];
      if (quoted) {
        if (c == '"' && at_ + 1 < text_.size() && text_[at_ + 1] == '"') {
          field += '"';
          ++at_;
        } else if (c == '"') {
          quoted = false;
        } else {
          field += c;
        }
      } else if (c == '"') {
        quoted = true;
      } else if (c == ',') {
        fields->push_back(std::move(field));
        field.clear();
      } else if (c == '\n') {
        ++at_;
        break;
      } else if (c != '\r') {
        field += c;
      }
    }
    fields->push_back(std::move(field));
    return true;
  }

 private:
  std::string_view text_;
  size_t at_ = 0;
};

// The bytes of a table read at once.
constexpr uint64_t kPiece = uint64_t{1} << 22;

// The bytes of the whole rows that `text`, from a row's start, begins
// with: up to its last newline outside quotes.
size_t whole_rows(std::string_view text) {
  size_t whole = 0;
  bool quoted = false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '"') quoted = !quoted;
    else if (text[i] == '\n' && !quoted) whole = i + 1;
  }
  return whole;
}

// The name of the SQL table of `table`.
std::string sql_name(const MeasureTableDef& table) {
  return std::string("measure_") + table.name;
}

}  // namespace

uint64_t ArchiveDatabase::loaded_measures() {
  sqlite3_stmt* stmt = nullptr;
  uint64_t loaded = 0;
  if (sqlite3_prepare_v2(db_, "SELECT value FROM quillon WHERE key = 'measures'", -1, &stmt,
                         nullptr) == SQLITE_OK &&
      sqlite3_step(stmt) == SQLITE_ROW)
    loaded = strtoull(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)), nullptr, 10);
  sqlite3_finalize(stmt);
  return loaded;
}

bool ArchiveDatabase::load_measures(const std::string& tables, const ChangedMeasures& changed,
                                    std::string* err) {
  std::vector<sqlite3_stmt*> statements;
  auto finish = [&](bool ok) {
    if (!ok && err->empty()) *err = error();
    for (sqlite3_stmt* s : statements) sqlite3_finalize(s);
    return ok;
  };
  auto prepare = [&](const std::string& sql) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) return stmt;
    statements.push_back(stmt);
    return stmt;
  };
  auto run = [&](const std::string& sql) { return exec(sql.c_str(), err); };
  auto step = [](sqlite3_stmt* stmt) {
    const bool ok = sqlite3_step(stmt) == SQLITE_DONE;
    sqlite3_reset(stmt);
    return ok;
  };
  auto bind = [](sqlite3_stmt* stmt, int i, const std::string& text) {
    sqlite3_bind_text(stmt, i, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
  };
  // The kept state the tables were last loaded from: where this run went
  // on from it (the measures go on from no other), only what it changed is
  // loaded; where it is the state of this run, nothing.
  const uint64_t loaded = loaded_measures();
  if (changed.was == changed.now && loaded == changed.now) return finish(true);
  const bool in_part = changed.was != 0;
  if (in_part && changed.was != loaded) {
    *err = "the measures went on from a state the database does not hold; remove " + tables +
           " to measure every log again";
    return finish(false);
  }
  // Of each table and signal: its rows, how many of them lie in the bytes
  // the next run keeps as they are (kept_bytes from its first), and the
  // rowids of the others (an earlier quillon's measure_row_counts goes).
  if (!run("DROP TABLE IF EXISTS measure_row_counts;\n"
           "CREATE TABLE IF NOT EXISTS measure_rows (tbl TEXT, signal_id TEXT, "
           "rows INTEGER NOT NULL, kept_bytes INTEGER NOT NULL, kept_rows INTEGER NOT NULL, "
           "tail_first INTEGER NOT NULL, tail_last INTEGER NOT NULL, "
           "PRIMARY KEY (tbl, signal_id)) WITHOUT ROWID"))
    return finish(false);
  std::shared_ptr<Dir> dir = Dir::open(tables, err);
  if (dir == nullptr) return finish(false);
  for (size_t t = 0; t < kMeasureSchema.size(); ++t) {
    const MeasureTableDef& table = kMeasureSchema[t];
    const std::string name = sql_name(table);
    const uint64_t size = t < changed.sizes.size() ? changed.sizes[t] : UINT64_MAX;
    if (size == UINT64_MAX) {
      // A table not written (those of a map, without one): none in SQL either.
      if (!run("DROP TABLE IF EXISTS " + name + ";\nDELETE FROM measure_rows WHERE tbl = '" +
               name + "'"))
        return finish(false);
      continue;
    }
    File file;
    const std::string file_name = std::string(table.name) + ".csv";
    if (!dir->open_file(file_name, &file, err)) return finish(false);
    if (file.size() != size) {
      *err = file_name + " is not the table measured (it changed since)";
      return finish(false);
    }
    std::string columns, marks;
    for (const MeasureColumnDef& c : table.columns) {
      columns += std::string(columns.empty() ? "" : ", ") + c.name + " " + sql_type(c.kind);
      marks += marks.empty() ? "?" : ", ?";
    }
    const int time = time_column(table);
    const std::string by = time >= 0 ? std::string("signal_id, ") + table.columns[time].name
                                     : std::string("signal_id");
    if (!run("CREATE TABLE IF NOT EXISTS " + name + " (" + columns + ");\n" +
             "CREATE INDEX IF NOT EXISTS " + name + "_by_signal ON " + name + " (" + by + ");\n" +
             "DROP INDEX IF EXISTS " + name + "_order"))
      return finish(false);
    sqlite3_stmt* insert = prepare("INSERT INTO " + name + " VALUES (" + marks + ")");
    sqlite3_stmt* drop_signal = prepare("DELETE FROM " + name + " WHERE signal_id = ?");
    // A signal's rows after those kept, as loaded: inserted together, the
    // rowids of one range.
    sqlite3_stmt* drop_tail = prepare("DELETE FROM " + name + " WHERE rowid BETWEEN ? AND ?");
    sqlite3_stmt* counted = prepare("SELECT signal_id, rows, kept_bytes, kept_rows, tail_first, "
                                    "tail_last "
                                    "FROM measure_rows WHERE tbl = '" + name + "'");
    sqlite3_stmt* count = prepare("INSERT OR REPLACE INTO measure_rows VALUES ('" + name +
                                  "', ?, ?, ?, ?, ?, ?)");
    sqlite3_stmt* uncount = prepare("DELETE FROM measure_rows WHERE tbl = '" + name +
                                    "' AND signal_id = ?");
    if (insert == nullptr || drop_signal == nullptr || drop_tail == nullptr ||
        counted == nullptr || count == nullptr || uncount == nullptr)
      return finish(false);
    if (!in_part && !run("DELETE FROM " + name + ";\nDELETE FROM measure_rows WHERE tbl = '" +
                         name + "'"))
      return finish(false);
    // What was loaded of each signal: its rows, its kept bytes and rows,
    // the rowids of its rows after those.
    struct Loaded {
      int64_t rows, kept_bytes, kept_rows, tail_first, tail_last;
    };
    std::map<std::string, Loaded> before;
    while (sqlite3_step(counted) == SQLITE_ROW)
      before[reinterpret_cast<const char*>(sqlite3_column_text(counted, 0))] = {
          sqlite3_column_int64(counted, 1), sqlite3_column_int64(counted, 2),
          sqlite3_column_int64(counted, 3), sqlite3_column_int64(counted, 4),
          sqlite3_column_int64(counted, 5)};
    sqlite3_reset(counted);
    std::string text;
    std::vector<std::string> fields;
    // Inserts the rows of `piece`, whose bytes start at `begin` of the
    // table, as insert_rows().
    auto insert_piece = [&](const std::string& signal, std::string_view piece, uint64_t begin,
                            uint64_t keep, int64_t* rows, int64_t* kept, int64_t tail[2]) {
      CsvRows csv(piece);
      for (uint64_t at = begin; csv.next(&fields); at = begin + csv.at()) {
        if (fields.size() != table.columns.size() || fields[0] != signal) {
          *err = file_name + " is not the table measured (a row of " + signal + " is not)";
          return false;
        }
        for (size_t c = 0; c < fields.size(); ++c) {
          const int i = static_cast<int>(c) + 1;
          const std::string& f = fields[c];
          const ColumnKind kind = table.columns[c].kind;
          if (f.empty() && kind != ColumnKind::kId && kind != ColumnKind::kText) {
            sqlite3_bind_null(insert, i);
          } else if (kind == ColumnKind::kInt || decimals_of(kind) >= 0) {
            char* end_of = nullptr;
            if (kind == ColumnKind::kInt)
              sqlite3_bind_int64(insert, i, strtoll(f.c_str(), &end_of, 10));
            else
              sqlite3_bind_double(insert, i, strtod(f.c_str(), &end_of));
            if (*end_of != '\0') {
              *err = file_name + " is not the table measured (" + f + " is not a number)";
              return false;
            }
          } else {
            bind(insert, i, f);
          }
        }
        if (!step(insert)) return false;
        ++*rows;
        if (at < keep) {
          ++*kept;
        } else {
          const int64_t rowid = sqlite3_last_insert_rowid(db_);
          if (tail[0] > tail[1]) tail[0] = rowid;
          tail[1] = rowid;
        }
      }
      return true;
    };
    // Inserts the signal's rows of the table's bytes from `begin` to `end`,
    // counting into *rows those and into *kept those before `keep`; the
    // rowids of those after into *tail (first, last; none: 1, 0).
    auto insert_rows = [&](const std::string& signal, uint64_t begin, uint64_t end,
                           uint64_t keep, int64_t* rows, int64_t* kept, int64_t tail[2]) {
      // A piece at a time, its whole rows: a signal's rows of a year
      // would fill memory.
      for (uint64_t read = begin; read < end;) {
        const size_t carried = text.size();
        const size_t piece = static_cast<size_t>(std::min<uint64_t>(end - read, kPiece));
        text.resize(carried + piece);
        if (!file.read_at(read, &text[carried], piece)) {
          *err = file_name + ": " + file.error();
          return false;
        }
        read += piece;
        const size_t whole = read == end ? text.size() : whole_rows(text);
        if (!insert_piece(signal, std::string_view(text).substr(0, whole), read - text.size(),
                          keep, rows, kept, tail))
          return false;
        text.erase(0, whole);
      }
      return true;
    };
    // Each signal's rows, a run of them in the table (up to the next
    // signal's): of a signal that went on, those written anew after the
    // bytes kept, which replace its rows loaded after those (by the rowids
    // the last load gave them); of another, all its rows.
    for (auto place = changed.places.begin(); place != changed.places.end(); ++place) {
      const std::string& signal = place->first;
      if (t >= place->second.start.size() || t >= place->second.kept.size()) {
        *err = "the measures' places of " + signal + " are missing";
        return finish(false);
      }
      const uint64_t start = place->second.start[t];
      auto next = std::next(place);
      const uint64_t end = next == changed.places.end() ? size : next->second.start[t];
      auto was = in_part ? before.find(signal) : before.end();
      auto went = in_part ? changed.signals.find(signal) : changed.signals.end();
      // From where in the signal's rows the table holds them.
      uint64_t from = 0;
      int64_t rows = 0, kept = 0;
      if (went != changed.signals.end() && t < went->second.from.size()) {
        from = went->second.from[t];
        if (was == before.end() || static_cast<uint64_t>(was->second.kept_bytes) != from) {
          *err = "the measures of " + signal + " loaded are not those the run went on from; "
                 "remove " + tables + " to measure every log again";
          return finish(false);
        }
        rows = kept = was->second.kept_rows;
        sqlite3_bind_int64(drop_tail, 1, was->second.tail_first);
        sqlite3_bind_int64(drop_tail, 2, was->second.tail_last);
        if (!step(drop_tail)) return finish(false);
      } else if (was != before.end()) {
        bind(drop_signal, 1, signal);
        if (!step(drop_signal)) return finish(false);
      }
      if (was != before.end()) before.erase(was);
      // The bytes kept, as where they end in the table.
      const uint64_t kept_bytes = place->second.kept[t];
      if (kept_bytes < from) {
        *err = "the measures of " + signal + " went back before the rows loaded";
        return finish(false);
      }
      const uint64_t keep = start + (kept_bytes - from);
      int64_t tail[2] = {1, 0};
      if (!insert_rows(signal, start, end, keep, &rows, &kept, tail)) return finish(false);
      bind(count, 1, signal);
      sqlite3_bind_int64(count, 2, rows);
      sqlite3_bind_int64(count, 3, static_cast<int64_t>(kept_bytes));
      sqlite3_bind_int64(count, 4, kept);
      sqlite3_bind_int64(count, 5, tail[0]);
      sqlite3_bind_int64(count, 6, tail[1]);
      if (!step(count)) return finish(false);
    }
    // The signals whose logs are gone: loaded before, not measured now.
    if (in_part) {
      for (const auto& gone : before) {
        bind(drop_signal, 1, gone.first);
        bind(uncount, 1, gone.first);
        if (!step(drop_signal) || !step(uncount)) return finish(false);
      }
    }
  }
  const std::string now = std::to_string(changed.now);
  return finish(run("INSERT OR REPLACE INTO quillon VALUES ('measures', '" + now + "')"));
}

bool write_measure_tables(const std::string& path, const std::shared_ptr<Dir>& tables,
                          unsigned permissions, HeldFiles* held, std::string* err) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    *err = db != nullptr ? sqlite3_errmsg(db) : "out of memory";
    sqlite3_close(db);
    return false;
  }
  sqlite3_busy_timeout(db, 60000);
  bool ok = true, any = false;
  // One transaction: the tables of one load.
  sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
  for (const MeasureTableDef& table : kMeasureSchema) {
    sqlite3_stmt* stmt = nullptr;
    const std::string sql = "SELECT * FROM " + sql_name(table) + " ORDER BY signal_id, rowid";
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
      sqlite3_finalize(stmt);
      continue;  // not made: a table of a map, without one
    }
    any = true;
    std::string csv = measure_header(table);
    int status;
    while ((status = sqlite3_step(stmt)) == SQLITE_ROW) {
      for (size_t c = 0; c < table.columns.size(); ++c) {
        if (c > 0) csv += ',';
        const int i = static_cast<int>(c);
        if (sqlite3_column_type(stmt, i) == SQLITE_NULL) continue;
        const int decimals = decimals_of(table.columns[c].kind);
        if (decimals >= 0) {
          put_fixed(&csv, sqlite3_column_double(stmt, i), decimals);
        } else if (table.columns[c].kind == ColumnKind::kInt) {
          put_int(&csv, sqlite3_column_int64(stmt, i));
        } else {
          const char* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, i));
          csv += csv_field(text != nullptr ? text : "");
        }
      }
      csv += '\n';
    }
    sqlite3_finalize(stmt);
    if (status != SQLITE_DONE) {
      *err = sqlite3_errmsg(db);
      ok = false;
      break;
    }
    auto file = std::make_unique<PublishedFile>();
    if (!file->open_in(tables, std::string(table.name) + ".csv", err) ||
        !file->write(csv.data(), csv.size()) || !file->finish(permissions, err)) {
      if (err->empty()) *err = file->error();
      ok = false;
      break;
    }
    held->hold(std::move(file));
  }
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  if (ok && !any) {
    *err = "holds no measures (load it with -f sqlite --measures)";
    ok = false;
  }
  sqlite3_close(db);
  return ok;
}
