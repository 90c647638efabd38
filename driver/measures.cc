#include "driver/measures.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <tuple>
#include <unordered_map>

#include "logconv/convert_log.h"
#include "logconv/row_text.h"

const char* const kMeasureTables[7] = {
    "logs", "actuations", "terminations", "phase_intervals",
    "ped", "coordination", "preemption"};

namespace {

enum Table { kLogs, kActuations, kTerminations, kIntervals, kPed, kCoordination, kPreemption };

const char* const kHeaders[7] = {
    "signal_id,hour,state,records,path\n",
    "signal_id,bin_start,detector,actuations\n",
    "signal_id,bin_start,phase,gap_out,max_out,force_off\n",
    "signal_id,phase,green_start,green,yellow,red_clearance,termination\n",
    "signal_id,bin_start,phase,walks,calls,delay_mean,delay_samples\n",
    "signal_id,timestamp,item,value\n",
    "signal_id,preempt,input_on,input_off,duration\n"};

const int64_t kTenthsPerHour = 36000, kTenthsPerDay = 24 * kTenthsPerHour;

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar, and
// back.
int64_t days_from_civil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void civil_from_days(int64_t z, int64_t* y, int* m, int* d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  *d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  *m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *y = yoe + era * 400 + (*m <= 2);
}

// The start of a log's hour in tenths of a second since 1970.
int64_t hour_start(const LogHour& h) {
  return days_from_civil(h.year, h.month, h.day) * kTenthsPerDay +
         h.hour * kTenthsPerHour;
}

// "YYYY-MM-DD HH:MM:SS.t" of a time in tenths since 1970.
std::string timestamp(int64_t t) {
  int64_t days = t >= 0 ? t / kTenthsPerDay : (t - kTenthsPerDay + 1) / kTenthsPerDay;
  int64_t rest = t - days * kTenthsPerDay, y;
  int m, d;
  civil_from_days(days, &y, &m, &d);
  char text[32];
  char* p = text;
  auto two = [&p](int64_t v) {
    *p++ = static_cast<char>('0' + v / 10);
    *p++ = static_cast<char>('0' + v % 10);
  };
  if (y < 0 || y > 9999) {
    p += snprintf(p, 16, "%lld", static_cast<long long>(y));
  } else {
    two(y / 100);
    two(y % 100);
  }
  *p++ = '-';
  two(m);
  *p++ = '-';
  two(d);
  *p++ = ' ';
  two(rest / 36000);
  *p++ = ':';
  two(rest / 600 % 60);
  *p++ = ':';
  two(rest / 10 % 60);
  *p++ = '.';
  *p++ = static_cast<char>('0' + rest % 10);
  return std::string(text, p);
}

// Tenths of a second as seconds to the tenth: "12.3".
void put_seconds(std::string* out, int64_t tenths) {
  *out += std::to_string(tenths / 10);
  *out += '.';
  *out += static_cast<char>('0' + tenths % 10);
}

std::string seconds(int64_t tenths) {
  std::string text;
  put_seconds(&text, tenths);
  return text;
}

// The phase of a green, from its begin to its clearance's end.
struct Phase {
  bool green = false;         // a green is open
  int64_t green_start = 0;
  bool green_whole = false;   // begun in a whole log
  int termination = -1;       // its last termination event
  // The interval waiting for its clearances, until the phase's next green.
  bool pending = false;
  int64_t start = 0, green_tenths = 0, yellow_start = 0, red_start = 0;
  int64_t yellow = -1, red = -1;  // -1: not known
  bool yellow_open = false, red_open = false, ends = true;
  int pending_termination = -1;
  // Pedestrians: the first call since the last walk.
  int64_t first_call = -1;
  bool call_whole = false;
};

struct Bin {
  int gap = 0, max = 0, force = 0;
  int walks = 0, calls = 0, delay_samples = 0;
  int64_t delay_sum = 0;
};

// The measures of one signal, from its logs in time order.
class Signal {
 public:
  Signal(const std::string& id, int64_t bin_tenths, std::string* text)
      : field_(csv_field(id)), bin_(bin_tenths), text_(text) {}

  void run(std::vector<LogMeasures>& logs) {
    std::stable_sort(logs.begin(), logs.end(),
                     [](const LogMeasures& a, const LogMeasures& b) {
                       return hour_start(a.hour) < hour_start(b.hour);
                     });
    int64_t previous = 0;
    bool previous_whole = false, first = true;
    for (LogMeasures& log : logs) {
      const int64_t start = hour_start(log.hour);
      if (!first) {
        for (int64_t h = previous + kTenthsPerHour; h < start; h += kTenthsPerHour)
          text_[kLogs] += field_ + "," + timestamp(h).substr(0, 13) + ":00:00,missing,,\n";
        // A gap, damage or a log out of order ends every open interval.
        if (start != previous + kTenthsPerHour || !previous_whole) end_all();
      }
      text_[kLogs] += field_ + "," + timestamp(start).substr(0, 13) + ":00:00," +
                      (log.whole ? "ok," : "damaged,") +
                      std::to_string(log.records) + "," + csv_field(log.path) + "\n";
      if (log.whole) covered_.insert(start);
      whole_ = log.whole;
      ends_ = log.has_clearance_ends;
      for (const MeasureEvent& e : log.events) take(start + e.tenths, e);
      previous = start;
      previous_whole = log.whole;
      first = false;
    }
    end_all();
    write();
  }

