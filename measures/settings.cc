#include "measures/measure.h"

namespace {

using S = MeasureSettings;

const ThresholdDef kRows[] = {
    {"stuck_on", &S::stuck_on_minutes, false, 100000, " minutes",
     "minutes a detector is on without an off to be stuck on"},
    {"chatter_pairs", &S::chatter_pairs, false, 100000, "",
     "pairs of close ons in an hour above which a detector chatters"},
    {"chatter_gap", &S::chatter_tenths, true, 600, " s",
     "seconds between two ons that make a close pair, or less"},
    {"split_share", &S::split_share, false, 100, "%",
     "percent of a phase-hour's greens ended by max out or force off that is a problem"},
    {"split_greens", &S::split_greens, false, 100000, "",
     "greens a phase-hour needs for its share to be a problem"},
    {"ped_delay", &S::ped_delay_seconds, false, 100000, " s",
     "seconds of mean pedestrian delay in an hour that are a problem"},
    {"split_failure", &S::split_failure_percent, false, 100, "%",
     "percent of stop-bar occupancy in a green and its first red that is a split failure"},
    {"red_seconds", &S::red_seconds, false, 600, " s",
     "seconds of red after the yellow whose occupancy a split failure takes"},
};

// The digits of `s` as a number no larger than `most`; -1 where it is not.
int number(std::string_view s, int most) {
  if (s.empty() || s.size() > 9) return -1;
  int v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return -1;
    v = v * 10 + (c - '0');
  }
  return v <= most ? v : -1;
}

}  // namespace

const std::span<const ThresholdDef> kThresholds = kRows;

bool set_threshold(std::string_view text, MeasureSettings* settings) {
  const size_t eq = text.find('=');
  if (eq == std::string_view::npos) return false;
  const std::string_view name = text.substr(0, eq), value = text.substr(eq + 1);
  for (const ThresholdDef& t : kThresholds) {
    if (name != t.name) continue;
    int v;
    if (t.tenths) {
      // Seconds, with one decimal or none.
      const size_t dot = value.find('.');
      const int whole = number(value.substr(0, dot), t.most / 10);
      const int tenth = dot == std::string_view::npos ? 0
                        : value.size() == dot + 2   ? number(value.substr(dot + 1), 9)
                                                    : -1;
      v = whole < 0 || tenth < 0 ? -1 : whole * 10 + tenth;
    } else {
      v = number(value, t.most);
    }
    if (v < 0) return false;
    settings->*t.value = v;
    return true;
  }
  return false;
}

std::string threshold_text(const ThresholdDef& threshold, const MeasureSettings& settings) {
  const int v = settings.*threshold.value;
  if (!threshold.tenths) return std::to_string(v);
  return std::to_string(v / 10) + "." + std::to_string(v % 10);
}
