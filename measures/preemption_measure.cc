// preemption.csv: each preemption from its input on to its input off, one
// still on at a break or at the end written without its end; and its
// service, from the preempt's rows up to its next input on: the time to
// entry, the track clearance and dwell, the time to exit and to gate down,
// and whether its max presence fired or a link became active.

#include <algorithm>
#include <tuple>
#include <vector>

#include "measures/tables.h"

namespace {

// The standard codes of a preempt's states.
const int kEntry = 105, kTrackClearance = 106, kDwell = 107, kExit = 111;

class PreemptionMeasure : public Measure {
 public:
  explicit PreemptionMeasure(const SignalContext& signal) : Measure(signal) {
    std::fill(std::begin(open_), std::end(open_), kNone);
  }

  uint32_t kinds() const override {
    uint32_t k = 0;
    for (SignalEvent kind : {SignalEvent::kPreempt, SignalEvent::kPreemptState,
                             SignalEvent::kGateDown, SignalEvent::kPreemptLink,
                             SignalEvent::kMaxPresence})
      k |= 1u << static_cast<int>(kind);
    return k;
  }

  void begin_log(const LogMeasures& log, int64_t, int64_t) override { kinds_ = log.kinds; }

  void take(std::span<const MeasureEvent> events, int64_t start) override {
    for (const MeasureEvent& e : events) take_event(e, event_time(start, e));
  }

  // Takes the event `e`, at time `t`.
  void take_event(const MeasureEvent& e, int64_t t) {
    const int v = e.value;
    if (e.kind == SignalEvent::kPreempt && e.on) {
      if (open_[v] != kNone && active_[open_[v]].off == kNever) return;  // on already
      close(v);
      Preemption p;
      p.on = t;
      p.preempt = v;
      p.max_presence = has_kind(kinds_, SignalEvent::kMaxPresence) ? 0 : kUnknown;
      p.link = has_kind(kinds_, SignalEvent::kPreemptLink) ? 0 : kUnknown;
      active_.push_back(p);
      open_[v] = active_.size() - 1;
      return;
    }
    if (open_[v] == kNone) return;  // nothing of it since a break
    Preemption& p = active_[open_[v]];
    switch (e.kind) {
      case SignalEvent::kPreempt:
        if (p.off == kNever) p.off = t;
        break;
      case SignalEvent::kPreemptState:
        end_state(&p, t);
        if (e.detail == kEntry && p.entry == kNever) p.entry = t - p.on;
        if (e.detail == kExit && p.exit == kNever) p.exit = t - p.on;
        if (e.detail == kTrackClearance || e.detail == kDwell) {
          p.state = e.detail;
          p.state_start = t;
        }
        break;
      case SignalEvent::kGateDown:
        if (e.on && p.gate_down == kNever) p.gate_down = t - p.on;
        break;
      case SignalEvent::kMaxPresence:
        p.max_presence = 1;
        break;
      case SignalEvent::kPreemptLink:
        if (e.on) p.link = 1;
        break;
      default:
        break;
    }
  }

  void cut() override {
    for (int v = 0; v < 256; ++v) close(v);
  }

  void settle(int64_t until) override {
    for (const Preemption& p : active_) until = std::min(until, p.on);
    std::sort(done_.begin(), done_.end(), [](const Preemption& a, const Preemption& b) {
      return std::tie(a.on, a.preempt) < std::tie(b.on, b.preempt);
    });
    size_t n = 0;
    for (; n < done_.size() && done_[n].on < until; ++n) {
      const Preemption& p = done_[n];
      std::string& out = row();
      put_int(&out, p.preempt);
      out += ',';
      time_.put(&out, p.on);
      out += ',';
      if (p.off != kNever) time_.put(&out, p.off);
      out += ',';
      if (p.off != kNever) put_seconds(&out, p.off - p.on);
      for (int64_t s : {p.entry, p.track_clearance, p.dwell, p.exit, p.gate_down}) {
        out += ',';
        if (s != kNever) put_seconds(&out, s);
      }
      for (int flag : {p.max_presence, p.link}) {
        out += ',';
        if (flag != kUnknown) put_int(&out, flag);
      }
      out += '\n';
    }
    done_.erase(done_.begin(), done_.begin() + static_cast<ptrdiff_t>(n));
  }

  void state(StateIO& io) override { io(kinds_, open_, active_, done_); }

 private:
  static constexpr size_t kNone = SIZE_MAX;  // no occurrence open
  static constexpr int kUnknown = -1;        // the numbering has no such row

  // A preemption and its service; times in tenths, kNever where not seen.
  struct Preemption {
    int64_t on = 0;
    int preempt = 0;
    int64_t off = kNever;
    int64_t entry = kNever, exit = kNever, gate_down = kNever;  // after `on`
    int64_t track_clearance = kNever, dwell = kNever;          // their lengths
    int max_presence = 0, link = 0;  // 1 where fired; kUnknown
    int state = 0;                   // kTrackClearance or kDwell since
    int64_t state_start = 0;         // ... this time; 0: neither
  };

  // Ends the track clearance or dwell of `p` at `t`, its next state.
  static void end_state(Preemption* p, int64_t t) {
    int64_t* length = p->state == kTrackClearance ? &p->track_clearance
                      : p->state == kDwell        ? &p->dwell
                                                  : nullptr;
    if (length != nullptr) *length = (*length == kNever ? 0 : *length) + t - p->state_start;
    p->state = 0;
  }

  // Ends the occurrence of preempt `v` open since its input on: nothing
  // later is its own.
  void close(int v) {
    if (open_[v] == kNone) return;
    const size_t i = open_[v];
    done_.push_back(active_[i]);
    open_[v] = kNone;
    if (i + 1 != active_.size()) {
      active_[i] = active_.back();
      open_[active_[i].preempt] = i;
    }
    active_.pop_back();
  }

  uint32_t kinds_ = 0;                // of the log begun last
  size_t open_[256];                  // by preempt: its occurrence in active_
  std::vector<Preemption> active_;    // open, in no order
  std::vector<Preemption> done_;      // closed, not yet written
};

}  // namespace

std::unique_ptr<Measure> make_preemption_measure(const SignalContext& signal) {
  return std::make_unique<PreemptionMeasure>(signal);
}
