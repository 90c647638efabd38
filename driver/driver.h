// The whole run of the tool: the command line, the walk over the
// directories, the decompression pass, and the conversion of every log.

#ifndef QUILLON_DRIVER_DRIVER_H_
#define QUILLON_DRIVER_DRIVER_H_

#include <string>
#include <vector>

/// Runs the tool on its command line (UTF-8, the program name first) and
/// returns the exit status: 0 when every step succeeded, 1 when any failure
/// was reported on the standard error stream, 2 for a wrong command line.
int run_quillon(const std::vector<std::string>& args);

#endif  // QUILLON_DRIVER_DRIVER_H_
