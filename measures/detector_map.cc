#include "measures/detector_map.h"

#include <memory>

#include "platform/platform.h"

namespace {

// The fields of the CSV record that starts at *at, the line it starts on
// in *line; *at is moved past it. Returns false, *err set, on a quote left
// open.
bool next_record(std::string_view text, size_t* at, int* line,
                 std::vector<std::string>* fields, std::string* err) {
  fields->assign(1, std::string());
  const int first = *line;
  size_t i = *at;
  bool quoted = false;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted) {
      if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
        fields->back() += '"';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        if (c == '\n') ++*line;
        fields->back() += c;
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      fields->emplace_back();
    } else if (c == '\n') {
      ++*line;
      ++i;
      break;
    } else if (c != '\r') {
      fields->back() += c;
    }
  }
  *at = i;
  if (quoted) {
    *err = "line " + std::to_string(first) + ": a quote is not closed";
    return false;
  }
  return true;
}

// A decimal number, "400" or "12.5", as a double; false where it is not
// one (a sign, an exponent or nothing).
bool read_number(const std::string& s, double* v) {
  if (s.empty() || s.size() > 15) return false;
  double whole = 0, scale = 0;
  bool digits = false;
  for (char c : s) {
    if (c == '.' && scale == 0) {
      scale = 1;
    } else if (c >= '0' && c <= '9') {
      digits = true;
      if (scale != 0) scale /= 10;
      whole = whole * 10 + (c - '0');
    } else {
      return false;
    }
  }
  if (!digits) return false;
  *v = scale != 0 ? whole * scale : whole;
  return true;
}

// An integer from 0 to `most`; -1 where it is not one.
int read_int(const std::string& s, int most) {
  if (s.empty() || s.size() > 4) return -1;
  int v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return -1;
    v = v * 10 + (c - '0');
  }
  return v <= most ? v : -1;
}

// `text` split at each '+'.
std::vector<std::string> parts(const std::string& text) {
  std::vector<std::string> out(1);
  for (char c : text) {
    if (c == '+') out.emplace_back();
    else out.back() += c;
  }
  return out;
}

// The columns, by what they hold.
enum Column { kSignal, kChannel, kPhase, kApproach, kRoles, kDistance, kSpeed, kColumns };

// A column's name, and of a distance or speed its unit as a fraction of
// metres or metres a second (a foot is 381/1250 m, a mph 6985/15625 m/s, a
// km/h 5/18 m/s): fractions of whole numbers, so that 44 ft at 30 mph is
// exactly 1 s.
struct ColumnName {
  const char* name;
  Column column;
  double numerator, denominator;
};

const ColumnName kNames[] = {
    {"signal_id", kSignal, 1, 1},         {"channel", kChannel, 1, 1},
    {"phase", kPhase, 1, 1},              {"approach", kApproach, 1, 1},
    {"roles", kRoles, 1, 1},              {"distance", kDistance, 381, 1250},
    {"distance_ft", kDistance, 381, 1250}, {"distance_m", kDistance, 1, 1},
    {"speed", kSpeed, 6985, 15625},       {"speed_mph", kSpeed, 6985, 15625},
    {"speed_kmh", kSpeed, 5, 18},
};

}  // namespace

