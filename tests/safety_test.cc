// The tool against hostile or unlucky surroundings: links and FIFOs where
// files should be, private logs, failing and killed runs, colliding names,
// odd archive names, huge archives and many logs.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "tests/tool_runner.h"
#include "tools/loggen.h"

namespace {

mode_t mode_of(const fs::path& path) {
  struct stat st;
  EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

// `prefix`, the number and `suffix`.
std::string numbered(const char* prefix, int i, const char* suffix) {
  std::string name = prefix;
  name += std::to_string(i);
  name += suffix;
  return name;
}

#define SKIP_UNLESS_ROOT() \
  if (geteuid() != 0) GTEST_SKIP() << "needs root to switch users"

class Safety : public Cli {};

// A log named for its hour, and its CSV.
const std::string kLog = "2022_06_08_13.dat";
const std::string kCsv = "2022_06_08_13.csv";

// A link planted at a CSV's path is replaced by the CSV; what it pointed to
// is never written.
TEST_F(Safety, LinkAtCsvPathIsReplaced) {
  std::string bytes = log(6);
  write_file(dir_ / kLog, bytes);
  write_file(root_ / "victim", "precious");
  fs::create_directory(dir_ / "csv_files_p");
  fs::create_symlink(root_ / "victim", dir_ / "csv_files_p" / kCsv);
  ToolRun run = quillon({dir_.string(), "p"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(read_file(root_ / "victim"), "precious");
  EXPECT_FALSE(fs::is_symlink(dir_ / "csv_files_p" / kCsv));
  EXPECT_EQ(read_file(dir_ / "csv_files_p" / kCsv),
            csv(bytes, kLog, Mode::kProprietary));
}

// A FIFO at a CSV's path is replaced, not opened: nothing waits for a reader.
TEST_F(Safety, FifoAtCsvPathDoesNotBlock) {
  SKIP_ON_WINDOWS("Windows has no FIFOs in directories");
  std::string bytes = log(6);
  write_file(dir_ / kLog, bytes);
  fs::create_directory(dir_ / "csv_files_e");
  ASSERT_EQ(mkfifo((dir_ / "csv_files_e" / kCsv).c_str(), 0644), 0);
  ToolRun run = quillon({dir_.string(), "e"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(read_file(dir_ / "csv_files_e" / kCsv),
            csv(bytes, kLog, Mode::kStandard));
}

// A FIFO or device where a log should be is refused at once: a log swapped
// for one after the listing must not block the run. A regular file reads
// as usual.
TEST_F(Safety, InputsThatAreNotFilesAreRefused) {
  SKIP_ON_WINDOWS("opens files in-process");
  ASSERT_EQ(mkfifo((root_ / "fifo.dat").c_str(), 0644), 0);
  fs::create_directory(root_ / "dir.dat");
  fs::create_symlink("/dev/null", root_ / "null.dat");
  fs::create_symlink("/proc/self/status", root_ / "proc.dat");
  write_file(root_ / "x.dat", "abc");
  std::string err;
  std::shared_ptr<Dir> dir = Dir::open(root_.string(), &err);
  ASSERT_NE(dir, nullptr) << err;
  for (const char* name : {"fifo.dat", "null.dat", "dir.dat", "proc.dat"}) {
    File file;
    EXPECT_FALSE(dir->open_file(name, &file, &err)) << name;
    EXPECT_FALSE(file.is_open());
    EXPECT_EQ(err, "not a regular file") << name;
  }
  File file;
  ASSERT_TRUE(dir->open_file("x.dat", &file, &err)) << err;
  char buf[8];
  EXPECT_EQ(file.read(buf, sizeof buf), 3);
  EXPECT_EQ(file.read(buf, sizeof buf), 0);
}

// A CSV is never readable by more users than its log: the bits of a new file
// under the umask, limited to the log's. A link to a private file makes a
// private CSV.
TEST_F(Safety, CsvIsNoMoreReadableThanItsLog) {
  SKIP_ON_WINDOWS("permission bits are POSIX");
  struct Case {
    mode_t log_mode;
    mode_t umask;
    mode_t csv_mode;
  };
  const Case kCases[] = {
      {0644, 022, 0644}, {0600, 022, 0600}, {0640, 022, 0640},
      {0666, 022, 0644}, {0755, 022, 0644}, {0644, 077, 0600},
      {0400, 022, 0400}, {0664, 002, 0664},
  };
  std::string bytes = log(6);
  for (const Case& c : kCases) {
    fs::path log_path = dir_ / kLog;
    write_file(log_path, bytes);
    chmod(log_path.c_str(), c.log_mode);
    ToolRun run = quillon({dir_.string(), "e"}, {.umask = c.umask});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(mode_of(dir_ / "csv_files_e" / kCsv), c.csv_mode)
        << std::oct << c.log_mode << " " << c.umask;
    fs::remove(log_path);
  }

  write_file(root_ / "private", bytes);
  chmod((root_ / "private").c_str(), 0600);
  fs::create_symlink(root_ / "private", dir_ / "2022_06_08_14.dat");
  ToolRun run = quillon({dir_.string(), "p"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(mode_of(dir_ / "csv_files_p" / "2022_06_08_14.csv"), 0600u);
}

// The same, seen by another user: what nobody could read in the log, nobody
// can read in the CSV.
TEST_F(Safety, OtherUsersCannotReadCsvOfPrivateLog) {
  SKIP_ON_WINDOWS("permission bits are POSIX");
  SKIP_UNLESS_ROOT();
  chmod(root_.c_str(), 0755);
  write_file(dir_ / "open_1_2022_06_08_13.dat", log(6, 1));
  write_file(dir_ / "private_2_2022_06_08_13.dat", log(6, 2));
  chmod((dir_ / "private_2_2022_06_08_13.dat").c_str(), 0600);
  ToolRun run = quillon({dir_.string(), "p"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_FALSE(readable_by_nobody(dir_ / "private_2_2022_06_08_13.dat"));
  EXPECT_FALSE(
      readable_by_nobody(dir_ / "csv_files_p" / "private_2_2022_06_08_13.csv"));
  EXPECT_TRUE(readable_by_nobody(dir_ / "csv_files_p" / "open_1_2022_06_08_13.csv"));
}

// A re-run that cannot write (quota, full disk) keeps the earlier CSV and
// leaves no temporary file; one that is killed while writing leaves no CSV
// cut short under a .csv name. A file size limit makes writes past it
// fail, whether the signal it sends is ignored or not (a shell's ulimit -f).
TEST_F(Safety, FailedOrKilledRunKeepsTheEarlierCsv) {
  std::string first = make_log(6, random_records(6, 200, 1, {}));
  std::string second = make_log(6, random_records(6, 20000, 2, {}));
  fs::path csv_path = dir_ / "csv_files_p" / kCsv;
  write_file(dir_ / kLog, first);
  ASSERT_EQ(quillon({dir_.string(), "p"}).status, 0);
  std::string good = read_file(csv_path);
  ASSERT_EQ(good, csv(first, kLog, Mode::kProprietary));

  write_file(dir_ / kLog, second);
  ToolRun failed = quillon({dir_.string(), "p"}, {.file_size_limit = 100000});
  EXPECT_EQ(failed.status, 1);
  expect_error(failed.err,
               "Failed to write " + tool_path(dir_, "csv_files_p/" + kCsv),
               "File too large");
  EXPECT_EQ(read_file(csv_path), good);
  EXPECT_EQ(entries(dir_ / "csv_files_p"), std::set<std::string>{kCsv});

  ToolRun limited = quillon({dir_.string(), "p"},
                            {.file_size_limit = 100000,
                             .killed_by_file_size = true});
  EXPECT_EQ(read_file(csv_path), good);
  if (tool().windows) {
    // Under wine the limit's signal ends the process, as no Windows limit
    // would: the earlier CSV stays all the same.
    EXPECT_EQ(limited.status, -1);
  } else {
    EXPECT_EQ(limited.status, 1);
    EXPECT_EQ(entries(dir_ / "csv_files_p"), std::set<std::string>{kCsv});
  }
}

// An output directory the tool may not write to stops the run before
// anything is converted, with the earlier CSV as it was.
TEST_F(Safety, UnwritableOutputDirectory) {
  SKIP_ON_WINDOWS("runs as another user");
  std::string why;
  if (!tool_runs_as_nobody(&why)) GTEST_SKIP() << why;
  std::string bytes = log(6);
  write_file(dir_ / kLog, bytes);
  ASSERT_EQ(quillon({dir_.string(), "p"}).status, 0);
  std::string good = read_file(dir_ / "csv_files_p" / kCsv);
  write_file(dir_ / "2022_06_08_14.dat", bytes);
  ToolRun run = quillon({dir_.string(), "p"}, {.as_nobody = true});
  EXPECT_EQ(run.status, 1);
  expect_error(run.err, "Failed to open " + tool_path(dir_, "csv_files_p/" + kCsv),
               "Permission denied");
  EXPECT_EQ(read_file(dir_ / "csv_files_p" / kCsv), good);
  EXPECT_EQ(entries(dir_ / "csv_files_p"), std::set<std::string>{kCsv});
}

// A directory at a CSV's path cannot be replaced: reported as a CSV that
// cannot be opened, before anything is converted into it.
TEST_F(Safety, DirectoryAtCsvPath) {
  write_file(dir_ / "2022_06_08_01.dat", log(6));
  write_file(dir_ / "2022_06_08_02.dat", log(6));
  fs::create_directories(dir_ / "csv_files_p" / "2022_06_08_01.csv");
  ToolRun run = quillon({dir_.string(), "p"});
  EXPECT_EQ(run.status, 1);
  expect_error(run.err,
               "Failed to open " + tool_path(dir_, "csv_files_p/2022_06_08_01.csv"),
               "Is a directory");
  EXPECT_EQ(entries(dir_ / "csv_files_p"),
            std::set<std::string>{"2022_06_08_01.csv"});
  EXPECT_TRUE(fs::is_empty(dir_ / "csv_files_p" / "2022_06_08_01.csv"));
}

// Logs whose names differ only in case make one CSV name: the first in name
// order writes it, the others are reported and skipped.
TEST_F(Safety, LogsThatMapToOneCsv) {
  std::string upper = log(6, 1), mixed = log(6, 2), lower = log(6, 3);
  const std::string x = "2022_06_08_13.";
  write_file(dir_ / (x + "DAT"), upper);
  write_file(dir_ / (x + "Dat"), mixed);
  write_file(dir_ / (x + "dat"), lower);
  write_file(dir_ / "2022_06_08_14.dat", lower);
  ToolRun run = quillon({dir_.string(), "p"});
  EXPECT_EQ(run.status, 1);
  std::string csv_path = tool_path(dir_, "csv_files_p/" + x + "csv");
  EXPECT_EQ(run.err,
            error(tool_path(dir_, x + "Dat") + ": " + csv_path +
                  " is already written by " + tool_path(dir_, x + "DAT")) +
                error(tool_path(dir_, x + "dat") + ": " + csv_path +
                      " is already written by " + tool_path(dir_, x + "DAT")));
  EXPECT_EQ(read_file(dir_ / "csv_files_p" / (x + "csv")),
            csv(upper, x + "DAT", Mode::kProprietary));
  EXPECT_EQ(read_file(dir_ / "csv_files_p" / "2022_06_08_14.csv"),
            csv(lower, "2022_06_08_14.dat", Mode::kProprietary));
}

// A decompressed log keeps the permission bits and modification time of its
// archive, as gzip does.
TEST_F(Safety, DecompressedLogKeepsModeAndTime) {
  std::string bytes = log(6);
  fs::path gz = dir_ / (kLog + ".gz");
  write_file(gz, gzip_bytes(bytes));
  if (!tool().windows) chmod(gz.c_str(), 0640);
  struct timeval times[2] = {{1500000000, 0}, {1600000000, 0}};
  ASSERT_EQ(utimes(gz.c_str(), times), 0);
  ToolRun run = quillon({dir_.string(), "e"}, {.umask = 077});
  EXPECT_EQ(run.status, 0) << run.err;
  struct stat st;
  ASSERT_EQ(stat((dir_ / kLog).c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, 1600000000);
  if (!tool().windows) {
    EXPECT_EQ(st.st_mode & 07777, 0640u);
  }
  EXPECT_EQ(read_file(dir_ / kLog), bytes);
}

// Any archive name the file system allows decompresses: the temporary name
// is short. A name that is only ".gz" is reported and kept.
TEST_F(Safety, ArchiveNames) {
  std::string bytes = log(6);
  const std::string stem = "AB_1_2022_06_08_13_" + std::string(229, 'n');
  std::string longest = stem + ".dat.gz";  // 255 bytes
  write_file(dir_ / longest, gzip_bytes(bytes));
  write_file(dir_ / ".gz", gzip_bytes(bytes));
  ToolRun run = quillon({dir_.string(), "e"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, error(tool_path(dir_, ".gz") +
                           ": no file name is left once .gz is taken off"));
  EXPECT_EQ(entries(dir_),
            (std::set<std::string>{stem + ".dat", ".gz", "csv_files_e"}));
  EXPECT_EQ(read_file(dir_ / ".gz"), gzip_bytes(bytes));
  EXPECT_EQ(read_file(dir_ / "csv_files_e" / (stem + ".csv")),
            csv(bytes, stem + ".dat", Mode::kStandard));
}

// An archive that expands a thousandfold (1 MB to 1 GB) is decompressed and
// converted in bounded memory.
TEST_F(Safety, HugeArchiveInBoundedMemory) {
  SKIP_ON_WINDOWS("measures the memory of a Linux process");
  // Version 6 type 101 has no data bytes and no standard code: 3-byte
  // records that make no standard rows.
  const std::string record = encode_record({101, 35999, {}});
  std::string block;
  for (int i = 0; i < (16 << 20) / 3; ++i) block += record;
  std::string member = gzip_bytes(block);
  std::string archive = gzip_bytes(make_log_header(6));
  const int kMembers = 64;  // 64 x 16 MiB
  for (int i = 0; i < kMembers; ++i) archive += member;
  ASSERT_LT(archive.size(), 2000000u);
  // The gigabyte goes to memory-backed /dev/shm where there is one, not to a
  // disk that may be small.
  fs::path dir = dir_;
  if (fs::is_directory("/dev/shm")) {
    std::string tmpl = "/dev/shm/quillon-test-XXXXXX";
    ASSERT_NE(mkdtemp(&tmpl[0]), nullptr);
    dir = tmpl;
  }
  write_file(dir / (kLog + ".gz"), archive);
  // Past the size limit (256 MiB unless told) the archive is left as it was.
  ToolRun refused = quillon({dir.string(), "e"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err,
            error(tool_path(dir, kLog + ".gz") +
                  ": larger than --max-log-size (256 MiB) once decompressed") +
                text("Failed to find any .dat files in " +
                     tool_path(dir, "*.dat") + "\n"));
  EXPECT_EQ(entries(dir), (std::set<std::string>{kLog + ".gz", "csv_files_e"}));
  EXPECT_EQ(read_file(dir / (kLog + ".gz")), archive);
  block = member = archive = std::string();
  ToolRun run = quillon({"--max-log-size", "2G", dir.string(), "e"},
                        {.watch_memory = true});
  EXPECT_EQ(run.status, 0) << run.err;
  uintmax_t size = fs::file_size(dir / kLog);
  EXPECT_GT(size, 1000000000u);
  EXPECT_EQ(read_file(dir / "csv_files_e" / kCsv),
            header_rows(6) + ",End of Controller Log\n");
  if (dir != dir_) fs::remove_all(dir);
  printf("peak resident memory: %ld KiB for a log of %.2f GB\n",
         run.peak_rss_kib, size / 1e9);
  EXPECT_GT(run.peak_rss_kib, 0);
#ifndef QUILLON_SANITIZED
  EXPECT_LT(run.peak_rss_kib, 8 * 1024);
#endif
}

// Every file is closed once done with: 50,000 logs convert under a limit of
// 16 open files.
TEST_F(Safety, ManyLogsFewDescriptors) {
  SKIP_ON_WINDOWS("descriptor limits are POSIX");
  std::string bytes = make_log(6, random_records(6, 20, 1, {}));
  const int kLogs = 50000;
  for (int i = 0; i < kLogs; ++i)
    write_file(dir_ / numbered("l_", i, "_2022_06_08_13.dat"), bytes);
  for (int i = 0; i < 10; ++i)
    write_file(dir_ / numbered("a_", i, "_2022_06_08_13.dat.gz"), gzip_bytes(bytes));
  ToolRun run = quillon({dir_.string(), "e"}, {.open_files_limit = 16});
  EXPECT_EQ(run.status, 0) << run.err.substr(0, 1000);
  EXPECT_EQ(entries(dir_ / "csv_files_e").size(), size_t{kLogs + 10});
  EXPECT_EQ(read_file(dir_ / "csv_files_e" / "l_49999_2022_06_08_13.csv"),
            csv(bytes, "l_49999_2022_06_08_13.dat", Mode::kStandard));
}

}  // namespace
