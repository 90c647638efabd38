#include "outputs/database.h"

#include <sqlite3.h>

#include <cstring>
#include <vector>

#include "logs/messages.h"
#include "logs/names.h"
#include "platform/platform.h"
#include "events/event_table.h"
#include "logconv/packed_rows.h"
#include "logconv/row_text.h"

namespace {

// The schema's version, kept in the table quillon (key "schema") and, in a
// database that holds no table but quillon's, in user_version too: another
// program's user_version is never changed. Version 2 holds the
// logs whose name has no date (start NULL) and gives event_log the
// version of each row's log; a database of version 1 is brought to it.
const int kSchemaVersion = 2;

// The tables of both modes. A log's events are one range of rowids
// (first_event to last_event), appended in one transaction: they need no
// index of their own.
const char kQuillonSchema[] =
    "CREATE TABLE quillon (key TEXT PRIMARY KEY, value TEXT NOT NULL);\n";

const char kLogsSchema[] =
    "CREATE TABLE logs (\n"
    "  log_id INTEGER PRIMARY KEY,\n"
    "  path TEXT NOT NULL UNIQUE,\n"
    "  signal_id TEXT NOT NULL,\n"
    "  start TEXT,\n"
    "  version INTEGER NOT NULL,\n"
    "  header TEXT NOT NULL,\n"
    "  closing TEXT NOT NULL,\n"
    "  records INTEGER NOT NULL,\n"
    "  size INTEGER NOT NULL,\n"
    "  mtime INTEGER NOT NULL,\n"
    "  first_event INTEGER,\n"
    "  last_event INTEGER,\n"
    "  digest INTEGER NOT NULL\n"
    ");\n"
    "CREATE INDEX logs_by_signal ON logs (signal_id, start);\n";

const char kStandardSchema[] =
    "CREATE TABLE events (\n"
    "  event_id INTEGER PRIMARY KEY,\n"
    "  log_id INTEGER NOT NULL,\n"
    "  timestamp TEXT NOT NULL,\n"
    "  event_code INTEGER NOT NULL,\n"
    "  event_param INTEGER\n"
    ");\n";

const char kStandardView[] =
    "CREATE VIEW event_log AS\n"
    "  SELECT logs.signal_id AS signal_id, events.timestamp AS timestamp,\n"
    "         events.event_code AS event_code, events.event_param AS event_param,\n"
    "         logs.version AS version\n"
    "  FROM logs JOIN events\n"
    "    ON events.event_id BETWEEN logs.first_event AND logs.last_event;\n";

const char kProprietarySchema[] =
    "CREATE TABLE events (\n"
    "  event_id INTEGER PRIMARY KEY,\n"
    "  log_id INTEGER NOT NULL,\n"
    "  timestamp TEXT NOT NULL,\n"
    "  event_type INTEGER NOT NULL,\n"
    "  event_name TEXT NOT NULL,\n"
    "  data TEXT NOT NULL\n"
    ");\n";

const char kProprietaryView[] =
    "CREATE VIEW event_log AS\n"
    "  SELECT logs.signal_id AS signal_id, events.timestamp AS timestamp,\n"
    "         events.event_type AS event_type, events.event_name AS event_name,\n"
    "         events.data AS data, logs.version AS version\n"
    "  FROM logs JOIN events\n"
    "    ON events.event_id BETWEEN logs.first_event AND logs.last_event;\n";

// A database made with --tz holds instants: each event's time in UTC
// ("2026-11-01T06:30:00.0Z") and its offset from UTC in seconds; its view
// gives the controller's time with its offset, as the events table writes
// it with --tz ("2026-11-01T01:30:00.0-05:00"). Its events table is
// `plain`'s with the offset after the last column.
std::string zoned_schema(const std::string& plain) {
  const size_t end = plain.rfind("\n);");
  return plain.substr(0, end) + ",\n  utc_offset INTEGER NOT NULL" + plain.substr(end);
}

// The controller's time of an event of a database made with --tz.
#define QUILLON_LOCAL_TIME                                                              \
  "strftime('%Y-%m-%dT%H:%M:%S', substr(events.timestamp, 1, 19),\n"                    \
  "                  events.utc_offset || ' seconds') ||\n"                                \
  "         substr(events.timestamp, 20, 2) ||\n"                                          \
  "         (CASE WHEN events.utc_offset < 0 THEN '-' ELSE '+' END) ||\n"                  \
  "         printf('%02d:%02d', abs(events.utc_offset) / 3600, abs(events.utc_offset) / 60 % 60) ||\n" \
  "         (CASE WHEN abs(events.utc_offset) % 60 = 0 THEN ''\n"                          \
  "               ELSE printf(':%02d', abs(events.utc_offset) % 60) END)"

const char kZonedStandardView[] =
    "CREATE VIEW event_log AS\n"
    "  SELECT logs.signal_id AS signal_id,\n"
    "         " QUILLON_LOCAL_TIME " AS timestamp,\n"
    "         events.event_code AS event_code, events.event_param AS event_param,\n"
    "         logs.version AS version\n"
    "  FROM logs JOIN events\n"
    "    ON events.event_id BETWEEN logs.first_event AND logs.last_event;\n";

const char kZonedProprietaryView[] =
    "CREATE VIEW event_log AS\n"
    "  SELECT logs.signal_id AS signal_id,\n"
    "         " QUILLON_LOCAL_TIME " AS timestamp,\n"
    "         events.event_type AS event_type, events.event_name AS event_name,\n"
    "         events.data AS data, logs.version AS version\n"
    "  FROM logs JOIN events\n"
    "    ON events.event_id BETWEEN logs.first_event AND logs.last_event;\n";

#undef QUILLON_LOCAL_TIME

// Brings a database of schema version 1 to version 2: the logs table
// rebuilt with a start that may be NULL, the view with the version.
const char kFromVersion1[] =
    "DROP VIEW IF EXISTS event_log;\n"
    "DROP INDEX IF EXISTS logs_by_signal;\n"
    "ALTER TABLE logs RENAME TO logs_v1;\n";
const char kFromVersion1Copy[] =
    "INSERT INTO logs SELECT * FROM logs_v1;\n"
    "DROP TABLE logs_v1;\n";

// FNV-1a: what tells a log's rows from the rows it had when loaded.
struct Digest : OutputStream {
  uint64_t hash = 14695981039346656037u;
  void add(const char* data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
      hash ^= static_cast<unsigned char>(data[i]);
      hash *= 1099511628211u;
    }
  }
  bool write(const char* data, size_t size) override {
    add(data, size);
    return true;
  }
};

