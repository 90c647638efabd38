// Runs the built tool on temporary directories.

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

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

// Runs the tool with `args` (no shell) and collects its status and streams.
ToolRun run_tool(const std::vector<std::string>& args, const fs::path& scratch) {
  fs::path out_path = scratch / "stdout.txt";
  fs::path err_path = scratch / "stderr.txt";
  pid_t pid = fork();
  if (pid == 0) {
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, 1);
    dup2(err, 2);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(QUILLON_BINARY));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(QUILLON_BINARY, argv.data());
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
  static std::string csv(const std::string& log_bytes, const std::string& name,
                         Mode mode) {
    return convert(log_bytes, name, mode);
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
    EXPECT_EQ(run.err, kUsage);
    EXPECT_EQ(run.out, "");
  }
  EXPECT_EQ(entries(root_), std::set<std::string>{"logs"});
}

TEST_F(Cli, ModeLetter) {
  std::string bytes = log(6);
  write_file(dir_ / "2022_06_08_13.dat", bytes);
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
    ToolRun run = quillon({dir_.string(), c.arg});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(read_file(dir_ / c.out_dir / "2022_06_08_13.csv"),
              csv(bytes, "2022_06_08_13.dat", c.mode))
        << c.arg;
  }
}

TEST_F(Cli, DecompressesThenConverts) {
  std::string x = log(5, 1), y = log(4, 2), z = log(7, 3);
  write_file(dir_ / "x.dat.gz", gzip_bytes(x));
  write_file(dir_ / "y.dat", y);
  // Concatenated members are one file, as gzip reads them; padding zeros
  // after the last member are ignored.
  write_file(dir_ / "Z.DAT.GZ",
             gzip_bytes(z.substr(0, 1000)) + gzip_bytes(z.substr(1000)) +
                 std::string(10, '\0'));
  ToolRun run = quillon({dir_.string(), "p"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(entries(dir_), (std::set<std::string>{"x.dat", "y.dat", "Z.DAT",
                                                  "csv_files_p"}));
  EXPECT_EQ(read_file(dir_ / "x.dat"), x);
  EXPECT_EQ(read_file(dir_ / "Z.DAT"), z);
  EXPECT_EQ(read_file(dir_ / "csv_files_p" / "x.csv"),
            csv(x, "x.dat", Mode::kProprietary));
  EXPECT_EQ(read_file(dir_ / "csv_files_p" / "y.csv"),
            csv(y, "y.dat", Mode::kProprietary));
  EXPECT_EQ(read_file(dir_ / "csv_files_p" / "Z.csv"),
            csv(z, "Z.DAT", Mode::kProprietary));
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
      {"d.dat.gz", good, (dir_ / "d.dat").string() + " already exists"},
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
    std::string message =
        "Error: " + (dir_ / c.name).string() + ": " + c.reason;
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
  const char* names[] = {"a b;touch pwned.dat.gz", "$(touch pwned2) & x.dat"};
  std::string bytes = log(6);
  write_file(dir_ / names[0], gzip_bytes(bytes));
  write_file(dir_ / names[1], bytes);
  ToolRun run = quillon({dir_.string(), "p"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(entries(dir_), (std::set<std::string>{"a b;touch pwned.dat",
                                                  names[1], "csv_files_p"}));
  EXPECT_EQ(entries(dir_ / "csv_files_p"),
            (std::set<std::string>{"a b;touch pwned.csv",
                                   "$(touch pwned2) & x.csv"}));
  EXPECT_FALSE(fs::exists("pwned"));
  EXPECT_FALSE(fs::exists("pwned2"));
}

TEST_F(Cli, NoLogFiles) {
  // Neither an empty directory, nor a sub-directory named like a log, nor a
  // directory that does not exist (which is left uncreated).
  fs::create_directory(dir_ / "x.dat");
  struct Case {
    fs::path dir;
  };
  for (const fs::path& dir : {dir_, root_ / "missing"}) {
    ToolRun run = quillon({dir.string(), "p"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "Failed to find any .dat files in " + dir.string() +
                           "/*.dat\n");
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
  EXPECT_EQ(run.err, "Error: " + (dir_ / "a.dat").string() +
                         ": bad event type 102\n"
                         "Error: " + (dir_ / "b.dat").string() +
                         ": bad file read\n");
  for (const char* name : {"a", "b", "c"}) {
    std::string text = read_file(dir_ / "csv_files_p" / (std::string(name) + ".csv"));
    EXPECT_EQ(text, csv(read_file(dir_ / (std::string(name) + ".dat")),
                        std::string(name) + ".dat", Mode::kProprietary));
  }
}

TEST_F(Cli, WriteFailure) {
  write_file(dir_ / "a.dat", log(6));
  write_file(dir_ / "b.dat", log(6));
  fs::create_directory(dir_ / "csv_files_p");
  fs::create_symlink("/dev/full", dir_ / "csv_files_p" / "a.csv");
  ToolRun run = quillon({dir_.string(), "p"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err,
            "Error: Failed to write " + (dir_ / "csv_files_p" / "a.csv").string() +
                "\n");
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
  EXPECT_EQ(run.err, "Error: Failed to open " +
                         (dir_ / "csv_files_p" / "a.csv").string() + "\n");
}

}  // namespace
