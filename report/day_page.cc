// The page of a signal's day: its problems, then a chart a question (its
// hours, each phase's greens, terminations, the split monitor, detector
// actuations and health, pedestrians, plans, controller events and
// preemptions), each mark with its values as data- attributes and its
// hover text.

#include <algorithm>
#include <cmath>

#include "report/day.h"

std::string time_text(int64_t t) { return timestamp_text(t); }

std::string seconds_text(int64_t tenths) {
  std::string text;
  put_seconds(&text, tenths);
  return text;
}

std::string clock_text(int64_t t) { return time_text(t).substr(11, 8); }

Day::Day(const SignalRows& s, int64_t d, const std::vector<std::vector<size_t>>& r)
    : signal(s), day(d), rows(r), start_(s.day_start(d)), end_(s.day_start(d + 1)) {
  const int64_t hours = std::clamp<int64_t>((end_ - start_ + kHour - 1) / kHour, 1, kMaxHours);
  for (int h = 0; h < hours; ++h)
    labels_.push_back(s.zone == nullptr ? hour_label(h) : time(start_ + h * kHour).substr(11, 5));
}

std::string Day::time(int64_t t) const {
  if (signal.zone == nullptr) return time_text(t);
  // The zone's clocks, with the offset.
  OffsetCache offsets(signal.zone);
  TimestampText text;
  text.set_zone(&offsets);
  std::string s;
  text.put(&s, t);
  return s;
}

std::vector<std::string> hour_states(const Day& d) {
  const TableRows& logs = d.signal.table("logs");
  const int hour = logs.column("hour"), state = logs.column("state");
  std::vector<std::string> states(static_cast<size_t>(d.hours()));
  const int gap_end = logs.column("gap_end");
  for (size_t r : d.of("logs")) {
    const std::string& s = logs.text(state, r);
    if (s == "duplicate") continue;  // its hour is another log's
    if (s == "gap") {
      // Its hours of this day are missing.
      for (int64_t t = logs.at(hour, r); t < logs.at(gap_end, r) && t < d.end(); t += kHour)
        states[static_cast<size_t>(d.hour_of(t))] = "missing";
      continue;
    }
    const size_t h = static_cast<size_t>(d.hour_of(logs.at(hour, r)));
    if (h < states.size() && (states[h].empty() || s == "ok")) states[h] = s;
  }
  // The second of an hour the clocks showed twice is its log's where the
  // clocks went back in it: it has no row of its own (a missing one has).
  for (size_t h = 1; h < states.size(); ++h)
    if (states[h].empty() && d.label(static_cast<int>(h)) == d.label(static_cast<int>(h) - 1))
      states[h] = states[h - 1];
  for (std::string& s : states)
    if (s.empty()) s = "none";
  return states;
}

Role severity_role(int severity) {
  return severity >= 3 ? Role::kSevere
         : severity == 2 ? Role::kWarning
         : severity == 1 ? Role::kNotice
                         : Role::kClear;
}

const char* severity_word(int severity) {
  return severity >= 3 ? "Severe" : severity == 2 ? "Warning" : "Notice";
}

