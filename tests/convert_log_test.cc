#include "logconv/convert_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "events/event_table.h"
#include "tests/test_support.h"
#include "tools/loggen.h"

namespace {

using namespace std::string_literals;

const std::string kHeader6 = make_log_header(6);

// The worked example: four records of a version 6 log.
const std::string kExampleRecords(
    "\x19\x00\x64\x05"
    "\x30\x8C\x9F\x02\x01\x1E"
    "\x47\x00\x0A\x01\x02\x03"
    "\x04\x00\x14\x07",
    20);

TEST(ConvertLog, WorkedExample) {
  std::string log = kHeader6 + kExampleRecords;
  ConvertResult result;
  EXPECT_EQ(convert(log, "2022_06_08_13.dat", Mode::kProprietary, &result),
            header_rows(6) +
                " 06/08/2022 13:00:10.0,25,5,,Veh Detector on/off ,on => 2\n"
                " 06/08/2022 13:59:59.9,48,2,,,1,,,30,,Split Change        ,\n"
                " 06/08/2022 13:00:01.0,71,1,,,2,,,3,,Time Update         ,\n"
                " 06/08/2022 13:00:02.0,4,7,,Phase Yel Warn Begin,\n"
                ",End of Controller Log\n");
  EXPECT_EQ(result.end, LogEnd::kEndOfLog);
  EXPECT_EQ(result.records, 4u);
  EXPECT_EQ(convert(log, "2022_06_08_13.dat", Mode::kStandard, &result),
            header_rows(6) +
                " 06/08/2022 13:00:10.0,82,2,,\n"
                " 06/08/2022 13:59:59.9,134,30,,\n"
                " 06/08/2022 13:00:01.0,181,,\n"
                ",End of Controller Log\n");
}

TEST(ConvertLog, DateFieldsFromFileName) {
  struct Case {
    const char* name;
    const char* year;
    const char* month;
    const char* day;
    const char* hour;
  };
  const Case kCases[] = {
      {"2022_06_08_13.dat", "2022", "06", "08", "13"},
      {"AB_17_2022_06_08_13.dat", "2022", "06", "08", "13"},
      {"AB_2022_06_08_13.dat", "06", "08", "13.dat", "(null)"},
      {"__2022__06_08_13.dat", "08", "13.dat", "(null)", "(null)"},
      {"__22__6__8__13.x", "22", "6", "8", "13"},
      {"_2022_06_08_.13.x", "2022", "06", "08", "13"},
      {"x.dat", "x.dat", "(null)", "(null)", "(null)"},
      {"2022_06.dat", "2022", "06.dat", "(null)", "(null)"},
  };
  for (const Case& c : kCases) {
    LogDate date = parse_log_date(c.name);
    EXPECT_EQ(date.year, c.year) << c.name;
    EXPECT_EQ(date.month, c.month) << c.name;
    EXPECT_EQ(date.day, c.day) << c.name;
    EXPECT_EQ(date.hour, c.hour) << c.name;
  }
  // The fields land in the rows in month/day/year hour order.
  std::string csv = convert(make_log(6, {{4, 0, {1}}}), "AB_2022_06_08_13.dat",
                            Mode::kProprietary);
  EXPECT_NE(csv.find("\n 08/13.dat/06 (null):00:00.0,4,1,,"), std::string::npos)
      << csv;
}

// A name holds a valid date and hour only when every field is digits and
// names a real hour of the calendar.
TEST(ConvertLog, ValidDateAndHour) {
  struct Case {
    const char* name;
    bool valid;
  };
  const Case kCases[] = {
      {"2022_06_08_13.dat", true},
      {"AB_17_2022_06_08_13.dat", true},
      {"0001_01_01_00.dat", true},
      {"9999_12_31_23.dat", true},
      {"2024_02_29_00.dat", true},   // leap year
      {"2000_02_29_05.dat", true},   // divisible by 400
      {"2023_02_29_00.dat", false},  // not a leap year
      {"1900_02_29_00.dat", false},  // divisible by 100
      {"2022_04_31_10.dat", false},
      {"2022_06_08_24.dat", false},
      {"2022_13_08_10.dat", false},
      {"2022_00_08_10.dat", false},
      {"2022_06_00_10.dat", false},
      {"0000_06_08_10.dat", false},
      {"10000_6_8_1.dat", false},
      {"2022_06_08_13 - Copy.dat", false},
      {"1042_2022_06_08_13.dat", false},
      {"log.dat", false},
      {"2022_06_08.dat", false},
      {"2022_+6_08_13.dat", false},
      {"2022_06_08_1x.dat", false},
  };
  for (const Case& c : kCases) {
    LogHour hour = {0, 0, 0, 0};
    EXPECT_EQ(read_log_hour(parse_log_date(c.name), &hour), c.valid) << c.name;
  }
  LogHour hour;
  ASSERT_TRUE(read_log_hour(parse_log_date("AB_17_2022_06_08_13.dat"), &hour));
  EXPECT_EQ(hour.year, 2022);
  EXPECT_EQ(hour.month, 6);
  EXPECT_EQ(hour.day, 8);
  EXPECT_EQ(hour.hour, 13);
}

TEST(ConvertLog, VersionFromFirstLine) {
  struct Case {
    const char* line;
    int version;
  };
  const Case kCases[] = {
      {"a b c d e 4\n", 4},       {"a  b c  d e   5 x\n", 5},
      {"  a b c d e 6", 6},       {"a b c d e +6x\n", 6},
      {"a b c d e -4\n", -4},     {"a b c d e\n", 0},
      {"a b c d e x6\n", 0},      {"a\tb c d e f 5\n", 5},
      {"a b c d e \t7\n", 7},     {"a b c d e \v-7\n", -7},
      {"a b c d e 99999999999999999999\n", 1000000000},
  };
  for (const Case& c : kCases)
    EXPECT_EQ(parse_log_version(c.line), c.version) << c.line;
  EXPECT_EQ(parse_log_version(std::string_view("a b c d e \x0b" "5", 12)), 5);
}

TEST(ConvertLog, HeaderFixUps) {
  struct Case {
    const char* header;  // before the marker line
    const char* rows;
  };
  const Case kCases[] = {
      // Line 3 index 10, line 4 index 11, line 6 index 14; no other line.
      {"v\n0123456789:two\n0123456789:three\n0123456789a:four\n"
       "0123456789:five\n0123456789abcd:six\n0123456789abcd:seven\n",
       ",,v\n,,0123456789:two\n,,0123456789,three\n,,0123456789a,four\n"
       ",,0123456789:five\n,,0123456789abcd,six\n,,0123456789abcd:seven\n"},
      // A line no longer than its index, or whose index holds the newline,
      // is left as it is.
      {"v\n2\n0123456789\n01234567890\n5\n01234567890123\n",
       ",,v\n,,2\n,,0123456789\n,,01234567890\n,,5\n,,01234567890123\n"},
  };
  for (const Case& c : kCases) {
    std::string log = std::string(c.header) + "Binary Data Follows:\n";
    EXPECT_EQ(convert(log, "2022_06_08_13.dat", Mode::kProprietary),
              std::string(c.rows) + ",,Binary Data Follows:\n" +
                  ",End of Controller Log\n");
  }
}

TEST(ConvertLog, MarkerEndsTheHeaderWhereverItStands) {
  std::string record = encode_record({4, 0, {1}});
  struct Case {
    std::string log;
    std::string rows;
  };
  const Case kCases[] = {
      // On line 4 the fix-up breaks the echoed marker, not the test for it.
      {"a b c d e 6\n2\n3\nBinary Data Follows:\n" + record,
       ",,a b c d e 6\n,,2\n,,3\n,,Binary Data,Follows:\n"},
      {"a b c d e 6 Binary Data Follows: and more\n" + record,
       ",,a b c d e 6 Binary Data Follows: and more\n"},
      // Header lines are raw bytes: a NUL is echoed and hides nothing.
      {"a b c d e 6\n\0x\0 Binary Data Follows:\n"s + record,
       ",,a b c d e 6\n,,\0x\0 Binary Data Follows:\n"s},
      // The marker must stand whole within one line.
      {"a b c d e 6\nBinary Data\nFollows:\nBinary Data Follows:\n" + record,
       ",,a b c d e 6\n,,Binary Data\n,,Follows:\n,,Binary Data,Follows:\n"},
  };
  for (const Case& c : kCases) {
    EXPECT_EQ(convert(c.log, "2022_06_08_13.dat", Mode::kProprietary),
              c.rows + " 06/08/2022 13:00:00.0,4,1,,Phase Yel Warn Begin,\n" +
                  ",End of Controller Log\n");
  }
}

// A line longer than 255 bytes arrives in pieces that count as lines.
TEST(ConvertLog, LongHeaderLinesComeInPieces) {
  std::string first = "a b c d e 4 " + std::string(300, 'x') + "\n";
  std::string third = std::string(255, 'y') + "0123456789:z\n";
  std::string log = first + third + "Binary Data Follows:\n" +
                    encode_record({8, 0, {}});  // a version 4 placeholder
  std::string csv = convert(log, "2022_06_08_13.dat", Mode::kProprietary);
  // Piece 3 (the start of the third line) gets the line 3 fix-up at index
  // 10, piece 4 (its rest) the line 4 fix-up at index 11.
  EXPECT_EQ(csv, ",," + first.substr(0, 255) + ",," + first.substr(255) +
                     ",," + third.substr(0, 10) + "," + third.substr(11, 244) +
                     ",,0123456789:,\n"
                     ",,Binary Data Follows:\n"
                     " 06/08/2022 13:00:00.0,8,,Phase Status8,\n"
                     ",End of Controller Log\n")
      << csv;
}

TEST(ConvertLog, ClosingRows) {
  std::string v6 = kHeader6;
  struct Case {
    const char* what;
    std::string log;
    bool fail_at_end;
    LogEnd end;
    const char* last_rows;
  };
  const Case kCases[] = {
      {"no records", v6, false, LogEnd::kEndOfLog,
       ",,Binary Data Follows:\n,End of Controller Log\n"},
      {"bad type", v6 + encode_record({102, 0, {}}) + "more", false,
       LogEnd::kBadEventType,
       ",,Binary Data Follows:\n,Error: bad event type 102\n"},
      {"cut record", v6 + encode_record({4, 0, {1}}) + std::string("\x30\x00\x01\x02", 4),
       false, LogEnd::kBadFileRead,
       "Warn Begin,\n,Error: bad file read\n"},
      {"cut timestamp", v6 + std::string("\x04\x00", 2), false,
       LogEnd::kBadFileRead, ",,Binary Data Follows:\n,Error: bad file read\n"},
      {"read error", v6 + encode_record({4, 0, {1}}), true,
       LogEnd::kBadFileRead, "Warn Begin,\n,Error: bad file read\n"},
      {"no marker", "a b c d e 6\nsecond", false, LogEnd::kBadFileRead,
       ",,a b c d e 6\n,,second,Error: bad file read\n"},
      {"empty", "", false, LogEnd::kBadFileRead, ",Error: bad file read\n"},
  };
  for (const Case& c : kCases) {
    MemoryInput input(c.log, c.fail_at_end);
    StringOutput output;
    ConvertResult result =
        convert_log(input, output, "2022_06_08_13.dat", Mode::kProprietary);
    EXPECT_EQ(result.end, c.end) << c.what;
    const std::string& csv = output.text();
    std::string last = c.last_rows;
    ASSERT_GE(csv.size(), last.size()) << c.what;
    EXPECT_EQ(csv.substr(csv.size() - last.size()), last) << c.what;
  }
}

TEST(ConvertLog, FirstBadTypeOfEachVersion) {
  const int kCounts[][2] = {{4, 143}, {5, 83}, {6, 102}, {9, 116}};
  for (const auto& [version, count] : kCounts) {
    std::string log = make_log(version, {}) +
                      encode_record({static_cast<uint8_t>(count - 1), 0, {}});
    log.append(select_event_table(version).rows[count - 1].length, '\0');
    log += static_cast<char>(count);
    ConvertResult result;
    std::string csv = convert(log, "2022_06_08_13.dat", Mode::kProprietary,
                              &result);
    EXPECT_EQ(result.end, LogEnd::kBadEventType);
    EXPECT_EQ(result.bad_type, count);
    std::string last = ",Error: bad event type " + std::to_string(count) + "\n";
    EXPECT_EQ(csv.substr(csv.size() - last.size()), last);
    EXPECT_NE(csv.find(" 06/08/2022 13:00:00.0," + std::to_string(count - 1)),
              std::string::npos);
  }
}

TEST(ConvertLog, TimeOfDay) {
  const struct {
    uint16_t t;
    const char* time;
  } kCases[] = {{0, "00:00.0"},     {9, "00:00.9"},     {599, "00:59.9"},
                {600, "01:00.0"},   {12345, "20:34.5"}, {35999, "59:59.9"},
                {36000, "59:59.9"}, {65535, "59:59.9"}};
  for (const auto& c : kCases) {
    std::string csv = convert(make_log(6, {{4, c.t, {1}}}), "2022_06_08_13.dat",
                              Mode::kProprietary);
    EXPECT_NE(csv.find(std::string(" 06/08/2022 13:") + c.time + ",4,1,,"),
              std::string::npos)
        << c.t;
  }
}

TEST(ConvertLog, ProprietaryRowShapes) {
  std::string csv = convert(
      make_log(6, {{101, 1, {}},
                   {85, 2, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 255}},
                   {0, 3, {254}}}),
      "2022_06_08_13.dat", Mode::kProprietary);
  EXPECT_EQ(csv, header_rows(6) +
                     " 06/08/2022 13:00:00.1,101,,FREE_NEW_CYCLE      ,\n"
                     " 06/08/2022 13:00:00.2,85,0,,,1,,,2,,,3,,,4,,,5,,,6,,,7,,,"
                     "8,,,9,,,10,,,11,,,12,,,13,,,14,,,255,,TSPRmt ChkInReq Data,\n"
                     " 06/08/2022 13:00:00.3,0,254,,Phase on/off        ,off => 127\n"
                     ",End of Controller Log\n");
}

