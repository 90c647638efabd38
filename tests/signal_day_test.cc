// The synthetic days of a signal: logs of every version that read whole,
// with greens and clearances in order, in each version's numbering.

#include "events/signal_events.h"
#include "tools/signal_day.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "events/event_table.h"
#include "logconv/convert_log.h"
#include "logconv/streams.h"

namespace {

TEST(SignalDay, EveryVersionReadsWholeWithItsNumbering) {
  // The standard code of "begin yellow" in each numbering.
  const std::map<int, int> kBeginYellow = {{4, 2}, {5, 8}, {6, 8}, {7, 8}};
  for (const auto& [version, begin_yellow] : kBeginYellow) {
    SignalDayOptions options;
    options.version = version;
    options.detectors = 4;
    std::vector<std::vector<LogRecord>> hours = signal_day(options);
    ASSERT_EQ(hours.size(), 24u);
    const EventTable& table = select_event_table(version);
    // Per phase, what came last: green (1) or yellow (2); the two alternate.
    std::map<int, int> last;
    int greens = 0, yellow_codes = 0, calls = 0;
    const SignalEventTable& events = signal_events(table);
    for (size_t h = 0; h < hours.size(); ++h) {
      ASSERT_FALSE(hours[h].empty()) << version << " " << h;
      const std::string log = make_log(version, hours[h]);
      MemoryInput input(log);
      NullOutput output;
      ConvertResult result = convert_log(input, output, "2022_06_08_13.dat", Mode::kStandard);
      EXPECT_EQ(result.end, LogEnd::kEndOfLog) << version << " " << h;
      for (const LogRecord& r : hours[h]) {
        bool on = false;
        if (events.kind[r.type] == SignalEvent::kPedCall)
          signal_event_value(events, r.type, r.data.data(), static_cast<int>(r.data.size()), &on);
        calls += on;
        std::string_view name = event_name(table.rows[r.type]);
        int phase = r.data.empty() ? 0 : r.data[0];
        int step = name == "Phase Green Begin" || name == "Begin Phase Green" ? 1
                   : name == "Phase Yellow Begin" || name == "Begin Phase Yellow" ? 2
                                                                                  : 0;
        if (step == 0) continue;
        EXPECT_NE(last[phase], step) << version << ": phase " << phase << " at " << h;
        last[phase] = step;
        greens += step == 1;
        if (step == 2) yellow_codes += table.rows[r.type].code == begin_yellow;
      }
    }
    // Every phase of both rings, several thousand greens a day.
    EXPECT_EQ(last.size(), 8u) << version;
    EXPECT_GT(greens, 3000) << version;
    EXPECT_GT(yellow_codes, 3000) << version;
    // Pedestrian calls come on, in every numbering.
    EXPECT_GT(calls, 100) << version;
  }
}

}  // namespace