namespace {

const char* const kTerminations[] = {"gap_out", "max_out", "force_off", "skip"};
const char* const kTerminationWords[] = {"gapped out", "maxed out", "forced off", "skipped"};
const Role kTerminationRoles[] = {Role::kGapOut, Role::kMaxOut, Role::kForceOff, Role::kSkip};

// The width of an hour on a day's axis, less a pixel between hours.


// The roles of the hours' states.
Role state_role(const std::string& state) {
  return state == "ok"        ? Role::kOk
         : state == "damaged" ? Role::kDamaged
         : state == "missing" ? Role::kMissing
                              : Role::kNone;
}

// The day's problems, a line each linking the chart that shows it.
void draw_problems(Markup* page, const std::vector<Problem>& problems) {
  page->literal("<section id=\"problems\">\n<h2>Problems</h2>\n");
  if (problems.empty()) {
    page->literal("<p>None found by the thresholds listed on the index.</p>\n</section>\n");
    return;
  }
  page->literal("<ul class=\"problems\">\n");
  for (const Problem& p : problems) {
    page->tag("li")
        .data("problem", p.kind)
        .data("severity", std::to_string(p.severity))
        .open()
        .tag("i")
        .attr("class", role_class(severity_role(p.severity)))
        .open()
        .end("i")
        .tag("a")
        .attr("href", "#" + p.chart)
        .open()
        .text(std::string(severity_word(p.severity)) + ": " + p.text)
        .end("a")
        .end("li")
        .literal("\n");
  }
  page->literal("</ul>\n</section>\n");
}

// 1. The hours of the day.
void draw_hours(Markup* page, const Day& d, const std::vector<std::string>& states) {
  int counts[3] = {};
  for (const std::string& s : states)
    for (int i = 0; i < 3; ++i) counts[i] += s == (i == 0 ? "ok" : i == 1 ? "damaged" : "missing");
  Chart chart(page, "hours", "Hours of the day",
              std::to_string(counts[0]) + " hours ok, " + std::to_string(counts[1]) +
                  " damaged, " + std::to_string(counts[2]) + " missing, " +
                  std::to_string(d.hours() - counts[0] - counts[1] - counts[2]) + " without a log.",
              44);
  for (int h = 0; h < d.hours(); ++h) {
    const std::string& s = states[static_cast<size_t>(h)];
    chart.rect(d.hour_x(h), 4, d.hour_width() - 1, 20, state_role(s),
               Markup().data("hour", std::to_string(h)).data("state", s),
               d.label(h) + " " + (s == "none" ? "no log" : s));
  }
  chart.time_axis(32, &d.labels());
}

// A step of gridlines for values up to `top` that draws no more than 6.
double grid_step(double top) {
  for (double step : {1.0, 2.0, 5.0, 10.0, 20.0, 30.0, 60.0, 120.0, 300.0, 600.0})
    if (top / step <= 6) return step;
  return top / 6;
}

// Gridlines across a chart from `bottom` (value 0) up to `top_y` (value
// `top`), each labelled with its value and `unit`; the axis named `name`.
void draw_grid(Chart* chart, double top, double bottom, double top_y, const char* unit,
               const std::string& name) {
  Markup& m = chart->marks();
  const double step = grid_step(top);
  for (double v = 0; v <= top + 1e-9; v += step) {
    const double y = scale(v, 0, top, bottom, top_y);
    chart->across(y, v == 0);
    m.tag("text")
        .attr("x", kChartLeft - 4, 0)
        .attr("y", y + 4, 1)
        .attr("text-anchor", "end")
        .open()
        .text(fixed(v, 0) + unit)
        .end("text");
  }
  m.tag("text")
      .attr("x", "4")
      .attr("y", scale(top / 2, 0, top, bottom, top_y), 1)
      .open()
      .text(name)
      .end("text")
      .literal("\n");
}

// 2. The greens of one phase, and its share of max outs by hour.
struct Greens {
  int64_t phase;
  std::vector<size_t> rows;
  int64_t longest = 10;  // tenths
  int greens[kMaxHours] = {}, max_outs[kMaxHours] = {}, ends[4] = {};
};

std::map<int64_t, Greens> greens_of(const Day& d) {
  const TableRows& t = d.signal.table("phase_intervals");
  const int phase = t.column("phase"), start = t.column("green_start"),
            green = t.column("green"), term = t.column("termination");
  std::map<int64_t, Greens> phases;
  for (size_t r : d.of("phase_intervals")) {
    Greens& g = phases[t.at(phase, r)];
    g.phase = t.at(phase, r);
    g.rows.push_back(r);
    g.longest = std::max(g.longest, t.at(green, r));
    const int h = d.hour_of(t.at(start, r));
    ++g.greens[h];
    const std::string& e = t.text(term, r);
    g.max_outs[h] += e == "max_out";
    ++g.ends[e == "gap_out" ? 0 : e == "max_out" ? 1 : e == "force_off" ? 2 : 3];
  }
  return phases;
}

void draw_greens(Markup* page, const Day& d, const Greens& g) {
  const TableRows& t = d.signal.table("phase_intervals");
  const int start = t.column("green_start"), green = t.column("green"),
            term = t.column("termination");
  const double longest = static_cast<double>(g.longest) / 10;
  const double step = grid_step(longest);
  const double top = std::ceil(longest / step) * step;  // seconds
  const std::string p = std::to_string(g.phase);
  Chart chart(page, "greens-" + p, "Phase " + p + ": greens",
              std::to_string(g.rows.size()) + " greens; " + std::to_string(g.ends[0]) +
                  " gapped out, " + std::to_string(g.ends[1]) + " maxed out, " +
                  std::to_string(g.ends[2]) + " forced off, " + std::to_string(g.ends[3]) +
                  " without a termination. Longest " + seconds_text(g.longest) + " s.",
              150);
  Markup& m = chart.marks();
  // The max-out share of each hour, as a band along the top.
  for (int h = 0; h < d.hours(); ++h) {
    if (g.greens[h] == 0) continue;
    const double share = static_cast<double>(g.max_outs[h]) / g.greens[h];
    chart.hour_band(d.hour_x(h), d.hour_width(), share, Role::kShare,
                    Markup()
                        .data("phase", p)
                        .data("hour", std::to_string(h))
                        .data("greens", std::to_string(g.greens[h]))
                        .data("max-out-share", fixed(share, 2)),
                    "phase " + p + ", " + d.label(h) + ": " + fixed(share * 100, 0) + "% of " +
                        std::to_string(g.greens[h]) + " greens maxed out");
  }
  m.literal("\n");
  m.tag("text").attr("x", "4").attr("y", "11").open().text("max out").end("text");
  draw_grid(&chart, top, 120, 20, " s", "green");
  // A group a termination gives its greens their colour, and the style
  // sheet their size: a busy day has tens of thousands, which a browser
  // draws faster without a rule to match for each.
  for (int i = 0; i < 4; ++i) {
    const std::string group = i < 3 ? kTerminations[i] : "none";
    m.tag("g").attr("class", role_class(i < 3 ? kTerminationRoles[i] : Role::kNoTerm)).open();
    m.literal("\n");
    for (size_t r : g.rows) {
      if (t.text(term, r) != group) continue;
      const int64_t tenths = t.at(green, r);
      m.tag("circle")
          .attr("cx", d.x(t.at(start, r)), 1)
          .attr("cy", scale(static_cast<double>(tenths) / 10, 0, top, 120, 20), 1)
          .data("phase", p)
          .data("start", d.time(t.at(start, r)))
          .data("green", seconds_text(tenths))
          .data("termination", group)
          .titled("circle", d.clock(t.at(start, r)) + " " + seconds_text(tenths) + " s " +
                                (i < 3 ? kTerminationWords[i] : "no termination"))
          .literal("\n");
    }
    m.end("g").literal("\n");
  }
  chart.time_axis(136, &d.labels());
}

// 3. Terminations and skips per phase and hour, as shares of the hour's
// greens and skips.
void draw_terminations(Markup* page, const Day& d) {
  const TableRows& t = d.signal.table("terminations");
  const int bin = t.column("bin_start"), phase = t.column("phase"),
            first = t.column("gap_out"), greens = t.column("greens");
  // By phase and hour: gap outs, max outs, force offs, skips, greens.
  std::map<int64_t, std::vector<std::array<int64_t, 5>>> phases;
  int64_t totals[5] = {};
  for (size_t r : d.of("terminations")) {
    auto& hours = phases[t.at(phase, r)];
    hours.resize(kMaxHours, {0, 0, 0, 0, 0});
    auto& counts = hours[static_cast<size_t>(d.hour_of(t.at(bin, r)))];
    for (int i = 0; i < 5; ++i) {
      const int64_t n = t.at(i < 4 ? first + i : greens, r);
      counts[static_cast<size_t>(i)] += n;
      totals[i] += n;
    }
  }
  const double row = 40;
  Chart chart(page, "terminations", "Terminations and skips per phase and hour",
              std::to_string(totals[0]) + " gap outs, " + std::to_string(totals[1]) +
                  " max outs, " + std::to_string(totals[2]) + " force offs and " +
                  std::to_string(totals[3]) + " skips of " + std::to_string(totals[4]) +
                  " greens over " + std::to_string(phases.size()) +
                  " phases; each bar is the hour's greens and skips, 100% at the top.",
              static_cast<double>(phases.size()) * row + 24);
  double y = 0;
  for (const auto& [phase_number, hours] : phases) {
    const std::string p = std::to_string(phase_number);
    chart.label(y + row / 2 + 4, "phase " + p);
    chart.across(y + 4 + (row - 6) / 2, false);
    for (int h = 0; h < d.hours(); ++h) {
      const auto& c = hours[static_cast<size_t>(h)];
      // The greens and skips of the hour; more where the terminations
      // logged outnumber them.
      const int64_t whole = std::max({c[4] + c[3], c[0] + c[1] + c[2] + c[3], int64_t{1}});
      double base = y + row - 2;
      for (int i = 0; i < 4; ++i) {
        const int64_t n = c[static_cast<size_t>(i)];
        if (n == 0) continue;
        const double share = static_cast<double>(n) / static_cast<double>(whole);
        const double height = (row - 6) * share;
        base -= height;
        chart.rect(d.hour_x(h) + 2, base, d.hour_width() - 4, height, kTerminationRoles[i],
                   Markup()
                       .data("phase", p)
                       .data("hour", std::to_string(h))
                       .data("termination", kTerminations[i])
                       .data("count", std::to_string(n))
                       .data("greens", std::to_string(c[4]))
                       .data("share", fixed(share, 2)),
                   "phase " + p + ", " + d.label(h) + ": " + std::to_string(n) + " " +
                       kTerminationWords[i] + " (" + fixed(share * 100, 0) + "% of " +
                       std::to_string(c[4]) + " greens" +
                       (c[3] > 0 ? " and " + std::to_string(c[3]) + " skips" : "") + ")");
      }
    }
    y += row;
  }
  chart.time_axis(y + 12, &d.labels());
}

// 4. The split monitor: the splits the greens of each hour took (their mean
// as the bar, the longest as a tick) against the phase's programmed split,
// for the phases with one (a green's split alone is its greens' chart
// again).
void draw_splits(Markup* page, const Day& d) {
  const TableRows& t = d.signal.table("phase_intervals");
  const int phase = t.column("phase"), start = t.column("green_start"),
            split = t.column("split"), programmed = t.column("programmed_split");
  struct Hour {
    int64_t greens = 0, sum = 0, longest = 0;  // of the splits, tenths
    int64_t programmed = MeasureColumn::kMissing;  // seconds, the hour's last
  };
  std::map<int64_t, std::array<Hour, kMaxHours>> phases;
  for (size_t r : d.of("phase_intervals"))
    if (!t.missing(programmed, r)) phases[t.at(phase, r)];
  double top = 10;  // seconds
  for (size_t r : d.of("phase_intervals")) {
    auto it = phases.find(t.at(phase, r));
    if (it == phases.end()) continue;
    Hour& h = it->second[static_cast<size_t>(d.hour_of(t.at(start, r)))];
    if (!t.missing(programmed, r)) {
      h.programmed = t.at(programmed, r);
      top = std::max(top, static_cast<double>(h.programmed));
    }
    if (t.missing(split, r)) continue;
    ++h.greens;
    h.sum += t.at(split, r);
    h.longest = std::max(h.longest, t.at(split, r));
    top = std::max(top, static_cast<double>(h.longest) / 10);
  }
  if (phases.empty()) return;
  top = std::ceil(top / grid_step(top)) * grid_step(top);
  const double row = 50;
  Chart chart(page, "splits", "Split monitor: splits taken against the programmed splits",
              "For each phase with a programmed split and hour: the mean split its greens took "
              "(green, yellow and red clearance) as the bar, the longest as the tick above, the "
              "programmed split as the line; 0 to " +
                  fixed(top, 0) + " s in each row.",
              static_cast<double>(phases.size()) * row + 24);
  Markup& m = chart.marks();
  double y = 0;
  for (const auto& [number, hours] : phases) {
    const std::string p = std::to_string(number);
    chart.label(y + row / 2 + 4, "phase " + p);
    auto y_of = [&](double seconds) { return scale(seconds, 0, top, y + row - 4, y + 4); };
    std::string line;  // the programmed split, hour by hour
    for (int h = 0; h < d.hours(); ++h) {
      const Hour& hour = hours[static_cast<size_t>(h)];
      const double x = d.hour_x(h) + 2, w = d.hour_width() - 4;
      const std::string set =
          hour.programmed == MeasureColumn::kMissing ? "" : std::to_string(hour.programmed);
      if (!set.empty())
        line += "M" + fixed(x, 1) + " " + fixed(y_of(static_cast<double>(hour.programmed)), 1) +
                "h" + fixed(w, 1);
      if (hour.greens == 0) continue;
      const double mean = static_cast<double>(hour.sum) / 10 / static_cast<double>(hour.greens);
      const std::string mean_text = fixed(mean, 1);
      chart.rect(x, y_of(mean), w, y_of(0) - y_of(mean), Role::kSplit,
                 Markup()
                     .data("phase", p)
                     .data("hour", std::to_string(h))
                     .data("split-greens", std::to_string(hour.greens))
                     .data("split-mean", mean_text)
                     .data("split-longest", seconds_text(hour.longest))
                     .data("programmed-split", set),
                 "phase " + p + ", " + d.label(h) + ": " + std::to_string(hour.greens) +
                     " greens, split " + mean_text + " s on average, up to " +
                     seconds_text(hour.longest) + " s" +
                     (set.empty() ? "" : "; programmed " + set + " s"));
      const double top_y = y_of(static_cast<double>(hour.longest) / 10);
      m.tag("path")
          .attr("class", "axis")
          .attr("d", "M" + fixed(x, 1) + " " + fixed(top_y, 1) + "h" + fixed(w, 1))
          .titled("path", "phase " + p + ", " + d.label(h) + ": the longest split " +
                              seconds_text(hour.longest) + " s");
    }
    if (!line.empty())
      m.tag("path")
          .attr("class", role_class(Role::kProgrammed))
          .attr("d", line)
          .titled("path", "phase " + p + ": the programmed split in force");
    m.literal("\n");
    y += row;
  }
  chart.time_axis(y + 12, &d.labels());
}

// 5. Detector actuations per channel and bin, on a scale of actuations a
// minute that every page shares: full colour at 30 a minute or more.
struct Channel {
  std::string name;
  std::vector<size_t> rows;
  std::vector<bool> quiet;  // by row: in a run of an hour or more without one
};

struct Actuations {
  std::map<int64_t, Channel> channels;
  int64_t most = 1, total = 0;
  std::vector<std::string> silent;  // channels silent for 60 covered minutes
};

Actuations actuations_of(const Day& d, int bin_minutes) {
  const TableRows& t = d.signal.table("actuations");
  const int bin = t.column("bin_start"), detector = t.column("detector"),
            count = t.column("actuations");
  Actuations a;
  for (size_t r : d.of("actuations")) {
    a.channels[t.at(detector, r)].rows.push_back(r);
    a.most = std::max(a.most, t.at(count, r));
    a.total += t.at(count, r);
  }
  for (auto& [number, c] : a.channels) {
    c.name = std::to_string(number);
    // A run of bins without actuations, each right after the one before,
    // of an hour or more: every bin of a covered hour has a row.
    const std::vector<size_t>& rows = c.rows;
    c.quiet.assign(rows.size(), false);
    for (size_t i = 0; i < rows.size();) {
      size_t j = i;
      while (j < rows.size() && t.at(count, rows[j]) == 0 &&
             (j == i || t.at(bin, rows[j]) - t.at(bin, rows[j - 1]) ==
                            bin_minutes * 60 * kSecond))
        ++j;
      if (j > i && static_cast<int64_t>(j - i) * bin_minutes >= 60)
        std::fill(c.quiet.begin() + static_cast<ptrdiff_t>(i),
                  c.quiet.begin() + static_cast<ptrdiff_t>(j), true);
      i = std::max(j, i + 1);
    }
    if (std::find(c.quiet.begin(), c.quiet.end(), true) != c.quiet.end())
      a.silent.push_back(c.name);
  }
  return a;
}

void draw_actuations(Markup* page, const Day& d, const Actuations& a, int bin_minutes) {
  const TableRows& t = d.signal.table("actuations");
  const int bin = t.column("bin_start"), count = t.column("actuations");
  const double row = 10, cell = (kChartRight - kChartLeft) * bin_minutes / (60.0 * d.hours());
  std::string summary = std::to_string(a.total) + " actuations on " +
                        std::to_string(a.channels.size()) + " channels; most in a bin " +
                        std::to_string(a.most) + ". ";
  if (a.silent.empty()) {
    summary += "No channel was silent for 60 covered minutes.";
  } else {
    summary += "Silent for 60 covered minutes or more: channel";
    summary += a.silent.size() > 1 ? "s " : " ";
    for (size_t i = 0; i < a.silent.size(); ++i) summary += (i ? ", " : "") + a.silent[i];
    summary += ".";
  }
  summary += " Colour: actuations a minute, full at 30 or more, the same on every page.";
  page->tag("style").open().text(".heat{width:" + fixed(cell, 1) + "px;height:" +
                                 fixed(row - 1, 0) + "px}");
  page->end("style").literal("\n");
  Chart chart(page, "actuations", "Detector actuations per channel and bin", summary,
              static_cast<double>(a.channels.size()) * row + 24);
  Markup& m = chart.marks();
  const double full = std::log1p(30.0);
  double y = 0;
  for (const auto& [number, c] : a.channels) {
    chart.label(y + 9, c.name);
    for (size_t i = 0; i < c.rows.size(); ++i) {
      const size_t r = c.rows[i];
      const int64_t n = t.at(count, r);
      const double rate = static_cast<double>(n) / bin_minutes;
      // The cell's size comes from the style sheet, as the circles' do.
      m.tag("rect")
          .attr("x", d.x(t.at(bin, r)), 1)
          .attr("y", y, 0)
          .attr("class", std::string(role_class(Role::kHeat)) +
                             (c.quiet[i] ? std::string(" ") + role_class(Role::kSilent) : ""))
          .attr("fill-opacity",
                n == 0 ? 0.03 : 0.15 + 0.85 * std::min(1.0, std::log1p(rate) / full), 2)
          .data("detector", c.name)
          .data("bin", d.time(t.at(bin, r)))
          .data("actuations", std::to_string(n))
          .titled("rect", "detector " + c.name + ", " + d.time(t.at(bin, r)).substr(11, 5) +
                              ": " + std::to_string(n) + " actuations" +
                              (c.quiet[i] ? ", in an hour or more without one" : ""))
          .literal("\n");
    }
    y += row;
  }
  chart.time_axis(y + 12, &d.labels());
}

// 6. Detector health: each channel's occupancy by hour, on one scale for
// every page, its flags outlined and said in words.
void draw_health(Markup* page, const Day& d) {
  const TableRows& t = d.signal.table("detector_health");
  const int hour = t.column("hour"), detector = t.column("detector"),
            actuations = t.column("actuations"), on = t.column("on_seconds"),
            occupancy = t.column("occupancy"), longest = t.column("longest_on"),
            flags = t.column("flags");
  std::map<int64_t, std::vector<size_t>> channels;
  for (size_t r : d.of("detector_health")) channels[t.at(detector, r)].push_back(r);
  if (channels.empty()) return;
  // The flags in words, by channel: "16: stuck on 10-11, fault 10".
  static const char* const kFlags[] = {"stuck_on", "chatter", "silent", "fault"};
  static const char* const kWords[] = {"stuck on", "chattering", "silent", "fault alarm"};
  static const Role kRoles[] = {Role::kStuck, Role::kChatter, Role::kSilent, Role::kFault};
  std::string said;
  for (const auto& [number, rows] : channels) {
    std::string of_channel;
    for (int f = 0; f < 4; ++f) {
      std::vector<int> hours;
      for (size_t r : rows)
        if (t.text(flags, r).find(kFlags[f]) != std::string::npos) hours.push_back(d.hour_of(t.at(hour, r)));
      if (!hours.empty())
        of_channel += std::string(of_channel.empty() ? "" : ", ") + kWords[f] +
                      (hours.size() == 1 ? " in hour " : " in hours ") + hours_text(d.clock_hours(hours));
    }
    if (!of_channel.empty())
      said += (said.empty() ? "" : "; ") + ("detector " + std::to_string(number) + ": " + of_channel);
  }
  const double row = 14;
  Chart chart(page, "detectors", "Detector health: occupancy and flags per channel and hour",
              (said.empty() ? std::string("No detector was stuck, chattering, silent or faulted")
                            : "Flagged: " + said) +
                  ". Colour: the share of the hour the channel was on, full at 50% or more, "
                  "the same on every page.",
              static_cast<double>(channels.size()) * row + 24);
  Markup& m = chart.marks();
  double y = 0;
  for (const auto& [number, rows] : channels) {
    const std::string n = std::to_string(number);
    chart.label(y + 11, n);
    for (size_t r : rows) {
      const int h = d.hour_of(t.at(hour, r));
      const double x = d.hour_x(h);
      const double share = static_cast<double>(t.at(occupancy, r)) / 10000;
      const std::string& f = t.text(flags, r);
      std::string words;
      for (int i = 0; i < 4; ++i)
        if (f.find(kFlags[i]) != std::string::npos) words += std::string(", ") + kWords[i];
      m.tag("rect")
          .attr("x", x, 1)
          .attr("y", y + 1, 0)
          .attr("width", d.hour_width() - 1, 1)
          .attr("height", row - 2, 0)
          .attr("class", role_class(Role::kOccupancy))
          .attr("fill-opacity", 0.04 + 0.96 * std::min(1.0, std::sqrt(share / 0.5)), 2)
          .data("detector", n)
          .data("hour", std::to_string(h))
          .data("occupancy", fixed(share, 4))
          .data("hour-actuations", std::to_string(t.at(actuations, r)))
          .data("on-seconds", seconds_text(t.at(on, r)))
          .data("longest-on", seconds_text(t.at(longest, r)))
          .data("flags", f)
          .titled("rect", "detector " + n + ", " + d.label(h) + ": on " +
                              fixed(share * 100, 1) + "% of the hour, " +
                              std::to_string(t.at(actuations, r)) + " actuations, longest on " +
                              seconds_text(t.at(longest, r)) + " s" + words)
          .literal("\n");
      // A flag's outline, each inset a little more than the one before.
      double inset = 0.5;
      for (int i = 0; i < 4; ++i) {
        if (f.find(kFlags[i]) == std::string::npos) continue;
        m.tag("rect")
            .attr("x", x + inset, 1)
            .attr("y", y + 1 + inset, 1)
            .attr("width", d.hour_width() - 1 - 2 * inset, 1)
            .attr("height", row - 2 - 2 * inset, 1)
            .attr("class", role_class(kRoles[i]))
            .titled("rect", "detector " + n + ", " + d.label(h) + ": " + kWords[i]);
        inset += 2;
      }
    }
    y += row;
  }
  chart.time_axis(y + 12, &d.labels());
}

// 7. Pedestrians: the mean delay per phase and hour as the bar, walks and
// calls as its label.
void draw_pedestrians(Markup* page, const Day& d, const MeasureSettings& settings) {
  const TableRows& t = d.signal.table("ped");
  const int bin = t.column("bin_start"), phase = t.column("phase"), walks = t.column("walks"),
            calls = t.column("calls"), delay = t.column("delay_mean"),
            samples = t.column("delay_samples");
  struct Hour {
    int64_t walks = 0, calls = 0, samples = 0;
    double delay = 0;  // seconds, summed over the samples
  };
  std::map<int64_t, std::vector<Hour>> phases;
  int64_t all_walks = 0;
  for (size_t r : d.of("ped")) {
    auto& hours = phases[t.at(phase, r)];
    hours.resize(kMaxHours);
    Hour& h = hours[static_cast<size_t>(d.hour_of(t.at(bin, r)))];
    h.walks += t.at(walks, r);
    h.calls += t.at(calls, r);
    all_walks += t.at(walks, r);
    if (!t.missing(delay, r)) {
      h.samples += t.at(samples, r);
      h.delay += static_cast<double>(t.at(delay, r)) / 10 * static_cast<double>(t.at(samples, r));
    }
  }
  // One scale for every page: up to the delay threshold, or the day's
  // longest mean past it.
  double top = settings.ped_delay_seconds;
  for (const auto& [p, hours] : phases)
    for (const Hour& h : hours)
      if (h.samples > 0) top = std::max(top, h.delay / static_cast<double>(h.samples));
  top = std::ceil(top / grid_step(top)) * grid_step(top);
  const double row = 40;
  Chart chart(page, "ped", "Pedestrian delay and walks per phase and hour",
              std::to_string(all_walks) + " walks over " + std::to_string(phases.size()) +
                  " phases; bar height: the mean delay from call to walk, 0 to " +
                  fixed(top, 0) + " s (the line: " + std::to_string(settings.ped_delay_seconds) +
                  " s); label: walks in the hour.",
              static_cast<double>(phases.size()) * row + 24);
  Markup& m = chart.marks();
  double y = 0;
  for (const auto& [phase_number, hours] : phases) {
    const std::string p = std::to_string(phase_number);
    chart.label(y + row / 2 + 4, "phase " + p);
    const double line = scale(settings.ped_delay_seconds, 0, top, y + row - 2, y + 12);
    chart.across(line, false);
    for (int h = 0; h < d.hours(); ++h) {
      const Hour& hour = hours[static_cast<size_t>(h)];
      if (hour.walks == 0 && hour.calls == 0) continue;
      const double mean = hour.samples > 0 ? hour.delay / static_cast<double>(hour.samples) : 0;
      const std::string mean_text = hour.samples > 0 ? fixed(mean, 1) : "";
      const double height = (y + row - 2) - scale(mean, 0, top, y + row - 2, y + 12);
      chart.rect(d.hour_x(h) + 2, y + row - 2 - height, d.hour_width() - 4, height, Role::kDelay,
                 Markup()
                     .data("phase", p)
                     .data("hour", std::to_string(h))
                     .data("walks", std::to_string(hour.walks))
                     .data("calls", std::to_string(hour.calls))
                     .data("delay-mean", mean_text)
                     .data("delay-samples", std::to_string(hour.samples)),
                 "phase " + p + ", " + d.label(h) + ": " + std::to_string(hour.walks) +
                     " walks, " + std::to_string(hour.calls) + " calls" +
                     (mean_text.empty() ? "" : ", mean delay " + mean_text + " s"));
      m.tag("text")
          .attr("x", d.hour_x(h) + 3, 1)
          .attr("y", y + 10, 0)
          .open()
          .text(std::to_string(hour.walks))
          .end("text")
          .literal("\n");
    }
    y += row;
  }
  chart.time_axis(y + 12, &d.labels());
}

// A row of ticks, a mark an hour for each name: a day may hold a change
// every second, so that an hour's times and values are listed in its mark
// and its ticks drawn a pixel apart at most.
class TickRow {
 public:
  TickRow(Markup* m, const char* key, std::string name, Role role, double top, double height)
      : m_(m), key_(key), name_(std::move(name)), role_(role), top_(top), height_(height) {}
  ~TickRow() { put(); }

