#include "logconv/log_time.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "logconv/time_zone.h"

int64_t days_from_civil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = floor_div(y, 400);
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void civil_from_days(int64_t z, int64_t* y, int* m, int* d) {
  z += 719468;
  const int64_t era = floor_div(z, 146097);
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  *d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  *m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *y = yoe + era * 400 + (*m <= 2);
}

int days_in_month(int year, int month) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return kDays[month - 1] + (month == 2 && leap ? 1 : 0);
}

LogHour next_hour(LogHour h) {
  if (++h.hour < 24) return h;
  h.hour = 0;
  if (++h.day <= days_in_month(h.year, h.month)) return h;
  h.day = 1;
  if (++h.month <= 12) return h;
  h.month = 1;
  ++h.year;
  return h;
}

int64_t hour_start(const LogHour& h) {
  return days_from_civil(h.year, h.month, h.day) * kTenthsPerDay + h.hour * kTenthsPerHour;
}

namespace {

void two(char* p, int64_t v) {
  p[0] = static_cast<char>('0' + v / 10);
  p[1] = static_cast<char>('0' + v % 10);
}

}  // namespace

void TimestampText::put(std::string* out, int64_t t) {
  char text[kMaxTimeSize];
  out->append(text, static_cast<size_t>(put(text, t) - text));
}

char* TimestampText::put(char* p, int64_t t) {
  if (zone_ == nullptr) return put_wall(p, t);
  const int32_t offset = zone_->at(t);
  return put_zoned(p, t + int64_t{offset} * 10, offset);
}

char* TimestampText::put_zoned(char* p, int64_t t, int32_t offset, bool utc) {
  char* end = put_wall(p, utc ? t - int64_t{offset} * 10 : t);
  end[-11] = 'T';  // before "HH:MM:SS.t"
  if (!utc) return put_utc_offset(end, offset);
  *end = 'Z';
  return end + 1;
}

char* TimestampText::put_wall(char* p, int64_t t) {
  if (t >= hour_ && t < hour_ + 36000) {
    // "MM:SS" of each second of an hour, 28 KiB built at the first use,
    // which saves working the digits out a time.
    static const auto* const kSeconds = [] {
      auto* text = new std::array<std::array<char, 8>, 3600>;
      for (int s = 0; s < 3600; ++s) {
        two((*text)[static_cast<size_t>(s)].data(), s / 60);
        (*text)[static_cast<size_t>(s)][2] = ':';
        two((*text)[static_cast<size_t>(s)].data() + 3, s % 60);
      }
      return text;
    }();
    const int64_t rest = t - hour_, second = rest / 10;
    // A copy of a fixed size, which the compiler makes a move or two: there
    // is room for it at `p`, and the hour's text is shorter.
    static_assert(sizeof hour_text_ >= 32 && kMaxTimeSize >= 32 + 8);
    memcpy(p, hour_text_, 32);
    p += hour_size_;
    memcpy(p, (*kSeconds)[static_cast<size_t>(second)].data(), 8);  // "MM:SS.t"
    p[5] = '.';
    p[6] = static_cast<char>('0' + (rest - second * 10));
    return p + 7;
  }
  const int64_t day = day_of(t);
  if (day != day_) set_day(day);
  const int64_t rest = t - day * kTenthsPerDay;
  char text[10];
  two(text, rest / 36000);
  text[2] = ':';
  two(text + 3, rest / 600 % 60);
  text[5] = ':';
  two(text + 6, rest / 10 % 60);
  text[8] = '.';
  text[9] = static_cast<char>('0' + rest % 10);
  hour_ = t - rest % 36000;
  memcpy(hour_text_, date_.data(), date_.size());
  memcpy(hour_text_ + date_.size(), text, 3);
  hour_size_ = date_.size() + 3;
  memcpy(p, date_.data(), date_.size());
  memcpy(p + date_.size(), text, sizeof text);
  return p + date_.size() + sizeof text;
}

void TimestampText::put_hour(std::string* out, int64_t t) {
  if (zone_ == nullptr) {
    put(out, bin_start(t, kTenthsPerHour));
    out->resize(out->size() - 2);
    return;
  }
  const int32_t offset = zone_->at(t);
  char text[kMaxTimeSize];
  const char* end = put_zoned(text, bin_start(t + int64_t{offset} * 10, kTenthsPerHour), offset);
  const char* tenth = strchr(text + 10, '.');  // ".0", left out
  out->append(text, static_cast<size_t>(tenth - text))
      .append(tenth + 2, static_cast<size_t>(end - tenth - 2));
}

