// Runs a built tool on temporary directories, for the end-to-end tests.
//
// The tool is this build's quillon, or the program named by QUILLON_TOOL,
// started through QUILLON_TOOL_RUNNER when that is set (wine, for the Windows
// build); QUILLON_TOOL_SYSTEM=windows says that it joins paths with "\" and
// ends lines with "\r\n". The expected CSVs come from the in-process
// conversion.

#ifndef QUILLON_TESTS_TOOL_RUNNER_H_
#define QUILLON_TESTS_TOOL_RUNNER_H_

#include <sys/resource.h>
#include <sys/types.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "tests/test_support.h"

// A sanitizer's shadow memory would count against the tool's memory bounds
// and address space.
#if defined(__SANITIZE_ADDRESS__)
#define QUILLON_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUILLON_SANITIZED 1
#endif
#endif

namespace fs = std::filesystem;

/// The program under test and the conventions of its system.
struct Tool {
  std::vector<std::string> command;  // the runner, if any, and the program
  bool windows = false;
};

/// The tool these tests run.
const Tool& tool();

/// `s` with every "\n" written as the tool's system writes text.
std::string text(const std::string& s);

/// A path as the tool prints it: the directory as typed, then the names of
/// `relative` (written with "/") joined by the tool's separator.
std::string tool_path(const fs::path& dir, std::string relative);

/// How to start the tool; the defaults change nothing but the umask.
struct RunOptions {
  mode_t umask = 022;
  /// RLIMIT_FSIZE: writes beyond it fail.
  rlim_t file_size_limit = RLIM_INFINITY;
  /// Whether passing the file size limit kills the tool (SIGXFSZ) instead of
  /// failing the write.
  bool killed_by_file_size = false;
  /// RLIMIT_NOFILE, when not 0.
  rlim_t open_files_limit = 0;
  /// Run as the unprivileged user and group 65534.
  bool as_nobody = false;
  /// Watch the tool's peak resident memory (ToolRun::peak_rss_kib).
  bool watch_memory = false;
  /// Start the tool in this directory rather than the test's own.
  fs::path cwd = fs::path();
  /// RLIMIT_AS, when not 0.
  rlim_t address_space_limit = 0;
  /// A run that takes longer is killed, and the test fails.
  int timeout_seconds = 300;
};

/// What a run of the tool did.
struct ToolRun {
  int status;  // the exit status, or -1 when a signal ended it
  std::string err;
  std::string out;
  /// With RunOptions::watch_memory, the largest peak resident memory (VmHWM)
  /// of the tool's process seen while it ran, read every few milliseconds;
  /// else 0.
  long peak_rss_kib;
};

/// Runs the tool with `args` (an argument list, no shell); `scratch` holds
/// the captured streams while it runs. A tool that cannot be started says
/// why on its standard error stream and exits with 127.
ToolRun run_tool(const std::vector<std::string>& args, const fs::path& scratch,
                 const RunOptions& options = {});

/// Starts the tool as run_tool does and returns its process id, for
/// finish_tool.
pid_t start_tool(const std::vector<std::string>& args, const fs::path& scratch,
                 const RunOptions& options = {});

/// Waits for the tool started by start_tool and returns what it did.
ToolRun finish_tool(pid_t pid, const fs::path& scratch,
                    const RunOptions& options = {});

/// Runs the tool with `args` on a pseudo-terminal of `columns` columns (as
/// its standard input, output and error) and returns its status and all it
/// printed, as the terminal received it.
ToolRun run_tool_on_terminal(const std::vector<std::string>& args,
                             int columns);

/// The lines a terminal shows after receiving `transcript`: "\r" goes back
/// to the start of the line, "\n" to the next; trailing spaces dropped.
std::vector<std::string> terminal_screen(const std::string& transcript);

/// Whether the user 65534 can open `path` for reading.
bool readable_by_nobody(const fs::path& path);

std::string read_file(const fs::path& path);
void write_file(const fs::path& path, const std::string& bytes);
/// The names in `dir`.
std::set<std::string> entries(const fs::path& dir);

/// Expects `err` to be the one line "Error: <what>: <reason>", the reason
/// as the system words it: `posix_reason` on POSIX, any on Windows.
void expect_error(const std::string& err, const std::string& what,
                  const std::string& posix_reason);

/// Skips a test that the Windows build cannot pass, saying `why`.
#define SKIP_ON_WINDOWS(why) \
  if (tool().windows) GTEST_SKIP() << why

/// A fresh temporary directory `root_` with an empty `dir_` = root_/logs,
/// kept when the test fails.
class Cli : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  ToolRun quillon(const std::vector<std::string>& args,
                  const RunOptions& options = {}) {
    return run_tool(args, root_, options);
  }
  /// Whether runs with RunOptions::as_nobody can start the tool: it is
  /// copied into root_ (made reachable by all), since where it was built
  /// may be closed to other users. Sets *why when not.
  bool tool_runs_as_nobody(std::string* why);
  /// A small log of `version` with records of every type of the table.
  static std::string log(int version, uint32_t seed = 1);
  /// The CSV that the tool must write for a log, in its system's line ends.
  static std::string csv(const std::string& log_bytes, const std::string& name,
                         Mode mode) {
    return text(convert(log_bytes, name, mode));
  }
  /// "Error: <what>" as the tool reports it.
  static std::string error(const std::string& what) {
    return text("Error: " + what + "\n");
  }

  fs::path root_;
  fs::path dir_;
};

#endif  // QUILLON_TESTS_TOOL_RUNNER_H_
