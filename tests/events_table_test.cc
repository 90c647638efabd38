// The rows of the events table against the CSV of the same log, their
// timestamps across the calendar, and the table's quoting.

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "events/event_table.h"
#include "logconv/convert_log.h"
#include "logs/names.h"
#include "tests/test_support.h"
#include "tools/loggen.h"

namespace {

std::vector<std::string> split(const std::string& text, char sep) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(text);
  while (std::getline(in, part, sep)) parts.push_back(part);
  if (!text.empty() && text.back() == sep && sep != '\n') parts.push_back("");
  return parts;
}

// The rows of the events table of a log held in memory.
std::string events(const std::string& log, const std::string& name,
                   const std::string& signal_field, Mode mode,
                   ConvertResult* result = nullptr) {
  LogHour hour;
  EXPECT_TRUE(read_log_hour(parse_log_date(name), &hour)) << name;
  MemoryInput input(log);
  StringOutput output;
  LogConverter converter;
  ConvertResult r =
      converter.convert_events(input, output, {signal_field, hour}, mode);
  if (result != nullptr) *result = r;
  return output.text();
}

// Every row of the table says what the CSV's row of the same record says,
// for every event type of every version; a timestamp the CSV shows as the
// hour's last tenth is the true one, in the next hour.
TEST(PublishedFile, RowsAgreeWithTheCsv) {
  const std::string name = "2022_12_31_23.dat";
  for (int version : {4, 5, 6, 7}) {
    std::string log = make_log(version, every_type_records(version, 3, version));
    for (Mode mode : {Mode::kProprietary, Mode::kStandard}) {
      ConvertResult csv_result, table_result;
      std::vector<std::string> csv_rows =
          split(convert(log, name, mode, &csv_result), '\n');
      std::vector<std::string> rows =
          split(events(log, name, "S", mode, &table_result), '\n');
      EXPECT_EQ(table_result.end, csv_result.end);
      EXPECT_EQ(table_result.records, csv_result.records);
      EXPECT_EQ(table_result.version, version);
      // The CSV's event rows: past its 7 header rows, before its closing.
      ASSERT_EQ(rows.size() + 8, csv_rows.size()) << version;
      for (size_t i = 0; i < rows.size(); ++i) {
        std::vector<std::string> c = split(csv_rows[i + 7], ',');
        std::vector<std::string> t = split(rows[i], ',');
        std::string what = "version " + std::to_string(version) + ": " +
                           csv_rows[i + 7] + " | " + rows[i];
        ASSERT_GE(t.size(), 4u) << what;
        EXPECT_EQ(t[0], "S") << what;
        const std::string clock = c[0].substr(15);  // MM:SS.t
        if (clock != "59:59.9" || t[1].rfind("2022-12-31 23:", 0) == 0)
          EXPECT_EQ(t[1], "2022-12-31 23:" + clock) << what;
        else
          EXPECT_EQ(t[1].substr(0, 14), "2023-01-01 00:") << what;
        EXPECT_EQ(t[2], c[1]) << what;
        // The log's version closes every row.
        EXPECT_EQ(t.back(), std::to_string(version)) << what;
        if (mode == Mode::kStandard) {
          EXPECT_EQ(t.size(), 5u) << what;
          EXPECT_EQ(t[3], c[2]) << what;
          continue;
        }
        // Proprietary: the name without its padding, the data bytes.
        const EventDefinition& row =
            select_event_table(version).rows[std::stoi(c[1])];
        std::string padded = row.name;
        EXPECT_EQ(t[3], padded.substr(0, padded.find_last_not_of(' ') + 1))
            << what;
        std::string data;
        for (int k = 0; k < row.length; ++k)
          data += (k ? " " : "") + c[2 + 3 * k];
        EXPECT_EQ(t[4], data) << what;
      }
    }
  }
}

