// -f events end to end: one table of a whole tree, to the standard output
// or a file, plain or gzip-compressed, with one job or several.

#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "measures/schema.h"
#include "run/driver.h"
#include "run/options.h"
#include "logconv/convert_log.h"
#include "logconv/time_zone.h"
#include "tests/tool_runner.h"
#include "tools/loggen.h"
#include "tools/signal_day.h"

namespace {

// The table's rows of one log, made in this process.
std::string rows(const std::string& log, const std::string& name,
                 const std::string& signal_id, Mode mode) {
  LogHour hour;
  EXPECT_TRUE(read_log_hour(parse_log_date(name), &hour)) << name;
  std::string field = csv_field(signal_id);
  MemoryInput input(log);
  StringOutput output;
  LogConverter converter;
  converter.convert_events(input, output, {field, hour}, mode);
  return output.text();
}

std::string gunzip(const std::string& data) {
  z_stream zs = {};
  EXPECT_EQ(inflateInit2(&zs, 15 + 16), Z_OK);
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  zs.avail_in = static_cast<uInt>(data.size());
  std::string out;
  int ret = Z_OK;
  while (ret == Z_OK) {
    char buf[1 << 16];
    zs.next_out = reinterpret_cast<Bytef*>(buf);
    zs.avail_out = sizeof buf;
    ret = inflate(&zs, Z_NO_FLUSH);
    out.append(buf, sizeof buf - zs.avail_out);
  }
  EXPECT_EQ(ret, Z_STREAM_END);
  inflateEnd(&zs);
  return out;
}

class EventsRun : public Cli {};

// Every log of a tree in the order of the CSV run, each row with the
// signal id the option asks for; DIR is left as it was.
TEST_F(EventsRun, TreeToStandardOutput) {
  const std::string odd = tool().windows ? "Elm, 5th & Main" : "Elm, 5th \"B\"";
  fs::create_directories(dir_ / odd);
  fs::create_directories(dir_ / "north" / "ash");
  std::string a = log(5, 1), b = log(6, 2), c = log(7, 3), d = log(4, 4);
  std::string cut = gzip_bytes(log(6, 5));
  write_file(dir_ / "2022_06_08_12.dat", a);
  write_file(dir_ / "2022_06_08_12.dat.gz", gzip_bytes(log(6, 9)));
  write_file(dir_ / "2022_06_08_13 - Copy.dat", log(6, 10));
  write_file(dir_ / odd / "2022_06_08_13.dat", b);
  write_file(dir_ / odd / "AB_17_2022_06_08_14.dat.gz", gzip_bytes(c));
  write_file(dir_ / "north" / "ash" / "2024_02_29_23.dat", d);
  write_file(dir_ / "north" / "ash" / "2024_03_01_00.dat.gz", cut.substr(0, cut.size() / 2));
  auto before = entries(dir_ / "north" / "ash");
  for (const char* from : {"auto", "name", "dir"}) {
    for (Mode mode : {Mode::kStandard, Mode::kProprietary}) {
      const char* letter = mode == Mode::kStandard ? "e" : "p";
      ToolRun run = quillon({"-f", "events", "-r", "--signal-id", from,
                             dir_.string(), letter});
      EXPECT_EQ(run.status, 1);
      std::string f = from;
      auto id = [&](const std::string& dir_id, const std::string& name) {
        std::string leading = leading_fields(name);
        return f == "name" || (f == "auto" && !leading.empty()) ? leading : dir_id;
      };
      std::string expected =
          std::string(events_header(mode)) +
          rows(a, "2022_06_08_12.dat", id("logs", "2022_06_08_12.dat"), mode) +
          rows(b, "2022_06_08_13.dat", id(odd, "2022_06_08_13.dat"), mode) +
          rows(c, "AB_17_2022_06_08_14.dat", id(odd, "AB_17_2022_06_08_14.dat"), mode) +
          rows(d, "2024_02_29_23.dat", id("north/ash", "2024_02_29_23.dat"), mode);
      // The rows of the archive cut short, as far as they go.
      std::string cut_rows = rows(log(6, 5), "2024_03_01_00.dat",
                                  id("north/ash", "2024_03_01_00.dat"), mode);
      EXPECT_EQ(run.out.substr(0, expected.size()), expected) << from << letter;
      EXPECT_EQ(cut_rows.compare(0, run.out.size() - expected.size(),
                                 run.out.substr(expected.size())),
                0)
          << from << letter;
      EXPECT_EQ(run.err,
                text("Note: " + tool_path(dir_, "2022_06_08_12.dat.gz") +
                     " is skipped: " + tool_path(dir_, "2022_06_08_12.dat") +
                     " is converted instead\n") +
                    error(tool_path(dir_, "2022_06_08_13 - Copy.dat") +
                          ": the name holds no valid date and hour") +
                    error(tool_path(dir_, "north/ash/2024_03_01_00.dat.gz") +
                          ": unexpected end of file") +
                    // Its version 4 log numbers the standard codes apart.
                    text(mode == Mode::kStandard
                             ? "Note: these logs mix version 4 with other "
                               "versions, whose standard codes are numbered "
                               "apart: tell them by the version column\n"
                             : ""));
    }
  }
  EXPECT_EQ(entries(dir_ / "north" / "ash"), before);
  EXPECT_FALSE(fs::exists(dir_ / "csv_files_e"));
}

// A file gets the same table, gzip-compressed for a name ending in .gz;
// several jobs write the same bytes as one; a run that fails keeps the
// earlier table; -t writes nothing.
TEST_F(EventsRun, FilesJobsAndFailures) {
  // Logs whose rows pass the memory a waiting log may hold.
  for (int i = 0; i < 6; ++i)
    write_file(dir_ / ("AB_" + std::to_string(i) + "_2022_06_08_13.dat"),
               make_log(7, random_records(7, i % 2 ? 60000 : 300, i, {})));
  write_file(dir_ / "2022_06_08_14.dat.gz",
             gzip_bytes(make_log(6, random_records(6, 60000, 9, {}))));
  write_file(dir_ / "2022_06_08_15.dat", log(6) + encode_record({102, 0, {}}));
  ToolRun one = quillon({"-f", "events", "-j", "1", dir_.string(), "p"});
  EXPECT_EQ(one.status, 1);
  EXPECT_GT(one.out.size(), 3000000u);
  ToolRun four = quillon({"-f", "events", "-j", "4", dir_.string(), "p"});
  EXPECT_EQ(four.status, 1);
  EXPECT_TRUE(four.out == one.out);
  EXPECT_EQ(four.err, one.err);
  EXPECT_EQ(one.err, error(tool_path(dir_, "2022_06_08_15.dat") + ": bad event type 102"));

  const fs::path out = root_ / "out";
  fs::create_directory(out);
  for (const char* jobs : {"1", "3"}) {
    ToolRun gz = quillon({"-f", "events", "-j", jobs, "-o",
                          (out / "table.csv.gz").string(), dir_.string(), "p"});
    EXPECT_EQ(gz.status, 1);
    EXPECT_EQ(gz.out, "");
    EXPECT_TRUE(gunzip(read_file(out / "table.csv.gz")) == one.out);
  }
  ToolRun plain = quillon({"-f", "events", "-o", (out / "table.csv").string(),
                           dir_.string(), "p"});
  EXPECT_EQ(plain.status, 1);
  EXPECT_TRUE(read_file(out / "table.csv") == one.out);

  // A write that fails, a run without logs: the earlier table stays.
  ToolRun full = quillon({"-f", "events", "-o", (out / "table.csv").string(),
                          dir_.string(), "p"},
                         {.file_size_limit = 1000000});
  EXPECT_EQ(full.status, 1);
  expect_error(full.err, "Failed to write " + (out / "table.csv").string(),
               "File too large");
  ToolRun none = quillon({"-f", "events", "-o", (out / "table.csv").string(),
                          (root_ / "nothing").string(), "p"});
  EXPECT_EQ(none.status, 1);
  EXPECT_TRUE(read_file(out / "table.csv") == one.out);
  EXPECT_EQ(entries(out), (std::set<std::string>{"table.csv", "table.csv.gz"}));

  ToolRun test = quillon({"-t", "-f", "events", "-o", (out / "new.csv").string(),
                          dir_.string(), "e"});
  EXPECT_EQ(test.status, 1);
  EXPECT_EQ(test.out, "");
  EXPECT_EQ(test.err, one.err);
  EXPECT_FALSE(fs::exists(out / "new.csv"));
}

}  // namespace

