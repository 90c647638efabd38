// The detector map as files give it, good and bad; and the tables made
// from it, rule by rule on logs made event by event, the expected rows
// written first.

#include "measures/detector_map.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "logconv/streams.h"
#include "tests/test_support.h"
#include "measures/cycles.h"
#include "measures/measures.h"

namespace {

using K = SignalEvent;


TEST(DetectorMap, Files) {
  const struct {
    const char* what;
    const char* text;
    const char* error;  // empty: read
  } kCases[] = {
      {"any order of the columns, quoted fields, a blank line, CRLF",
       "roles,signal_id,channel,phase,approach,distance,speed\r\n"
       "advance,\"s,1\",3,2+6,\"Main St \"\"EB\"\"\",400,30\r\n\r\n"
       "stopbar+count,s2,3,4,NB,,\r\n",
       ""},
      {"metres and km/h", "signal_id,channel,phase,approach,roles,distance_m,speed_kmh\ns,1,2,NB,advance,100,36\n", ""},
      {"an unknown column", "signal_id,channel,phase,approach,roles,distance,speed,lane\n",
       "line 1: unknown column 'lane' (the columns: signal_id, channel, phase, approach, "
       "roles, distance or distance_m, speed or speed_kmh)"},
      {"a missing column", "signal_id,channel,phase,approach,roles,distance\n",
       "line 1: the column speed is missing"},
      {"two distances", "signal_id,channel,phase,approach,roles,distance,distance_m,speed\n",
       "line 1: column 'distance_m' repeats another"},
      {"a bad channel", "signal_id,channel,phase,approach,roles,distance,speed\ns,x,2,NB,advance,,\n",
       "line 2: channel 'x' is not a number from 0 to 255"},
      {"a bad phase", "signal_id,channel,phase,approach,roles,distance,speed\ns,1,2+,NB,advance,,\n",
       "line 2: phase '2+' is not a phase from 1 to 255, or several joined by +"},
      {"a bad distance", "signal_id,channel,phase,approach,roles,distance,speed\n\ns,1,2,NB,advance,-4,30\n",
       "line 3: distance '-4' is not a number"},
      {"an unknown role", "signal_id,channel,phase,approach,roles,distance,speed\ns,1,2,NB,advance+exit,,\n",
       "line 2: role 'exit' is not advance, stopbar or count"},
      {"a signal and channel twice, the second's line named",
       "signal_id,channel,phase,approach,roles,distance,speed\ns,1,2,\"N\nB\",count,,\ns,1,4,EB,count,,\n",
       "line 4: signal s, channel 1 is on line 2 already"},
      {"too few fields", "signal_id,channel,phase,approach,roles,distance,speed\ns,1,2,NB\n",
       "line 2: 4 fields where the header has 7"},
      {"a quote left open", "signal_id,channel,phase,approach,roles,distance,speed\ns,1,2,\"NB,count,,\n",
       "line 2: a quote is not closed"},
  };
  for (const auto& c : kCases) {
    DetectorMap map;
    std::string err;
    EXPECT_EQ(parse_detector_map(c.text, &map, &err), *c.error == '\0') << c.what;
    EXPECT_EQ(err, c.error) << c.what;
  }
  DetectorMap map;
  std::string err;
  ASSERT_TRUE(parse_detector_map(kCases[0].text, &map, &err));
  const MappedDetector& d = map.at("s,1").at(3);
  EXPECT_EQ(d.phases, (std::vector<int>{2, 6}));
  EXPECT_EQ(d.approach, "Main St \"EB\"");
  EXPECT_EQ(d.roles, kAdvance);
  EXPECT_NEAR(d.travel_tenths, 400 / 44.0 * 10, 1e-9);  // 30 mph: 44 ft/s
  EXPECT_EQ(map.at("s2").at(3).roles, kStopBar | kCount);
  EXPECT_EQ(map.at("s2").at(3).travel_tenths, 0);
  ASSERT_TRUE(parse_detector_map(kCases[1].text, &map, &err));
  EXPECT_NEAR(map.at("s").at(1).travel_tenths, 100.0, 1e-9);  // 100 m at 10 m/s
}

// A log of hour 2022-06-08 `hour` of signal "s": whole or damaged.
LogMeasures log_of(int hour, bool whole, std::vector<MeasureEvent> events) {
  LogMeasures log;
  log.path = std::to_string(hour) + ".dat";
  log.hour = {2022, 6, 8, hour};
  log.covered = whole;
  log.records = events.size();
  log.events = std::move(events);
  return log;
}

// The same, of a numbering without End Yellow or End Red (version 4).
LogMeasures version_4(int hour, bool whole, std::vector<MeasureEvent> events) {
  LogMeasures log = log_of(hour, whole, std::move(events));
  log.kinds &= ~(1u << static_cast<int>(SignalEvent::kYellowEnd) |
                 1u << static_cast<int>(SignalEvent::kRedEnd));
  return log;
}

// The map of the cases: channel 9 the advance detector of phase 2, 44 ft
// out at 30 mph (1 s); 3 the stop bar of phases 2 and 6, counting NB; 4
// counting "Main St, EB"; 10 an advance detector with no distance.
const char kMap[] =
    "signal_id,channel,phase,approach,roles,distance,speed\n"
    "s,9,2,NB,advance,44,30\n"
    "s,3,2+6,NB,stopbar+count,,\n"
    "s,4,4,\"Main St, EB\",count,,\n"
    "s,10,4,EB,advance,,30\n";

// The rows of the map's table `table` for the logs, in bins of `bin`
// minutes.
std::string rows(const char* table, std::vector<LogMeasures> logs, int bin = 15) {
  MeasureSettings settings;
  settings.bin_minutes = bin;
  auto map = std::make_shared<DetectorMap>();
  std::string err;
  EXPECT_TRUE(parse_detector_map(kMap, map.get(), &err)) << err;
  settings.detectors = map;
  std::vector<Text> texts(kMeasureSchema.size());
  std::vector<OutputStream*> out;
  for (Text& t : texts) out.push_back(&t);
  MeasureTables tables(settings, out);
  EXPECT_TRUE(tables.add_signal("s", std::move(logs), nullptr, &err) && tables.finish());
  const std::string& text = texts[static_cast<size_t>(measure_table_index(table))].text;
  return text.substr(text.find('\n') + 1);
}

// Phase 2's day: its yellow ends at 10.0 s, green 20.0 s to its yellow
// at 50.0 s, whose end at 54.0 s ends the cycle; the next cycle has no
// green and ends at 90.0 s.
std::vector<MeasureEvent> phase_2() {
  return {{100, K::kYellowEnd, 2, false}, {200, K::kGreen, 2, false},
          {500, K::kYellow, 2, false},    {540, K::kYellowEnd, 2, false},
          {900, K::kYellowEnd, 2, false}};
}

// `events` and `more` in time order.
std::vector<MeasureEvent> with(std::vector<MeasureEvent> events,
                               const std::vector<MeasureEvent>& more) {
  events.insert(events.end(), more.begin(), more.end());
  std::stable_sort(events.begin(), events.end(),
                   [](const MeasureEvent& a, const MeasureEvent& b) { return a.tenths < b.tenths; });
  return events;
}

TEST(DetectorMapTables, Rules) {
  // Advance actuations of phase 2 (arriving 1 s later): in red, green and
  // yellow, one arriving at the cycle's end (the next cycle's start), one
  // crossing into the next cycle; and channel 10's, not in the map's phase
  // cycles (no cycle of phase 4).
  const std::vector<MeasureEvent> advance = {
      {150, K::kDetector, 9, true}, {195, K::kDetector, 9, true},  {495, K::kDetector, 9, true},
      {530, K::kDetector, 9, true}, {535, K::kDetector, 9, true},  {600, K::kDetector, 10, true}};
  const struct {
    const char* what;
    const char* table;
    std::vector<LogMeasures> logs;
    std::string expected;
    int bin = 15;
  } kCases[] = {
      {"whole cycles only: the one open at the end is not", "cycles",
       {log_of(12, true, phase_2())},
       "s,2,2022-06-08 12:00:10.0,2022-06-08 12:00:20.0,2022-06-08 12:00:50.0,2022-06-08 12:00:54.0\n"
       "s,2,2022-06-08 12:00:54.0,,,2022-06-08 12:01:30.0\n"},
      {"version 4: a cycle from one Begin Red Clearance to the next, across the hour",
       "cycles",
       {version_4(12, true, {{35900, K::kRed, 2, false}, {35950, K::kGreen, 2, false}}),
        version_4(13, true, {{100, K::kYellow, 2, false}, {140, K::kRed, 2, false}})},
       "s,2,2022-06-08 12:59:50.0,2022-06-08 12:59:55.0,2022-06-08 13:00:10.0,2022-06-08 13:00:14.0\n"},
      {"no cycle across a clock that went back", "cycles",
       {log_of(12, true, {{100, K::kYellowEnd, 2, false}, {200, K::kGreen, 2, false},
                          {250, K::kNone, 0, false}, {150, K::kYellow, 2, false},
                          {190, K::kYellowEnd, 2, false}, {300, K::kYellowEnd, 2, false}})},
       "s,2,2022-06-08 12:00:19.0,,,2022-06-08 12:00:30.0\n"},
      {"no cycle across a damaged hour", "cycles",
       {log_of(12, true, {{35000, K::kYellowEnd, 2, false}}),
        log_of(13, false, {{100, K::kYellowEnd, 2, false}, {200, K::kYellowEnd, 2, false}})},
       ""},
      {"arrivals moved to the stop bar, at a cycle's edge and across it", "arrivals",
       {log_of(12, true, with(phase_2(), advance))},
       "s,2,2022-06-08 12:00:10.0,2022-06-08 12:00:16.0,6.0,red\n"
       "s,2,2022-06-08 12:00:10.0,2022-06-08 12:00:20.5,10.5,green\n"
       "s,2,2022-06-08 12:00:10.0,2022-06-08 12:00:50.5,40.5,yellow\n"
       "s,2,2022-06-08 12:00:54.0,2022-06-08 12:00:54.0,0.0,red\n"
       "s,2,2022-06-08 12:00:54.0,2022-06-08 12:00:54.5,0.5,red\n"},
      {"arrivals on green: the share, and the platoon ratio of the bin's cycles",
       "arrivals_on_green",
       {log_of(12, true, with(phase_2(), advance))},
       "s,2022-06-08 12:00:00.0,2,5,1,1,3,20.0,0.53\n"},
      {"a green fully occupied and its red too; one empty; a stop bar shared by phase 6",
       "split_failures",
       {log_of(12, true,
               with(with(phase_2(), {{300, K::kGreen, 6, false}, {450, K::kYellow, 6, false},
                                     {480, K::kYellowEnd, 6, false}, {1000, K::kGreen, 2, false},
                                     {1100, K::kYellow, 2, false}, {1140, K::kYellowEnd, 2, false}}),
                    {{200, K::kDetector, 3, true}, {500, K::kDetectorOff, 3, false},
                     {540, K::kDetector, 3, true}, {590, K::kDetectorOff, 3, false},
                     {35990, K::kGreen, 2, false}}))},
       "s,2,2022-06-08 12:00:20.0,30.0,1.00,1.00,1\n"
       "s,6,2022-06-08 12:00:30.0,15.0,1.00,0.40,0\n"
       "s,2,2022-06-08 12:01:40.0,10.0,0.00,0.00,0\n"},
      {"a red that reaches past the covered hours has no occupancy", "split_failures",
       {log_of(12, true, {{35800, K::kGreen, 2, false}, {35900, K::kYellow, 2, false},
                          {35980, K::kYellowEnd, 2, false}, {35850, K::kDetector, 3, true}})},
       "s,2,2022-06-08 12:59:40.0,10.0,0.50,,\n"},
      {"volumes per approach, 0 in a covered bin", "approach_volume",
       {log_of(12, true, {{100, K::kDetector, 3, true}, {200, K::kDetector, 3, true},
                          {300, K::kDetector, 9, true}}),
        log_of(13, false, {{100, K::kDetector, 4, true}})},
       "s,2022-06-08 12:00:00.0,\"Main St, EB\",0\n"
       "s,2022-06-08 12:00:00.0,NB,2\n"
       "s,2022-06-08 13:00:00.0,\"Main St, EB\",1\n",
       60},
      {"stop-bar actuations in yellow, in red and its first 5 s; none in green",
       "yellow_red_actuations",
       {log_of(12, true, with(phase_2(), {{250, K::kDetector, 3, true}, {510, K::kDetector, 3, true},
                                          {560, K::kDetector, 3, true}, {600, K::kDetector, 3, true}}))},
       "s,2022-06-08 12:00:00.0,2,1,2,1\n"},
  };
  for (const auto& c : kCases) EXPECT_EQ(rows(c.table, c.logs, c.bin), c.expected) << c.what;
}

// A mapped channel that never actuates has its rows of actuations and
// health, silent; a channel not in the map is in none of the map's tables.
TEST(DetectorMapTables, MappedChannelsThatNeverActuate) {
  const std::vector<LogMeasures> logs = {log_of(12, true, {{100, K::kDetector, 7, true}})};
  EXPECT_EQ(rows("actuations", logs, 60),
            "s,2022-06-08 12:00:00.0,3,0\ns,2022-06-08 12:00:00.0,4,0\n"
            "s,2022-06-08 12:00:00.0,7,1\ns,2022-06-08 12:00:00.0,9,0\n"
            "s,2022-06-08 12:00:00.0,10,0\n");
  EXPECT_NE(rows("detector_health", logs).find("s,2022-06-08 12:00:00,3,0,0.0,0.0000,0.0,silent\n"),
            std::string::npos);
  EXPECT_EQ(rows("approach_volume", logs, 60),
            "s,2022-06-08 12:00:00.0,\"Main St, EB\",0\ns,2022-06-08 12:00:00.0,NB,0\n");
}

}  // namespace

