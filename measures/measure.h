// What one measure table computes for one signal, behind one small
// interface: a measure takes the signal's events in time order, is cut at a
// break (a gap, damage), settles what no later event can change by writing
// its rows, and is ended. The loop that drives it (MeasureTables) knows no
// table; a table knows no other.

#ifndef QUILLON_MEASURES_MEASURE_H_
#define QUILLON_MEASURES_MEASURE_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "events/signal_events.h"
#include "measures/detector_map.h"
#include "logconv/convert_log.h"
#include "logconv/log_time.h"
#include "logconv/time_zone.h"
#include "measures/state.h"

/// What the measures take of one log.
struct LogMeasures {
  std::string path;       // below the directory argument
  bool dated = true;      // its name holds a valid date: `hour`
  LogHour hour;
  /// Where its hour starts on the measures' time line: with --tz the
  /// instant it starts at (its records' times are tenths after it, in real
  /// time); INT64_MIN: the hour's start.
  int64_t start = INT64_MIN;
  bool covered = false;   // read to its end without damage: its hour counts
  uint64_t records = 0;   // whole records read
  int version = 0;        // its format version
  std::string closing;    // its closing row, as the events table's --logs
  RecordClock clock;      // of its records
  // Where its clock went back: within it, or its first record before the
  // last of the log before it; the largest step in tenths.
  uint64_t steps_back = 0;
  uint32_t largest_step_back = 0;
  // The kinds its numbering has rows of, a bit each (1 << kind): all but a
  // few (version 4 has no End Yellow or End Red, no preempt states).
  uint32_t kinds = ~uint32_t{0};
  uint64_t detectors[4] = {};      // the channels of its Detector On events
  bool detectors_noted = false;    // ... noted as it was read (else from events)
  std::vector<MeasureEvent> events;  // held, or else:
  uint64_t offset = 0, count = 0;    // where they lie in the events file
};

/// How a run takes its measures.
struct MeasureSettings {
  int bin_minutes = 15;  // the bins' length, a divisor of 60
  /// The most missing hours in a row written a row each; a longer run of
  /// them is one row, a gap.
  int gap_hours = 72;
  /// A detector on this long or longer without an off is stuck on.
  int stuck_on_minutes = 60;
  /// A detector chatters in an hour with more than this many pairs of ons
  /// no more than chatter_tenths apart.
  int chatter_pairs = 100;
  int chatter_tenths = 1;
  /// The index's problems: a phase-hour whose max outs and force offs are
  /// this share (%) of its greens or more, with this many greens or more;
  /// an hour whose mean pedestrian delay is this long or longer.
  int split_share = 50;
  int split_greens = 5;
  int ped_delay_seconds = 120;
  /// A split failure: a green whose stop-bar occupancy and that of the
  /// first red_seconds of the red after it are both this share (%) or more.
  int split_failure_percent = 79;
  int red_seconds = 5;
  /// The run's detector map, or none: the tables of a map are written only
  /// with one.
  std::shared_ptr<const DetectorMap> detectors;
  /// --tz: the zone of the controllers' clocks, or none.
  std::shared_ptr<const TimeZone> zone;
  /// The threads a signal's tables are taken in at once.
  int jobs = 1;
  /// The bytes of the logs' events a run holds in memory until its tables
  /// are taken; the rest wait in a temporary file.
  size_t held_events = size_t{4} << 20;
  /// Where the run is one part of a larger one (a folder of an archive
  /// measured apart): the start of the larger run's last hour, in tenths
  /// since 1970, up to which each signal's hours after its last log are
  /// missing; INT64_MIN: the run's own.
  int64_t last_hour = INT64_MIN;
};

/// A threshold of MeasureSettings that a run may set by its name.
struct ThresholdDef {
  const char* name;
  int MeasureSettings::*value;
  bool tenths;       // given in seconds to a tenth, held in tenths
  int most;          // the largest it takes (as held)
  const char* unit;  // as the report lists it after the value: " s", "%"
  const char* what;  // what it is
};

