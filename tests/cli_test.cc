// Runs a built tool on temporary directories and checks what it leaves.
//
// The tool is this build's quillon, or the program named by QUILLON_TOOL,
// started through QUILLON_TOOL_RUNNER when that is set (wine, for the Windows
// build); QUILLON_TOOL_SYSTEM=windows says that it joins paths with "\" and
// ends lines with "\r\n". The expected CSVs come from the in-process
// conversion.

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "tests/test_support.h"
#include "tools/loggen.h"

namespace fs = std::filesystem;

namespace {

// The program under test and the conventions of its system.
struct Tool {
  std::vector<std::string> command;  // the runner, if any, and the program
  bool windows = false;
};

const Tool& tool() {
  static const Tool kTool = [] {
    Tool t;
    const char* runner = getenv("QUILLON_TOOL_RUNNER");
    const char* program = getenv("QUILLON_TOOL");
    const char* system = getenv("QUILLON_TOOL_SYSTEM");
    if (runner != nullptr && *runner != '\0') t.command.push_back(runner);
    t.command.push_back(program != nullptr && *program != '\0' ? program
                                                               : QUILLON_BINARY);
    t.windows = system != nullptr && std::string(system) == "windows";
    return t;
  }();
  return kTool;
}

// `text` with every "\n" written as the tool's system writes text.
std::string text(const std::string& s) {
  if (!tool().windows) return s;
  std::string out;
  for (char c : s) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

// A path as the tool prints it: the directory as typed, then the names of
// `relative` (written with "/") joined by the tool's separator.
std::string tool_path(const fs::path& dir, std::string relative) {
  if (tool().windows)
    std::replace(relative.begin(), relative.end(), '/', '\\');
  return dir.string() + (tool().windows ? "\\" : "/") + relative;
}

struct ToolRun {
  int status;
  std::string err;
  std::string out;
};

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_file(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
}

// Runs the tool with `args` (an argument list, no shell) and collects its
// status and streams.
ToolRun run_tool(const std::vector<std::string>& args, const fs::path& scratch) {
  fs::path out_path = scratch / "stdout.txt";
  fs::path err_path = scratch / "stderr.txt";
  std::vector<std::string> command = tool().command;
  command.insert(command.end(), args.begin(), args.end());
  pid_t pid = fork();
  if (pid == 0) {
    int in = open("/dev/null", O_RDONLY);
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    std::vector<char*> argv;
    for (const std::string& a : command) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  ToolRun run{WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1, read_file(err_path),
          read_file(out_path)};
  fs::remove(out_path);
  fs::remove(err_path);
  return run;
}

std::set<std::string> entries(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir))
    names.insert(e.path().filename().string());
  return names;
}

class Cli : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl =
        (fs::temp_directory_path() / "quillon-test-XXXXXX").string();
    ASSERT_NE(mkdtemp(&tmpl[0]), nullptr);
    root_ = tmpl;
    dir_ = root_ / "logs";
    fs::create_directory(dir_);
  }
  void TearDown() override { fs::remove_all(root_); }

  ToolRun quillon(const std::vector<std::string>& args) {
    return run_tool(args, root_);
  }
  // A small log of `version` with records of every type of the table.
  static std::string log(int version, uint32_t seed = 1) {
    return make_log(version, random_records(version, 300, seed, {}));
  }
  // The CSV that the tool must write for a log, in its system's line ends.
  static std::string csv(const std::string& log_bytes, const std::string& name,
                         Mode mode) {
    return text(convert(log_bytes, name, mode));
  }
  // "Error: <text>" as the tool reports it.
  static std::string error(const std::string& what) {
    return text("Error: " + what + "\n");
  }

  fs::path root_;
  fs::path dir_;
};

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
  for (const Case& c : kCases) {
    ToolRun run = quillon(c.args);
    EXPECT_EQ(run.status, c.status) << testing::PrintToString(c.args);
    EXPECT_EQ(run.err, text(kUsage));
    EXPECT_EQ(run.out, "");
  }
  EXPECT_EQ(entries(root_), std::set<std::string>{"logs"});
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
  write_file(dir_ / "x.dat.gz", gzip_bytes(x));
  write_file(dir_ / "y.dat", y);
  // Concatenated members are one file, as gzip reads them; padding zeros
  // after the last member are ignored.
  write_file(dir_ / "Z.DAT.GZ",
             gzip_bytes(z.substr(0, 1000)) + gzip_bytes(z.substr(1000)) +
                 std::string(10, '\0'));
  write_file(dir_ / "W.Dat", w);
  ToolRun run = quillon({dir_.string(), "p"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(entries(dir_), (std::set<std::string>{"x.dat", "y.dat", "Z.DAT",
                                                  "W.Dat", "csv_files_p"}));
  EXPECT_EQ(read_file(dir_ / "x.dat"), x);
  EXPECT_EQ(read_file(dir_ / "Z.DAT"), z);
  const struct {
    const char* log;
    const std::string& bytes;
    const char* csv_name;
  } kLogs[] = {{"x.dat", x, "x.csv"}, {"y.dat", y, "y.csv"},
               {"Z.DAT", z, "Z.csv"}, {"W.Dat", w, "W.csv"}};
  for (const auto& l : kLogs) {
    EXPECT_EQ(read_file(dir_ / "csv_files_p" / l.csv_name),
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
  const char* names[] = {"a b;touch pwned.dat.gz", "$(touch pwned2) & x.dat",
                         "%PATH% !x! ^.dat"};
  std::string bytes = log(6);
  write_file(dir_ / names[0], gzip_bytes(bytes));
  write_file(dir_ / names[1], bytes);
  write_file(dir_ / names[2], bytes);
  ToolRun run = quillon({dir_.string(), "p"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(entries(dir_), (std::set<std::string>{"a b;touch pwned.dat",
                                                  names[1], names[2],
                                                  "csv_files_p"}));
  EXPECT_EQ(entries(dir_ / "csv_files_p"),
            (std::set<std::string>{"a b;touch pwned.csv",
                                   "$(touch pwned2) & x.csv",
                                   "%PATH% !x! ^.csv"}));
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
  write_file(dir_ / "a.dat", bad_type);
  write_file(dir_ / "b.dat", cut);
  write_file(dir_ / "c.dat", good);
  ToolRun run = quillon({dir_.string(), "p"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, error(tool_path(dir_, "a.dat") + ": bad event type 102") +
                         error(tool_path(dir_, "b.dat") + ": bad file read"));
  for (const char* name : {"a", "b", "c"}) {
    std::string text = read_file(dir_ / "csv_files_p" / (std::string(name) + ".csv"));
    EXPECT_EQ(text, csv(read_file(dir_ / (std::string(name) + ".dat")),
                        std::string(name) + ".dat", Mode::kProprietary));
  }
}

TEST_F(Cli, WriteFailure) {
  if (tool().windows) GTEST_SKIP() << "/dev/full is a Linux device";
  write_file(dir_ / "a.dat", log(6));
  write_file(dir_ / "b.dat", log(6));
  fs::create_directory(dir_ / "csv_files_p");
  fs::create_symlink("/dev/full", dir_ / "csv_files_p" / "a.csv");
  ToolRun run = quillon({dir_.string(), "p"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err,
            error("Failed to write " + tool_path(dir_, "csv_files_p/a.csv")));
  // The CSV that could not be written is gone, and the run stops there, as
  // on a file that fails to open.
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir_ / "csv_files_p" / "a.csv")));
  EXPECT_FALSE(fs::exists(dir_ / "csv_files_p" / "b.csv"));
}

TEST_F(Cli, OutputDirectoryCannotBeMade) {
  write_file(dir_ / "a.dat", log(6));
  write_file(dir_ / "csv_files_p", "a file in the way");
  ToolRun run = quillon({dir_.string(), "p"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err,
            error("Failed to open " + tool_path(dir_, "csv_files_p/a.csv")));
}

}  // namespace
