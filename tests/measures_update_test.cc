// -u of the measures and the report: over a sequence of deliveries and
// changes, each run's tables and pages are those of a run of every log;
// the logs left alone are not read; runs killed at any moment leave the
// last complete tables, and the next run completes them.

#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "tests/tool_runner.h"
#include "tools/loggen.h"
#include "tools/signal_day.h"

namespace {

class MeasuresUpdate : public Cli {
 protected:
  // The hours `from` to `to` of the generated day `seed` of signal folder
  // `signal`, named for 2022-06-`day`.
  void deliver(const std::string& signal, int day, int from, int to, uint32_t seed) {
    SignalDayOptions options;
    options.mapped = true;
    options.seed = seed;
    const std::vector<std::vector<LogRecord>> hours = signal_day(options);
    fs::create_directories(dir_ / signal);
    for (int h = from; h <= to; ++h) {
      char name[32];
      snprintf(name, sizeof name, "2022_06_%02d_%02d.dat", day, h);
      write_file(dir_ / signal / name, make_log(6, hours[static_cast<size_t>(h)]));
    }
  }

  // The map of the signals `ids`.
  void write_map(const std::vector<std::string>& ids) {
    SignalDayOptions options;
    options.mapped = true;
    std::string text;
    for (const std::string& id : ids) {
      const std::string map = signal_day_map(options, id);
      text += text.empty() ? map : map.substr(map.find('\n') + 1);
    }
    write_file(root_ / "map.csv", text);
  }

  // Every file below `dir` but what -u keeps, by path; with `temporary`,
  // the temporary files a killed run leaves too.
  static std::map<std::string, std::string> files(const fs::path& dir, bool temporary = true) {
    std::map<std::string, std::string> all;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
      const std::string name = e.path().filename().string();
      if (e.is_regular_file() && name != ".quillon-measures" && name != ".quillon-pages" &&
          (temporary || name.rfind(".quillon-", 0) != 0))
        all[fs::relative(e.path(), dir).string()] = read_file(e.path());
    }
    return all;
  }

  // Expects the files of `a` and `b` to be the same, naming those that are
  // not.
  static void expect_same(const fs::path& a, const fs::path& b, const std::string& what) {
    const std::map<std::string, std::string> x = files(a), y = files(b);
    for (const auto& [name, text] : y) {
      auto it = x.find(name);
      EXPECT_TRUE(it != x.end() && it->second == text) << what << ": " << name;
    }
    EXPECT_EQ(x.size(), y.size()) << what;
  }

  // The events a -v run read, from its closing line.
  static long events_read(const std::string& err) {
    const size_t at = err.rfind(" logs, ");
    return at == std::string::npos ? -1 : std::stol(err.substr(at + 7));
  }

  std::vector<std::string> args(const char* format, const fs::path& out,
                                std::vector<std::string> more = {}) {
    std::vector<std::string> a = {"-r", "-v", "-f", format, "--detectors",
                                  (root_ / "map.csv").string(), "-o", out.string()};
    a.insert(a.end(), more.begin(), more.end());
    a.push_back(dir_.string());
    a.push_back("e");
    return a;
  }
};

// Each change, then a -u run beside a run of every log: the same tables,
// and only what changed read; options of another run, damaged kept state
// and a table changed by hand make every log measured again, and a note
// says why.
TEST_F(MeasuresUpdate, EqualsARunOfEveryLog) {
  write_map({"east", "west", "north"});
  deliver("east", 8, 0, 23, 1);
  deliver("west", 8, 0, 22, 2);
  const fs::path out = root_ / "out", kept = out / ".quillon-measures";
  struct Change {
    const char* what;
    std::function<void()> make;
    std::vector<std::string> options;
    const char* note;     // why the -u run's note says all is measured again, or none
    bool little = false;  // a small share of the events is read
    bool untouched = false;  // the tables keep their modification times
  };
  const std::vector<Change> changes = {
      {"the first run", [] {}, {}, nullptr},
      {"nothing new", [] {}, {}, nullptr, true, true},
      {"an hour each", [&] { deliver("east", 9, 0, 0, 3); deliver("west", 8, 23, 23, 2); }, {},
       nullptr, true},
      {"hours across midnight", [&] { deliver("west", 9, 0, 1, 4); }, {}, nullptr, true},
      {"an hour replaced", [&] { deliver("east", 8, 5, 5, 9); }, {}, nullptr},
      {"an hour removed", [&] { fs::remove(dir_ / "west" / "2022_06_08_03.dat"); }, {}, nullptr},
      {"an hour compressed",
       [&] {
         const fs::path log = dir_ / "east" / "2022_06_09_00.dat";
         write_file(log.string() + ".gz", gzip_bytes(read_file(log)));
         fs::remove(log);
       },
       {}, nullptr},
      {"a late hour", [&] { deliver("west", 8, 3, 3, 2); }, {}, nullptr},
      {"a new signal", [&] { deliver("north", 9, 0, 2, 5); }, {}, nullptr},
      {"a signal gone", [&] { fs::remove_all(dir_ / "north"); }, {}, nullptr, true},
      {"other bins", [] {}, {"--bin", "5"}, "made with another --bin"},
      {"another map", [&] { write_map({"east"}); }, {"--bin", "5"},
       "made with another --detectors"},
      {"kept state damaged",
       [&] {
         std::string bytes = read_file(kept);
         bytes[bytes.size() / 2] ^= 0x55;
         write_file(kept, bytes);
       },
       {"--bin", "5"}, ".quillon-measures) is damaged"},
      {"a table changed by hand",
       [&] { write_file(out / "logs.csv", read_file(out / "logs.csv") + "x\n"); },
       {"--bin", "5"}, "logs.csv changed since the last run with -u"},
      {"an hour after", [&] { deliver("east", 9, 1, 1, 3); }, {"--bin", "5"}, nullptr, true},
  };
  for (const Change& change : changes) {
    change.make();
    std::vector<std::string> update = args("measures", out, change.options);
    update.insert(update.begin(), "-u");
    const fs::path logs = out / "logs.csv";
    const auto written = fs::exists(logs) ? fs::last_write_time(logs) : fs::file_time_type();
    const ToolRun run = quillon(update);
    ASSERT_EQ(run.status, 0) << change.what << ": " << run.err;
    const fs::path full = root_ / "full";
    fs::remove_all(full);
    const ToolRun reference = quillon(args("measures", full, change.options));
    ASSERT_EQ(reference.status, 0) << reference.err;
    expect_same(out, full, change.what);
    if (change.note != nullptr) {
      EXPECT_EQ(run.err.rfind("Note: every log is measured again for ", 0), 0u) << change.what;
      EXPECT_NE(run.err.find(change.note), std::string::npos) << change.what << ": " << run.err;
    } else {
      EXPECT_EQ(run.err.find("Note:"), std::string::npos) << change.what << ": " << run.err;
    }
    if (change.little) {
      EXPECT_LT(events_read(run.err) * 10, events_read(reference.err)) << change.what;
    }
    EXPECT_EQ(fs::last_write_time(logs) == written, change.untouched) << change.what;
    EXPECT_TRUE(fs::exists(kept)) << change.what;
    EXPECT_FALSE(fs::exists(full / ".quillon-measures"));
  }
}

