// The measure tables read back from their CSV text, column by column, as
// the schema defines them: whatever the writer writes reads back.

#include <unordered_map>

#include "measures/measures.h"

namespace {

// Reads the unsigned number of `digits` digits at `p`; -1 if one is not.
int64_t digits_at(const char* p, size_t digits) {
  int64_t v = 0;
  for (size_t i = 0; i < digits; ++i) {
    if (p[i] < '0' || p[i] > '9') return -1;
    v = v * 10 + (p[i] - '0');
  }
  return v;
}

// A signed number of up to 18 digits; false if `f` is not one.
bool read_int(std::string_view f, int64_t* value) {
  const bool negative = !f.empty() && f[0] == '-';
  if (negative) f.remove_prefix(1);
  if (f.empty() || f.size() > 18 || (*value = digits_at(f.data(), f.size())) < 0)
    return false;
  if (negative) *value = -*value;
  return true;
}

// "YYYY-MM-DD HH:MM:SS", then ".t" or not, the year of four digits or more
// and signed; as tenths since 1970. In a zone (--tz), "YYYY-MM-DDTHH:MM:SS"
// and ".t" or not, then the offset, "-05:00" or "+05:21:10": the instant,
// tenths since 1970 UTC.
bool read_time(std::string_view f, int64_t* tenths) {
  const size_t dash = f.find('-', f.size() > 0 && f[0] == '-' ? 1 : 0);
  if (dash == std::string_view::npos || dash < 4) return false;
  int64_t y;
  if (!read_int(f.substr(0, dash), &y)) return false;
  std::string_view rest = f.substr(dash);  // "-MM-DD HH:MM:SS[.t]"
  int64_t offset = 0;
  if (rest.size() > 6 && rest[6] == 'T') {
    const size_t sign = rest.find_first_of("+-", 15);
    if (sign == std::string_view::npos) return false;
    const std::string_view zone = rest.substr(sign);
    const char* z = zone.data();
    const int64_t h = zone.size() >= 6 ? digits_at(z + 1, 2) : -1,
                  m = zone.size() >= 6 ? digits_at(z + 4, 2) : -1,
                  s = zone.size() == 9 ? digits_at(z + 7, 2) : 0;
    if ((zone.size() != 6 && zone.size() != 9) || h < 0 || h > 24 || m < 0 || m > 59 ||
        s < 0 || s > 59 || z[3] != ':' || (zone.size() == 9 && z[6] != ':'))
      return false;
    offset = (z[0] == '-' ? -1 : 1) * ((h * 60 + m) * 60 + s) * 10;
    rest = rest.substr(0, sign);
  } else if (rest.size() > 6 && rest[6] != ' ') {
    return false;
  }
  if (rest.size() != 15 && rest.size() != 17) return false;
  const char* p = rest.data();
  const int64_t mo = digits_at(p + 1, 2), d = digits_at(p + 4, 2), h = digits_at(p + 7, 2),
                mi = digits_at(p + 10, 2), s = digits_at(p + 13, 2),
                t = rest.size() == 17 ? digits_at(p + 16, 1) : 0;
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || h < 0 || h > 23 || mi < 0 || mi > 59 ||
      s < 0 || s > 59 || t < 0 || p[3] != '-' || p[9] != ':' ||
      p[12] != ':' || (rest.size() == 17 && p[15] != '.'))
    return false;
  *tenths = days_from_civil(y, static_cast<int>(mo), static_cast<int>(d)) * kTenthsPerDay +
            ((h * 60 + mi) * 60 + s) * 10 + t - offset;
  return true;
}

// Seconds to the tenth, "12.3" or "-0.5", as tenths.
bool read_seconds(std::string_view f, int64_t* tenths) {
  const bool negative = !f.empty() && f[0] == '-';
  if (negative) f.remove_prefix(1);
  const size_t n = f.size();
  int64_t whole, tenth;
  if (n < 3 || f[n - 2] != '.' || (tenth = digits_at(&f[n - 1], 1)) < 0 ||
      !read_int(f.substr(0, n - 2), &whole) || f[0] == '-')
    return false;
  *tenths = (whole * 10 + tenth) * (negative ? -1 : 1);
  return true;
}

// A number of `places` decimals, "0.0125" of 4, as units of its last
// place.
bool read_decimals(std::string_view f, size_t places, int64_t* part) {
  const size_t n = f.size();
  int64_t whole, fraction;
  if (n < places + 2 || f[n - places - 1] != '.' ||
      (fraction = digits_at(&f[n - places], places)) < 0 ||
      !read_int(f.substr(0, n - places - 1), &whole) || f[0] == '-')
    return false;
  int64_t unit = 1;
  for (size_t i = 0; i < places; ++i) unit *= 10;
  *part = whole * unit + fraction;
  return true;
}

// A number field's value as a column of `kind` holds it; false if it is
// not one.
bool number_value(ColumnKind kind, std::string_view f, int64_t* value) {
  *value = MeasureColumn::kMissing;
  if (f.empty()) return true;
  switch (kind) {
    case ColumnKind::kInt:
      return read_int(f, value);
    case ColumnKind::kSeconds:
      return read_seconds(f, value);
    case ColumnKind::kShare:
      return read_decimals(f, 4, value);
    case ColumnKind::kRatio:
      return read_decimals(f, 2, value);
    case ColumnKind::kTime:
      return read_time(f, value);
    default:
      return false;
  }
}

bool is_text(ColumnKind kind) {
  return kind == ColumnKind::kId || kind == ColumnKind::kText || kind == ColumnKind::kCategory;
}

// Whether `field` is one of the fixed values of category `column`, or empty.
bool is_value_of(const MeasureColumnDef& column, const std::string& field) {
  if (column.kind != ColumnKind::kCategory || field.empty()) return true;
  for (const char* value : column.values)
    if (field == value) return true;
  return false;
}

}  // namespace

bool read_measure_table(const MeasureTableDef& table, std::string_view csv,
                        std::vector<MeasureColumn>* columns, std::string* err) {
  const std::string header = measure_header(table);
  const std::string file = std::string(table.name) + ".csv";
  if (csv.substr(0, header.size()) != header) {
    *err = "line 1 is not the header of " + file;
    return false;
  }
  const size_t count = table.columns.size();
  columns->assign(count, MeasureColumn());
  for (size_t i = 0; i < count; ++i) (*columns)[i].def = &table.columns[i];
  std::vector<std::unordered_map<std::string, int64_t>> codes(count);
  std::string field;
  size_t row = 1;  // the header's
  for (size_t at = header.size(); at < csv.size();) {
    ++row;
    for (size_t i = 0; i < count; ++i) {
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
      const char want = i + 1 < count ? ',' : '\n';
      MeasureColumn& c = (*columns)[i];
      const MeasureColumnDef& def = table.columns[i];
      int64_t value = 0;
      if (at >= csv.size() || csv[at] != want ||
          (is_text(def.kind) ? !is_value_of(def, field)
                             : !number_value(def.kind, field, &value))) {
        *err = "row " + std::to_string(row) + " of " + file + ": column " + def.name +
               " is not as written";
        return false;
      }
      ++at;
      if (is_text(def.kind)) {
        auto [it, added] = codes[i].emplace(field, static_cast<int64_t>(c.categories.size()));
        if (added) c.categories.push_back(field);
        value = it->second;
      }
      c.values.push_back(value);
    }
  }
  return true;
}