namespace {

// What stands at -o: a device, FIFO or a link to one is written through; a
// directory is refused before any log is read; a link to a file is
// followed. A new table is readable by no more users than its logs; one it
// replaces keeps its mode and owner.
TEST_F(EventsRun, WhatStandsAtTheTablesPath) {
  if (tool().windows) {
    // A device name keeps its meaning: no file of that name is made.
    write_file(dir_ / "2022_06_08_13.dat", log(6));
    RunOptions in_root;
    in_root.cwd = root_;
    for (const char* device : {"NUL", "nul.csv"}) {
      ToolRun run = quillon({"-f", "events", "-o", device, "logs", "e"}, in_root);
      EXPECT_EQ(run.status, 0) << device << run.err;
      EXPECT_EQ(entries(root_), std::set<std::string>{"logs"}) << device;
    }
    return;
  }
  write_file(dir_ / "2022_06_08_13.dat", log(6));
  write_file(dir_ / "2022_06_08_14.dat", log(6, 2));
  chmod((dir_ / "2022_06_08_13.dat").c_str(), 0640);
  chmod((dir_ / "2022_06_08_14.dat").c_str(), 0604);
  const std::string table = quillon({"-f", "events", dir_.string(), "e"}).out;
  ASSERT_GT(table.size(), 100u);

  EXPECT_EQ(quillon({"-f", "events", "-o", "/dev/null", dir_.string(), "e"}).status, 0);
  struct stat st;
  ASSERT_EQ(stat("/dev/null", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
  EXPECT_EQ(quillon({"-f", "events", "-o", "/dev/stdout", dir_.string(), "e"}).out,
            table);
  const fs::path fifo = root_ / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::string read_back;
  std::thread reader([&] { read_back = read_file(fifo); });
  EXPECT_EQ(quillon({"-f", "events", "-o", fifo.string(), dir_.string(), "e"}).status, 0);
  reader.join();
  EXPECT_EQ(read_back, table);
  fs::create_directory(root_ / "adir");
  ToolRun at_dir = quillon({"-f", "events", "-o", (root_ / "adir").string(),
                            dir_.string(), "e"});
  EXPECT_EQ(at_dir.status, 1);
  EXPECT_EQ(at_dir.err, error("Failed to open " + (root_ / "adir").string() +
                              ": Is a directory"));

  // Modes: the bits every log has, within the umask.
  const fs::path t = root_ / "t.csv";
  ASSERT_EQ(quillon({"-f", "events", "-o", t.string(), dir_.string(), "e"}).status, 0);
  ASSERT_EQ(stat(t.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  fs::create_symlink(t, root_ / "link.csv");
  chmod(t.c_str(), 0640);
  if (geteuid() == 0) chown(t.c_str(), 65534, 65534);
  ASSERT_EQ(quillon({"-f", "events", "-o", (root_ / "link.csv").string(),
                     dir_.string(), "p"}).status, 0);
  EXPECT_TRUE(fs::is_symlink(root_ / "link.csv"));
  ASSERT_EQ(stat(t.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  if (geteuid() == 0) {
    EXPECT_EQ(st.st_uid, 65534u);
  }
  EXPECT_NE(read_file(t), table);  // the mode p table, through the link
}

}  // namespace

namespace {

// A controller upgraded overnight: version 4 logs on day 1, version 6 on
// day 2. Every row says its log's version; a run in mode e says once that
// the numberings mix; --columns picks and orders, --logs lists every log,
// the undated and damaged ones too; -v sums the run up.
TEST_F(EventsRun, MixedVersionsColumnsLogsAndSummary) {
  const std::string v4 = log(4, 1), v6 = log(6, 2);
  write_file(dir_ / "2022_06_08_23.dat", v4);
  write_file(dir_ / "2022_06_09_00.dat", v6 + encode_record({250, 0, {}}));
  write_file(dir_ / "undated.dat", log(6, 3));
  const std::string kNote = text(
      "Note: these logs mix version 4 with other versions, whose standard "
      "codes are numbered apart: tell them by the version column\n");
  for (Mode mode : {Mode::kStandard, Mode::kProprietary}) {
    const char* letter = mode == Mode::kStandard ? "e" : "p";
    ToolRun run = quillon({"-f", "events", dir_.string(), letter});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, std::string(events_header(mode)) +
                           rows(v4, "2022_06_08_23.dat", "logs", mode) +
                           rows(v6, "2022_06_09_00.dat", "logs", mode));
    EXPECT_EQ(run.err.size() > kNote.size() &&
                  run.err.compare(run.err.size() - kNote.size(), kNote.size(),
                                  kNote) == 0,
              mode == Mode::kStandard)
        << run.err;
  }
  const std::string v4_row = rows(v4, "2022_06_08_23.dat", "logs", Mode::kStandard);
  const std::string first = v4_row.substr(0, v4_row.find('\n'));
  ASSERT_EQ(first.substr(first.size() - 2), ",4");

  const fs::path logs = root_ / "logs.csv";
  ToolRun picked = quillon({"-f", "events", "-v", "--columns", "log,version,timestamp",
                            "--logs", logs.string(), dir_.string(), "e"});
  EXPECT_EQ(picked.out.substr(0, picked.out.find('\n', picked.out.find('\n') + 1)),
            "log,version,timestamp\n2022_06_08_23.dat,4," +
                first.substr(first.find(',') + 1, 21));
  auto records = [](const std::string& bytes) {
    MemoryInput input(bytes);
    NullOutput output;
    return std::to_string(convert_log(input, output, "x", Mode::kProprietary).records);
  };
  EXPECT_EQ(read_file(logs),
            "path,signal_id,start,version,closing,records\n"
            "2022_06_08_23.dat,logs,2022-06-08 23:00:00,4,End of Controller Log," +
                records(v4) + "\n" +
                "2022_06_09_00.dat,logs,2022-06-09 00:00:00,6,Error: bad event "
                "type 250," + records(v6) + "\n" +
                "undated.dat,logs,,0,Error: the name holds no valid date and hour,0\n");
  const size_t events = static_cast<size_t>(
      std::count(picked.out.begin(), picked.out.end(), '\n') - 1);
  EXPECT_EQ(picked.err.substr(picked.err.rfind("quillon:")),
            text("quillon: 3 logs, " + std::to_string(events) +
                 " events; 2 logs reported: 1 bad event type, 1 without a "
                 "valid date\n"));

  // Names the mode's table has not: usage errors that name them.
  for (const char* columns : {"event_name", "signal_id,stamp"}) {
    ToolRun wrong = quillon({"-f", "events", "--columns", columns, dir_.string(), "e"});
    EXPECT_EQ(wrong.status, 2);
    EXPECT_NE(wrong.err.find(std::string("no column '") +
                             (columns[0] == 'e' ? "event_name" : "stamp") + "'"),
              std::string::npos)
        << wrong.err;
  }
}

}  // namespace

namespace {

// The table's compression follows its name, as gzip and zstd users expect;
// the directories of -o are made.
TEST_F(EventsRun, CompressionBySuffixAndParents) {
  write_file(dir_ / "2022_06_08_13.dat", log(6));
  const std::string table = quillon({"-f", "events", dir_.string(), "e"}).out;
  const fs::path zst = root_ / "made" / "sub" / "t.csv.zst";
  ToolRun run = quillon({"-f", "events", "-o", zst.string(), dir_.string(), "e"});
  if (tool().windows) {
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("cannot write zstd"), std::string::npos) << run.err;
    return;
  }
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(read_file(zst).substr(0, 4), table.substr(0, 4));
  FILE* unzst = popen(("zstd -dc " + zst.string()).c_str(), "r");
  ASSERT_NE(unzst, nullptr);
  std::string plain;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, unzst)) > 0;) plain.append(buf, n);
  EXPECT_EQ(pclose(unzst), 0) << "zstd -dc failed";
  EXPECT_TRUE(plain == table);
}

}  // namespace

namespace {

// Inputs as gzip and csvkit users give them: log files in the order given,
// one on the standard input, and a message that says what was meant.
TEST_F(EventsRun, FilesStandardInputAndHints) {
  fs::create_directories(dir_ / "north");
  const std::string a = log(6, 1), b = log(5, 2);
  write_file(dir_ / "north" / "2022_06_08_13.dat", a);
  write_file(dir_ / "north" / "2022_06_08_14.dat.gz", gzip_bytes(b));
  const std::string whole = quillon({"-f", "events", (dir_ / "north").string(), "e"}).out;
  ToolRun files = quillon({"-f", "events", (dir_ / "north" / "2022_06_08_13.dat").string(),
                           (dir_ / "north" / "2022_06_08_14.dat.gz").string(), "e"});
  EXPECT_EQ(files.status, 0) << files.err;
  EXPECT_EQ(files.out, whole);
  // The CSV run of a file, a tree without -r: what to do instead.
  ToolRun file_as_dir = quillon({"-q", (dir_ / "north" / "2022_06_08_13.dat").string(), "e"});
  EXPECT_EQ(file_as_dir.status, 1);
  EXPECT_NE(file_as_dir.err.find("is a file, not a directory of logs"), std::string::npos);
  ToolRun tree = quillon({"-f", "events", dir_.string(), "e"});
  EXPECT_EQ(tree.status, 1);
  EXPECT_NE(tree.err.find("are searched with -r"), std::string::npos) << tree.err;
  EXPECT_EQ(quillon({"-f", "events", "-", "e"}).err,
            text(usage_error_text("a log on the standard input (-) needs its "
                                  "name, which gives its date: --name NAME")));

  SKIP_ON_WINDOWS("a pipe into the tool");
  const std::string command =
      "cat '" + (dir_ / "north" / "2022_06_08_14.dat.gz").string() + "' | '" +
      tool().command.back() + "' -f events --signal-id name --name "
      "2022_06_08_14.dat.gz - e";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string out;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, pipe)) > 0;) out.append(buf, n);
  EXPECT_EQ(pclose(pipe), 0);
  EXPECT_EQ(out, std::string(events_header(Mode::kStandard)) +
                     rows(b, "2022_06_08_14.dat", "", Mode::kStandard));
}

}  // namespace

