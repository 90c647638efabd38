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
// program's user_version is never changed. Version 2 held the logs whose
// name has no date (start NULL) and gave event_log the version of each
// row's log; version 3 holds each log's events packed in one row (under 12
// bytes an event, a third of version 2's) and makes the events table a view
// of them. A database of version 1 or 2 is brought to version 3.
const int kSchemaVersion = 3;

const char kQuillonSchema[] =
    "CREATE TABLE quillon (key TEXT PRIMARY KEY, value TEXT NOT NULL);\n";

// The logs of version 2, which version 1's are brought to on the way.
const char kLogsSchemaV2[] =
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
    "  digest INTEGER NOT NULL\n"
    ");\n";

// A database made with --tz keeps, by log, the offset from UTC of its hour's
// start and the other offset of its records where the clocks changed in it.
const char kZonedLogsColumns[] =
    "ALTER TABLE logs ADD COLUMN utc_offset INTEGER;\n"
    "ALTER TABLE logs ADD COLUMN other_offset INTEGER;\n";

// A log's events, in file order, are one JSON array in one row: each event
// one number, T << 18 | O << 17 | C << 9 | P, where T is its tenths after
// the log's hour, O whether it has the log's other offset (with --tz), and
// in mode e C the code and P 256 + the parameter (0 for none); in mode p C
// the event type, and an event with data bytes is the text of that number
// and its bytes, "N 1 2 3". The views give the events as rows, the logs'
// hours and starts making their times; a query of a range of logs reads
// only theirs (logs_by_signal, logs_by_start).
const char kPackedSchema[] =
    "CREATE INDEX logs_by_signal ON logs (signal_id, start);\n"
    "CREATE INDEX logs_by_start ON logs (start);\n"
    "CREATE TABLE packed_events (log_id INTEGER PRIMARY KEY, events TEXT NOT NULL);\n";

// The names of the event types of each log version's table (0: the
// current table, of every version but 4, 5 and 6), for the views of mode p.
const char kNamesSchema[] =
    "CREATE TABLE event_names (\n"
    "  version INTEGER NOT NULL,\n"
    "  event_type INTEGER NOT NULL,\n"
    "  event_name TEXT NOT NULL,\n"
    "  PRIMARY KEY (version, event_type)\n"
    ") WITHOUT ROWID;\n";

// The pieces of the views: T, the tenths of an event `v`; the wall time of
// the controller's clock at it, "2026-11-01 01:30:00.0" (with `sep`
// "T" in a zone), cheap within the hour; the offset of the event, and that
// offset's text.
#define QUILLON_T "(v >> 18)"
// Within the hour one printf (in two thirds of the time of the pieces
// joined): the start's date and hour ("2026-11-01 01:" is its first 14
// characters), then the minutes and seconds.
#define QUILLON_HOUR_SPACE "'%.14s%02d:%02d.%d', l.start"
#define QUILLON_HOUR_T "'%.10sT%.3s%02d:%02d.%d', l.start, substr(l.start, 12)"
#define QUILLON_WALL(sep, hour)                                                         \
  "CASE WHEN " QUILLON_T " < 36000 THEN printf(" hour ", " QUILLON_T " / 600,\n"        \
  "           " QUILLON_T " / 10 % 60, " QUILLON_T " % 10)\n"                          \
  "         ELSE strftime('%Y-%m-%d" sep "%H:%M:%S', l.start, (" QUILLON_T " / 10) || ' seconds')\n" \
  "           || '.' || (" QUILLON_T " % 10) END"
#define QUILLON_OFFSET "(CASE WHEN v & 131072 THEN l.other_offset ELSE l.utc_offset END)"
#define QUILLON_OFFSET_TEXT                                                             \
  "(CASE WHEN " QUILLON_OFFSET " < 0 THEN '-' ELSE '+' END) ||\n"                       \
  "         printf('%02d:%02d', abs(" QUILLON_OFFSET ") / 3600, abs(" QUILLON_OFFSET ") / 60 % 60) ||\n" \
  "         (CASE WHEN abs(" QUILLON_OFFSET ") % 60 = 0 THEN ''\n"                     \
  "               ELSE printf(':%02d', abs(" QUILLON_OFFSET ") % 60) END)"
