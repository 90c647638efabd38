// -f sqlite end to end: the database against the events table, loading
// again and in part (-u), runs killed at any moment, runs side by side, and
// the databases that are refused.

#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/tool_runner.h"
#include "tools/loggen.h"
#include "tools/signal_day.h"

namespace {

// The rows `sql` gives, one line each, fields joined by "," (NULL empty).
std::string query(const fs::path& db, const std::string& sql) {
  sqlite3* handle = nullptr;
  // Read and write: a run killed in a transaction leaves a journal that the
  // next connection rolls back.
  EXPECT_EQ(sqlite3_open_v2(db.c_str(), &handle, SQLITE_OPEN_READWRITE, nullptr),
            SQLITE_OK);
  sqlite3_busy_timeout(handle, 10000);
  sqlite3_stmt* stmt = nullptr;
  std::string out;
  if (sqlite3_prepare_v2(handle, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
    ADD_FAILURE() << sqlite3_errmsg(handle) << " in " << sql;
  } else {
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
        if (i > 0) out += ",";
        const unsigned char* text = sqlite3_column_text(stmt, i);
        if (text != nullptr) out += reinterpret_cast<const char*>(text);
      }
      out += "\n";
    }
  }
  sqlite3_finalize(stmt);
  sqlite3_close(handle);
  return out;
}

// The lines of `text`, sorted: rows whatever their order.
std::multiset<std::string> lines(const std::string& text) {
  std::multiset<std::string> sorted;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    sorted.insert(text.substr(at, end - at));
    at = end + 1;
  }
  return sorted;
}

// The rows of the event_log view.
std::multiset<std::string> event_log(const fs::path& db) {
  return lines(query(db, "SELECT * FROM event_log"));
}

