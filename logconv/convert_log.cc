#include "logconv/convert_log.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "events/event_table.h"

namespace {

// Input is read, and CSV text written, in blocks of this size.
const size_t kBlockSize = 1 << 16;
// A header line longer than this arrives as several pieces, each of which
// counts as a line of its own.
const size_t kLinePiece = 255;
// The longest record: type, timestamp and 16 data bytes.
const size_t kMaxRecord = 19;
const std::string_view kMarker = "Binary Data Follows:";

// Buffered reading over an InputStream.
class Reader {
 public:
  explicit Reader(InputStream& in) : in_(in), buf_(new char[kBlockSize]) {}

  // Makes at least `n` bytes (n <= kBlockSize) available unless the input
  // ends first, and returns how many are available.
  size_t ensure(size_t n) {
    while (end_ - pos_ < n && !done_) {
      if (pos_ > 0) {
        memmove(buf_.get(), buf_.get() + pos_, end_ - pos_);
        end_ -= pos_;
        pos_ = 0;
      }
      size_t got = in_.read(buf_.get() + end_, kBlockSize - end_);
      if (got == 0)
        done_ = true;
      else
        end_ += got;
    }
    return end_ - pos_;
  }

  // The available bytes.
  const char* data() const { return buf_.get() + pos_; }

  // Consumes `n` available bytes.
  void skip(size_t n) { pos_ += n; }

 private:
  InputStream& in_;
  std::unique_ptr<char[]> buf_;
  size_t pos_ = 0;
  size_t end_ = 0;
  bool done_ = false;
};

// Buffered writing to an OutputStream. Pieces are put straight into the
// buffer: room() makes space for a whole row, commit() takes it.
class Writer {
 public:
  Writer(OutputStream& out, size_t capacity)
      : out_(out), buf_(new char[capacity]), capacity_(capacity) {}

  // Returns where `n` more bytes (n <= capacity) may be put, flushing first
  // when they would not fit.
  char* room(size_t n) {
    if (len_ + n > capacity_) flush();
    return buf_.get() + len_;
  }

  // Takes the bytes put since room() up to `end`.
  void commit(char* end) { len_ = end - buf_.get(); }

  // Hands the buffered text to the stream.
  void flush() {
    if (len_ > 0 && !failed_) failed_ = !out_.write(buf_.get(), len_);
    len_ = 0;
  }

  // Whether the stream refused a write.
  bool failed() const { return failed_; }

 private:
  OutputStream& out_;
  std::unique_ptr<char[]> buf_;
  size_t capacity_;
  size_t len_ = 0;
  bool failed_ = false;
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

// Puts "MM:SS.t" for a timestamp in tenths of a second; 36000 and more, which
// a sound log never holds, print as the last tenth of the hour.
char* put_time(char* p, unsigned t) {
  unsigned minutes = 59, seconds = 59, tenths = 9;
  if (t < 36000) {
    minutes = t / 600;
    seconds = t / 10 % 60;
    tenths = t % 10;
  }
  p[0] = static_cast<char>('0' + minutes / 10);
  p[1] = static_cast<char>('0' + minutes % 10);
  p[2] = ':';
  p[3] = static_cast<char>('0' + seconds / 10);
  p[4] = static_cast<char>('0' + seconds % 10);
  p[5] = '.';
  p[6] = static_cast<char>('0' + tenths);
  return p + 7;
}

// The text that a proprietary row prints for each event type of a table,
// looked up once per file.
struct RowText {
  std::string_view name;
  bool on_off;
};

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

// Writes the closing row and flushes the CSV.
ConvertResult finish(Writer& out, LogEnd end, int bad_type = 0) {
  char* p = out.room(64);
  switch (end) {
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
  return {end, bad_type};
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
  LogDate date = parse_log_date(file_name);
  std::string prefix = " ";
  prefix.append(date.month).append("/").append(date.day).append("/");
  prefix.append(date.year).append(" ").append(date.hour).append(":");

  Reader in(input);
  // Every row fits in the buffer: the prefix, 16 data bytes and a name take
  // well under kBlockSize.
  Writer out(output, kBlockSize + prefix.size());

  // The header: echo each line, take the version from the first.
  const EventTable* table = &select_event_table(0);
  for (uint64_t line = 1;; ++line) {
    size_t n = in.ensure(kLinePiece);
    if (n == 0) return finish(out, LogEnd::kBadFileRead);
    if (n > kLinePiece) n = kLinePiece;
    const char* text = in.data();
    if (const void* nl = memchr(text, '\n', n))
      n = static_cast<const char*>(nl) - text + 1;
    std::string_view piece(text, n);
    if (line == 1) table = &select_event_table(parse_log_version(piece));
    bool last = piece.find(kMarker) != std::string_view::npos;

    // Lines 3, 4 and 6 hold "name:value" pairs whose colon becomes a column.
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
    in.skip(n);
    if (last) break;
  }

  RowText rows[256];
  for (int type = 0; type < table->count; ++type) {
    std::string_view name = table->rows[type].name;
    rows[type] = {name, name.find("on/off") != std::string_view::npos};
  }

  // The records, back to back up to the end of the input.
  for (;;) {
    size_t available = in.ensure(kMaxRecord);
    if (available == 0) {
      return finish(out, input.failed() ? LogEnd::kBadFileRead
                                        : LogEnd::kEndOfLog);
    }
    const uint8_t* record = reinterpret_cast<const uint8_t*>(in.data());
    uint8_t type = record[0];
    const EventDefinition* row = find_event(*table, type);
    if (row == nullptr) return finish(out, LogEnd::kBadEventType, type);
    size_t size = 3u + row->length;
    if (available < size) return finish(out, LogEnd::kBadFileRead);
    unsigned t = static_cast<unsigned>(record[1] << 8 | record[2]);
    // The record's bytes stay in place until the next ensure().
    const uint8_t* data = record + 3;
    in.skip(size);

    if (mode == Mode::kStandard) {
      if (row->converter == nullptr) continue;
      uint8_t d[16];
      memcpy(d, data, row->length);
      int param_count = 0;
      uint8_t code = row->converter(row->code, d, &param_count);
      if (!keeps_standard_code(*row, code)) continue;
      char* p = put_time(put(out.room(prefix.size() + 32), prefix), t);
      *p++ = ',';
      p = put_uint(p, code);
      *p++ = ',';
      if (param_count > 0) {
        p = put_uint(p, d[0]);
        p = put(p, ",,");
      } else {
        *p++ = ',';
      }
      *p++ = '\n';
      out.commit(p);
    } else {
      const RowText& text = rows[type];
      char* p = put_time(put(out.room(prefix.size() + 256), prefix), t);
      *p++ = ',';
      p = put_uint(p, type);
      if (row->length == 0) p = put(p, ",,");
      for (int i = 0; i < row->length; ++i) {
        *p++ = ',';
        p = put_uint(p, data[i]);
        p = put(p, ",,");
      }
      p = put(p, text.name);
      *p++ = ',';
      if (text.on_off && row->length > 0) {
        p = put(p, data[0] & 1 ? "on => " : "off => ");
        p = put_uint(p, data[0] >> 1);
      }
      *p++ = '\n';
      out.commit(p);
    }
    if (out.failed()) return {LogEnd::kWriteFailed, 0};
  }
}
