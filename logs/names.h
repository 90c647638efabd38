// The naming rules of a run, each in one place: what a log, an archive, a
// CSV and an output directory are called, which hour a log's name gives,
// and which signal id a log gets.

#ifndef QUILLON_LOGS_NAMES_H_
#define QUILLON_LOGS_NAMES_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "logconv/convert_log.h"

/// Where the events table takes a log's signal id from.
enum class SignalIdFrom {
  kAuto,  // its name's leading fields where it has them, else its directory
  kName,  // the two leading fields of its name
  kDir,   // its directory
};

/// The mode a mode letter selects: only a lower-case "p" is proprietary.
Mode mode_of_letter(char letter);

/// The letter that names `mode`: "p" or "e".
char letter_of_mode(Mode mode);

/// Whether `name` is a log's: it ends in ".dat", in any case.
bool is_log_name(std::string_view name);

/// Whether `name` is an archive of a log: it ends in ".dat.gz", in any case.
bool is_archive_of_log(std::string_view name);

/// Whether `name` is an archive: it ends in ".gz", in any case.
bool is_archive(std::string_view name);

/// The name an archive's data takes once decompressed: `archive` without its
/// last three characters (".gz"); empty when nothing is left.
std::string log_name_of_archive(std::string_view archive);

/// The CSV name of a log: its name with "csv" for its last three bytes.
std::string csv_name_of(std::string_view log_name);

/// The name of the directory that a run of mode letter `letter` writes its
/// CSV files into: "csv_files_" and the letter.
std::string output_dir_name(char letter);

/// The years a log's name may hold, by default; a program may narrow them.
const int kFirstYear = 1, kLastYear = 9999;

/// What a log whose name holds no date is reported with, after its path.
extern const char kNoValidDate[];

/// Reads the date and hour of a log's name (the name of the log, not of its
/// archive) into *hour. Returns false, leaving *hour as it was, when the name
/// holds no valid date and hour, or one outside the years from `first_year`
/// to `last_year`.
bool log_hour_of(std::string_view log_name, LogHour* hour,
                 int first_year = kFirstYear, int last_year = kLastYear);

/// The signal id that --signal-id dir gives the logs of the directory
/// argument `dir`: the last name of its absolute path.
std::string dir_signal_id(const std::string& dir);

/// The signal id of the log `log_name` by the rule `from`: the leading fields
/// of its name (kName, and kAuto where it has them), else `dir_id`, the id of
/// its directory. A name that holds no valid date gives no fields: its log
/// takes `dir_id`.
std::string signal_id_of(SignalIdFrom from, std::string_view log_name,
                         const std::string& dir_id);

/// The id of a directory below the directory argument: `prefix` (the
/// argument's own id when one was given, else empty) and the names that lead
/// there, joined by "/".
std::string relative_dir_id(const std::string& prefix,
                            const std::vector<std::string>& relative);

/// What a log past the size limit `limit` is reported with, after its path;
/// for an archive, the limit counts what it holds.
std::string too_large_text(uint64_t limit, bool archive);

#endif  // QUILLON_LOGS_NAMES_H_
