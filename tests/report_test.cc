// The report's escaping, the folders of its pages and its scales; the
// pages themselves are checked in a browser (report_browser_test.py).

#include "report/chart.h"
#include "report/pages.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>

#include "measures/schema.h"
#include "outputs/report_output.h"

namespace {

TEST(Report, EscapesNamesFromTheArchive) {
  EXPECT_EQ(html_escape("<script>alert(1)</script>"),
            "&lt;script&gt;alert(1)&lt;/script&gt;");
  EXPECT_EQ(html_escape("a&b \"c\" 'd'"), "a&amp;b &quot;c&quot; &#39;d&#39;");
  EXPECT_EQ(html_escape("caf\xc3\xa9"), "caf\xc3\xa9");
}

TEST(Report, PageFoldersStayInsideAndApart) {
  const std::string long_id(300, 'x');
  const std::string kIds[] = {"..", ".", "/etc", "a/../../b", "C:\\x", "A", "a",
                              "_41", "con", "CON", "com1", "lpt9.txt", "", "a b",
                              "<script>", long_id, long_id + "y", "\x01\xff"};
  std::set<std::string> folders;
  for (const std::string& id : kIds) {
    const std::string folder = page_folder(id);
    EXPECT_TRUE(folders.insert(folder).second) << id << " shares " << folder;
    EXPECT_FALSE(folder.empty());
    EXPECT_LE(folder.size(), 120u) << id;
    EXPECT_EQ(folder.find_first_not_of("abcdefghijklmnopqrstuvwxyz"
                                       "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_.~"),
              std::string::npos)
        << id;
    EXPECT_NE(folder.front(), '.') << id;
    EXPECT_NE(folder.back(), '.') << id;
    for (const char* device : {"con", "CON", "com1", "lpt9", "lpt9.txt", "nul"})
      EXPECT_NE(folder, device);
    // Where case does not count, the clash's folder is another.
    EXPECT_TRUE(folders.insert(page_folder(id, true)).second) << id;
  }
  // Readable where the id is.
  const std::pair<const char*, const char*> kReadable[] = {
      {"signal-12", "signal-12"}, {"1001_Main_Elm", "1001_Main_Elm"}, {"a.b", "a.b"},
      {"a b", "a~20b"},           {".x.", "~2ex~2e"},                 {"CON", "CON~"},
      {"lpt9.txt", "lpt9.txt~"},  {"~", "~7e"}};
  for (const auto& [id, folder] : kReadable) EXPECT_EQ(page_folder(id), folder) << id;
}

TEST(Report, Scales) {
  struct Case {
    double value, low, high, from, to, expected;
  };
  const Case kCases[] = {
      {5, 0, 10, 0, 100, 50},     {0, 0, 10, 120, 20, 120}, {10, 0, 10, 120, 20, 20},
      {15, 0, 10, 0, 100, 100},   {-5, 0, 10, 0, 100, 0},   {3, 3, 3, 7, 9, 7},
  };
  for (const Case& c : kCases)
    EXPECT_DOUBLE_EQ(scale(c.value, c.low, c.high, c.from, c.to), c.expected)
        << c.value << " in " << c.low << ".." << c.high;
}

}  // namespace

namespace {

// Every attribute and text given to the builder is escaped; constant
// markup goes in as it is.
TEST(Report, BuilderEscapesEveryAttributeAndText) {
  const std::string hostile = "<a href='x'>\"&";
  Markup m;
  m.tag("rect").attr("class", hostile).attr("x", 1.25, 1).data("id", hostile);
  m.titled("rect", hostile).literal("\n");
  m.tag("p").open().text(hostile).end("p");
  const std::string escaped = "&lt;a href=&#39;x&#39;&gt;&quot;&amp;";
  EXPECT_EQ(m.take(), "<rect class=\"" + escaped + "\" x=\"1.2\" data-id=\"" + escaped +
                          "\"><title>" + escaped + "</title></rect>\n<p>" + escaped + "</p>");
}

// The style sheet and the legend are written from one palette: every
// colour of the legend is a role's colour in the style sheet.
TEST(Report, PaletteInStyleSheetAndLegendAgree) {
  const std::string css = style_sheet(), key = legend();
  size_t swatches = 0;
  for (size_t at = key.find("<i style="); at != std::string::npos;
       at = key.find("<i style=", at + 1), ++swatches) {
    // Each colour of the swatch ("#56B4E9"), but the white of an outline.
    const std::string style = key.substr(at, key.find('>', at) - at);
    for (size_t c = style.find('#'); c != std::string::npos; c = style.find('#', c + 1)) {
      const std::string colour = style.substr(c, style.find_first_of(";\"", c) - c);
      if (colour != "#fff") {
        EXPECT_NE(css.find(":" + colour), std::string::npos) << colour;
      }
    }
  }
  EXPECT_EQ(swatches, 39u);  // every role but the max-out share's
  for (Role role : {Role::kOk, Role::kMaxOut, Role::kSilent, Role::kPreempt}) {
    EXPECT_NE(css.find(std::string(".") + role_class(role) + "{"), std::string::npos)
        << role_class(role);
  }
}

}  // namespace

