// What the tables of a signal's detector map share: each phase's cycles as
// its events give them, and the arrivals of its advance detectors at the
// stop bar, paired with the cycle they fall in.

#ifndef QUILLON_MEASURES_CYCLES_H_
#define QUILLON_MEASURES_CYCLES_H_

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "measures/detector_map.h"
#include "measures/measure.h"

/// One cycle of a phase: from one end of its yellow to the next, with the
/// phase's Begin Green and Begin Yellow inside it (kNever where none came).
struct Cycle {
  int phase = 0;
  int64_t start = 0, green = kNever, yellow = kNever, end = 0;
};

/// Follows each phase's cycles: a cycle of phase P runs from the end of one
/// of its yellows (its End Yellow; where the numbering has none, its Begin
/// Red Clearance) to the next. Only cycles whose logs are covered, with no
/// break between, are whole.
class CycleTracker {
 public:
  /// The kinds of event it takes, a bit each.
  static uint32_t kinds() {
    uint32_t k = 0;
    for (SignalEvent kind : {SignalEvent::kGreen, SignalEvent::kYellow, SignalEvent::kYellowEnd,
                             SignalEvent::kRed})
      k |= 1u << static_cast<int>(kind);
    return k;
  }

  /// Starts a log.
  void begin_log(const LogMeasures& log) {
    ends_ = has_kind(log.kinds, SignalEvent::kYellowEnd);
    covered_ = log.covered;
  }

  /// Whether `e` ends a phase's yellow in the log begun last.
  bool ends_yellow(const MeasureEvent& e) const {
    return e.kind == (ends_ ? SignalEvent::kYellowEnd : SignalEvent::kRed);
  }

  /// Takes the event `e` of a kind of kinds(), at `t`. Returns 0, or where
  /// it ends a phase's cycle, 1 for a whole one (then cycle() is it) and 2
  /// for one that is not.
  int take(const MeasureEvent& e, int64_t t) {
    Open& o = open_[e.value];
    if (e.kind == SignalEvent::kGreen) {
      if (o.start != kNever && o.green == kNever) o.green = t;
    } else if (e.kind == SignalEvent::kYellow) {
      if (o.green != kNever && o.yellow == kNever) o.yellow = t;
    } else if (ends_yellow(e)) {
      int ended = 0;
      if (o.start != kNever) {
        ended = o.covered && covered_ ? 1 : 2;
        cycle_ = {e.value, o.start, o.green, o.yellow, t};
      }
      o = {t, kNever, kNever, covered_};
      return ended;
    }
    return 0;
  }

  /// The cycle take() ended last.
  const Cycle& cycle() const { return cycle_; }

  /// The start of the earliest open cycle; kNever where none is open.
  int64_t earliest_open() const {
    int64_t t = kNever;
    for (const Open& o : open_) t = std::min(t, o.start);
    return t;
  }

  /// Forgets every open cycle: none runs across a break.
  void cut() {
    for (Open& o : open_) o = Open();
  }

 private:
  struct Open {
    int64_t start = kNever, green = kNever, yellow = kNever;
    bool covered = false;  // its start's log
  };
  Open open_[256];
  Cycle cycle_;
  bool ends_ = true;      // the log's numbering has End Yellow
  bool covered_ = false;  // the log begun last is covered
};

/// `x` rounded half away from zero, as std::llround, without a call into
/// the maths library (a row of arrivals.csv makes two).
inline int64_t round_half_away(double x) {
  if (x < 0) return -round_half_away(-x);
  const double whole = std::floor(x);
  return static_cast<int64_t>(whole) + (x - whole >= 0.5 ? 1 : 0);
}

/// The arrivals of a signal's advance detectors at the stop bar, each paired
/// with the whole cycle of its phase that holds it.
class ArrivalTracker {
 public:
  /// One arrival in a cycle; its time in tenths, exact.
  struct Arrival {
    double t;
    int state;  // kRed, kGreen or kYellow
  };
  enum { kRed, kGreen, kYellow };
  /// The states' names in the tables, by state.
  static constexpr const char* kStateNames[] = {"red", "green", "yellow"};

  explicit ArrivalTracker(const SignalContext& signal) : signal_(signal) {}

  /// The kinds of event it takes, a bit each: none for a signal without a
  /// map.
  uint32_t kinds() const {
    if (signal_.map == nullptr) return 0;
    return CycleTracker::kinds() | 1u << static_cast<int>(SignalEvent::kDetector);
  }

  /// Whether it takes the Detector Ons of `channel`: an advance detector's.
  bool takes_channel(int channel) const { return signal_.has_role(channel, kAdvance); }

  void begin_log(const LogMeasures& log) { cycles_.begin_log(log); }