// The rows of the packed events: `v`, each event's number, with its log
// `l` (mode p: the event's data text `d`). Each view reads the logs and
// their events in the order they were loaded, as a table of them would
// (CROSS JOIN keeps that order of the loops); a query of some logs finds
// theirs by log_id.
#define QUILLON_PACKED_E                                                                \
  "(SELECT p.log_id AS log_id, j.value AS v\n"                                           \
  "        FROM packed_events AS p CROSS JOIN json_each(p.events) AS j)"
#define QUILLON_PACKED_P                                                                \
  "(SELECT p.log_id AS log_id, CAST(j.value AS INTEGER) AS v,\n"                        \
  "               CASE WHEN j.type = 'text' THEN substr(j.value, instr(j.value, ' ') + 1)\n" \
  "                    ELSE '' END AS d\n"                                               \
  "        FROM packed_events AS p CROSS JOIN json_each(p.events) AS j)"
#define QUILLON_NAMES                                                                   \
  "\n    CROSS JOIN event_names AS n ON n.version = (CASE WHEN l.version IN (4, 5, 6)\n" \
  "                                               THEN l.version ELSE 0 END)\n"          \
  "                         AND n.event_type = v & 255"
// The events first, for the view events (each log's row found once, before
// its events: `cols`, its columns there besides start and version); the
// logs first, for event_log.
#define QUILLON_EVENTS(cols, value)                                                      \
  "  FROM (SELECT p.log_id AS log_id, g.start AS start, g.version AS version" cols ",\n"  \
  "               " value "\n"                                                           \
  "        FROM packed_events AS p CROSS JOIN logs AS g USING (log_id)\n"                \
  "             CROSS JOIN json_each(p.events) AS j) AS l"
#define QUILLON_VALUE_E "j.value AS v"
#define QUILLON_VALUE_P                                                                 \
  "CAST(j.value AS INTEGER) AS v,\n"                                                    \
  "               CASE WHEN j.type = 'text' THEN substr(j.value, instr(j.value, ' ') + 1)\n" \
  "                    ELSE '' END AS d"
#define QUILLON_ZONED ", g.utc_offset AS utc_offset, g.other_offset AS other_offset"
#define QUILLON_EVENTS_E QUILLON_EVENTS("", QUILLON_VALUE_E)
#define QUILLON_EVENTS_P QUILLON_EVENTS("", QUILLON_VALUE_P) QUILLON_NAMES
#define QUILLON_ZONED_EVENTS_E QUILLON_EVENTS(QUILLON_ZONED, QUILLON_VALUE_E)
#define QUILLON_ZONED_EVENTS_P QUILLON_EVENTS(QUILLON_ZONED, QUILLON_VALUE_P) QUILLON_NAMES
#define QUILLON_LOGS_E "  FROM logs AS l CROSS JOIN " QUILLON_PACKED_E " USING (log_id)"
#define QUILLON_LOGS_P "  FROM logs AS l CROSS JOIN " QUILLON_PACKED_P " USING (log_id)" QUILLON_NAMES

const char kStandardViews[] =
    "CREATE VIEW events AS\n"
    "  SELECT log_id, " QUILLON_WALL(" ", QUILLON_HOUR_SPACE) " AS timestamp,\n"
    "         (v >> 9) & 255 AS event_code, CASE WHEN v & 256 THEN v & 255 END AS event_param\n"
    QUILLON_EVENTS_E ";\n"
    "CREATE VIEW event_log AS\n"
    "  SELECT logs.signal_id AS signal_id, events.timestamp AS timestamp,\n"
    "         events.event_code AS event_code, events.event_param AS event_param,\n"
    "         logs.version AS version\n"
    "  FROM logs CROSS JOIN events USING (log_id);\n";

const char kProprietaryViews[] =
    "CREATE VIEW events AS\n"
    "  SELECT log_id, " QUILLON_WALL(" ", QUILLON_HOUR_SPACE) " AS timestamp,\n"
    "         v & 255 AS event_type, n.event_name AS event_name, d AS data\n"
    QUILLON_EVENTS_P ";\n"
    "CREATE VIEW event_log AS\n"
    "  SELECT logs.signal_id AS signal_id, events.timestamp AS timestamp,\n"
    "         events.event_type AS event_type, events.event_name AS event_name,\n"
    "         events.data AS data, logs.version AS version\n"
    "  FROM logs CROSS JOIN events USING (log_id);\n";

