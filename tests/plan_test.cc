// What a run decides for the entries of a directory, and how names show in
// its messages.

#include "logs/plan.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "logs/messages.h"
#include "platform/platform.h"

namespace {

const EntryKind F = EntryKind::kFile, D = EntryKind::kDirectory,
                L = EntryKind::kDirectoryLink, O = EntryKind::kOther;

// "name:step[:other]" for each planned entry, in order.
std::vector<std::string> decisions(const std::vector<DirEntry>& entries,
                                   const PlanRules& rules) {
  static const char* kSteps[] = {"convert", "check", "note", "collision",
                                 "not-regular", "target-exists", "no-name",
                                 "csv-directory"};
  std::vector<std::string> out;
  for (const PlannedEntry& p : plan_logs(entries, rules)) {
    std::string d = p.name + ":" + kSteps[static_cast<int>(p.step)];
    if (!p.other.empty()) d += ":" + p.other;
    out.push_back(d);
  }
  return out;
}

TEST(Plan, Logs) {
  const PlanRules plain = {false, false, true}, keep = {true, false, true},
                  test = {true, true, true}, test_below = {true, true, false};
  struct Case {
    std::vector<DirEntry> entries;
    PlanRules rules;
    std::vector<std::string> expected;
  };
  const Case kCases[] = {
      // Logs in name order; archives only with -k; directories, links to
      // them and other names are no logs; a FIFO is reported.
      {{{"b.dat", F}, {"a.DAT", F}, {"c.dat.gz", F}, {"d.dat", D},
        {"e.dat", L}, {"f.dat", O}, {"g.txt", F}},
       plain,
       {"a.DAT:convert", "b.dat:convert", "f.dat:not-regular"}},
      {{{"b.dat", F}, {"c.dat.gz", F}, {"f.dat.gz", O}, {"n.gz", F}},
       keep,
       {"b.dat:convert", "c.dat.gz:convert", "f.dat.gz:not-regular"}},
      // One CSV name: the first log writes it, a log beats its archive.
      {{{"x.dat", F}, {"x.DAT", F}, {"x.dat.gz", F}, {"x.Dat.gz", F},
        {"y.Dat.gz", F}, {"y.dat.gz", F}},
       keep,
       {"x.DAT:convert", "x.Dat.gz:note:x.DAT", "x.dat:collision:x.DAT",
        "x.dat.gz:note:x.DAT", "y.Dat.gz:convert",
        "y.dat.gz:collision:y.Dat.gz"}},
      // -t foretells what the plain run's decompression would meet.
      {{{"x.dat", F}, {"x.dat.gz", F}, {"n.txt.gz", F}, {".gz", F},
        {"z.dat.gz", F}, {"t.tar.gz", F}, {"t.tar", F}},
       test,
       {".gz:no-name", "n.txt.gz:check", "t.tar.gz:target-exists:t.tar",
        "x.dat:convert", "x.dat.gz:target-exists:x.dat", "z.dat.gz:convert"}},
      // Below the top only .dat.gz archives are decompressed.
      {{{"n.txt.gz", F}, {"z.dat.gz", F}}, test_below, {"z.dat.gz:convert"}},
  };
  for (const Case& c : kCases) {
    EXPECT_EQ(decisions(c.entries, c.rules), c.expected)
        << testing::PrintToString(c.expected);
  }

  EXPECT_EQ(archives_to_decompress({{"b.gz", F}, {"a.dat.gz", F}, {"d.gz", D}}, true),
            (std::vector<std::string>{"a.dat.gz", "b.gz"}));
  EXPECT_EQ(archives_to_decompress({{"b.tar.gz", F}, {"a.dat.gz", F}}, false),
            (std::vector<std::string>{"a.dat.gz"}));

  // A directory where a CSV goes is found before anything is written.
  std::vector<PlannedEntry> plan =
      plan_logs({{"a.dat", F}, {"b.dat", F}, {"c.dat", O}}, plain);
  refuse_csv_directories({{"a.csv", D}, {"b.csv", F}, {"c.csv", D}}, &plan);
  EXPECT_EQ(plan[0].step, Step::kCsvIsDirectory);
  EXPECT_EQ(plan[1].step, Step::kConvert);
  EXPECT_EQ(plan[2].step, Step::kNotRegular);
}

// Names fold as the file system folds them: every script on Windows,
// nothing on POSIX.
TEST(Plan, NameKeys) {
  EXPECT_EQ(name_key("É_1.csv") == name_key("é_1.csv"), kNamesIgnoreCase);
  EXPECT_EQ(name_key("Ω.csv") == name_key("ω.csv"), kNamesIgnoreCase);
  EXPECT_EQ(name_key("X.csv") == name_key("x.csv"), kNamesIgnoreCase);
  EXPECT_NE(name_key("a.csv"), name_key("b.csv"));
}

TEST(Messages, ControlCharactersAreEscaped) {
  struct Case {
    std::string name, shown;
  };
  const Case kCases[] = {
      {"plain 北京 Façade.dat", "plain 北京 Façade.dat"},
      {"a\nError: forged.dat", "a\\nError: forged.dat"},
      {"\x1b[31mred\x1b[0m", "\\x1b[31mred\\x1b[0m"},
      {"cr\rtab\t", "cr\\rtab\\t"},
      {std::string("nul\0x", 5), "nul\\x00x"},
      {"del\x7f", "del\\x7f"},
      {"c1\xc2\x9b" "2J", "c1\\xc2\\x9b2J"},    // U+009B, CSI
      {"nbsp\xc2\xa0", "nbsp\xc2\xa0"},         // U+00A0 is printable
      {"bad\x9b\xff", "bad\\x9b\\xff"},         // no UTF-8
      {"overlong\xc0\x8a", "overlong\\xc0\\x8a"},
      {"cut\xe4\xb8", "cut\\xe4\\xb8"},
  };
  for (const Case& c : kCases) EXPECT_EQ(shown(c.name), c.shown) << c.shown;
}

}  // namespace
