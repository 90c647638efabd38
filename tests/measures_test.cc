// The measures, rule by rule, on logs made event by event; and over a
// generated day, the actuations against the detector events.

#include "measures/measures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "events/event_table.h"
#include "logconv/time_zone.h"
#include "measures/detector_map.h"
#include "logconv/streams.h"
#include "tests/test_support.h"
#include "tools/loggen.h"
#include "tools/signal_day.h"

namespace {

using K = SignalEvent;


// A log of hour 2022-06-08 `hour`: whole or damaged, its events as (tenths,
// kind, value, on).
LogMeasures log_of(int hour, bool whole, std::vector<MeasureEvent> events,
                   bool clearance_ends = true) {
  LogMeasures log;
  log.path = "2022_06_08_" + std::to_string(hour) + ".dat";
  log.hour = {2022, 6, 8, hour};
  log.covered = whole;
  log.records = events.size();
  if (!clearance_ends)
    log.kinds &= ~(1u << static_cast<int>(SignalEvent::kYellowEnd) |
                   1u << static_cast<int>(SignalEvent::kRedEnd));
  log.events = std::move(events);
  return log;
}

// The rows of table `table` (header left out) for the logs, in bins of
// `bin` minutes, the run's last hour starting at `last_hour`, the clocks
// those of `zone` where given.
std::string rows(const char* table, std::vector<LogMeasures> logs, int bin = 15,
                 int64_t last_hour = kNoHour, std::shared_ptr<const TimeZone> zone = nullptr) {
  std::vector<Text> texts(kMeasureSchema.size());
  std::vector<OutputStream*> out;
  for (Text& t : texts) out.push_back(&t);
  MeasureSettings settings;
  settings.bin_minutes = bin;
  settings.zone = std::move(zone);
  MeasureTables tables(settings, out, last_hour);
  std::string err;
  EXPECT_TRUE(tables.add_signal("s", std::move(logs), nullptr, &err) && tables.finish());
  const std::string& text = texts[static_cast<size_t>(measure_table_index(table))].text;
  return text.substr(text.find('\n') + 1);
}


// A rule's case: the rows of one table expected for some logs.
struct RuleCase {
  const char* what;
  const char* table;
  std::vector<LogMeasures> logs;
  std::string expected;
  int bin = 15;
  int64_t last_hour = kNoHour;  // where the run's last hour starts
};

TEST(Measures, Rules) {
  const RuleCase kCases[] = {
      {"a green across the hour is one interval", "phase_intervals",
       {log_of(12, true, {{35980, K::kGreen, 2, false}, {35990, K::kGapOut, 2, false}}),
        log_of(13, true, {{200, K::kYellow, 2, false}, {240, K::kYellowEnd, 2, false},
                          {240, K::kRed, 2, false}, {260, K::kRedEnd, 2, false},
                          {900, K::kGreen, 2, false}})},
       "s,2,2022-06-08 12:59:58.0,22.0,4.0,2.0,gap_out,28.0,,\n"},
      {"a missing hour ends the green", "phase_intervals",
       {log_of(12, true, {{35980, K::kGreen, 2, false}}),
        log_of(14, true, {{200, K::kYellow, 2, false}})},
       ""},
      {"a damaged log covers nothing", "phase_intervals",
       {log_of(12, false, {{100, K::kGreen, 2, false}, {200, K::kYellow, 2, false}})},
       ""},
      {"version 4: yellow to red clearance, no red clearance end", "phase_intervals",
       {log_of(12, true, {{100, K::kGreen, 4, false}, {150, K::kMaxOut, 4, false},
                          {160, K::kForceOff, 4, false}, {200, K::kYellow, 4, false},
                          {236, K::kRed, 4, false}, {300, K::kGreen, 4, false}},
               false)},
       "s,4,2022-06-08 12:00:10.0,10.0,3.6,,force_off,,,\n"},
      {"the hours, missing and damaged", "logs",
       {log_of(12, true, {}), log_of(14, false, {})},
       "s,2022-06-08 12:00:00,ok,0,2022_06_08_12.dat,0,,0,,\n"
       "s,2022-06-08 13:00:00,missing,,,,,,,\n"
       "s,2022-06-08 14:00:00,damaged,0,2022_06_08_14.dat,0,,0,,\n"},
      {"a call with no walk, a walk with no call, a delay", "ped",
       {log_of(12, true, {{100, K::kPedCall, 2, true}, {150, K::kWalk, 4, false},
                          {9100, K::kPedCall, 6, true}, {9200, K::kPedCall, 6, true},
                          {9400, K::kWalk, 6, false}})},
       "s,2022-06-08 12:00:00.0,2,0,1,,0,,0\n"
       "s,2022-06-08 12:00:00.0,4,1,0,,0,,0\n"
       "s,2022-06-08 12:15:00.0,6,1,2,30.0,1,30.0,0\n"},
      {"a preempt never released", "preemption",
       {log_of(12, true, {{100, K::kPreempt, 1, true}, {400, K::kPreempt, 1, false},
                          {500, K::kPreempt, 2, true}})},
       "s,1,2022-06-08 12:00:10.0,2022-06-08 12:00:40.0,30.0,,,,,,0,0\n"
       "s,2,2022-06-08 12:00:50.0,,,,,,,,0,0\n"},
      {"detector health: on-time across hours, to the end of coverage where no off "
       "came; a silent hour; stuck on for an hour",
       "detector_health",
       {log_of(12, true, {{100, K::kDetector, 3, true}, {400, K::kDetectorOff, 3, false},
                          {35000, K::kDetector, 3, true}}),
        log_of(13, true, {{0, K::kDetector, 5, true}, {400, K::kDetectorOff, 3, false}})},
       "s,2022-06-08 12:00:00,3,2,130.0,0.0361,140.0,\n"
       "s,2022-06-08 12:00:00,5,0,0.0,0.0000,0.0,silent\n"
       "s,2022-06-08 13:00:00,3,0,40.0,0.0111,140.0,silent\n"
       "s,2022-06-08 13:00:00,5,1,3600.0,1.0000,3600.0,stuck_on\n"},
      {"stuck on: every hour an on-time of an hour or more touches, none of them silent",
       "detector_health",
       {log_of(12, true, {{35400, K::kDetector, 1, true}}), log_of(13, true, {}),
        log_of(14, true, {{300, K::kDetectorOff, 1, false}, {400, K::kDetectorOff, 1, false}})},
       "s,2022-06-08 12:00:00,1,1,60.0,0.0167,3690.0,stuck_on\n"
       "s,2022-06-08 13:00:00,1,0,3600.0,1.0000,3690.0,stuck_on\n"
       "s,2022-06-08 14:00:00,1,0,30.0,0.0083,3690.0,stuck_on\n"},
      {"an on-time open at a damaged hour counts to the end of the covered hour before",
       "detector_health",
       {log_of(12, true, {{18000, K::kDetector, 1, true}}), log_of(13, false, {}),
        log_of(14, true, {{100, K::kDetectorOff, 1, false}})},
       "s,2022-06-08 12:00:00,1,1,1800.0,0.5000,1800.0,\n"
       "s,2022-06-08 14:00:00,1,0,0.0,0.0000,0.0,silent\n"},
      {"a clock that went back ends an on-time at the end of its hour; the off after "
       "the step pairs with nothing", "detector_health",
       {log_of(12, true, {{35000, K::kDetector, 1, true}, {35500, K::kNone, 0, false},
                          {200, K::kDetectorOff, 1, false}})},
       "s,2022-06-08 12:00:00,1,1,100.0,0.0278,100.0,\n"},
      {"more than 100 pairs of ons 0.1 s apart chatter, 100 do not; faults by their "
       "code, of a channel seen", "detector_health",
       {log_of(12, true, [] {
          std::vector<MeasureEvent> e;
          for (uint32_t k = 0; k < 102; ++k) {
            e.push_back({1000 + k, K::kDetector, 2, true});
            e.push_back({1000 + k, K::kDetectorOff, 2, false});
            if (k < 101) e.push_back({2000 + k, K::kDetector, 4, true});
            if (k < 101) e.push_back({2000 + k, K::kDetectorOff, 4, false});
          }
          e.push_back({3000, K::kDetAlarm, 2, false, 85});
          e.push_back({3000, K::kDetAlarm, 4, false, 83});
          e.push_back({3000, K::kDetAlarm, 9, false, 86});
          return e;
        }())},
       "s,2022-06-08 12:00:00,2,102,0.0,0.0000,0.0,chatter;fault\n"
       "s,2022-06-08 12:00:00,4,101,0.0,0.0000,0.0,\n"},
      {"terminations in 5-minute bins", "terminations",
       {log_of(12, true, {{100, K::kGapOut, 1, false}, {3100, K::kMaxOut, 1, false},
                          {3200, K::kMaxOut, 1, false}})},
       "s,2022-06-08 12:00:00.0,1,1,0,0,0,0\n"
       "s,2022-06-08 12:05:00.0,1,0,2,0,0,0\n",
       5},
      {"every bin of a covered hour for each detector, in 60-minute bins",
       "actuations",
       {log_of(12, true, {{100, K::kDetector, 3, true}, {110, K::kDetector, 3, false}}),
        log_of(13, false, {{100, K::kDetector, 5, true}})},
       "s,2022-06-08 12:00:00.0,3,1\n"
       "s,2022-06-08 12:00:00.0,5,0\n"
       "s,2022-06-08 13:00:00.0,5,1\n",
       60},
  };
  for (const RuleCase& c : kCases)
    EXPECT_EQ(rows(c.table, c.logs, c.bin), c.expected) << c.what;
}

// A log of `hour` read from its bytes as -f measures reads it: format
// `version`, its records, its last `cut` bytes cut off.
// With `zone`, the clocks are the zone's, as -f measures --tz reads them.
LogMeasures read_log(const std::string& path, LogHour hour, int version,
                     const std::vector<LogRecord>& records, size_t cut = 0,
                     const TimeZone* zone = nullptr) {
  std::string bytes = make_log(version, records);
  bytes.resize(bytes.size() - cut);
  MemoryInput input(bytes);
  Text events;
  LogConverter converter;
  std::unique_ptr<ZonedHour> zoned;
  if (zone != nullptr) zoned = std::make_unique<ZonedHour>(*zone, hour);
  const ConvertResult r = converter.convert_measures(
      input, events, zoned != nullptr && !zoned->constant() ? zoned.get() : nullptr);
  LogMeasures log;
  log.path = path;
  log.hour = hour;
  if (zoned != nullptr) log.start = zoned->start();
  log.covered = r.end == LogEnd::kEndOfLog;
  log.records = r.records;
  log.version = r.version;
  log.closing = log.covered ? "End of Controller Log" : "Error: bad file read";
  log.clock = r.clock;
  log.kinds = signal_events(select_event_table(r.version)).kinds;
  log.events.resize(events.text.size() / sizeof(MeasureEvent));
  if (!log.events.empty()) memcpy(log.events.data(), events.text.data(), events.text.size());
  return log;
}

// Version 6 records: a phase's green, yellow, end of yellow, red, end of
// red; a termination; on/off events (detector, pedestrian call, preempt);
// a walk; a Time Update.
LogRecord green(uint16_t t, uint8_t phase) { return {3, t, {phase}}; }
LogRecord yellow(uint16_t t, uint8_t phase) { return {5, t, {phase}}; }
LogRecord yellow_end(uint16_t t, uint8_t phase) { return {18, t, {phase}}; }
LogRecord red(uint16_t t, uint8_t phase) { return {6, t, {phase}}; }
LogRecord red_end(uint16_t t, uint8_t phase) { return {19, t, {phase}}; }
LogRecord max_out(uint16_t t, uint8_t phase) { return {21, t, {phase}}; }
LogRecord walk(uint16_t t, uint8_t phase) { return {7, t, {phase}}; }
LogRecord detector(uint16_t t, uint8_t channel, bool on) {
  return {25, t, {static_cast<uint8_t>(channel << 1 | on)}};
}
LogRecord ped_call(uint16_t t, uint8_t phase) { return {15, t, {static_cast<uint8_t>(phase << 1 | 1)}}; }
LogRecord preempt(uint16_t t, uint8_t n, bool on) {
  return {37, t, {static_cast<uint8_t>(n << 1 | on)}};
}
LogRecord time_update(uint16_t t) { return {71, t, {0, 0, 0}}; }
// A preempt's state change to `state` (8 entry, 9 track clearance, 3 and 5
// dwell, 10 exit), gate down, link and max presence.
LogRecord preempt_state(uint16_t t, uint8_t n, uint8_t state) { return {39, t, {n, 0, state}}; }
LogRecord gate_down(uint16_t t, uint8_t n) { return {38, t, {static_cast<uint8_t>(n << 1 | 1)}}; }
LogRecord link(uint16_t t, uint8_t n) { return {40, t, {static_cast<uint8_t>(n << 1 | 1)}}; }
LogRecord max_presence(uint16_t t, uint8_t n) { return {41, t, {n}}; }

const LogHour k13 = {2022, 6, 8, 13}, k14 = {2022, 6, 8, 14};

// Each rule that a clock stepping back, an hour delivered twice or the
// numbering bends, on logs made byte by byte, the rows expected written
// first.
TEST(Measures, RulesFromLogBytes) {
  LogMeasures undated = read_log("copy.dat", {}, 6, {detector(10, 1, true)});
  undated.dated = false;
  const RuleCase kCases[] = {
      {"a yellow after the clock stepped back closes no green", "phase_intervals",
       {read_log("13.dat", k13, 6,
                 {green(100, 2), time_update(150), yellow(50, 2), yellow_end(90, 2), red(90, 2),
                  red_end(110, 2), green(300, 2), yellow(400, 2), yellow_end(440, 2),
                  red(440, 2), red_end(460, 2), green(600, 2)})},
       "s,2,2022-06-08 13:00:30.0,10.0,4.0,2.0,none,16.0,,\n"},
      {"the hour's row counts the steps back and the largest", "logs",
       {read_log("13.dat", k13, 6,
                 {green(100, 2), time_update(150), yellow(50, 2), detector(900, 1, false),
                  detector(880, 1, true)})},
       "s,2022-06-08 13:00:00,ok,5,13.dat,6,End of Controller Log,2,10.0,\n"},
      {"a preemption open at a step back (an off record not kept) has no end",
       "preemption",
       {read_log("13.dat", k13, 6,
                 {preempt(100, 1, true), detector(50, 3, false), preempt(80, 1, false)})},
       "s,1,2022-06-08 13:00:10.0,,,,,,,,0,0\n"},
      {"no pedestrian delay across a step back", "ped",
       {read_log("13.dat", k13, 6, {ped_call(200, 4), walk(100, 4)})},
       "s,2022-06-08 13:00:00.0,4,1,1,,0,,0\n"},
      {"a log's first record before the last of the log before: a step on its row",
       "logs",
       {read_log("13.dat", k13, 6, {green(35990, 2), yellow(36050, 2)}),
        read_log("14.dat", k14, 6, {detector(10, 1, true), green(100, 2)})},
       "s,2022-06-08 13:00:00,ok,2,13.dat,6,End of Controller Log,0,,\n"
       "s,2022-06-08 14:00:00,ok,2,14.dat,6,End of Controller Log,1,4.0,\n"},
      {"a green across midnight pairs with its yellow the next day; bins by the day",
       "phase_intervals",
       {read_log("23.dat", {2022, 6, 8, 23}, 6, {green(35990, 2)}),
        read_log("00.dat", {2022, 6, 9, 0}, 6, {yellow(30, 2), green(100, 2)})},
       "s,2,2022-06-08 23:59:59.0,4.0,,,none,,,\n"},
      {"an hour twice: the whole log is measured, the other a duplicate", "logs",
       {read_log("a/13.dat", k13, 6, {detector(100, 3, true), detector(200, 3, true)}, 1),
        read_log("b/13.dat", k13, 6, {detector(100, 3, true), detector(200, 3, true)})},
       "s,2022-06-08 13:00:00,ok,2,b/13.dat,6,End of Controller Log,0,,\n"
       "s,2022-06-08 13:00:00,duplicate,1,a/13.dat,6,Error: bad file read,0,,\n"},
      {"an hour twice counts once; of two whole logs, the one with more records",
       "actuations",
       {read_log("a/13.dat", k13, 6, {detector(100, 3, true)}),
        read_log("b/13.dat", k13, 6, {detector(100, 3, true), detector(200, 3, true)}),
        read_log("c/13.dat", k13, 6, {detector(100, 3, true), detector(300, 3, true)})},
       "s,2022-06-08 13:00:00.0,3,2\n",
       60},
      {"a green pairs across its hour's duplicate", "phase_intervals",
       {read_log("12.dat", {2022, 6, 8, 12}, 6, {green(35900, 2)}),
        read_log("a/13.dat", k13, 6, {yellow(100, 2)}),
        read_log("b/13.dat", k13, 6, {detector(50, 1, true)}, 1)},
       "s,2,2022-06-08 12:59:50.0,20.0,,,none,,,\n"},
      {"a termination in the yellow's tenth, logged after it, is the green's",
       "phase_intervals",
       {read_log("13.dat", k13, 6, {green(100, 2), yellow(200, 2), max_out(200, 2),
                                     green(300, 2)})},
       "s,2,2022-06-08 13:00:10.0,10.0,,,max_out,,,\n"},
      {"terminations and skips sum to the greens and skips; a green ended by none",
       "terminations",
       {read_log("13.dat", k13, 6, {green(100, 2), max_out(180, 2), yellow(200, 2), green(400, 2),
                                     {98, 150, {4, 0, 0, 0}}, yellow(500, 2)})},
       "s,2022-06-08 13:00:00.0,2,0,1,0,0,2\n"
       "s,2022-06-08 13:00:00.0,4,0,0,0,1,0\n"},
      {"a green without a gap out, max out or force off ended by none", "phase_intervals",
       {read_log("13.dat", k13, 7, {green(100, 2), yellow(200, 2), green(300, 2)})},
       "s,2,2022-06-08 13:00:10.0,10.0,,,none,,,\n"},
      {"a bin's largest delay, and pushbutton presses (their offs not counted)", "ped",
       {read_log("13.dat", k13, 6, {ped_call(100, 2), walk(200, 2), ped_call(300, 2),
                                     walk(700, 2), {26, 310, {2 << 1 | 1}}, {26, 320, {2 << 1}},
                                     {26, 330, {2 << 1 | 1}}})},
       "s,2022-06-08 13:00:00.0,2,2,2,25.0,2,40.0,2\n"},
      {"split changes by phase, ring yields, in time order after a step back", "coordination",
       {read_log("13.dat", k13, 6, {{48, 200, {0, 4, 30}}, {49, 300, {0, 2}}, {48, 100, {0, 6, 25}}}),
        read_log("14.dat", k14, 4, {{94, 100, {2, 40}}})},
       "s,2022-06-08 13:00:10.0,split,25,6\n"
       "s,2022-06-08 13:00:20.0,split,30,4\n"
       "s,2022-06-08 13:00:30.0,yield,2,\n"
       "s,2022-06-08 14:00:10.0,split,40,2\n"},
      {"the controller's own events, in time order", "controller_events",
       {read_log("13.dat", k13, 6,
                 {{64, 100, {1}}, {52, 110, {0, 3}}, {53, 120, {0, 5}}, {68, 130, {7, 0}},
                  {71, 140, {0, 0, 0}}, {44, 150, {9, 9, 2}}, {51, 160, {4, 0}}, {64, 170, {0}}})},
       "s,2022-06-08 13:00:10.0,power_interruption_on,\n"
       "s,2022-06-08 13:00:11.0,flash,3\n"
       "s,2022-06-08 13:00:12.0,alarm_status,5\n"
       "s,2022-06-08 13:00:13.0,alarm_group,7\n"
       "s,2022-06-08 13:00:14.0,time_update,\n"
       "s,2022-06-08 13:00:15.0,coordinator_status,1\n"
       "s,2022-06-08 13:00:16.0,unit_control,4\n"
       "s,2022-06-08 13:00:17.0,power_interruption_off,\n"},
      {"the split monitor: the split taken, the pattern and programmed split at its start",
       "phase_intervals",
       {read_log("13.dat", k13, 6,
                 {{42, 50, {0, 3}}, {48, 60, {0, 2, 30}}, green(100, 2), {42, 120, {0, 4}},
                  yellow(250, 2), yellow_end(290, 2), red(290, 2), red_end(310, 2),
                  green(400, 2), yellow(500, 2), green(600, 2)})},
       "s,2,2022-06-08 13:00:10.0,15.0,4.0,2.0,none,21.0,3,30\n"
       "s,2,2022-06-08 13:00:40.0,10.0,,,none,,4,30\n"},
      {"pedestrian calls of the current numbering", "ped",
       {read_log("13.dat", k13, 7, {{109, 100, {4 << 1 | 1}}, {7, 200, {4}}})},
       "s,2022-06-08 13:00:00.0,4,1,1,10.0,1,10.0,0\n"},
      {"before 1970, delays and preemption ends as any other", "ped",
       {read_log("23.dat", {1969, 12, 31, 23}, 6, {ped_call(100, 2), walk(200, 2)})},
       "s,1969-12-31 23:00:00.0,2,1,1,10.0,1,10.0,0\n"},
      {"a preemption's service: its states, gate down, max presence and link up to its "
       "next input on; track clearance and dwell end at the next state",
       "preemption",
       {read_log("13.dat", k13, 6,
                 {preempt_state(90, 1, 9), preempt(100, 1, true), preempt_state(110, 1, 8),
                  preempt_state(120, 1, 9), gate_down(130, 1), preempt(140, 1, true),
                  preempt_state(300, 1, 3), max_presence(350, 1), preempt_state(400, 1, 5),
                  preempt(500, 1, false), link(550, 1), preempt_state(600, 1, 10),
                  preempt_state(620, 1, 8), link(700, 2), preempt(1000, 1, true),
                  preempt_state(1010, 1, 2), preempt(1100, 1, false)})},
       "s,1,2022-06-08 13:00:10.0,2022-06-08 13:00:50.0,40.0,1.0,18.0,30.0,50.0,3.0,1,1\n"
       "s,1,2022-06-08 13:01:40.0,2022-06-08 13:01:50.0,10.0,1.0,,,,,0,0\n"},
      {"a break ends the service: a dwell open at a gap has no length", "preemption",
       {read_log("13.dat", k13, 6, {preempt(100, 1, true), preempt_state(200, 1, 3)}),
        read_log("15.dat", {2022, 6, 8, 15}, 6, {preempt_state(100, 1, 10), max_presence(120, 1)})},
       "s,1,2022-06-08 13:00:10.0,,,,,,,,0,0\n"},
      {"a fault is a vehicle detector alarm whose row's own conversion gives 84 to 88",
       "detector_health",
       {read_log("13.dat", k13, 6,
                 {detector(100, 3, true), detector(110, 3, false), detector(120, 4, true),
                  detector(130, 4, false), {60, 200, {3, 0, 2}}, {58, 210, {4, 0, 2}}}),
        read_log("14.dat", k14, 7, {detector(100, 3, true), detector(110, 3, false),
                                     {58, 200, {3, 0, 1}}, {60, 210, {4, 0, 1}}})},
       "s,2022-06-08 13:00:00,3,1,1.0,0.0003,1.0,fault\n"
       "s,2022-06-08 13:00:00,4,1,1.0,0.0003,1.0,\n"
       "s,2022-06-08 14:00:00,3,1,1.0,0.0003,1.0,fault\n"
       "s,2022-06-08 14:00:00,4,0,0.0,0.0000,0.0,silent\n"},
      {"version 4 has no preempt states, max presence or link", "preemption",
       {read_log("13.dat", k13, 4, {{80, 100, {1 << 1 | 1}}, {80, 300, {1 << 1}}})},
       "s,1,2022-06-08 13:00:10.0,2022-06-08 13:00:30.0,20.0,,,,,,,\n"},
      {"before 1970, a preemption's end", "preemption",
       {read_log("23.dat", {1969, 12, 31, 23}, 6, {preempt(100, 1, true), preempt(300, 1, false)})},
       "s,1,1969-12-31 23:00:10.0,1969-12-31 23:00:30.0,20.0,,,,,,0,0\n"},
      {"the hours after the last log up to the run's last are missing; an undated log "
       "is a row with no hour", "logs",
       {undated, read_log("13.dat", k13, 6, {})},
       "s,2022-06-08 13:00:00,ok,0,13.dat,6,End of Controller Log,0,,\n"
       "s,2022-06-08 14:00:00,missing,,,,,,,\n"
       "s,2022-06-08 15:00:00,missing,,,,,,,\n"
       "s,,undated,1,copy.dat,6,End of Controller Log,0,,\n",
       15, hour_start({2022, 6, 8, 15})},
  };
  for (const RuleCase& c : kCases)
    EXPECT_EQ(rows(c.table, c.logs, c.bin, c.last_hour), c.expected) << c.what;
}

// The clock changes of a zone on logs made byte by byte, the rows expected
// written first: real seconds across them, the hour shown twice two hours
// of its log, the hour skipped no hour, and a step back that is not the
// change still a break.
TEST(Measures, RulesInAZone) {
  auto chicago = std::make_shared<TimeZone>();
  std::string err;
  ASSERT_TRUE(chicago->load("America/Chicago", "", &err)) << err;
  const TimeZone* z = chicago.get();
  const LogHour f00 = {2026, 11, 1, 0}, f01 = {2026, 11, 1, 1}, f02 = {2026, 11, 1, 2},
                s01 = {2026, 3, 8, 1}, s03 = {2026, 3, 8, 3};
  const RuleCase kCases[] = {
      {"a green across the fall-back lasts its real seconds", "phase_intervals",
       {read_log("01.dat", f01, 6, {green(35900, 2), time_update(35999), yellow(100, 2)}, 0, z)},
       "s,2,2026-11-01T01:59:50.0-05:00,20.0,,,none,,,\n"},
      {"the hour shown twice is two hours of its log: no step, no missing hour", "logs",
       {read_log("00.dat", f00, 6, {detector(10, 1, true)}, 0, z),
        read_log("01.dat", f01, 6, {green(35900, 2), time_update(35999), yellow(100, 2)}, 0, z),
        read_log("02.dat", f02, 6, {detector(10, 1, true)}, 0, z)},
       "s,2026-11-01T00:00:00-05:00,ok,1,00.dat,6,End of Controller Log,0,,\n"
       "s,2026-11-01T01:00:00-05:00,ok,3,01.dat,6,End of Controller Log,0,,\n"
       "s,2026-11-01T02:00:00-06:00,ok,1,02.dat,6,End of Controller Log,0,,\n"},
      {"both passes of the hour shown twice have their hour of detector health",
       "detector_health",
       {read_log("01.dat", f01, 6,
                 {detector(100, 1, true), detector(110, 1, false), time_update(35999),
                  detector(200, 1, true), detector(230, 1, false)},
                 0, z)},
       "s,2026-11-01T01:00:00-05:00,1,1,1.0,0.0003,1.0,\n"
       "s,2026-11-01T01:00:00-06:00,1,1,3.0,0.0008,3.0,\n"},
      {"after the change, a clock set back is a break", "logs",
       {read_log("01.dat", f01, 6,
                 {green(35900, 2), time_update(35999), yellow(100, 2), green(500, 2),
                  yellow(200, 2)},
                 0, z)},
       "s,2026-11-01T01:00:00-05:00,ok,5,01.dat,6,End of Controller Log,1,30.0,\n"},
      {"a green across the spring-forward lasts its real seconds", "phase_intervals",
       {read_log("01.dat", s01, 6, {green(35900, 2)}, 0, z),
        read_log("03.dat", s03, 6, {yellow(100, 2)}, 0, z)},
       "s,2,2026-03-08T01:59:50.0-06:00,20.0,,,none,,,\n"},
      {"the hour skipped is no hour", "logs",
       {read_log("01.dat", s01, 6, {}, 0, z), read_log("03.dat", s03, 6, {}, 0, z)},
       "s,2026-03-08T01:00:00-06:00,ok,0,01.dat,6,End of Controller Log,0,,\n"
       "s,2026-03-08T03:00:00-05:00,ok,0,03.dat,6,End of Controller Log,0,,\n"},
  };
  for (const RuleCase& c : kCases)
    EXPECT_EQ(rows(c.table, c.logs, c.bin, c.last_hour, chicago), c.expected) << c.what;
}

// The logs of generated days from 2022-06-08 on, each hour's events as the
// conversion gives them.
std::vector<LogMeasures> generated_days(int days, const SignalDayOptions& options) {
  const SignalEventTable& events = signal_events(select_event_table(options.version));
  std::vector<LogMeasures> logs;
  for (int d = 0; d < days; ++d) {
    SignalDayOptions day = options;
    day.seed = options.seed + static_cast<uint32_t>(d);
    std::vector<std::vector<LogRecord>> hours = signal_day(day);
    for (int h = 0; h < static_cast<int>(hours.size()); ++h) {
      LogMeasures log = log_of(h, true, {});
      log.hour.day = 8 + d;
      char name[32];
      snprintf(name, sizeof name, "2022_06_%02d_%02d.dat", 8 + d, h);
      log.path = name;
      for (const LogRecord& r : hours[static_cast<size_t>(h)]) {
        if (events.kind[r.type] == K::kNone) continue;
        bool on = false;
        int value = signal_event_value(events, r.type, r.data.data(),
                                       static_cast<int>(r.data.size()), &on);
        log.events.push_back({r.time, events.kind[r.type], static_cast<uint8_t>(value), on});
        log.clock.first = std::min<uint32_t>(log.clock.first, r.time);
        log.clock.last = r.time;
      }
      log.records = log.events.size();
      logs.push_back(std::move(log));
    }
  }
  return logs;
}

// Over a generated day, the actuations add up to the detector events of the
// covered hours.
TEST(Measures, ActuationsAreTheDetectorEvents) {
  SignalDayOptions options;
  options.detectors = 6;
  std::vector<LogMeasures> logs = generated_days(1, options);
  logs[7].covered = false;
  int detector_on = 0;
  for (const LogMeasures& log : logs)
    for (const MeasureEvent& e : log.events) detector_on += e.kind == K::kDetector && e.on;
  std::stringstream table(rows("actuations", logs));
  int sum = 0;
  for (std::string row; std::getline(table, row);)
    sum += std::stoi(row.substr(row.rfind(',') + 1));
  EXPECT_EQ(sum, detector_on);
  EXPECT_GT(sum, 1000);
  // The tables taken in one thread or in several are the same.
  std::vector<std::string> one, three;
  for (int jobs : {1, 3}) {
    std::vector<Text> texts(kMeasureSchema.size());
    std::vector<OutputStream*> out;
    for (Text& t : texts) out.push_back(&t);
    MeasureSettings settings;
    settings.jobs = jobs;
    MeasureTables tables(settings, out);
    std::string err;
    ASSERT_TRUE(tables.add_signal("s", logs, nullptr, &err) && tables.finish()) << err;
    for (const Text& t : texts) (jobs == 1 ? one : three).push_back(t.text);
  }
  EXPECT_EQ(one, three);
  EXPECT_GT(one[static_cast<size_t>(measure_table_index("phase_intervals"))].size(), 10000u);
}


// Every table of the signal "s" for `logs`: measured at once, or as far as
// a checkpoint (which is saved and loaded) and then from it on.
std::vector<std::string> tables_of(const std::vector<LogMeasures>& logs,
                                   const MeasureSettings& settings, int64_t last_hour,
                                   const SignalCheckpoint* from = nullptr,
                                   const std::vector<std::string>* before = nullptr,
                                   SignalCheckpoint* at_end = nullptr) {
  std::vector<Text> texts(kMeasureSchema.size());
  std::vector<OutputStream*> out;
  for (Text& t : texts) out.push_back(&t);
  MeasureTables tables(settings, out, last_hour);
  std::string err;
  if (before != nullptr)
    for (size_t i = 0; i < texts.size(); ++i) {
      const std::string& text = (*before)[i];
      const size_t header = text.find('\n') + 1;
      EXPECT_TRUE(tables.add_text(i, std::string_view(text).substr(header, from->before[i])));
    }
  EXPECT_TRUE(tables.add_signal("s", logs, nullptr, &err, from, at_end) && tables.finish())
      << err;
  std::vector<std::string> text;
  for (const Text& t : texts) text.push_back(t.text);
  return text;
}

// A run that goes on from where an earlier one stopped, after any of the
// logs, writes the tables of a run of all of them: every measure keeps
// what it holds between logs.
TEST(Measures, GoOnFromACheckpointAsIfMeasuredAtOnce) {
  SignalDayOptions options;
  options.mapped = true;
  options.detectors = 20;
  std::vector<LogMeasures> logs = generated_days(2, options);
  logs[7].covered = false;               // damage
  logs.erase(logs.begin() + 30);         // a missing hour
  logs.insert(logs.begin() + 12, logs[12]);  // a second log of an hour
  logs[12].path = "copy.dat";
  logs[12].records = 5;
  auto map = std::make_shared<DetectorMap>();
  std::string err;
  ASSERT_TRUE(parse_detector_map(signal_day_map(options, "s"), map.get(), &err)) << err;
  MeasureSettings settings;
  settings.detectors = map;
  settings.jobs = 3;
  const int64_t last_hour = hour_start({2022, 6, 10, 2});
  const std::vector<std::string> whole = tables_of(logs, settings, last_hour);
  for (size_t k = 0; k <= logs.size(); ++k) {
    // The logs of an hour go together.
    if (k > 0 && k < logs.size() && hour_start(logs[k].hour) == hour_start(logs[k - 1].hour))
      continue;
    SignalCheckpoint at;
    const std::vector<LogMeasures> first(logs.begin(), logs.begin() + static_cast<ptrdiff_t>(k));
    const std::vector<std::string> part = tables_of(first, settings, kNoHour, nullptr, nullptr, &at);
    std::string saved;
    StateIO save(&saved);
    at.state(save);
    SignalCheckpoint loaded;
    StateIO load(saved);
    loaded.state(load);
    ASSERT_TRUE(load.ok() && load.at_end());
    const std::vector<LogMeasures> rest(logs.begin() + static_cast<ptrdiff_t>(k), logs.end());
    const std::vector<std::string> went_on =
        tables_of(rest, settings, last_hour, &loaded, &part);
    for (size_t i = 0; i < whole.size(); ++i) {
      // Where they part, not the whole tables.
      const auto [a, b] = std::mismatch(went_on[i].begin(), went_on[i].end(), whole[i].begin(),
                                        whole[i].end());
      EXPECT_TRUE(a == went_on[i].end() && b == whole[i].end())
          << kMeasureSchema[i].name << " after " << k << " logs, at "
          << std::string(a, went_on[i].end()).substr(0, 200) << " rather than "
          << std::string(b, whole[i].end()).substr(0, 200);
    }
  }
  EXPECT_GT(whole[static_cast<size_t>(measure_table_index("split_failures"))].size(), 1000u);
  EXPECT_GT(whole[static_cast<size_t>(measure_table_index("arrivals"))].size(), 10000u);
}

}  // namespace