// Reads of any size, down to a byte at a time, give the same CSV.
TEST(ConvertLog, ReadSizeDoesNotMatter) {
  class TrickleInput : public InputStream {
   public:
    explicit TrickleInput(std::string_view bytes) : bytes_(bytes) {}
    size_t read(char* buf, size_t size) override {
      size_t n = std::min({size, bytes_.size() - pos_, step_++ % 7 + 1});
      bytes_.copy(buf, n, pos_);
      pos_ += n;
      return n;
    }
    bool failed() const override { return false; }

   private:
    std::string_view bytes_;
    size_t pos_ = 0;
    size_t step_ = 0;
  };
  for (int version : {4, 6, 7}) {
    std::string log = make_log(version, random_records(version, 40000, 3, {}));
    ASSERT_GT(log.size(), 2u << 16);  // several input blocks
    for (Mode mode : {Mode::kProprietary, Mode::kStandard}) {
      std::string whole = convert(log, "2022_06_08_13.dat", mode);
      TrickleInput input(log);
      StringOutput output;
      ConvertResult result =
          convert_log(input, output, "2022_06_08_13.dat", mode);
      EXPECT_EQ(result.end, LogEnd::kEndOfLog);
      EXPECT_EQ(output.text(), whole);
    }
  }
}

TEST(ConvertLog, WriteFailureIsReported) {
  std::string log = make_log(6, random_records(6, 50000, 5, {}));
  for (size_t limit : {0, 10, 70000, 1000000}) {
    MemoryInput input(log);
    StringOutput output(limit);
    ConvertResult result =
        convert_log(input, output, "2022_06_08_13.dat", Mode::kProprietary);
    EXPECT_EQ(result.end, LogEnd::kWriteFailed) << limit;
  }
}

