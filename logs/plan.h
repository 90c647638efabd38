// What a run does with the entries of one directory: which archives it
// decompresses in place, which logs it converts, and what it says of the
// rest. Pure functions of directory listings, so that tests can drive them
// without a file system.

#ifndef QUILLON_LOGS_PLAN_H_
#define QUILLON_LOGS_PLAN_H_

#include <string>
#include <vector>

#include "platform/platform.h"

/// How a run treats the entries of a directory.
struct PlanRules {
  /// .dat.gz files are logs read through gzip (-k, -t), not decompressed in
  /// place.
  bool read_archives = false;
  /// -t without -k: what the plain run would decompress is checked instead,
  /// and what would stop its decompression is reported.
  bool predict_decompression = false;
  /// The directory argument itself, where every *.gz is decompressed; below
  /// it only *.dat.gz are.
  bool top = true;
};

/// The archives that a run decompresses in place, in name order: at the top
/// every *.gz file, below it only *.dat.gz files.
std::vector<std::string> archives_to_decompress(
    const std::vector<DirEntry>& entries, bool top);

/// What becomes of one entry.
enum class Step {
  kConvert,         // convert the log (an archive's through gzip)
  kCheckArchive,    // -t: read an archive that holds no log, to check it
  kNote,            // not converted: its log `other` is (a note, no error)
  kCollision,       // not converted: `other` writes its CSV (an error)
  kNotRegular,      // a FIFO, socket, device or dangling link (an error)
  kTargetExists,    // -t: the plain run would not decompress it: `other`
                    // exists (an error)
  kNoName,          // -t: an archive named only ".gz" (an error)
  kCsvIsDirectory,  // a directory stands where its CSV goes (an error)
};

/// One entry and what becomes of it.
struct PlannedEntry {
  std::string name;      // the entry's name
  std::string log_name;  // the log's name: an archive's without ".gz"
  std::string csv_name;  // the log's name with "csv" for its last 3 bytes
  bool archive = false;  // read through gzip
  Step step = Step::kConvert;
  std::string other;     // the entry or name that `step` refers to
};

/// Decides what becomes of each entry that is a log, or an archive taken as
/// one, in name order. A log's CSV name is written once: the first log in
/// name order whose CSV name the file system takes as the same writes it,
/// and a log beats its own archive.
std::vector<PlannedEntry> plan_logs(const std::vector<DirEntry>& entries,
                                    const PlanRules& rules);

/// Marks each planned conversion whose CSV name is taken by a directory of
/// `out_entries` (the listing of the output directory) kCsvIsDirectory.
void refuse_csv_directories(const std::vector<DirEntry>& out_entries,
                            std::vector<PlannedEntry>* plan);

#endif  // QUILLON_LOGS_PLAN_H_
