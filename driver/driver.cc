#include "driver/driver.h"

#include <stdio.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "driver/line_printer.h"
#include "logconv/convert_log.h"
#include "logconv/streams.h"
#include "platform/platform.h"

// The line that opens the usage text and answers --version.
#define QUILLON_VERSION_LINE                                              \
  "Tavrin Quillon V 2.1. Complies to Traffic Signal Hi Resolution Data " \
  "Enumerations 2020 standard TPF-5 (377).\n"

const char kVersionLine[] = QUILLON_VERSION_LINE;

const char kUsage[] =
    QUILLON_VERSION_LINE
    "\n"
    "Usage:\n"
    "    quillon <directory to look in> <p=proprietary file e=standard "
    "enumeration file>\n\n"
    "Examples:\n"
    "  Ex 1. To read all files in the current directory where quillon is "
    "located and convert to standard format:\n"
    "    quillon . e\n"
    "  Ex 2. To read all files in the directory C:\\Data and convert to "
    "standard format:\n"
    "    quillon \"C:\\Data\" e\n";

namespace {

// Reports "Error: <what>" on the standard error stream.
void report_error(LinePrinter& printer, const std::string& what) {
  printer.print("Error: " + what + "\n");
}

// The status line of a run on a terminal: how far it has come, rewritten a
// few times a second at most. The clock is read once a file, never once a
// record.
class Progress {
 public:
  explicit Progress(LinePrinter& printer)
      : printer_(printer), start_(std::chrono::steady_clock::now()) {}

  // Shows "[done/total] <what> <name>" and the rate of records so far.
  void update(size_t done, size_t total, const char* what,
              const std::string& name, uint64_t records) {
    if (!printer_.smart()) return;
    auto now = std::chrono::steady_clock::now();
    // A new pass shows at once; within one, five times a second at most.
    if (what == last_what_ && now - last_ < std::chrono::milliseconds(200))
      return;
    last_what_ = what;
    last_ = now;
    std::string line = "[" + std::to_string(done) + "/" +
                       std::to_string(total) + "] " + what + name;
    double seconds = std::chrono::duration<double>(now - start_).count();
    if (records > 0 && seconds > 0) {
      char rate[48];
      snprintf(rate, sizeof rate, ", %.1f M records/s", records / seconds / 1e6);
      line += rate;
    }
    printer_.set_status(line);
  }

 private:
  LinePrinter& printer_;
  std::chrono::steady_clock::time_point start_, last_;
  std::string last_what_;
};

// Replaces each archive (`names` ending in .gz) of `dir` by its
// decompressed content, named without the last three characters, and adds
// the names it made to `names`. Returns false when any of them failed; each
// failure is reported and leaves its archive untouched.
bool decompress_all(const std::string& dir, std::vector<std::string>* names,
                    LinePrinter& printer, Progress& progress) {
  std::vector<std::string> archives, made;
  for (const std::string& name : *names)
    if (ends_with_ignoring_case(name, ".gz")) archives.push_back(name);
  bool ok = true;
  for (size_t i = 0; i < archives.size(); ++i) {
    const std::string& name = archives[i];
    progress.update(i, archives.size(), "decompressing ", name, 0);
    std::string err;
    if (gunzip_in_place(dir, name, &err)) {
      made.push_back(name.substr(0, name.size() - 3));
    } else {
      report_error(printer, join_path(dir, name) + ": " + err);
      ok = false;
    }
  }
  names->insert(names->end(), made.begin(), made.end());
  return ok;
}

// What became of one log.
enum class LogOutcome {
  kConverted,  // its CSV closes with ",End of Controller Log"
  kDamaged,    // its CSV closes with an error row, reported
  kStop,       // a file could not be opened or written, reported: end the run
};

// Converts the log `in_path` into `csv_path` and reports what went wrong.
// The CSV is written under a temporary name in `out_dir` and takes its final
// name only once complete: a failure leaves an earlier CSV as it was.
LogOutcome convert_one(LogConverter& converter, LinePrinter& printer,
                       const std::string& in_path, const std::string& name,
                       const std::string& out_dir, const std::string& csv_path,
                       Mode mode, uint64_t* records) {
  std::string err;
  File in;
  if (!open_input(in_path, &in, &err)) {
    report_error(printer, "Failed to open " + in_path);
    return LogOutcome::kStop;
  }
  std::string temp;
  File out;
  if (!create_temp_file(out_dir, true, &in, &out, &temp, &err)) {
    report_error(printer, "Failed to open " + csv_path);
    return LogOutcome::kStop;
  }

  FileInput input(in);
  FileOutput output(out);
  ConvertResult result = converter.convert(input, output, name, mode);
  *records += result.records;
  in.close();
  bool written = result.end != LogEnd::kWriteFailed && out.close();
  if (!written || !rename_replace(temp, csv_path, &err)) {
    out.close();
    remove_file(temp, &err);
    // A directory at the CSV's path cannot be replaced: that CSV could not
    // be opened, as the old way of writing in place would have found before
    // converting. (Looking only now saves a system call a file.)
    report_error(printer, (written && is_directory(csv_path) ? "Failed to open "
                                                     : "Failed to write ") +
                 csv_path);
    return LogOutcome::kStop;
  }

  if (result.end == LogEnd::kBadFileRead) {
    report_error(printer, in_path + ": bad file read");
    return LogOutcome::kDamaged;
  }
  if (result.end == LogEnd::kBadEventType) {
    report_error(printer, in_path + ": bad event type " +
                 std::to_string(result.bad_type));
    return LogOutcome::kDamaged;
  }
  return LogOutcome::kConverted;
}

}  // namespace

