#include "driver/measures.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <unordered_map>
#include <tuple>

#include "logconv/convert_log.h"
#include "logconv/row_text.h"

const char* const kMeasureTables[7] = {
    "logs", "actuations", "terminations", "phase_intervals",
    "ped", "coordination", "preemption"};

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

namespace {

const char* const kHeaders[7] = {
    "signal_id,hour,state,records,path\n",
    "signal_id,bin_start,detector,actuations\n",
    "signal_id,bin_start,phase,gap_out,max_out,force_off\n",
    "signal_id,phase,green_start,green,yellow,red_clearance,termination\n",
    "signal_id,bin_start,phase,walks,calls,delay_mean,delay_samples\n",
    "signal_id,timestamp,item,value\n",
    "signal_id,preempt,input_on,input_off,duration\n"};

// The kind of each column of each table: text, integer, time, seconds.
const char* const kColumnKinds[7] = {"tTtit", "tTii", "tTiiii", "tiTSSSt",
                                     "tTiiiSi", "tTti", "tiTTS"};

const int64_t kTenthsPerHour = 36000, kTenthsPerDay = 24 * kTenthsPerHour;

// The start of a log's hour in tenths of a second since 1970.
int64_t hour_start(const LogHour& h) {
  return days_from_civil(h.year, h.month, h.day) * kTenthsPerDay +
         h.hour * kTenthsPerHour;
}

// Puts `v` in decimal.
void put_int(std::string* out, int64_t v) {
  char text[24];
  char* const end = text + sizeof text;
  char* p = end;
  uint64_t u = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
  do {
    *--p = static_cast<char>('0' + u % 10);
    u /= 10;
  } while (u != 0);
  if (v < 0) *--p = '-';
  out->append(p, static_cast<size_t>(end - p));
}

// Tenths of a second as seconds to the tenth: "12.3".
void put_seconds(std::string* out, int64_t tenths) {
  put_int(out, tenths / 10);
  *out += '.';
  *out += static_cast<char>('0' + tenths % 10);
}

// Puts times in tenths since 1970 as "YYYY-MM-DD HH:MM:SS.t". Rows come
// day by day: the text of the last date is kept, which saves working out
// the calendar for each.
class DateTimeText {
 public:
  void put(std::string* out, int64_t t) {
    const int64_t days = t >= 0 ? t / kTenthsPerDay : (t - kTenthsPerDay + 1) / kTenthsPerDay;
    if (days != day_) set_day(days);
    out->append(date_);
    const int64_t rest = t - days * kTenthsPerDay;
    char text[10];
    two(text, rest / 36000);
    text[2] = ':';
    two(text + 3, rest / 600 % 60);
    text[5] = ':';
    two(text + 6, rest / 10 % 60);
    text[8] = '.';
    text[9] = static_cast<char>('0' + rest % 10);
    out->append(text, sizeof text);
  }

  // "YYYY-MM-DD HH:00:00" of the start of an hour.
  void put_hour(std::string* out, int64_t hour) {
    put(out, hour);
    out->resize(out->size() - 2);
  }

 private:
  static void two(char* p, int64_t v) {
    p[0] = static_cast<char>('0' + v / 10);
    p[1] = static_cast<char>('0' + v % 10);
  }

  void set_day(int64_t days) {
    int64_t y;
    int m, d;
    civil_from_days(days, &y, &m, &d);
    char text[32];
    if (y < 0 || y > 9999)
      snprintf(text, sizeof text, "%lld-%02d-%02d ", static_cast<long long>(y), m, d);
    else
      snprintf(text, sizeof text, "%04d-%02d-%02d ", static_cast<int>(y), m, d);
    date_ = text;
    day_ = days;
  }

