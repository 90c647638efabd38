// The command line: options, then the directory and the mode letter.

#ifndef QUILLON_DRIVER_OPTIONS_H_
#define QUILLON_DRIVER_OPTIONS_H_

#include <string>
#include <vector>

/// What a run is asked to do.
struct Options {
  std::string dir;     // as typed
  char letter = 0;     // the mode argument's first character
  bool keep = false;   // -k: read archives as they are, change nothing in dir
  bool recursive = false;  // -r: sub-directories too
  bool test = false;   // -t: check every log, write nothing
  bool quiet = false;  // -q: no progress line
  std::string output;  // -o: where the CSVs go; empty: dir/csv_files_<letter>
  int jobs = 1;        // -j: logs converted at once; 0: one per core
};

/// What the command line asks for.
enum class Command {
  kRun,       // convert (or check) with the parsed options
  kHelp,      // print the usage text, status 0
  kVersion,   // print the version line, status 0
  kBadUsage,  // print the usage text, status 2
};

/// Parses `args` (the program name first). Exactly two arguments are always
/// the directory and the mode, whatever they look like; otherwise options
/// come first, "--" ends them, and exactly two arguments must follow. Short
/// options may be bundled ("-kr", "-j4", "-oOUT"); long ones take their value
/// as the next argument or after "=". Never fails: a wrong command line is
/// kBadUsage.
Command parse_command_line(const std::vector<std::string>& args,
                           Options* options);

#endif  // QUILLON_DRIVER_OPTIONS_H_
