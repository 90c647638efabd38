#include "tools/signal_day.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <random>
#include <string_view>

#include "events/converters.h"
#include "events/event_table.h"
#include "events/signal_events.h"

namespace {


// One event of the day: when (tenths since midnight), what, of which phase,
// channel, preempt or value, for on/off events its state, for a preempt's
// state its number there (D2), and for a split change its phase.
using Kind = SignalEvent;
struct Event {
  int time;
  Kind kind;
  int value;
  bool on;
  int state = 0;
};

// A preempt's states as "Preempt State Chng" numbers them: entry, track
// clearance, dwell and exit.
const int kEntryState = 8, kTrackState = 9, kDwellState = 3, kExitState = 10;

// The day's records, made from its events in the version's numbering.
class Writer {
 public:
  explicit Writer(int version)
      : table_(select_event_table(version)), events_(signal_events(table_)) {
    for (int& type : type_) type = -1;
    for (int type = table_.count - 1; type >= 0; --type)
      if (events_.kind[type] != SignalEvent::kNone)
        type_[static_cast<int>(events_.kind[type])] = type;
    // A detector alarm is written in the row that converts it, with the
    // first alarm bit that its conversion takes for a fault.
    for (int type = table_.count - 1; type >= 0; --type) {
      if (events_.kind[type] != SignalEvent::kDetAlarm || !events_.coded[type]) continue;
      for (uint8_t bit = 1; bit <= 0x10 && fault_bit_ == 0; bit <<= 1) {
        const uint8_t data[3] = {1, 0, bit};
        const int code = signal_event_code(events_, static_cast<uint8_t>(type), data, 3);
        if (code >= 84 && code <= 88) fault_bit_ = bit;
      }
      if (fault_bit_ != 0) type_[static_cast<int>(SignalEvent::kDetAlarm)] = type;
    }
    if (fault_bit_ == 0) type_[static_cast<int>(SignalEvent::kDetAlarm)] = -1;
  }

  // The record of `e`, or none where the table has no row for it.
  bool record(const Event& e, LogRecord* r) const {
    const int type = type_[static_cast<int>(e.kind)];
    if (type < 0) return false;
    const EventDefinition& row = table_.rows[type];
    r->type = static_cast<uint8_t>(type);
    r->time = static_cast<uint16_t>(e.time % 36000);
    r->data.assign(row.length, 0);
    const uint8_t value = static_cast<uint8_t>(e.value);
    if (row.length == 0) return true;
    // A row without a converter of its own reads as its namesakes do:
    // the current numbering's "Ped call on/off" is on/off too.
    if (events_.converter[type] == on_off)
      r->data[0] = static_cast<uint8_t>(value << 1 | (e.on ? 1 : 0));
    else if (events_.converter[type] == second_byte && row.length > 1)
      r->data[1] = value;
    else
      r->data[0] = value;
    if (e.kind == Kind::kPreemptState && row.length > 2) r->data[2] = static_cast<uint8_t>(e.state);
    if (e.kind == Kind::kSplit) {
      // The phase, then the split: D1 and D2, or in version 4 D0 and D1.
      const size_t at = row.length > 2 ? 1 : 0;
      r->data[at] = static_cast<uint8_t>(e.state);
      r->data[at + 1] = value;
    }
    if (e.kind == Kind::kDetAlarm && row.length > 2) r->data[2] = fault_bit_;
    return true;
  }