  void add(const Day& d, int64_t at, const std::string& value) {
    if (d.hour_of(at) != hour_) {
      put();
      hour_ = d.hour_of(at);
    }
    const double x = std::round(d.x(at));
    if (x != last_x_)
      ticks_ += "M" + fixed(x, 0) + " " + fixed(top_, 0) + "v" + fixed(height_, 0);
    last_x_ = x;
    changes_ += (count_ ? " " : "") + d.time(at).substr(11) + "=" + value;
    ++count_;
  }

 private:
  void put() {
    if (count_ == 0) return;
    m_->tag("path")
        .attr("d", ticks_)
        .attr("class", role_class(role_))
        .data(key_, name_)
        .data("hour", std::to_string(hour_))
        .data("count", std::to_string(count_))
        .data("changes", changes_)
        .titled("path", name_ + ", " + hour_label(hour_) + ": " +
                            (count_ > 12 ? std::to_string(count_) + " changes" : changes_))
        .literal("\n");
    ticks_.clear();
    changes_.clear();
    count_ = 0;
    last_x_ = -1;
  }

  Markup* m_;
  const char* key_;
  std::string name_;
  Role role_;
  double top_, height_;
  int hour_ = -1, count_ = 0;
  std::string ticks_, changes_;
  double last_x_ = -1;
};

// The plan in force through the day as bands: from each pattern change
// (or the day's start, with the pattern in force then) to the next,
// labelled with its pattern, cycle length and offset, or free.
void draw_plan_bands(Chart* chart, const Day& d, double y, double height) {
  const TableRows& c = d.signal.table("coordination");
  const int at = c.column("timestamp"), item = c.column("item"), value = c.column("value");
  const int64_t day_start = d.start(), day_end = d.end();
  struct Band {
    int64_t from, to, pattern, cycle = -1, offset = -1;
  };
  std::vector<Band> bands;
  int64_t cycle = -1, offset = -1;
  // The signal's rows are in time order: those before the day give what is
  // in force at its start.
  for (size_t r = 0; r < c.rows(); ++r) {
    const int64_t t = c.at(at, r);
    if (t >= day_end) break;
    const std::string& i = c.text(item, r);
    if (i == "pattern") {
      const int64_t from = std::max(t, day_start);
      if (!bands.empty() && bands.back().from == from) bands.pop_back();
      if (!bands.empty()) bands.back().to = from;
      bands.push_back({from, day_end, c.at(value, r), cycle, offset});
    } else if (i == "cycle_length" || i == "offset") {
      (i == "cycle_length" ? cycle : offset) = c.at(value, r);
      // A change within a second of its pattern's is the pattern's.
      if (!bands.empty() && t - bands.back().from <= kSecond)
        (i == "cycle_length" ? bands.back().cycle : bands.back().offset) = c.at(value, r);
    }
  }
  chart->label(y + height / 2 + 4, "plan");
  Markup& m = chart->marks();
  for (const Band& b : bands) {
    if (b.to <= day_start) continue;
    const bool free = b.pattern == 254 || b.pattern == 255;
    const std::string label =
        b.pattern == 254   ? "free"
        : b.pattern == 255 ? "flash"
                           : "pattern " + std::to_string(b.pattern) +
                                 (b.cycle >= 0 ? ", cycle " + std::to_string(b.cycle) + " s" : "") +
                                 (b.offset >= 0 ? ", offset " + std::to_string(b.offset) + " s" : "");
    // On the band, as much of it as fits (some 6 pixels a letter).
    const std::string brief =
        free ? label
             : "P" + std::to_string(b.pattern) +
                   (b.cycle >= 0 ? " " + std::to_string(b.cycle) + "/" +
                                       (b.offset >= 0 ? std::to_string(b.offset) : "-")
                                 : "");
    const double x = d.x(b.from), w = d.x(b.to) - x;
    m.tag("rect")
        .attr("x", x, 1)
        .attr("y", y + 2, 0)
        .attr("width", std::max(w, 0.5), 1)
        .attr("height", height - 4, 0)
        .attr("class", role_class(free ? Role::kFree : Role::kPlan))
        .data("plan-pattern", std::to_string(b.pattern))
        .data("plan-from", d.time(b.from))
        .data("plan-to", d.time(b.to))
        .data("plan-cycle", b.cycle >= 0 ? std::to_string(b.cycle) : "")
        .data("plan-offset", b.offset >= 0 ? std::to_string(b.offset) : "")
        .titled("rect", d.clock(b.from) + " to " +
                            (b.to == day_end ? std::string("24:00:00") : d.clock(b.to)) + ": " +
                            label);
    const std::string& shown = static_cast<double>(label.size()) * 6 + 6 < w ? label : brief;
    if (static_cast<double>(shown.size()) * 6 + 6 < w)
      m.tag("text").attr("x", x + 3, 1).attr("y", y + height / 2 + 4, 0).open().text(shown).end("text");
    m.literal("\n");
  }
}

// 8. Plans, controller events and preemptions on the time axis.
void draw_events(Markup* page, const Day& d) {
  const TableRows& c = d.signal.table("coordination");
  const TableRows& p = d.signal.table("preemption");
  const TableRows& k = d.signal.table("controller_events");
  const int at_column = c.column("timestamp"), item_column = c.column("item"),
            value = c.column("value");
  const std::vector<size_t>& changes_rows = d.of("coordination");
  const std::vector<size_t>& preemption_rows = d.of("preemption");
  const std::vector<size_t>& controller_rows = d.of("controller_events");
  std::set<int64_t> preempts;
  for (size_t r : preemption_rows) preempts.insert(p.at(p.column("preempt"), r));
  std::set<std::string> events;
  for (size_t r : controller_rows) events.insert(k.text(k.column("event"), r));
  const double row = 22;
  size_t plan_changes = 0;  // split changes and ring yields are not drawn here
  for (size_t r : changes_rows) {
    const std::string& item = c.text(item_column, r);
    plan_changes += item == "pattern" || item == "cycle_length" || item == "offset";
  }
  Chart chart(page, "events", "Plans, controller events and preemptions",
              std::to_string(plan_changes) + " changes of pattern, cycle length or offset; " +
                  std::to_string(controller_rows.size()) + " controller events; " +
                  std::to_string(preemption_rows.size()) +
                  " preemptions, each from input on to off with its time to entry, track "
                  "clearance, dwell and exit.",
              (4 + static_cast<double>(events.size() + preempts.size())) * row + 24);
  Markup& m = chart.marks();
  draw_plan_bands(&chart, d, 0, row);
  const Role kItemRoles[] = {Role::kPattern, Role::kCycleLength, Role::kOffset};
  double y = row;
  for (const Role role : kItemRoles) {
    const char* item = role_class(role);
    chart.label(y + 15, item);
    TickRow ticks(&m, "item", item, role, y + 3, row - 6);
    for (size_t r : changes_rows)
      if (c.text(item_column, r) == item)
        ticks.add(d, c.at(at_column, r), std::to_string(c.at(value, r)));
    y += row;
  }
  // The controller's events, a row each.
  for (const std::string& event : events) {
    std::string words = event;
    std::replace(words.begin(), words.end(), '_', ' ');
    chart.label(y + 15, words);
    TickRow ticks(&m, "event", event, Role::kController, y + 3, row - 6);
    const int at = k.column("timestamp"), v = k.column("value"), e = k.column("event");
    for (size_t r : controller_rows)
      if (k.text(e, r) == event)
        ticks.add(d, k.at(at, r), k.missing(v, r) ? "" : std::to_string(k.at(v, r)));
    y += row;
  }
  const int preempt = p.column("preempt"), input_on = p.column("input_on"),
            input_off = p.column("input_off"), duration = p.column("duration");
  const int64_t day_end = d.end();
  for (int64_t number : preempts) {
    const std::string n = std::to_string(number);
    chart.label(y + 15, "preempt " + n);
    for (size_t r : preemption_rows) {
      if (p.at(preempt, r) != number) continue;
      const int64_t on = p.at(input_on, r);
      const bool ended = !p.missing(input_off, r);
      const int64_t off = ended ? std::min(p.at(input_off, r), day_end) : day_end;
      auto seconds = [&](const char* column) {
        const int i = p.column(column);
        return p.missing(i, r) ? std::string() : seconds_text(p.at(i, r));
      };
      auto flag = [&](const char* column) {
        const int i = p.column(column);
        return p.missing(i, r) ? std::string() : std::to_string(p.at(i, r));
      };
      std::string tip = "preempt " + n + ": input on " + d.clock(on) +
                        (ended ? ", off " + d.clock(p.at(input_off, r)) + " (" +
                                     seconds_text(p.at(duration, r)) + " s)"
                               : ", not seen off");
      const char* const kParts[] = {"entry", "track_clearance", "dwell", "exit", "gate_down"};
      const char* const kPartWords[] = {"entry after", "track clearance", "dwell", "exit after",
                                        "gates down after"};
      for (int i = 0; i < 5; ++i)
        if (!seconds(kParts[i]).empty())
          tip += std::string(", ") + kPartWords[i] + " " + seconds(kParts[i]) + " s";
      if (flag("max_presence") == "1") tip += ", max presence";
      if (flag("link") == "1") tip += ", linked";
      const double x_on = d.x(on);
      m.tag("rect")
          .attr("x", x_on, 1)
          .attr("y", y + 4, 0)
          .attr("width", std::max(2.0, d.x(off) - x_on), 1)
          .attr("height", row - 8, 0)
          .attr("class", role_class(Role::kPreempt))
          .data("preempt", n)
          .data("input-on", d.time(on))
          .data("input-off", ended ? d.time(p.at(input_off, r)) : "")
          .data("duration", ended ? seconds_text(p.at(duration, r)) : "")
          .data("entry", seconds("entry"))
          .data("track-clearance", seconds("track_clearance"))
          .data("dwell", seconds("dwell"))
          .data("exit", seconds("exit"))
          .data("gate-down", seconds("gate_down"))
          .data("max-presence", flag("max_presence"))
          .data("link", flag("link"))
          .titled("rect", tip)
          .literal("\n");
      // Its service, in order: to entry, track clearance, dwell, and from
      // exit to input off.
      auto part = [&](int64_t from, int64_t to, Role role) {
        if (to <= from) return;
        m.tag("rect")
            .attr("x", d.x(std::min(from, day_end)), 1)
            .attr("y", y + 6, 0)
            .attr("width", std::max(1.0, d.x(std::min(to, day_end)) -
                                             d.x(std::min(from, day_end))),
                  1)
            .attr("height", row - 12, 0)
            .attr("class", role_class(role))
            .titled("rect", tip);
      };
      const int entry = p.column("entry"), track = p.column("track_clearance"),
                dwell = p.column("dwell"), exit = p.column("exit");
      int64_t t = on;
      const struct {
        int column;
        Role role;
      } kService[] = {{entry, Role::kEntry}, {track, Role::kTrackClearance}, {dwell, Role::kDwell}};
      for (const auto& s : kService) {
        if (p.missing(s.column, r)) continue;
        const int64_t from = t;
        t += p.at(s.column, r);
        part(from, t, s.role);
      }
      if (!p.missing(exit, r)) {
        const int64_t from = on + p.at(exit, r);
        part(from, std::max(off, from + kSecond), Role::kExit);
      }
      m.literal("\n");
    }
    y += row;
  }
  chart.time_axis(y + 12, &d.labels());
}

// 9. Each preemption's service in words and numbers: the bars above are a
// pixel or two wide on a day's axis.
void draw_service(Markup* page, const Day& d) {
  const TableRows& p = d.signal.table("preemption");
  const std::vector<size_t>& rows = d.of("preemption");
  if (rows.empty()) return;
  const size_t kMost = 200;
  static const char* const kColumns[] = {"preempt", "input_on", "input_off", "duration",
                                         "entry", "track_clearance", "dwell", "exit",
                                         "gate_down", "max_presence", "link"};
  static const char* const kHeads[] = {"Preempt", "Input on", "Input off", "Duration (s)",
                                       "Entry after (s)", "Track clearance (s)", "Dwell (s)",
                                       "Exit after (s)", "Gates down after (s)", "Max presence",
                                       "Link"};
  page->literal("<table class=\"service\">\n").tag("caption").open();
  page->text("Preemptions: each one's service from input on; empty where its log says "
             "nothing of it" +
             (rows.size() > kMost ? ", the first " + std::to_string(kMost) + " of " +
                                        std::to_string(rows.size())
                                  : std::string()) +
             ".");
  page->end("caption").literal("\n<tr>");
  for (const char* head : kHeads) page->tag("th").open().text(head).end("th");
  page->literal("</tr>\n");
  for (size_t i = 0; i < rows.size() && i < kMost; ++i) {
    page->literal("<tr>");
    for (const char* name : kColumns) {
      const int c = p.column(name);
      const ColumnKind kind = p.def->columns[static_cast<size_t>(c)].kind;
      std::string text;
      if (!p.missing(c, rows[i]))
        text = kind == ColumnKind::kTime      ? d.clock(p.at(c, rows[i]))
               : kind == ColumnKind::kSeconds ? seconds_text(p.at(c, rows[i]))
               : std::string(name) == "preempt" ? std::to_string(p.at(c, rows[i]))
               : p.at(c, rows[i]) == 1        ? "yes"
                                              : "no";
      page->tag("td").open().text(text).end("td");
    }
    page->literal("</tr>\n");
  }
  page->literal("</table>\n");
}

// The day's cell of its year's page: its hours, greens, max outs,
// actuations and problems, and the link to its page.
Markup year_cell(const std::string& id, const std::string& href, const Day& d,
                 const std::vector<std::string>& states, const std::vector<Problem>& problems,
                 const std::string& figures) {
  const TableRows& intervals = d.signal.table("phase_intervals");
  const TableRows& actuations = d.signal.table("actuations");
  const int term = intervals.column("termination"), count = actuations.column("actuations");
  int64_t max_outs = 0, all = 0;
  for (size_t r : d.of("phase_intervals")) max_outs += intervals.text(term, r) == "max_out";
  for (size_t r : d.of("actuations")) all += actuations.at(count, r);
  const size_t greens = d.of("phase_intervals").size();
  const std::string date = date_text(d.day);
  Markup m;
  m.tag("td").open().tag("a").attr("href", href).open();
  m.tag("svg")
      .attr("width", "168")
      .attr("height", "14")
      .attr("role", "img")
      .attr("aria-label", id + ", " + date + ": hours")
      .open();
  for (int h = 0; h < d.hours(); ++h) {
    const std::string& s = states[static_cast<size_t>(h)];
    m.tag("rect")
        .attr("x", std::to_string(h * 7))
        .attr("y", "0")
        .attr("width", "6")
        .attr("height", "14")
        .attr("class", role_class(state_role(s)))
        .data("hour", std::to_string(h))
        .data("state", s)
        .titled("rect", d.label(h) + " " + (s == "none" ? "no log" : s));
  }
  const double share = greens ? static_cast<double>(max_outs) / greens : 0;
  m.end("svg").end("a").tag("br").open();
  m.tag("span")
      .data("greens", std::to_string(greens))
      .data("max-out-share", fixed(share, 2))
      .data("actuations", std::to_string(all))
      .open()
      .text(std::to_string(greens) + " greens, " + fixed(share * 100, 0) + "% max out, " +
            std::to_string(all) + " actuations")
      .end("span");
  if (!figures.empty()) m.tag("br").open().tag("span").open().text(figures).end("span");
  if (!problems.empty()) {
    std::string words;
    for (size_t i = 0; i < problems.size() && i < 3; ++i) words += (i ? "; " : "") + problems[i].text;
    if (problems.size() > 3) words += "; ...";
    m.tag("br").open().tag("span").open().tag("i").attr("class", role_class(severity_role(problems[0].severity))).open().end("i");
    m.text(" " + std::to_string(problems.size()) + (problems.size() == 1 ? " problem: " : " problems: ") + words).end("span");
  }
  m.end("td");
  return m;
}

}  // namespace