/// Every threshold a run may set, in the order the usage and the report
/// list them.
extern const std::span<const ThresholdDef> kThresholds;

/// Sets the threshold `text`, "NAME=VALUE", in *settings. Returns false,
/// changing nothing, where NAME is no threshold or VALUE no number it
/// takes.
bool set_threshold(std::string_view text, MeasureSettings* settings);

/// The value of `threshold` in `settings` as it is given: "60", "0.1".
std::string threshold_text(const ThresholdDef& threshold, const MeasureSettings& settings);

/// What every measure of one signal shares.
struct SignalContext {
  std::string field;       // the signal id as a CSV field
  int64_t bin = 0;         // the bins' length in tenths of a second
  int64_t last_hour = 0;   // the start of the run's last hour, or kNoHour
  int64_t gap = 0;         // missing hours longer than this are one row, in tenths
  int64_t stuck_tenths = 0;    // a detector on this long is stuck on
  int chatter_pairs = 0;       // more pairs of ons this close in an hour
  int64_t chatter_tenths = 0;  // ... are chatter
  bool detector_seen[256] = {};  // the channels of the signal's Detector Ons
  std::string* out = nullptr;    // where the measure's rows go
  /// Of a signal in the run's detector map: its channels, null where not
  /// mapped; else null.
  const std::map<int, MappedDetector>* map = nullptr;
  const MappedDetector* mapped[256] = {};
  int64_t red_tenths = 0;         // a split failure's first red
  int split_failure_percent = 0;  // ... and its share
  /// With --tz, the zone's offsets: times are instants (tenths since 1970
  /// UTC), bins and hours those of the zone's clocks. Else no zone.
  mutable OffsetCache offsets;

  /// The start of the bin of `length` tenths (an hour or a divisor of one)
  /// that holds `t`: on the zone's clocks where there is a zone.
  int64_t bin_of(int64_t t, int64_t length) const {
    // No zone, or a time that stands for none (kNever and the like).
    const int64_t kFar = int64_t{1} << 50;
    if (offsets.zone() == nullptr || t > kFar || t < -kFar) return bin_start(t, length);
    const int64_t shift = int64_t{offsets.at(t)} * 10;
    return bin_start(t + shift, length) - shift;
  }

  /// The map's row of `channel`, or null.
  const MappedDetector* detector(int channel) const { return mapped[channel]; }

  /// Whether the map gives `channel` the role `role` (a DetectorRole).
  bool has_role(int channel, int role) const {
    return mapped[channel] != nullptr && (mapped[channel]->roles & role) != 0;
  }
};

/// Whether `kinds`, a bit each, holds `kind`.
inline bool has_kind(uint32_t kinds, SignalEvent kind) {
  return (kinds >> static_cast<int>(kind) & 1) != 0;
}

/// The time `e` happened at, for a log whose hour starts at `start`.
inline int64_t event_time(int64_t start, const MeasureEvent& e) {
  return start + e.tenths;
}

/// A time no event has: the end of every signal.
const int64_t kNever = INT64_MAX;

/// No hour: a run without a dated log.
const int64_t kNoHour = INT64_MIN;

/// One measure table's computation for one signal.
class Measure {
 public:
  explicit Measure(const SignalContext& signal) : signal_(signal) {
    if (signal.offsets.zone() != nullptr) time_.set_zone(&signal.offsets);
  }
  virtual ~Measure() = default;

  /// The kinds of event it takes, a bit each (1 << kind).
  virtual uint32_t kinds() const = 0;

  /// Whether it takes the detector events (on and off) of `channel`, where
  /// its kinds hold them; every channel's unless it says otherwise.
  virtual bool takes_channel(int channel) const {
    (void)channel;
    return true;
  }

  /// Starts the log `log` of the signal, whose hour starts at `start`; the
  /// logs come by their hour. `previous` is where the log before it started
  /// (start where there was none).
  virtual void begin_log(const LogMeasures& log, int64_t start, int64_t previous) {
    (void)log, (void)start, (void)previous;
  }

