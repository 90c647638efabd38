#include "logconv/convert_log.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "events/event_table.h"
#include "events/signal_events.h"
#include "logconv/row_text.h"

// Each record loop stands alone: inlined into its caller, where the other
// loops are too, it runs slower (the compiler spreads its registers thin).
#if defined(__GNUC__)
#define QUILLON_NOINLINE __attribute__((noinline))
#elif defined(_MSC_VER)
#define QUILLON_NOINLINE [[msvc::noinline]]
#else
#define QUILLON_NOINLINE
#endif

namespace {

// Input is read, and CSV text written, in blocks of this size.
const size_t kBlockSize = 1 << 16;
// A header line longer than this arrives as several pieces, each of which
// counts as a line of its own.
const size_t kLinePiece = 255;
// The longest record: type, timestamp and 16 data bytes.
const size_t kMaxRecord = 19;
// The most an event row takes beyond its date prefix, the overshoot of the
// fixed-size copies included: time 8, type 8, 16 parameters of 8, a name
// slot of 48, a state slot of 16 and the events table's row end of 16.
const size_t kMaxRowTail = 8 + 8 + 16 * 8 + 48 + 16 + 16 + 16;

const std::string_view kMarker = "Binary Data Follows:";

// Buffered reading over an InputStream.
class Reader {
 public:
  // `buf` holds kBlockSize bytes.
  Reader(InputStream& in, char* buf) : in_(in), buf_(buf) {}

  // Makes at least `n` bytes (n <= kBlockSize) available unless the input
  // ends first, and returns how many are available.
  size_t ensure(size_t n) {
    while (end_ - pos_ < n && !done_) {
      if (pos_ > 0) {
        memmove(buf_, buf_ + pos_, end_ - pos_);
        end_ -= pos_;
        pos_ = 0;
      }
      size_t got = in_.read(buf_ + end_, kBlockSize - end_);
      if (got == 0)
        done_ = true;
      else
        end_ += got;
    }
    return end_ - pos_;
  }

  // The available bytes.
  const char* data() const { return buf_ + pos_; }

  // Consumes `n` available bytes.
  void skip(size_t n) { pos_ += n; }

 private:
  InputStream& in_;
  char* buf_;
  size_t pos_ = 0;
  size_t end_ = 0;
  bool done_ = false;
};

// Buffered writing to an OutputStream. Pieces are put straight into the
// buffer: room() makes space for a whole row, commit() takes it.
class Writer {
 public:
  // `buf` holds `capacity` bytes.
  Writer(OutputStream& out, char* buf, size_t capacity)
      : out_(out), buf_(buf), capacity_(capacity) {}

  // Returns where `n` more bytes (n <= capacity) may be put, flushing first
  // when they would not fit.
  char* room(size_t n) {
    if (len_ + n > capacity_) flush();
    return buf_ + len_;
  }

  // Takes the bytes put since room() up to `end`.
  void commit(char* end) { len_ = end - buf_; }

  // For rows put with a local cursor: where the next row goes, and the
  // furthest a row of up to `row_max` bytes may start.
  char* cursor() { return buf_ + len_; }
  char* limit(size_t row_max) { return buf_ + capacity_ - row_max; }

  // Takes the rows put up to `end`, hands them to the stream and returns
  // where the next row goes.
  char* flush_at(char* end) {
    commit(end);
    flush();
    return buf_;
  }

  // Hands the buffered text to the stream: with a bound, only the whole
  // rows that keep the output within it, and nothing once it is reached.
  void flush() {
    size_t n = len_;
    if (bound_ != 0 && written_ + n > bound_) {
      std::string_view within(buf_, cut_ ? 0 : bound_ - written_);
      n = within.rfind('\n') + 1;  // 0 when no row ends within it
      cut_ = true;
      // The rows held back, the header's lines left out.
      const size_t from = std::max<uint64_t>(n, rows_from_ > put_ ? rows_from_ - put_ : 0);
      if (from < len_) rows_cut_ += static_cast<uint64_t>(std::count(buf_ + from, buf_ + len_, '\n'));
    }
    if (n > 0 && !failed_) failed_ = !out_.write(buf_, n);
    written_ += n;
    put_ += len_;
    len_ = 0;
  }

  // Says that the rows of records start here: lines put before are the
  // header's.
  void start_rows() { rows_from_ = put_ + len_; }

  // How many rows were held back at the bound.
  uint64_t rows_cut() const { return rows_cut_; }

  // Bounds what reaches the stream to `bound` bytes (0: no bound), but for
  // what comes once lift_bound() is called.
  void set_bound(uint64_t bound) { bound_ = bound; }