DayPage draw_day(const std::string& id, int64_t day, const SignalRows& signal,
                 const MeasureSettings& settings) {
  const Day d{signal, day, signal.days.at(day)};
  const std::vector<std::string> states = hour_states(d);
  const std::map<int64_t, Greens> greens = greens_of(d);
  const Actuations actuations = actuations_of(d, settings.bin_minutes);

  DayPage out;
  out.problems = day_problems(d, states, settings);
  out.figures = map_summary(d);
  const std::string date = date_text(day);
  out.cell = year_cell(id, date + ".html", d, states, out.problems, out.figures);

  const std::string title = "Signal " + id + ", " + date;
  Markup page;
  page.literal("<p class=\"nav\"><a href=\"../index.html\">All signals</a></p>\n");
  page.tag("h1").open().text(title).end("h1").literal("\n");
  draw_problems(&page, out.problems);
  draw_hours(&page, d, states);
  if (greens.empty()) {
    page.literal("<h2>Greens</h2>\n<p>No green began this day.</p>\n");
  } else {
    for (const auto& [phase, g] : greens) draw_greens(&page, d, g);
  }
  draw_terminations(&page, d);
  draw_splits(&page, d);
  draw_actuations(&page, d, actuations, settings.bin_minutes);
  draw_health(&page, d);
  draw_map_charts(&page, d);
  draw_pedestrians(&page, d, settings);
  draw_events(&page, d);
  draw_service(&page, d);
  out.html = page_head(title) + page.take() + legend() + "</body>\n</html>\n";
  return out;
}
