#include "run/options.h"
#include "logs/messages.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(Options, CommandLines) {
  struct Case {
    std::vector<std::string> args;  // after the program name
    Command command;
    const char* dir;
    char letter;
    bool keep, recursive, test, quiet;
    const char* output;
    int jobs;
  };
  const Case kCases[] = {
      // Two arguments are the directory and the mode, whatever they are.
      {{"logs", "e"}, Command::kRun, "logs", 'e', false, false, false, false, "", kAutomaticJobs},
      {{"-k", "e"}, Command::kRun, "-k", 'e', false, false, false, false, "", kAutomaticJobs},
      {{"--", "e"}, Command::kRun, "--", 'e', false, false, false, false, "", kAutomaticJobs},
      {{"-h"}, Command::kHelp, "", 0, false, false, false, false, "", kAutomaticJobs},
      {{"--help"}, Command::kHelp, "", 0, false, false, false, false, "", kAutomaticJobs},
      {{"/?"}, Command::kHelp, "", 0, false, false, false, false, "", kAutomaticJobs},
      {{"--version"}, Command::kVersion, "", 0, false, false, false, false, "", kAutomaticJobs},
      // Options first.
      {{"-k", "logs", "p"}, Command::kRun, "logs", 'p', true, false, false, false, "", kAutomaticJobs},
      {{"-krtq", "logs", "p"}, Command::kRun, "logs", 'p', true, true, true, true, "", kAutomaticJobs},
      {{"--keep", "--recursive", "--test", "--quiet", "logs", "proprietary"},
       Command::kRun, "logs", 'p', true, true, true, true, "", kAutomaticJobs},
      {{"-o", "out", "logs", "e"}, Command::kRun, "logs", 'e', false, false, false, false, "out", kAutomaticJobs},
      {{"-oout", "logs", "e"}, Command::kRun, "logs", 'e', false, false, false, false, "out", kAutomaticJobs},
      {{"-ko", "out", "logs", "e"}, Command::kRun, "logs", 'e', true, false, false, false, "out", kAutomaticJobs},
      {{"--output", "out", "logs", "e"}, Command::kRun, "logs", 'e', false, false, false, false, "out", kAutomaticJobs},
      {{"--output=o=1", "logs", "e"}, Command::kRun, "logs", 'e', false, false, false, false, "o=1", kAutomaticJobs},
      {{"-j", "4", "logs", "e"}, Command::kRun, "logs", 'e', false, false, false, false, "", 4},
      {{"-j0", "logs", "e"}, Command::kRun, "logs", 'e', false, false, false, false, "", 0},
      {{"--jobs=16", "-k", "logs", "e"}, Command::kRun, "logs", 'e', true, false, false, false, "", 16},
      {{"--jobs", "2", "logs", "e"}, Command::kRun, "logs", 'e', false, false, false, false, "", 2},
      {{"-k", "--", "-x", "e"}, Command::kRun, "-x", 'e', true, false, false, false, "", kAutomaticJobs},
      {{"-k", "-", "e"}, Command::kRun, "-", 'e', true, false, false, false, "", kAutomaticJobs},
      // A mode that starts with "-" is an option given after the directory.
      {{"-k", "-h"}, Command::kBadUsage, "", 0, false, false, false, false, "", kAutomaticJobs},
      {{"logs", "-t"}, Command::kBadUsage, "", 0, false, false, false, false, "", kAutomaticJobs},
      {{"-k", "logs", "-t"}, Command::kBadUsage, "", 0, false, false, false, false, "", kAutomaticJobs},
      {{"--max-log-size", "1G", "logs", "e"}, Command::kRun, "logs", 'e', false, false, false, false, "", kAutomaticJobs},
      {{"--max-log-size=2x", "logs", "e"}, Command::kBadUsage, "", 0, false, false, false, false, "", kAutomaticJobs},
      {{"-k", "-h", "x"}, Command::kHelp, "", 0, false, false, false, false, "", kAutomaticJobs},
      // Wrong command lines.
      {{}, Command::kBadUsage, "", 0, false, false, false, false, "", kAutomaticJobs},
      {{"logs"}, Command::kBadUsage, "", 0, false, false, false, false, "", kAutomaticJobs},
      {{"logs", "e", "x"}, Command::kBadUsage, "", 0, false, false, false, false, "", kAutomaticJobs},
      {{"-k", "logs"}, Command::kRun, "-k", 'l', false, false, false, false, "", kAutomaticJobs},
      {{"-k", "logs", "e", "x"}, Command::kBadUsage, "", 0, false, false, false, false, "", kAutomaticJobs},
      {{"-x", "logs", "e"}, Command::kBadUsage, "", 0, false, false, false, false, "", kAutomaticJobs},
      {{"--kept", "logs", "e"}, Command::kBadUsage, "", 0, false, false, false, false, "", kAutomaticJobs},
      {{"--keep=1", "logs", "e"}, Command::kBadUsage, "", 0, false, false, false, false, "", kAutomaticJobs},
      {{"-j", "logs", "e"}, Command::kBadUsage, "", 0, false, false, false, false, "", 1},
      {{"-j", "-1", "logs", "e"}, Command::kBadUsage, "", 0, false, false, false, false, "", 1},
      {{"-j", "2x", "logs", "e"}, Command::kBadUsage, "", 0, false, false, false, false, "", 1},
      {{"-j", "99999", "logs", "e"}, Command::kBadUsage, "", 0, false, false, false, false, "", 1},
      {{"--jobs=", "logs", "e"}, Command::kBadUsage, "", 0, false, false, false, false, "", 1},
      {{"-o", "", "logs", "e"}, Command::kBadUsage, "", 0, false, false, false, false, "", kAutomaticJobs},
      {{"logs", "e", "-o"}, Command::kBadUsage, "", 0, false, false, false, false, "", kAutomaticJobs},
      {{"-k", "", "e"}, Command::kBadUsage, "", 0, false, false, false, false, "", kAutomaticJobs},
      {{"-k", "logs", ""}, Command::kBadUsage, "", 0, false, false, false, false, "", kAutomaticJobs},
      {{"", "e"}, Command::kBadUsage, "", 0, false, false, false, false, "", kAutomaticJobs},
  };
  for (const Case& c : kCases) {
    std::vector<std::string> args = {"quillon"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    Options o;
    std::string what = testing::PrintToString(c.args);
    ASSERT_EQ(parse_command_line(args, &o), c.command) << what;
    if (c.command != Command::kRun) continue;
    EXPECT_EQ(o.dir, c.dir) << what;
    EXPECT_EQ(o.letter, c.letter) << what;
    EXPECT_EQ(o.keep, c.keep) << what;
    EXPECT_EQ(o.recursive, c.recursive) << what;
    EXPECT_EQ(o.test, c.test) << what;
    EXPECT_EQ(o.quiet, c.quiet) << what;
    EXPECT_EQ(o.output, c.output) << what;
    EXPECT_EQ(o.jobs, c.jobs) << what;
  }
}

