// The tool as a scheduled job over a drop folder that other accounts write
// to: links and races in the tree, unreadable directories, damaged and
// endless inputs, odd names, signals, limits.

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "report/pages.h"
#include "run/driver.h"
#include "run/options.h"
#include "run/walker.h"
#include "tests/tool_runner.h"
#include "tools/loggen.h"

namespace {

const std::string kLog = "2022_06_08_13.dat";
const std::string kCsv = "2022_06_08_13.csv";

// The CSV of `bytes` read as far as `size` bytes and no further, as the
// tool writes it when its input fails there.
std::string csv_cut_at(const std::string& bytes, size_t size,
                       const std::string& name, Mode mode) {
  MemoryInput input(std::string_view(bytes).substr(0, size), true);
  StringOutput output;
  convert_log(input, output, name, mode);
  return text(output.text());
}

// The temporary files of `dir`.
std::set<std::string> temporaries(const fs::path& dir) {
  std::set<std::string> found;
  for (const std::string& name : entries(dir))
    if (name.rfind(".quillon-", 0) == 0) found.insert(name);
  return found;
}

class Hostile : public Cli {};

// Output directories that the tool finds or makes are used only when they
// are directories themselves: a link there is reported, never written
// through. OUT, typed by the user, may be a link.
TEST_F(Hostile, OutputDirectoryLinksAreNotFollowed) {
  SKIP_ON_WINDOWS("POSIX links");
  fs::path victim = root_ / "victim";
  fs::create_directory(victim);
  write_file(victim / kCsv, "precious");
  write_file(dir_ / kLog, log(6, 1));
  fs::create_directory_symlink(victim, dir_ / "csv_files_e");
  fs::create_directories(dir_ / "sub");
  write_file(dir_ / "sub" / kLog, log(6, 2));
  fs::create_directory_symlink(victim, dir_ / "sub" / "csv_files_e");
  ToolRun run = quillon({"-r", dir_.string(), "e"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err,
            error(tool_path(dir_, "csv_files_e") +
                  ": is a symbolic link, not a directory") +
                error(tool_path(dir_, "sub/csv_files_e") +
                      ": is a symbolic link, not a directory"));
  EXPECT_EQ(entries(victim), std::set<std::string>{kCsv});
  EXPECT_EQ(read_file(victim / kCsv), "precious");

  // Below OUT too; OUT itself is what the user typed, a link or not.
  fs::path out = root_ / "out";
  fs::create_directory(out);
  fs::create_directory_symlink(victim, out / "sub");
  fs::create_directory_symlink(out, root_ / "out_link");
  ToolRun keep = quillon({"-k", "-r", "-o", (root_ / "out_link").string(),
                          dir_.string(), "e"});
  EXPECT_EQ(keep.status, 1);
  EXPECT_EQ(keep.err, error(tool_path(root_ / "out_link", "sub") +
                            ": is a symbolic link, not a directory"));
  EXPECT_EQ(read_file(out / kCsv), csv(log(6, 1), kLog, Mode::kStandard));
  EXPECT_EQ(read_file(victim / kCsv), "precious");
}

// Below the OUT of the measures and the report, a link planted where a
// table or page goes is replaced, never written through, and a FIFO there
// never waited on; a link where a folder goes is reported. OUT itself may
// be a link.
TEST_F(Hostile, LinksAndFifosPlantedBelowTheMeasuresAndReport) {
  SKIP_ON_WINDOWS("POSIX links and FIFOs");
  const fs::path victim = root_ / "victim";
  fs::create_directory(victim);
  write_file(victim / "passwd", "precious");
  write_file(dir_ / kLog, log(6, 1));
  struct Case {
    const char* format;
    std::vector<std::string> links;  // below OUT, to the victim file
    const char* fifo;                // below OUT, or none
    const char* folder_link;         // below OUT, to the victim folder, or none
    int status;
  };
  const Case kCases[] = {
      {"measures", {"logs.csv", "ped.csv"}, "actuations.csv", nullptr, 0},
      {"report", {"index.html", "measures/logs.csv", "logs/2022-06-08.html"},
       "measures/ped.csv", nullptr, 0},
      {"report", {}, nullptr, "measures", 1},
      {"report", {}, nullptr, "logs", 1},
  };
  int n = 0;
  for (const Case& c : kCases) {
    const fs::path out = root_ / ("out" + std::to_string(n++));
    fs::create_directories(out / "measures");
    fs::create_directories(out / "logs");
    for (const std::string& link : c.links) fs::create_symlink(victim / "passwd", out / link);
    if (c.fifo != nullptr) {
      ASSERT_EQ(mkfifo((out / c.fifo).c_str(), 0644), 0);
    }
    if (c.folder_link != nullptr) {
      fs::remove_all(out / c.folder_link);
      fs::create_directory_symlink(victim, out / c.folder_link);
    }
    fs::create_directory_symlink(out, out.string() + "_link");
    ToolRun run = quillon({"-f", c.format, "-o", out.string() + "_link", dir_.string()},
                          {.timeout_seconds = 20});
    EXPECT_EQ(run.status, c.status) << c.format << ": " << run.err;
    if (c.folder_link != nullptr) {
      EXPECT_NE(run.err.find("is a symbolic link, not a directory"), std::string::npos) << run.err;
    }
    EXPECT_EQ(read_file(victim / "passwd"), "precious") << c.format;
    EXPECT_EQ(entries(victim), std::set<std::string>{"passwd"}) << c.format;
    for (const std::string& link : c.links) {
      EXPECT_FALSE(fs::is_symlink(out / link)) << link;
    }
    if (c.fifo != nullptr) {
      EXPECT_TRUE(fs::is_regular_file(out / c.fifo)) << c.fifo;
    }
  }
}

// No output replaces a log, an input or the other output, or is made
// inside a directory read: refused before anything is read, the files as
// they were.
TEST_F(Hostile, OutputsNeverReplaceInputs) {
  const std::string d = dir_.string(), r = root_.string();
  write_file(dir_ / kLog, log(6, 1));
  write_file(dir_ / "2022_06_08_14.dat", log(6, 2));
  write_file(root_ / "old.dat.gz", "not read");
  struct Case {
    std::vector<std::string> args;
    const char* first_line;
  };
  const Case kCases[] = {
      {{"-f", "events", "-o", d + "/" + kLog, d + "/2022_06_08_14.dat", "e"},
       "is a log: a log is never an output"},
      {{"-f", "events", "-o", r + "/old.dat.gz", d, "e"}, "is a log: a log is never an output"},
      {{"-f", "events", "--logs", r + "/./ev.csv", "-o", r + "/ev.csv", d, "e"},
       "is also -o: each output needs a file of its own"},
      {{"-f", "events", "-o", d + "/ev.csv", d, "e"}, "lies inside"},
      {{"-f", "events", "-r", "-o", d + "/new/deep/ev.csv", d, "e"}, "lies inside"},
      {{"-f", "events", "-o", r + "/ev.csv", "--logs", d + "/logs.csv", d, "e"}, "lies inside"},
  };
  for (const Case& c : kCases) {
    ToolRun run = quillon(c.args);
    EXPECT_EQ(run.status, 2) << c.first_line;
    EXPECT_NE(run.err.find(c.first_line), std::string::npos) << run.err;
    EXPECT_EQ(read_file(dir_ / kLog), log(6, 1));
    EXPECT_EQ(entries(dir_), (std::set<std::string>{kLog, "2022_06_08_14.dat"}));
    EXPECT_EQ(entries(root_), (std::set<std::string>{"logs", "old.dat.gz"}));
  }
  // A link to a log counts as the log.
  SKIP_ON_WINDOWS("POSIX links");
  fs::create_symlink(dir_ / kLog, root_ / "table.csv");
  ToolRun link = quillon({"-f", "events", "-o", r + "/table.csv", d + "/2022_06_08_14.dat", "e"});
  EXPECT_EQ(link.status, 2);
  EXPECT_EQ(read_file(dir_ / kLog), log(6, 1));
}

// Two tiny logs of one signal years apart: the hours between them are one
// gap row, not a row an hour, and memory does not grow with the span.
TEST_F(Hostile, LogsYearsApartInBoundedMemory) {
  struct Case {
    const char* first;
    const char* last;
  };
  const Case kCases[] = {{"2022_06_08_13", "2122_06_08_13"},
                         {"1000_01_01_00", "2000_12_31_23"},
                         {"0001_01_01_00", "9999_12_31_23"}};
  for (const Case& c : kCases) {
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    write_file(dir_ / (std::string(c.first) + ".dat"), log(6, 1));
    write_file(dir_ / (std::string(c.last) + ".dat"), log(6, 2));
    const fs::path out = root_ / "m";
    ToolRun run = quillon({"-f", "measures", "-o", out.string(), dir_.string()},
                          {.watch_memory = true});
    EXPECT_EQ(run.status, 0) << run.err;
    const std::string logs = read_file(out / "logs.csv");
    EXPECT_EQ(std::count(logs.begin(), logs.end(), '\n'), 4) << logs;
    EXPECT_NE(logs.find(",gap,"), std::string::npos) << logs;
#ifndef QUILLON_SANITIZED
    EXPECT_LT(run.peak_rss_kib, 64 * 1024) << c.last;
#endif
    EXPECT_EQ(temporaries(out), std::set<std::string>{});
  }
}

// Far years: the report pages and measures of years pandas and nanosecond
// times cannot hold are right too.
TEST_F(Hostile, ReportOfFarYears) {
  for (const char* hour : {"0001_01_01_00", "2300_06_08_13", "9999_12_31_23"}) {
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    write_file(dir_ / (std::string(hour) + ".dat"), log(6, 1));
    const fs::path out = root_ / "r";
    fs::remove_all(out);
    ToolRun run = quillon({"-f", "report", "-o", out.string(), dir_.string()});
    EXPECT_EQ(run.status, 0) << run.err;
    const std::string day = std::string(hour).substr(0, 10);
    const std::string page = day.substr(0, 4) + "-" + day.substr(5, 2) + "-" + day.substr(8, 2);
    EXPECT_TRUE(fs::exists(out / "logs" / (page + ".html"))) << hour;
    EXPECT_NE(read_file(out / "index.html").find("logs/" + page.substr(0, 4) + ".html"),
              std::string::npos)
        << hour;
    EXPECT_NE(read_file(out / "logs" / (page.substr(0, 4) + ".html")).find(page), std::string::npos)
        << hour;
  }
}

// The process umask is never set, not even for a moment: another thread
// of a program that runs the converter (the Python module) may be making
// files then. Every output that makes files, traced.
TEST_F(Hostile, UmaskNeverSet) {
  SKIP_ON_WINDOWS("POSIX umask");
#ifdef QUILLON_SANITIZED
  GTEST_SKIP() << "the leak checker does not run under strace";
#endif
  if (!fs::exists("/usr/bin/strace")) GTEST_SKIP() << "no strace (apt-get install strace)";
  write_file(dir_ / kLog, log(6, 1));
  const std::string trace = (root_ / "trace").string();
  for (const char* format : {"csv", "events", "measures", "report"}) {
    std::string command = "/usr/bin/strace -f -qq -e trace=umask -o '" + trace + "'";
    for (const std::string& part : tool().command) command += " '" + part + "'";
    command += std::string(" -f ") + format + " -o '" + (root_ / "out" / format).string() +
               (std::string(format) == "events" ? ".csv" : "") + "' '" + dir_.string() + "' e";
    ASSERT_EQ(std::system((command + " 2>/dev/null").c_str()), 0) << command;
    EXPECT_EQ(read_file(trace).find("umask("), std::string::npos) << format << ": " << read_file(trace);
  }
}

// Names that would look alike once escaped stay apart: a folder named with
// the eight characters \xff\xfe and one of the two bytes, one with a line
// feed and one with a backslash and an n, are four signals.
TEST_F(Hostile, IdsThatLookAlikeStayApart) {
  SKIP_ON_WINDOWS("POSIX names");
  const std::string kFolders[] = {"\\xff\\xfe", "\xff\xfe", "nl\nx", "nl\\nx"};
  for (const std::string& folder : kFolders) {
    fs::create_directories(dir_ / folder);
    write_file(dir_ / folder / kLog, log(6, 1));
  }
  const fs::path out = root_ / "m";
  ToolRun run = quillon({"-r", "--signal-id", "dir", "-f", "measures", "-o", out.string(),
                         dir_.string()});
  EXPECT_EQ(run.status, 0) << run.err;
  std::set<std::string> ids;
  const std::string logs = read_file(out / "logs.csv");
  for (size_t at = logs.find('\n') + 1; at < logs.size(); at = logs.find('\n', at) + 1)
    ids.insert(logs.substr(at, logs.find(',', at) - at));
  EXPECT_EQ(ids, (std::set<std::string>{"\\\\xff\\\\xfe", "\\xff\\xfe", "nl\\nx",
                                        "nl\\\\nx"}))
      << logs;
  ToolRun events = quillon({"-r", "--signal-id", "dir", "-f", "events", "-o", "-",
                            "--columns", "signal_id", dir_.string(), "e"});
  std::set<std::string> event_ids;
  std::stringstream rows(events.out);
  std::string row;
  std::getline(rows, row);
  while (std::getline(rows, row)) event_ids.insert(row);
  EXPECT_EQ(event_ids, ids);
}

// Logs of no measured event keep none of the room reserved for their events
// once read: memory holds a line a log.
TEST_F(Hostile, MeasuresOfLogsWithoutEventsInBoundedMemory) {
  // 5,000 signals' logs of 3 KB of Time Updates, which reserve 8 KB apiece.
  const std::string bytes = make_log(6, std::vector<LogRecord>(500, LogRecord{71, 0, {0, 0, 0}}));
  for (int i = 0; i < 5000; ++i) {
    char name[40];
    snprintf(name, sizeof name, "S%04d_01_2022_06_08_13.dat", i);
    write_file(dir_ / name, bytes);
  }
  ToolRun run = quillon({"-j", "1", "-f", "measures", "-o", (root_ / "m").string(), dir_.string()},
                        {.watch_memory = true});
  EXPECT_EQ(run.status, 0) << run.err;
#ifndef QUILLON_SANITIZED
  EXPECT_LT(run.peak_rss_kib, 20 * 1024);
#endif
}

// A report that fails before its end (a directory where a page goes) leaves
// the earlier report whole: its tables, pages and index as they were.
TEST_F(Hostile, FailedReportLeavesTheEarlierWhole) {
  write_file(dir_ / kLog, log(6, 1));
  const fs::path out = root_ / "r";
  ASSERT_EQ(quillon({"-f", "report", "-o", out.string(), dir_.string()}).status, 0);
  const std::string logs = read_file(out / "measures" / "logs.csv");
  const std::string index = read_file(out / "index.html");
  const std::string page = read_file(out / "logs" / "2022-06-08.html");
  write_file(dir_ / "2022_06_08_14.dat", log(6, 2));
  write_file(dir_ / "2022_06_09_13.dat", log(6, 3));
  fs::create_directories(out / "logs" / "2022-06-09.html");
  ToolRun run = quillon({"-f", "report", "-o", out.string(), dir_.string()});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("2022-06-09.html"), std::string::npos) << run.err;
  EXPECT_EQ(read_file(out / "measures" / "logs.csv"), logs);
  EXPECT_EQ(read_file(out / "index.html"), index);
  EXPECT_EQ(read_file(out / "logs" / "2022-06-08.html"), page);
  EXPECT_EQ(temporaries(out), std::set<std::string>{});
  EXPECT_EQ(temporaries(out / "measures"), std::set<std::string>{});
  EXPECT_EQ(temporaries(out / "logs"), std::set<std::string>{});
}

// The index is a row a signal of a few hundred bytes, whatever its days:
// thousands of signals keep it far under 4 MB (each day's cell is on the
// signal's page of the year).
TEST_F(Hostile, ReportIndexSmallForManySignals) {
  const std::string bytes = log(6, 1);
  for (int i = 0; i < 300; ++i) {
    char name[40];
    snprintf(name, sizeof name, "S%04d_01_2022_06_08_13.dat", i);
    write_file(dir_ / name, bytes);
    snprintf(name, sizeof name, "S%04d_01_2022_06_09_13.dat", i);
    write_file(dir_ / name, bytes);
  }
  const fs::path out = root_ / "r";
  ToolRun run = quillon({"-f", "report", "-o", out.string(), dir_.string()});
  EXPECT_EQ(run.status, 0) << run.err;
  const uint64_t index = fs::file_size(out / "index.html");
  // A row a signal of some hundred bytes, and no more than 300 problem
  // lines: 2,000 signals, under 1.6 MB.
  EXPECT_LT(index, 300u * 700u + 300u * 250u) << index;
  EXPECT_LT(fs::file_size(out / page_folder("S0000_01") / "2022.html"), 20000u);
}

// A sub-directory swapped for a link after it was listed is reported, not
// followed: nothing outside the tree is decompressed or removed.
fs::path swap_target, swap_link;
void swap_for_link(const std::string& path) {
  if (path != swap_link.string()) return;
  fs::rename(swap_link, swap_link.string() + ".moved");
  fs::create_directory_symlink(swap_target, swap_link);
}

TEST_F(Hostile, DirectorySwappedForALinkDuringTheWalk) {
  SKIP_ON_WINDOWS("runs the walk in this process");
  fs::path outside = root_ / "outside";
  fs::create_directory(outside);
  const std::string archive = gzip_bytes(log(6, 3));
  write_file(outside / (kLog + ".gz"), archive);
  fs::create_directories(dir_ / "a");
  fs::create_directories(dir_ / "b");
  write_file(dir_ / "a" / kLog, log(6, 1));
  write_file(dir_ / "b" / kLog, log(6, 2));
  swap_target = outside;
  swap_link = dir_ / "b";
  TreeWalker::hook_for_tests = swap_for_link;
  testing::internal::CaptureStderr();
  int status = run_quillon({"quillon", "-r", dir_.string(), "e"});
  std::string err = testing::internal::GetCapturedStderr();
  TreeWalker::hook_for_tests = nullptr;
  EXPECT_EQ(status, 1);
  EXPECT_EQ(err, "Error: " + (dir_ / "b").string() +
                     ": is a symbolic link, not a directory\n");
  EXPECT_EQ(entries(outside), std::set<std::string>{kLog + ".gz"});
  EXPECT_EQ(read_file(outside / (kLog + ".gz")), archive);
  EXPECT_TRUE(fs::exists(dir_ / "a" / "csv_files_e" / kCsv));
}

// A tree deeper than any path the system takes whole is walked all the
// way down.
TEST_F(Hostile, TreesDeeperThanPathMax) {
  SKIP_ON_WINDOWS("POSIX path limits");
  const int kDepth = 3000;
  int fd = open(dir_.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  std::string relative;
  for (int i = 0; i < kDepth; ++i) {
    ASSERT_EQ(mkdirat(fd, "d", 0755), 0);
    int next = openat(fd, "d", O_RDONLY | O_DIRECTORY);
    close(fd);
    fd = next;
    relative += relative.empty() ? "d" : "/d";
  }
  std::string bad = log(6) + encode_record({102, 0, {}});
  int log_fd = openat(fd, kLog.c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_EQ(write(log_fd, bad.data(), bad.size()), static_cast<ssize_t>(bad.size()));
  close(log_fd);
  close(fd);
  const std::string expected =
      error(tool_path(dir_, relative + "/" + kLog) + ": bad event type 102");
  for (bool test : {true, false}) {
    ToolRun run = quillon({test ? "-tr" : "-r", dir_.string(), "p"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, expected) << run.err.substr(0, 300);
  }
}

// A directory the tool may not read is reported, and the run goes on.
TEST_F(Hostile, UnreadableDirectoriesAreReported) {
  SKIP_ON_WINDOWS("runs as another user");
  std::string why;
  if (!tool_runs_as_nobody(&why)) GTEST_SKIP() << why;
  fs::create_directories(dir_ / "a");
  fs::create_directories(dir_ / "b");
  write_file(dir_ / "a" / kLog, log(6, 1));
  write_file(dir_ / "b" / kLog, log(6, 2));
  chmod((dir_ / "a").c_str(), 0700);
  fs::path out = root_ / "out";
  fs::create_directory(out);
  chown(out.c_str(), 65534, 65534);
  for (bool test : {true, false}) {
    ToolRun run = quillon({test ? "-tr" : "-kr", "-o", out.string(),
                           dir_.string(), "e"},
                          {.as_nobody = true});
    EXPECT_EQ(run.status, 1);
    expect_error(run.err, tool_path(dir_, "a"), "Permission denied");
  }
  EXPECT_EQ(read_file(out / "b" / kCsv), csv(log(6, 2), kLog, Mode::kStandard));
}

// Read as it is, an archive keeps the rows of the members whose checks
// pass; rows decoded from a member that fails its check are taken back.
// One cut short keeps the rows before the cut.
TEST_F(Hostile, DamagedArchivesKeepOnlySoundRows) {
  const std::string whole = log(7, 5);
  const size_t half = whole.size() / 2;
  const std::string first = whole.substr(0, half), second = whole.substr(half);
  std::string bad_second = gzip_bytes(second);
  bad_second[bad_second.size() - 6] ^= 0x55;  // its CRC no longer matches
  std::string bad_only = gzip_bytes(whole);
  bad_only[bad_only.size() - 6] ^= 0x55;
  const std::string bad_type = log(6, 6) + encode_record({102, 0, {}});
  struct Case {
    std::string name;
    std::string archive;
    std::string csv;
    std::string reason;
  };
  const Case kCases[] = {
      {"2022_06_08_01", gzip_bytes(first) + bad_second,
       csv_cut_at(whole, half, "2022_06_08_01.dat", Mode::kProprietary),
       "invalid compressed data: incorrect data check"},
      {"2022_06_08_02", bad_only, text(",Error: bad file read\n"),
       "invalid compressed data: incorrect data check"},
      // A bad event type that comes before damage is reported as the damage.
      {"2022_06_08_03", gzip_bytes(bad_type) + bad_second.substr(0, 20),
       csv(bad_type, "2022_06_08_03.dat", Mode::kProprietary),
       "unexpected end of file"},
  };
  for (const Case& c : kCases) write_file(dir_ / (c.name + ".dat.gz"), c.archive);
  ToolRun run = quillon({"-k", dir_.string(), "p"});
  EXPECT_EQ(run.status, 1);
  std::string expected;
  for (const Case& c : kCases) {
    expected += error(tool_path(dir_, c.name + ".dat.gz") + ": " + c.reason);
    EXPECT_EQ(read_file(dir_ / "csv_files_p" / (c.name + ".csv")), c.csv) << c.name;
  }
  EXPECT_EQ(run.err, expected);
}

// What is no regular file is reported, and nothing waits on it: a FIFO,
// and a link to a kernel file that blocks when read.
TEST_F(Hostile, InputsThatWouldBlock) {
  SKIP_ON_WINDOWS("FIFOs and /proc");
  ASSERT_EQ(mkfifo((dir_ / "2022_06_08_01.dat").c_str(), 0644), 0);
  ASSERT_EQ(mkfifo((dir_ / "2022_06_08_02.dat.gz").c_str(), 0644), 0);
  const std::string fifo = error(tool_path(dir_, "2022_06_08_01.dat") +
                                 ": not a regular file");
  const std::string archive = error(tool_path(dir_, "2022_06_08_02.dat.gz") +
                                    ": not a regular file");
  std::string kmsg;
  if (geteuid() == 0 && fs::exists("/proc/kmsg")) {
    fs::create_symlink("/proc/kmsg", dir_ / "2022_06_08_03.dat");
    kmsg = error(tool_path(dir_, "2022_06_08_03.dat") + ": not a regular file");
  }
  write_file(dir_ / "2022_06_08_04.dat", log(6));
  for (const std::string option : {"-q", "-k", "-t"}) {
    ToolRun run = quillon({option, dir_.string(), "e"}, {.timeout_seconds = 30});
    EXPECT_EQ(run.status, 1) << option;
    // The plain run meets the archive when it decompresses, first.
    EXPECT_EQ(run.err, option == "-q" ? archive + fifo + kmsg
                                      : fifo + archive + kmsg)
        << option;
  }
  EXPECT_EQ(read_file(dir_ / "csv_files_e" / "2022_06_08_04.csv"),
            csv(log(6), "2022_06_08_04.dat", Mode::kStandard));
}

// An option after the directory is a wrong command line, not a mode.
TEST_F(Hostile, OptionAfterTheDirectory) {
  write_file(dir_ / (kLog + ".gz"), gzip_bytes(log(6)));
  for (const char* option : {"-t", "-k", "--test"}) {
    ToolRun run = quillon({dir_.string(), option});
    EXPECT_EQ(run.status, 2) << option;
    EXPECT_EQ(run.err, text(usage_text()));
  }
  EXPECT_EQ(entries(dir_), std::set<std::string>{kLog + ".gz"});
}

// Where the system gives fewer threads than asked, the run goes on with
// those it got.
TEST_F(Hostile, FewerThreadsThanAsked) {
  SKIP_ON_WINDOWS("POSIX resource limits");
#ifdef QUILLON_SANITIZED
  GTEST_SKIP() << "a sanitizer reserves more address space than the limit";
#endif
  for (int i = 0; i < 8; ++i)
    write_file(dir_ / ("2022_06_08_1" + std::to_string(i) + ".dat"), log(6, i));
  ToolRun run = quillon({"-j", "1000", dir_.string(), "e"},
                        {.address_space_limit = 96u << 20});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(entries(dir_ / "csv_files_e").size(), 8u);
  EXPECT_EQ(read_file(dir_ / "csv_files_e" / "2022_06_08_17.csv"),
            csv(log(6, 7), "2022_06_08_17.dat", Mode::kStandard));
}

// Names that the file system takes as one make one CSV name: on Windows
// every script folds, not only A-Z.
TEST_F(Hostile, NamesThatFoldToOne) {
  const std::string upper = "Élan_1_2022_06_08_13.dat", lower = "élan_1_2022_06_08_13.dat";
  write_file(dir_ / upper, log(6, 1));
  write_file(dir_ / lower, log(6, 2));
  ToolRun run = quillon({dir_.string(), "e"});
  if (!tool().windows) {
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(entries(dir_ / "csv_files_e").size(), 2u);
    return;
  }
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, error(tool_path(dir_, lower) + ": " +
                           tool_path(dir_, "csv_files_e/élan_1_2022_06_08_13.csv") +
                           " is already written by " + tool_path(dir_, upper)));
}

// Interrupted, the tool removes what it was writing and exits as shells
// expect; killed outright, it leaves a temporary file that a later run
// removes, unless another run holds the directory.
TEST_F(Hostile, SignalsAndStaleTemporaries) {
  SKIP_ON_WINDOWS("POSIX signals");
  // A log that takes seconds: a gigabyte of records without a standard row.
  const std::string record = encode_record({101, 35999, {}});
  std::string block;
  for (int i = 0; i < (16 << 20) / 3; ++i) block += record;
  std::string member = gzip_bytes(block);
  std::string archive = gzip_bytes(make_log_header(6));
  for (int i = 0; i < 64; ++i) archive += member;
  write_file(dir_ / (kLog + ".gz"), archive);
  const fs::path out = dir_ / "csv_files_e";
  const std::vector<std::string> args = {"-k", "--max-log-size", "2G",
                                         dir_.string(), "e"};
  // Waits until the run writes its CSV, then sends `sig`.
  auto interrupt = [&](int sig) {
    pid_t pid = start_tool(args, root_);
    for (int i = 0; i < 5000 && (!fs::exists(out) || temporaries(out).empty()); ++i)
      usleep(1000);
    EXPECT_EQ(temporaries(out).size(), 1u);
    kill(pid, sig);
    return finish_tool(pid, root_);
  };
  for (auto [sig, status] : {std::pair{SIGTERM, 143}, std::pair{SIGINT, 130},
                             std::pair{SIGHUP, 129}}) {
    EXPECT_EQ(interrupt(sig).status, status) << sig;
    EXPECT_EQ(entries(out), std::set<std::string>{}) << sig;
  }
  EXPECT_EQ(interrupt(SIGKILL).status, -1);
  EXPECT_EQ(temporaries(out).size(), 1u);

  // While another run holds the directory, its temporary files stay.
  write_file(dir_ / (kLog + ".gz"), gzip_bytes(log(6)));
  int held = open(out.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_EQ(flock(held, LOCK_SH), 0);
  EXPECT_EQ(quillon({"-k", dir_.string(), "e"}).status, 0);
  EXPECT_EQ(temporaries(out).size(), 1u);
  close(held);
  EXPECT_EQ(quillon({"-k", dir_.string(), "e"}).status, 0);
  EXPECT_EQ(entries(out), std::set<std::string>{kCsv});
}

// Stale temporary files go on Windows too: nobody holds them open.
TEST_F(Hostile, StaleTemporariesAreRemoved) {
  write_file(dir_ / kLog, log(6));
  fs::create_directory(dir_ / "csv_files_p");
  write_file(dir_ / "csv_files_p" / ".quillon-abc123", "left by a killed run");
  write_file(dir_ / "csv_files_p" / ".quillon-keep", "not a temporary name");
  write_file(dir_ / ".quillon-def456", "a decompression a killed run left");
  ToolRun run = quillon({dir_.string(), "p"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(entries(dir_ / "csv_files_p"),
            (std::set<std::string>{".quillon-keep", kCsv}));
  EXPECT_EQ(entries(dir_), (std::set<std::string>{kLog, "csv_files_p"}));
}

// No log may grow without bound: past --max-log-size its CSV closes with
// an error. Decompression in place below the top touches only logs.
TEST_F(Hostile, SizeLimitAndWhatIsDecompressed) {
  const std::string big = make_log(6, random_records(6, 2000, 1, {}));
  write_file(dir_ / kLog, big);
  write_file(dir_ / "2022_06_08_14.dat.gz", gzip_bytes(big));
  ToolRun run = quillon({"--max-log-size", "4K", "-k", dir_.string(), "p"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err,
            error(tool_path(dir_, kLog) + ": larger than --max-log-size (4 KiB)") +
                error(tool_path(dir_, "2022_06_08_14.dat.gz") +
                      ": larger than --max-log-size (4 KiB) once decompressed"));
  // The limit bounds the CSV too (mode p writes several times what it
  // reads): the rows that fit in 4 KiB, then the closing row.
  MemoryInput input(std::string_view(big).substr(0, 4096), true);
  StringOutput rows;
  convert_log(input, rows, kLog, Mode::kProprietary);
  EXPECT_EQ(read_file(dir_ / "csv_files_p" / kCsv),
            text(rows.text().substr(0, rows.text().rfind('\n', 4095) + 1) +
                 ",Error: bad file read\n"));

  fs::path tree = root_ / "tree";
  fs::create_directories(tree / "sub");
  for (const fs::path& d : {tree, tree / "sub"}) {
    write_file(d / "backup.tar.gz", gzip_bytes("not a log"));
    write_file(d / (kLog + ".gz"), gzip_bytes(log(6)));
  }
  ToolRun in_place = quillon({"-r", tree.string(), "e"});
  EXPECT_EQ(in_place.status, 0) << in_place.err;
  EXPECT_EQ(entries(tree), (std::set<std::string>{"backup.tar", kLog,
                                                  "csv_files_e", "sub"}));
  EXPECT_EQ(entries(tree / "sub"), (std::set<std::string>{"backup.tar.gz", kLog,
                                                          "csv_files_e"}));
}

// Over a tree, a log that cannot be opened or a directory where its CSV
// goes is reported, and the run goes on; the two-argument run stops there.
TEST_F(Hostile, TreeRunsGoOnPastFailures) {
  SKIP_ON_WINDOWS("runs as another user");
  std::string why;
  if (!tool_runs_as_nobody(&why)) GTEST_SKIP() << why;
  for (const char* hour : {"01", "02", "03", "04"})
    write_file(dir_ / (std::string("2022_06_08_") + hour + ".dat"), log(6));
  chmod((dir_ / "2022_06_08_01.dat").c_str(), 0600);
  fs::create_directories(dir_ / "csv_files_e" / "2022_06_08_03.csv");
  chown(dir_.c_str(), 65534, 65534);
  chown((dir_ / "csv_files_e").c_str(), 65534, 65534);
  ToolRun tree = quillon({"-r", dir_.string(), "e"}, {.as_nobody = true});
  EXPECT_EQ(tree.status, 1);
  const std::string open_log =
      "Error: Failed to open " + tool_path(dir_, "2022_06_08_01.dat") +
      ": Permission denied\n";
  const std::string open_csv =
      "Error: Failed to open " + tool_path(dir_, "csv_files_e/2022_06_08_03.csv") +
      ": Is a directory\n";
  EXPECT_EQ(tree.err, open_log + open_csv);
  EXPECT_TRUE(fs::exists(dir_ / "csv_files_e" / "2022_06_08_04.csv"));
  fs::remove_all(dir_ / "csv_files_e" / "2022_06_08_02.csv");
  ToolRun plain = quillon({dir_.string(), "e"}, {.as_nobody = true});
  EXPECT_EQ(plain.status, 1);
  EXPECT_EQ(plain.err, open_log);
  EXPECT_FALSE(fs::exists(dir_ / "csv_files_e" / "2022_06_08_02.csv"));
}

// Memory grows with the largest directory, not with the tree: 200,000
// logs in 400 directories.
TEST_F(Hostile, TreeOfManyLogsInBoundedMemory) {
  SKIP_ON_WINDOWS("measures the memory of a Linux process");
  // Links to one log a directory: few data blocks, and below the file
  // system's limit of links to a file.
  for (int d = 0; d < 400; ++d) {
    fs::path sub = dir_ / ("d" + std::to_string(d));
    fs::create_directory(sub);
    const std::string first = (sub / "AB_0_2022_06_08_13.dat").string();
    write_file(first, log(6));
    for (int i = 1; i < 500; ++i)
      ASSERT_EQ(link(first.c_str(), (sub / ("AB_" + std::to_string(i) +
                                           "_2022_06_08_13.dat")).c_str()), 0);
  }
  ToolRun run = quillon({"-t", "-r", dir_.string(), "e"}, {.watch_memory = true});
  EXPECT_EQ(run.status, 0) << run.err.substr(0, 500);
  printf("peak resident memory: %ld KiB for 200,000 logs\n", run.peak_rss_kib);
#ifndef QUILLON_SANITIZED
  EXPECT_LT(run.peak_rss_kib, 32 * 1024);
#endif
}

// Names show in messages with their control characters escaped, so that
// none can recolour the terminal or forge a line.
TEST_F(Hostile, ControlCharactersInNames) {
  SKIP_ON_WINDOWS("Windows names hold no control characters");
  const std::string name = "x\x1b[2J\nError: forged_1_2022_06_08_13.dat";
  write_file(dir_ / name, log(6) + encode_record({102, 0, {}}));
  ToolRun run = quillon({dir_.string(), "e"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, error(tool_path(dir_, "x\\x1b[2J\\nError: forged_1_2022_06_08_13.dat") +
                           ": bad event type 102"));
}

// Names that Windows reserves for devices are names like any other.
TEST_F(Hostile, DeviceNames) {
  const std::vector<std::string> names = {"AUX", "COM1", "CON", "NUL", "PRN"};
  std::string expected;
  for (const std::string& name : names) {
    write_file(dir_ / (name + ".dat"), log(6));
    expected += error(tool_path(dir_, name + ".dat") +
                      ": the name holds no valid date and hour");
  }
  ToolRun run = quillon({dir_.string(), "p"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, expected);
  for (const std::string& name : names)
    EXPECT_EQ(read_file(dir_ / "csv_files_p" / (name + ".csv")),
              csv(log(6), name + ".dat", Mode::kProprietary))
        << name;
}

// -t says what the plain run's decompression would meet, changing nothing.
TEST_F(Hostile, TestForetellsThePlainRun) {
  write_file(dir_ / kLog, log(6, 1));
  write_file(dir_ / (kLog + ".gz"), gzip_bytes(log(6, 2)));
  write_file(dir_ / "notes.gz", "plain text");
  write_file(dir_ / "2022_06_08_13 - Copy.dat", log(6, 3));
  ToolRun test = quillon({"-t", dir_.string(), "e"});
  EXPECT_EQ(test.status, 1);
  EXPECT_EQ(entries(dir_), (std::set<std::string>{kLog, kLog + ".gz", "notes.gz",
                                                  "2022_06_08_13 - Copy.dat"}));
  ToolRun plain = quillon({dir_.string(), "e"});
  EXPECT_EQ(plain.status, 1);
  const std::string copy = tool_path(dir_, "2022_06_08_13 - Copy.dat");
  const std::string no_date = error(copy + ": the name holds no valid date and hour");
  const std::string exists = error(tool_path(dir_, kLog + ".gz") + ": " +
                                   tool_path(dir_, kLog) + " already exists");
  const std::string not_gzip = error(tool_path(dir_, "notes.gz") + ": not in gzip format");
  EXPECT_EQ(plain.err, exists + not_gzip + no_date);
  EXPECT_EQ(test.err, no_date + exists + not_gzip);
  // The undated log's CSV is what it always was.
  EXPECT_EQ(read_file(dir_ / "csv_files_e" / "2022_06_08_13 - Copy.csv"),
            csv(log(6, 3), "2022_06_08_13 - Copy.dat", Mode::kStandard));
}

}  // namespace