  // Holds the text put so far to the bound, and lets what comes after past
  // it. Text within the bound stays buffered: a small log's CSV is one write.
  void lift_bound() {
    if (bound_ != 0 && (cut_ || written_ + len_ > bound_)) flush();
    bound_ = 0;
  }

  // Whether the stream refused a write.
  bool failed() const { return failed_; }

  // Whether rows were held back at the bound.
  bool cut() const { return cut_; }

  // Whether no more rows are to be put: a write failed or the bound is hit.
  bool stopped() const { return failed_ || cut_; }

 private:
  OutputStream& out_;
  char* buf_;
  size_t capacity_;
  size_t len_ = 0;
  bool failed_ = false;
  uint64_t bound_ = 0, written_ = 0;
  uint64_t put_ = 0;        // bytes put before the buffer's, written or not
  uint64_t rows_from_ = 0;  // where the rows of records start, as put_ counts
  uint64_t rows_cut_ = 0;
  bool cut_ = false;
};

char* put(char* p, std::string_view s) {
  memcpy(p, s.data(), s.size());
  return p + s.size();
}

char* put_uint(char* p, unsigned v) {
  char digits[10];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  while (n > 0) *p++ = digits[--n];
  return p;
}

// Returns the next token of `*rest` and moves past it. Tokens are separated
// by runs of `sep`; leading separators are skipped. Returns an empty view
// when no token is left.
std::string_view next_token(std::string_view* rest, char sep) {
  size_t start = rest->find_first_not_of(sep);
  if (start == std::string_view::npos) {
    *rest = {};
    return {};
  }
  size_t stop = rest->find(sep, start);
  std::string_view token = rest->substr(start, stop - start);
  *rest = stop == std::string_view::npos ? std::string_view()
                                         : rest->substr(stop + 1);
  return token;
}

std::string_view or_null(std::string_view field) {
  return field.empty() ? "(null)" : field;
}

bool is_c_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
         c == '\r';
}

// Writes the closing row (of a CSV) and flushes the output.
template <RowForm kForm>
ConvertResult finish(Writer& out, LogEnd end, int bad_type = 0) {
  // Rows held back at the bound end the log as a read cut short does; the
  // closing row goes past the bound.
  out.lift_bound();
  if (out.cut()) end = LogEnd::kBadFileRead, bad_type = 0;
  char* p = out.room(64);
  switch (kForm == RowForm::kCsv ? end : LogEnd::kWriteFailed) {
    case LogEnd::kEndOfLog:
      p = put(p, ",End of Controller Log\n");
      break;
    case LogEnd::kBadFileRead:
      p = put(p, ",Error: bad file read\n");
      break;
    case LogEnd::kBadEventType:
      p = put(p, ",Error: bad event type ");
      p = put_uint(p, static_cast<unsigned>(bad_type));
      p = put(p, "\n");
      break;
    case LogEnd::kWriteFailed:
      break;
  }
  out.commit(p);
  out.flush();
  if (out.failed()) return {LogEnd::kWriteFailed, 0};
  ConvertResult result{end, bad_type};
  result.output_cut = out.cut();
  return result;
}

// What a row starts with: in a CSV " MM/DD/YYYY HH:" from the file name, in
// the events table "<signal id>,YYYY-MM-DD HH:".
struct DatePrefix {
  explicit DatePrefix(const std::string& prefix) : text(prefix) {
    memset(head, 0, sizeof head);
    memcpy(head, text.data(), std::min(text.size(), sizeof head));
  }
  std::string text;
  char head[32];  // its first 32 bytes, zero-padded
};

// Puts a row's prefix: with kCopy, one copy of that many bytes, as for every
// prefix that short (the usual names); otherwise as long as it is.
template <int kCopy>
inline char* put_prefix(char* p, const DatePrefix& prefix) {
  if (kCopy > 0) {
    memcpy(p, prefix.head, kCopy);
    return p + prefix.text.size();
  }
  return put(p, prefix.text);
}

// The pieces and tables that rows are put from.
struct RowPieces {
  const DatePrefix& prefix;
  const DatePrefix& next_prefix;  // events: the hour after the log's
  const RowText& rows;
  const NumberText& numbers;
  const TimeText* times;  // the events table's (the measures have none)
  const EventTable& table;
  // Events: what ends each row, the log's version column: ",V\n".
  Slot<16> row_end;
  // Standard mode: counts the records that give no row.
  uint64_t* dropped;
  // Measures: the signal event of each type, and the records' clock.
  const SignalEventTable* signal;
  RecordClock* clock;
  // Events in a zone: what follows each time, its offset or "Z" and the
  // comma, where `zoned`.
  bool zoned;
  Slot<16> zone_suffix;
  // Measures in a zone whose offset changes within the log, or null.
  ZonedHour* zoned_hour;
};