  int64_t day_ = INT64_MIN;
  std::string date_;
};

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

// The counts of one phase in one bin.
struct Bin {
  int gap = 0, max = 0, force = 0;
  int walks = 0, calls = 0, delay_samples = 0;
  int64_t delay_sum = 0;
};

// Everything counted in one bin, by phase or detector channel.
struct BinCounts {
  bool covered = false;  // its hour has a whole log
  int actuations[256] = {};
  Bin phase[256];
};

// A green with its clearances, in tenths (-1: not known).
struct Interval {
  int64_t start;
  int phase;
  int64_t green, yellow, red;
  int termination;  // 0 gap out, 1 max out, 2 force off, -1 none
};

// A preemption: from its input on, to its input off (-1: never).
struct Preemption {
  int64_t on;
  int preempt;
  int64_t off;
};

const int64_t kNever = INT64_MAX;

// The measures of one signal, from its logs in time order. Rows are
// written once nothing later can come before them: at the start of each
// log, everything before its hour that no open interval holds back.
class Signal {
 public:
  Signal(const std::string& id, int64_t bin_tenths, const uint64_t detectors[4],
         std::string* text)
      : field_(csv_field(id)), bin_(bin_tenths), text_(text) {
    for (int d = 0; d < 256; ++d) seen_[d] = detectors[d / 64] >> (d % 64) & 1;
    std::fill(std::begin(preempt_on_), std::end(preempt_on_), kNever);
  }

  // Starts the log `log`, which begins at `start`: no log before it began
  // later.
  void begin(const LogMeasures& log, int64_t start) {
    if (!first_) {
      for (int64_t h = previous_ + kTenthsPerHour; h < start; h += kTenthsPerHour) {
        time_.put_hour(&row(kLogsTable), h);
        text_[kLogsTable] += ",missing,,\n";
      }
      // A gap, damage or a log out of order ends every open interval.
      if (start != previous_ + kTenthsPerHour || !previous_whole_) end_all();
    }
    settle(start);
    std::string& logs = row(kLogsTable);
    time_.put_hour(&logs, start);
    logs += log.whole ? ",ok," : ",damaged,";
    put_int(&logs, static_cast<int64_t>(log.records));
    logs += ',';
    logs += csv_field(log.path);
    logs += '\n';
    if (log.whole)
      for (int64_t b = start; b < start + kTenthsPerHour; b += bin_) bin(b)->covered = true;
    whole_ = log.whole;
    ends_ = log.has_clearance_ends;
    start_ = start;
    previous_ = start;
    previous_whole_ = log.whole;
    first_ = false;
  }

  // Takes an event of the log begun last.
  void take(const MeasureEvent& e) {
    const int64_t t = start_ + e.tenths;
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
      case SignalEvent::kForceOff: {
        if (p.green) p.termination = static_cast<int>(e.kind);
        Bin& b = bin(t)->phase[v];
        ++(e.kind == SignalEvent::kGapOut   ? b.gap
           : e.kind == SignalEvent::kMaxOut ? b.max
                                            : b.force);
        break;
      }
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
        Bin& b = bin(t)->phase[v];
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
        ++bin(t)->phase[v].calls;
        if (p.first_call < 0) {
          p.first_call = t;
          p.call_whole = whole_;
        }
        break;
      case SignalEvent::kDetector:
        if (e.on) ++bin(t)->actuations[v];
        break;
      case SignalEvent::kPreempt:
        if (e.on) {
          if (preempt_on_[v] == kNever) preempt_on_[v] = t;
        } else if (preempt_on_[v] != kNever) {
          preemptions_.push_back({preempt_on_[v], v, t});
          preempt_on_[v] = kNever;
        }
        break;
      case SignalEvent::kPattern:
      case SignalEvent::kCycle:
      case SignalEvent::kOffset: {
        std::string& out = row(kCoordinationTable);
        time_.put(&out, t);
        out += e.kind == SignalEvent::kPattern ? ",pattern,"
               : e.kind == SignalEvent::kCycle ? ",cycle_length,"
                                               : ",offset,";
        put_int(&out, v);
        out += '\n';
        break;
      }
      case SignalEvent::kNone:
        break;
    }
  }

  // Ends the signal: every open interval, every row written.
  void end() {
    end_all();
    settle(kNever);
  }

 private:
  // The counts of the bin of time `t`, made on first use. Events come in
  // time order: the last bin asked for is nearly always the one.
  BinCounts* bin(int64_t t) {
    if (t >= last_bin_ && t < last_bin_ + bin_) return last_counts_;
    return find_bin(t);
  }

  BinCounts* find_bin(int64_t t) {
    const int64_t b = t / bin_ * bin_;
    std::unique_ptr<BinCounts>& counts = bins_[b];
    if (counts == nullptr) counts = std::make_unique<BinCounts>();
    last_bin_ = b;
    last_counts_ = counts.get();
    return last_counts_;
  }