// With --tz: events gives each event's instant in UTC
// ("2026-11-01T06:30:00.0Z") and its offset from UTC in seconds; event_log
// the controller's time with its offset, as the events table writes it with
// --tz ("2026-11-01T01:30:00.0-05:00").
#define QUILLON_UTC                                                                     \
  "strftime('%Y-%m-%dT%H:%M:%S', l.start, (" QUILLON_T " / 10 - " QUILLON_OFFSET ") || ' seconds')\n" \
  "           || '.' || (" QUILLON_T " % 10) || 'Z'"

const char kZonedStandardViews[] =
    "CREATE VIEW events AS\n"
    "  SELECT log_id, " QUILLON_UTC " AS timestamp,\n"
    "         (v >> 9) & 255 AS event_code, CASE WHEN v & 256 THEN v & 255 END AS event_param,\n"
    "         " QUILLON_OFFSET " AS utc_offset\n"
    QUILLON_ZONED_EVENTS_E ";\n"
    "CREATE VIEW event_log AS\n"
    "  SELECT l.signal_id AS signal_id,\n"
    "         " QUILLON_WALL("T", QUILLON_HOUR_T) " ||\n"
    "         " QUILLON_OFFSET_TEXT " AS timestamp,\n"
    "         (v >> 9) & 255 AS event_code, CASE WHEN v & 256 THEN v & 255 END AS event_param,\n"
    "         l.version AS version\n"
    QUILLON_LOGS_E ";\n";

const char kZonedProprietaryViews[] =
    "CREATE VIEW events AS\n"
    "  SELECT log_id, " QUILLON_UTC " AS timestamp,\n"
    "         v & 255 AS event_type, n.event_name AS event_name, d AS data,\n"
    "         " QUILLON_OFFSET " AS utc_offset\n"
    QUILLON_ZONED_EVENTS_P ";\n"
    "CREATE VIEW event_log AS\n"
    "  SELECT l.signal_id AS signal_id,\n"
    "         " QUILLON_WALL("T", QUILLON_HOUR_T) " ||\n"
    "         " QUILLON_OFFSET_TEXT " AS timestamp,\n"
    "         v & 255 AS event_type, n.event_name AS event_name, d AS data,\n"
    "         l.version AS version\n"
    QUILLON_LOGS_P ";\n";

#undef QUILLON_T
#undef QUILLON_WALL
#undef QUILLON_HOUR_SPACE
#undef QUILLON_HOUR_T
#undef QUILLON_OFFSET
#undef QUILLON_OFFSET_TEXT
#undef QUILLON_PACKED_E
#undef QUILLON_PACKED_P
#undef QUILLON_NAMES
#undef QUILLON_EVENTS
#undef QUILLON_VALUE_E
#undef QUILLON_VALUE_P
#undef QUILLON_ZONED
#undef QUILLON_EVENTS_E
#undef QUILLON_EVENTS_P
#undef QUILLON_ZONED_EVENTS_E
#undef QUILLON_ZONED_EVENTS_P
#undef QUILLON_LOGS_E
#undef QUILLON_LOGS_P
#undef QUILLON_UTC

// The views of a database of `mode`, with or without a zone.
const char* views_of(Mode mode, bool zoned) {
  const bool p = mode == Mode::kProprietary;
  return zoned ? (p ? kZonedProprietaryViews : kZonedStandardViews)
               : (p ? kProprietaryViews : kStandardViews);
}

// Brings a database of schema version 1 to version 2: the logs table
// rebuilt with a start that may be NULL.
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

// Packs the rows of one log as the table packed_events holds them.
class EventPacker : public PackedRowReader {
 public:
  EventPacker(Mode mode, const EventTable& table, const LogHour& hour, const TimeZone* zone,
              bool second_pass)
      : PackedRowReader(mode, table), mode_(mode) {
    if (zone != nullptr) {
      zoned_ = std::make_unique<ZonedHour>(*zone, hour, second_pass);
      utc_offset = zoned_->start_offset();
    }
    packed.reserve(1 << 16);
    packed += '[';
  }

