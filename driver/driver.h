// The whole run of the tool: arguments, output directory, decompression pass
// and conversion of every log file of a directory.

#ifndef QUILLON_DRIVER_DRIVER_H_
#define QUILLON_DRIVER_DRIVER_H_

/// The usage text, printed for a wrong command line and for -h.
extern const char kUsage[];

/// Runs the tool on its command line and returns the exit status: 0 when every
/// step succeeded, 1 when any failure was reported on the standard error
/// stream, 2 for a wrong command line.
int run_quillon(int argc, const char* const* argv);

#endif  // QUILLON_DRIVER_DRIVER_H_