// A record's time as tenths after the instant its log's hour starts at, in
// a zone whose offset changes within the log.
QUILLON_NOINLINE uint32_t zoned_stamp(ZonedHour& zoned, uint32_t stamp) {
  const int64_t t = int64_t{stamp} + (int64_t{zoned.start_offset()} - zoned.offset(stamp)) * 10;
  return static_cast<uint32_t>(std::clamp<int64_t>(t, 0, RecordClock::kNoRecord - 1));
}

// Takes the time `stamp` of a record earlier than the one before it (at
// `last`), or of the first record: after a step back, puts the event of no
// kind that marks it.
QUILLON_NOINLINE char* put_clock_step(char* p, RecordClock& clock, uint32_t last,
                                      uint32_t stamp) {
  if (last == RecordClock::kNoRecord) {
    clock.first = stamp;
    return p;
  }
  ++clock.steps_back;
  clock.largest_step = std::max(clock.largest_step, last - stamp);
  MeasureEvent e{};
  e.tenths = stamp;
  e.kind = SignalEvent::kNone;
  memcpy(p, &e, sizeof e);
  return p + sizeof e;
}

// Puts the measure event of a record, or nothing for a record that the
// measures do not use; a step back of the clock from *last, the time of the
// record before, is marked before it.
inline char* put_measure_event(char* p, const RowPieces& at, const uint8_t* record,
                               uint8_t length, uint32_t* last) {
  uint32_t stamp = static_cast<uint32_t>(record[1] << 8 | record[2]);
  if (at.zoned_hour != nullptr) stamp = zoned_stamp(*at.zoned_hour, stamp);
  if (stamp < *last) p = put_clock_step(p, *at.clock, *last, stamp);
  *last = stamp;
  SignalEvent kind = at.signal->kind[record[0]];
  if (kind == SignalEvent::kNone) return p;
  MeasureEvent e;  // every field set below: zeroing it first cost a store a byte
  e.value = static_cast<uint8_t>(
      signal_event_value(*at.signal, record[0], record + 3, length, &e.on));
  // Calls and presses count as they come on: their offs are left here,
  // which saves holding, spilling and reading back their half. A
  // detector's off is a kind of its own, which only its health takes.
  if (!e.on) {
    if (kind == SignalEvent::kPedCall || kind == SignalEvent::kPedPress) return p;
    if (kind == SignalEvent::kDetector) kind = SignalEvent::kDetectorOff;
  } else if (kind == SignalEvent::kDetector) {
    // The log's channels, noted here rather than in a pass over its events.
    at.clock->detectors[e.value >> 6] |= uint64_t{1} << (e.value & 63);
  }
  e.tenths = stamp;
  e.kind = kind;
  if (kind == SignalEvent::kSplit)
    e.detail = static_cast<uint8_t>(split_change_phase(*at.signal, record[0], record + 3, length));
  else if (kind == SignalEvent::kPreemptState || kind == SignalEvent::kDetAlarm)
    e.detail = static_cast<uint8_t>(signal_event_code(*at.signal, record[0], record + 3, length));
  memcpy(p, &e, sizeof e);
  return p + sizeof e;
}

// Puts the events table's row end.
inline char* put_row_end(char* p, const RowPieces& at) {
  memcpy(p, at.row_end.text, 16);
  return p + at.row_end.size;
}

// Puts a row's prefix and "MM:SS.t,": in the events table a timestamp past
// the hour is the next hour's, in a CSV the hour's last tenth.
template <RowForm kForm, int kCopy>
inline char* put_time(char* p, const RowPieces& at, const uint8_t* record) {
  unsigned stamp = record[1] << 8 | record[2];
  const DatePrefix* prefix = &at.prefix;
  if (kForm == RowForm::kEvents && stamp >= kTenthsPerHour) {
    prefix = &at.next_prefix;
    stamp -= kTenthsPerHour;
  }
  p = put_prefix<kCopy>(p, *prefix);
  memcpy(p, at.times->text[stamp], 8);
  if (kForm == RowForm::kEvents && at.zoned) {
    memcpy(p + 7, at.zone_suffix.text, 16);
    return p + 7 + at.zone_suffix.size;
  }
  return p + 8;
}