// Makes the database `db` of mode `letter` (made with --tz where `zoned`)
// one of schema version 2, as earlier versions of quillon wrote it: a row
// an event in the table events, each log's between its first_event and
// last_event.
void to_schema_2(const fs::path& db, const std::string& letter, bool zoned) {
  const bool p = letter == "p";
  const std::string columns = p ? "event_type INTEGER NOT NULL, event_name TEXT NOT NULL, "
                                  "data TEXT NOT NULL"
                                : "event_code INTEGER NOT NULL, event_param INTEGER";
  const std::string names = p ? "event_type, event_name, data" : "event_code, event_param";
  const std::string zone_column = zoned ? ", utc_offset INTEGER NOT NULL" : "";
  const std::string zone_name = zoned ? ", utc_offset" : "";
  const std::string view =
      zoned ? "CREATE VIEW event_log AS SELECT events.* FROM events;\n" :
      "CREATE VIEW event_log AS SELECT logs.signal_id AS signal_id, events.timestamp AS "
      "timestamp, " + std::string(p ? "events.event_type AS event_type, events.event_name AS "
                                      "event_name, events.data AS data"
                                    : "events.event_code AS event_code, events.event_param AS "
                                      "event_param") +
      ", logs.version AS version FROM logs JOIN events ON events.event_id BETWEEN "
      "logs.first_event AND logs.last_event;\n";
  const std::string sql =
      "BEGIN;\n"
      "CREATE TABLE events_2 (event_id INTEGER PRIMARY KEY, log_id INTEGER NOT NULL, "
      "timestamp TEXT NOT NULL, " + columns + zone_column + ");\n"
      "INSERT INTO events_2 (log_id, timestamp, " + names + zone_name + ") SELECT log_id, "
      "timestamp, " + names + zone_name + " FROM events;\n"
      "CREATE TABLE logs_2 (log_id INTEGER PRIMARY KEY, path TEXT NOT NULL UNIQUE, signal_id "
      "TEXT NOT NULL, start TEXT, version INTEGER NOT NULL, header TEXT NOT NULL, closing TEXT "
      "NOT NULL, records INTEGER NOT NULL, size INTEGER NOT NULL, mtime INTEGER NOT NULL, "
      "first_event INTEGER, last_event INTEGER, digest INTEGER NOT NULL);\n"
      "INSERT INTO logs_2 SELECT log_id, path, signal_id, start, version, header, closing, "
      "records, size, mtime, (SELECT min(event_id) FROM events_2 WHERE events_2.log_id = "
      "logs.log_id), (SELECT max(event_id) FROM events_2 WHERE events_2.log_id = logs.log_id), "
      "digest FROM logs;\n"
      "DROP VIEW event_log;\nDROP VIEW events;\nDROP TABLE packed_events;\n"
      "DROP TABLE IF EXISTS event_names;\nDROP TABLE logs;\n"
      "ALTER TABLE logs_2 RENAME TO logs;\nALTER TABLE events_2 RENAME TO events;\n"
      "CREATE INDEX logs_by_signal ON logs (signal_id, start);\n" + view +
      "UPDATE quillon SET value = '2' WHERE key = 'schema';\n"
      "COMMIT;\nPRAGMA user_version = 2;\nVACUUM;\n";
  sqlite3* handle = nullptr;
  ASSERT_EQ(sqlite3_open_v2(db.c_str(), &handle, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
  char* message = nullptr;
  EXPECT_EQ(sqlite3_exec(handle, sql.c_str(), nullptr, nullptr, &message), SQLITE_OK)
      << (message != nullptr ? message : "");
  sqlite3_free(message);
  sqlite3_close(handle);
}

class Database : public Cli {
 protected:
  // An archive of every version, plain and compressed, sound and damaged.
  void make_archive(const fs::path& dir) {
    for (int version : {4, 5, 6, 7}) {
      fs::path sub = dir / ("v" + std::to_string(version));
      fs::create_directories(sub);
      std::string a = make_log(version, every_type_records(version, 2, version));
      write_file(sub / "2022_12_31_23.dat", a);
      write_file(sub / "AB_17_2023_01_01_00.dat.gz", gzip_bytes(log(version, 3)));
      std::string gz = gzip_bytes(log(version, 4));
      write_file(sub / "2023_01_01_01.dat.gz", gz.substr(0, gz.size() / 2));
      write_file(sub / "2023_01_01_02.dat", log(version, 5) + encode_record({200, 0, {}}));
    }
  }
  // The rows of the events table of the same tree.
  std::multiset<std::string> table(const fs::path& dir, const char* letter) {
    ToolRun run = quillon({"-f", "events", "-r", dir.string(), letter});
    return lines(run.out.substr(run.out.find('\n') + 1));
  }
};

TEST_F(Database, RowsAreTheEventsTable) {
  if (tool().windows) GTEST_SKIP() << "the Windows build has no sqlite format";
  make_archive(dir_);
  for (const char* letter : {"e", "p"}) {
    fs::path db = root_ / (std::string(letter) + ".db");
    ToolRun run = quillon({"-f", "sqlite", "-r", "-o", db.string(), dir_.string(), letter});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("unexpected end of file"), std::string::npos) << run.err;
    EXPECT_EQ(event_log(db), table(dir_, letter)) << letter;
    EXPECT_EQ(query(db, "PRAGMA integrity_check"), "ok\n");
    // A database of schema 2 (a row an event) is brought to this one, its
    // rows the same in the same order, its room given back.
    const std::string rows = query(db, "SELECT * FROM event_log"),
                      events = query(db, "SELECT * FROM events");
    const std::string logs = query(db, "SELECT * FROM logs");
    to_schema_2(db, letter, false);
    const auto size_2 = fs::file_size(db);
    EXPECT_TRUE(query(db, "SELECT * FROM event_log") == rows);
    ToolRun again = quillon({"-u", "-f", "sqlite", "-r", "-o", db.string(), dir_.string(), letter});
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_TRUE(query(db, "SELECT * FROM event_log") == rows) << letter;
    EXPECT_TRUE(query(db, "SELECT * FROM events") == events) << letter;
    EXPECT_TRUE(query(db, "SELECT * FROM logs") == logs) << letter;
    EXPECT_EQ(query(db, "SELECT value FROM quillon WHERE key = 'schema'"), "3\n");
    EXPECT_EQ(query(db, "PRAGMA integrity_check"), "ok\n");
    EXPECT_LT(fs::file_size(db), size_2) << letter;
  }
  fs::path db = root_ / "e.db";
  EXPECT_EQ(query(db, "SELECT path, signal_id, start, version, closing "
                      "FROM logs WHERE path LIKE 'v6/%' ORDER BY log_id"),
            "v6/2022_12_31_23.dat,v6,2022-12-31 23:00:00,6,End of Controller Log\n"
            "v6/2023_01_01_01.dat.gz,v6,2023-01-01 01:00:00,6,Error: unexpected "
            "end of file\n"
            "v6/2023_01_01_02.dat,v6,2023-01-01 02:00:00,6,Error: bad event type 200\n"
            "v6/AB_17_2023_01_01_00.dat.gz,AB_17,2023-01-01 00:00:00,6,End of "
            "Controller Log\n");
  ConvertResult result;
  convert(make_log(6, every_type_records(6, 2, 6)), "2022_12_31_23.dat",
          Mode::kStandard, &result);
  EXPECT_EQ(query(db, "SELECT records FROM logs WHERE path = 'v6/2022_12_31_23.dat'"),
            std::to_string(result.records) + "\n");
  EXPECT_EQ(query(db, "SELECT header FROM logs WHERE path = 'v6/2022_12_31_23.dat'"),
            make_log_header(6) + "\n");
  EXPECT_EQ(query(db, "SELECT typeof(event_code), typeof(event_param) FROM events "
                      "WHERE event_code = 181 LIMIT 1"),
            "integer,null\n");
}

// The README's hourly query and the typical ones (a signal's day, a code
// across signals over a day) read the events of the logs they name only,
// found by their ids: never an index built of every event for the query (a
// minute per million events).
TEST_F(Database, QueriesReadOnlyTheirLogs) {
  if (tool().windows) GTEST_SKIP() << "the Windows build has no sqlite format";
  for (const char* signal : {"elm", "main", "oak"}) {
    fs::create_directories(dir_ / signal);
    for (int hour = 0; hour < 24; ++hour) {
      char name[32];
      snprintf(name, sizeof name, "2022_06_08_%02d.dat", hour);
      write_file(dir_ / signal / name, log(6, hour));
    }
  }
  fs::path db = root_ / "q.db";
  ASSERT_EQ(quillon({"-q", "-f", "sqlite", "-r", "-o", db.string(), dir_.string(), "e"}).status, 0);
  const struct {
    const char* sql;
    const char* logs;  // how the plan finds the logs
    const char* rows;  // what they give
  } kQueries[] = {
      {"SELECT logs.signal_id, count(*) FROM logs JOIN events USING (log_id) WHERE logs.start >= "
       "datetime('now', '-1 day') AND version <> 4 AND event_code = 82 GROUP BY 1",
       "SEARCH logs USING", ""},
      {"SELECT timestamp, event_code, event_param FROM logs JOIN events USING (log_id) WHERE "
       "logs.signal_id = 'main' AND logs.start >= '2022-06-08' AND logs.start < '2022-06-09'",
       "logs_by_signal (signal_id=? AND start>? AND start<?)", nullptr},
      {"SELECT logs.signal_id, count(*) FROM logs JOIN events USING (log_id) WHERE logs.start >= "
       "'2022-06-08' AND logs.start < '2022-06-09' AND event_code = 82 GROUP BY 1",
       "SEARCH logs USING", nullptr},
      {"SELECT count(*) FROM event_log WHERE signal_id = 'main' AND event_code = 82",
       "logs_by_signal (signal_id=?)", nullptr},
  };
  const std::string day = query(db, "SELECT timestamp, event_code, event_param FROM event_log "
                                    "WHERE signal_id = 'main'");
  EXPECT_GT(day.size(), 1000u);
  const std::string counts = query(db, "SELECT signal_id, count(*) FROM event_log WHERE "
                                       "event_code = 82 GROUP BY 1");
  const std::string main_count = query(db, "SELECT count(*) FROM event_log WHERE signal_id = "
                                           "'main' AND event_code = 82");
  const std::string want[] = {"", day, counts, main_count};
  for (size_t i = 0; i < std::size(kQueries); ++i) {
    const auto& q = kQueries[i];
    const std::string plan = query(db, std::string("EXPLAIN QUERY PLAN ") + q.sql);
    EXPECT_EQ(plan.find("AUTOMATIC"), std::string::npos) << q.sql << "\n" << plan;
    EXPECT_NE(plan.find(q.logs), std::string::npos) << q.sql << "\n" << plan;
    EXPECT_NE(plan.find("SEARCH p USING INTEGER PRIMARY KEY"), std::string::npos)
        << q.sql << "\n" << plan;
    // A log's row is read once, before its events, not once an event.
    const size_t events = plan.find("SCAN j");
    EXPECT_TRUE(events != std::string::npos && plan.find(" USING INTEGER PRIMARY KEY", events) ==
                                                   std::string::npos)
        << q.sql << "\n" << plan;
    if (q.rows == nullptr) {
      EXPECT_EQ(query(db, q.sql), want[i]) << q.sql;
    }
  }
  // Views of an earlier quillon (the same rows, read otherwise) are made
  // anew by the next run.
  const std::string views = query(db, "SELECT sql FROM sqlite_schema WHERE type = 'view'");
  query(db, "DROP VIEW events");
  query(db, "CREATE VIEW events AS SELECT * FROM event_log");
  ASSERT_EQ(quillon({"-q", "-u", "-f", "sqlite", "-r", "-o", db.string(), dir_.string(), "e"}).status, 0);
  EXPECT_EQ(query(db, "SELECT sql FROM sqlite_schema WHERE type = 'view'"), views);
  // A run that loads nothing leaves them as they were.
  const std::string statistics = query(db, "SELECT * FROM sqlite_stat1 ORDER BY 1, 2");
  EXPECT_NE(statistics.find("logs,logs_by_signal,"), std::string::npos) << statistics;
  ASSERT_EQ(quillon({"-q", "-u", "-f", "sqlite", "-r", "-o", db.string(), dir_.string(), "e"}).status, 0);
  EXPECT_EQ(query(db, "SELECT * FROM sqlite_stat1 ORDER BY 1, 2"), statistics);
}

// Loading again changes nothing; a log that changed replaces its rows; -u
// leaves a log with its loaded size and time unread.
TEST_F(Database, LoadingAgainAndInPart) {
  if (tool().windows) GTEST_SKIP() << "the Windows build has no sqlite format";
  make_archive(dir_);
  fs::path db = root_ / "a.db";
  const std::vector<std::string> load = {"-f", "sqlite", "-r", "-o", db.string(),
                                         dir_.string(), "e"};
  ASSERT_EQ(quillon(load).status, 1);
  const std::string dump = "SELECT * FROM logs ORDER BY log_id";
  std::string logs = query(db, dump);
  std::multiset<std::string> events = event_log(db);
  ASSERT_EQ(quillon(load).status, 1);
  EXPECT_EQ(query(db, dump), logs);
  EXPECT_EQ(event_log(db), events);

  // Same size and time, other rows: -u does not read it, a plain run does.
  fs::path changed = dir_ / "v7" / "2022_12_31_23.dat";
  const auto size = fs::file_size(changed);
  const auto time = fs::last_write_time(changed);
  std::string other = make_log(7, every_type_records(7, 2, 99));
  ASSERT_EQ(other.size(), size);
  write_file(changed, other);
  fs::last_write_time(changed, time);
  std::vector<std::string> update = load;
  update.insert(update.begin(), "-u");
  // Nothing is read, so nothing damaged is met either.
  ASSERT_EQ(quillon(update).status, 0);
  EXPECT_EQ(query(db, dump), logs);
  ASSERT_EQ(quillon(load).status, 1);
  EXPECT_NE(query(db, dump), logs);
  EXPECT_EQ(event_log(db), table(dir_, "e"));
  EXPECT_EQ(query(db, "SELECT count(*) FROM logs"), "16\n");
}

// Killed at any moment, a run leaves a sound database that holds whole
// logs only; the next run completes it.
TEST_F(Database, KilledRunsLeaveWholeLogs) {
  if (tool().windows) GTEST_SKIP() << "POSIX signals";
  for (int i = 0; i < 30; ++i)
    write_file(dir_ / ("AB_" + std::to_string(i) + "_2022_06_08_13.dat"),
               make_log(7, random_records(7, 20000, i, {})));
  fs::path db = root_ / "a.db";
  const std::vector<std::string> load = {"-f", "sqlite", "-o", db.string(),
                                         dir_.string(), "e"};
  ToolRun reference = quillon({"-f", "events", dir_.string(), "e"});
  std::map<std::string, int> rows;  // by signal id
  for (size_t at = reference.out.find('\n') + 1; at < reference.out.size();) {
    size_t end = reference.out.find('\n', at);
    ++rows[reference.out.substr(at, reference.out.find(',', at) - at)];
    at = end + 1;
  }
  for (int delay_ms : {5, 20, 40, 80, 120, 160, 200, 260, 320, 400}) {
    pid_t pid = start_tool(load, root_);
    std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
    kill(pid, SIGKILL);
    finish_tool(pid, root_);
    if (!fs::exists(db)) continue;
    EXPECT_EQ(query(db, "PRAGMA integrity_check"), "ok\n") << delay_ms;
    // Killed while it made the schema: nothing was committed.
    if (query(db, "SELECT count(*) FROM sqlite_schema") == "0\n") continue;
    // Each log there has all its rows, and there are no others.
    std::string counts = query(
        db, "SELECT signal_id, json_array_length(events) FROM logs JOIN packed_events "
            "USING (log_id)");
    for (size_t at = 0; at < counts.size();) {
      size_t comma = counts.find(',', at), end = counts.find('\n', at);
      EXPECT_EQ(std::stoi(counts.substr(comma + 1, end - comma - 1)),
                rows[counts.substr(at, comma - at)])
          << delay_ms;
      at = end + 1;
    }
    EXPECT_EQ(query(db, "SELECT count(*) FROM logs WHERE log_id NOT IN "
                        "(SELECT log_id FROM packed_events)"),
              "0\n")
        << delay_ms;
  }
  EXPECT_EQ(quillon(load).status, 0);
  EXPECT_EQ(event_log(db), lines(reference.out.substr(reference.out.find('\n') + 1)));
}

// Two runs at once: each log is there once, whole.
TEST_F(Database, RunsSideBySide) {
  if (tool().windows) GTEST_SKIP() << "the Windows build has no sqlite format";
  for (int i = 0; i < 12; ++i)
    write_file(dir_ / ("AB_" + std::to_string(i) + "_2022_06_08_13.dat"),
               make_log(6, random_records(6, 5000, i, {})));
  fs::path db = root_ / "a.db";
  const std::vector<std::string> load = {"-f", "sqlite", "-j", "2", "-o",
                                         db.string(), dir_.string(), "p"};
  fs::path other = root_ / "other";
  fs::create_directory(other);
  pid_t first = start_tool(load, root_);
  pid_t second = start_tool(load, other);
  EXPECT_EQ(finish_tool(first, root_).status, 0);
  ToolRun run = finish_tool(second, other);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(query(db, "SELECT count(*), count(DISTINCT path) FROM logs"), "12,12\n");
  EXPECT_EQ(event_log(db), table(dir_, "p"));
}

// A database of the other mode, of an unknown schema or of someone else is
// refused and left as it was; one that cannot be written is reported.
TEST_F(Database, DatabasesThatAreRefused) {
  if (tool().windows) GTEST_SKIP() << "the Windows build has no sqlite format";
  write_file(dir_ / "2022_06_08_13.dat", log(6));
  fs::path db = root_ / "a.db";
  ASSERT_EQ(quillon({"-f", "sqlite", "-o", db.string(), dir_.string(), "e"}).status, 0);
  const std::string bytes = read_file(db);
  ToolRun other_mode = quillon({"-f", "sqlite", "-o", db.string(), dir_.string(), "p"});
  EXPECT_EQ(other_mode.status, 2);
  EXPECT_EQ(other_mode.err, error(db.string() +
                                  ": a database of mode e cannot take the rows of mode p"));
  fs::path unknown = root_ / "unknown.db", foreign = root_ / "foreign.db";
  sqlite3* handle = nullptr;
  sqlite3_open(unknown.c_str(), &handle);
  sqlite3_exec(handle, "CREATE TABLE logs (x); PRAGMA user_version = 7", nullptr, nullptr, nullptr);
  sqlite3_close(handle);
  sqlite3_open(foreign.c_str(), &handle);
  sqlite3_exec(handle, "CREATE TABLE mine (x)", nullptr, nullptr, nullptr);
  sqlite3_close(handle);
  const std::string unknown_bytes = read_file(unknown);
  ToolRun run = quillon({"-f", "sqlite", "-o", unknown.string(), dir_.string(), "e"});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err, error(unknown.string() + ": schema version 7 is unknown to this "
                                              "quillon; the database is left as it was"));
  EXPECT_TRUE(read_file(db) == bytes);
  EXPECT_TRUE(read_file(unknown) == unknown_bytes);
  // A database of another program's tables takes quillon's beside them,
  // its user_version (0 or 1, the program's own) left as it was, on the
  // first run and the next.
  for (int user_version : {0, 1}) {
    fs::remove(foreign);
    sqlite3_open(foreign.c_str(), &handle);
    sqlite3_exec(handle, ("CREATE TABLE mine (x); PRAGMA user_version = " +
                          std::to_string(user_version)).c_str(),
                 nullptr, nullptr, nullptr);
    sqlite3_close(handle);
    for (int again = 0; again < 2; ++again) {
      run = quillon({"-f", "sqlite", "-o", foreign.string(), dir_.string(), "e"});
      EXPECT_EQ(run.status, 0) << run.err;
      EXPECT_EQ(query(foreign, "PRAGMA user_version"), std::to_string(user_version) + "\n");
    }
    EXPECT_EQ(query(foreign, "SELECT count(*) > 0 FROM event_log"), "1\n");
    EXPECT_EQ(query(foreign, "SELECT count(*) FROM mine"), "0\n");
    EXPECT_EQ(query(foreign, "SELECT value FROM quillon WHERE key = 'schema'"), "3\n");
  }
  // quillon's own database keeps its schema version in user_version too.
  EXPECT_EQ(query(db, "PRAGMA user_version"), "3\n");
  // One of quillon's names with another shape is refused.
  fs::path clash = root_ / "clash.db";
  sqlite3_open(clash.c_str(), &handle);
  sqlite3_exec(handle, "CREATE TABLE events (x)", nullptr, nullptr, nullptr);
  sqlite3_close(handle);
  run = quillon({"-f", "sqlite", "-o", clash.string(), dir_.string(), "e"});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err, error(clash.string() + ": its tables quillon, logs, events "
                                            "or event_log are not quillon's; it "
                                            "is left as it was"));

  // No database named, a check: nothing written.
  EXPECT_EQ(quillon({"-f", "sqlite", dir_.string(), "e"}).status, 2);
  EXPECT_EQ(quillon({"-t", "-f", "sqlite", "-o", (root_ / "new.db").string(),
                     dir_.string(), "e"}).status, 0);
  EXPECT_FALSE(fs::exists(root_ / "new.db"));

  std::string why;
  if (!tool_runs_as_nobody(&why)) GTEST_SKIP() << why;
  ToolRun read_only = quillon({"-f", "sqlite", "-o", db.string(), dir_.string(), "e"},
                              {.as_nobody = true});
  EXPECT_EQ(read_only.status, 1);
  EXPECT_EQ(read_only.err.rfind("Error: " + db.string() + ": ", 0), 0u) << read_only.err;
  EXPECT_EQ(read_file(db), bytes);
}

