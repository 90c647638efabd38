// detector_health.csv: each channel the signal's logs show, in each covered
// hour: its actuations, how long it was on and its share of the hour, its
// longest whole on-time touching the hour, and what looks wrong with it:
// stuck on, chattering, silent, or an alarm of a fault.
//
// An on-time runs from a Detector On to the next off of its channel, across
// hours; one still on at a break or at the end counts to the end of the
// covered hours before it. An off with no on before it counts nothing.

#include <algorithm>
#include <vector>

#include "measures/tables.h"

namespace {

// The standard codes of the vehicle detector alarms that are faults: open
// loop, shorted loop, excessive change, watchdog and other.
const int kFirstFault = 84, kLastFault = 88;

class DetectorHealthMeasure : public Measure {
 public:
  explicit DetectorHealthMeasure(const SignalContext& signal)
      : Measure(signal), hours_(signal, kTenthsPerHour) {
    for (int d = 0; d < 256; ++d)
      if (signal.detector_seen[d]) channels_ = d + 1;
    std::fill(std::begin(on_since_), std::end(on_since_), kNever);
    std::fill(std::begin(last_on_), std::end(last_on_), kNoOn);
  }

  uint32_t kinds() const override {
    return 1u << static_cast<int>(SignalEvent::kDetector) |
           1u << static_cast<int>(SignalEvent::kDetectorOff) |
           1u << static_cast<int>(SignalEvent::kDetAlarm);
  }

  void begin_log(const LogMeasures& log, int64_t start, int64_t) override {
    if (!log.covered) return;
    // In a zone, the hour shown twice is two hours of a log where the
    // clocks went back in it.
    covered_end_ = start + kTenthsPerHour + log.clock.went_back;
    for (int64_t h = start; h < covered_end_; h += kTenthsPerHour) hour(h).covered = true;
  }

  void take(std::span<const MeasureEvent> events, int64_t start) override {
    // An hour's channels are looked up once for a run of its events, and an
    // on-time within the hour is counted there: a lookup an event cost a
    // third of the table's time.
    // Every channel has its counts (a channel not seen has no row), which
    // saves a test an event; the thresholds and state are read into locals
    // that no store to the counts can change.
    const int64_t chatter = signal_.chatter_tenths, stuck = signal_.stuck_tenths;
    int64_t* const on_since = on_since_;
    int64_t* const last_on = last_on_;
    for (size_t i = 0; i < events.size();) {
      const int64_t first = signal_.bin_of(event_time(start, events[i]), kTenthsPerHour);
      // The hour's end, in the tenths of the log's events.
      const uint32_t end = static_cast<uint32_t>(first + kTenthsPerHour - start);
      Channel* const channels = hour(first).channels.data();
      for (; i < events.size() && events[i].tenths < end; ++i) {
        const MeasureEvent& e = events[i];
        const int64_t t = event_time(start, e);
        const int d = e.value;
        Channel& c = channels[d];
        if (e.kind == SignalEvent::kDetector) {
          ++c.actuations;
          c.chatter += t - last_on[d] <= chatter;
          last_on[d] = t;
          if (on_since[d] == kNever) on_since[d] = t;
        } else if (e.kind == SignalEvent::kDetectorOff) {
          const int64_t since = on_since[d];
          on_since[d] = kNever;
          if (since == kNever) continue;
          if (since >= first) {
            c.on += t - since;
            c.longest = std::max(c.longest, t - since);
            c.stuck |= t - since >= stuck;
          } else {
            end_on(d, since, t);
          }
        } else if (e.detail >= kFirstFault && e.detail <= kLastFault) {
          c.fault = true;
        }
      }
    }
  }

  void cut() override {
    for (int d = 0; d < channels_; ++d) {
      if (on_since_[d] != kNever && on_since_[d] < covered_end_)
        end_on(d, on_since_[d], covered_end_);
      on_since_[d] = kNever;
      last_on_[d] = kNoOn;
    }
  }