// A bound on the CSV keeps the rows that end within it, then the closing
// row; the bound at the rows' end or past it changes nothing. Small logs
// (one buffer) and large ones (several) alike.
TEST(ConvertLog, BoundOnTheOutputAtItsEdges) {
  for (int records : {20, 30000}) {
    const std::string log = make_log(6, random_records(6, records, 4, {}));
    const std::string whole = convert(log, "2022_06_08_13.dat", Mode::kProprietary);
    const std::string closing = ",End of Controller Log\n";
    const uint64_t rows = whole.size() - closing.size();
    for (uint64_t bound : {rows / 2, rows - 1, rows, rows + 1, uint64_t{1} << 40}) {
      MemoryInput input(log);
      StringOutput output;
      LogConverter converter;
      ConvertResult result =
          converter.convert(input, output, "2022_06_08_13.dat", Mode::kProprietary, bound);
      const std::string what = std::to_string(records) + " records, bound " + std::to_string(bound);
      // The rows counted are the rows written (the header's and the
      // closing row start with a comma).
      uint64_t written = 0;
      for (size_t at = 0; at < output.text().size(); at = output.text().find('\n', at) + 1)
        written += output.text()[at] != ',';
      EXPECT_EQ(result.rows, written) << what;
      if (bound >= rows) {
        EXPECT_EQ(result.end, LogEnd::kEndOfLog) << what;
        EXPECT_FALSE(result.output_cut) << what;
        EXPECT_EQ(output.text(), whole) << what;
      } else {
        EXPECT_EQ(result.end, LogEnd::kBadFileRead) << what;
        EXPECT_TRUE(result.output_cut) << what;
        EXPECT_EQ(output.text(), whole.substr(0, whole.rfind('\n', bound - 1) + 1) +
                                     ",Error: bad file read\n") << what;
      }
    }
  }
}

// File names have no length limit of their own.
TEST(ConvertLog, VeryLongFileName) {
  std::string name = "AB_17_2022_06_08_13" + std::string(200000, 'x') + ".dat";
  std::string csv = convert(make_log(6, random_records(6, 100, 1, {4})), name,
                            Mode::kProprietary);
  std::string prefix = " 06/08/2022 13" + std::string(200000, 'x') + ":";
  size_t rows = 0;
  for (size_t at = csv.find(prefix); at != std::string::npos;
       at = csv.find(prefix, at + 1)) {
    ++rows;
  }
  EXPECT_EQ(rows, 100u);
  EXPECT_EQ(csv.substr(csv.size() - 23), ",End of Controller Log\n");
}

}  // namespace