// A timestamp is the hour of the log's name plus the record's tenths of a
// second, across the hour, the day, the month, the year and leap days.
TEST(PublishedFile, Timestamps) {
  struct Case {
    const char* name;
    uint16_t time;
    const char* timestamp;
  };
  const Case kCases[] = {
      {"2022_06_08_13.dat", 0, "2022-06-08 13:00:00.0"},
      {"2022_06_08_13.dat", 35999, "2022-06-08 13:59:59.9"},
      {"2022_06_08_13.dat", 36000, "2022-06-08 14:00:00.0"},
      {"2022_06_08_23.dat", 36001, "2022-06-09 00:00:00.1"},
      {"2022_06_30_23.dat", 36010, "2022-07-01 00:00:01.0"},
      {"2022_12_31_23.dat", 36005, "2023-01-01 00:00:00.5"},
      {"2024_02_28_23.dat", 36000, "2024-02-29 00:00:00.0"},
      {"2024_02_29_23.dat", 36000, "2024-03-01 00:00:00.0"},
      {"2023_02_28_23.dat", 65535, "2023-03-01 00:49:13.5"},
      {"1900_02_28_23.dat", 36000, "1900-03-01 00:00:00.0"},
      {"2000_02_28_23.dat", 36000, "2000-02-29 00:00:00.0"},
      {"0001_01_01_00.dat", 600, "0001-01-01 00:01:00.0"},
      {"9999_12_31_23.dat", 36000, "10000-01-01 00:00:00.0"},
      {"AB_17_2022_06_08_05.dat", 12345, "2022-06-08 05:20:34.5"},
  };
  for (const Case& c : kCases) {
    std::string log = make_log(6, {{4, c.time, {1}}});
    EXPECT_EQ(events(log, c.name, "x", Mode::kProprietary),
              std::string("x,") + c.timestamp + ",4,Phase Yel Warn Begin,1,6\n")
        << c.name << " " << c.time;
  }
}

TEST(PublishedFile, FieldsAndHeader) {
  struct Case {
    const char* field;
    const char* written;
  };
  const Case kCases[] = {
      {"elm_st", "elm_st"},
      {"", ""},
      {"Elm, 5th", "\"Elm, 5th\""},
      {"say \"hi\"", "\"say \"\"hi\"\"\""},
      {"two\nlines", "\"two\nlines\""},
      {"cr\r", "\"cr\r\""},
      {"北京路/Façade", "北京路/Façade"},
  };
  for (const Case& c : kCases) EXPECT_EQ(csv_field(c.field), c.written) << c.field;
  EXPECT_EQ(events_header(Mode::kStandard),
            "signal_id,timestamp,event_code,event_param,version\n");
  EXPECT_EQ(events_header(Mode::kProprietary),
            "signal_id,timestamp,event_type,event_name,data,version\n");

  // Where the signal id comes from in a name: the two fields before the
  // date of a name longer than 17 characters.
  EXPECT_EQ(leading_fields("AB_17_2022_06_08_13.dat"), "AB_17");
  EXPECT_EQ(leading_fields("__AB__17_2022_06_08_13.dat"), "AB_17");
  EXPECT_EQ(leading_fields("2022_06_08_13.dat"), "");
  EXPECT_EQ(leading_fields("AB_2022_06_08_13.dat"), "AB_2022");
  EXPECT_EQ(leading_fields("NoUnderscoresAtAll.dat"), "NoUnderscoresAtAll.dat");
  // A name that fails the date rule gives no fields, whatever the rule: its
  // log takes its folder's id.
  struct IdCase {
    SignalIdFrom from;
    const char* name;
    const char* id;
  };
  const IdCase kIds[] = {
      {SignalIdFrom::kAuto, "AB_17_2022_06_08_13.dat", "AB_17"},
      {SignalIdFrom::kAuto, "2022_06_08_13.dat", "folder"},
      {SignalIdFrom::kAuto, "2024_06_12_08 - Copy.dat", "folder"},
      {SignalIdFrom::kName, "2024_06_12_08 - Copy.dat", "folder"},
      {SignalIdFrom::kName, "AB_17_2022_13_08_13.dat", "folder"},
      {SignalIdFrom::kDir, "AB_17_2022_06_08_13.dat", "folder"},
  };
  for (const IdCase& c : kIds) EXPECT_EQ(signal_id_of(c.from, c.name, "folder"), c.id) << c.name;

  // The standard row of a code without a parameter ends after its code;
  // damage leaves the rows before it and no closing row.
  std::string log = make_log(6, {{71, 10, {1, 2, 3}}, {25, 20, {5}}}) + "\x30";
  ConvertResult result;
  EXPECT_EQ(events(log, "2022_06_08_13.dat", "x", Mode::kStandard, &result),
            "x,2022-06-08 13:00:01.0,181,,6\n"
            "x,2022-06-08 13:00:02.0,82,2,6\n");
  // A record without data bytes leaves its data column empty.
  ASSERT_EQ(kVersion6Table.rows[101].length, 0);
  EXPECT_EQ(events(make_log(6, {{101, 10, {}}}), "2022_06_08_13.dat", "x",
                   Mode::kProprietary),
            "x,2022-06-08 13:00:01.0,101,FREE_NEW_CYCLE,,6\n");
  EXPECT_EQ(result.end, LogEnd::kBadFileRead);
}

}  // namespace