// Inserts each row it is handed into the events table, for one log.
class EventInserter : public PackedRowReader {
 public:
  EventInserter(Mode mode, const EventTable& table, sqlite3_stmt* insert,
                int64_t log_id, const LogHour& hour, const TimeZone* zone,
                bool second_pass)
      : PackedRowReader(mode, table),
        mode_(mode),
        insert_(insert),
        log_id_(log_id),
        clock_(hour),
        start_(hour_start(hour)) {
    if (zone != nullptr) zoned_ = std::make_unique<ZonedHour>(*zone, hour, second_pass);
    for (int type = 0; type < table.count; ++type)
      names_.emplace_back(event_name(table.rows[type]));
  }

  int64_t first = 0, last = 0;
  int status = SQLITE_OK;

 protected:
  bool row(const PackedRow& r) override {
    char stamp[kMaxTimeSize + 8];
    int stamp_size = static_cast<int>(clock_.put(stamp, r.time) - stamp);
    if (zoned_ != nullptr) {
      // The instant in UTC, its offset beside it.
      const int32_t offset = zoned_->offset(r.time);
      stamp_size = static_cast<int>(times_.put_zoned(stamp, start_ + r.time, offset, true) - stamp);
      sqlite3_bind_int(insert_, mode_ == Mode::kStandard ? 5 : 6, offset);
    }
    sqlite3_bind_int64(insert_, 1, log_id_);
    sqlite3_bind_text(insert_, 2, stamp, stamp_size, SQLITE_STATIC);
    sqlite3_bind_int(insert_, 3, r.code);
    char data[16 * 4];
    if (mode_ == Mode::kStandard) {
      if (r.has_param)
        sqlite3_bind_int(insert_, 4, r.param);
      else
        sqlite3_bind_null(insert_, 4);
    } else {
      const std::string& name = names_[r.code];
      sqlite3_bind_text(insert_, 4, name.data(), static_cast<int>(name.size()),
                        SQLITE_STATIC);
      char* p = data;
      for (int i = 0; i < r.length; ++i) {
        if (i > 0) *p++ = ' ';
        p += snprintf(p, 4, "%u", r.data[i]);
      }
      sqlite3_bind_text(insert_, 5, data, static_cast<int>(p - data),
                        SQLITE_STATIC);
    }
    status = sqlite3_step(insert_);
    sqlite3_reset(insert_);
    if (status != SQLITE_DONE) return false;
    last = sqlite3_last_insert_rowid(sqlite3_db_handle(insert_));
    if (first == 0) first = last;
    return true;
  }