namespace {

namespace fs = std::filesystem;

// A report's folder, `name` below the temporary one, its measure tables
// written: `rows` by table, after their header.
fs::path report_with(const std::string& name, const std::map<std::string, std::string>& rows) {
  const fs::path root = fs::temp_directory_path() /
                        (name + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
  fs::remove_all(root);
  fs::create_directories(root / "measures");
  for (const MeasureTableDef& table : kMeasureSchema) {
    auto it = rows.find(table.name);
    std::ofstream(root / "measures" / (std::string(table.name) + ".csv"), std::ios::binary)
        << measure_header(table) << (it == rows.end() ? "" : it->second);
  }
  return root;
}

// One signal's table that does not read as written (a row an older build
// wrote) is said on its row of the index; the other signals are drawn, and
// the report fails naming the row.
TEST(Report, OneSignalsBadRowSinksNoOther) {
  const fs::path root = report_with(
      "quillon-report-",
      {{"logs", "a,2022-06-08 13:00:00,ok,5,a.dat,6,End of Controller Log,0,,\n"
                "b,2022-06-08 13:00:00,ok,5,b.dat,6,End of Controller Log,0,,\n"},
       {"phase_intervals", "a,2,2022-06-08 13:01:40.5,-10.+,4.0,2.0,,,,\n"
                           "b,2,2022-06-08 13:01:40.5,10.5,4.0,2.0,,,,\n"}});
  std::string err;
  EXPECT_FALSE(write_report(root.string(), MeasureSettings(), 0644, &err));
  EXPECT_NE(err.find("phase_intervals.csv: row 2"), std::string::npos) << err;
  std::string html;
  {
    std::ifstream index(root / "index.html");
    html.assign(std::istreambuf_iterator<char>(index), std::istreambuf_iterator<char>());
  }
  EXPECT_NE(html.find("Not drawn: phase_intervals.csv: row 2"), std::string::npos) << html;
  EXPECT_TRUE(fs::exists(root / page_folder("b") / "2022-06-08.html"));
  EXPECT_FALSE(fs::exists(root / page_folder("a")));
  fs::remove_all(root);
}

// Ids that differ only in case get pages of their own, also where the file
// system takes their folders for one.
TEST(Report, IdsThatDifferInCaseKeepTheirPages) {
  const fs::path root = report_with(
      "quillon-report-case-",
      {{"logs", "Main,2022-06-08 13:00:00,ok,5,a.dat,6,End of Controller Log,0,,\n"
                "main,2022-06-09 13:00:00,ok,5,b.dat,6,End of Controller Log,0,,\n"}});
  std::string err;
  ASSERT_TRUE(write_report(root.string(), MeasureSettings(), 0644, &err)) << err;
  EXPECT_TRUE(fs::exists(root / page_folder("Main") / "2022-06-08.html"));
  EXPECT_TRUE(fs::exists(root / page_folder("main", true) / "2022-06-09.html"));
  std::ifstream index(root / "index.html");
  const std::string html((std::istreambuf_iterator<char>(index)), std::istreambuf_iterator<char>());
  EXPECT_NE(html.find("href=\"" + page_folder("main", true) + "/2022.html\""), std::string::npos);
  index.close();
  fs::remove_all(root);
}

}  // namespace

namespace {

// The time axis of a day: its ticks at the hours, 00:00 at the chart's
// left, 12:00 halfway and 24:00 at its right, in the unit the tables read.
TEST(Report, TimeAxisAtTheHours) {
  Markup page;
  {
    Chart chart(&page, "t", "T", "", 20);
    chart.time_axis(10);
  }
  const std::string svg = page.take();
  for (const auto& [hour, x] : {std::pair<const char*, double>{"00:00", kChartLeft},
                               {"12:00", (kChartLeft + kChartRight) / 2.0},
                               {"24:00", kChartRight}}) {
    const size_t label = svg.find(std::string(">") + hour + "<");
    ASSERT_NE(label, std::string::npos) << hour;
    const size_t at = svg.rfind("<text x=\"", label);
    EXPECT_DOUBLE_EQ(std::stod(svg.substr(at + 9)), x) << hour;
  }
  EXPECT_DOUBLE_EQ(day_x(kTenthsPerDay / 4), kChartLeft + (kChartRight - kChartLeft) / 4.0);
}

}  // namespace

namespace {

// The problems a day's page lists (its data-problem values, in order) for
// a signal's hand-made tables: `rows` by table, after their header.
std::string problems_of(const std::map<std::string, std::string>& rows,
                        const MeasureSettings& settings = MeasureSettings()) {
  const fs::path root = report_with("quillon-problems-", rows);
  std::string err, html, found;
  EXPECT_TRUE(write_report(root.string(), settings, 0644, &err)) << err;
  {
    std::ifstream page(root / "s" / "2022-06-08.html");
    html.assign(std::istreambuf_iterator<char>(page), std::istreambuf_iterator<char>());
  }
  for (size_t at = html.find("data-problem=\""); at != std::string::npos;
       at = html.find("data-problem=\"", at + 1)) {
    const size_t from = at + 14;
    found += (found.empty() ? "" : " ") + html.substr(from, html.find('"', from) - from);
  }
  fs::remove_all(root);
  return found;
}

const std::string kHour13 = "s,2022-06-08 13:00:00,ok,5,13.dat,6,End of Controller Log,0,,\n";

// Each threshold at its edge, and the problems the tables' rows make.
TEST(Report, ProblemsAtTheThresholds) {
  MeasureSettings strict;
  strict.split_share = 40;
  strict.split_greens = 4;
  strict.ped_delay_seconds = 60;
  const struct {
    const char* what;
    std::map<std::string, std::string> rows;
    std::string expected;
    MeasureSettings settings = MeasureSettings();
  } kCases[] = {
      {"a quiet hour", {{"logs", kHour13}}, ""},
      {"max outs at half of 5 greens (gap outs in another bin), force offs short of it",
       {{"logs", kHour13},
        {"terminations", "s,2022-06-08 13:00:00.0,2,0,3,2,0,5\n"
                         "s,2022-06-08 13:15:00.0,2,3,0,0,0,1\n"}},
       "max_out_share"},
      {"half of 4 greens is no problem by default", 
       {{"logs", kHour13}, {"terminations", "s,2022-06-08 13:00:00.0,2,2,2,0,0,4\n"}},
       ""},
      {"... but is with 40% of 4 greens", 
       {{"logs", kHour13}, {"terminations", "s,2022-06-08 13:00:00.0,2,2,2,0,0,4\n"}},
       "max_out_share", strict},
      {"a mean delay of 120.0 s over the hour's bins, weighted by their samples",
       {{"logs", kHour13},
        {"ped", "s,2022-06-08 13:00:00.0,4,1,1,100.0,1,100.0,0\n"
                "s,2022-06-08 13:15:00.0,4,3,3,140.0,1,140.0,0\n"}},
       "ped_delay"},
      {"119.9 s is not",
       {{"logs", kHour13}, {"ped", "s,2022-06-08 13:00:00.0,4,1,1,119.9,1,119.9,0\n"}}, ""},
      {"a preemption, and one without track clearance where the numbering tells",
       {{"logs", kHour13},
        {"preemption", "s,1,2022-06-08 13:00:10.0,2022-06-08 13:00:50.0,40.0,1.0,,,,,0,0\n"
                       "s,1,2022-06-08 13:10:10.0,2022-06-08 13:10:50.0,40.0,,,,,,,\n"}},
       "preemption_without_track_clearance preemption"},
      {"the worst first: a detector stuck and faulted, one silent, a power interruption, "
       "missing and damaged hours, a clock step and a version change",
       {{"logs", "s,2022-06-08 11:00:00,ok,5,11.dat,4,End of Controller Log,0,,\n"
                 "s,2022-06-08 12:00:00,missing,,,,,,,\n"
                 "s,2022-06-08 13:00:00,damaged,5,13.dat,6,Error: bad file read,2,3.5,\n"},
        {"detector_health", "s,2022-06-08 11:00:00,3,1,3600.0,1.0000,3600.0,stuck_on;fault\n"
                            "s,2022-06-08 11:00:00,4,0,0.0,0.0000,0.0,silent\n"},
        {"controller_events", "s,2022-06-08 11:00:01.0,power_interruption_on,\n"}},
       "hours_missing hours_damaged power_interruption detector_stuck_on detector_fault "
       "detector_silent clock_step version_change"},
  };
  for (const auto& c : kCases) EXPECT_EQ(problems_of(c.rows, c.settings), c.expected) << c.what;
}

}  // namespace