 private:
  void take(int64_t t, const MeasureEvent& e) {
    const int v = e.value;
    Phase& p = phases_[v];  // of a phase's events
    switch (e.kind) {
      case SignalEvent::kGreen:
        flush(v);
        p.green = true;
        p.green_start = t;
        p.green_whole = whole_;
        p.termination = -1;
        break;
      case SignalEvent::kGapOut:
      case SignalEvent::kMaxOut:
      case SignalEvent::kForceOff:
        if (p.green) p.termination = static_cast<int>(e.kind);
        counts_[key(t, v)].*(e.kind == SignalEvent::kGapOut   ? &Bin::gap
                                  : e.kind == SignalEvent::kMaxOut ? &Bin::max
                                                                   : &Bin::force) += 1;
        break;
      case SignalEvent::kYellow:
        if (!p.green) break;
        p.green = false;
        // A green is written only when every hour of it is covered.
        if (!p.green_whole || !whole_) break;
        flush(v);
        p.pending = true;
        p.start = p.green_start;
        p.green_tenths = t - p.green_start;
        p.pending_termination = p.termination;
        p.yellow_start = t;
        p.yellow = p.red = -1;
        p.yellow_open = true;
        p.red_open = false;
        p.ends = ends_;
        break;
      case SignalEvent::kYellowEnd:
        if (p.pending && p.yellow_open && p.ends) {
          p.yellow = t - p.yellow_start;
          p.yellow_open = false;
        }
        break;
      case SignalEvent::kRed:
        if (!p.pending) break;
        if (p.yellow_open && !p.ends) p.yellow = t - p.yellow_start;
        p.yellow_open = false;
        p.red_start = t;
        p.red_open = p.ends;
        break;
      case SignalEvent::kRedEnd:
        if (p.pending && p.red_open) {
          p.red = t - p.red_start;
          p.red_open = false;
        }
        break;
      case SignalEvent::kWalk: {
        Bin& b = counts_[key(t, v)];
        ++b.walks;
        if (p.first_call >= 0 && p.call_whole && whole_) {
          ++b.delay_samples;
          b.delay_sum += t - p.first_call;
        }
        p.first_call = -1;
        break;
      }
      case SignalEvent::kPedCall:
        if (!e.on) break;
        ++counts_[key(t, v)].calls;
        if (p.first_call < 0) {
          p.first_call = t;
          p.call_whole = whole_;
        }
        break;
      case SignalEvent::kDetector:
        if (!e.on) break;
        seen_[v] = true;
        ++actuations_[key(t, v)];
        break;
      case SignalEvent::kPreempt:
        if (e.on) {
          preempts_.emplace(v, t);
        } else if (auto open = preempts_.find(v); open != preempts_.end()) {
          preemptions_.push_back({open->second, v, std::to_string(v) + "," +
                                  timestamp(open->second) + "," + timestamp(t) +
                                  "," + seconds(t - open->second)});
          preempts_.erase(open);
        }
        break;
      case SignalEvent::kPattern:
      case SignalEvent::kCycle:
      case SignalEvent::kOffset:
        text_[kCoordination] +=
            field_ + "," + timestamp(t) + "," +
            (e.kind == SignalEvent::kPattern ? "pattern"
             : e.kind == SignalEvent::kCycle ? "cycle_length"
                                             : "offset") +
            "," + std::to_string(v) + "\n";
        break;
      case SignalEvent::kNone:
        break;
    }
  }

  int64_t bin_of(int64_t t) const { return t / bin_ * bin_; }
  // The key of value `v` in the bin of `t`.
  int64_t key(int64_t t, int v) const { return bin_of(t) << 8 | v; }

  // Writes the interval of phase `v` that waits for its clearances.
  void flush(int v) {
    Phase& p = phases_[v];
    if (!p.pending) return;
    p.pending = false;
    const int term = p.pending_termination - static_cast<int>(SignalEvent::kGapOut);
    intervals_.push_back({p.start, v, p.green_tenths, p.yellow, p.red,
                          term >= 0 && term < 3 ? term : -1});
  }