 private:
  Mode mode_;
  sqlite3_stmt* insert_;
  int64_t log_id_;
  EventClock clock_;
  int64_t start_;  // of the log's hour
  std::unique_ptr<ZonedHour> zoned_;  // with --tz
  TimestampText times_;
  std::vector<std::string> names_;
};

}  // namespace

ArchiveDatabase::~ArchiveDatabase() {
  for (sqlite3_stmt* stmt : {find_, find_stored_, delete_events_, delete_log_,
                             touch_log_, insert_log_, insert_event_, set_range_})
    sqlite3_finalize(stmt);
  sqlite3_close(db_);
}

std::string ArchiveDatabase::error() const {
  return db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
}

bool ArchiveDatabase::exec(const char* sql, std::string* err) {
  if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK) return true;
  *err = error();
  return false;
}

bool ArchiveDatabase::compile(const char* sql, sqlite3_stmt** stmt,
                              std::string* err) {
  if (sqlite3_prepare_v2(db_, sql, -1, stmt, nullptr) == SQLITE_OK) return true;
  *err = error();
  return false;
}

DatabaseOpen ArchiveDatabase::open(const std::string& path, Mode mode,
                                   const std::string& dir, std::string* err,
                                   std::shared_ptr<const TimeZone> zone) {
  name_ = path;
  mode_ = mode;
  zone_ = std::move(zone);
  const bool zoned = zone_ != nullptr;
  // A new database is for its owner's eyes only, whatever its logs.
  if (!create_private_file(path, err)) return DatabaseOpen::kFailed;
  if (sqlite3_open_v2(path.c_str(), &db_,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
      SQLITE_OK) {
    *err = error();
    return DatabaseOpen::kFailed;
  }
  if (sqlite3_db_readonly(db_, "main") == 1) {
    *err = "attempt to write a readonly database";
    return DatabaseOpen::kFailed;
  }
  // A second run waits for the first's transaction rather than fail; the
  // cache is bounded whatever the archive's size.
  sqlite3_busy_timeout(db_, 60000);
  if (!exec("PRAGMA cache_size = -8192", err)) return DatabaseOpen::kFailed;
  const char letter = letter_of_mode(mode);

  // The schema is made, or checked, under the write lock: two runs that
  // start together do not both make it.
  if (!exec("BEGIN IMMEDIATE", err)) return DatabaseOpen::kFailed;
  sqlite3_stmt* stmt = nullptr;
  // The database may hold tables of others, which are left alone: only
  // quillon's own are counted and checked. The schema's version is kept in
  // the table quillon, or, in a database of version 1, in user_version.
  int user_version = -1, ours = -1;
  if (compile("PRAGMA user_version", &stmt, err) &&
      sqlite3_step(stmt) == SQLITE_ROW) {
    user_version = sqlite3_column_int(stmt, 0);
  }
  sqlite3_finalize(stmt);
  if (compile("SELECT count(*) FROM sqlite_schema WHERE name IN "
              "('quillon', 'logs', 'events', 'event_log')",
              &stmt, err) &&
      sqlite3_step(stmt) == SQLITE_ROW) {
    ours = sqlite3_column_int(stmt, 0);
  }
  sqlite3_finalize(stmt);
  // Tables, views and indexes of others (SQLite's own left out).
  int others = -1;
  if (compile("SELECT count(*) FROM sqlite_schema WHERE name NOT IN "
              "('quillon', 'logs', 'events', 'event_log', 'logs_by_signal') "
              "AND name NOT LIKE 'sqlite\\_%' ESCAPE '\\'",
              &stmt, err) &&
      sqlite3_step(stmt) == SQLITE_ROW) {
    others = sqlite3_column_int(stmt, 0);
  }
  sqlite3_finalize(stmt);
  if (user_version < 0 || ours < 0 || others < 0) {
    *err = error();
    exec("ROLLBACK", err);
    return DatabaseOpen::kFailed;
  }
  int version = user_version;
  if (ours > 0 && compile("SELECT value FROM quillon WHERE key = 'schema'",
                          &stmt, err)) {
    if (sqlite3_step(stmt) == SQLITE_ROW) version = sqlite3_column_int(stmt, 0);
    sqlite3_finalize(stmt);
  }
  DatabaseOpen status = DatabaseOpen::kOpened;
  const std::string set_version =
      "INSERT OR REPLACE INTO quillon VALUES ('schema', '" +
      std::to_string(kSchemaVersion) + "');\n" +
      (others == 0 && (user_version == 0 || user_version == 1)
           ? "PRAGMA user_version = " + std::to_string(kSchemaVersion) + ";\n"
           : std::string());
  if (ours == 0) {
    const bool p = mode == Mode::kProprietary;
    std::string sql = std::string(kQuillonSchema) + kLogsSchema +
                      (zoned ? zoned_schema(p ? kProprietarySchema : kStandardSchema)
                             : std::string(p ? kProprietarySchema : kStandardSchema)) +
                      (zoned ? (p ? kZonedProprietaryView : kZonedStandardView)
                             : (p ? kProprietaryView : kStandardView)) +
                      "INSERT INTO quillon VALUES ('mode', '" + letter + "');\n" +
                      set_version;
    if (!exec(sql.c_str(), err)) status = DatabaseOpen::kFailed;
    if (zoned && status == DatabaseOpen::kOpened) {
      // The zone's name is plain text (letters, digits, "/_+-").
      const std::string set_zone =
          "INSERT INTO quillon VALUES ('zone', '" + zone_->name() + "');\n";
      if (!exec(set_zone.c_str(), err)) status = DatabaseOpen::kFailed;
    }
  } else if (version != kSchemaVersion && version != 1 && version != 0) {
    *err = "schema version " + std::to_string(version) +
           " is unknown to this quillon; the database is left as it was";
    status = DatabaseOpen::kRefused;
  } else if (ours != 4 || version == 0) {
    *err = "its tables quillon, logs, events or event_log are not quillon's; "
           "it is left as it was";
    status = DatabaseOpen::kRefused;
  } else {
    std::string stored;
    if (compile("SELECT value FROM quillon WHERE key = 'mode'", &stmt, err) &&
        sqlite3_step(stmt) == SQLITE_ROW) {
      stored = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
    }
    sqlite3_finalize(stmt);
    std::string stored_zone;
    if (compile("SELECT value FROM quillon WHERE key = 'zone'", &stmt, err) &&
        sqlite3_step(stmt) == SQLITE_ROW) {
      stored_zone = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
    }
    sqlite3_finalize(stmt);
    const std::string zone_name = zoned ? zone_->name() : std::string();
    if (stored != std::string(1, letter)) {
      *err = "a database of mode " + stored + " cannot take the rows of mode " +
             std::string(1, letter);
      status = DatabaseOpen::kRefused;
    } else if (stored_zone != zone_name) {
      *err = stored_zone.empty()
                 ? "holds the controllers' times without a zone, and cannot take them "
                   "in " + zone_name + "; it is left as it was"
                 : "holds times in " + stored_zone + ": load it with --tz " + stored_zone +
                       "; it is left as it was";
      status = DatabaseOpen::kRefused;
    } else if (version == 1) {
      std::string sql = std::string(kFromVersion1) + kLogsSchema +
                        kFromVersion1Copy +
                        (mode == Mode::kProprietary ? kProprietaryView
                                                    : kStandardView) +
                        set_version;
      if (!exec(sql.c_str(), err)) status = DatabaseOpen::kFailed;
    }
  }
  // The paths of the logs are below one directory: the first run's.
  if (status == DatabaseOpen::kOpened && !dir.empty()) {
    std::string stored;
    bool found = false;
    if (compile("SELECT value FROM quillon WHERE key = 'dir'", &stmt, err) &&
        sqlite3_step(stmt) == SQLITE_ROW) {
      stored = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
      found = true;
    }
    sqlite3_finalize(stmt);
    if (!found) {
      if (!compile("INSERT INTO quillon VALUES ('dir', ?)", &stmt, err)) {
        status = DatabaseOpen::kFailed;
      } else {
        sqlite3_bind_text(stmt, 1, dir.data(), static_cast<int>(dir.size()),
                          SQLITE_STATIC);
        if (sqlite3_step(stmt) != SQLITE_DONE) {
          *err = error();
          status = DatabaseOpen::kFailed;
        }
        sqlite3_finalize(stmt);
      }
    } else if (stored != dir) {
      *err = "holds the logs of " + shown(stored) + ", not of " + shown(dir) +
             "; it is left as it was";
      status = DatabaseOpen::kRefused;
    }
  }
  std::string ignored;
  if (status != DatabaseOpen::kOpened) {
    exec("ROLLBACK", &ignored);
    return status;
  }
  if (!exec("COMMIT", err)) return DatabaseOpen::kFailed;

  const bool p = mode == Mode::kProprietary;
  if (!compile("SELECT log_id, first_event, last_event, digest, size, mtime "
               "FROM logs WHERE path = ?",
               &find_, err) ||
      !compile("SELECT size, mtime FROM logs WHERE path = ?", &find_stored_, err) ||
      !compile("DELETE FROM events WHERE event_id BETWEEN ? AND ?",
               &delete_events_, err) ||
      !compile("DELETE FROM logs WHERE log_id = ?", &delete_log_, err) ||
      !compile("UPDATE logs SET size = ?, mtime = ? WHERE log_id = ?",
               &touch_log_, err) ||
      !compile("INSERT INTO logs (path, signal_id, start, version, header, "
               "closing, records, size, mtime, digest) "
               "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
               &insert_log_, err) ||
      !compile(zoned ? (p ? "INSERT INTO events (log_id, timestamp, event_type, "
                            "event_name, data, utc_offset) VALUES (?, ?, ?, ?, ?, ?)"
                          : "INSERT INTO events (log_id, timestamp, event_code, "
                            "event_param, utc_offset) VALUES (?, ?, ?, ?, ?)")
                     : (p ? "INSERT INTO events (log_id, timestamp, event_type, "
                            "event_name, data) VALUES (?, ?, ?, ?, ?)"
                          : "INSERT INTO events (log_id, timestamp, event_code, "
                            "event_param) VALUES (?, ?, ?, ?)"),
               &insert_event_, err) ||
      !compile("UPDATE logs SET first_event = ?, last_event = ? WHERE log_id = ?",
               &set_range_, err)) {
    return DatabaseOpen::kFailed;
  }
  return DatabaseOpen::kOpened;
}

bool ArchiveDatabase::stored(const std::string& path, uint64_t* size,
                             int64_t* mtime_ns) {
  sqlite3_bind_text(find_stored_, 1, path.data(), static_cast<int>(path.size()),
                    SQLITE_STATIC);
  bool found = sqlite3_step(find_stored_) == SQLITE_ROW;
  if (found) {
    *size = static_cast<uint64_t>(sqlite3_column_int64(find_stored_, 0));
    *mtime_ns = sqlite3_column_int64(find_stored_, 1);
  }
  sqlite3_reset(find_stored_);
  return found;
}

bool ArchiveDatabase::load(const LogToLoad& log, SpillOutput& rows,
                           std::unique_ptr<PreparedRows>, std::string* err) {
  Digest digest;
  digest.add(log.header.data(), log.header.size());
  digest.add(log.closing.data(), log.closing.size() + 1);
  if (!rows.copy_to(digest)) {
    *err = rows.error();
    return false;
  }
  const int64_t hash = static_cast<int64_t>(digest.hash);
  if (!exec("BEGIN IMMEDIATE", err)) return false;
  std::string ignored;
  auto fail = [&](const std::string& why) {
    *err = why;
    exec("ROLLBACK", &ignored);
    return false;
  };
  auto step = [&](sqlite3_stmt* stmt) {
    int status = sqlite3_step(stmt);
    sqlite3_reset(stmt);
    return status == SQLITE_DONE;
  };

  // What an earlier run loaded of this path.
  sqlite3_bind_text(find_, 1, log.path.data(), static_cast<int>(log.path.size()),
                    SQLITE_STATIC);
  int64_t old_id = 0, old_first = 0, old_last = 0, old_digest = 0;
  bool found = sqlite3_step(find_) == SQLITE_ROW;
  if (found) {
    old_id = sqlite3_column_int64(find_, 0);
    old_first = sqlite3_column_int64(find_, 1);
    old_last = sqlite3_column_int64(find_, 2);
    old_digest = sqlite3_column_int64(find_, 3);
  }
  sqlite3_reset(find_);
  if (found && old_digest == hash) {
    sqlite3_bind_int64(touch_log_, 1, static_cast<int64_t>(log.size));
    sqlite3_bind_int64(touch_log_, 2, log.mtime_ns);
    sqlite3_bind_int64(touch_log_, 3, old_id);
    if (!step(touch_log_)) return fail(error());
    return exec("COMMIT", err) || fail(*err);
  }
  if (found) {
    sqlite3_bind_int64(delete_events_, 1, old_first);
    sqlite3_bind_int64(delete_events_, 2, old_last);
    sqlite3_bind_int64(delete_log_, 1, old_id);
    if (!step(delete_events_) || !step(delete_log_)) return fail(error());
  }

  auto text = [](sqlite3_stmt* stmt, int i, const std::string& s) {
    sqlite3_bind_text(stmt, i, s.data(), static_cast<int>(s.size()),
                      SQLITE_STATIC);
  };
  const std::string start = log.dated ? hour_start_text(log.hour) : std::string();
  text(insert_log_, 1, log.path);
  text(insert_log_, 2, log.signal_id);
  if (log.dated)
    text(insert_log_, 3, start);
  else
    sqlite3_bind_null(insert_log_, 3);
  sqlite3_bind_int(insert_log_, 4, log.version);
  text(insert_log_, 5, log.header);
  text(insert_log_, 6, log.closing);
  sqlite3_bind_int64(insert_log_, 7, static_cast<int64_t>(log.records));
  sqlite3_bind_int64(insert_log_, 8, static_cast<int64_t>(log.size));
  sqlite3_bind_int64(insert_log_, 9, log.mtime_ns);
  sqlite3_bind_int64(insert_log_, 10, hash);
  if (!step(insert_log_)) return fail(error());
  const int64_t log_id = sqlite3_last_insert_rowid(db_);

  EventInserter inserter(mode_, select_event_table(log.version), insert_event_,
                         log_id, log.hour, zone_.get(), log.second_pass);
  if (!rows.copy_to(inserter))
    return fail(inserter.status != SQLITE_DONE ? error() : rows.error());
  if (inserter.first != 0) {
    sqlite3_bind_int64(set_range_, 1, inserter.first);
    sqlite3_bind_int64(set_range_, 2, inserter.last);
    sqlite3_bind_int64(set_range_, 3, log_id);
    if (!step(set_range_)) return fail(error());
  }
  if (!exec("COMMIT", err)) return fail(*err);
  loaded_ = true;
  return true;
}

bool ArchiveDatabase::finish(std::string* err) {
  if (!loaded_) return true;
  // The logs' indexes sampled (a thousand rows at most, however many logs),
  // the events counted by their last id: both in a moment at any size.
  const char kStatistics[] =
      "PRAGMA analysis_limit = 1000;\n"
      "BEGIN IMMEDIATE;\n"
      "ANALYZE logs;\n"
      "DELETE FROM sqlite_stat1 WHERE tbl = 'events';\n"
      "INSERT INTO sqlite_stat1\n"
      "  SELECT 'events', NULL, CAST(coalesce(max(event_id), 0) AS TEXT) FROM events;\n"
      "COMMIT;\n";
  if (exec(kStatistics, err)) return true;
  std::string ignored;
  exec("ROLLBACK", &ignored);
  return false;
}