  void settle(int64_t until) override {
    // An hour that an open on-time touches waits for its end.
    for (int d = 0; d < channels_; ++d)
      if (on_since_[d] != kNever) until = std::min(until, signal_.bin_of(on_since_[d], kTenthsPerHour));
    hours_.settle(until, [this](int64_t start, const Hour& h) {
      if (!h.covered) return;
      for (int d = 0; d < channels_; ++d) {
        if (!signal_.detector_seen[d]) continue;
        const Channel& c = h.channels[d];
        std::string& out = row();
        time_.put_hour(&out, start);
        for (int64_t n : {int64_t{d}, int64_t{c.actuations}}) {
          out += ',';
          put_int(&out, n);
        }
        out += ',';
        put_seconds(&out, c.on);
        out += ',';
        put_share(&out, c.on, kTenthsPerHour);
        out += ',';
        put_seconds(&out, c.longest);
        out += ',';
        const char* sep = "";
        const bool flags[] = {c.stuck, c.chatter > signal_.chatter_pairs,
                              c.actuations == 0 && !c.stuck, c.fault};
        const char* const names[] = {"stuck_on", "chatter", "silent", "fault"};
        for (int f = 0; f < 4; ++f) {
          if (!flags[f]) continue;
          out += sep;
          out += names[f];
          sep = ";";
        }
        out += '\n';
      }
    });
  }

  void state(StateIO& io) override {
    io(channels_, hours_, on_since_, last_on_, covered_end_);
  }

 private:
  // A channel in an hour; times in tenths.
  struct Channel {
    int actuations = 0;
    int chatter = 0;        // ons no more than the chatter gap after the one before
    int64_t on = 0;         // on-time within the hour
    int64_t longest = 0;    // the longest whole on-time touching it
    bool stuck = false;     // an on-time of the stuck length touches it
    bool fault = false;     // a fault alarm came in it
  };
  struct Hour {
    bool covered = false;
    std::vector<Channel> channels;  // by channel
    void state(StateIO& io) { io(covered, channels); }
  };

  // The hour of time `t`, its channels made on first use.
  Hour& hour(int64_t t) {
    Hour& h = hours_.at(t);
    if (h.channels.empty()) h.channels.resize(256);
    return h;
  }

  // Counts the on-time of channel `d` from `from` to `to` in every hour it
  // touches.
  void end_on(int d, int64_t from, int64_t to) {
    const int64_t length = to - from;
    for (int64_t h = signal_.bin_of(from, kTenthsPerHour); h < std::max(to, from + 1);
         h += kTenthsPerHour) {
      Channel& c = hour(h).channels[d];
      c.on += std::min(to, h + kTenthsPerHour) - std::max(from, h);
      c.longest = std::max(c.longest, length);
      if (length >= signal_.stuck_tenths) c.stuck = true;
    }
  }

  // Appends `part` / `whole` to four decimals.
  static void put_share(std::string* out, int64_t part, int64_t whole) {
    const int64_t q = (part * 20000 + whole) / (2 * whole);
    put_int(out, q / 10000);
    const int64_t f = q % 10000;
    *out += '.';
    for (int64_t p = 1000; p > 0; p /= 10) *out += static_cast<char>('0' + f / p % 10);
  }

  int channels_ = 0;             // up to the highest channel seen
  Bins<Hour> hours_;
  int64_t on_since_[256];        // by channel: its open on-time's start; kNever
  // Far enough before any time that no on pairs with it, and no subtraction
  // overflows.
  static constexpr int64_t kNoOn = INT64_MIN / 4;
  int64_t last_on_[256];         // by channel: its last on since a break; kNoOn
  int64_t covered_end_ = INT64_MIN;  // the end of the last covered hour begun
};

}  // namespace

std::unique_ptr<Measure> make_detector_health_measure(const SignalContext& signal) {
  return std::make_unique<DetectorHealthMeasure>(signal);
}
