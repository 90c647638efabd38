// The measure tables in the archive database (-f sqlite --measures): each
// table of kMeasureSchema as an SQL table of the same columns, typed, its
// rows those of the table's CSV; a -u run of the measures replaces only the
// rows of the signals and days it changed.

#include "outputs/database.h"

#include <sqlite3.h>

#include <cstring>
#include <map>
#include <set>
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

// The rows of a CSV text after its header, each its fields unquoted.
class CsvRows {
 public:
  // `header`: the text starts with a header row, which is passed.
  explicit CsvRows(std::string_view text, bool header = true) : text_(text) {
    const size_t end = header ? text_.find('\n') : 0;
    at_ = !header ? 0 : end == std::string_view::npos ? text_.size() : end + 1;
  }
  // Where the next row starts, in bytes from the text's start.
  size_t at() const { return at_; }
  // Passes the next row, its first field into *first; false at the end.
  // A row without quotes is passed without splitting it.
  bool pass(std::string* first) {
    if (at_ >= text_.size()) return false;
    const char* p = text_.data() + at_;
    const void* line_end = memchr(p, '\n', text_.size() - at_);
    const size_t end = line_end == nullptr ? text_.size()
                                           : static_cast<size_t>(static_cast<const char*>(line_end) - text_.data());
    if (memchr(p, '"', end - at_) != nullptr) {
      std::vector<std::string> fields;
      next(&fields);
      *first = fields[0];
      return true;
    }
    const std::string_view row = text_.substr(at_, end - at_);
    first->assign(row.substr(0, row.find(',')));
    at_ = end + 1;
    return true;
  }
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

// Reads the file `name` of `dir` into *text; false where it is not there
// or cannot be read.
bool read_table_file(const Dir& dir, const std::string& name, std::string* text) {
  File file;
  std::string err;
  if (!dir.open_file(name, &file, &err)) return false;
  text->reserve(static_cast<size_t>(file.size()));
  char buf[1 << 16];
  for (long long n; (n = file.read(buf, sizeof buf)) != 0;) {
    if (n < 0) return false;
    text->append(buf, static_cast<size_t>(n));
  }
  return true;
}

// The name of the SQL table of `table`.
std::string sql_name(const MeasureTableDef& table) {
  return std::string("measure_") + table.name;
}

}  // namespace