bool parse_detector_map(std::string_view text, DetectorMap* map, std::string* err) {
  map->clear();
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);  // a BOM
  size_t at = 0;
  int line = 1;
  std::vector<std::string> fields;
  if (!next_record(text, &at, &line, &fields, err)) return false;
  int place[kColumns];
  const ColumnName* named[kColumns] = {};
  for (int& p : place) p = -1;
  for (size_t i = 0; i < fields.size(); ++i) {
    const ColumnName* found = nullptr;
    for (const ColumnName& n : kNames)
      if (fields[i] == n.name) found = &n;
    if (found == nullptr) {
      *err = "line 1: unknown column '" + fields[i] +
             "' (the columns: signal_id, channel, phase, approach, roles, distance or "
             "distance_m, speed or speed_kmh)";
      return false;
    }
    if (place[found->column] >= 0) {
      *err = "line 1: column '" + fields[i] + "' repeats another";
      return false;
    }
    place[found->column] = static_cast<int>(i);
    named[found->column] = found;
  }
  for (int c = 0; c < kColumns; ++c) {
    if (place[c] >= 0) continue;
    const char* const kMissing[] = {"signal_id", "channel", "phase",   "approach",
                                    "roles",     "distance", "speed"};
    *err = std::string("line 1: the column ") + kMissing[c] + " is missing";
    return false;
  }
  std::map<std::pair<std::string, int>, int> lines;  // of each signal and channel
  while (at < text.size()) {
    const int first = line;
    if (!next_record(text, &at, &line, &fields, err)) return false;
    if (fields.size() == 1 && fields[0].empty()) continue;  // a blank line
    const std::string where = "line " + std::to_string(first) + ": ";
    if (fields.size() != static_cast<size_t>(kColumns)) {
      *err = where + std::to_string(fields.size()) + " fields where the header has " +
             std::to_string(kColumns);
      return false;
    }
    auto field = [&](Column c) -> const std::string& { return fields[static_cast<size_t>(place[c])]; };
    MappedDetector d;
    const int channel = read_int(field(kChannel), 255);
    if (channel < 0) {
      *err = where + "channel '" + field(kChannel) + "' is not a number from 0 to 255";
      return false;
    }
    for (const std::string& p : parts(field(kPhase))) {
      const int phase = read_int(p, 255);
      if (phase < 1) {
        *err = where + "phase '" + field(kPhase) +
               "' is not a phase from 1 to 255, or several joined by +";
        return false;
      }
      d.phases.push_back(phase);
    }
    for (const std::string& r : parts(field(kRoles))) {
      const uint8_t role = r == "advance" ? kAdvance : r == "stopbar" ? kStopBar : r == "count" ? kCount : 0;
      if (role == 0) {
        *err = where + "role '" + r + "' is not advance, stopbar or count";
        return false;
      }
      d.roles |= role;
    }
    double distance = 0, speed = 0;
    for (Column c : {kDistance, kSpeed}) {
      double& v = c == kDistance ? distance : speed;
      if (!field(c).empty() && !read_number(field(c), &v)) {
        *err = where + (c == kDistance ? "distance '" : "speed '") + field(c) +
               "' is not a number";
        return false;
      }
    }
    if (distance > 0 && speed > 0) {
      const ColumnName& dn = *named[kDistance];
      const ColumnName& sn = *named[kSpeed];
      d.travel_tenths = distance * dn.numerator * sn.denominator * 10 /
                        (speed * dn.denominator * sn.numerator);
    }
    d.approach = field(kApproach);
    const std::string& signal = field(kSignal);
    auto [it, added] = lines.insert({{signal, channel}, first});
    if (!added) {
      *err = where + "signal " + signal + ", channel " + std::to_string(channel) +
             " is on line " + std::to_string(it->second) + " already";
      return false;
    }
    (*map)[signal][channel] = std::move(d);
  }
  return true;
}

bool read_detector_map(const std::string& path, DetectorMap* map, std::string* err) {
  std::string dir_path, name;
  split_path(path, &dir_path, &name);
  std::shared_ptr<Dir> dir = Dir::open(dir_path, err);
  File file;
  if (dir == nullptr || !dir->open_file(name, &file, err)) {
    *err = path + ": " + *err;
    return false;
  }
  // A map is a row a detector: a few megabytes at the most.
  const size_t kMost = size_t{16} << 20;
  std::string text;
  char buf[1 << 16];
  for (long long n; (n = file.read(buf, sizeof buf)) != 0;) {
    if (n < 0) {
      *err = path + ": " + file.error();
      return false;
    }
    text.append(buf, static_cast<size_t>(n));
    if (text.size() > kMost) {
      *err = path + ": larger than 16 MiB, no detector map";
      return false;
    }
  }
  if (!parse_detector_map(text, map, err)) {
    *err = path + ": " + *err;
    return false;
  }
  return true;
}