// Log files as inputs are keyed by their canonical path below the
// database's directory, the current one: however spelled, a log is one row
// and its events are loaded once; a log outside it is refused.
TEST_F(Database, LogFilesKeyedOnceHoweverSpelled) {
  if (tool().windows) GTEST_SKIP() << "the Windows build has no sqlite format";
  const std::string name = "AB_17_2022_06_08_13.dat";
  fs::create_directories(dir_ / "north");
  write_file(dir_ / "north" / name, log(6, 1));
  fs::create_directory_symlink(dir_ / "north", dir_ / "link");
  write_file(root_ / "outside.dat", log(6, 2));
  const std::vector<std::string> spellings = {
      "north/" + name, "./north/" + name, "north//" + name, "link/" + name,
      (dir_ / "north" / name).string(), "north/../north/" + name};
  std::vector<std::string> args = {"-f", "sqlite", "-o", (root_ / "s.db").string()};
  args.insert(args.end(), spellings.begin(), spellings.end());
  args.push_back("e");
  ToolRun run = quillon(args, {.cwd = dir_});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(query(root_ / "s.db", "SELECT path FROM logs"), "north/" + name + "\n");
  EXPECT_EQ(query(root_ / "s.db", "SELECT count(*) FROM packed_events"), "1\n");
  ToolRun outside = quillon({"-f", "sqlite", "-o", (root_ / "s.db").string(),
                             (root_ / "outside.dat").string(), "e"},
                            {.cwd = dir_});
  EXPECT_EQ(outside.status, 1);
  EXPECT_NE(outside.err.find("lies outside"), std::string::npos) << outside.err;
  EXPECT_EQ(query(root_ / "s.db", "SELECT count(*) FROM logs"), "1\n");
}

