// The tool's behaviour, end to end: arguments, decompression, conversion,
// names and messages.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "run/options.h"
#include "tests/tool_runner.h"
#include "tools/loggen.h"

namespace {

TEST_F(Cli, UsageAndExitStatus) {
  struct Case {
    std::vector<std::string> args;
    int status;
  };
  const Case kCases[] = {
      {{}, 2},         {{"x"}, 2},           {{"x", "p", "y"}, 2},
      {{"", "p"}, 2},  {{"x", ""}, 2},       {{"-h"}, 0},
      {{"--help"}, 0}, {{"/?"}, 0},
  };
  // Help asked for goes to the standard output, as --help | grep wants it;
  // a wrong command line's usage text to the standard error stream.
  for (const Case& c : kCases) {
    ToolRun run = quillon(c.args);
    EXPECT_EQ(run.status, c.status) << testing::PrintToString(c.args);
    EXPECT_EQ(c.status == 0 ? run.out : run.err, text(usage_text()));
    EXPECT_EQ(c.status == 0 ? run.err : run.out, "");
  }
  EXPECT_EQ(entries(root_), std::set<std::string>{"logs"});

  ToolRun version = quillon({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, text(kVersionLine));
  // The eight pieces of the usage text stand first, word for word; the
  // options follow them.
  const std::string kPieces =
      "Tavrin Quillon V 2.1. Complies to Traffic Signal Hi Resolution Data "
      "Enumerations 2020 standard TPF-5 (377).\n\n"
      "Usage:\n"
      "    quillon <directory to look in> <p=proprietary file e=standard "
      "enumeration file>\n\n"
      "Examples:\n"
      "  Ex 1. To read all files in the current directory where quillon is "
      "located and convert to standard format:\n"
      "    quillon . e\n"
      "  Ex 2. To read all files in the directory C:\\Data and convert to "
      "standard format:\n"
      "    quillon \"C:\\Data\" e\n";
  EXPECT_EQ(usage_text().substr(0, kPieces.size() + 10),
            kPieces + "\nOptions:\n");
  EXPECT_EQ(usage_text().find(kVersionLine), 0u);
  // Only alone: with a mode it is a directory name like any other.
  EXPECT_EQ(quillon({"--version", "p"}).err,
            text("Failed to find any .dat files in " +
                 std::string(tool().windows ? "--version\\*.dat" : "--version/*.dat") +
                 "\n"));
}

TEST_F(Cli, ModeLetter) {
  std::string bytes = log(6);
  struct Case {
    const char* arg;
    const char* out_dir;
    Mode mode;
  };
  const Case kCases[] = {{"p", "csv_files_p", Mode::kProprietary},
                         {"e", "csv_files_e", Mode::kStandard},
                         {"P", "csv_files_P", Mode::kStandard},
                         {"proprietary", "csv_files_p", Mode::kProprietary},
                         {"x", "csv_files_x", Mode::kStandard}};
  for (const Case& c : kCases) {
    // A directory each: on Windows csv_files_p and csv_files_P are one.
    fs::path dir = root_ / c.arg;
    fs::create_directory(dir);
    write_file(dir / "2022_06_08_13.dat", bytes);
    ToolRun run = quillon({dir.string(), c.arg});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(entries(dir), (std::set<std::string>{"2022_06_08_13.dat", c.out_dir}));
    EXPECT_EQ(read_file(dir / c.out_dir / "2022_06_08_13.csv"),
              csv(bytes, "2022_06_08_13.dat", c.mode))
        << c.arg;
  }
}

TEST_F(Cli, DecompressesThenConverts) {
  std::string x = log(5, 1), y = log(4, 2), z = log(7, 3), w = log(6, 4);
  write_file(dir_ / "2022_06_08_01.dat.gz", gzip_bytes(x));
  write_file(dir_ / "2022_06_08_02.dat", y);
  // Concatenated members are one file, as gzip reads them; padding zeros
  // after the last member are ignored.
  write_file(dir_ / "2022_06_08_03.DAT.GZ",
             gzip_bytes(z.substr(0, 1000)) + gzip_bytes(z.substr(1000)) +
                 std::string(10, '\0'));
  write_file(dir_ / "2022_06_08_04.Dat", w);
  ToolRun run = quillon({dir_.string(), "p"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(entries(dir_),
            (std::set<std::string>{"2022_06_08_01.dat", "2022_06_08_02.dat",
                                   "2022_06_08_03.DAT", "2022_06_08_04.Dat",
                                   "csv_files_p"}));
  EXPECT_EQ(read_file(dir_ / "2022_06_08_01.dat"), x);
  EXPECT_EQ(read_file(dir_ / "2022_06_08_03.DAT"), z);
  const struct {
    const char* log;
    const std::string& bytes;
  } kLogs[] = {{"2022_06_08_01.dat", x}, {"2022_06_08_02.dat", y},
               {"2022_06_08_03.DAT", z}, {"2022_06_08_04.Dat", w}};
  for (const auto& l : kLogs) {
    std::string csv_name = std::string(l.log).substr(0, 14) + "csv";
    EXPECT_EQ(read_file(dir_ / "csv_files_p" / csv_name),
              csv(l.bytes, l.log, Mode::kProprietary))
        << l.log;
  }
}

// Only names that really end in .dat are logs: not x.data (which Windows also
// finds for "*.dat" through its short name X~1.DAT), not x.dat.bak, not a
// directory.
TEST_F(Cli, OnlyRealLogNamesMatch) {
  std::string bytes = log(6);
  write_file(dir_ / "2022_06_08_13.dat", bytes);
  write_file(dir_ / "2022_06_08_14.data", bytes);
  write_file(dir_ / "2022_06_08_15.dat.bak", bytes);
  write_file(dir_ / "notes.txt", "not a log");
  fs::create_directory(dir_ / "2022_06_08_16.dat");
  ToolRun run = quillon({dir_.string(), "e"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(entries(dir_ / "csv_files_e"),
            std::set<std::string>{"2022_06_08_13.csv"});
}

// Names are UTF-8 inside the tool on every system: a name outside any ANSI
// code page is found, converted, dated and reported as it is.
TEST_F(Cli, NonAsciiNames) {
  fs::path dir = root_ / "北京路 Façade";
  fs::create_directory(dir);
  // 26 bytes, so the first two fields are skipped as in any long name.
  const std::string name = "Façade_北_2022_06_08_13.dat";
  std::string good = log(6);
  std::string bad = log(7) + encode_record({200, 0, {}});
  write_file(dir / name, good);
  write_file(dir / "Ωmega_17_2022_06_08_14.dat.gz", gzip_bytes(bad));
  ToolRun run = quillon({dir.string(), "p"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, error(tool_path(dir, "Ωmega_17_2022_06_08_14.dat") +
                           ": bad event type 200"));
  EXPECT_EQ(read_file(dir / "csv_files_p" / "Façade_北_2022_06_08_13.csv"),
            csv(good, name, Mode::kProprietary));
  EXPECT_NE(csv(good, name, Mode::kProprietary).find(" 06/08/2022 13:"),
            std::string::npos);
  EXPECT_EQ(read_file(dir / "csv_files_p" / "Ωmega_17_2022_06_08_14.csv"),
            csv(bad, "Ωmega_17_2022_06_08_14.dat", Mode::kProprietary));
  EXPECT_FALSE(fs::exists(dir / "Ωmega_17_2022_06_08_14.dat.gz"));
}

// A path beyond the classic Windows limit of 260 characters works as any.
TEST_F(Cli, LongPaths) {
  fs::path dir = root_;
  while (dir.string().size() < 400) dir /= std::string(60, 'd');
  fs::create_directories(dir);
  std::string bytes = log(6);
  write_file(dir / "2022_06_08_13.dat", bytes);
  write_file(dir / "2022_06_08_14.dat.gz", gzip_bytes(bytes));
  ToolRun run = quillon({dir.string(), "e"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  for (const char* hour : {"13", "14"}) {
    std::string name = std::string("2022_06_08_") + hour;
    EXPECT_EQ(read_file(dir / "csv_files_e" / (name + ".csv")),
              csv(bytes, name + ".dat", Mode::kStandard));
  }
}

// Header lines are echoed as read; written as text on Windows, a line that
// ends "\r\n" itself ends "\r\r\n" there.
TEST_F(Cli, HeaderLineEnds) {
  std::string bytes =
      "a b c d e 6\r\nsecond\r\n0123456789:x\r\nBinary Data Follows:\r\n" +
      encode_record({25, 100, {5}});
  write_file(dir_ / "2022_06_08_13.dat", bytes);
  ToolRun run = quillon({dir_.string(), "p"});
  EXPECT_EQ(run.status, 0) << run.err;
  std::string expected = csv(bytes, "2022_06_08_13.dat", Mode::kProprietary);
  EXPECT_EQ(read_file(dir_ / "csv_files_p" / "2022_06_08_13.csv"), expected);
  EXPECT_NE(expected.find(tool().windows ? ",,second\r\r\n" : ",,second\r\n"),
            std::string::npos);
}

TEST_F(Cli, DecompressionFailuresKeepTheArchive) {
  std::string good = gzip_bytes(log(6));
  std::string corrupt = good;
  corrupt[corrupt.size() - 6] ^= 0x55;  // the stored CRC no longer matches
  struct Case {
    const char* name;
    std::string bytes;
    std::string reason;
  };
  const Case kCases[] = {
      {"a.dat.gz", "plain text, not gzip\n", "not in gzip format"},
      {"b.dat.gz", good.substr(0, good.size() / 2), "unexpected end of file"},
      {"c.dat.gz", corrupt, "invalid compressed data"},
      {"d.dat.gz", good, tool_path(dir_, "d.dat") + " already exists"},
      {"e.dat.gz", "", "unexpected end of file"},
      {"f.dat.gz", good + "trailing junk", "trailing garbage"},
  };
  std::string existing = log(6, 9);
  write_file(dir_ / "d.dat", existing);
  for (const Case& c : kCases) write_file(dir_ / c.name, c.bytes);
  write_file(dir_ / "ok.dat.gz", good);

  ToolRun run = quillon({dir_.string(), "e"});
  EXPECT_EQ(run.status, 1);
  std::set<std::string> expected = {"d.dat", "ok.dat", "csv_files_e"};
  for (const Case& c : kCases) {
    expected.insert(c.name);
    EXPECT_EQ(read_file(dir_ / c.name), c.bytes) << c.name;
    std::string message = "Error: " + tool_path(dir_, c.name) + ": " + c.reason;
    EXPECT_NE(run.err.find(message), std::string::npos)
        << message << "\nin:\n" << run.err;
  }
  // Nothing else: no targets, no temporary files.
  EXPECT_EQ(entries(dir_), expected);
  EXPECT_EQ(read_file(dir_ / "d.dat"), existing);
  EXPECT_EQ(entries(dir_ / "csv_files_e"),
            (std::set<std::string>{"d.csv", "ok.csv"}));
}

// Names are only names: no shell ever sees them.
TEST_F(Cli, NamesWithShellCharacters) {
  const char* names[] = {"a b;touch pwned_1_2022_06_08_13.dat.gz",
                         "$(touch pwned2) & x_2_2022_06_08_14.dat",
                         "%PATH% !x! ^_3_2022_06_08_15.dat"};
  std::string bytes = log(6);
  write_file(dir_ / names[0], gzip_bytes(bytes));
  write_file(dir_ / names[1], bytes);
  write_file(dir_ / names[2], bytes);
  ToolRun run = quillon({dir_.string(), "p"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(entries(dir_),
            (std::set<std::string>{"a b;touch pwned_1_2022_06_08_13.dat",
                                   names[1], names[2], "csv_files_p"}));
  EXPECT_EQ(entries(dir_ / "csv_files_p"),
            (std::set<std::string>{"a b;touch pwned_1_2022_06_08_13.csv",
                                   "$(touch pwned2) & x_2_2022_06_08_14.csv",
                                   "%PATH% !x! ^_3_2022_06_08_15.csv"}));
  EXPECT_FALSE(fs::exists("pwned"));
  EXPECT_FALSE(fs::exists("pwned2"));
}

TEST_F(Cli, NoLogFiles) {
  // Neither an empty directory, nor a sub-directory named like a log, nor a
  // directory that does not exist (which is left uncreated).
  fs::create_directory(dir_ / "x.dat");
  for (const fs::path& dir : {dir_, root_ / "missing"}) {
    ToolRun run = quillon({dir.string(), "p"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, text("Failed to find any .dat files in " +
                            tool_path(dir, "*.dat") + "\n"));
  }
  EXPECT_FALSE(fs::exists(root_ / "missing"));
  EXPECT_EQ(entries(dir_), (std::set<std::string>{"x.dat", "csv_files_p"}));
}

// --since and --until: the logs of other days, and logs of no date, are
// not read, not decompressed and not reported, in the plain run and the
// events table alike; a run left with no log says which days it looked for.
TEST_F(Cli, DaysToRead) {
  const std::map<std::string, std::string> kLogs = {
      {"2022_06_07_23.dat.gz", log(6, 1)}, {"2022_06_08_00.dat", log(6, 2)},
      {"2022_06_08_13.dat.gz", log(5, 3)}, {"2022_06_09_00.dat", log(6, 4)},
      {"undated.dat", log(6, 5)}};
  const struct {
    std::vector<std::string> days;
    std::set<std::string> read;  // of kLogs
  } kCases[] = {
      {{"--since", "2022-06-08", "--until", "2022-06-08"},
       {"2022_06_08_00.dat", "2022_06_08_13.dat.gz"}},
      {{"--since", "2022-06-09"}, {"2022_06_09_00.dat"}},
      {{"--until", "2022-06-07"}, {"2022_06_07_23.dat.gz"}},
      {{"--since", "2022-06-10"}, {}},
  };
  auto write_logs = [this, &kLogs](const std::set<std::string>* only) {
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    for (const auto& [name, bytes] : kLogs) {
      if (only != nullptr && only->count(name) == 0) continue;
      write_file(dir_ / name, name.find(".gz") != std::string::npos ? gzip_bytes(bytes) : bytes);
    }
  };
  for (const auto& c : kCases) {
    for (const bool table : {false, true}) {
      const std::string what = c.days[1] + (table ? " -f events" : "");
      std::vector<std::string> args = {"-k", "-f", "events", "-o", (root_ / "t.csv").string(),
                                       dir_.string(), "p"};
      if (!table) args = {dir_.string(), "p"};
      // The table of the days' logs alone.
      std::string expected;
      if (table && !c.read.empty()) {
        write_logs(&c.read);
        ASSERT_EQ(quillon(args).status, 0) << what;
        expected = read_file(root_ / "t.csv");
      }
      write_logs(nullptr);
      args.insert(args.begin(), c.days.begin(), c.days.end());
      ToolRun run = quillon(args);
      if (c.read.empty()) {
        EXPECT_EQ(run.status, 1) << what;
        EXPECT_EQ(run.err.substr(0, run.err.find('\n') + 1),
                  text("Failed to find any .dat files of the days from 2022-06-10 in " +
                       tool_path(dir_, "*.dat") + "\n"))
            << what;
        continue;
      }
      EXPECT_EQ(run.status, 0) << what << run.err;
      EXPECT_EQ(run.err, "") << what;
      if (table) {
        EXPECT_EQ(read_file(root_ / "t.csv"), expected) << what;
        continue;
      }
      std::set<std::string> csvs;
      for (const std::string& name : c.read) {
        csvs.insert(name.substr(0, 14) + "csv");
        EXPECT_EQ(read_file(dir_ / "csv_files_p" / (name.substr(0, 14) + "csv")),
                  csv(kLogs.at(name), name.substr(0, 17), Mode::kProprietary))
            << what;
      }
      EXPECT_EQ(entries(dir_ / "csv_files_p"), csvs) << what;
      // An archive of another day is left as it came.
      for (const auto& [name, bytes] : kLogs) {
        if (name.find(".gz") != std::string::npos && c.read.count(name) == 0) {
          EXPECT_TRUE(fs::exists(dir_ / name)) << what << " " << name;
        }
      }
    }
  }
}

TEST_F(Cli, RerunOverwrites) {
  write_file(dir_ / "2022_06_08_13.dat", log(6, 1));
  ASSERT_EQ(quillon({dir_.string(), "p"}).status, 0);
  std::string second = log(6, 2);
  write_file(dir_ / "2022_06_08_13.dat", second);
  ASSERT_EQ(quillon({dir_.string(), "p"}).status, 0);
  EXPECT_EQ(read_file(dir_ / "csv_files_p" / "2022_06_08_13.csv"),
            csv(second, "2022_06_08_13.dat", Mode::kProprietary));
}

TEST_F(Cli, BadLogsAreReportedAndTheRunGoesOn) {
  std::string bad_type = log(6) + encode_record({102, 0, {}});
  std::string cut = log(6) + "\x30";
  std::string good = log(6);
  write_file(dir_ / "2022_06_08_01.dat", bad_type);
  write_file(dir_ / "2022_06_08_02.dat", cut);
  write_file(dir_ / "2022_06_08_03.dat", good);
  ToolRun run = quillon({dir_.string(), "p"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err,
            error(tool_path(dir_, "2022_06_08_01.dat") + ": bad event type 102") +
                error(tool_path(dir_, "2022_06_08_02.dat") + ": bad file read"));
  for (const char* hour : {"01", "02", "03"}) {
    std::string name = std::string("2022_06_08_") + hour;
    EXPECT_EQ(read_file(dir_ / "csv_files_p" / (name + ".csv")),
              csv(read_file(dir_ / (name + ".dat")), name + ".dat",
                  Mode::kProprietary));
  }
}

// On a terminal a status line shows the run's progress, shortened to the
// terminal's width; messages still stand on lines of their own, and at the
// end nothing but the messages is left on the screen.
TEST_F(Cli, ProgressLineOnATerminal) {
  if (tool().windows) GTEST_SKIP() << "wine's console is not a POSIX terminal";
  // The first log's name is too long for the line: it is shortened.
  const std::string long_name =
      "0AB_17_2022_06_08_13_" + std::string(60, 'x') + ".dat";
  write_file(dir_ / long_name, log(6));
  write_file(dir_ / "B_1_2022_06_08_12.dat", log(6) + encode_record({102, 0, {}}));
  write_file(dir_ / "2022_06_08_14.dat.gz", gzip_bytes(log(7)));
  const int kColumns = 40;
  ToolRun run = run_tool_on_terminal({dir_.string(), "p"}, kColumns);
  EXPECT_EQ(run.status, 1);
  // The terminal turns "\n" into "\r\n".
  std::string transcript = run.err;
  EXPECT_NE(transcript.find("\r[0/1] decompressin...22_06_08_14.dat.gz"),
            std::string::npos)
      << testing::PrintToString(transcript);
  EXPECT_NE(transcript.find("\r[0/3] 0AB_17_2022_...xxxxxxxxxxxxxx.dat\r"),
            std::string::npos)
      << testing::PrintToString(transcript);
  // Every status line fits in the width, less one column.
  for (size_t at = transcript.find("\r["); at != std::string::npos;
       at = transcript.find("\r[", at + 1)) {
    size_t end = transcript.find_first_of("\r\n", at + 1);
    EXPECT_LE(end - at - 1, size_t{kColumns - 1}) << transcript.substr(at + 1, end - at - 1);
  }
  EXPECT_EQ(terminal_screen(transcript),
            (std::vector<std::string>{
                "Error: " + tool_path(dir_, "B_1_2022_06_08_12.dat") +
                    ": bad event type 102",
                ""}));
  EXPECT_EQ(read_file(dir_ / "csv_files_p" / "2022_06_08_14.csv"),
            csv(log(7), "2022_06_08_14.dat", Mode::kProprietary));
}

TEST_F(Cli, OutputDirectoryCannotBeMade) {
  write_file(dir_ / "2022_06_08_13.dat", log(6));
  write_file(dir_ / "csv_files_p", "a file in the way");
  ToolRun run = quillon({dir_.string(), "p"});
  EXPECT_EQ(run.status, 1);
  expect_error(run.err, "Failed to open " +
                            tool_path(dir_, "csv_files_p/2022_06_08_13.csv"),
               "Not a directory");
}

}  // namespace

namespace {

// A directory argument typed with a separator at its end or twice, as tab
// completion types it, names the same directory; messages and CSV paths show
// it as typed, joined to the log's name with the system's separator.
TEST_F(Cli, DirectoryTypedWithTrailingSeparators) {
  const std::string sep = tool().windows ? "\\" : "/";
  std::string absolute = dir_.string() + sep;
  if (tool().windows) {
    // Wine's drive Z: is the root directory.
    for (char& c : absolute)
      if (c == '/') c = '\\';
    absolute = "Z:" + absolute;
  }
  const std::vector<std::string> kTyped = {
      "logs" + sep, "logs" + sep + sep, "logs/", "." + sep + "logs" + sep,
      absolute};
  const std::string good = log(6), name = "2022_06_08_13.dat";
  const std::string bad =
      make_log(6, {{0, 10, {1}}, {255, 20, {}}});
  write_file(dir_ / name, good);
  write_file(dir_ / "2022_06_08_14.dat", bad);
  RunOptions in_root;
  in_root.cwd = root_;
  for (const std::string& typed : kTyped) {
    fs::remove_all(dir_ / "csv_files_e");
    ToolRun run = quillon({typed, "e"}, in_root);
    EXPECT_EQ(run.status, 1) << typed;
    EXPECT_EQ(run.err, error(typed + sep + "2022_06_08_14.dat: bad event type 255"))
        << typed;
    EXPECT_EQ(read_file(dir_ / "csv_files_e" / "2022_06_08_13.csv"),
              csv(good, name, Mode::kStandard))
        << typed;
  }
}

}  // namespace

namespace {

// A wrong command line with options says what is wrong, on one line, and
// makes nothing.
TEST_F(Cli, UsageErrorsSayWhatIsWrong) {
  write_file(dir_ / "2022_06_08_13.dat", log(6));
  write_file(dir_ / "map.csv", "signal_id,channel,phase,approach,roles,distance,speed\n"
                               "s,1,2,NB,count,,\ns,2,2,NB,exit,,\n");
  const std::string d = dir_.string();
  struct Case {
    std::vector<std::string> args;
    std::string first_line;
  };
  const Case kCases[] = {
      {{"-f", "parquet", "-r", d, "e"}, "quillon: -f: 'parquet' is not csv"},
      {{"-r", "-f", "sqlite", d, "e"},
       tool().windows ? "quillon: -f: 'sqlite' is not csv, events, measures or report "
                        "(this build has no sqlite)"
                      : "quillon: -f sqlite needs the database: -o DB"},
      {{"-f", "events", "-r", d, "e", "-q"},
       "quillon: option '-q' after the directory: options go before it"},
      {{"-f", "events", "-r", d}, "quillon: the mode is missing after the directory"},
      {{"-o", "-", "-r", d, "e"}, "quillon: -o - (the standard output) is for -f events"},
      {{"--signal-id", "street", d, "e"}, "quillon: --signal-id: 'street' is not auto"},
      {{"--frobnicate", d, "e"}, "quillon: unknown option '--frobnicate'"},
      {{"-r", d, d + "/x.dat", "e"},
       "quillon: the CSV files are written for one directory"},
      {{"-f", "events", d + "/2022_06_08_13.dat", "-o", d + "/t.csv", "e"},
       "quillon: option '-o' after a log or directory: options go before them"},
      {{"--bin", "5", d, "e"}, "quillon: --bin is for -f measures, -f report and -f sqlite --measures"},
      {{"-f", "events", "--bin", "5", d, "e"}, "quillon: --bin is for -f measures"},
      {{"--threshold", "stuck_on=5", d, "e"}, "quillon: --threshold is for -f measures"},
      {{"--detectors", d + "/map.csv", d, "e"}, "quillon: --detectors is for -f measures"},
      {{"--tz", "America/Chicago", d, "e"},
       "quillon: --tz is for -f events, -f sqlite, -f measures and -f report"},
      {{"-f", "measures", "--measures", "-o", d + "/m", d}, "quillon: --measures is for -f sqlite"},
      {{"-f", "events", "--from", d + "/s.db", d, "e"}, "quillon: --from is for -f report"},
      {{"-f", "report", "-u", "--from", d + "/s.db", "-o", d + "/r"},
       "quillon: -u is not for --from: every page is drawn"},
      {{"-f", "report", "--from", d + "/s.db", "-o", d + "/r", d},
       "quillon: --from draws the pages of a database: no directory of logs with it"},
      {{"-f", "events", "--tz", "Mars/Olympus", d, "e"},
       "quillon: --tz: unknown time zone Mars/Olympus"},
      {{"-f", "events", "--utc", d, "e"},
       "quillon: --utc needs the zone of the controllers' clocks: --tz ZONE"},
      {{"-f", "measures", "-o", d + "/o", "--tz", "UTC", "--utc", d, "e"},
       "quillon: --utc is for -f events"},
      {{"-f", "measures", "-o", d + "/o", "--detectors", d + "/none.csv", d, "e"},
       "quillon: --detectors: " + d + "/none.csv: "},
      {{"-f", "report", "-o", d + "/o", "--detectors", d + "/map.csv", d, "e"},
       "quillon: --detectors: " + d + "/map.csv: line 3: role 'exit' is not advance, "
       "stopbar or count"},
      {{"-f", "measures", "-o", d + "/o", "--threshold", "stuck=5", d, "e"},
       "quillon: --threshold: 'stuck=5' is not NAME=VALUE"},
      {{"-f", "measures", "-o", d + "/o", "--threshold", "chatter_gap=0.15", d, "e"},
       "quillon: --threshold: 'chatter_gap=0.15' is not NAME=VALUE"},
      {{"-f", "measures", "-o", d + "/o", "--threshold", "split_share=101", d, "e"},
       "quillon: --threshold: 'split_share=101' is not NAME=VALUE"},
  };
  for (const Case& c : kCases) {
    ToolRun run = quillon(c.args);
    EXPECT_EQ(run.status, 2) << c.first_line;
    EXPECT_EQ(run.err.rfind(c.first_line, 0), 0u) << run.err;
    EXPECT_NE(run.err.find("Try 'quillon --help' for more information."),
              std::string::npos);
    EXPECT_EQ(run.out, "");
  }
  EXPECT_EQ(entries(dir_), (std::set<std::string>{"2022_06_08_13.dat", "map.csv"}));
  EXPECT_EQ(entries(root_), std::set<std::string>{"logs"});
}

}  // namespace