// Puts the proprietary row of a record. A CSV row: type, every data byte,
// the name and, for on/off events, the state of D0. An events-table row:
// type, name, and the data bytes separated by spaces.
template <RowForm kForm, int kCopy>
inline char* put_proprietary_row(char* p, const RowPieces& at,
                                 const uint8_t* record, uint8_t length) {
  if constexpr (kForm == RowForm::kPacked) {
    // The record as it is.
    memcpy(p, record, kMaxRecord);
    return p + packed::kRecordHead + length;
  }
  uint8_t type = record[0];
  const uint8_t* data = record + 3;
  p = put_time<kForm, kCopy>(p, at, record);
  if (kForm == RowForm::kEvents) {
    memcpy(p, at.numbers.decimal_comma[type].text, 8);
    p += at.numbers.decimal_comma[type].size;
    memcpy(p, at.rows.event_name[type].text, 48);
    p += at.rows.event_name[type].size;
    if (length == 0) return put_row_end(p, at);
    for (int i = 0; i + 1 < length; ++i) {
      memcpy(p, at.numbers.decimal_space[data[i]].text, 8);
      p += at.numbers.decimal_space[data[i]].size;
    }
    memcpy(p, at.numbers.decimal[data[length - 1]].text, 4);
    return put_row_end(p + at.numbers.decimal[data[length - 1]].size, at);
  }
  memcpy(p, at.numbers.decimal[type].text, 4);
  p += at.numbers.decimal[type].size;
  // Most records have one data byte: it goes without a loop.
  if (length == 1) {
    memcpy(p, at.numbers.param[data[0]].text, 8);
    p += at.numbers.param[data[0]].size;
  } else if (length == 0) {
    memcpy(p, ",,", 2);
    p += 2;
  } else {
    for (int i = 0; i < length; ++i) {
      memcpy(p, at.numbers.param[data[i]].text, 8);
      p += at.numbers.param[data[i]].size;
    }
  }
  memcpy(p, at.rows.name[type].text, 32);
  p += at.rows.name[type].size;
  if (at.rows.has_state[type]) {
    memcpy(p, at.numbers.state[data[0]].text, 16);
    p += at.numbers.state[data[0]].size;
  }
  return p;
}

// Puts the standard row of a record, or nothing when it has no standard
// code: the code and its parameter, in a CSV with two empty columns after
// it.
template <RowForm kForm, int kCopy>
inline char* put_standard_row(char* p, const RowPieces& at,
                              const uint8_t* record, uint8_t length) {
  uint8_t type = record[0];
  const uint8_t* data = record + 3;
  const RowText& rows = at.rows;
  const Slot<8>* param_end =
      kForm == RowForm::kEvents ? at.numbers.event_param : at.numbers.param_end;
  const Slot<8>* end;  // the parameter, and in a CSV the row's end
  uint8_t code;
  unsigned param;  // kNoParam when the code has none
  const unsigned kNoParam = 256;
  if (rows.kind[type] == StandardKind::kSimple) {
    unsigned bit = data[0] & rows.bit_mask[type];
    if (rows.drops[type][bit]) return ++*at.dropped, p;
    code = rows.code[type][bit];
    param = data[rows.param_index[type]] >> rows.param_shift[type];
    end = &param_end[param];
  } else if (rows.kind[type] == StandardKind::kConverter) {
    const EventDefinition& row = at.table.rows[type];
    uint8_t d[16] = {};
    memcpy(d, data, length);
    int param_count = 0;
    code = row.converter(row.code, d, &param_count);
    if (!keeps_standard_code(row, code)) return ++*at.dropped, p;
    static const Slot<8> kNone[2] = {{{',', ',', '\n'}, 3}, {{','}, 1}};
    param = param_count > 0 ? d[0] : kNoParam;
    end = param_count > 0 ? &param_end[d[0]] : &kNone[kForm == RowForm::kEvents];
  } else {
    return ++*at.dropped, p;
  }
  if constexpr (kForm == RowForm::kPacked) {
    p[packed::kTime] = static_cast<char>(record[1]);
    p[packed::kTime + 1] = static_cast<char>(record[2]);
    p[packed::kCode] = static_cast<char>(code);
    p[packed::kParam] = static_cast<char>(param & 0xFF);
    p[packed::kHasParam] = static_cast<char>(param != kNoParam);
    return p + packed::kStandardRowSize;
  }
  p = put_time<kForm, kCopy>(p, at, record);
  memcpy(p, at.numbers.decimal[code].text, 4);
  p += at.numbers.decimal[code].size;
  memcpy(p, end->text, 8);
  if (kForm == RowForm::kEvents) return put_row_end(p + end->size, at);
  return p + end->size;
}