  // Ends every open interval: nothing pairs across a gap or damage.
  void end_all() {
    for (int v = 0; v < 256; ++v) {
      Phase& p = phases_[v];
      flush(v);
      p.green = false;
      p.first_call = -1;
    }
    for (const auto& [v, on] : preempts_)
      preemptions_.push_back({on, v, std::to_string(v) + "," + timestamp(on) + ",,"});
    preempts_.clear();
  }

  void write() {
    // Every detector seen, every bin of the covered hours, and the bins
    // outside them where actuations fell.
    std::set<int64_t> bins;
    for (int64_t hour : covered_)
      for (int64_t b = hour; b < hour + kTenthsPerHour; b += bin_) bins.insert(b);
    for (const auto& [k, count] : actuations_) bins.insert(k >> 8);
    for (int64_t b : bins) {
      const bool covered = covered_.count(b / kTenthsPerHour * kTenthsPerHour) != 0;
      const std::string head = field_ + "," + timestamp(b) + ",";
      for (int detector = 0; detector < 256; ++detector) {
        if (!seen_[detector]) continue;
        auto it = actuations_.find(b << 8 | detector);
        const int count = it == actuations_.end() ? 0 : it->second;
        if (count == 0 && !covered) continue;
        text_[kActuations] += head + std::to_string(detector) + "," +
                              std::to_string(count) + "\n";
      }
    }
    std::vector<std::pair<int64_t, Bin>> counts(counts_.begin(), counts_.end());
    std::sort(counts.begin(), counts.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& [k, b] : counts) {
      const std::string head = field_ + "," + timestamp(k >> 8) + "," +
                               std::to_string(k & 0xFF) + ",";
      if (b.gap + b.max + b.force > 0)
        text_[kTerminations] += head + std::to_string(b.gap) + "," +
                                std::to_string(b.max) + "," + std::to_string(b.force) + "\n";
      if (b.walks + b.calls > 0) {
        std::string mean;
        if (b.delay_samples > 0)
          mean = seconds((b.delay_sum + b.delay_samples / 2) / b.delay_samples);
        text_[kPed] += head + std::to_string(b.walks) + "," + std::to_string(b.calls) +
                       "," + mean + "," + std::to_string(b.delay_samples) + "\n";
      }
    }
    static const char* kTerminations[] = {"gap_out", "max_out", "force_off"};
    std::sort(intervals_.begin(), intervals_.end(),
              [](const Interval& a, const Interval& b) {
                return std::tie(a.start, a.phase) < std::tie(b.start, b.phase);
              });
    std::string& out = text_[kIntervals];
    for (const Interval& i : intervals_) {
      out += field_;
      out += ',';
      out += std::to_string(i.phase);
      out += ',';
      out += timestamp(i.start);
      out += ',';
      put_seconds(&out, i.green);
      out += ',';
      if (i.yellow >= 0) put_seconds(&out, i.yellow);
      out += ',';
      if (i.red >= 0) put_seconds(&out, i.red);
      out += ',';
      if (i.termination >= 0) out += kTerminations[i.termination];
      out += '\n';
    }
    std::sort(preemptions_.begin(), preemptions_.end());
    for (const auto& [start, preempt, row] : preemptions_)
      text_[kPreemption] += field_ + "," + row + "\n";
  }

  const std::string field_;
  const int64_t bin_;
  std::string* text_;
  bool whole_ = false, ends_ = true;
  std::set<int64_t> covered_;  // the starts of the covered hours
  Phase phases_[256];  // by phase
  // By bin and phase or detector (bin << 8 | value), sorted when written.
  std::unordered_map<int64_t, Bin> counts_;
  std::unordered_map<int64_t, int> actuations_;
  bool seen_[256] = {};  // the detectors seen
  std::map<int, int64_t> preempts_;  // open, by preempt: since when
  // A green with its clearances, in tenths (-1: not known).
  struct Interval {
    int64_t start;
    int phase;
    int64_t green, yellow, red;
    int termination;  // 0 gap out, 1 max out, 2 force off, -1 none
  };
  std::vector<Interval> intervals_;
  std::vector<std::tuple<int64_t, int, std::string>> preemptions_;
};

}  // namespace

bool has_clearance_ends(const EventTable& table) {
  const SignalEventTable& events = signal_events(table);
  for (int type = 0; type < table.count; ++type)
    if (events.kind[type] == SignalEvent::kYellowEnd) return true;
  return false;
}

MeasureTables::MeasureTables(int bin_minutes) : bin_tenths_(bin_minutes * 600) {
  for (int i = 0; i < 7; ++i) text_[i] = kHeaders[i];
}

void MeasureTables::add_signal(const std::string& signal_id,
                               std::vector<LogMeasures> logs) {
  Signal signal(signal_id, bin_tenths_, text_);
  signal.run(logs);
}