  // Starts a row of table `table` with the signal's id; returns its text.
  std::string& row(int table) {
    text_[table] += field_;
    text_[table] += ',';
    return text_[table];
  }

  // Puts a row of table `table`: `head`, then the numbers.
  void put_row(int table, const std::string& head, std::initializer_list<int> numbers) {
    std::string& out = text_[table];
    out += head;
    for (int n : numbers) {
      put_int(&out, n);
      out += ',';
    }
    out.back() = '\n';
  }

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
      if (preempt_on_[v] != kNever) preemptions_.push_back({preempt_on_[v], v, -1});
      preempt_on_[v] = kNever;
    }
  }

  // Writes every row before time `until` that no open interval can still
  // come before: every later event is at `until` or after.
  void settle(int64_t until) {
    int64_t open = until, open_preempt = until;
    for (int v = 0; v < 256; ++v) {
      const Phase& p = phases_[v];
      if (p.pending) open = std::min(open, p.start);
      if (p.green && p.green_whole) open = std::min(open, p.green_start);
      open_preempt = std::min(open_preempt, preempt_on_[v]);
    }
    write_bins(until);
    write_intervals(open);
    write_preemptions(open_preempt);
  }

  void write_bins(int64_t until) {
    auto end = bins_.lower_bound(until);
    for (auto it = bins_.begin(); it != end; ++it) {
      const BinCounts& counts = *it->second;
      std::string head = field_ + ",";
      time_.put(&head, it->first);
      head += ',';
      // Every detector seen, in every bin of the covered hours; elsewhere
      // where actuations fell.
      for (int d = 0; d < 256; ++d) {
        const int count = counts.actuations[d];
        if (!seen_[d] || (count == 0 && !counts.covered)) continue;
        put_row(kActuationsTable, head, {d, count});
      }
      for (int v = 0; v < 256; ++v) {
        const Bin& b = counts.phase[v];
        if (b.gap + b.max + b.force > 0) put_row(kTerminationsTable, head, {v, b.gap, b.max, b.force});
        if (b.walks + b.calls > 0) {
          std::string& out = text_[kPedTable];
          out += head;
          for (int n : {v, b.walks, b.calls}) {
            put_int(&out, n);
            out += ',';
          }
          if (b.delay_samples > 0)
            put_seconds(&out, (b.delay_sum + b.delay_samples / 2) / b.delay_samples);
          out += ',';
          put_int(&out, b.delay_samples);
          out += '\n';
        }
      }
    }
    bins_.erase(bins_.begin(), end);
    last_bin_ = INT64_MIN;  // none
  }

  void write_intervals(int64_t until) {
    static const char* kTerminationsTable[] = {"gap_out", "max_out", "force_off"};
    std::sort(intervals_.begin(), intervals_.end(),
              [](const Interval& a, const Interval& b) {
                return std::tie(a.start, a.phase) < std::tie(b.start, b.phase);
              });
    std::string& out = text_[kIntervalsTable];
    size_t n = 0;
    for (; n < intervals_.size() && intervals_[n].start < until; ++n) {
      const Interval& i = intervals_[n];
      out += field_;
      out += ',';
      put_int(&out, i.phase);
      out += ',';
      time_.put(&out, i.start);
      out += ',';
      put_seconds(&out, i.green);
      out += ',';
      if (i.yellow >= 0) put_seconds(&out, i.yellow);
      out += ',';
      if (i.red >= 0) put_seconds(&out, i.red);
      out += ',';
      if (i.termination >= 0) out += kTerminationsTable[i.termination];
      out += '\n';
    }
    intervals_.erase(intervals_.begin(), intervals_.begin() + static_cast<ptrdiff_t>(n));
  }

  void write_preemptions(int64_t until) {
    std::sort(preemptions_.begin(), preemptions_.end(),
              [](const Preemption& a, const Preemption& b) {
                return std::tie(a.on, a.preempt) < std::tie(b.on, b.preempt);
              });
    size_t n = 0;
    for (; n < preemptions_.size() && preemptions_[n].on < until; ++n) {
      const Preemption& p = preemptions_[n];
      std::string& out = row(kPreemptionTable);
      put_int(&out, p.preempt);
      out += ',';
      time_.put(&out, p.on);
      out += ',';
      if (p.off >= 0) time_.put(&out, p.off);
      out += ',';
      if (p.off >= 0) put_seconds(&out, p.off - p.on);
      out += '\n';
    }
    preemptions_.erase(preemptions_.begin(), preemptions_.begin() + static_cast<ptrdiff_t>(n));
  }

  const std::string field_;
  const int64_t bin_;
  std::string* text_;
  DateTimeText time_;
  bool seen_[256];  // the detectors of the signal's Detector Ons
  bool whole_ = false, ends_ = true, first_ = true, previous_whole_ = false;
  int64_t start_ = 0, previous_ = 0;  // of the log begun last
  Phase phases_[256];  // by phase
  std::map<int64_t, std::unique_ptr<BinCounts>> bins_;  // not yet written
  int64_t last_bin_ = INT64_MIN;  // the bin of last_counts_; none yet
  BinCounts* last_counts_ = nullptr;
  std::vector<Interval> intervals_;  // not yet written
  int64_t preempt_on_[256];          // of an open preempt; kNever if none
  std::vector<Preemption> preemptions_;  // not yet written
};

}  // namespace