// How a conversion ends whose writer stopped it.
template <RowForm kForm>
ConvertResult stopped(Writer& out) {
  if (out.failed()) return {LogEnd::kWriteFailed, 0};
  return finish<kForm>(out, LogEnd::kBadFileRead);
}

// The records, back to back up to the end of the input.
template <Mode kMode, RowForm kForm, int kCopy>
QUILLON_NOINLINE ConvertResult convert_records(Reader& in, Writer& out, InputStream& input,
                              const RowPieces& at) {
  char* p = out.cursor();
  char* const limit = out.limit(std::max(at.prefix.text.size(),
                                         at.next_prefix.text.size()) +
                                kMaxRowTail);
  uint64_t records = 0;
  // Measures: the last record's time, held here rather than in the clock
  // it ends up in, which each put row could change.
  uint32_t last_stamp = RecordClock::kNoRecord;
  auto with_count = [&](ConvertResult result) {
    result.records = records;
    if constexpr (kForm == RowForm::kMeasures) at.clock->last = last_stamp;
    return result;
  };
  // Puts one record's row, flushing first when the buffer is near full;
  // false when the flush failed.
  auto put_row = [&](const uint8_t* record, uint8_t length) {
    if (p > limit) {
      p = out.flush_at(p);
      if (out.stopped()) return false;
    }
    if constexpr (kForm == RowForm::kMeasures)
      p = put_measure_event(p, at, record, length, &last_stamp);
    else if (kMode == Mode::kProprietary)
      p = put_proprietary_row<kForm, kCopy>(p, at, record, length);
    else
      p = put_standard_row<kForm, kCopy>(p, at, record, length);
    return true;
  };
  for (;;) {
    size_t available = in.ensure(kMaxRecord);
    const uint8_t* start = reinterpret_cast<const uint8_t*>(in.data());
    const uint8_t* record = start;
    if (available >= kMaxRecord) {
      // Every record that starts before `sure_end` is buffered whole: it
      // needs no size check of its own.
      const uint8_t* sure_end = start + available - kMaxRecord + 1;
      while (record < sure_end) {
        uint8_t length = at.rows.length[record[0]];
        if (length == RowText::kNoSuchType) break;
        if (!put_row(record, length)) return with_count(stopped<kForm>(out));
        record += 3u + length;
        ++records;
      }
      in.skip(static_cast<size_t>(record - start));
      if (record < sure_end) {
        out.commit(p);
        return with_count(finish<kForm>(out, LogEnd::kBadEventType, record[0]));
      }
      continue;
    }
    // The last bytes of the input.
    out.commit(p);
    if (available == 0) {
      return with_count(finish<kForm>(
          out, input.failed() ? LogEnd::kBadFileRead : LogEnd::kEndOfLog));
    }
    uint8_t length = at.rows.length[record[0]];
    if (length == RowText::kNoSuchType)
      return with_count(finish<kForm>(out, LogEnd::kBadEventType, record[0]));
    if (available < 3u + length)
      return with_count(finish<kForm>(out, LogEnd::kBadFileRead));
    if (!put_row(record, length)) return with_count(stopped<kForm>(out));
    in.skip(3u + length);
    ++records;
  }
}

// Picks the record loop for the mode and for the prefixes' length: one
// fixed-size copy of 16 (CSV) or 32 (events) bytes where they fit.
template <Mode kMode, RowForm kForm>
ConvertResult convert_records(Reader& in, Writer& out, InputStream& input,
                              const RowPieces& at) {
  const size_t longest =
      std::max(at.prefix.text.size(), at.next_prefix.text.size());
  const size_t kCopy = kForm == RowForm::kCsv ? 16 : 32;
  if (kForm == RowForm::kPacked || kForm == RowForm::kMeasures || longest <= kCopy)
    return convert_records<kMode, kForm, kForm == RowForm::kCsv ? 16 : 32>(in, out, input, at);
  return convert_records<kMode, kForm, 0>(in, out, input, at);
}

}  // namespace

LogDate parse_log_date(std::string_view file_name) {
  std::string_view rest = file_name;
  if (file_name.size() > 17) {
    next_token(&rest, '_');
    next_token(&rest, '_');
  }
  LogDate date;
  date.year = or_null(next_token(&rest, '_'));
  date.month = or_null(next_token(&rest, '_'));
  date.day = or_null(next_token(&rest, '_'));
  std::string_view hour_token = next_token(&rest, '_');
  date.hour = or_null(next_token(&hour_token, '.'));
  return date;
}

