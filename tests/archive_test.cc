// The options for archives: -k (read archives as they are), -o (CSVs
// elsewhere), -r (the whole tree), -j (several logs at once), -t (check
// only), -q (no progress line), end to end.

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "run/options.h"
#include "tests/tool_runner.h"
#include "tools/loggen.h"

namespace {

// Every file and directory below `root`, with what a run must not change:
// contents, modification time and permission bits.
std::map<std::string, std::string> snapshot(const fs::path& root) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    struct stat st;
    lstat(e.path().c_str(), &st);
    std::string what = std::to_string(st.st_mtim.tv_sec) + "." +
                       std::to_string(st.st_mtim.tv_nsec) + " " +
                       std::to_string(st.st_mode);
    if (e.is_regular_file()) what += " " + read_file(e.path());
    files[fs::relative(e.path(), root).string()] = what;
  }
  return files;
}

class Archives : public Cli {
 protected:
  // A log per hour, its archive, and damaged archives: cut short, corrupt,
  // not gzip at all.
  void make_logs(const fs::path& dir, int seed) {
    fs::create_directories(dir);
    std::string a = log(6, seed), b = log(7, seed + 1);
    write_file(dir / "2022_06_08_01.dat", a);
    write_file(dir / "2022_06_08_02.dat.gz", gzip_bytes(b));
    std::string gz = gzip_bytes(log(5, seed + 2));
    write_file(dir / "2022_06_08_03.dat.gz", gz.substr(0, gz.size() / 2));
    std::string corrupt = gz;
    corrupt[corrupt.size() - 6] ^= 0x55;
    write_file(dir / "2022_06_08_04.dat.gz", corrupt);
    write_file(dir / "2022_06_08_05.dat.gz", "plain text\n");
  }
  // What a run that reads the damaged archives of make_logs(dir) says.
  static std::string damage_messages(const fs::path& dir) {
    return error(tool_path(dir, "2022_06_08_03.dat.gz") +
                 ": unexpected end of file") +
           error(tool_path(dir, "2022_06_08_04.dat.gz") +
                 ": invalid compressed data: incorrect data check") +
           error(tool_path(dir, "2022_06_08_05.dat.gz") + ": not in gzip format");
  }
};

