// Where a run hands its logs, each with its rows packed, when it writes no
// files of its own: the archive database, or a program that reads rows.

#ifndef QUILLON_OUTPUTS_LOG_SINK_H_
#define QUILLON_OUTPUTS_LOG_SINK_H_

#include <cstdint>
#include <memory>
#include <string>

#include "logconv/convert_log.h"
#include "logconv/streams.h"

/// One log as a task read it.
struct LogToLoad {
  std::string path;       // below the directory argument, "/" between names
  std::string signal_id;
  /// Whether its name holds a date and hour: `hour`. A log whose name holds
  /// none is taken without rows, to be known as damaged.
  bool dated = true;
  LogHour hour = {0, 0, 0, 0};
  bool second_pass = false;  // Task::second_pass
  int version = 0;
  std::string header;     // as in the file
  std::string closing;    // "End of Controller Log", "Error: ..."
  uint64_t records = 0;
  uint64_t size = 0;      // of the file read
  int64_t mtime_ns = 0;   // of the file read
};

/// What a sink makes of a log's rows before it takes them.
class PreparedRows {
 public:
  virtual ~PreparedRows() = default;
};

/// Takes the logs of a run in their order, with the rows that
/// LogConverter::convert_packed wrote for each.
class LogSink {
 public:
  virtual ~LogSink() = default;

  /// Works on the rows of `log` where its task runs, several logs at once,
  /// before load() takes them in order: what can be done without the sink's
  /// own state. Returns what load() then gets; null for nothing.
  virtual std::unique_ptr<PreparedRows> prepare(const LogToLoad& log,
                                                SpillOutput& rows) {
    (void)log, (void)rows;
    return nullptr;
  }

  /// Takes `log` and its rows (and what prepare() made of them). Returns
  /// false, with *err set, on a failure that ends the run.
  virtual bool load(const LogToLoad& log, SpillOutput& rows,
                    std::unique_ptr<PreparedRows> prepared,
                    std::string* err) = 0;

  /// The size and modification time of the file of the log `path` as it
  /// was taken before; false when it was not.
  virtual bool stored(const std::string& path, uint64_t* size,
                      int64_t* mtime_ns) {
    (void)path, (void)size, (void)mtime_ns;
    return false;
  }

  /// What messages call it.
  virtual std::string name() const = 0;

  /// Ends a run that took its logs whole. Returns false, with *err set, on
  /// failure.
  virtual bool finish(std::string* err) {
    (void)err;
    return true;
  }
};

#endif  // QUILLON_OUTPUTS_LOG_SINK_H_