EventClock::EventClock(const LogHour& hour)
    : hour_(hour_text(hour)), next_hour_(hour_text(::next_hour(hour))) {}

char* EventClock::put(char* out, unsigned tenths) const {
  const std::string& hour = tenths < kTenthsPerHour ? hour_ : next_hour_;
  if (tenths >= kTenthsPerHour) tenths -= kTenthsPerHour;
  memcpy(out, hour.data(), hour.size());
  memcpy(out + hour.size(), time_text().text[tenths], 7);
  return out + hour.size() + 7;
}

std::string leading_fields(std::string_view file_name) {
  if (file_name.size() <= 17) return std::string();
  std::string_view rest = file_name;
  std::string first(next_token(&rest, '_'));
  std::string_view second = next_token(&rest, '_');
  return second.empty() ? first : first + "_" + std::string(second);
}

namespace {

// Reads `field` as a decimal number from 0 to `max`; false when it is not
// one.
bool read_number(std::string_view field, int max, int* value) {
  if (field.empty()) return false;
  int64_t v = 0;
  for (char c : field) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
    if (v > max) return false;
  }
  *value = static_cast<int>(v);
  return true;
}

}  // namespace

bool read_log_hour(const LogDate& date, LogHour* hour) {
  LogHour h;
  if (!read_number(date.year, 9999, &h.year) || h.year < 1 ||
      !read_number(date.month, 12, &h.month) || h.month < 1 ||
      !read_number(date.day, 31, &h.day) || h.day < 1 ||
      !read_number(date.hour, 23, &h.hour)) {
    return false;
  }
  if (h.day > days_in_month(h.year, h.month)) return false;
  *hour = h;
  return true;
}

int parse_log_version(std::string_view first_line) {
  std::string_view rest = first_line;
  std::string_view word;
  for (int i = 0; i < 6; ++i) word = next_token(&rest, ' ');
  size_t i = 0;
  while (i < word.size() && is_c_space(word[i])) ++i;
  bool negative = false;
  if (i < word.size() && (word[i] == '+' || word[i] == '-'))
    negative = word[i++] == '-';
  // Any number too large for the table choice saturates; it selects the
  // current table like every other unknown version.
  const int64_t kLimit = 1000000000;
  int64_t value = 0;
  for (; i < word.size() && word[i] >= '0' && word[i] <= '9'; ++i) {
    value = value * 10 + (word[i] - '0');
    if (value > kLimit) value = kLimit;
  }
  return static_cast<int>(negative ? -value : value);
}

ConvertResult convert_log(InputStream& input, OutputStream& output,
                          std::string_view file_name, Mode mode) {
  LogConverter converter;
  return converter.convert(input, output, file_name, mode);
}

void LogConverter::reserve() {
  if (in_buf_ == nullptr) in_buf_.reset(new char[kBlockSize]);
  size_t out_capacity = kBlockSize + 64 + kMaxRowTail;
  if (out_capacity > out_capacity_) {
    out_buf_.reset(new char[out_capacity]);
    out_capacity_ = out_capacity;
  }
}

ConvertResult LogConverter::convert(InputStream& input, OutputStream& output,
                                    std::string_view file_name, Mode mode,
                                    uint64_t max_output) {
  LogDate date = parse_log_date(file_name);
  std::string prefix = " ";
  prefix.append(date.month).append("/").append(date.day).append("/");
  prefix.append(date.year).append(" ").append(date.hour).append(":");
  return convert_as<RowForm::kCsv>(input, output, mode, prefix, prefix, nullptr,
                                   max_output);
}

ConvertResult LogConverter::convert_packed(InputStream& input,
                                           OutputStream& output, Mode mode,
                                           std::string* header) {
  return convert_as<RowForm::kPacked>(input, output, mode, "", "", header, 0);
}

ConvertResult LogConverter::convert_measures(InputStream& input,
                                             OutputStream& output, ZonedHour* zoned) {
  ConvertResult result = convert_as<RowForm::kMeasures>(input, output, Mode::kProprietary, "",
                                                        "", nullptr, 0, {}, zoned);
  if (zoned != nullptr) result.clock.went_back = zoned->went_back();
  return result;
}