// The tables read back into columns: numbers, times, seconds, quoted ids
// and empty fields; and texts that are not such a table refused.
TEST(Measures, TablesReadBackIntoColumns) {
  std::vector<MeasureColumn> columns;
  std::string err;
  ASSERT_TRUE(read_measure_table(
      kMeasureSchema[static_cast<size_t>(measure_table_index("phase_intervals"))],
      "signal_id,phase,green_start,green,yellow,red_clearance,termination,split,pattern,programmed_split\n"
      "\"a,\"\"b\",2,2022-06-08 12:59:58.3,22.0,4.1,,gap_out,,3,\n"
      "s,12,1970-01-01 00:00:00.1,0.5,,,,,,\n",
      &columns, &err))
      << err;
  ASSERT_EQ(columns.size(), 10u);
  EXPECT_EQ(columns[0].categories, (std::vector<std::string>{"a,\"b", "s"}));
  EXPECT_EQ(columns[1].values, (std::vector<int64_t>{2, 12}));
  EXPECT_EQ(columns[2].values[1], 1);
  EXPECT_EQ(columns[2].values[0] % kTenthsPerDay, ((12 * 60 + 59) * 60 + 58) * 10 + 3);
  EXPECT_EQ(columns[3].values, (std::vector<int64_t>{220, 5}));
  EXPECT_EQ(columns[4].values, (std::vector<int64_t>{41, MeasureColumn::kMissing}));
  EXPECT_EQ(columns[6].categories, (std::vector<std::string>{"gap_out", ""}));
  EXPECT_EQ(columns[8].values, (std::vector<int64_t>{3, MeasureColumn::kMissing}));
  const char* const kRefused[] = {
      "signal_id,hour\n",
      "signal_id,phase,green_start,green,yellow,red_clearance,termination,split,pattern,programmed_split\n"
      "s,2,2022-13-08 12:59:58.3,22.0,4.1,,,,,\n",
      "signal_id,phase,green_start,green,yellow,red_clearance,termination,split,pattern,programmed_split\n"
      "s,2,2022-06-08 12:59:58.3,22,4.1,,,,,\n",
      "signal_id,phase,green_start,green,yellow,red_clearance,termination,split,pattern,programmed_split\n"
      "s,x,2022-06-08 12:59:58.3,22.0,4.1,,,,,\n",
      "signal_id,phase,green_start,green,yellow,red_clearance,termination,split,pattern,programmed_split\n"
      "\"s,2,2022-06-08 12:59:58.3,22.0,4.1,,,,,\n",
      "signal_id,phase,green_start,green,yellow,red_clearance,termination,split,pattern,programmed_split\n"
      "s,2,2022-06-08 12:59:58.3,22.0,4.1,,gap_out,,,",
  };
  for (const char* text : kRefused)
    EXPECT_FALSE(read_measure_table(kMeasureSchema[static_cast<size_t>(measure_table_index("phase_intervals"))], text, &columns, &err)) << text;
}

