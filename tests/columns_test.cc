// The dataframe columns hold the events table's rows, logs joined in their
// order with codes of the whole run.

#include "outputs/frames.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "events/event_table.h"
#include "tools/loggen.h"

namespace {

// Splits an events-table row into its fields (names hold no comma).
std::vector<std::string> fields(const std::string& row) {
  std::vector<std::string> out;
  std::stringstream in(row);
  std::string field;
  while (std::getline(in, field, ',')) out.push_back(field);
  if (!row.empty() && row.back() == ',') out.push_back("");
  return out;
}

// Tenths of a second past `hour` of a timestamp "YYYY-MM-DD HH:MM:SS.t".
int64_t tenths_of(const std::string& stamp, int hour) {
  int h = std::stoi(stamp.substr(11, 2)), m = std::stoi(stamp.substr(14, 2));
  int s = std::stoi(stamp.substr(17, 2)), t = std::stoi(stamp.substr(20, 1));
  return int64_t{(h == hour ? 0 : 36000)} + m * 600 + s * 10 + t;
}

TEST(ColumnSink, HoldsTheEventsTableRowsOfEveryLog) {
  struct Log {
    int version;
    LogHour hour;
    std::string signal;
  };
  const Log kLogs[] = {{4, {2022, 6, 8, 13}, "north"},
                       {6, {2022, 6, 8, 23}, "south"},
                       {7, {2024, 2, 29, 0}, "north"}};
  for (Mode mode : {Mode::kStandard, Mode::kProprietary}) {
    ColumnSink sink(mode);
    std::vector<std::vector<std::string>> rows;  // the table's, in order
    std::vector<int64_t> starts;                 // of each row's log
    std::vector<int> hours;
    LogConverter converter;
    for (const Log& l : kLogs) {
      const std::string bytes = make_log(l.version, every_type_records(l.version, 2, 7));
      MemoryInput in(bytes);
      StringOutput table;
      converter.convert_events(in, table, {l.signal, l.hour}, mode);
      std::stringstream lines(table.text());
      for (std::string line; std::getline(lines, line);) {
        rows.push_back(fields(line));
        starts.push_back(hour_ns(l.hour));
        hours.push_back(l.hour.hour);
      }
      MemoryInput again(bytes);
      SpillOutput packed(1 << 20);
      LogToLoad load;
      load.signal_id = l.signal;
      load.hour = l.hour;
      load.version = converter.convert_packed(again, packed, mode).version;
      std::string err;
      ASSERT_TRUE(sink.load(load, packed, sink.prepare(load, packed), &err)) << err;
    }
    RunColumns c = sink.take();
    ASSERT_EQ(c.timestamp.size(), rows.size());
    EXPECT_EQ(c.signals, (std::vector<std::string>{"north", "south"}));
    EXPECT_EQ(c.logs.size(), 3u);
    for (size_t i = 0; i < rows.size(); ++i) {
      const std::vector<std::string>& r = rows[i];
      SCOPED_TRACE(i);
      EXPECT_EQ(c.signals[c.signal[i]], r[0]);
      EXPECT_EQ(c.timestamp[i], starts[i] + tenths_of(r[1], hours[i]) * 100000000);
      EXPECT_EQ(std::to_string(c.code[i]), r[2]);
      if (mode == Mode::kStandard) {
        EXPECT_EQ(c.param_missing[i] ? "" : std::to_string(c.param[i]), r[3]);
        continue;
      }
      EXPECT_EQ(c.names[c.name[i]], r[3]);
      std::string data;
      for (unsigned char byte : c.datas[c.data[i]])
        data += (data.empty() ? "" : " ") + std::to_string(byte);
      EXPECT_EQ(data, r.size() > 4 ? r[4] : "");
    }
  }
}

TEST(ColumnSink, HourNanoseconds) {
  EXPECT_EQ(hour_ns({1970, 1, 1, 0}), 0);
  EXPECT_EQ(hour_ns({1970, 1, 2, 1}), 25 * 3600 * int64_t{1000000000});
  EXPECT_EQ(hour_ns({2000, 3, 1, 0}), 951868800 * int64_t{1000000000});
  EXPECT_EQ(hour_ns({1678, 1, 1, 0}), -9214560000 * int64_t{1000000000});
}

}  // namespace