namespace {

// "YYYY-MM-DDTHH:" of an hour, as ISO 8601 starts a time.
std::string iso_hour_text(const LogHour& hour) {
  char text[kMaxTimeSize];
  TimestampText().put_zoned(text, hour_start(hour), 0);
  return std::string(text, strchr(text + 10, 'T') + 4);
}

// The hour `hours` after `hour` (before it where negative).
LogHour hour_after(const LogHour& hour, int64_t hours) {
  const int64_t start = hour_start(hour) / kTenthsPerHour + hours;
  LogHour h;
  int64_t year;
  civil_from_days(floor_div(start, 24), &year, &h.month, &h.day);
  h.year = static_cast<int>(year);
  h.hour = static_cast<int>(start - floor_div(start, 24) * 24);
  return h;
}

// Gives the rows of a log's events, written as without a zone, their times
// in the zone, record by record: for the logs whose offset changes within
// them, twice a year, or has seconds.
class ZonedRows : public LineStream {
 public:
  ZonedRows(OutputStream& out, const EventsLog& log, size_t prefix)
      : out_(out), log_(log), zoned_(*log.zone, log.hour, log.second_pass), prefix_(prefix),
        hour_(hour_text(log.hour)), start_(hour_start(log.hour)) {}

  /// The rows at wall times that the zone's clocks skipped.
  uint64_t skipped_times() const { return zoned_.skipped_times(); }

 private:
  // Writes the row `row` with its time in the zone.
  bool line(std::string& row) override {
    // "YYYY-MM-DD HH:MM:SS.t" after the signal's field: its hour the log's
    // or the next.
    const size_t comma = row.find(',', prefix_);
    if (comma == std::string::npos || comma < prefix_ + 7) return false;
    const char* t = row.data() + comma - 7;
    const uint32_t stamp =
        (row.compare(prefix_, hour_.size(), hour_) == 0 ? 0 : kTenthsPerHour) +
        ((t[0] - '0') * 10 + (t[1] - '0')) * 600 + ((t[3] - '0') * 10 + (t[4] - '0')) * 10 +
        (t[6] - '0');
    char time[kMaxTimeSize];
    const char* end = times_.put_zoned(time, start_ + stamp, zoned_.offset(stamp), log_.utc);
    text_.assign(row, 0, prefix_)
        .append(time, static_cast<size_t>(end - time))
        .append(row, comma, std::string::npos);
    return out_.write(text_.data(), text_.size());
  }

  OutputStream& out_;
  const EventsLog& log_;
  ZonedHour zoned_;
  size_t prefix_;
  std::string hour_;
  int64_t start_;
  TimestampText times_;
  std::string text_;
};

}  // namespace

ConvertResult LogConverter::convert_events(InputStream& input,
                                           OutputStream& output,
                                           const EventsLog& log, Mode mode,
                                           uint64_t max_output) {
  std::string prefix = std::string(log.signal_field) + ",";
  if (log.zone != nullptr) {
    const ZonedHour zoned(*log.zone, log.hour, log.second_pass);
    const int32_t offset = zoned.constant_offset();
    if (!zoned.constant() || offset % 60 != 0 || (log.utc && offset % 3600 != 0)) {
      ZonedRows rows(output, log, prefix.size());
      ConvertResult result =
          convert_events(input, rows, {log.signal_field, log.hour}, mode, max_output);
      result.skipped_times = rows.skipped_times();
      if (result.end != LogEnd::kWriteFailed && !rows.whole()) result.end = LogEnd::kWriteFailed;
      return result;
    }
    // One offset for the whole log: the hour's text in the zone and its
    // offset after each time, as fast as without a zone. In UTC the hour is
    // whole hours away.
    std::string suffix = log.utc ? "Z" : "";
    if (!log.utc) put_utc_offset(&suffix, offset);
    const LogHour hour = log.utc ? hour_after(log.hour, -offset / 3600) : log.hour;
    return convert_as<RowForm::kEvents>(input, output, mode, prefix + iso_hour_text(hour),
                                        prefix + iso_hour_text(next_hour(hour)), nullptr,
                                        max_output, suffix + ",");
  }
  EventClock clock(log.hour);
  return convert_as<RowForm::kEvents>(input, output, mode,
                                      prefix + clock.hour(),
                                      prefix + clock.next_hour(), nullptr,
                                      max_output);
}

