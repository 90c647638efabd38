// The whole run of the tool: arguments, output directory, decompression pass
// and conversion of every log file of a directory.

#ifndef QUILLON_DRIVER_DRIVER_H_
#define QUILLON_DRIVER_DRIVER_H_

#include <string>
#include <vector>

/// The usage text, printed for a wrong command line and for -h.
extern const char kUsage[];

/// The usage text's first line, printed for --version.
extern const char kVersionLine[];

/// Runs the tool on its command line (UTF-8, the program name first) and
/// returns the exit status: 0 when every step succeeded, 1 when any failure
/// was reported on the standard error stream, 2 for a wrong command line.
int run_quillon(const std::vector<std::string>& args);

#endif  // QUILLON_DRIVER_DRIVER_H_