void TimestampText::set_day(int64_t day) {
  int64_t y;
  int m, d;
  civil_from_days(day, &y, &m, &d);
  char text[40];
  if (y < 0 || y > 9999)
    snprintf(text, sizeof text, "%lld-%02d-%02d ", static_cast<long long>(y), m, d);
  else
    snprintf(text, sizeof text, "%04d-%02d-%02d ", static_cast<int>(y), m, d);
  date_ = text;
  day_ = day;
}

std::string timestamp_text(int64_t t) {
  std::string text;
  TimestampText().put(&text, t);
  return text;
}

std::string hour_text(const LogHour& hour) {
  std::string text = timestamp_text(hour_start(hour));
  text.resize(text.size() - 7);  // ":MM:SS.t" but its colon
  return text;
}

std::string hour_start_text(const LogHour& hour) {
  std::string text;
  TimestampText().put_hour(&text, hour_start(hour));
  return text;
}

std::string date_text(int64_t day) {
  std::string text = timestamp_text(day * kTenthsPerDay);
  text.resize(text.size() - 11);  // " HH:MM:SS.t"
  return text;
}

void put_int(std::string* out, int64_t v) {
  char text[kMaxIntSize];
  out->append(text, static_cast<size_t>(put_int(text, v) - text));
}

char* put_int(char* out, int64_t v) {
  // Most are phases, channels and counts below 100: written here, which
  // saves the loop and the copy of its digits.
  if (v >= 0 && v < 100) {
    if (v < 10) {
      *out = static_cast<char>('0' + v);
      return out + 1;
    }
    two(out, v);
    return out + 2;
  }
  char text[24];
  char* const end = text + sizeof text;
  char* p = end;
  uint64_t u = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
  do {
    *--p = static_cast<char>('0' + u % 10);
    u /= 10;
  } while (u != 0);
  if (v < 0) *--p = '-';
  memcpy(out, p, static_cast<size_t>(end - p));
  return out + (end - p);
}

void put_fixed(std::string* out, double v, int decimals) {
  char text[kMaxFixedSize];
  out->append(text, static_cast<size_t>(put_fixed(text, v, decimals) - text));
}

char* put_fixed(char* out, double v, int decimals) {
  // A value whose scaled fraction is not within a millionth of a half is
  // rounded from its scaled double (whose error is below a ten-millionth
  // there), which saves to_chars' exact conversion: a sixth of the
  // detector map's tables.
  static const double kScale[] = {1, 10, 100, 1000, 10000};
  if (decimals >= 0 && decimals <= 4 && !std::signbit(v) && v < 1e9) {
    const double scaled = v * kScale[decimals];
    const double whole = std::floor(scaled), fraction = scaled - whole;
    if (scaled < 1e9 && std::fabs(fraction - 0.5) > 1e-6) {
      uint64_t n = static_cast<uint64_t>(whole) + (fraction > 0.5 ? 1 : 0);
      char text[24];
      char* const end = text + sizeof text;
      char* p = end;
      for (int d = 0; d < decimals; ++d, n /= 10) *--p = static_cast<char>('0' + n % 10);
      if (decimals > 0) *--p = '.';
      do {
        *--p = static_cast<char>('0' + n % 10);
        n /= 10;
      } while (n != 0);
      memcpy(out, p, static_cast<size_t>(end - p));
      return out + (end - p);
    }
  }
  const std::to_chars_result r =
      std::to_chars(out, out + kMaxFixedSize, v, std::chars_format::fixed, decimals);
  return r.ec == std::errc() ? r.ptr : out;
}

void put_seconds(std::string* out, int64_t tenths) {
  char text[kMaxSecondsSize];
  out->append(text, static_cast<size_t>(put_seconds(text, tenths) - text));
}

char* put_seconds(char* out, int64_t tenths) {
  // Most are intervals below 100 s, written here as put_int's small ones.
  if (tenths >= 0 && tenths < 1000) {
    const int64_t whole = tenths / 10;
    char* p = out;
    if (whole < 10) {
      *p++ = static_cast<char>('0' + whole);
    } else {
      two(p, whole);
      p += 2;
    }
    p[0] = '.';
    p[1] = static_cast<char>('0' + tenths % 10);
    return p + 2;
  }
  // The sign once, then the magnitude: -0.5 is "-0.5", not "0.-5".
  const uint64_t u = tenths < 0 ? 0 - static_cast<uint64_t>(tenths)
                                : static_cast<uint64_t>(tenths);
  char text[24];
  char* const end = text + sizeof text;
  char* p = end;
  *--p = static_cast<char>('0' + u % 10);
  *--p = '.';
  uint64_t whole = u / 10;
  do {
    *--p = static_cast<char>('0' + whole % 10);
    whole /= 10;
  } while (whole != 0);
  if (tenths < 0) *--p = '-';
  memcpy(out, p, static_cast<size_t>(end - p));
  return out + (end - p);
}
