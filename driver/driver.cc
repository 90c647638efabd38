#include "driver/driver.h"

#include <stdio.h>

#include <string>
#include <vector>

#include "logconv/convert_log.h"
#include "logconv/streams.h"
#include "platform/platform.h"

const char kUsage[] =
    "Tavrin Quillon V 2.1. Complies to Traffic Signal Hi Resolution Data "
    "Enumerations 2020 standard TPF-5 (377).\n\n"
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
void report_error(const std::string& what) {
  print_error("Error: " + what + "\n");
}

// Replaces every .gz file of `dir` by its decompressed content, named without
// the last three characters. Returns false when any of them failed; each
// failure is reported and leaves its .gz untouched.
bool decompress_all(const std::string& dir) {
  std::vector<std::string> names;
  std::string err;
  // A directory that cannot be listed has nothing to decompress; the log
  // search reports it.
  if (!find_files(dir, ".gz", &names, &err)) return true;
  bool ok = true;
  for (const std::string& name : names) {
    std::string path = join_path(dir, name);
    std::string target = path.substr(0, path.size() - 3);
    if (!gunzip_in_place(path, target, &err)) {
      report_error(path + ": " + err);
      ok = false;
    }
  }
  return ok;
}

}  // namespace

int run_quillon(const std::vector<std::string>& args) {
  if (args.size() == 2) {
    const std::string& arg = args[1];
    if (arg == "-h" || arg == "--help" || arg == "/?") {
      print_error(kUsage);
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

  int status = decompress_all(dir) ? 0 : 1;

  std::vector<std::string> logs;
  if (!find_files(dir, ".dat", &logs, &err) || logs.empty()) {
    print_error("Failed to find any .dat files in " + join_path(dir, "*.dat") +
                "\n");
    return 1;
  }

  for (const std::string& name : logs) {
    std::string in_path = join_path(dir, name);
    FILE* in = open_file(in_path, "rb");
    if (in == nullptr) {
      report_error("Failed to open " + in_path);
      return 1;
    }
    std::string out_path =
        join_path(out_dir, name.substr(0, name.size() - 3) + "csv");
    FILE* out = open_file(out_path, "w");
    if (out == nullptr) {
      fclose(in);
      report_error("Failed to open " + out_path);
      return 1;
    }

    FileInput input(in);
    FileOutput output(out);
    ConvertResult result = convert_log(input, output, name, mode);
    bool written = result.end != LogEnd::kWriteFailed;
    if (fflush(out) != 0 || ferror(out)) written = false;
    if (fclose(out) != 0) written = false;
    fclose(in);

    if (!written) {
      report_error("Failed to write " + out_path);
      // A CSV cut short is worse than none.
      remove_file(out_path, &err);
      return 1;
    }
    if (result.end == LogEnd::kBadFileRead) {
      report_error(in_path + ": bad file read");
      status = 1;
    } else if (result.end == LogEnd::kBadEventType) {
      report_error(in_path + ": bad event type " +
                   std::to_string(result.bad_type));
      status = 1;
    }
  }
  return status;
}