 private:
  const EventTable& table_;
  const SignalEventTable& events_;
  int type_[kSignalEventKinds];
  uint8_t fault_bit_ = 0;  // D2 of a detector alarm that is a fault; 0: none
};

// How busy the intersection is at `time`, 0.1 at night to 1 at the peaks.
double demand(int time) {
  double hour = time / 36000.0;
  double morning = std::exp(-(hour - 8) * (hour - 8) / 3);
  double evening = std::exp(-(hour - 17) * (hour - 17) / 4);
  return 0.1 + 0.9 * std::max(morning, evening);
}

// The approach of each phase's detectors.
const char* const kApproaches[9] = {"",   "SB left", "NB", "WB left", "EB",
                                    "NB left", "SB", "EB left", "WB"};

// The travel time of the advance detectors, 400 ft at 35 mph, in tenths.
const int kTravel = 78;

// Redraws the mapped detectors' actuations: each stop bar holds the queue
// that the red gathered until the green has let it go, past the yellow
// where the green was too short; the advance detectors of phases 2 and 6,
// coordinated, see the platoon of each of their greens, the others random
// vehicles.
void map_detectors(const SignalDayOptions& options, std::vector<Event>* events) {
  std::mt19937 rng(options.seed * 7 + 3);
  auto uniform = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng); };
  auto poisson = [&](double mean) { return std::poisson_distribution<int>(mean)(rng); };
  const int channels = std::min(options.detectors, 16);
  std::erase_if(*events, [&](const Event& e) {
    return e.kind == Kind::kDetector && e.value <= channels;
  });
  // Each phase's greens: their start, yellow and end of yellow.
  struct Green {
    int start, yellow = -1, end = -1;
  };
  std::vector<Green> greens[9];
  std::vector<Event> sorted = *events;
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const Event& a, const Event& b) { return a.time < b.time; });
  for (const Event& e : sorted) {
    if (e.value < 1 || e.value > 8) continue;
    std::vector<Green>& g = greens[e.value];
    if (e.kind == Kind::kGreen) g.push_back({e.time});
    if (e.kind == Kind::kYellow && !g.empty()) g.back().yellow = e.time;
    if (e.kind == Kind::kYellowEnd && !g.empty()) g.back().end = e.time;
  }
  auto pulse = [&](int channel, int at, int length) {
    events->push_back({at, Kind::kDetector, channel, true});
    events->push_back({at + length, Kind::kDetector, channel, false});
  };
  for (int phase = 1; phase <= 8; ++phase) {
    const std::vector<Green>& g = greens[phase];
    // The stop bar.
    if (phase <= channels) {
      int free_from = 0;  // its last off
      for (size_t i = 1; i < g.size(); ++i) {
        if (g[i - 1].end < 0 || g[i].yellow < 0) continue;
        const int red = g[i - 1].end, green = g[i].start, yellow = g[i].yellow;
        const int queue = poisson(demand(green) * 6);
        if (queue == 0) continue;
        const int on = std::max(red + uniform(10, 100), free_from + 5);
        if (on >= green) continue;
        int off = green + queue * 20;
        if (off >= yellow) off = g[i].end + uniform(20, 80);  // not cleared
        pulse(phase, on, off - on);
        free_from = off;
      }
    }
    // The advance detector.
    const int advance = phase + 8;
    if (advance > channels) continue;
    const bool coordinated = phase == 2 || phase == 6;
    int last = 0;
    for (const Green& green : g) {
      if (coordinated && green.start >= 6 * 36000 && green.start < 19 * 36000) {
        // The platoon, 2 s apart, arriving from 2 s into the green.
        const int vehicles = 2 + poisson(demand(green.start) * 8);
        for (int k = 0; k < vehicles; ++k) {
          const int at = green.start - kTravel + 20 + k * 20;
          if (at > last + 5) pulse(advance, at, uniform(3, 8));
          last = std::max(last, at + 8);
        }
      }
    }
    // Random vehicles besides: fewer where the platoons come.
    for (int t = 0; t < 24 * 36000;) {
      t += static_cast<int>(std::exponential_distribution<double>(
                                demand(t) / (coordinated ? 400.0 : 120.0))(rng)) + 1;
      if (t < 24 * 36000) pulse(advance, t, uniform(3, 8));
    }
  }
}

}  // namespace

std::string signal_day_map(const SignalDayOptions& options, const std::string& signal_id) {
  std::string field = signal_id;
  if (field.find_first_of(",\"\r\n") != std::string::npos) {
    std::string quoted = "\"";
    for (char c : field) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    field = quoted + "\"";
  }
  std::string map = "signal_id,channel,phase,approach,roles,distance,speed\n";
  for (int channel = 1; channel <= options.detectors; ++channel) {
    const int phase = (channel - 1) % 8 + 1;
    map += field + "," + std::to_string(channel) + "," + std::to_string(phase) + "," +
           kApproaches[phase] + "," +
           (channel <= 8 ? "stopbar+count,," : channel <= 16 ? "advance,400,35" : "count,,") + "\n";
  }
  return map;
}