std::string measure_time_text(int64_t tenths) {
  std::string text;
  DateTimeText().put(&text, tenths);
  return text;
}

std::string measure_seconds_text(int64_t tenths) {
  std::string text;
  put_seconds(&text, tenths);
  return text;
}

bool has_clearance_ends(const EventTable& table) {
  const SignalEventTable& events = signal_events(table);
  for (int type = 0; type < table.count; ++type)
    if (events.kind[type] == SignalEvent::kYellowEnd) return true;
  return false;
}

void note_detectors(LogMeasures* log) {
  for (const MeasureEvent& e : log->events)
    if (e.kind == SignalEvent::kDetector && e.on)
      log->detectors[e.value / 64] |= uint64_t{1} << (e.value % 64);
}

MeasureTables::MeasureTables(int bin_minutes, OutputStream* const out[7])
    : bin_tenths_(bin_minutes * 600) {
  for (int i = 0; i < 7; ++i) {
    out_[i] = out[i];
    text_[i] = kHeaders[i];
  }
}

bool MeasureTables::add_signal(const std::string& signal_id,
                               std::vector<LogMeasures> logs, File* events,
                               std::string* err) {
  err->clear();
  std::stable_sort(logs.begin(), logs.end(),
                   [](const LogMeasures& a, const LogMeasures& b) {
                     return hour_start(a.hour) < hour_start(b.hour);
                   });
  uint64_t detectors[4] = {};
  for (LogMeasures& log : logs) {
    note_detectors(&log);
    for (int i = 0; i < 4; ++i) detectors[i] |= log.detectors[i];
  }
  auto signal = std::make_unique<Signal>(signal_id, bin_tenths_, detectors, text_);
  std::vector<MeasureEvent> chunk;
  for (const LogMeasures& log : logs) {
    signal->begin(log, hour_start(log.hour));
    for (const MeasureEvent& e : log.events) signal->take(e);
    // Events not held are read back a piece at a time.
    for (uint64_t done = 0; done < log.count;) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(log.count - done, 1 << 16));
      chunk.resize(n);
      if (!events->read_at(log.offset + done * sizeof(MeasureEvent),
                           reinterpret_cast<char*>(chunk.data()), n * sizeof(MeasureEvent))) {
        *err = events->error();
        return false;
      }
      for (const MeasureEvent& e : chunk) signal->take(e);
      done += n;
    }
    if (!flush(false)) return false;
  }
  signal->end();
  return flush(false);
}