  /// Takes a log of the signal that is not measured: a second log of an
  /// hour measured from another, or one whose name holds no valid date.
  virtual void pass_log(const LogMeasures& log) { (void)log; }

  /// Takes the events of its kinds of the log begun last, whose hour
  /// starts at `start`, in time order: a piece of the log at a time.
  virtual void take(std::span<const MeasureEvent> events, int64_t start) = 0;

  /// Ends every open interval without a row: nothing pairs across a break.
  virtual void cut() {}

  /// Writes every row that no event at `until` or later can change or come
  /// before.
  virtual void settle(int64_t until) = 0;

  /// Saves or loads (as `io` does) what it holds between two logs: a run
  /// that loads it goes on as the run that saved it would have.
  virtual void state(StateIO& io) = 0;

 protected:
  /// Starts a row with the signal's id; returns the text to go on with.
  std::string& row() {
    std::string& out = *signal_.out;
    out += signal_.field;
    out += ',';
    return out;
  }

  /// The start of each row of the bin that starts at `start`: the signal's
  /// id and the bin's time, each with its comma.
  std::string bin_head(int64_t start) {
    std::string head = signal_.field + ",";
    time_.put(&head, start);
    head += ',';
    return head;
  }

  const SignalContext& signal_;
  TimestampText time_;
};

/// Counts of type T in bins of the signal, made on first use and written
/// once settled. Events come in time order: the last bin asked for is
/// nearly always the one, which saves a search an event.
template <typename T>
class Bins {
 public:
  /// Bins of `bin` tenths of the signal's time (its zone's, with --tz).
  Bins(const SignalContext& signal, int64_t bin) : signal_(signal), bin_(bin) {}

  /// The counts of the bin of time `t`.
  T& at(int64_t t) {
    if (t >= last_ && t < last_ + bin_) return *last_counts_;
    const int64_t b = signal_.bin_of(t, bin_);
    std::unique_ptr<T>& counts = bins_[b];
    if (counts == nullptr) counts = std::make_unique<T>();
    last_ = b;
    last_counts_ = counts.get();
    return *last_counts_;
  }

  /// Calls write(start, counts) for every bin before `until`, in time
  /// order, and forgets them.
  template <typename Write>
  void settle(int64_t until, Write write) {
    auto end = bins_.lower_bound(until);
    for (auto it = bins_.begin(); it != end; ++it) write(it->first, *it->second);
    bins_.erase(bins_.begin(), end);
    last_ = INT64_MIN;  // none
  }

  /// Saves or loads the counts not yet written.
  void state(StateIO& io) {
    io(bins_);
    last_ = INT64_MIN;
  }

 private:
  const SignalContext& signal_;
  int64_t bin_;
  std::map<int64_t, std::unique_ptr<T>> bins_;  // not yet written
  int64_t last_ = INT64_MIN;  // the bin of last_counts_; none yet
  T* last_counts_ = nullptr;
};

/// Events a measure writes a row each, held until settled and written in
/// time order (as taken within a time): a clock that went back may log an
/// event before an earlier one.
class TimeOrdered {
 public:
  /// Holds the event `e` of time `t`.
  void add(int64_t t, const MeasureEvent& e) { held_.push_back({t, e}); }

  /// Calls write(t, e) for every event held before `until`, in time order,
  /// and forgets them.
  template <typename Write>
  void settle(int64_t until, Write write) {
    std::stable_sort(held_.begin(), held_.end(),
                     [](const Held& a, const Held& b) { return a.t < b.t; });
    size_t n = 0;
    for (; n < held_.size() && held_[n].t < until; ++n) write(held_[n].t, held_[n].e);
    held_.erase(held_.begin(), held_.begin() + static_cast<ptrdiff_t>(n));
  }

  /// Saves or loads the events not yet written.
  void state(StateIO& io) { io(held_); }

 private:
  struct Held {
    int64_t t;
    MeasureEvent e;
  };
  std::vector<Held> held_;
};

#endif  // QUILLON_MEASURES_MEASURE_H_