// -f measures and -f report need no mode letter, and take one given; after
// "--" a name that starts with "-" is a log.
TEST(Options, OperandsOfTheMeasures) {
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> inputs;
    char letter;
  };
  const Case kCases[] = {
      {{"-f", "measures", "-o", "m", "logs"}, {"logs"}, 'e'},
      {{"-f", "report", "-o", "m", "logs", "p"}, {"logs"}, 'p'},
      {{"-f", "measures", "-o", "m", "a.dat", "b.dat"}, {"a.dat", "b.dat"}, 'e'},
      {{"-f", "measures", "-o", "m", "a.dat", "b.dat", "E"}, {"a.dat", "b.dat"}, 'E'},
      {{"-f", "events", "--", "-a.dat", "e"}, {"-a.dat"}, 'e'},
  };
  for (const Case& c : kCases) {
    std::vector<std::string> args = {"quillon"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    Options o;
    ASSERT_EQ(parse_command_line(args, &o), Command::kRun) << c.args.back();
    EXPECT_EQ(o.inputs, c.inputs) << c.args.back();
    EXPECT_EQ(o.letter, c.letter) << c.args.back();
  }
}

TEST(Options, Days) {
  const struct {
    const char* text;
    bool ok;
    int64_t day;  // from 1970-01-01
  } kCases[] = {
      {"1970-01-01", true, 0},     {"2024-02-29", true, 19782}, {"0001-01-01", true, -719162},
      {"2023-02-29", false, 0},    {"2024-13-01", false, 0},    {"2024-6-12", false, 0},
      {"2024-06-12 ", false, 0},   {"20240612", false, 0},      {"", false, 0},
      {"tomorrow", false, 0},
  };
  for (const auto& c : kCases) {
    int64_t day = 7;
    EXPECT_EQ(parse_day(c.text, &day), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(day, c.day) << c.text;
    }
  }
  int64_t today = 0, yesterday = 0;
  ASSERT_TRUE(parse_day("today", &today) && parse_day("yesterday", &yesterday));
  EXPECT_EQ(yesterday, today - 1);
  Options o;
  std::string err;
  EXPECT_EQ(parse_command_line({"quillon", "--since", "2024-06-31", "d", "p"}, &o, &err),
            Command::kBadUsage);
  EXPECT_NE(err.find("2024-06-31"), std::string::npos) << err;
  ASSERT_EQ(parse_command_line({"quillon", "--since", "2024-06-11", "--until", "2024-06-12",
                                "d", "p"}, &o, &err),
            Command::kRun);
  for (const auto& [name, read] : {std::pair{"2024_06_10_23.dat", false},
                                   {"2024_06_11_00.dat", true}, {"AB_17_2024_06_12_23.dat", true},
                                   {"2024_06_13_00.dat", false}, {"undated.dat", false}})
    EXPECT_EQ(reads_log_of_day(o, name), read) << name;
}