  /// Takes the event `e` at `t`; calls arrived(cycle, arrival) for each
  /// arrival of a cycle that ended there, in time order, and ended(cycle)
  /// for the cycle after them.
  template <typename Arrived, typename Ended>
  void take(const MeasureEvent& e, int64_t t, Arrived arrived, Ended ended) {
    if (e.kind == SignalEvent::kDetector) {
      if (!takes_channel(e.value)) return;
      const MappedDetector* d = signal_.detector(e.value);
      for (int p : d->phases) pending_[p].push_back(static_cast<double>(t) + d->travel_tenths);
      return;
    }
    const int result = cycles_.take(e, t);
    if (result == 0) return;
    const Cycle& c = cycles_.cycle();
    std::vector<double>& pending = pending_[c.phase];
    std::sort(pending.begin(), pending.end());
    size_t taken = 0;
    for (; taken < pending.size() && pending[taken] < static_cast<double>(c.end); ++taken) {
      const double a = pending[taken];
      if (result != 1 || a < static_cast<double>(c.start)) continue;
      const int state = c.green == kNever || a < static_cast<double>(c.green)     ? kRed
                        : c.yellow == kNever || a < static_cast<double>(c.yellow) ? kGreen
                                                                                   : kYellow;
      arrived(c, Arrival{a, state});
    }
    pending.erase(pending.begin(), pending.begin() + static_cast<ptrdiff_t>(taken));
    if (result == 1) ended(c);
  }

  /// The earliest time of an arrival or cycle still to come; kNever where
  /// none is.
  int64_t earliest_open() const {
    int64_t t = cycles_.earliest_open();
    for (const auto& pending : pending_)
      for (double a : pending) t = std::min(t, static_cast<int64_t>(std::floor(a)));
    return t;
  }

  void cut() {
    cycles_.cut();
    for (auto& pending : pending_) pending.clear();
  }

  /// Saves or loads its open cycles and arrivals.
  void state(StateIO& io) { io(cycles_, pending_); }

 private:
  const SignalContext& signal_;
  CycleTracker cycles_;
  std::vector<double> pending_[256];  // by phase: arrivals not yet in a cycle
};

/// Rows a measure makes out of the order they are written in: held as
/// `Row`s (each with its time `t` and `phase`), then written by their time
/// and then their phase. Each phase's rows come in time order, so that
/// writing them is a merge of the phases' queues (a sort of all of them
/// cost a tenth of the map's tables); a row's text is made once, as it is
/// written (held as text, it was copied twice more).
template <typename Row>
class HeldRows {
 public:
  HeldRows() { std::fill(std::begin(queue_of_), std::end(queue_of_), -1); }

  /// Holds `row`, not before its phase's rows so far.
  void add(const Row& row) {
    if (queue_of_[row.phase] < 0) {
      queue_of_[row.phase] = static_cast<int>(queues_.size());
      queues_.emplace_back();
    }
    queues_[static_cast<size_t>(queue_of_[row.phase])].rows.push_back(row);
  }

  /// Calls write(row) for every row before `until`, in order, and forgets
  /// them.
  template <typename Write>
  void settle(int64_t until, Write write) {
    // The queues' first rows in a heap, the earliest on top: a row costs a
    // few comparisons rather than one a phase with rows.
    auto later = [](const Queue* a, const Queue* b) {
      const Row &x = a->rows[a->head], &y = b->rows[b->head];
      return x.t != y.t ? x.t > y.t : x.phase > y.phase;
    };
    std::vector<Queue*>& heap = heap_;
    heap.clear();
    for (Queue& q : queues_)
      if (q.head < q.rows.size() && q.rows[q.head].t < until) heap.push_back(&q);
    std::make_heap(heap.begin(), heap.end(), later);
    while (!heap.empty()) {
      std::pop_heap(heap.begin(), heap.end(), later);
      Queue* q = heap.back();
      write(q->rows[q->head++]);
      if (q->head < q->rows.size() && q->rows[q->head].t < until) {
        std::push_heap(heap.begin(), heap.end(), later);
      } else {
        heap.pop_back();
      }
    }
    for (Queue& q : queues_) {
      q.rows.erase(q.rows.begin(), q.rows.begin() + static_cast<ptrdiff_t>(q.head));
      q.head = 0;
    }
  }

  /// Saves or loads the rows not yet written.
  void state(StateIO& io) { io(queues_, queue_of_); }

 private:
  struct Queue {
    size_t head = 0;        // the first row not yet written
    std::vector<Row> rows;  // of one phase, in time order
    void state(StateIO& io) { io(head, rows); }
  };
  std::vector<Queue> queues_;  // of the phases with rows, in order of their first
  int queue_of_[256];          // by phase: its index in queues_, or -1
  std::vector<Queue*> heap_;   // settle's, its memory kept
};

#endif  // QUILLON_MEASURES_CYCLES_H_