  std::string packed;  // the JSON array, once the rows are through: end()
  int32_t utc_offset = 0, other_offset = 0;
  bool has_other = false;

  void end() { packed += ']'; }

 protected:
  bool row(const PackedRow& r) override {
    uint64_t v = uint64_t{r.time} << 18 | uint64_t{r.code} << (mode_ == Mode::kStandard ? 9 : 0);
    if (zoned_ != nullptr) {
      // A log has no more than two offsets: no zone changes twice in a day.
      const int32_t offset = zoned_->offset(r.time);
      if (offset != utc_offset) {
        if (!has_other) other_offset = offset;
        has_other = true;
        v |= 1u << 17;
      }
    }
    if (mode_ == Mode::kStandard && r.has_param) v |= 256u | r.param;
    if (packed.size() > 1) packed += ',';
    char text[24 + 16 * 4];
    char* p = text;
    const bool data = mode_ == Mode::kProprietary && r.length > 0;
    if (data) *p++ = '"';
    p += snprintf(p, 24, "%llu", static_cast<unsigned long long>(v));
    if (data) {
      for (int i = 0; i < r.length; ++i) p += snprintf(p, 5, " %u", r.data[i]);
      *p++ = '"';
    }
    packed.append(text, static_cast<size_t>(p - text));
    return true;
  }

 private:
  Mode mode_;
  std::unique_ptr<ZonedHour> zoned_;  // with --tz
};

}  // namespace

