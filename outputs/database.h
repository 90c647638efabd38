// The archive database: every log and every event that runs load into it,
// in one SQLite file.

#ifndef QUILLON_OUTPUTS_DATABASE_H_
#define QUILLON_OUTPUTS_DATABASE_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "outputs/log_sink.h"
#include "outputs/measures_output.h"
#include "outputs/published_file.h"
#include "logconv/convert_log.h"
#include "logconv/streams.h"

struct sqlite3;
struct sqlite3_stmt;

/// How opening the database went.
enum class DatabaseOpen {
  kOpened,
  kRefused,  // of the other mode, of an unknown schema version, of another
             // directory or not quillon's: left as it was
  kFailed,   // it cannot be opened or written
};

/// An SQLite database of logs and their events in one mode, loaded one log
/// at a time, each in a transaction of its own (or the run in one, where
/// it is held): a log's rows are there whole or not at all, whatever
/// happens to the run.
class ArchiveDatabase : public LogSink {
 public:
  ArchiveDatabase() = default;
  ~ArchiveDatabase() override;
  ArchiveDatabase(const ArchiveDatabase&) = delete;
  ArchiveDatabase& operator=(const ArchiveDatabase&) = delete;

  /// Opens the database `path` for runs of `mode` over the directory `dir`
  /// (its canonical path; empty: not known), creating it with its schema,
  /// readable by its owner only, when it is missing or empty. The logs of a
  /// database are below one directory, the one its first run named: a run
  /// over another is refused. With `zone`, the database holds instants:
  /// each event's time in UTC and its offset, for a new database; one made
  /// with another zone or without one is refused, as one made with a zone
  /// is without. Returns kOpened, or with *err set why it was refused or
  /// failed.
  DatabaseOpen open(const std::string& path, Mode mode, const std::string& dir,
                    std::string* err, std::shared_ptr<const TimeZone> zone = nullptr);

  /// Makes the run one transaction, from open() to finish(), where
  /// `before_commit` is called, given this database, before it is
  /// committed: false, with *err set, leaves the database as it was. Call
  /// before open().
  void hold_transaction(std::function<bool(ArchiveDatabase&, std::string*)> before_commit) {
    before_commit_ = std::move(before_commit);
  }

  /// The number of the measures' kept state whose tables were loaded last;
  /// 0 for none.
  uint64_t loaded_measures();

  /// Loads into the transaction held the measure tables that a -u run of
  /// the measures (ChangedMeasures::only_new, from the state loaded last)
  /// wrote into the directory `tables` and whose changes it put in
  /// `changed`: each as the table measure_NAME, of the same columns, typed
  /// (text, INTEGER, REAL; NULL for an empty field), indexed by signal and
  /// time. Of each signal that went on, its rows after those the last load
  /// kept are replaced by those written anew; of others, all. Returns
  /// false, with *err set, on failure.
  bool load_measures(const std::string& tables, const ChangedMeasures& changed,
                     std::string* err);

  /// The size and modification time of the file of the log `path` as it
  /// was loaded; false when the log is not loaded.
  bool stored(const std::string& path, uint64_t* size,
              int64_t* mtime_ns) override;

  /// Loads `log` and its rows, written by convert_packed into `rows`,
  /// replacing what was loaded of the same path before. A log loaded with
  /// the same header, rows and closing only takes its new size and time.
  /// Returns false, with *err set, on failure; nothing of the log is then
  /// written.
  bool load(const LogToLoad& log, SpillOutput& rows,
            std::unique_ptr<PreparedRows> prepared, std::string* err) override;

  /// The database's path.
  std::string name() const override { return name_; }

  /// Where the run loaded any log: brings up to date the sizes of the logs
  /// that SQLite plans its queries by; commits the transaction held; where
  /// it brought the database from an earlier schema version, gives back the
  /// room the old events took (VACUUM).
  bool finish(std::string* err) override;

 private:
  bool exec(const char* sql, std::string* err);
  bool compile(const char* sql, sqlite3_stmt** stmt, std::string* err);
  std::string error() const;
  /// Fills the table event_names. Returns false, with *err set, on failure.
  bool add_event_names(std::string* err);
  /// Brings the events of a database of schema version 2 (a row an event,
  /// between each log's first_event and last_event) to the packed ones of
  /// this version, in the transaction open. Returns false, with *err set, on
  /// failure.
  bool pack_events(std::string* err);
  /// Makes the views events and event_log anew where they are not this
  /// quillon's (an earlier one's, which read the same rows more slowly).
  /// Returns false, with *err set, on failure.
  bool views_current(bool zoned, std::string* err);

  std::string name_;
  Mode mode_ = Mode::kStandard;
  std::shared_ptr<const TimeZone> zone_;
  sqlite3* db_ = nullptr;
  sqlite3_stmt* find_ = nullptr;
  sqlite3_stmt* find_stored_ = nullptr;
  sqlite3_stmt* delete_events_ = nullptr;
  sqlite3_stmt* delete_log_ = nullptr;
  sqlite3_stmt* touch_log_ = nullptr;
  sqlite3_stmt* insert_log_ = nullptr;
  sqlite3_stmt* insert_events_ = nullptr;
  /// The transaction of a log: a savepoint within the run's where it is
  /// held.
  bool begin_log(std::string* err);
  bool commit_log(std::string* err);
  void roll_back_log();

  std::function<bool(ArchiveDatabase&, std::string*)> before_commit_;
  bool loaded_ = false;  // a log's rows written by this run
  bool packed_ = false;  // brought from an earlier schema version by this run
};

/// Writes the measure tables of the database `path` into `tables` as -f
/// measures writes them, byte for byte, each whole under a temporary name
/// and handed to `held` (readable by no more than `permissions` allow),
/// which gives them their names. Returns false, with *err set, where the
/// database holds none or they cannot be read or written.
bool write_measure_tables(const std::string& path, const std::shared_ptr<Dir>& tables,
                          unsigned permissions, HeldFiles* held, std::string* err);

#endif  // QUILLON_OUTPUTS_DATABASE_H_
