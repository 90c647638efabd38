// Synthetic days of a signalised intersection, for the tests and the
// benchmarks of what is computed from the logs: phases cycling in two rings
// with their terminations, yellow and red clearance, detector and
// pedestrian activity, coordination changes and preemptions with their
// states, a power failure, a detector stuck on and one chattering, written in the
// numbering of any log version.

#ifndef QUILLON_TOOLS_SIGNAL_DAY_H_
#define QUILLON_TOOLS_SIGNAL_DAY_H_

#include <cstdint>
#include <string>
#include <vector>

#include "tools/loggen.h"

/// What a synthetic day holds.
struct SignalDayOptions {
  int version = 6;     // the log version whose numbering the records take
  /// Vehicle detector channels, on phases 1 to 8 in turn; of two or more,
  /// the last sticks on from 10:00 to 11:30 and the one before chatters at
  /// 14:00.
  int detectors = 16;
  uint32_t seed = 1;
  // A daylight-saving fall-back: the clock goes back an hour at 01:59:59.9
  // (a Time Update logged there), so that the day has 25 hours and the
  // log of 01:00 holds two.
  bool fall_back = false;
  // A daylight-saving spring-forward: the clock goes from 01:59:59.9 to
  // 03:00:00.0, so that the day has 23 hours and no log of 02:00.
  bool spring_forward = false;
  // The wall hour shown twice in the fall (1: the clock goes back at
  // 01:59:59.9 to 01:00), or skipped in the spring (2: from 01:59:59.9 to
  // 03:00); where negative, those.
  int change_hour = -1;
  // With fall_back or spring_forward, the logs by hour of real time (as a
  // controller whose clock keeps UTC would write the same events): 25 or
  // 23 of them, the Time Update at the end of the change's hour.
  bool real_hours = false;
  /// The detectors of signal_day_map: the stop bars of phases 1 to 8
  /// (channels 1 to 8) hold their queues from red into green, and longer
  /// where a green does not clear it; the advance detectors (9 to 16) of
  /// the coordinated phases 2 and 6 see platoons released by the
  /// upstream greens.
  bool mapped = false;
};

/// The detector map of a day made with `mapped`, for the signal
/// `signal_id`: channels 1 to 8 the stop bars (and counts) of phases 1 to
/// 8, 9 to 16 their advance detectors 400 ft out at 35 mph, any more counts.
std::string signal_day_map(const SignalDayOptions& options, const std::string& signal_id);

/// The records of the 24 hourly logs of one day, hour by hour, each in time
/// order with its times counted from the start of its hour. The signal
/// runs on: a green begun before the hour ends in it. Events that the
/// version's table has no row for (the end of yellow in version 4) are left
/// out. The same options give the same day.
std::vector<std::vector<LogRecord>> signal_day(const SignalDayOptions& options);

#endif  // QUILLON_TOOLS_SIGNAL_DAY_H_