ArchiveDatabase::~ArchiveDatabase() {
  for (sqlite3_stmt* stmt : {find_, find_stored_, delete_events_, delete_log_,
                             touch_log_, insert_log_, insert_events_})
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
              "('quillon', 'logs', 'events', 'event_log', 'logs_by_signal', 'logs_by_start', "
              "'packed_events', 'event_names') "
              "AND name NOT LIKE 'sqlite\\_%' ESCAPE '\\' AND name NOT LIKE 'measure\\_%' ESCAPE '\\'",
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
      (others == 0 && user_version >= 0 && user_version < kSchemaVersion
           ? "PRAGMA user_version = " + std::to_string(kSchemaVersion) + ";\n"
           : std::string());
  const bool p = mode == Mode::kProprietary;
  if (ours == 0) {
    std::string sql = std::string(kQuillonSchema) + kLogsSchema +
                      (zoned ? kZonedLogsColumns : "") + kPackedSchema +
                      (p ? kNamesSchema : "") + views_of(mode, zoned) +
                      "INSERT INTO quillon VALUES ('mode', '" + letter + "');\n" +
                      set_version;
    if (!exec(sql.c_str(), err) || (p && !add_event_names(err))) status = DatabaseOpen::kFailed;
    if (zoned && status == DatabaseOpen::kOpened) {
      // The zone's name is plain text (letters, digits, "/_+-").
      const std::string set_zone =
          "INSERT INTO quillon VALUES ('zone', '" + zone_->name() + "');\n";
      if (!exec(set_zone.c_str(), err)) status = DatabaseOpen::kFailed;
    }
  } else if (version != kSchemaVersion && version != 2 && version != 1 && version != 0) {
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
    } else if (version < kSchemaVersion) {
      const std::string v1 = std::string(kFromVersion1) + kLogsSchemaV2 + kFromVersion1Copy;
      if ((version == 1 && !exec(v1.c_str(), err)) || !pack_events(err) ||
          !exec(set_version.c_str(), err)) {
        status = DatabaseOpen::kFailed;
      } else {
        packed_ = true;
      }
    } else if (!views_current(zoned, err)) {
      status = DatabaseOpen::kFailed;
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
  // A run held in one transaction goes on in this one.
  if (!before_commit_ && !exec("COMMIT", err)) return DatabaseOpen::kFailed;

  if (!compile("SELECT log_id, digest FROM logs WHERE path = ?", &find_, err) ||
      !compile("SELECT size, mtime FROM logs WHERE path = ?", &find_stored_, err) ||
      !compile("DELETE FROM packed_events WHERE log_id = ?", &delete_events_, err) ||
      !compile("DELETE FROM logs WHERE log_id = ?", &delete_log_, err) ||
      !compile("UPDATE logs SET size = ?, mtime = ? WHERE log_id = ?",
               &touch_log_, err) ||
      !compile(zoned ? "INSERT INTO logs (path, signal_id, start, version, header, "
                       "closing, records, size, mtime, digest, utc_offset, other_offset) "
                       "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"
                     : "INSERT INTO logs (path, signal_id, start, version, header, "
                       "closing, records, size, mtime, digest) "
                       "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
               &insert_log_, err) ||
      !compile("INSERT INTO packed_events (log_id, events) VALUES (?, ?)", &insert_events_,
               err)) {
    return DatabaseOpen::kFailed;
  }
  return DatabaseOpen::kOpened;
}

bool ArchiveDatabase::views_current(bool zoned, std::string* err) {
  // Each statement of the views' text as SQLite keeps it: without its ";".
  const std::string views = views_of(mode_, zoned);
  std::string made;
  sqlite3_stmt* stmt = nullptr;
  if (!compile("SELECT sql FROM sqlite_schema WHERE type = 'view' AND name IN "
               "('events', 'event_log') ORDER BY name DESC",
               &stmt, err))
    return false;
  while (sqlite3_step(stmt) == SQLITE_ROW)
    made += reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)) + std::string(";\n");
  sqlite3_finalize(stmt);
  if (made == views) return true;
  const std::string again = "DROP VIEW IF EXISTS events;\nDROP VIEW IF EXISTS event_log;\n" + views;
  return exec(again.c_str(), err);
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
  if (!begin_log(err)) return false;
  auto fail = [&](const std::string& why) {
    *err = why;
    roll_back_log();
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
  int64_t old_id = 0, old_digest = 0;
  bool found = sqlite3_step(find_) == SQLITE_ROW;
  if (found) {
    old_id = sqlite3_column_int64(find_, 0);
    old_digest = sqlite3_column_int64(find_, 1);
  }
  sqlite3_reset(find_);
  if (found && old_digest == hash) {
    sqlite3_bind_int64(touch_log_, 1, static_cast<int64_t>(log.size));
    sqlite3_bind_int64(touch_log_, 2, log.mtime_ns);
    sqlite3_bind_int64(touch_log_, 3, old_id);
    if (!step(touch_log_)) return fail(error());
    return commit_log(err) || fail(*err);
  }
  if (found) {
    sqlite3_bind_int64(delete_events_, 1, old_id);
    sqlite3_bind_int64(delete_log_, 1, old_id);
    if (!step(delete_events_) || !step(delete_log_)) return fail(error());
  }

  EventPacker packer(mode_, select_event_table(log.version), log.hour, zone_.get(),
                     log.second_pass);
  if (!rows.copy_to(packer)) return fail(rows.error());
  packer.end();

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
  if (zone_ != nullptr) {
    if (log.dated)
      sqlite3_bind_int(insert_log_, 11, packer.utc_offset);
    else
      sqlite3_bind_null(insert_log_, 11);
    if (packer.has_other)
      sqlite3_bind_int(insert_log_, 12, packer.other_offset);
    else
      sqlite3_bind_null(insert_log_, 12);
  }
  if (!step(insert_log_)) return fail(error());
  const int64_t log_id = sqlite3_last_insert_rowid(db_);
  if (packer.packed.size() > 2) {
    sqlite3_bind_int64(insert_events_, 1, log_id);
    text(insert_events_, 2, packer.packed);
    if (!step(insert_events_)) return fail(error());
  }
  if (!commit_log(err)) return fail(*err);
  loaded_ = true;
  return true;
}

bool ArchiveDatabase::begin_log(std::string* err) {
  return exec(before_commit_ ? "SAVEPOINT log" : "BEGIN IMMEDIATE", err);
}

bool ArchiveDatabase::commit_log(std::string* err) {
  return exec(before_commit_ ? "RELEASE log" : "COMMIT", err);
}

void ArchiveDatabase::roll_back_log() {
  std::string ignored;
  exec(before_commit_ ? "ROLLBACK TO log; RELEASE log" : "ROLLBACK", &ignored);
}