namespace {

// Arrivals are rounded to the tenth halves away from zero, from their
// exact value, on every system: as glibc's std::llround (mingw's rounds
// 0.49999999999999994 up), at every size and next to every half.
TEST(DetectorMapTables, ArrivalsRoundHalvesAwayFromZero) {
  const struct {
    double v;
    int64_t rounded;
  } kCases[] = {{0, 0},    {0.5, 1},   {-0.5, -1}, {1.5, 2},
                {-1.5, -2}, {2.5, 3},  {0.49999999999999994, 0},
                {-0.49999999999999994, 0}, {4503599627370495.5, 4503599627370496},
                {16549344000.5, 16549344001}, {16549344000.499998, 16549344000}};
  for (const auto& c : kCases) EXPECT_EQ(round_half_away(c.v), c.rounded) << c.v;
#ifndef _WIN32  // mingw's llround rounds 0.49999999999999994 up
  std::vector<double> values;
  for (int i = -3000; i <= 3000; ++i) {
    values.push_back(i / 8.0);
    values.push_back(std::nextafter(i / 2.0, 1e300));
    values.push_back(std::nextafter(i / 2.0, -1e300));
    values.push_back(1.6549344e10 + i / 7.0);
  }
  for (double v : values) EXPECT_EQ(round_half_away(v), std::llround(v)) << v;
#endif
}

// The map's shares and ratios are their exact values rounded, a half to
// even, on every system: as glibc's printf writes them, for every fraction
// of the small numbers they come of.
TEST(DetectorMapTables, FixedDecimalsAsPrintf) {
  const struct {
    double v;
    int decimals;
    const char* text;
  } kCases[] = {{0.125, 2, "0.12"}, {0.375, 2, "0.38"}, {2.0 / 3, 2, "0.67"},
                {0.155, 2, "0.15"},  // the double lies below the half
                {0.25, 1, "0.2"},    {12.75, 1, "12.8"}, {0, 2, "0.00"}, {100, 1, "100.0"}};
  for (const auto& c : kCases) {
    std::string text;
    put_fixed(&text, c.v, c.decimals);
    EXPECT_EQ(text, c.text) << c.v;
  }
#ifndef _WIN32  // Windows' printf rounds halves away from zero
  for (int b = 1; b <= 400; ++b) {
    for (int a = 0; a <= 2 * b; ++a) {
      const double share = static_cast<double>(a) / b, percent = 100.0 * a / b;
      for (const auto& [v, decimals] : {std::pair{share, 2}, std::pair{percent, 1}}) {
        std::string ours;
        put_fixed(&ours, v, decimals);
        char theirs[48];
        snprintf(theirs, sizeof theirs, "%.*f", decimals, v);
        ASSERT_EQ(ours, theirs) << a << "/" << b;
      }
    }
  }
#endif
}

}  // namespace