std::vector<std::vector<LogRecord>> signal_day(const SignalDayOptions& options) {
  std::mt19937 rng(options.seed);
  auto uniform = [&](int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(rng);
  };
  std::vector<Event> events;
  const int kTenthsPerDay = (options.fall_back ? 25 : options.spring_forward ? 23 : 24) * 36000;

  // Coordination plans through the day; free at night (pattern 254).
  const struct { int hour; int pattern, cycle, offset; } kPlans[] = {
      {6, 1, 120, 20}, {9, 2, 100, 10}, {15, 3, 130, 35}, {19, 254, 0, 0}};
  for (const auto& plan : kPlans) {
    int t = plan.hour * 36000 + uniform(0, 600);
    events.push_back({t, Kind::kPattern, plan.pattern, false});
    events.push_back({t, Kind::kCycle, plan.cycle, false});
    events.push_back({t, Kind::kOffset, plan.offset, false});
    // The plan's splits: a third of its cycle for the major phases (2 and
    // 6), a fifth for the others.
    for (int phase = 1; phase <= 8 && plan.cycle > 0; ++phase)
      events.push_back({t + 1, Kind::kSplit, plan.cycle / (phase % 4 == 2 ? 3 : 5), false, phase});
  }
  auto coordinated = [](int time) { return time >= 6 * 36000 && time < 19 * 36000; };

  // Pedestrian calls on phases 2, 4, 6 and 8, waiting for their walk.
  int pending_call[9] = {};  // 0: none, else the call's time + 1
  std::vector<Event> calls;
  for (int phase = 2; phase <= 8; phase += 2) {
    for (int t = 0; t < kTenthsPerDay;) {
      t += static_cast<int>(std::exponential_distribution<double>(
                                demand(t) / 1800.0)(rng)) + 1;
      if (t < kTenthsPerDay) calls.push_back({t, Kind::kPedCall, phase, true});
    }
  }
  std::sort(calls.begin(), calls.end(),
            [](const Event& a, const Event& b) { return a.time < b.time; });
  size_t next_call = 0;

  // The rings: phases 1-2 with 5-6, then 3-4 with 7-8, each group ended at
  // its barrier when both rings are through.
  const int kGroups[2][2][2] = {{{1, 2}, {5, 6}}, {{3, 4}, {7, 8}}};
  int now = 0;
  for (int group = 0; now < kTenthsPerDay; group ^= 1) {
    int ends[2] = {now, now};
    for (int ring = 0; ring < 2; ++ring) {
      int t = now;
      for (int phase : kGroups[group][ring]) {
        // Calls that came before this green.
        while (next_call < calls.size() && calls[next_call].time <= t) {
          const Event& call = calls[next_call++];
          events.push_back(call);
          events.push_back({call.time + uniform(1, 5), Kind::kPedCall, call.value, false});
          if (pending_call[call.value] == 0) pending_call[call.value] = call.time + 1;
        }
        const bool major = phase == 2 || phase == 6;
        const int max_green = major ? 400 : 250;
        int green = 50 + static_cast<int>(uniform(0, max_green) * demand(t));
        Kind end = Kind::kGapOut;
        if (green >= max_green) {
          green = max_green;
          end = Kind::kMaxOut;
        } else if (coordinated(t) && uniform(0, 99) < 15) {
          end = Kind::kForceOff;
        }
        events.push_back({t, Kind::kGreen, phase, false});
        if (pending_call[phase] != 0) {
          events.push_back({t, Kind::kWalk, phase, false});
          pending_call[phase] = 0;
        }
        const int yellow = 35 + uniform(0, 5), red = 15 + uniform(0, 5);
        events.push_back({t + green, end, phase, false});
        events.push_back({t + green, Kind::kYellow, phase, false});
        events.push_back({t + green + yellow, Kind::kYellowEnd, phase, false});
        events.push_back({t + green + yellow, Kind::kRed, phase, false});
        events.push_back({t + green + yellow + red, Kind::kRedEnd, phase, false});
        t += green + yellow + red;
      }
      ends[ring] = t;
    }
    now = std::max(ends[0], ends[1]);
  }

  // Vehicle detectors, each on a phase, at the hour's demand.
  for (int channel = 1; channel <= options.detectors; ++channel) {
    for (int t = 0; t < kTenthsPerDay;) {
      t += static_cast<int>(std::exponential_distribution<double>(
                                demand(t) / 60.0)(rng)) + 1;
      if (t >= kTenthsPerDay) break;
      events.push_back({t, Kind::kDetector, channel, true});
      events.push_back({t + uniform(2, 20), Kind::kDetector, channel, false});
    }
  }

  if (options.mapped) map_detectors(options, &events);

  // Two preemptions, each held for half a minute to a minute and a half,
  // through entry, track clearance, dwell and exit, the gates down a while;
  // the second links and stays past its max presence.
  for (int i = 0; i < 2; ++i) {
    int t = uniform(0, kTenthsPerDay - 1000);
    const int off = t + uniform(300, 900);
    events.push_back({t, Kind::kPreempt, 1, true});
    events.push_back({off, Kind::kPreempt, 1, false});
    events.push_back({t + 2, Kind::kPreemptState, 1, false, kEntryState});
    events.push_back({t + 5, Kind::kPreemptState, 1, false, kTrackState});
    events.push_back({t + 155, Kind::kPreemptState, 1, false, kDwellState});
    events.push_back({off, Kind::kPreemptState, 1, false, kExitState});
    events.push_back({t + 30, Kind::kGateDown, 1, true});
    events.push_back({off + 20, Kind::kGateDown, 1, false});
    if (i == 1) {
      events.push_back({t + 100, Kind::kPreemptLink, 1, true});
      events.push_back({t + 200, Kind::kPreemptLink, 1, false});
      events.push_back({off - 1, Kind::kMaxPresence, 1, false});
    }
  }

  // What goes wrong: the power fails for 45 s at 03:00; the last detector
  // sticks on from 10:00 to 11:30, its fault alarm raised; the one before
  // chatters for 30 s at 14:00, on and off every tenth.
  events.push_back({3 * 36000, Kind::kPower, 0, true});
  events.push_back({3 * 36000 + 450, Kind::kPower, 0, false});
  if (options.detectors >= 2) {
    const int stuck = options.detectors, chatter = options.detectors - 1;
    const int from = 10 * 36000, to = 11 * 36000 + 18000;
    // Its pulses there go, each off with its on (2 to 20 tenths later).
    std::erase_if(events, [&](const Event& e) {
      return e.kind == Kind::kDetector && e.value == stuck && e.time < to + 25 &&
             e.time >= (e.on ? from - 25 : from);
    });
    events.push_back({from, Kind::kDetector, stuck, true});
    events.push_back({from + 5, Kind::kDetAlarm, stuck, false});
    events.push_back({to, Kind::kDetector, stuck, false});
    for (int t = 14 * 36000; t < 14 * 36000 + 300; ++t) {
      events.push_back({t, Kind::kDetector, chatter, true});
      events.push_back({t, Kind::kDetector, chatter, false});
    }
  }

  std::stable_sort(events.begin(), events.end(),
                   [](const Event& a, const Event& b) { return a.time < b.time; });
  const Writer writer(options.version);
  std::vector<std::vector<LogRecord>> hours(options.real_hours ? kTenthsPerDay / 36000 : 24);
  size_t step = SIZE_MAX;  // where the clock of the log shown twice goes back
  const size_t twice = static_cast<size_t>(options.change_hour < 0 ? 1 : options.change_hour);
  const size_t skipped = static_cast<size_t>(options.change_hour < 0 ? 2 : options.change_hour);
  for (const Event& e : events) {
    LogRecord record;
    if (e.time >= kTenthsPerDay || !writer.record(e, &record)) continue;
    size_t hour = static_cast<size_t>(e.time / 36000);
    if (options.real_hours) {
      if (options.fall_back && hour == twice + 1 && step == SIZE_MAX) step = hours[twice].size();
    } else if (options.fall_back && hour >= twice + 1) {
      if (hour == twice + 1 && step == SIZE_MAX) step = hours[twice].size();
      --hour;
    }
    if (options.spring_forward && !options.real_hours && hour >= skipped) ++hour;
    hours[hour].push_back(std::move(record));
  }
  if (step != SIZE_MAX) {
    const EventTable& table = select_event_table(options.version);
    for (int type = 0; type < table.count; ++type) {
      if (event_name(table.rows[type]) != "Time Update") continue;
      LogRecord update{static_cast<uint8_t>(type), 35999,
                       std::vector<uint8_t>(table.rows[type].length, 0)};
      hours[twice].insert(hours[twice].begin() + static_cast<std::ptrdiff_t>(step), update);
      break;
    }
  }
  return hours;
}