TEST(Options, Sizes) {
  struct Case {
    const char* text;
    bool ok;
    uint64_t size;
    const char* shown;
  };
  const Case kCases[] = {
      {"0", true, 0, "0 bytes"},
      {"1000", true, 1000, "1000 bytes"},
      {"64k", true, 64 << 10, "64 KiB"},
      {"256M", true, 256 << 20, "256 MiB"},
      {"1536MiB", true, uint64_t{1536} << 20, "1536 MiB"},
      {"2GB", true, uint64_t{2} << 30, "2 GiB"},
      {"1t", true, uint64_t{1} << 40, "1 TiB"},
      {"", false, 0, ""},
      {"M", false, 0, ""},
      {"12X", false, 0, ""},
      {"1.5G", false, 0, ""},
      {"-1", false, 0, ""},
      {"99999999999999999999", false, 0, ""},
      {"99999999999T", false, 0, ""},
  };
  for (const Case& c : kCases) {
    uint64_t size = 7;
    ASSERT_EQ(parse_size(c.text, &size), c.ok) << c.text;
    if (!c.ok) continue;
    EXPECT_EQ(size, c.size) << c.text;
    EXPECT_EQ(size_text(size), c.shown) << c.text;
  }
  Options o;
  std::vector<std::string> args = {"quillon", "--max-log-size", "1G", "logs", "e"};
  ASSERT_EQ(parse_command_line(args, &o), Command::kRun);
  EXPECT_EQ(o.max_log_size, uint64_t{1} << 30);
  args = {"quillon", "logs", "e"};
  ASSERT_EQ(parse_command_line(args, &o), Command::kRun);
  EXPECT_EQ(o.max_log_size, uint64_t{256} << 20);
}

}  // namespace