int run_quillon(const std::vector<std::string>& args) {
  if (args.size() == 2) {
    const std::string& arg = args[1];
    if (arg == "-h" || arg == "--help" || arg == "/?") {
      print_error(kUsage);
      return 0;
    }
    if (arg == "--version") {
      print_error(kVersionLine);
      return 0;
    }
  }
  // An empty directory would put every path under the root directory.
  if (args.size() != 3 || args[1].empty() || args[2].empty()) {
    print_error(kUsage);
    return 2;
  }
  const std::string& dir = args[1];
  const char letter = args[2][0];
  const Mode mode = letter == 'p' ? Mode::kProprietary : Mode::kStandard;
  const std::string out_dir = join_path(dir, std::string("csv_files_") + letter);

  std::string err;
  // A directory that could not be made shows when its first CSV fails to
  // open.
  make_directory(out_dir, &err);

  // The directory is listed once: archives, then the logs among their
  // contents and the logs that were there.
  LinePrinter printer;
  Progress progress(printer);
  std::vector<std::string> names;
  bool listed = find_files(dir, {".gz", ".dat"}, &names, &err);
  int status = decompress_all(dir, &names, printer, progress) ? 0 : 1;
  std::vector<std::string> logs;
  for (const std::string& name : names)
    if (ends_with_ignoring_case(name, ".dat")) logs.push_back(name);
  std::sort(logs.begin(), logs.end());
  if (!listed || logs.empty()) {
    printer.print("Failed to find any .dat files in " +
                  join_path(dir, "*.dat") + "\n");
    return 1;
  }

  // x.dat, x.DAT and x.Dat all make x.csv: the first in name order does.
  std::unordered_map<std::string, std::string> written_by;
  LogConverter converter;
  uint64_t records = 0;
  for (size_t i = 0; i < logs.size(); ++i) {
    const std::string& name = logs[i];
    progress.update(i, logs.size(), "", name, records);
    std::string in_path = join_path(dir, name);
    std::string csv_path =
        join_path(out_dir, name.substr(0, name.size() - 3) + "csv");
    auto [first, inserted] = written_by.emplace(csv_path, in_path);
    if (!inserted) {
      report_error(printer, in_path + ": " + csv_path +
                                " is already written by " +
                   first->second);
      status = 1;
      continue;
    }
    LogOutcome outcome = convert_one(converter, printer, in_path, name,
                                     out_dir, csv_path, mode, &records);
    if (outcome == LogOutcome::kStop) return 1;
    if (outcome == LogOutcome::kDamaged) status = 1;
  }
  return status;
}