// Every table's header is its schema row's, and the reader reads back
// whatever the writer's pieces write: negative numbers, seconds and times
// before 1970, every fixed value, empty fields.
TEST(Measures, SchemaRoundTrips) {
  std::vector<OutputStream*> none;
  std::vector<Text> texts(kMeasureSchema.size());
  for (Text& t : texts) none.push_back(&t);
  MeasureTables tables({}, none);
  ASSERT_TRUE(tables.finish());
  for (size_t i = 0; i < kMeasureSchema.size(); ++i) {
    const MeasureTableDef& table = kMeasureSchema[i];
    EXPECT_EQ(texts[i].text, measure_header(table)) << table.name;
    EXPECT_EQ(measure_table_index(table.name), static_cast<int>(i));
    // Every year the names take, 1 to 9999.
    for (const int64_t t : {int64_t{-1}, hour_start({1, 1, 1, 0}), hour_start({9999, 12, 31, 23}) + 5}) {
      // A row of values and one of empty fields.
      std::string csv = measure_header(table), empty = "s";
      std::vector<int64_t> expected;
      for (const MeasureColumnDef& c : table.columns) {
        if (&c != &table.columns[0]) {
          csv += ',';
          empty += ',';
        }
        switch (c.kind) {
          case ColumnKind::kId: csv += "\"a,\"\"b\""; break;
          case ColumnKind::kText: csv += "p"; break;
          case ColumnKind::kCategory: csv += c.values.back(); break;
          case ColumnKind::kInt: put_int(&csv, -7); expected.push_back(-7); break;
          case ColumnKind::kSeconds: put_seconds(&csv, -5); expected.push_back(-5); break;
          case ColumnKind::kShare: csv += "1.0005"; expected.push_back(10005); break;
          case ColumnKind::kRatio: csv += "1.25"; expected.push_back(125); break;
          case ColumnKind::kTime:
            TimestampText().put(&csv, t);
            expected.push_back(t);
            break;
        }
      }
      csv += "\n" + empty + "\n";
      std::vector<MeasureColumn> columns;
      std::string err;
      ASSERT_TRUE(read_measure_table(table, csv, &columns, &err)) << table.name << ": " << err;
      ASSERT_EQ(columns.size(), table.columns.size());
      size_t n = 0;
      for (size_t c = 0; c < columns.size(); ++c) {
        const ColumnKind kind = table.columns[c].kind;
        if (kind == ColumnKind::kId || kind == ColumnKind::kText || kind == ColumnKind::kCategory) {
          EXPECT_EQ(columns[c].categories.size(), 2u) << table.columns[c].name;
          continue;
        }
        EXPECT_EQ(columns[c].values,
                  (std::vector<int64_t>{expected[n++], MeasureColumn::kMissing}))
            << table.name << "." << table.columns[c].name;
      }
    }
    // A category outside its fixed values is not as written.
    for (const MeasureColumnDef& c : table.columns) {
      if (c.kind != ColumnKind::kCategory) continue;
      std::string csv = measure_header(table);
      for (const MeasureColumnDef& d : table.columns)
        csv += std::string(&d == &table.columns[0] ? "" : ",") + (&d == &c ? "bogus" : "");
      std::vector<MeasureColumn> columns;
      std::string err;
      EXPECT_FALSE(read_measure_table(table, csv + "\n", &columns, &err)) << c.name;
    }
  }
}

// A log dated before 1970 counts its events in their own bins.
TEST(Measures, BinsBefore1970) {
  LogMeasures log = log_of(23, true, {{1000, K::kGapOut, 2, false}});
  log.hour = {1969, 12, 31, 23};
  EXPECT_EQ(rows("terminations", {log}), "s,1969-12-31 23:00:00.0,2,1,0,0,0,0\n");
}