bool ArchiveDatabase::add_event_names(std::string* err) {
  sqlite3_stmt* insert = nullptr;
  if (!compile("INSERT INTO event_names VALUES (?, ?, ?)", &insert, err)) return false;
  bool ok = true;
  for (int version : {0, 4, 5, 6}) {
    const EventTable& table = select_event_table(version);
    for (int type = 0; type < table.count && ok; ++type) {
      const std::string_view name = event_name(table.rows[type]);
      sqlite3_bind_int(insert, 1, version);
      sqlite3_bind_int(insert, 2, type);
      sqlite3_bind_text(insert, 3, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
      ok = sqlite3_step(insert) == SQLITE_DONE;
      sqlite3_reset(insert);
    }
  }
  if (!ok) *err = error();
  sqlite3_finalize(insert);
  return ok;
}

namespace {

// The tenths since 1970 of a time as version 2 stored it:
// "2026-06-08 13:05:09.3", in UTC "2026-06-08T13:05:09.3Z", or a log's
// start "2026-06-08 13:00:00". Returns false where it is not one.
bool read_stored_time(const char* text, int64_t* t) {
  if (text == nullptr || strlen(text) < 19) return false;
  for (int i : {0, 1, 2, 3, 5, 6, 8, 9, 11, 12, 14, 15, 17, 18})
    if (text[i] < '0' || text[i] > '9') return false;
  const bool tenths = text[19] == '.' && text[20] >= '0' && text[20] <= '9';
  auto n = [&](int at, int digits) {
    int v = 0;
    for (int i = at; i < at + digits; ++i) v = v * 10 + (text[i] - '0');
    return v;
  };
  *t = (days_from_civil(n(0, 4), n(5, 2), n(8, 2)) * 86400 + n(11, 2) * 3600 +
        n(14, 2) * 60 + n(17, 2)) * 10 + (tenths ? n(20, 1) : 0);
  return true;
}

}  // namespace

bool ArchiveDatabase::pack_events(std::string* err) {
  const bool p = mode_ == Mode::kProprietary, zoned = zone_ != nullptr;
  const std::string begin = std::string("DROP VIEW IF EXISTS event_log;\n"
                                        "ALTER TABLE events RENAME TO events_v2;\n"
                                        "DROP INDEX IF EXISTS logs_by_signal;\n") +
                            (zoned ? kZonedLogsColumns : "") + kPackedSchema +
                            (p ? kNamesSchema : "");
  if (!exec(begin.c_str(), err) || (p && !add_event_names(err))) return false;
  sqlite3_stmt *logs = nullptr, *events = nullptr, *insert = nullptr, *offsets = nullptr;
  bool ok = compile("SELECT log_id, start, first_event, last_event FROM logs "
                    "WHERE start IS NOT NULL ORDER BY log_id", &logs, err) &&
            compile(p ? "SELECT timestamp, event_type, data, 0 FROM events_v2 "
                        "WHERE event_id BETWEEN ? AND ? ORDER BY event_id"
                      : zoned ? "SELECT timestamp, event_code, event_param, utc_offset "
                                "FROM events_v2 WHERE event_id BETWEEN ? AND ? ORDER BY event_id"
                              : "SELECT timestamp, event_code, event_param, 0 FROM events_v2 "
                                "WHERE event_id BETWEEN ? AND ? ORDER BY event_id",
                    &events, err) &&
            compile("INSERT INTO packed_events (log_id, events) VALUES (?, ?)", &insert, err) &&
            (!zoned || compile("UPDATE logs SET utc_offset = ?, other_offset = ? WHERE log_id = ?",
                               &offsets, err));
  if (p && zoned && ok) {
    sqlite3_finalize(events);
    ok = compile("SELECT timestamp, event_type, data, utc_offset FROM events_v2 "
                 "WHERE event_id BETWEEN ? AND ? ORDER BY event_id", &events, err);
  }
  std::string packed;
  while (ok && sqlite3_step(logs) == SQLITE_ROW) {
    const int64_t log_id = sqlite3_column_int64(logs, 0);
    int64_t start = 0;
    ok = read_stored_time(reinterpret_cast<const char*>(sqlite3_column_text(logs, 1)), &start);
    LogHour hour{1970, 1, 1, 0};
    if (ok) {
      int64_t y;
      int m, d;
      civil_from_days(day_of(start), &y, &m, &d);
      hour = {static_cast<int>(y), m, d, static_cast<int>(start % kTenthsPerDay / 36000)};
    }
    const int32_t utc_offset = zoned ? ZonedHour(*zone_, hour).start_offset() : 0;
    int32_t other_offset = 0;
    bool has_other = false;
    packed = "[";
    if (sqlite3_column_type(logs, 2) != SQLITE_NULL) {
      sqlite3_bind_int64(events, 1, sqlite3_column_int64(logs, 2));
      sqlite3_bind_int64(events, 2, sqlite3_column_int64(logs, 3));
      while (ok && sqlite3_step(events) == SQLITE_ROW) {
        int64_t t = 0;
        ok = read_stored_time(reinterpret_cast<const char*>(sqlite3_column_text(events, 0)), &t);
        const int32_t offset = sqlite3_column_int(events, 3);
        const int64_t tenths = t + int64_t{offset} * 10 - start;
        ok = ok && tenths >= 0 && tenths <= 65535;
        uint64_t v = static_cast<uint64_t>(tenths) << 18 |
                     static_cast<uint64_t>(sqlite3_column_int(events, 1) & 255) << (p ? 0 : 9);
        if (zoned && offset != utc_offset) {
          other_offset = offset;
          has_other = true;
          v |= 1u << 17;
        }
        if (!p && sqlite3_column_type(events, 2) != SQLITE_NULL)
          v |= 256u | (sqlite3_column_int(events, 2) & 255);
        if (packed.size() > 1) packed += ',';
        const char* data = p ? reinterpret_cast<const char*>(sqlite3_column_text(events, 2)) : "";
        const bool quoted = data != nullptr && *data != '\0';
        if (quoted) packed += '"';
        packed += std::to_string(v);
        if (quoted) packed.append(" ").append(data).append("\"");
      }
      sqlite3_reset(events);
      if (!ok && err->empty()) *err = "an event's time that is not its log's";
    }
    packed += ']';
    if (ok && packed.size() > 2) {
      sqlite3_bind_int64(insert, 1, log_id);
      sqlite3_bind_text(insert, 2, packed.data(), static_cast<int>(packed.size()), SQLITE_STATIC);
      ok = sqlite3_step(insert) == SQLITE_DONE;
      sqlite3_reset(insert);
    }
    if (ok && zoned) {
      sqlite3_bind_int(offsets, 1, utc_offset);
      if (has_other)
        sqlite3_bind_int(offsets, 2, other_offset);
      else
        sqlite3_bind_null(offsets, 2);
      sqlite3_bind_int64(offsets, 3, log_id);
      ok = sqlite3_step(offsets) == SQLITE_DONE;
      sqlite3_reset(offsets);
    }
    if (!ok && err->empty()) *err = error();
  }
  for (sqlite3_stmt* stmt : {logs, events, insert, offsets}) sqlite3_finalize(stmt);
  if (!ok) return false;
  const std::string end = std::string("DROP TABLE events_v2;\n"
                                      "ALTER TABLE logs DROP COLUMN first_event;\n"
                                      "ALTER TABLE logs DROP COLUMN last_event;\n") +
                          views_of(mode_, zoned);
  return exec(end.c_str(), err);
}

bool ArchiveDatabase::finish(std::string* err) {
  std::string ignored;
  if (before_commit_ && !before_commit_(*this, err)) {
    exec("ROLLBACK", &ignored);
    return false;
  }
  // The logs' indexes sampled (a thousand rows at most, however many logs):
  // in a moment at any size.
  const char kStatistics[] =
      "PRAGMA analysis_limit = 1000;\n"
      "ANALYZE logs;\n"
      "DELETE FROM sqlite_stat1 WHERE tbl = 'events';\n";
  if (loaded_) {
    if (!before_commit_ && !exec("BEGIN IMMEDIATE", err)) return false;
    if (!exec(kStatistics, err) || !exec("COMMIT", err)) {
      exec("ROLLBACK", &ignored);
      return false;
    }
  } else if (before_commit_ && !exec("COMMIT", err)) {
    exec("ROLLBACK", &ignored);
    return false;
  }
  // A database brought to this version gives back the room its events took.
  return !packed_ || exec("VACUUM", err);
}
