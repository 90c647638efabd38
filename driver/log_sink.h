// Where a run hands its logs, each with its rows packed, when it writes no
// files of its own: the archive database, or a program that reads rows.

#ifndef QUILLON_DRIVER_LOG_SINK_H_
#define QUILLON_DRIVER_LOG_SINK_H_

#include <cstdint>
#include <string>

#include "logconv/convert_log.h"
#include "logconv/streams.h"

/// One log as a task read it.
struct LogToLoad {
  std::string path;       // below the directory argument, "/" between names
  std::string signal_id;
  LogHour hour;
  int version = 0;
  std::string header;     // as in the file
  std::string closing;    // "End of Controller Log", "Error: ..."
  uint64_t records = 0;
  uint64_t size = 0;      // of the file read
  int64_t mtime_ns = 0;   // of the file read
};

/// Takes the logs of a run in their order, with the rows that
/// LogConverter::convert_packed wrote for each.
class LogSink {
 public:
  virtual ~LogSink() = default;

  /// Takes `log` and its rows. Returns false, with *err set, on a failure
  /// that ends the run.
  virtual bool load(const LogToLoad& log, SpillOutput& rows,
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
};

#endif  // QUILLON_DRIVER_LOG_SINK_H_