// The report: each -u run's pages are those of a run of every log, and
// the pages of days that did not change keep their modification time.
TEST_F(MeasuresUpdate, ReportRewritesOnlyPagesThatChanged) {
  write_map({"east"});
  deliver("east", 8, 0, 23, 1);
  deliver("east", 9, 0, 0, 2);
  const fs::path out = root_ / "out", full = root_ / "full";
  std::vector<std::string> update = args("report", out);
  update.insert(update.begin(), "-u");
  ASSERT_EQ(quillon(update).status, 0);
  // What the report kept then, as a run killed after its tables took their
  // names and before its pages did would leave it.
  const std::string first_pages = read_file(out / ".quillon-pages");
  const fs::path day8 = out / "east" / "2022-06-08.html", day9 = out / "east" / "2022-06-09.html";
  struct Change {
    const char* what;
    std::function<void()> make;
    bool day8_kept;  // the page of the 8th is left as it was
  };
  const std::vector<Change> changes = {
      {"nothing new", [] {}, true},
      {"an hour", [&] { deliver("east", 9, 1, 1, 2); }, true},
      {"a day's first hour", [&] { deliver("east", 10, 0, 0, 3); }, true},
      {"pages kept of other measures",
       [&] {
         write_file(out / ".quillon-pages", first_pages);
         deliver("east", 10, 1, 1, 3);
       },
       true},
      {"a page removed", [&] { fs::remove(day9); }, true},
      {"an hour of the 8th replaced", [&] { deliver("east", 8, 20, 20, 4); }, false},
  };
  for (const Change& change : changes) {
    const auto old = fs::file_time_type::clock::now() - std::chrono::hours(1);
    fs::last_write_time(day8, old);
    change.make();
    const ToolRun run = quillon(update);
    ASSERT_EQ(run.status, 0) << run.err;
    fs::remove_all(full);
    ASSERT_EQ(quillon(args("report", full)).status, 0);
    expect_same(out, full, change.what);
    EXPECT_EQ(fs::last_write_time(day8) == old, change.day8_kept) << change.what;
  }
}

// Killed at any moment, a -u run leaves every table whole: the last
// complete run's or its own (the tables take their names one after the
// other, within a few milliseconds: killed between two, the next run finds
// them and the kept state at odds and measures every log), and the next
// run completes them.
TEST_F(MeasuresUpdate, KilledRunsLeaveTheLastCompleteTables) {
  if (tool().windows) GTEST_SKIP() << "POSIX signals";
  write_map({"east", "west"});
  const fs::path out = root_ / "out", full = root_ / "full";
  std::vector<std::string> update = args("report", out);
  update.insert(update.begin(), "-u");
  deliver("east", 8, 0, 11, 1);
  deliver("west", 8, 0, 11, 2);
  ASSERT_EQ(quillon(update).status, 0);
  int hour = 12;
  for (int delay_ms : {2, 10, 25, 50, 80, 120, 160, 220, 300}) {
    const std::map<std::string, std::string> before = files(out / "measures", false);
    deliver("east", 8, hour, hour, 1);
    deliver("west", 8, hour, hour, 2);
    ++hour;
    const pid_t pid = start_tool(update, root_);
    std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
    kill(pid, SIGKILL);
    finish_tool(pid, root_);
    // Each table the run before's, or this one's whole.
    fs::remove_all(full);
    ASSERT_EQ(quillon(args("measures", full)).status, 0);
    const std::map<std::string, std::string> after = files(out / "measures", false),
                                             whole = files(full);
    ASSERT_EQ(after.size(), whole.size()) << delay_ms << " ms";
    for (const auto& [name, text] : after) {
      auto was = before.find(name);
      EXPECT_TRUE((was != before.end() && text == was->second) || text == whole.at(name))
          << name << ", killed at " << delay_ms << " ms";
    }
  }
  ASSERT_EQ(quillon(update).status, 0);
  fs::remove_all(full);
  ASSERT_EQ(quillon(args("report", full)).status, 0);
  expect_same(out, full, "after the killed runs");
}

}  // namespace