namespace {

// Writes the logs of a generated day, 2022_06_08_00.dat and on (`date`
// for 2022_06_08), into `folder`, made; an hour without records (a
// spring-forward's) has no log.
void write_day(const fs::path& folder, const std::vector<std::vector<LogRecord>>& hours,
               const std::string& date = "2022_06_08") {
  fs::create_directories(folder);
  for (size_t h = 0; h < hours.size(); ++h) {
    if (hours[h].empty()) continue;
    char name[32];
    snprintf(name, sizeof name, "%s_%02d.dat", date.c_str(), static_cast<int>(h));
    write_file(folder / name, make_log(6, hours[h]));
  }
}

// Days around both changes of a zone in each hemisphere: the events table
// with --tz, and with --utc, gives each row of the table without them its
// offset as the zone's files give it, record by record, the records of the
// hour shown twice after the clock's step back the later offset.
TEST_F(EventsRun, TimesInAZoneAroundBothChanges) {
  const struct {
    const char* zone;
    const char* date;
    bool fall_back;
    int change_hour;
  } kDays[] = {{"America/Chicago", "2026_11_01", true, 1},
               {"America/Chicago", "2026_03_08", false, 2},
               {"Australia/Sydney", "2026_04_05", true, 2},
               {"Australia/Sydney", "2026_10_04", false, 2}};
  for (const auto& d : kDays) {
    SignalDayOptions options;
    options.detectors = 2;
    options.fall_back = d.fall_back;
    options.spring_forward = !d.fall_back;
    options.change_hour = d.change_hour;
    fs::remove_all(dir_);
    write_day(dir_, signal_day(options), d.date);
    TimeZone zone;
    std::string err;
    ASSERT_TRUE(zone.load(d.zone, "", &err)) << err;
    ToolRun plain = quillon({"-f", "events", "--columns", "timestamp,log", dir_.string(), "p"});
    ASSERT_EQ(plain.status, 0) << plain.err;
    for (const bool utc : {false, true}) {
      std::string expected = "timestamp\n";
      std::unique_ptr<ZonedHour> zoned;
      std::string last_log;
      LogHour hour{};
      std::istringstream rows(plain.out);
      std::string row;
      std::getline(rows, row);
      while (std::getline(rows, row)) {
        if (!row.empty() && row.back() == '\r') row.pop_back();
        const std::string log = row.substr(22);
        if (log != last_log) {
          last_log = log;
          ASSERT_TRUE(read_log_hour(parse_log_date(log), &hour)) << log;
          zoned = std::make_unique<ZonedHour>(zone, hour);
        }
        // The row's tenths after its log's hour, read from its wall time.
        const std::string wall = row.substr(0, 21);
        const int64_t t = hour_start({std::stoi(wall.substr(0, 4)), std::stoi(wall.substr(5, 2)),
                                      std::stoi(wall.substr(8, 2)), std::stoi(wall.substr(11, 2))}) +
                          std::stoi(wall.substr(14, 2)) * 600 + std::stoi(wall.substr(17, 2)) * 10 +
                          (wall[20] - '0');
        const int32_t offset = zoned->offset(static_cast<uint32_t>(t - hour_start(hour)));
        std::string time = timestamp_text(utc ? t - int64_t{offset} * 10 : t);
        time[10] = 'T';
        if (utc)
          time += 'Z';
        else
          put_utc_offset(&time, offset);
        expected += time + "\n";
      }
      std::vector<std::string> args = {"-f", "events", "--tz", d.zone, "--columns", "timestamp",
                                       dir_.string(), "p"};
      if (utc) args.insert(args.begin(), "--utc");
      ToolRun run = quillon(args);
      ASSERT_EQ(run.status, 0) << run.err;
      const std::string& want = expected;  // the standard output: "\n" on Windows too
      EXPECT_GT(want.size(), 100000u);
      const auto diff = std::mismatch(want.begin(), want.end(), run.out.begin(), run.out.end());
      EXPECT_TRUE(diff.first == want.end() && diff.second == run.out.end())
          << d.zone << " " << d.date << (utc ? " --utc" : "") << " at byte "
          << (diff.first - want.begin()) << ": "
          << want.substr(static_cast<size_t>(diff.first - want.begin()) / 100 * 100, 200);
    }
  }
}

// A day whose clock falls back an hour at 01:59:59.9, its 01:00 log holding
// two hours, and one hour delivered twice: every table in time order with
// no negative duration, the steps on the hour's row, a note for each, and
// status 0.
TEST_F(EventsRun, MeasuresOfAFallBackDayAndAnHourTwice) {
  SignalDayOptions options;
  options.detectors = 4;
  options.fall_back = true;
  const std::vector<std::vector<LogRecord>> hours = signal_day(options);
  write_day(dir_ / "east", hours);
  fs::create_directories(dir_ / "again");
  write_file(dir_ / "again" / "2022_06_08_05.dat", make_log(6, hours[5]));
  // The step: from the Time Update at 35999 to the first record after it.
  uint16_t after = 0;
  for (size_t i = 1; i < hours[1].size(); ++i)
    if (hours[1][i].time < hours[1][i - 1].time) after = hours[1][i].time;
  const fs::path out = root_ / "m";
  ToolRun run = quillon({"-r", "--signal-id", "name", "-f", "measures", "-o", out.string(),
                         dir_.string(), "e"});
  EXPECT_EQ(run.status, 0) << run.err;
  const int step = 35999 - after;
  EXPECT_EQ(run.err, text("Note: east/2022_06_08_01.dat: its clock goes back 1 time, by up to " +
                         std::to_string(step / 10) + "." + std::to_string(step % 10) +
                         " s: no interval is measured across a step\n"
                         "Note: east/2022_06_08_05.dat: a second log of its signal's hour "
                         "2022-06-08 05:00:00, which is measured from "
                         "again/2022_06_08_05.dat\n"));
  const std::string logs = read_file(out / "logs.csv");
  EXPECT_NE(logs.find(",2022-06-08 01:00:00,ok," + std::to_string(hours[1].size()) +
                      ",east/2022_06_08_01.dat,6,End of Controller Log,1,"),
            std::string::npos)
      << logs;
  EXPECT_NE(logs.find(",2022-06-08 05:00:00,duplicate,"), std::string::npos) << logs;
  // No duration is negative, and each table's rows keep time order.
  for (const char* table : {"phase_intervals", "preemption", "ped", "actuations"}) {
    const std::string text = read_file(out / (std::string(table) + ".csv"));
    EXPECT_EQ(text.find(",-"), std::string::npos) << table;
    std::string last;
    size_t at = text.find('\n') + 1;
    for (size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
      const std::string row = text.substr(at, end - at);
      const size_t time = row.find("2022-06-08");
      ASSERT_NE(time, std::string::npos) << row;
      const std::string t = row.substr(time, 21);
      EXPECT_LE(last, t) << table << ": " << row;
      last = t;
    }
  }
}

// A day's events held in memory, in the temporary file, or some in each,
// make the same tables, those of its detector map too.
TEST_F(EventsRun, MeasuresOfEventsHeldOrWaitingInAFile) {
  SignalDayOptions options;
  options.detectors = 16;
  options.mapped = true;
  write_day(dir_ / "west", signal_day(options));
  const fs::path map = root_ / "map.csv", out = root_ / "m";
  write_file(map, signal_day_map(options, "west"));
  std::vector<std::map<std::string, std::string>> tables;
  for (size_t held : {size_t{4} << 20, size_t{0}, size_t{60000}}) {
    Options o;
    std::string err;
    const std::vector<std::string> args = {"quillon", "-r", "-f", "measures", "--detectors",
                                           map.string(), "-o", out.string(), dir_.string(), "e"};
    ASSERT_EQ(parse_command_line(args, &o, &err), Command::kRun) << err;
    o.measures.held_events = held;
    std::string messages;
    RunHooks hooks;
    hooks.message = [&messages](const std::string& m) { messages += m; };
    EXPECT_EQ(run_with(o, hooks), 0) << messages;
    tables.emplace_back();
    for (const std::string& name : entries(out)) tables.back()[name] = read_file(out / name);
  }
  EXPECT_GT(tables[0]["arrivals.csv"].size(), 10000u);
  EXPECT_EQ(tables[1], tables[0]);
  EXPECT_EQ(tables[2], tables[0]);
}

// -f measures: the tables into OUT, made with its parents; the archive as
// it was; a run without logs writes the headers and says so.
TEST_F(EventsRun, MeasuresIntoADirectory) {
  write_file(dir_ / "2022_06_08_13.dat.gz", gzip_bytes(log(6)));
  write_file(dir_ / "undated.dat", log(6, 2));
  const fs::path out = root_ / "made" / "measures";
  ToolRun run = quillon({"-f", "measures", "--bin", "5", "-o", out.string(),
                         dir_.string(), "e"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, error(tool_path(dir_, "undated.dat") +
                           ": the name holds no valid date and hour"));
  EXPECT_EQ(entries(out),
            (std::set<std::string>{"actuations.csv", "controller_events.csv",
                                   "coordination.csv", "detector_health.csv", "logs.csv", "ped.csv",
                                   "phase_intervals.csv", "preemption.csv",
                                   "terminations.csv"}));
  const std::string header =
      "signal_id,hour,state,records,path,version,closing,clock_steps_back,largest_step_back,gap_end\n";
  EXPECT_EQ(read_file(out / "logs.csv"),
            header + "logs,2022-06-08 13:00:00,ok,300,2022_06_08_13.dat.gz,6,End of Controller Log,0,,\n"
                     "logs,,undated,0,undated.dat,0,Error: the name holds no valid date and hour,0,,\n");
  EXPECT_EQ(entries(dir_), (std::set<std::string>{"2022_06_08_13.dat.gz", "undated.dat"}));

  // A table that cannot be written leaves the earlier set as it was.
  fs::create_directory(root_ / "empty");
  const std::string logs_table = read_file(out / "logs.csv");
  fs::remove(out / "ped.csv");
  fs::create_directory(out / "ped.csv");
  EXPECT_EQ(quillon({"-f", "measures", "-o", out.string(), (root_ / "empty").string(),
                     "e"}).status, 1);
  EXPECT_EQ(read_file(out / "logs.csv"), logs_table);
  size_t unmapped = 0;  // the tables written without a detector map
  for (const MeasureTableDef& table : kMeasureSchema) unmapped += !table.mapped;
  EXPECT_EQ(entries(out).size(), unmapped);
  fs::remove(out / "ped.csv");
  ToolRun none = quillon({"-f", "measures", "-o", out.string(),
                          (root_ / "empty").string(), "e"});
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(read_file(out / "logs.csv"), header);
  for (const std::vector<std::string>& wrong :
       {std::vector<std::string>{"-f", "measures", dir_.string(), "e"},
        {"-f", "measures", "--bin", "7", "-o", out.string(), dir_.string(), "e"}}) {
    ToolRun bad = quillon(wrong);
    EXPECT_EQ(bad.status, 2);
    EXPECT_EQ(bad.err.rfind("quillon: ", 0), 0u) << bad.err;
  }
}

// The report: the measure tables beside the pages, a folder of pages a
// signal whose name no id can steer, an index that says when there is
// nothing to draw.
// A cycle that starts before midnight has arrivals after it: they are the
// day's, drawn in its last hour (a report of such days once read past the
// day's hours).
TEST_F(EventsRun, ReportOfArrivalsPastMidnight) {
  SignalDayOptions options;
  options.detectors = 16;
  options.mapped = true;
  write_file(root_ / "map.csv", signal_day_map(options, "s00"));
  write_day(dir_ / "s00", signal_day(options), "2022_06_08");
  options.seed = 3;
  write_day(dir_ / "s00", signal_day(options), "2022_06_09");
  const fs::path tables = root_ / "tables", out = root_ / "report";
  ASSERT_EQ(quillon({"-q", "-r", "-f", "measures", "--detectors", (root_ / "map.csv").string(),
                     "-o", tables.string(), dir_.string(), "e"}).status, 0);
  const std::string arrivals = read_file(tables / "arrivals.csv");
  ASSERT_NE(arrivals.find(",2022-06-08 23:59:58.0,2022-06-09 00:00:19.0,"), std::string::npos);
  ToolRun run = quillon({"-q", "-r", "-f", "report", "--detectors", (root_ / "map.csv").string(),
                         "-o", out.string(), dir_.string(), "e"});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string page = read_file(out / "s00" / "2022-06-08.html");
  EXPECT_NE(page.find("phase 3, 23:00: "), std::string::npos);
  EXPECT_EQ(page.find("data-hour=\"24\""), std::string::npos);
}

TEST_F(EventsRun, ReportIntoADirectory) {
  fs::create_directories(dir_ / "north");
  fs::create_directories(dir_ / "x y");
  write_file(dir_ / "north" / "2022_06_08_13.dat", log(6));
  write_file(dir_ / "x y" / "2022_06_09_01.dat.gz", gzip_bytes(log(4)));
  const fs::path out = root_ / "made" / "report", tables = root_ / "tables";
  ASSERT_EQ(quillon({"-f", "report", "--bin", "5", "-r", "-o", out.string(), dir_.string(),
                     "e"}).status, 0);
  ASSERT_EQ(quillon({"-f", "measures", "--bin", "5", "-r", "-o", tables.string(),
                     dir_.string(), "e"}).status, 0);
  EXPECT_EQ(entries(out), (std::set<std::string>{"index.html", "measures", "north", "x~20y"}));
  for (const std::string& table : entries(tables))
    EXPECT_EQ(read_file(out / "measures" / table), read_file(tables / table)) << table;
  EXPECT_EQ(entries(out / "north"), (std::set<std::string>{"2022-06-08.html", "2022.html"}));
  EXPECT_EQ(entries(out / "x~20y"), (std::set<std::string>{"2022-06-09.html", "2022.html"}));
  const std::string index = read_file(out / "index.html");
  EXPECT_NE(index.find("href=\"x~20y/2022.html\""), std::string::npos);
  EXPECT_NE(index.find("<th>x y \u26a0 "), std::string::npos);  // with its problems
  EXPECT_NE(read_file(out / "x~20y" / "2022.html").find("href=\"2022-06-09.html\""),
            std::string::npos);
  EXPECT_EQ(entries(dir_), (std::set<std::string>{"north", "x y"}));

  fs::create_directory(root_ / "empty");
  EXPECT_EQ(quillon({"-f", "report", "-o", out.string(), (root_ / "empty").string(), "e"})
                .status, 1);
  EXPECT_NE(read_file(out / "index.html").find("No log with a valid date was found"),
            std::string::npos);
  ToolRun bad = quillon({"-f", "report", dir_.string(), "e"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_EQ(bad.err.rfind("quillon: -f report needs the directory of its pages: -o OUT", 0),
            0u)
      << bad.err;
}

}  // namespace

namespace {

// `text` with every time in ISO 8601 with an offset ("2026-11-01T01:30:00.0
// -05:00", also without tenths) written as its instant in UTC, as the
// tables write times without a zone ("2026-11-01 06:30:00.0").
std::string in_utc(const std::string& text) {
  std::string out;
  auto digits = [&](size_t at, size_t n) {
    if (at + n > text.size()) return false;
    for (size_t i = at; i < at + n; ++i)
      if (text[i] < '0' || text[i] > '9') return false;
    return true;
  };
  size_t i = 0;
  while (i < text.size()) {
    const bool time = digits(i, 4) && text[i + 4] == '-' && digits(i + 5, 2) && digits(i + 8, 2) &&
                      text[i + 10] == 'T' && digits(i + 11, 2) && digits(i + 14, 2) &&
                      digits(i + 17, 2);
    if (!time) {
      out += text[i++];
      continue;
    }
    size_t end = i + 19;
    const bool tenths = text[end] == '.';
    if (tenths) end += 2;
    const int sign = text[end] == '-' ? -1 : 1;
    const int64_t offset = sign * (std::stoi(text.substr(end + 1, 2)) * 3600 +
                                   std::stoi(text.substr(end + 4, 2)) * 60);
    const int64_t local =
        days_from_civil(std::stoi(text.substr(i, 4)), std::stoi(text.substr(i + 5, 2)),
                        std::stoi(text.substr(i + 8, 2))) * kTenthsPerDay +
        (std::stoi(text.substr(i + 11, 2)) * 3600 + std::stoi(text.substr(i + 14, 2)) * 60 +
         std::stoi(text.substr(i + 17, 2))) * 10 +
        (tenths ? text[i + 20] - '0' : 0);
    std::string utc = timestamp_text(local - offset * 10);
    if (!tenths) utc.resize(utc.size() - 2);
    out += utc;
    i = end + 6;
  }
  return out;
}

// The measures of days around both changes of a zone in each hemisphere,
// taken with --tz from the logs of the controller's wall hours, are those
// of the same events logged by hour of real time and taken without a zone:
// every table but that of the logs, its times in UTC.
TEST_F(EventsRun, MeasuresInAZoneAreThoseOfRealTime) {
  const struct {
    const char* zone;
    LogHour midnight;  // the day's
    bool fall_back;
    int change_hour;
    // The hour shown twice written as two logs, the first pass named to
    // come last (told apart by their modification times).
    bool two_logs;
  } kDays[] = {{"America/Chicago", {2026, 11, 1, 0}, true, 1, false},
               {"America/Chicago", {2026, 3, 8, 0}, false, 2, false},
               {"Australia/Sydney", {2026, 4, 5, 0}, true, 2, false},
               {"Australia/Sydney", {2026, 10, 4, 0}, false, 2, false},
               {"Australia/Sydney", {2026, 4, 5, 0}, true, 2, true}};
  // A log copied with its modification time, as a delivery keeps it.
  auto deliver = [](const fs::path& from, const fs::path& to) {
    fs::copy_file(from, to);
    fs::last_write_time(to, fs::last_write_time(from));
  };
  // A folder's logs in the order they were written.
  auto by_time = [](const fs::path& folder) {
    std::vector<std::string> names;
    for (const std::string& name : entries(folder)) names.push_back(name);
    std::stable_sort(names.begin(), names.end(), [&](const std::string& a, const std::string& b) {
      return fs::last_write_time(folder / a) < fs::last_write_time(folder / b);
    });
    return names;
  };
  for (const auto& d : kDays) {
    TimeZone zone;
    std::string err;
    ASSERT_TRUE(zone.load(d.zone, "", &err)) << err;
    SignalDayOptions options;
    options.detectors = 16;
    options.mapped = true;
    options.fall_back = d.fall_back;
    options.spring_forward = !d.fall_back;
    options.change_hour = d.change_hour;
    const fs::path wall = dir_ / "wall" / "AB_17", real = dir_ / "real" / "AB_17";
    const fs::path map = root_ / "map.csv";
    fs::remove_all(dir_);
    write_file(map, signal_day_map(options, "AB_17"));
    char date[16];
    snprintf(date, sizeof date, "%04d_%02d_%02d", d.midnight.year, d.midnight.month,
             d.midnight.day);
    if (!d.two_logs) write_day(wall, signal_day(options), date);
    // The real hours named by the UTC hour they are.
    options.real_hours = true;
    const std::vector<std::vector<LogRecord>> hours = signal_day(options);
    int32_t offsets[2];
    zone.offsets_of(hour_start(d.midnight) / 10, offsets);
    if (d.two_logs) {
      // Each log written at the end of its real hour; the first pass of
      // the hour shown twice under a name that sorts last.
      fs::create_directories(wall);
      const auto midnight = fs::last_write_time(root_) - std::chrono::hours(48);
      for (size_t h = 0; h < hours.size(); ++h) {
        const int wall_hour = static_cast<int>(h) - (static_cast<int>(h) > d.change_hour ? 1 : 0);
        char name[40];
        snprintf(name, sizeof name, "%s%s_%02d.dat", static_cast<int>(h) == d.change_hour ? "AB_17_" : "",
                 date, wall_hour);
        write_file(wall / name, make_log(6, hours[h]));
        fs::last_write_time(wall / name, midnight + std::chrono::hours(h + 1));
      }
      ASSERT_EQ(entries(wall).size(), 25u);
    }
    fs::create_directories(real);
    for (size_t h = 0; h < hours.size(); ++h) {
      const int64_t t = hour_start(d.midnight) - int64_t{offsets[0]} * 10 +
                        static_cast<int64_t>(h) * kTenthsPerHour;
      std::string name = timestamp_text(t).substr(0, 13) + ".dat";
      for (char& c : name)
        if (c == '-' || c == ' ') c = '_';
      write_file(real / name, make_log(6, hours[h]));
    }
    const fs::path zoned_out = root_ / "zoned", real_out = root_ / "real";
    fs::remove_all(zoned_out);
    fs::remove_all(real_out);
    ToolRun run = quillon({"--tz", d.zone, "-f", "measures", "--detectors", map.string(), "-o",
                           zoned_out.string(), wall.string(), "e"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "") << d.zone;
    run = quillon({"-f", "measures", "--detectors", map.string(), "-o", real_out.string(),
                   real.string(), "e"});
    ASSERT_EQ(run.status, 0) << run.err;
    if (d.two_logs) {
      // The events table's rows, each at its instant, are those of the real
      // hours.
      auto sorted_rows = [&](const fs::path& folder, std::vector<std::string> zone_args) {
        std::vector<std::string> args = {"-f", "events", "--columns", "timestamp,event_code,event_param",
                                         folder.string(), "e"};
        args.insert(args.begin(), zone_args.begin(), zone_args.end());
        ToolRun events = quillon(args);
        EXPECT_EQ(events.status, 0) << events.err;
        std::istringstream lines(zone_args.empty() ? events.out : in_utc(events.out));
        std::vector<std::string> rows;
        for (std::string row; std::getline(lines, row);) rows.push_back(row);
        std::sort(rows.begin(), rows.end());
        return rows;
      };
      const std::vector<std::string> want = sorted_rows(real, {});
      EXPECT_GT(want.size(), 1000u);
      EXPECT_TRUE(sorted_rows(wall, {"--tz", d.zone}) == want) << "events of two logs";
    }
    const std::set<std::string> tables = entries(real_out);
    EXPECT_EQ(entries(zoned_out), tables);
    for (const std::string& table : tables) {
      if (table == "logs.csv") continue;
      const std::string want = read_file(real_out / table), got = in_utc(read_file(zoned_out / table));
      EXPECT_GT(want.size(), 100u) << table;
      const auto diff = std::mismatch(want.begin(), want.end(), got.begin(), got.end());
      EXPECT_TRUE(diff.first == want.end() && diff.second == got.end())
          << d.zone << " " << date << " " << table << " at byte " << (diff.first - want.begin())
          << ":\n" << want.substr(static_cast<size_t>(diff.first - want.begin()) / 200 * 200, 300)
          << "\n---\n" << got.substr(static_cast<size_t>(diff.first - want.begin()) / 200 * 200, 300);
    }
    // Every real hour is a log's, none missing: 25 or 23 of them.
    const std::string logs = in_utc(read_file(zoned_out / "logs.csv"));
    EXPECT_EQ(logs.find("missing"), std::string::npos) << logs;
    // The header and a row a log.
    EXPECT_EQ(std::count(logs.begin(), logs.end(), '\n'), d.two_logs ? 26 : d.fall_back ? 25 : 24) << logs;
    // Delivered an hour at a time and measured with -u, each signal going
    // on from where it stood (after the hour shown twice too), the tables
    // are those of a run of every log.
    const fs::path delivered = dir_ / "delivered" / "AB_17", update_out = root_ / "update";
    fs::remove_all(update_out);
    fs::create_directories(delivered);
    for (const std::string& name : by_time(wall)) {
      deliver(wall / name, delivered / name);
      run = quillon({"-u", "--tz", d.zone, "-f", "measures", "--detectors", map.string(), "-o",
                     update_out.string(), delivered.string(), "e"});
      ASSERT_EQ(run.status, 0) << run.err;
    }
    for (const std::string& table : tables) {
      EXPECT_TRUE(read_file(update_out / table) == read_file(zoned_out / table))
          << d.zone << " " << date << " " << table << " after -u";
    }
    // The report draws the day with its hours as the zone's clocks name
    // them, each hour's marks within its own, every hour covered.
    const fs::path pages = root_ / "pages";
    fs::remove_all(pages);
    run = quillon({"--tz", d.zone, "-f", "report", "--detectors", map.string(), "-o",
                   pages.string(), wall.string(), "e"});
    ASSERT_EQ(run.status, 0) << run.err;
    char page_name[32];
    snprintf(page_name, sizeof page_name, "%04d-%02d-%02d.html", d.midnight.year,
             d.midnight.month, d.midnight.day);
    const std::string page = read_file(pages / "AB_17" / page_name);
    const size_t from = page.find("id=\"hours\""), to = page.find("</svg>", from);
    ASSERT_NE(from, std::string::npos);
    std::vector<std::string> labels;
    for (size_t at = page.find("<title>", from); at < to; at = page.find("<title>", at + 1))
      labels.push_back(page.substr(at + 7, 5));
    std::vector<std::string> want;
    for (int h = 0, wall_hour = 0; h < (d.fall_back ? 25 : 23); ++h, ++wall_hour) {
      if (d.fall_back && h == d.change_hour + 1) --wall_hour;  // shown twice
      if (!d.fall_back && wall_hour == d.change_hour) ++wall_hour;  // skipped
      want.push_back((wall_hour < 10 ? "0" : "") + std::to_string(wall_hour) + ":00");
    }
    EXPECT_EQ(labels, want) << d.zone << " " << date;
    EXPECT_NE(page.find("<figcaption>" + std::to_string(want.size()) +
                        " hours ok, 0 damaged, 0 missing, 0 without a log.</figcaption>"),
              std::string::npos)
        << d.zone << " " << date;
    // Drawn with -u as the hours came, the pages are those of one run.
    if (!d.fall_back) continue;
    const fs::path again = dir_ / "again" / "AB_17", update_pages = root_ / "update-pages";
    fs::remove_all(update_pages);
    fs::create_directories(again);
    for (const std::string& name : by_time(wall)) {
      deliver(wall / name, again / name);
      run = quillon({"-u", "--tz", d.zone, "-f", "report", "--detectors", map.string(), "-o",
                     update_pages.string(), again.string(), "e"});
      ASSERT_EQ(run.status, 0) << run.err;
    }
    EXPECT_TRUE(read_file(update_pages / "AB_17" / page_name) == page) << d.zone << " " << date;
    EXPECT_TRUE(read_file(update_pages / "index.html") == read_file(pages / "index.html"));
  }
}

}  // namespace
