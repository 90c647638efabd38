// The charts of a signal's detector map on its day's page: a coordination
// diagram per phase with advance detectors, the split failures of each
// phase, and the approach volumes; and the day's figures for the index.

#include <algorithm>
#include <cmath>
#include <map>

#include "report/day.h"

namespace {



// One phase's coordination diagram: x the time of day, y the seconds into
// the cycle; each cycle's green and yellow as a stroke at its start, each
// arrival as a dot, an hour's dots of a state in one mark; the share of
// arrivals on green per hour as a band along the top.
void draw_diagram(Markup* page, const Day& d, int64_t phase) {
  const TableRows& c = d.signal.table("cycles");
  const TableRows& a = d.signal.table("arrivals");
  const int c_phase = c.column("phase"), start = c.column("cycle_start"),
            green = c.column("green_start"), yellow = c.column("yellow_start"),
            end = c.column("cycle_end");
  const int a_phase = a.column("phase"), into = a.column("seconds_into_cycle"),
            arrival = a.column("arrival"), state = a.column("state");
  double top = 60;  // seconds: the longest cycle
  for (size_t r : d.of("cycles"))
    if (c.at(c_phase, r) == phase)
      top = std::max(top, static_cast<double>(c.at(end, r) - c.at(start, r)) / 10);
  top = std::ceil(top / 30) * 30;
  const double bottom = 200, up = 20;
  auto y_of = [&](double seconds) { return scale(seconds, 0, top, bottom, up); };
  // By hour and state: the dots' path and count.
  static const char* const kStates[] = {"red", "green", "yellow"};
  std::map<int, std::array<std::pair<std::string, int>, 3>> dots;
  int counts[3] = {};
  for (size_t r : d.of("arrivals")) {
    if (a.at(a_phase, r) != phase) continue;
    const std::string& s = a.text(state, r);
    const int i = s == "red" ? 0 : s == "green" ? 1 : 2;
    auto& [path, n] = dots[d.hour_of(a.at(arrival, r))][static_cast<size_t>(i)];
    path += "M" + fixed(d.x(a.at(arrival, r)), 1) + " " +
            fixed(y_of(static_cast<double>(a.at(into, r)) / 10), 1) + "h1";
    ++n;
    ++counts[i];
  }
  const int all = counts[0] + counts[1] + counts[2];
  const std::string p = std::to_string(phase);
  Chart chart(page, "diagram-" + p, "Phase " + p + ": coordination diagram",
              std::to_string(all) + " arrivals at the stop bar, " +
                  (all ? fixed(100.0 * counts[1] / all, 1) : std::string("0")) +
                  "% on green, " + std::to_string(counts[2]) + " on yellow, " +
                  std::to_string(counts[0]) + " on red; each dot an arrival by the time "
                  "of day and its seconds into the cycle, each cycle's green and yellow a "
                  "stroke; the band: the share on green per hour.",
              236);
  Markup& m = chart.marks();
  // The share on green per hour.
  for (const auto& [h, of_state] : dots) {
    const int n = of_state[0].second + of_state[1].second + of_state[2].second;
    if (n == 0) continue;
    const double share = static_cast<double>(of_state[1].second) / n;
    chart.hour_band(d.hour_x(h), d.hour_width(), share, Role::kSplit,
                    Markup()
                        .data("phase", p)
                        .data("hour", std::to_string(h))
                        .data("hour-arrivals", std::to_string(n))
                        .data("on-green-share", fixed(share, 2)),
                    "phase " + p + ", " + d.label(h) + ": " + fixed(share * 100, 0) + "% of " +
                        std::to_string(n) + " arrivals on green");
  }
  m.tag("text").attr("x", "4").attr("y", "11").open().text("on green").end("text");
  // The cycles' greens and yellows, a path each.
  std::string greens, yellows;
  for (size_t r : d.of("cycles")) {
    if (c.at(c_phase, r) != phase || c.missing(green, r)) continue;
    const int64_t s = c.at(start, r);
    const std::string x = fixed(d.x(s), 1);
    const double g = static_cast<double>(c.at(green, r) - s) / 10;
    const double y = c.missing(yellow, r) ? static_cast<double>(c.at(end, r) - s) / 10
                                          : static_cast<double>(c.at(yellow, r) - s) / 10;
    greens += "M" + x + " " + fixed(y_of(g), 1) + "V" + fixed(y_of(y), 1);
    if (!c.missing(yellow, r))
      yellows += "M" + x + " " + fixed(y_of(y), 1) + "V" +
                 fixed(y_of(static_cast<double>(c.at(end, r) - s) / 10), 1);
  }
  if (!greens.empty())
    m.tag("path")
        .attr("d", greens)
        .attr("class", role_class(Role::kCycleGreen))
        .titled("path", "phase " + p + ": each cycle's green");
  if (!yellows.empty())
    m.tag("path")
        .attr("d", yellows)
        .attr("class", role_class(Role::kCycleYellow))
        .titled("path", "phase " + p + ": each cycle's yellow");
  m.literal("\n");
  // The arrivals.
  for (const auto& [h, of_state] : dots) {
    for (int i = 0; i < 3; ++i) {
      const auto& [path, n] = of_state[static_cast<size_t>(i)];
      if (n == 0) continue;
      m.tag("path")
          .attr("d", path)
          .attr("class", role_class(i == 0 ? Role::kOnRed : i == 1 ? Role::kOnGreen : Role::kOnYellow))
          .data("phase", p)
          .data("hour", std::to_string(h))
          .data("arrival-state", kStates[i])
          .data("count", std::to_string(n))
          .titled("path", "phase " + p + ", " + d.label(h) + ": " + std::to_string(n) +
                              " arrivals on " + kStates[i])
          .literal("\n");
    }
  }
  // The seconds into the cycle.
  for (double v = 0; v <= top; v += 30) {
    chart.across(y_of(v), v == 0);
    m.tag("text").attr("x", kChartLeft - 4, 0).attr("y", y_of(v) + 4, 1).attr("text-anchor", "end")
        .open().text(fixed(v, 0) + " s").end("text");
  }
  // The axis's name, upright, clear of its ticks.
  const std::string mid = fixed(y_of(top / 2), 1);
  m.tag("text")
      .attr("x", "14")
      .attr("y", mid)
      .attr("text-anchor", "middle")
      .attr("transform", "rotate(-90 14 " + mid + ")")
      .open()
      .text("seconds into cycle")
      .end("text")
      .literal("\n");
  chart.time_axis(bottom + 16, &d.labels());
}

// The split failures of each phase per hour, as bars of their share of the
// hour's greens.
void draw_split_failures(Markup* page, const Day& d) {
  const TableRows& t = d.signal.table("split_failures");
  const int phase = t.column("phase"), start = t.column("green_start"),
            failure = t.column("split_failure");
  std::map<int64_t, std::array<std::array<int, 2>, kMaxHours>> phases;  // greens, failures
  int all = 0;
  for (size_t r : d.of("split_failures")) {
    auto& h = phases[t.at(phase, r)][static_cast<size_t>(d.hour_of(t.at(start, r)))];
    ++h[0];
    const bool failed = !t.missing(failure, r) && t.at(failure, r) == 1;
    h[1] += failed;
    all += failed;
  }
  if (phases.empty()) return;
  const double row = 30;
  Chart chart(page, "split-failures", "Split failures per phase and hour",
              std::to_string(all) + " split failures: greens whose stop-bar occupancy and "
              "that of the first seconds of red after them reach the threshold; each bar the "
              "share of the hour's greens, 100% at the top.",
              static_cast<double>(phases.size()) * row + 24);
  double y = 0;
  for (const auto& [number, hours] : phases) {
    const std::string p = std::to_string(number);
    chart.label(y + row / 2 + 4, "phase " + p);
    for (int h = 0; h < d.hours(); ++h) {
      const auto& c = hours[static_cast<size_t>(h)];
      if (c[1] == 0) continue;
      const double height = (row - 6) * c[1] / c[0];
      chart.rect(d.hour_x(h) + 2, y + row - 2 - height, d.hour_width() - 4, height,
                 Role::kMaxOut,
                 Markup()
                     .data("phase", p)
                     .data("hour", std::to_string(h))
                     .data("split-failures", std::to_string(c[1]))
                     .data("split-greens", std::to_string(c[0])),
                 "phase " + p + ", " + d.label(h) + ": " + std::to_string(c[1]) +
                     " split failures in " + std::to_string(c[0]) + " greens");
    }
    y += row;
  }
  chart.time_axis(y + 12, &d.labels());
}

// The approach volumes per hour.
void draw_volumes(Markup* page, const Day& d) {
  const TableRows& t = d.signal.table("approach_volume");
  const int bin = t.column("bin_start"), approach = t.column("approach"),
            volume = t.column("volume");
  // By approach and hour: the volume, -1 for an hour without a row.
  std::map<std::string, std::array<int64_t, kMaxHours>> approaches;
  int64_t most = 1;
  for (size_t r : d.of("approach_volume")) {
    auto it = approaches.find(t.text(approach, r));
    if (it == approaches.end()) {
      it = approaches.emplace(t.text(approach, r), std::array<int64_t, kMaxHours>()).first;
      it->second.fill(-1);
    }
    int64_t& v = it->second[static_cast<size_t>(d.hour_of(t.at(bin, r)))];
    v = std::max<int64_t>(v, 0) + t.at(volume, r);
  }
  if (approaches.empty()) return;
  for (const auto& [name, hours] : approaches)
    for (int64_t v : hours) most = std::max(most, v);
  const double row = 40;
  Chart chart(page, "volumes", "Approach volumes per hour",
              std::to_string(approaches.size()) + " approaches; the tallest bar " +
                  std::to_string(most) + " vehicles an hour, counted by their count detectors.",
              static_cast<double>(approaches.size()) * row + 24);
  double y = 0;
  for (const auto& [name, hours] : approaches) {
    chart.label(y + row / 2 + 4, name);
    for (int h = 0; h < d.hours(); ++h) {
      const int64_t v = hours[static_cast<size_t>(h)];
      if (v < 0) continue;
      const double height = (row - 6) * static_cast<double>(v) / static_cast<double>(most);
      chart.rect(d.hour_x(h) + 2, y + row - 2 - height, d.hour_width() - 4, height, Role::kVolume,
                 Markup()
                     .data("approach", name)
                     .data("hour", std::to_string(h))
                     .data("volume", std::to_string(v)),
                 name + ", " + d.label(h) + ": " + std::to_string(v) + " vehicles");
    }
    y += row;
  }
  chart.time_axis(y + 12, &d.labels());
}

}  // namespace

void draw_map_charts(Markup* page, const Day& d) {
  std::set<int64_t> phases;
  const TableRows& a = d.signal.table("arrivals");
  for (size_t r : d.of("arrivals")) phases.insert(a.at(a.column("phase"), r));
  for (int64_t phase : phases) draw_diagram(page, d, phase);
  draw_split_failures(page, d);
  draw_volumes(page, d);
}

std::string map_summary(const Day& d) {
  const TableRows& a = d.signal.table("arrivals");
  const TableRows& s = d.signal.table("split_failures");
  int64_t arrivals = 0, on_green = 0, failures = 0;
  for (size_t r : d.of("arrivals")) {
    ++arrivals;
    on_green += a.text(a.column("state"), r) == "green";
  }
  const int f = s.column("split_failure");
  for (size_t r : d.of("split_failures")) failures += !s.missing(f, r) && s.at(f, r) == 1;
  if (arrivals == 0 && d.of("split_failures").empty()) return "";
  return (arrivals ? fixed(100.0 * static_cast<double>(on_green) / static_cast<double>(arrivals), 1) +
                         "% arrivals on green, "
                   : std::string()) +
         std::to_string(failures) + (failures == 1 ? " split failure" : " split failures");
}
