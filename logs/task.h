// What names the log of one task: where it is, what it is called, the
// signal it is of and where its output goes. The run makes tasks; the
// outputs read them.

#ifndef QUILLON_LOGS_TASK_H_
#define QUILLON_LOGS_TASK_H_

#include <memory>
#include <string>

#include "platform/platform.h"

/// Where the output of one directory's logs goes, as the output made it
/// when the walk reached the directory; tasks carry it without looking in.
struct OutputPlace {
  virtual ~OutputPlace() = default;
};

/// One log to convert or check, or an archive that holds no log, to check:
/// what names it.
struct Task {
  std::shared_ptr<Dir> dir;  // where the log is
  std::string name;          // its entry there
  std::string log_name;      // the log's name, which gives the date
  bool archive = false;      // read through gzip
  bool check_only = false;   // an archive that holds no log: only read it
  std::string relative_path;  // below the directory argument, "/" between
  std::string signal_id;
  /// With --tz, a later log of its signal and of the hour the zone's clocks
  /// showed twice, where a controller writes that hour as two logs: its
  /// times shown twice are of the hour's second pass, the later offset.
  bool second_pass = false;
  /// Where the output of its directory goes, as the output made it.
  std::shared_ptr<const OutputPlace> place;
  /// Its path as messages show it; empty: `name` in `dir`.
  std::string path;
  /// The log, already open (the standard input's copy): `dir` is then null.
  std::shared_ptr<File> input;
};

#endif  // QUILLON_LOGS_TASK_H_
