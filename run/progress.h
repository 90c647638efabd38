// The status line of a run on a terminal.

#ifndef QUILLON_RUN_PROGRESS_H_
#define QUILLON_RUN_PROGRESS_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

class LinePrinter;

/// How far a run has come, shown on the printer's status line and rewritten
/// a few times a second at most. The clock is read once a file, never once a
/// record.
class Progress {
 public:
  Progress(LinePrinter& printer, bool quiet);

  /// Shows "[done/total] <what><name>" and the rate of records so far.
  void update(size_t done, size_t total, const std::string& what,
              const std::string& name, uint64_t records);

 private:
  LinePrinter& printer_;
  bool on_;
  std::chrono::steady_clock::time_point start_, last_;
  std::string last_what_ = "\n";  // no pass yet
};

#endif  // QUILLON_RUN_PROGRESS_H_