namespace {

// Reads the unsigned number of `digits` digits at `p`; -1 if one is not.
int64_t digits_at(const char* p, int digits) {
  int64_t v = 0;
  for (int i = 0; i < digits; ++i) {
    if (p[i] < '0' || p[i] > '9') return -1;
    v = v * 10 + (p[i] - '0');
  }
  return v;
}

// A field's value as a column of `kind` holds it; false if it is not one.
bool field_value(char kind, std::string_view f, int64_t* value) {
  *value = MeasureColumn::kMissing;
  if (f.empty()) return true;
  switch (kind) {
    case 'i':
    case 'S': {
      // "123", or seconds to the tenth "12.3".
      size_t n = f.size();
      int64_t tenth = 0;
      if (kind == 'S') {
        if (n < 3 || f[n - 2] != '.' || (tenth = digits_at(&f[n - 1], 1)) < 0) return false;
        n -= 2;
      }
      if (n > 18 || (*value = digits_at(f.data(), static_cast<int>(n))) < 0) return false;
      if (kind == 'S') *value = *value * 10 + tenth;
      return true;
    }
    case 'T': {
      // "YYYY-MM-DD HH:MM:SS", then ".t" or not.
      if (f.size() != 19 && f.size() != 21) return false;
      const char* p = f.data();
      const int64_t y = digits_at(p, 4), mo = digits_at(p + 5, 2), d = digits_at(p + 8, 2),
                    h = digits_at(p + 11, 2), mi = digits_at(p + 14, 2),
                    s = digits_at(p + 17, 2),
                    t = f.size() == 21 ? digits_at(p + 20, 1) : 0;
      if (y < 0 || mo < 1 || mo > 12 || d < 1 || d > 31 || h < 0 || mi < 0 || s < 0 ||
          t < 0 || p[4] != '-' || p[7] != '-' || p[10] != ' ' || p[13] != ':' ||
          p[16] != ':' || (f.size() == 21 && p[19] != '.'))
        return false;
      const int64_t tenths = days_from_civil(y, static_cast<int>(mo), static_cast<int>(d)) *
                                 kTenthsPerDay +
                             ((h * 60 + mi) * 60 + s) * 10 + t;
      *value = tenths * 100000000;
      return true;
    }
  }
  return false;
}

}  // namespace

bool read_measure_table(int table, std::string_view csv,
                        std::vector<MeasureColumn>* columns, std::string* err) {
  const std::string_view header = kHeaders[table];
  if (csv.substr(0, header.size()) != header) {
    *err = "line 1 is not the header of " + std::string(kMeasureTables[table]) + ".csv";
    return false;
  }
  const std::string kinds = kColumnKinds[table];
  columns->assign(kinds.size(), MeasureColumn());
  std::vector<std::unordered_map<std::string, int64_t>> codes(kinds.size());
  size_t start = 0;
  for (size_t i = 0; i < kinds.size(); ++i) {
    const size_t end = header.find_first_of(",\n", start);
    MeasureColumn& c = (*columns)[i];
    c.kind = kinds[i] == 't'   ? MeasureColumn::kText
             : kinds[i] == 'i' ? MeasureColumn::kInt
             : kinds[i] == 'T' ? MeasureColumn::kTime
                               : MeasureColumn::kSeconds;
    c.name = std::string(header.substr(start, end - start));
    start = end + 1;
  }
  std::string field;
  size_t row = 1;  // the header's
  for (size_t at = header.size(); at < csv.size();) {
    ++row;
    for (size_t i = 0; i < kinds.size(); ++i) {
      // A field, quoted or not, and what ends it.
      field.clear();
      if (at < csv.size() && csv[at] == '"') {
        for (++at; at < csv.size(); ++at) {
          if (csv[at] == '"' && (at + 1 >= csv.size() || csv[at + 1] != '"')) break;
          if (csv[at] == '"') ++at;
          field += csv[at];
        }
        ++at;
      } else {
        const size_t end = csv.find_first_of(",\n", at);
        field.assign(csv.substr(at, end - at));
        at = end == std::string_view::npos ? csv.size() : end;
      }
      const char want = i + 1 < kinds.size() ? ',' : '\n';
      MeasureColumn& c = (*columns)[i];
      int64_t value;
      if (at >= csv.size() || csv[at] != want ||
          (kinds[i] != 't' && !field_value(kinds[i], field, &value))) {
        *err = "row " + std::to_string(row) + " of " + kMeasureTables[table] +
               ".csv: column " + c.name + " is not as written";
        return false;
      }
      ++at;
      if (kinds[i] == 't') {
        auto [it, added] = codes[i].emplace(field, static_cast<int64_t>(c.categories.size()));
        if (added) c.categories.push_back(field);
        value = it->second;
      }
      c.values.push_back(value);
    }
  }
  return true;
}

bool MeasureTables::finish() { return flush(true); }

bool MeasureTables::flush(bool all) {
  for (int i = 0; i < 7; ++i) {
    if (!all && text_[i].size() < (1 << 18)) continue;
    if (!out_[i]->write(text_[i].data(), text_[i].size())) return false;
    text_[i].clear();
  }
  return true;
}
