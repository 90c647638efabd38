// The signal performance measures (-f measures): each log's events read
// where its task runs, every signal measured in time order once the run is
// through, the tables written into a directory.

#ifndef QUILLON_OUTPUTS_MEASURES_OUTPUT_H_
#define QUILLON_OUTPUTS_MEASURES_OUTPUT_H_

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "measures/measure.h"
#include "outputs/output.h"
#include "outputs/published_file.h"

/// Of a signal whose measures went on from where a -u run left them: the
/// first day (counted from 1970-01-01) whose rows may differ from that
/// run's (kNever: none; kNoHour: any), and where in the signal's rows of
/// each table of kMeasureSchema those written anew start, in bytes from
/// its first.
struct ChangedRows {
  int64_t day = kNever;
  std::vector<uint64_t> from;
};

/// What a -u run of the measures changed: the kept state it went on from
/// and the one it left, each a number of its own (0: none), and of each
/// signal that went on, its rows written anew, by signal id.
struct ChangedMeasures {
  /// Asked by the caller (the database, which holds the rows before): the
  /// tables hold of a signal that went on only its rows written anew, and
  /// the run goes on only from the kept state numbered `loaded`.
  bool only_new = false;
  uint64_t loaded = 0;

  uint64_t was = 0, now = 0;
  std::map<std::string, ChangedRows> signals;
  /// Of every signal of the tables written, by id: where its rows start in
  /// each table of kMeasureSchema, and how many bytes of them the next -u
  /// run keeps as they are; the tables' sizes (UINT64_MAX: not written).
  struct Place {
    std::vector<uint64_t> start, kept;
  };
  std::map<std::string, Place> places;
  std::vector<uint64_t> sizes;
};

/// The measure tables of a run, taken as `settings` says, published
/// together once the run is through into the directory `dir` (made with its
/// parents; a link typed as `dir` is followed) or, with `below`, into its
/// sub-directory `below`, made there and never reached through a link.
/// With `held`, the tables are written whole and handed to it instead of
/// taking their names: the caller names them with its own files. With
/// `update` (-u: the options the tables depend on, a "NAME VALUE" line
/// each), the run measures only the logs that came since the run that made
/// them and keeps beside them what the next needs (kKeptMeasuresName);
/// made with other options, they are measured again. With `changed`, -u
/// puts there what it changed.
std::unique_ptr<Output> make_measures_output(std::string dir, const MeasureSettings& settings,
                                             std::string below = "", HeldFiles* held = nullptr,
                                             std::string update = "",
                                             ChangedMeasures* changed = nullptr);

#endif  // QUILLON_OUTPUTS_MEASURES_OUTPUT_H_