bool load_measure_tables(const std::string& path, const std::string& tables,
                         const ChangedMeasures& changed, std::string* err) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    *err = db != nullptr ? sqlite3_errmsg(db) : "out of memory";
    sqlite3_close(db);
    return false;
  }
  sqlite3_busy_timeout(db, 60000);
  std::vector<sqlite3_stmt*> statements;
  auto finish = [&](bool ok) {
    if (!ok && err->empty()) *err = sqlite3_errmsg(db);
    if (!ok) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    for (sqlite3_stmt* s : statements) sqlite3_finalize(s);
    sqlite3_close(db);
    return ok;
  };
  auto prepare = [&](const std::string& sql) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) return stmt;
    statements.push_back(stmt);
    return stmt;
  };
  auto exec = [&](const std::string& sql) {
    return sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
  };
  if (!exec("BEGIN IMMEDIATE")) return finish(false);
  // The kept state the tables were last loaded from: where this run went
  // on from it, only what it changed is loaded again.
  std::string loaded;
  if (sqlite3_stmt* stmt = prepare("SELECT value FROM quillon WHERE key = 'measures'")) {
    if (sqlite3_step(stmt) == SQLITE_ROW)
      loaded = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
  }
  // How many rows of each signal each table holds.
  if (!exec("CREATE TABLE IF NOT EXISTS measure_row_counts (tbl TEXT, signal_id TEXT, "
            "rows INTEGER NOT NULL, PRIMARY KEY (tbl, signal_id)) WITHOUT ROWID"))
    return finish(false);
  const bool in_part = changed.was != 0 && loaded == std::to_string(changed.was);
  std::shared_ptr<Dir> dir = Dir::open(tables, err);
  if (dir == nullptr) return finish(false);
  for (const MeasureTableDef& table : kMeasureSchema) {
    const std::string name = sql_name(table);
    std::string csv;
    if (!read_table_file(*dir, std::string(table.name) + ".csv", &csv)) {
      // A table not written (those of a map, without one): none in SQL either.
      if (!exec("DROP TABLE IF EXISTS " + name)) return finish(false);
      continue;
    }
    std::string columns, marks;
    for (const MeasureColumnDef& c : table.columns) {
      columns += std::string(columns.empty() ? "" : ", ") + c.name + " " + sql_type(c.kind);
      marks += marks.empty() ? "?" : ", ?";
    }
    const int time = time_column(table);
    const std::string by = time >= 0 ? std::string("signal_id, ") + table.columns[time].name
                                     : std::string("signal_id");
    if (!exec("CREATE TABLE IF NOT EXISTS " + name + " (" + columns + ");\n" +
              "CREATE INDEX IF NOT EXISTS " + name + "_by_signal ON " + name + " (" + by + ");\n" +
              "CREATE INDEX IF NOT EXISTS " + name + "_order ON " + name + " (signal_id)"))
      return finish(false);
    sqlite3_stmt* insert = prepare("INSERT INTO " + name + " VALUES (" + marks + ")");
    sqlite3_stmt* drop_signal = prepare("DELETE FROM " + name + " WHERE signal_id = ?");
    // A signal's last rows, as they were loaded (its rows in rowid order).
    sqlite3_stmt* drop_last = prepare("DELETE FROM " + name + " WHERE rowid IN (SELECT rowid FROM " +
                                      name + " INDEXED BY " + name + "_order WHERE signal_id = ? "
                                      "ORDER BY rowid DESC LIMIT ?)");
    sqlite3_stmt* count_of = prepare("SELECT rows FROM measure_row_counts WHERE tbl = '" + name +
                                     "' AND signal_id = ?");
    sqlite3_stmt* set_count = prepare("INSERT OR REPLACE INTO measure_row_counts VALUES ('" +
                                      name + "', ?, ?)");
    if (insert == nullptr || drop_signal == nullptr || drop_last == nullptr ||
        count_of == nullptr || set_count == nullptr)
      return finish(false);
    if (!in_part && (!exec("DELETE FROM " + name) ||
                     !exec("DELETE FROM measure_row_counts WHERE tbl = '" + name + "'")))
      return finish(false);
    auto step = [&](sqlite3_stmt* stmt) {
      const bool ok = sqlite3_step(stmt) == SQLITE_DONE;
      sqlite3_reset(stmt);
      return ok;
    };
    auto bind = [](sqlite3_stmt* stmt, int i, const std::string& text) {
      sqlite3_bind_text(stmt, i, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
    };
    // Inserts the rows of the CSV text from byte `begin` to `end`.
    std::vector<std::string> fields;
    auto insert_rows = [&](size_t begin, size_t end) {
      CsvRows rows(std::string_view(csv).substr(begin, end - begin), false);
      while (rows.next(&fields)) {
        if (fields.size() != table.columns.size()) {
          *err = table.name + std::string(".csv: a row of ") + std::to_string(fields.size()) +
                 " fields, not " + std::to_string(table.columns.size());
          return false;
        }
        for (size_t c = 0; c < fields.size(); ++c) {
          const int i = static_cast<int>(c) + 1;
          const std::string& f = fields[c];
          const ColumnKind kind = table.columns[c].kind;
          if (f.empty() && kind != ColumnKind::kId && kind != ColumnKind::kText) {
            sqlite3_bind_null(insert, i);
          } else if (kind == ColumnKind::kInt) {
            sqlite3_bind_int64(insert, i, std::stoll(f));
          } else if (decimals_of(kind) >= 0) {
            sqlite3_bind_double(insert, i, std::stod(f));
          } else {
            bind(insert, i, f);
          }
        }
        if (!step(insert)) return false;
      }
      return true;
    };
    // Each signal's rows, a run of them in the table: all loaded again, or
    // none, or those the run wrote anew after where the signal stood (its
    // last rows as loaded before taken away first), as the run says.
    const size_t table_index = static_cast<size_t>(&table - kMeasureSchema.data());
    std::set<std::string> signals;
    CsvRows rows(csv);
    size_t begin = rows.at();
    std::string first, signal;
    for (bool more = rows.pass(&first); more || !signal.empty();) {
      // The signal's rows: from `begin` to `end`, `total` of them, `before`
      // of them starting before `cut`.
      signal = first;
      signals.insert(signal);
      size_t end = begin, cut = std::string::npos, first_new = std::string::npos;
      uint64_t total = 0, before = 0;
      auto it = in_part ? changed.signals.find(signal) : changed.signals.end();
      const bool going_on = it != changed.signals.end() && it->second.day != kNoHour &&
                            table_index < it->second.from.size();
      if (going_on) cut = begin + it->second.from[table_index];
      do {
        ++total;
        if (end < cut) ++before;
        else if (first_new == std::string::npos) first_new = end;
        end = rows.at();
        more = rows.pass(&first);
      } while (more && first == signal);
      // The rows loaded before, where known.
      int64_t loaded_rows = -1;
      bind(count_of, 1, signal);
      if (sqlite3_step(count_of) == SQLITE_ROW) loaded_rows = sqlite3_column_int64(count_of, 0);
      sqlite3_reset(count_of);
      if (going_on && it->second.day == kNever && loaded_rows == static_cast<int64_t>(total)) {
        // Nothing changed.
      } else if (going_on && loaded_rows >= static_cast<int64_t>(before)) {
        bind(drop_last, 1, signal);
        sqlite3_bind_int64(drop_last, 2, loaded_rows - static_cast<int64_t>(before));
        const size_t from = first_new == std::string::npos ? end : first_new;
        if (!step(drop_last) || !insert_rows(from, end)) return finish(false);
      } else {
        bind(drop_signal, 1, signal);
        if ((in_part && !step(drop_signal)) || !insert_rows(begin, end)) return finish(false);
      }
      bind(set_count, 1, signal);
      sqlite3_bind_int64(set_count, 2, static_cast<int64_t>(total));
      if (!step(set_count)) return finish(false);
      begin = end;
      signal.clear();
      if (!more) break;
    }
    // The signals whose logs are gone have no rows: those counted before
    // that the table no longer holds.
    if (in_part) {
      std::vector<std::string> gone;
      sqlite3_stmt* counted = prepare("SELECT signal_id FROM measure_row_counts WHERE tbl = '" +
                                      name + "'");
      sqlite3_stmt* uncount = prepare("DELETE FROM measure_row_counts WHERE tbl = '" + name +
                                      "' AND signal_id = ?");
      if (counted == nullptr || uncount == nullptr) return finish(false);
      while (sqlite3_step(counted) == SQLITE_ROW) {
        const std::string id = reinterpret_cast<const char*>(sqlite3_column_text(counted, 0));
        if (signals.count(id) == 0) gone.push_back(id);
      }
      sqlite3_reset(counted);
      for (const std::string& id : gone) {
        bind(drop_signal, 1, id);
        bind(uncount, 1, id);
        if (!step(drop_signal) || !step(uncount)) return finish(false);
      }
    }
  }
  const std::string now = std::to_string(changed.now);
  if (!exec("INSERT OR REPLACE INTO quillon VALUES ('measures', '" + now + "')") ||
      !exec("COMMIT"))
    return finish(false);
  return finish(true);
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