template <RowForm kForm>
ConvertResult LogConverter::convert_as(InputStream& input,
                                       OutputStream& output, Mode mode,
                                       const std::string& prefix,
                                       const std::string& next_prefix,
                                       std::string* header,
                                       uint64_t max_output,
                                       std::string_view zone_suffix,
                                       ZonedHour* zoned) {
  // The buffers last from file to file: a conversion allocates nothing
  // beyond them unless a longer prefix needs a larger output buffer.
  if (in_buf_ == nullptr) in_buf_.reset(new char[kBlockSize]);
  // Every row fits in the output buffer: the prefix and kMaxRowTail take
  // well under kBlockSize.
  size_t out_capacity =
      kBlockSize + std::max(prefix.size(), next_prefix.size()) + kMaxRowTail;
  if (out_capacity > out_capacity_) {
    out_buf_.reset(new char[out_capacity]);
    out_capacity_ = out_capacity;
  }
  Reader in(input, in_buf_.get());
  Writer out(output, out_buf_.get(), out_capacity_);
  out.set_bound(max_output);

  // The header: echo each line into a CSV, take the version from the first.
  const EventTable* table = &select_event_table(0);
  int version = 0;
  auto with_version = [&](ConvertResult result) {
    result.version = version;
    return result;
  };
  auto with_rows = [](ConvertResult result) {
    result.rows = result.records;
    return result;
  };
  for (uint64_t line = 1;; ++line) {
    size_t n = in.ensure(kLinePiece);
    if (n == 0) {
      if (header != nullptr) header->clear();
      return with_version(finish<kForm>(out, LogEnd::kBadFileRead));
    }
    if (n > kLinePiece) n = kLinePiece;
    const char* text = in.data();
    if (const void* nl = memchr(text, '\n', n))
      n = static_cast<const char*>(nl) - text + 1;
    std::string_view piece(text, n);
    if (line == 1) {
      version = parse_log_version(piece);
      table = &select_event_table(version);
    }
    bool last = piece.find(kMarker) != std::string_view::npos;
    // Only a header that ends within kMaxHeader bytes is one: what else
    // stands there is not kept.
    if (header != nullptr) {
      if (header->size() + piece.size() <= kMaxHeader) {
        header->append(piece);
      } else {
        header->clear();
        header = nullptr;
      }
    }

    if (kForm == RowForm::kCsv) {
      // Lines 3, 4 and 6 hold "name:value" pairs whose colon becomes a
      // column.
      size_t fix = line == 3 ? 10 : line == 4 ? 11 : line == 6 ? 14 : 0;
      char* p = put(out.room(n + 2), ",,");
      if (fix != 0 && n > fix && piece[fix] != '\n') {
        p = put(p, piece.substr(0, fix));
        *p++ = ',';
        p = put(p, piece.substr(fix + 1));
      } else {
        p = put(p, piece);
      }
      out.commit(p);
      if (out.stopped()) return with_version(stopped<kForm>(out));
    }
    in.skip(n);
    if (last) break;
  }

  DatePrefix date_prefix(prefix), next_date_prefix(next_prefix);
  uint64_t dropped = 0;
  RecordClock clock;
  RowPieces pieces = {date_prefix,  next_date_prefix, row_text(*table),
                      number_text(),
                      // Built at its first use, which the measures' events
                      // do not need: 512 KiB and a tenth of their conversion.
                      kForm == RowForm::kMeasures ? nullptr : &time_text(),
                      *table, {}, &dropped,
                      kForm == RowForm::kMeasures ? &signal_events(*table) : nullptr,
                      &clock, !zone_suffix.empty(), {}, zoned};
  if (!zone_suffix.empty()) {
    memcpy(pieces.zone_suffix.text, zone_suffix.data(), std::min(zone_suffix.size(), size_t{15}));
    pieces.zone_suffix.size = static_cast<uint8_t>(std::min(zone_suffix.size(), size_t{15}));
  }
  if (kForm == RowForm::kEvents) {
    const std::string end = "," + std::to_string(version) + "\n";
    memcpy(pieces.row_end.text, end.data(), end.size());
    pieces.row_end.size = static_cast<uint8_t>(end.size());
  }
  // The rows counted are those written: rows held back at the bound are not.
  out.start_rows();
  if (mode == Mode::kProprietary) {
    ConvertResult result = convert_records<Mode::kProprietary, kForm>(in, out, input, pieces);
    result.clock = clock;
    result = with_rows(result);
    result.rows -= std::min(result.rows, out.rows_cut());
    return with_version(result);
  }
  ConvertResult result =
      convert_records<Mode::kStandard, kForm>(in, out, input, pieces);
  result.rows = result.records - dropped;
  result.rows -= std::min(result.rows, out.rows_cut());
  return with_version(result);
}

std::string_view events_header(Mode mode) {
  return mode == Mode::kProprietary
             ? "signal_id,timestamp,event_type,event_name,data,version\n"
             : "signal_id,timestamp,event_code,event_param,version\n";
}

std::string csv_field(std::string_view field) {
  if (field.find_first_of(",\"\r\n") == std::string_view::npos)
    return std::string(field);
  std::string quoted = "\"";
  for (char c : field) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}