// -u in the CSV run: a CSV newer than its log is not written again.
TEST_F(Database, UpdateLeavesNewerCsvs) {
  write_file(dir_ / "2022_06_08_13.dat", log(6, 1));
  ASSERT_EQ(quillon({dir_.string(), "e"}).status, 0);
  const fs::path csv_path = dir_ / "csv_files_e" / "2022_06_08_13.csv";
  write_file(csv_path, "kept");
  struct timeval times[2] = {{1500000000, 0}, {1500000000, 0}};
  ASSERT_EQ(utimes((dir_ / "2022_06_08_13.dat").c_str(), times), 0);
  EXPECT_EQ(quillon({"-u", dir_.string(), "e"}).status, 0);
  EXPECT_EQ(read_file(csv_path), "kept");
  struct timeval later[2] = {{1500000000, 0}, {2000000000, 0}};
  ASSERT_EQ(utimes((dir_ / "2022_06_08_13.dat").c_str(), later), 0);
  EXPECT_EQ(quillon({"-u", dir_.string(), "e"}).status, 0);
  EXPECT_EQ(read_file(csv_path), csv(log(6, 1), "2022_06_08_13.dat", Mode::kStandard));
}

}  // namespace

namespace {

// The database is its owner's alone, keeps a header only where a log has
// one, and holds the logs of one directory however it is spelled.
TEST_F(Database, PrivateAndOfOneDirectory) {
  if (tool().windows) GTEST_SKIP() << "the Windows build has no sqlite format";
  const fs::path north = dir_ / "north", south = dir_ / "south";
  fs::create_directories(north);
  fs::create_directories(south);
  write_file(north / "2022_06_08_13.dat", log(6));
  write_file(south / "2022_06_08_13.dat", log(6, 2));
  // A link planted to a private file that holds no log.
  write_file(root_ / "secret", std::string(100000, 's'));
  chmod((root_ / "secret").c_str(), 0600);
  fs::create_symlink(root_ / "secret", north / "2022_06_08_14.dat");
  fs::create_symlink(north, root_ / "link");
  const fs::path db = root_ / "signals.db";
  for (const std::string& spelling :
       {north.string(), north.string() + "/", north.string() + "//.",
        (root_ / "link").string()}) {
    ToolRun run = quillon({"-f", "sqlite", "-o", db.string(), spelling, "e"});
    EXPECT_EQ(run.status, 1) << spelling << run.err;
    EXPECT_EQ(query(db, "SELECT path, length(header) > 0 FROM logs ORDER BY path"),
              "2022_06_08_13.dat,1\n2022_06_08_14.dat,0\n")
        << spelling;
  }
  struct stat st;
  ASSERT_EQ(stat(db.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  const std::string bytes = read_file(db);
  ToolRun other = quillon({"-f", "sqlite", "-o", db.string(), south.string(), "e"});
  EXPECT_EQ(other.status, 2);
  EXPECT_EQ(other.err, error(db.string() + ": holds the logs of " +
                             fs::canonical(north).string() + ", not of " +
                             fs::canonical(south).string() +
                             "; it is left as it was"));
  EXPECT_EQ(read_file(db), bytes);
}

}  // namespace

namespace {

// Rows keep their meaning: event_log gives each row its log's version; a
// log whose name holds no date is in logs (start NULL, no events) after
// every run, reported once as a damaged log is (-u leaves it alone while its
// size and time stay); a database of schema 1 is brought to schema 2.
TEST_F(Database, VersionsUndatedLogsAndSchema1) {
  if (tool().windows) GTEST_SKIP() << "the Windows build has no sqlite format";
  write_file(dir_ / "2022_06_08_23.dat", log(4, 1));
  write_file(dir_ / "2022_06_09_00.dat", log(6, 2));
  write_file(dir_ / "undated.dat", log(6, 3));
  const fs::path db = root_ / "signals.db";
  const std::string undated =
      error(tool_path(dir_, "undated.dat") + ": the name holds no valid date and hour");
  for (const char* update : {"-q", "-u"}) {
    ToolRun run = quillon({update, "-f", "sqlite", "-o", db.string(), dir_.string(), "e"});
    const bool again = std::string(update) == "-u";
    EXPECT_EQ(run.status, again ? 0 : 1);
    EXPECT_EQ(run.err.rfind(again ? "" : undated, 0), 0u) << run.err;
    if (again) {
      EXPECT_EQ(run.err.find("undated.dat"), std::string::npos) << run.err;
    }
    EXPECT_EQ(query(db, "SELECT path, start IS NULL, version, closing, "
                        "log_id NOT IN (SELECT log_id FROM packed_events) FROM logs ORDER BY path"),
              "2022_06_08_23.dat,0,4,End of Controller Log,0\n"
              "2022_06_09_00.dat,0,6,End of Controller Log,0\n"
              "undated.dat,1,0,Error: the name holds no valid date and hour,1\n")
        << update;
  }
  EXPECT_EQ(query(db, "SELECT count(*) = sum(version = 4) FROM event_log "
                      "WHERE timestamp < '2022-06-09 00:00:00.0' OR version = 4"),
            "1\n");
  EXPECT_EQ(query(db, "SELECT DISTINCT version FROM event_log ORDER BY 1"), "4\n6\n");

  // Schema 1: schema 2's tables, the view without the version.
  const std::string before = query(db, "SELECT signal_id, timestamp, event_code, event_param "
                                       "FROM event_log");
  to_schema_2(db, "e", false);
  query(db, "DROP VIEW event_log");
  query(db,
        "CREATE VIEW event_log AS SELECT logs.signal_id "
        "AS signal_id, events.timestamp AS timestamp, events.event_code AS "
        "event_code, events.event_param AS event_param FROM logs JOIN events ON "
        "events.event_id BETWEEN logs.first_event AND logs.last_event");
  query(db, "PRAGMA user_version = 1");
  query(db, "DELETE FROM quillon WHERE key = 'schema'");
  EXPECT_EQ(query(db, "SELECT * FROM event_log"), before);
  EXPECT_EQ(quillon({"-u", "-f", "sqlite", "-o", db.string(), dir_.string(), "e"}).status, 0);
  EXPECT_EQ(query(db, "PRAGMA user_version"), "3\n");
  EXPECT_EQ(query(db, "SELECT signal_id, timestamp, event_code, event_param "
                      "FROM event_log"),
            before);
}

}  // namespace

namespace {

// A database made with --tz: its view gives the rows of the events table
// with --tz, its events the instants the table gives with --utc, and the
// loads that would mix times of two kinds are refused, the database left
// as it was.
TEST_F(Database, TimesInAZone) {
  if (tool().windows) GTEST_SKIP() << "the Windows build has no sqlite format";
  SignalDayOptions options;
  options.detectors = 2;
  options.fall_back = true;
  const std::vector<std::vector<LogRecord>> hours = signal_day(options);
  fs::create_directories(dir_);
  for (size_t h = 0; h < hours.size(); ++h) {
    const std::string name = std::string("2026_11_01_") + (h < 10 ? "0" : "") +
                             std::to_string(h) + ".dat";
    write_file(dir_ / name, make_log(6, hours[h]));
  }
  for (const char* letter : {"e", "p"}) {
    const fs::path db = root_ / (std::string(letter) + "-zone.db");
    ToolRun run = quillon({"--tz", "America/Chicago", "-f", "sqlite", "-o", db.string(),
                           dir_.string(), letter});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string columns = letter[0] == 'e' ? "timestamp,event_code,event_param"
                                                 : "timestamp,event_type,event_name,data";
    for (const bool utc : {false, true}) {
      std::vector<std::string> args = {"--tz", "America/Chicago", "-f", "events", "--columns",
                                       columns, dir_.string(), letter};
      if (utc) args.insert(args.begin(), "--utc");
      ToolRun events = quillon(args);
      std::string expected = events.out.substr(events.out.find('\n') + 1);
      // As the query writes them: NULL empty, quotes gone.
      expected.erase(std::remove(expected.begin(), expected.end(), '"'), expected.end());
      const std::string got = query(
          db, utc ? "SELECT timestamp, " + columns.substr(10) + " FROM events"
                  : "SELECT " + columns + " FROM event_log");
      EXPECT_GT(got.size(), 100000u);
      EXPECT_TRUE(got == expected) << letter << (utc ? " --utc" : "");
    }
    EXPECT_EQ(query(db, "SELECT value FROM quillon WHERE key = 'zone'"), "America/Chicago\n");
    EXPECT_EQ(query(db, "SELECT DISTINCT utc_offset FROM events ORDER BY 1"), "-21600\n-18000\n");
    // Brought from schema 2, where each event held its instant and offset.
    const std::string rows = query(db, "SELECT * FROM event_log"),
                      instants = query(db, "SELECT * FROM events");
    to_schema_2(db, letter, true);
    ToolRun again = quillon({"-u", "--tz", "America/Chicago", "-f", "sqlite", "-o", db.string(),
                             dir_.string(), letter});
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_TRUE(query(db, "SELECT * FROM event_log") == rows) << letter;
    EXPECT_TRUE(query(db, "SELECT * FROM events") == instants) << letter;
    const std::string bytes = read_file(db);
    const struct {
      std::vector<std::string> zone;
      std::string why;
    } kRefused[] = {
        {{}, "holds times in America/Chicago: load it with --tz America/Chicago"},
        {{"--tz", "Europe/London"}, "holds times in America/Chicago: load it with --tz "
                                    "America/Chicago"}};
    for (const auto& r : kRefused) {
      std::vector<std::string> args = {"-u", "-f", "sqlite", "-o", db.string(), dir_.string(),
                                       letter};
      args.insert(args.begin(), r.zone.begin(), r.zone.end());
      ToolRun refused = quillon(args);
      EXPECT_EQ(refused.status, 2);
      EXPECT_EQ(refused.err, error(db.string() + ": " + r.why + "; it is left as it was"));
      EXPECT_TRUE(read_file(db) == bytes);
    }
  }
  const fs::path plain = root_ / "plain.db";
  ASSERT_EQ(quillon({"-f", "sqlite", "-o", plain.string(), dir_.string(), "e"}).status, 0);
  ToolRun refused = quillon({"--tz", "America/Chicago", "-f", "sqlite", "-o", plain.string(),
                             dir_.string(), "e"});
  EXPECT_EQ(refused.status, 2);
  EXPECT_EQ(refused.err, error(plain.string() +
                               ": holds the controllers' times without a zone, and cannot "
                               "take them in America/Chicago; it is left as it was"));
}

}  // namespace

namespace {

// Writes the hourly logs of a day into `folder`, named for `date`.
void write_day(const fs::path& folder, const std::vector<std::vector<LogRecord>>& hours,
               const std::string& date) {
  fs::create_directories(folder);
  for (size_t h = 0; h < hours.size(); ++h) {
    char name[32];
    snprintf(name, sizeof name, "%s_%02d.dat", date.c_str(), static_cast<int>(h));
    write_file(folder / name, make_log(6, hours[h]));
  }
}

// The measure tables of a directory's every file, by name.
std::map<std::string, std::string> tables_of(const fs::path& dir) {
  std::map<std::string, std::string> tables;
  for (const std::string& name : entries(dir))
    if (name.size() > 4 && name.substr(name.size() - 4) == ".csv") tables[name] = read_file(dir / name);
  return tables;
}

// -f sqlite --measures keeps the measure tables in the database as the
// logs come: after each delivery (hours added, a log replaced, a log gone,
// another --bin), the tables drawn from it (-f report --from DB) are those
// of a run of every log, and so are the pages; a run killed at any moment
// leaves a database that the next run completes.
TEST_F(Database, MeasuresKeptWithTheLogs) {
  if (tool().windows) GTEST_SKIP() << "the Windows build has no sqlite format";
  SignalDayOptions day;
  day.detectors = 16;
  day.mapped = true;
  const fs::path all = root_ / "all", map = root_ / "map.csv";
  std::string rows;
  for (const char* signal : {"AB_1", "AB_2"}) {
    const std::string of = signal_day_map(day, signal);
    rows += rows.empty() ? of : of.substr(of.find('\n') + 1);
    for (int d = 0; d < 2; ++d) {
      day.seed = 7 + static_cast<uint32_t>(d) + (signal[3] == '2' ? 10 : 0);
      write_day(all / signal, signal_day(day), d == 0 ? "2022_06_08" : "2022_06_09");
    }
  }
  write_file(map, rows);
  const fs::path db = root_ / "s.db";
  auto deliver = [&](const std::string& signal, int from, int to) {
    fs::create_directories(dir_ / signal);
    const std::set<std::string> in_all = entries(all / signal);
    const std::vector<std::string> names(in_all.begin(), in_all.end());
    for (int i = from; i < to && i < static_cast<int>(names.size()); ++i)
      fs::copy_file(all / signal / names[i], dir_ / signal / names[i],
                    fs::copy_options::overwrite_existing);
  };
  const struct {
    const char* step;
    std::function<void()> change;
    std::vector<std::string> options;
  } kSteps[] = {
      {"a day of one signal", [&] { deliver("AB_1", 0, 24); }, {}},
      {"the other signal", [&] { deliver("AB_2", 0, 20); }, {}},
      {"an hour each", [&] { deliver("AB_1", 24, 25); deliver("AB_2", 20, 21); }, {}},
      {"across midnight", [&] { deliver("AB_2", 21, 30); }, {}},
      {"a log replaced", [&] {
         write_file(dir_ / "AB_1" / "2022_06_08_10.dat", read_file(all / "AB_2" / "2022_06_08_10.dat"));
       }, {}},
      {"a log gone", [&] { fs::remove(dir_ / "AB_2" / "2022_06_08_05.dat"); }, {}},
      {"nothing new", [] {}, {}},
      {"another bin", [] {}, {"--bin", "5"}},
      {"the rest", [&] { deliver("AB_1", 25, 48); deliver("AB_2", 30, 48); }, {"--bin", "5"}},
      {"a signal gone", [&] { fs::remove_all(dir_ / "AB_2"); }, {"--bin", "5"}},
  };
  for (const auto& s : kSteps) {
    s.change();
    std::vector<std::string> measures = {"--detectors", map.string()};
    measures.insert(measures.end(), s.options.begin(), s.options.end());
    std::vector<std::string> load = {"-q", "-u", "-r", "-f", "sqlite", "--measures", "-o",
                                     db.string()};
    load.insert(load.end(), measures.begin(), measures.end());
    load.insert(load.end(), {dir_.string(), "e"});
    ToolRun run = quillon(load);
    ASSERT_EQ(run.status, 0) << s.step << ": " << run.err;
    const fs::path full = root_ / "full", drawn = root_ / "drawn", pages = root_ / "pages";
    for (const fs::path& p : {full, drawn, pages}) fs::remove_all(p);
    std::vector<std::string> measure = {"-q", "-r", "-f", "measures", "-o", full.string()};
    measure.insert(measure.end(), measures.begin(), measures.end());
    measure.insert(measure.end(), {dir_.string(), "e"});
    ASSERT_EQ(quillon(measure).status, 0) << s.step;
    std::vector<std::string> from = {"-f", "report", "--from", db.string(), "-o", drawn.string()};
    from.insert(from.end(), measures.begin(), measures.end());
    run = quillon(from);
    ASSERT_EQ(run.status, 0) << s.step << ": " << run.err;
    const auto want = tables_of(full), got = tables_of(drawn / "measures");
    EXPECT_EQ(want.size(), 15u);
    for (const auto& [name, text] : want) {
      EXPECT_TRUE(got.count(name) == 1 && got.at(name) == text) << s.step << ": " << name;
    }
    // The pages, as -f report draws them from the logs.
    std::vector<std::string> report = {"-q", "-r", "-f", "report", "-o", pages.string()};
    report.insert(report.end(), measures.begin(), measures.end());
    report.insert(report.end(), {dir_.string(), "e"});
    ASSERT_EQ(quillon(report).status, 0) << s.step;
    for (const std::string signal : {"AB_1", "AB_2"}) {
      if (!fs::exists(pages / signal)) continue;
      for (const std::string& page : entries(pages / signal))
        EXPECT_TRUE(read_file(drawn / signal / page) == read_file(pages / signal / page))
            << s.step << ": " << signal << "/" << page;
    }
    EXPECT_TRUE(read_file(drawn / "index.html") == read_file(pages / "index.html")) << s.step;
  }
  // SQL reads them typed, indexed by signal and time.
  EXPECT_EQ(query(db, "SELECT typeof(green), typeof(phase) FROM measure_phase_intervals "
                      "WHERE green IS NOT NULL LIMIT 1"),
            "real,integer\n");
  EXPECT_NE(query(db, "EXPLAIN QUERY PLAN SELECT count(*) FROM measure_actuations WHERE "
                      "signal_id = 'AB_1' AND bin_start >= '2022-06-09'")
                .find("measure_actuations_by_signal (signal_id=? AND bin_start>?)"),
            std::string::npos);
}

// -f sqlite --measures loads the logs and their measures in one
// transaction: killed at any moment, it leaves the logs and the measures
// of the run before, or those of its own, never the one without the other;
// the next run completes it, its tables those of a run of every log.
TEST_F(Database, KilledMeasuresLoadsAreCompleted) {
  if (tool().windows) GTEST_SKIP() << "POSIX signals";
  SignalDayOptions day;
  day.detectors = 8;
  const fs::path all = root_ / "all", half = root_ / "half";
  write_day(all / "AB_1", signal_day(day), "2022_06_08");
  fs::create_directories(half / "AB_1");
  for (const std::string& name : entries(all / "AB_1"))
    if (name < "2022_06_08_12") fs::copy_file(all / "AB_1" / name, half / "AB_1" / name);
  // The tables of the first half of the day, and of all of it.
  std::map<std::string, std::string> want[2];
  for (int i = 0; i < 2; ++i) {
    const fs::path out = root_ / ("full" + std::to_string(i));
    ASSERT_EQ(quillon({"-q", "-r", "-f", "measures", "-o", out.string(),
                       (i == 0 ? half : all).string(), "e"}).status,
              0);
    want[i] = tables_of(out);
  }
  const fs::path db = root_ / "s.db";
  const std::vector<std::string> load = {"-q", "-u", "-r", "-f", "sqlite", "--measures", "-o",
                                         db.string(), dir_.string(), "e"};
  auto drawn_tables = [&] {
    const fs::path drawn = root_ / "drawn";
    fs::remove_all(drawn);
    EXPECT_EQ(quillon({"-f", "report", "--from", db.string(), "-o", drawn.string()}).status, 0);
    return tables_of(drawn / "measures");
  };
  // The first half loaded, the second delivered.
  auto start_over = [&] {
    fs::remove(db);
    fs::remove_all(root_ / "s.db.measures");
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    fs::copy(half, dir_, fs::copy_options::recursive);
    EXPECT_EQ(quillon(load).status, 0);
    fs::copy(all, dir_, fs::copy_options::recursive | fs::copy_options::skip_existing);
  };
  // Killed at moments spread over the time a whole run takes, and as long
  // again (a started process takes longer than one waited for).
  start_over();
  const auto began = std::chrono::steady_clock::now();
  ASSERT_EQ(quillon(load).status, 0);
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - began).count();
  for (int part = 0; part < 12; ++part) {
    const int delay_ms = static_cast<int>(took * part / 6);
    start_over();
    pid_t pid = start_tool(load, root_);
    std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
    kill(pid, SIGKILL);
    finish_tool(pid, root_);
    const std::string logs = query(db, "SELECT count(*) FROM logs");
    ASSERT_TRUE(logs == "12\n" || logs == "24\n") << delay_ms << ": " << logs;
    EXPECT_TRUE(drawn_tables() == want[logs == "24\n"]) << delay_ms << ": " << logs;
    ToolRun again = quillon(load);
    ASSERT_EQ(again.status, 0) << delay_ms << ": " << again.err;
    EXPECT_TRUE(drawn_tables() == want[1]) << delay_ms;
  }
  // Killed after the measures were kept, before the database took them:
  // the next run goes on from the state the database holds, measuring
  // only what came since.
  start_over();
  const std::string held = read_file(db);
  ASSERT_EQ(quillon(load).status, 0);
  write_file(db, held);
  std::vector<std::string> told = load;
  told.erase(told.begin());  // without -q: a note would show
  ToolRun again = quillon(told);
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(again.err.find("measured again"), std::string::npos) << again.err;
  EXPECT_TRUE(drawn_tables() == want[1]);
}

}  // namespace
