#include "logconv/time_zone.h"

#include <algorithm>

#include "platform/platform.h"

namespace {

int64_t big_endian(const unsigned char* p, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v = v << 8 | p[i];
  // Sign-extended from its width.
  const int shift = 64 - 8 * bytes;
  return static_cast<int64_t>(v << shift) >> shift;
}

// Reads a number of at most `most` from the start of *text; false where none.
bool read_number(std::string_view* text, int most, int* value) {
  size_t i = 0;
  int v = 0;
  while (i < text->size() && (*text)[i] >= '0' && (*text)[i] <= '9') {
    v = v * 10 + ((*text)[i] - '0');
    if (v > most) return false;
    ++i;
  }
  if (i == 0) return false;
  *value = v;
  text->remove_prefix(i);
  return true;
}

// Reads [+-]hh[:mm[:ss]] with hours up to `most_hours`, as seconds.
bool read_clock(std::string_view* text, int most_hours, int32_t* seconds) {
  int sign = 1;
  if (!text->empty() && (text->front() == '+' || text->front() == '-')) {
    sign = text->front() == '-' ? -1 : 1;
    text->remove_prefix(1);
  }
  int h = 0, m = 0, s = 0;
  if (!read_number(text, most_hours, &h)) return false;
  if (!text->empty() && text->front() == ':') {
    text->remove_prefix(1);
    if (!read_number(text, 59, &m)) return false;
    if (!text->empty() && text->front() == ':') {
      text->remove_prefix(1);
      if (!read_number(text, 59, &s)) return false;
    }
  }
  *seconds = sign * (h * 3600 + m * 60 + s);
  return true;
}

// Skips a zone abbreviation: letters, or anything between < and >.
bool skip_abbreviation(std::string_view* text) {
  size_t i = 0;
  if (!text->empty() && text->front() == '<') {
    i = text->find('>');
    if (i == std::string_view::npos || i < 4) return false;
    text->remove_prefix(i + 1);
    return true;
  }
  while (i < text->size() && (((*text)[i] | 0x20) >= 'a' && ((*text)[i] | 0x20) <= 'z')) ++i;
  if (i < 3) return false;
  text->remove_prefix(i);
  return true;
}

bool read_moment(std::string_view* text, ZoneRule::Moment* m) {
  if (text->empty()) return false;
  if (text->front() == 'M') {
    text->remove_prefix(1);
    m->kind = 'M';
    if (!read_number(text, 12, &m->month) || m->month < 1 || text->empty() ||
        text->front() != '.')
      return false;
    text->remove_prefix(1);
    if (!read_number(text, 5, &m->week) || m->week < 1 || text->empty() ||
        text->front() != '.')
      return false;
    text->remove_prefix(1);
    if (!read_number(text, 6, &m->weekday)) return false;
  } else if (text->front() == 'J') {
    text->remove_prefix(1);
    m->kind = 'J';
    if (!read_number(text, 365, &m->day) || m->day < 1) return false;
  } else {
    m->kind = 'n';
    if (!read_number(text, 365, &m->day)) return false;
  }
  m->time = 7200;
  if (!text->empty() && text->front() == '/') {
    text->remove_prefix(1);
    if (!read_clock(text, 167, &m->time)) return false;
  }
  return true;
}

bool is_leap(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

// The instant at which `m` falls in `year`, the wall clock then showing
// `offset` seconds east of UTC.
int64_t moment_in(const ZoneRule::Moment& m, int64_t year, int32_t offset) {
  int64_t day;
  if (m.kind == 'M') {
    const int64_t first = days_from_civil(year, m.month, 1);
    const int weekday_first = static_cast<int>(((first + 4) % 7 + 7) % 7);  // 1970-01-01 a Thursday
    int date = 1 + (m.weekday - weekday_first + 7) % 7 + 7 * (m.week - 1);
    const int length = days_in_month(static_cast<int>(year), m.month);
    while (date > length) date -= 7;
    day = first + date - 1;
  } else if (m.kind == 'J') {
    day = days_from_civil(year, 1, 1) + m.day - 1 + (is_leap(year) && m.day >= 60);
  } else {
    day = days_from_civil(year, 1, 1) + m.day;
  }
  return day * 86400 + m.time - offset;
}

int64_t year_of(int64_t seconds) {
  int64_t y;
  int m, d;
  civil_from_days(floor_div(seconds, 86400), &y, &m, &d);
  return y;
}

}  // namespace

bool parse_zone_rule(std::string_view text, ZoneRule* rule) {
  ZoneRule r;
  int32_t west;
  if (!skip_abbreviation(&text) || !read_clock(&text, 24, &west)) return false;
  r.standard = -west;
  if (!text.empty()) {
    r.daylight = true;
    if (!skip_abbreviation(&text)) return false;
    r.saving = r.standard + 3600;
    if (!text.empty() && text.front() != ',') {
      if (!read_clock(&text, 24, &west)) return false;
      r.saving = -west;
    }
    if (text.empty() || text.front() != ',') return false;
    text.remove_prefix(1);
    if (!read_moment(&text, &r.start) || text.empty() || text.front() != ',') return false;
    text.remove_prefix(1);
    if (!read_moment(&text, &r.end) || !text.empty()) return false;
  }
  *rule = r;
  return true;
}

bool TimeZone::load(const std::string& name, const std::string& folder, std::string* err) {
  // A name is a relative path of plain parts: never "..", never absolute.
  bool plain = !name.empty() && name.size() < 256 && name.front() != '/';
  for (size_t i = 0; plain && i < name.size(); ++i) {
    const char c = name[i];
    plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            c == '_' || c == '-' || c == '+' || (c == '/' && name[i + 1] != '/' && i + 1 < name.size()) ||
            (c == '.' && i > 0 && name[i - 1] != '/' && name[i - 1] != '.');
  }
  if (!plain) {
    *err = "unknown time zone " + name;
    return false;
  }
  const std::string base = folder.empty() ? time_zone_folder() : folder;
  std::string path = base, dir, file_name;
  for (char c : name) {
    if (c == '/')
      path += kPathSeparator;
    else
      path += c;
  }
  path.insert(base.size(), kPathSeparator);
  split_path(path, &dir, &file_name);
  std::string why;
  std::shared_ptr<Dir> d = Dir::open(dir, &why);
  File file;
  if (d == nullptr || !d->open_file(file_name, &file, &why)) {
    *err = "unknown time zone " + name + " (no " + path + ")";
    return false;
  }
  // A zone file takes a few kilobytes.
  std::string bytes;
  char buf[1 << 14];
  for (long long n; (n = file.read(buf, sizeof buf)) != 0;) {
    if (n < 0 || bytes.size() > (size_t{1} << 20)) {
      *err = path + ": " + (n < 0 ? file.error() : "larger than 1 MiB, no zone file");
      return false;
    }
    bytes.append(buf, static_cast<size_t>(n));
  }
  if (!parse(bytes, &why)) {
    *err = "unknown time zone " + name + " (" + path + ": " + why + ")";
    return false;
  }
  name_ = name;
  return true;
}

bool TimeZone::parse(std::string_view tzif, std::string* err) {
  const auto* p = reinterpret_cast<const unsigned char*>(tzif.data());
  size_t size = tzif.size(), at = 0;
  auto header = [&](int64_t counts[6]) {
    if (size - at < 44 || tzif.substr(at, 4) != "TZif") return false;
    for (int i = 0; i < 6; ++i) counts[i] = big_endian(p + at + 20 + 4 * i, 4);
    at += 44;
    return true;
  };
  int64_t c[6];  // isutcnt, isstdcnt, leapcnt, timecnt, typecnt, charcnt
  if (!header(c)) {
    *err = "not a zone file";
    return false;
  }
  const char version = tzif[4];
  auto block_size = [&](int time_bytes) {
    return c[3] * time_bytes + c[3] + c[4] * 6 + c[5] + c[2] * (time_bytes + 4) + c[1] + c[0];
  };
  for (int64_t n : c) {
    if (n < 0 || n > (1 << 20)) {
      *err = "damaged zone file";
      return false;
    }
  }
  int time_bytes = 4;
  if (version >= '2') {
    // The second header and block, of 64-bit times, follow the first.
    at += static_cast<size_t>(block_size(4));
    if (at > size || !header(c)) {
      *err = "damaged zone file";
      return false;
    }
    time_bytes = 8;
  }
  if (c[4] < 1 || static_cast<int64_t>(size - at) < block_size(time_bytes)) {
    *err = "damaged zone file";
    return false;
  }
  const unsigned char* times = p + at;
  const unsigned char* indices = times + c[3] * time_bytes;
  const unsigned char* types = indices + c[3];
  std::vector<int32_t> type_offsets;
  for (int64_t i = 0; i < c[4]; ++i)
    type_offsets.push_back(static_cast<int32_t>(big_endian(types + 6 * i, 4)));
  changes_.clear();
  offsets_.clear();
  for (int64_t i = 0; i < c[3]; ++i) {
    const int64_t t = big_endian(times + time_bytes * i, time_bytes);
    if (indices[i] >= c[4] || (!changes_.empty() && t <= changes_.back())) {
      *err = "damaged zone file";
      return false;
    }
    changes_.push_back(t);
    offsets_.push_back(type_offsets[indices[i]]);
  }
  first_ = type_offsets[0];
  has_rule_ = false;
  at += static_cast<size_t>(block_size(time_bytes));
  if (time_bytes == 8 && at < size && tzif[at] == '\n') {
    const size_t end = tzif.find('\n', at + 1);
    if (end == std::string_view::npos) {
      *err = "damaged zone file";
      return false;
    }
    const std::string_view line = tzif.substr(at + 1, end - at - 1);
    if (!line.empty()) {
      if (!parse_zone_rule(line, &rule_)) {
        *err = "a rule it cannot read: " + std::string(line);
        return false;
      }
      has_rule_ = true;
    }
  }
  return true;
}

int32_t TimeZone::offset_at(int64_t utc) const {
  if (changes_.empty() || utc >= changes_.back()) {
    if (!has_rule_) return offsets_.empty() ? first_ : offsets_.back();
    if (!rule_.daylight) return rule_.standard;
    // The year as standard time shows it: both changes of that year,
    // whichever comes first (the south keeps daylight saving over the
    // new year).
    const int64_t year = year_of(utc + rule_.standard);
    const int64_t start = moment_in(rule_.start, year, rule_.standard);
    const int64_t end = moment_in(rule_.end, year, rule_.saving);
    const bool saving = start < end ? utc >= start && utc < end : utc >= start || utc < end;
    return saving ? rule_.saving : rule_.standard;
  }
  auto it = std::upper_bound(changes_.begin(), changes_.end(), utc);
  if (it == changes_.begin()) return first_;
  return offsets_[static_cast<size_t>(it - changes_.begin() - 1)];
}

int TimeZone::offsets_of(int64_t local, int32_t offsets[2]) const {
  // The offsets in force a day around: a wall time can only have one of
  // them (no zone changed twice within a day).
  int32_t candidates[3] = {offset_at(local - 86400), offset_at(local),
                           offset_at(local + 86400)};
  std::sort(candidates, candidates + 3);
  int n = 0;
  // The larger offset first: its instant is the earlier.
  for (int i = 2; i >= 0; --i) {
    if (i < 2 && candidates[i] == candidates[i + 1]) continue;
    if (offset_at(local - candidates[i]) == candidates[i] && n < 2) offsets[n++] = candidates[i];
  }
  // Skipped: the offset before the change, the smaller one.
  if (n == 0) offsets[0] = candidates[0];
  return n;
}

bool TimeZone::shows_twice(const LogHour& hour) const {
  int32_t o[2];
  const int64_t start = floor_div(::hour_start(hour), 10);
  return offsets_of(start, o) == 2 || offsets_of(start + 3599, o) == 2;
}

ZonedHour::ZonedHour(const TimeZone& zone, const LogHour& hour, bool second_pass)
    : zone_(zone), start_(::hour_start(hour)), stepped_(second_pass) {
  int32_t first[2], last[2];
  const int64_t start = floor_div(start_, 10);
  // Records go up to 65535 tenths past the hour's start.
  const int64_t end = start + 6554;
  const int at_start = zone.offsets_of(start, first);
  skipped_ = at_start == 0;
  constant_ = at_start == 1 && zone.offsets_of(end, last) == 1 && first[0] == last[0] &&
              zone.offset_at((start + end) / 2 - first[0]) == first[0];
  // The second pass of the hour shown twice starts with the later offset.
  constant_offset_ = second_pass && at_start == 2 ? first[1] : first[0];
}

int32_t ZonedHour::offset(uint32_t stamp) {
  if (constant_) return constant_offset_;
  int32_t o[2];
  const int64_t local = floor_div(start_ + stamp, 10);
  const int n = zone_.offsets_of(local, o);
  const uint32_t last = last_;
  last_ = stamp;
  if (n == 1) return o[0];
  if (n == 0) {
    ++skipped_times_;
    return o[0];
  }
  // Shown twice: the step back to the later offset is one of no more than
  // the change, from a time also shown twice.
  if (!stepped_ && last != UINT32_MAX && stamp < last &&
      static_cast<int64_t>(last - stamp) <= int64_t{o[0] - o[1]} * 10) {
    int32_t before[2];
    stepped_ = zone_.offsets_of(floor_div(start_ + last, 10), before) == 2;
    if (stepped_) went_back_ = static_cast<uint32_t>(o[0] - o[1]) * 10;
  }
  return stepped_ ? o[1] : o[0];
}

char* put_utc_offset(char* p, int32_t seconds) {
  *p++ = seconds < 0 ? '-' : '+';
  const int32_t a = seconds < 0 ? -seconds : seconds;
  auto two = [&](int32_t v) {
    *p++ = static_cast<char>('0' + v / 10 % 10);
    *p++ = static_cast<char>('0' + v % 10);
  };
  two(a / 3600);
  *p++ = ':';
  two(a / 60 % 60);
  if (a % 60 != 0) {
    *p++ = ':';
    two(a % 60);
  }
  return p;
}

void put_utc_offset(std::string* out, int32_t seconds) {
  char text[9];
  out->append(text, static_cast<size_t>(put_utc_offset(text, seconds) - text));
}

int32_t OffsetCache::fill(int64_t t) {
  hour_ = bin_start(t, 36000);
  const int64_t first = floor_div(hour_, 10);
  offset_ = zone_->offset_at(first);
  steady_ = zone_->offset_at(first + 3599) == offset_ &&
            zone_->offset_at(first + 1800) == offset_;
  return steady_ ? offset_ : zone_->offset_at(floor_div(t, 10));
}
