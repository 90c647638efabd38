// The events that signal performance is measured by, recognised in every
// log version by the names of their rows: a phase's green, clearances and
// terminations, pedestrian walks and calls, detector actuations,
// preemption and coordination.

#ifndef QUILLON_EVENTS_SIGNAL_EVENTS_H_
#define QUILLON_EVENTS_SIGNAL_EVENTS_H_

#include <cstdint>
#include <string_view>

#include "events/event_table.h"

/// One kind of event of a signal.
enum class SignalEvent : uint8_t {
  kGreen,      // a phase's green begins
  kYellow,     // its yellow begins
  kYellowEnd,  // its yellow ends (no row in version 4 logs)
  kRed,        // its red clearance begins
  kRedEnd,     // its red clearance ends (no row in version 4 logs)
  kGapOut,     // its green ends by gap out,
  kMaxOut,     // by max out,
  kForceOff,   // or is forced off
  kWalk,       // a pedestrian walk begins
  kPedCall,    // a pedestrian call, on or off
  kDetector,   // a vehicle detector, on or off
  kPreempt,    // a preemption input, on or off
  kPattern,    // the coordination pattern changes,
  kCycle,      // its cycle length,
  kOffset,     // its offset
  kSkip,       // a phase is skipped
  kPedPress,   // a pedestrian pushbutton, on or off
  kSplit,      // the coordinator changes a phase's split
  kYield,      // a ring yields
  kPower,      // the power is interrupted (on) or back (off)
  kFlash,      // the flash status changes
  kAlarm,      // the alarm status changes
  kAlarmGroup, // an alarm group changes
  kTimeUpdate, // the controller's clock is set
  kCoordStatus,  // the coordinator's status changes
  kUnitControl,  // the unit control status changes
  kPreemptState,  // a preempt's state changes
  kGateDown,   // a preempt's gate down input, on or off
  kPreemptLink,  // a preempt's link, on or off
  kMaxPresence,  // a preempt's input stayed on past its max presence
  kDetAlarm,   // a vehicle detector's alarm changes
  kDetectorOff,  // a vehicle detector goes off (no row of its own: kDetector)
  kNone,       // none of these
};

/// How many kinds there are, kNone left out.
const int kSignalEventKinds = static_cast<int>(SignalEvent::kNone);

/// The names of the rows of each kind: that of version 5, 6 and current
/// logs, then version 4's where it differs or a second row of the kind
/// (empty where there is none); a kind made from another's rows has none.
extern const std::string_view kSignalEventNames[kSignalEventKinds][2];

/// The kind of each event type of one table, derived from its rows' names,
/// and how its value is read: the converter of its row, or for a row
/// without one, that of the same name in the other tables (on_off for the
/// current table's "Ped call on/off").
struct SignalEventTable {
  SignalEvent kind[256];
  EventConverter converter[256];
  /// Where the value is for the converters most rows have, read without a
  /// call (which saves one a record): D0, D0 >> 1 or D1; kCall: ask the
  /// converter.
  enum Read : uint8_t { kFirst, kFirstShifted, kSecond, kCall };
  Read read[256];
  /// Whether the row has a converter of its own: a standard code.
  bool coded[256];
  /// The kinds its numbering has rows of, a bit each (1 << kind).
  uint32_t kinds;
};

/// The kinds of the types of `table` (one that select_event_table
/// returns), built on first use.
const SignalEventTable& signal_events(const EventTable& table);

/// The phase of a split change record of a type that `events` knows: its
/// standard code (Split Change 1 to 16) less that of a record of no phase.
int split_change_phase(const SignalEventTable& events, uint8_t type, const uint8_t* data,
                       int length);

/// The standard code of a record of a type that `events` knows, as its
/// row's own converter computes it; 0 for a row without one.
int signal_event_code(const SignalEventTable& events, uint8_t type, const uint8_t* data,
                      int length);

/// The value of a record of a type that `events` knows, by calling its
/// converter: for the rows that signal_event_value does not read itself.
int converted_signal_event_value(const SignalEventTable& events, uint8_t type,
                                 const uint8_t* data, int length);

/// The value of a record of a type that `events` knows: its phase,
/// detector channel, preempt number or plan value, as the standard
/// conversion of its row computes it; *on gets the state of an on/off
/// event (bit 0 of D0).
inline int signal_event_value(const SignalEventTable& events, uint8_t type,
                              const uint8_t* data, int length, bool* on) {
  *on = length > 0 && (data[0] & 1) != 0;
  switch (events.read[type]) {
    case SignalEventTable::kFirst:
      return length > 0 ? data[0] : 0;
    case SignalEventTable::kFirstShifted:
      return length > 0 ? data[0] >> 1 : 0;
    case SignalEventTable::kSecond:
      return data[1];
    case SignalEventTable::kCall:
      break;
  }
  return converted_signal_event_value(events, type, data, length);
}

/// One event of a log that the measures use, as LogConverter writes them.
struct MeasureEvent {
  uint32_t tenths;  // since the start of the log's hour, also past it
  SignalEvent kind;
  uint8_t value;    // phase, detector channel, preempt number or plan value
  bool on;          // of an on/off event
  // Of a split change: its phase; of a preempt's state or a detector's
  // alarm: the standard code of its record; else 0.
  uint8_t detail = 0;
};

#endif  // QUILLON_EVENTS_SIGNAL_EVENTS_H_