// With -k the archives are read as they are: the directory is left exactly
// as it was, and each CSV is what the two-argument run writes for the log.
TEST_F(Archives, KeepReadsArchivesAsTheyAre) {
  make_logs(dir_, 1);
  std::string x = log(6, 9), w = log(4, 10);
  write_file(dir_ / "2022_06_08_06.DAT.GZ", gzip_bytes(x));
  write_file(dir_ / "2022_06_08_07.dat", w);
  write_file(dir_ / "2022_06_08_07.dat.gz", gzip_bytes(log(4, 11)));
  write_file(dir_ / "notes.txt.gz", gzip_bytes("not a log"));
  fs::path out = root_ / "out";
  auto before = snapshot(dir_);
  ToolRun run = quillon({"-k", "-o", out.string(), dir_.string(), "p"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(snapshot(dir_), before);
  EXPECT_EQ(run.err,
            damage_messages(dir_) +
                text("Note: " + tool_path(dir_, "2022_06_08_07.dat.gz") +
                     " is skipped: " + tool_path(dir_, "2022_06_08_07.dat") +
                     " is converted instead\n"));
  EXPECT_EQ(entries(out),
            (std::set<std::string>{"2022_06_08_01.csv", "2022_06_08_02.csv",
                                   "2022_06_08_03.csv", "2022_06_08_04.csv",
                                   "2022_06_08_05.csv", "2022_06_08_06.csv",
                                   "2022_06_08_07.csv"}));
  EXPECT_EQ(read_file(out / "2022_06_08_01.csv"),
            csv(log(6, 1), "2022_06_08_01.dat", Mode::kProprietary));
  EXPECT_EQ(read_file(out / "2022_06_08_02.csv"),
            csv(log(7, 2), "2022_06_08_02.dat", Mode::kProprietary));
  EXPECT_EQ(read_file(out / "2022_06_08_06.csv"),
            csv(x, "2022_06_08_06.DAT", Mode::kProprietary));
  EXPECT_EQ(read_file(out / "2022_06_08_07.csv"),
            csv(w, "2022_06_08_07.dat", Mode::kProprietary));
  // A damaged archive keeps the rows read before the damage.
  std::string cut = read_file(out / "2022_06_08_03.csv");
  EXPECT_EQ(cut.rfind(text(header_rows(5)), 0), 0u) << cut.substr(0, 300);
  EXPECT_NE(cut.find(text("\n ")), std::string::npos);
  for (const char* name : {"2022_06_08_03.csv", "2022_06_08_04.csv", "2022_06_08_05.csv"}) {
    std::string damaged = read_file(out / name);
    EXPECT_EQ(damaged.substr(damaged.size() - text(",Error: bad file read\n").size()),
              text(",Error: bad file read\n"))
        << name;
  }
  EXPECT_EQ(read_file(out / "2022_06_08_05.csv"), text(",Error: bad file read\n"));
}

// -k -o on a directory nobody may write to: it is only read.
TEST_F(Archives, ReadOnlyTreeIsLeftAsItWas) {
  if (tool().windows) GTEST_SKIP() << "runs as another user";
  std::string why;
  if (!tool_runs_as_nobody(&why)) GTEST_SKIP() << why;
  make_logs(dir_ / "north" / "elm_st", 3);
  make_logs(dir_, 4);
  fs::path out = root_ / "out";
  fs::create_directory(out);
  chown(out.c_str(), 65534, 65534);
  for (const auto& e : fs::recursive_directory_iterator(dir_))
    chmod(e.path().c_str(), e.is_directory() ? 0555 : 0444);
  chmod(dir_.c_str(), 0555);
  auto before = snapshot(dir_);
  ToolRun run = quillon({"-k", "-r", "-o", out.string(), dir_.string(), "e"},
                        {.as_nobody = true});
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_EQ(snapshot(dir_), before);
  EXPECT_EQ(read_file(out / "north" / "elm_st" / "2022_06_08_02.csv"),
            csv(log(7, 4), "2022_06_08_02.dat", Mode::kStandard));
  EXPECT_EQ(read_file(out / "2022_06_08_01.csv"),
            csv(log(6, 4), "2022_06_08_01.dat", Mode::kStandard));
  for (const auto& e : fs::recursive_directory_iterator(dir_))
    chmod(e.path().c_str(), 0755);
}

// -r: every sub-directory in name order, depth first, each into its own
// csv_files_<letter> or, with -o, the same path below OUT. Output
// directories and links to directories are not searched.
TEST_F(Archives, RecursiveTree) {
  make_logs(dir_ / "north" / "elm_st", 10);
  make_logs(dir_ / "north" / "ash_st", 20);
  make_logs(dir_ / "south", 30);
  write_file(dir_ / "2022_06_08_00.dat", log(6, 40));
  fs::create_directories(dir_ / "empty" / "deeper");
  fs::create_directories(dir_ / "csv_files_x");
  write_file(dir_ / "csv_files_x" / "stray.dat", log(6, 50));
  fs::create_directory_symlink(dir_ / "south", dir_ / "link_to_south");

  // Without -o: in place, the archives decompressed as in a plain run.
  ToolRun run = quillon({"-r", dir_.string(), "e"});
  EXPECT_EQ(run.status, 1);
  const std::vector<std::string> kOrder = {"", "north/ash_st", "north/elm_st", "south"};
  std::string expected;
  for (const std::string& rel : kOrder) {
    fs::path d = rel.empty() ? dir_ : dir_ / rel;
    if (rel.empty()) continue;
    EXPECT_TRUE(fs::exists(d / "csv_files_e" / "2022_06_08_01.csv")) << rel;
    EXPECT_TRUE(fs::exists(d / "2022_06_08_02.dat")) << rel;  // decompressed
    std::string path = tool_path(dir_, rel);
    expected += error(path + (tool().windows ? "\\" : "/") +
                      "2022_06_08_03.dat.gz: unexpected end of file");
    expected += error(path + (tool().windows ? "\\" : "/") +
                      "2022_06_08_04.dat.gz: invalid compressed data: incorrect data check");
    expected += error(path + (tool().windows ? "\\" : "/") +
                      "2022_06_08_05.dat.gz: not in gzip format");
  }
  EXPECT_EQ(run.err, expected);
  EXPECT_FALSE(fs::exists(dir_ / "empty" / "csv_files_e"));
  EXPECT_FALSE(fs::exists(dir_ / "csv_files_x" / "csv_files_e"));
  EXPECT_EQ(read_file(dir_ / "csv_files_e" / "2022_06_08_00.csv"),
            csv(log(6, 40), "2022_06_08_00.dat", Mode::kStandard));

  // With -k -o into a folder inside the tree: the same relative paths, and
  // the folder itself is not searched on a second run. The damaged archives
  // left by the first run are read as far as they go.
  fs::path out = dir_ / "converted";
  for (int round = 0; round < 2; ++round) {
    ToolRun keep = quillon({"-k", "-r", "-o", out.string(), dir_.string(), "e"});
    EXPECT_EQ(keep.status, 1);
    EXPECT_EQ(keep.err, expected);
    EXPECT_EQ(read_file(out / "north" / "elm_st" / "2022_06_08_02.csv"),
              csv(log(7, 11), "2022_06_08_02.dat", Mode::kStandard));
    EXPECT_FALSE(fs::exists(out / "converted"));
    EXPECT_FALSE(fs::exists(out / "link_to_south"));
    EXPECT_FALSE(fs::exists(out / "empty"));
  }

  // A tree without a log says so once, with the pattern of the argument.
  fs::path bare = root_ / "bare";
  fs::create_directories(bare / "a" / "b");
  ToolRun none = quillon({"-r", bare.string(), "e"});
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(none.err, text("Failed to find any .dat files in " +
                           tool_path(bare, "*.dat") + "\n"));
}

// Several logs at once write the same CSVs and print the same messages in
// the same order as one at a time.
TEST_F(Archives, JobsChangeNothingButTime) {
  for (const char* d : {"a", "b", "c"}) {
    make_logs(dir_ / d, d[0]);
    write_file(dir_ / d / "bad_type.dat", log(6, 7) + encode_record({102, 0, {}}));
    write_file(dir_ / d / "x.DAT", log(6, 8));
    if (!tool().windows) write_file(dir_ / d / "x.dat", log(6, 9));
    for (int i = 0; i < 20; ++i)
      write_file(dir_ / d / ("AB_17_2022_06_08_" + std::to_string(10 + i) + ".dat"),
                 make_log(7, random_records(7, 3000, i, {})));
  }
  std::map<std::string, std::string> first;
  std::string first_err;
  const fs::path out = root_ / "out";
  for (const char* jobs : {"1", "4", "0"}) {
    fs::remove_all(out);
    ToolRun run = quillon({"-k", "-r", "-j", jobs, "-o", out.string(), dir_.string(), "p"});
    EXPECT_EQ(run.status, 1);
    std::map<std::string, std::string> csvs;
    for (const auto& e : fs::recursive_directory_iterator(out))
      if (e.is_regular_file())
        csvs[fs::relative(e.path(), out).string()] = read_file(e.path());
    if (first.empty()) {
      first = csvs;
      first_err = run.err;
      EXPECT_EQ(csvs.size(), 3u * 27u);
      EXPECT_NE(run.err.find("bad event type 102"), std::string::npos);
      continue;
    }
    EXPECT_EQ(csvs, first) << "-j " << jobs;
    EXPECT_EQ(run.err, first_err) << "-j " << jobs;
  }

  // In the two-argument run a CSV that cannot be opened stops the run after
  // the same messages, and no later log publishes a CSV.
  const fs::path b = dir_ / "b";
  std::map<std::string, std::string> stopped[2];
  std::string stop_err[2];
  for (int i = 0; i < 2; ++i) {
    fs::remove_all(b / "csv_files_p");
    fs::create_directories(b / "csv_files_p" / "AB_17_2022_06_08_12.csv");
    ToolRun run = quillon({"-k", "-j", i == 0 ? "1" : "4", b.string(), "p"});
    EXPECT_EQ(run.status, 1);
    stop_err[i] = run.err;
    for (const auto& e : fs::directory_iterator(b / "csv_files_p"))
      stopped[i][e.path().filename().string()] =
          e.is_regular_file() ? read_file(e.path()) : "";
  }
  EXPECT_EQ(stop_err[1], stop_err[0]);
  EXPECT_EQ(stopped[1], stopped[0]);
  // 01 to 05, AB_..._10 and AB_..._11, and the directory.
  EXPECT_EQ(stopped[0].size(), 8u);
  EXPECT_NE(stop_err[0].find("Failed to open"), std::string::npos);
  // The logs after the stop are not read: nothing is said of them.
  EXPECT_EQ(stop_err[0].find(tool_path(b, "bad_type.dat")), std::string::npos)
      << stop_err[0];
}

// -t reads every log and archive, reports what a conversion would, and
// writes nothing at all.
TEST_F(Archives, TestWritesNothing) {
  make_logs(dir_, 60);
  write_file(dir_ / "2022_06_08_09.dat", log(6, 7) + encode_record({102, 0, {}}));
  auto before = snapshot(dir_);
  ToolRun run = quillon({"-t", dir_.string(), "e"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(snapshot(dir_), before);
  EXPECT_EQ(run.err, damage_messages(dir_) +
                         error(tool_path(dir_, "2022_06_08_09.dat") +
                               ": bad event type 102"));

  fs::path sound = root_ / "sound";
  fs::create_directory(sound);
  write_file(sound / "2022_06_08_01.dat", log(6, 1));
  write_file(sound / "2022_06_08_02.dat.gz", gzip_bytes(log(7, 2)));
  ToolRun ok = quillon({"--test", "-j", "2", sound.string(), "p"});
  EXPECT_EQ(ok.status, 0) << ok.err;
  EXPECT_EQ(ok.err, "");
  EXPECT_EQ(entries(sound), (std::set<std::string>{"2022_06_08_01.dat",
                                                   "2022_06_08_02.dat.gz"}));
}

// -q: no progress line, even on a terminal.
TEST_F(Archives, QuietOnATerminal) {
  if (tool().windows) GTEST_SKIP() << "wine's console is not a POSIX terminal";
  write_file(dir_ / "2022_06_08_01.dat", log(6, 1));
  ToolRun loud = run_tool_on_terminal({dir_.string(), "p"}, 80);
  ToolRun quiet = run_tool_on_terminal({"-q", dir_.string(), "p"}, 80);
  EXPECT_NE(loud.err.find("[0/1]"), std::string::npos);
  EXPECT_EQ(quiet.err, "");
  EXPECT_EQ(quiet.status, 0);
}

// Two arguments are the directory and the mode, whatever they look like;
// "--" lets a directory look like an option after others.
TEST_F(Archives, OptionLookingDirectories) {
  fs::path odd = root_ / "-k";
  fs::create_directory(odd);
  write_file(odd / "2022_06_08_01.dat", log(6, 1));
  // Started in root_, as "quillon -k e" and "quillon -q -- -k e".
  ToolRun plain = run_tool({"-k", "e"}, root_, {.cwd = root_});
  EXPECT_EQ(plain.status, 0) << plain.err;
  EXPECT_TRUE(fs::exists(odd / "csv_files_e" / "2022_06_08_01.csv"));
  ToolRun dashed = run_tool({"-q", "--", "-k", "p"}, root_, {.cwd = root_});
  EXPECT_EQ(dashed.status, 0) << dashed.err;
  EXPECT_TRUE(fs::exists(odd / "csv_files_p" / "2022_06_08_01.csv"));
  ToolRun bad = quillon({"-z", dir_.string(), "p"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_EQ(bad.err, text(usage_error_text("unknown option '-z'")));
}

}  // namespace
