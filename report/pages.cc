#include "report/pages.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "report/chart.h"

namespace {

// The tables' times, as they read back: tenths of a second since 1970.
const int64_t kSecond = 10, kHour = 3600 * kSecond, kDay = 24 * kHour;

// A time as the tables write it.
std::string time_text(int64_t t) { return timestamp_text(t); }

// Tenths of a second as the tables write seconds.
std::string seconds_text(int64_t tenths) {
  std::string text;
  put_seconds(&text, tenths);
  return text;
}

const char* const kTerminations[] = {"gap_out", "max_out", "force_off"};
const Role kTerminationRoles[] = {Role::kGapOut, Role::kMaxOut, Role::kForceOff};

// The roles of the hours' states.
Role state_role(const std::string& state) {
  return state == "ok"        ? Role::kOk
         : state == "damaged" ? Role::kDamaged
         : state == "missing" ? Role::kMissing
                              : Role::kNone;
}

// One signal's day: its rows of each table, and where its times fall.
struct Day {
  const SignalRows& signal;
  int64_t day;
  const std::vector<std::vector<size_t>>& rows;

  const std::vector<size_t>& of(const char* table) const {
    return rows[static_cast<size_t>(measure_table_index(table))];
  }
  int64_t into(int64_t t) const { return t - day * kDay; }
  int hour_of(int64_t t) const { return static_cast<int>(into(t) / kHour); }
};

// The state of each hour of the day by its rows of logs.csv: ok, damaged,
// missing, or none; of two logs of an hour, the one that covers it.
std::array<std::string, 24> hour_states(const Day& d) {
  const TableRows& logs = d.signal.table("logs");
  const int hour = logs.column("hour"), state = logs.column("state");
  std::array<std::string, 24> states;
  const int gap_end = logs.column("gap_end");
  for (size_t r : d.of("logs")) {
    const std::string& s = logs.text(state, r);
    if (s == "duplicate") continue;  // its hour is another log's
    if (s == "gap") {
      // Its hours of this day are missing.
      for (int64_t t = logs.at(hour, r); t < logs.at(gap_end, r) && d.into(t) < kDay; t += kHour)
        states[static_cast<size_t>(d.hour_of(t))] = "missing";
      continue;
    }
    std::string& h = states[static_cast<size_t>(d.hour_of(logs.at(hour, r)))];
    if (h.empty() || s == "ok") h = s;
  }
  for (std::string& s : states)
    if (s.empty()) s = "none";
  return states;
}

// 1. The hours of the day.
void draw_hours(Markup* page, const std::array<std::string, 24>& states) {
  int counts[3] = {};
  for (const std::string& s : states)
    for (int i = 0; i < 3; ++i) counts[i] += s == (i == 0 ? "ok" : i == 1 ? "damaged" : "missing");
  Chart chart(page, "hours", "Hours of the day",
              std::to_string(counts[0]) + " hours ok, " + std::to_string(counts[1]) +
                  " damaged, " + std::to_string(counts[2]) + " missing, " +
                  std::to_string(24 - counts[0] - counts[1] - counts[2]) + " without a log.",
              44);
  for (int h = 0; h < 24; ++h) {
    const std::string& s = states[static_cast<size_t>(h)];
    chart.rect(day_x(h * kHour), 4, (kChartRight - kChartLeft) / 24 - 1, 20, state_role(s),
               Markup().data("hour", std::to_string(h)).data("state", s),
               std::to_string(h) + ":00 " + s);
  }
  chart.time_axis(32);
}

// 2. The greens of one phase, and its share of max outs by hour.
struct Greens {
  int64_t phase;
  std::vector<size_t> rows;
  int64_t longest = 10;  // tenths
  int greens[24] = {}, max_outs[24] = {}, ends[4] = {};
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
  const double top = std::ceil(static_cast<double>(g.longest) / 100) * 10;  // seconds
  const std::string p = std::to_string(g.phase);
  Chart chart(page, "greens-" + p, "Phase " + p + ": greens",
              std::to_string(g.rows.size()) + " greens; " + std::to_string(g.ends[0]) +
                  " gapped out, " + std::to_string(g.ends[1]) + " maxed out, " +
                  std::to_string(g.ends[2]) + " forced off, " + std::to_string(g.ends[3]) +
                  " without a termination. Longest " + seconds_text(g.longest) + " s.",
              150);
  Markup& m = chart.marks();
  // The max-out share of each hour, as a band along the top.
  for (int h = 0; h < 24; ++h) {
    if (g.greens[h] == 0) continue;
    const double share = static_cast<double>(g.max_outs[h]) / g.greens[h];
    m.tag("rect")
        .attr("x", day_x(h * kHour), 1)
        .attr("y", "2")
        .attr("width", (kChartRight - kChartLeft) / 24 - 1, 1)
        .attr("height", "10")
        .attr("class", role_class(Role::kShare))
        .attr("fill-opacity", 0.08 + 0.92 * share, 2)
        .data("phase", p)
        .data("hour", std::to_string(h))
        .data("greens", std::to_string(g.greens[h]))
        .data("max-out-share", fixed(share, 2))
        .titled("rect", std::to_string(h) + ":00, " + fixed(share * 100, 0) + "% of " +
                            std::to_string(g.greens[h]) + " greens maxed out");
  }
  m.literal("\n");
  m.tag("text").attr("x", "4").attr("y", "11").open().text("max out").end("text");
  m.tag("text").attr("x", "4").attr("y", "24").open().text(fixed(top, 0) + " s").end("text");
  m.tag("text").attr("x", "4").attr("y", "120").open().text("0 s").end("text");
  m.tag("line")
      .attr("class", "axis")
      .attr("x1", kChartLeft, 0)
      .attr("x2", kChartRight, 0)
      .attr("y1", "120")
      .attr("y2", "120")
      .empty()
      .literal("\n");
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
          .attr("cx", day_x(d.into(t.at(start, r))), 1)
          .attr("cy", scale(static_cast<double>(tenths) / 10, 0, top, 120, 20), 1)
          .data("phase", p)
          .data("start", time_text(t.at(start, r)))
          .data("green", seconds_text(tenths))
          .data("termination", group)
          .empty()
          .literal("\n");
    }
    m.end("g").literal("\n");
  }
  chart.time_axis(136);
}

// 3. Terminations per phase and hour, stacked.
void draw_terminations(Markup* page, const Day& d) {
  const TableRows& t = d.signal.table("terminations");
  const int bin = t.column("bin_start"), phase = t.column("phase"),
            first = t.column("gap_out");
  std::map<int64_t, std::vector<std::array<int64_t, 3>>> phases;
  int64_t most = 1, totals[3] = {};
  for (size_t r : d.of("terminations")) {
    auto& hours = phases[t.at(phase, r)];
    hours.resize(24, {0, 0, 0});
    auto& counts = hours[static_cast<size_t>(d.hour_of(t.at(bin, r)))];
    for (int i = 0; i < 3; ++i) {
      counts[i] += t.at(first + i, r);
      totals[i] += t.at(first + i, r);
    }
  }
  for (const auto& [p, hours] : phases)
    for (const auto& c : hours) most = std::max(most, c[0] + c[1] + c[2]);
  const double row = 40;
  Chart chart(page, "terminations", "Terminations per phase and hour",
              std::to_string(totals[0]) + " gap outs, " + std::to_string(totals[1]) +
                  " max outs and " + std::to_string(totals[2]) + " force offs over " +
                  std::to_string(phases.size()) + " phases; the tallest bar " +
                  std::to_string(most) + ".",
              static_cast<double>(phases.size()) * row + 24);
  double y = 0;
  for (const auto& [phase_number, hours] : phases) {
    const std::string p = std::to_string(phase_number);
    chart.label(y + row / 2 + 4, "phase " + p);
    for (int h = 0; h < 24; ++h) {
      double base = y + row - 2;
      for (int i = 0; i < 3; ++i) {
        const int64_t n = hours[static_cast<size_t>(h)][static_cast<size_t>(i)];
        if (n == 0) continue;
        const double height = (row - 6) * static_cast<double>(n) / static_cast<double>(most);
        base -= height;
        chart.rect(day_x(h * kHour) + 2, base, (kChartRight - kChartLeft) / 24 - 4, height,
                   kTerminationRoles[i],
                   Markup()
                       .data("phase", p)
                       .data("hour", std::to_string(h))
                       .data("termination", kTerminations[i])
                       .data("count", std::to_string(n)),
                   "phase " + p + ", " + std::to_string(h) + ":00, " + std::to_string(n) + " " +
                       kTerminations[i]);
      }
    }
    y += row;
  }
  chart.time_axis(y + 12);
}

// 4. Detector actuations per channel and bin.
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
  const double row = 10, cell = (kChartRight - kChartLeft) * bin_minutes / 1440.0;
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
  page->tag("style").open().text(".heat{width:" + fixed(cell, 1) + "px;height:" +
                                 fixed(row - 1, 0) + "px}");
  page->end("style").literal("\n");
  Chart chart(page, "actuations", "Detector actuations per channel and bin", summary,
              static_cast<double>(a.channels.size()) * row + 24);
  Markup& m = chart.marks();
  double y = 0;
  for (const auto& [number, c] : a.channels) {
    chart.label(y + 9, c.name);
    for (size_t i = 0; i < c.rows.size(); ++i) {
      const size_t r = c.rows[i];
      const int64_t n = t.at(count, r);
      // The cell's size comes from the style sheet, as the circles' do.
      m.tag("rect")
          .attr("x", day_x(d.into(t.at(bin, r))), 1)
          .attr("y", y, 0)
          .attr("class", std::string(role_class(Role::kHeat)) +
                             (c.quiet[i] ? std::string(" ") + role_class(Role::kSilent) : ""))
          .attr("fill-opacity", n == 0 ? 0.03 : 0.15 + 0.85 * static_cast<double>(n) / a.most, 2)
          .data("detector", c.name)
          .data("bin", time_text(t.at(bin, r)))
          .data("actuations", std::to_string(n))
          .empty()
          .literal("\n");
    }
    y += row;
  }
  chart.time_axis(y + 12);
}

// 5. Pedestrian walks and mean delay per phase and hour.
void draw_pedestrians(Markup* page, const Day& d) {
  const TableRows& t = d.signal.table("ped");
  const int bin = t.column("bin_start"), phase = t.column("phase"), walks = t.column("walks"),
            calls = t.column("calls"), delay = t.column("delay_mean"),
            samples = t.column("delay_samples");
  struct Hour {
    int64_t walks = 0, calls = 0, samples = 0;
    double delay = 0;  // seconds, summed over the samples
  };
  std::map<int64_t, std::vector<Hour>> phases;
  int64_t most = 1, all_walks = 0;
  for (size_t r : d.of("ped")) {
    auto& hours = phases[t.at(phase, r)];
    hours.resize(24);
    Hour& h = hours[static_cast<size_t>(d.hour_of(t.at(bin, r)))];
    h.walks += t.at(walks, r);
    h.calls += t.at(calls, r);
    all_walks += t.at(walks, r);
    if (!t.missing(delay, r)) {
      h.samples += t.at(samples, r);
      h.delay += static_cast<double>(t.at(delay, r)) / 10 * static_cast<double>(t.at(samples, r));
    }
  }
  for (const auto& [p, hours] : phases)
    for (const Hour& h : hours) most = std::max(most, h.walks);
  const double row = 30;
  Chart chart(page, "ped", "Pedestrian walks and mean delay per phase and hour",
              std::to_string(all_walks) + " walks over " + std::to_string(phases.size()) +
                  " phases; bar height: walks in the hour, label: mean delay in seconds.",
              static_cast<double>(phases.size()) * row + 24);
  double y = 0;
  for (const auto& [phase_number, hours] : phases) {
    const std::string p = std::to_string(phase_number);
    chart.label(y + row / 2 + 4, "phase " + p);
    for (int h = 0; h < 24; ++h) {
      const Hour& hour = hours[static_cast<size_t>(h)];
      if (hour.walks == 0 && hour.calls == 0) continue;
      const std::string mean =
          hour.samples > 0 ? fixed(hour.delay / static_cast<double>(hour.samples), 1) : "";
      const double height =
          (row - 14) * static_cast<double>(hour.walks) / static_cast<double>(most);
      chart.rect(day_x(h * kHour) + 2, y + row - 2 - height, (kChartRight - kChartLeft) / 24 - 4,
                 height, Role::kWalks,
                 Markup()
                     .data("phase", p)
                     .data("hour", std::to_string(h))
                     .data("walks", std::to_string(hour.walks))
                     .data("calls", std::to_string(hour.calls))
                     .data("delay-mean", mean)
                     .data("delay-samples", std::to_string(hour.samples)),
                 "phase " + p + ", " + std::to_string(h) + ":00: " + std::to_string(hour.walks) +
                     " walks, " + std::to_string(hour.calls) + " calls" +
                     (mean.empty() ? "" : ", mean delay " + mean + " s"));
      if (!mean.empty()) {
        chart.marks()
            .tag("text")
            .attr("x", day_x(h * kHour) + 3, 1)
            .attr("y", y + 10, 0)
            .open()
            .text(mean)
            .end("text")
            .literal("\n");
      }
    }
    y += row;
  }
  chart.time_axis(y + 12);
}

// 6. Plan changes and preemptions on the time axis.
void draw_coordination(Markup* page, const Day& d) {
  const TableRows& c = d.signal.table("coordination");
  const TableRows& p = d.signal.table("preemption");
  const int at_column = c.column("timestamp"), item_column = c.column("item"),
            value = c.column("value");
  const int preempt = p.column("preempt"), input_on = p.column("input_on"),
            input_off = p.column("input_off"), duration = p.column("duration");
  const std::vector<size_t>& changes_rows = d.of("coordination");
  const std::vector<size_t>& preemption_rows = d.of("preemption");
  std::set<int64_t> preempts;
  for (size_t r : preemption_rows) preempts.insert(p.at(preempt, r));
  const double row = 22;
  size_t plan_changes = 0;  // split changes and ring yields are not drawn here
  for (size_t r : changes_rows) {
    const std::string& item = c.text(item_column, r);
    plan_changes += item == "pattern" || item == "cycle_length" || item == "offset";
  }
  Chart chart(page, "events", "Plan changes and preemptions",
              std::to_string(plan_changes) +
                  " changes of pattern, cycle length or offset; " +
                  std::to_string(preemption_rows.size()) + " preemptions.",
              (3 + static_cast<double>(preempts.size())) * row + 24);
  Markup& m = chart.marks();
  // A mark an item and hour, its changes listed in it: a day may hold
  // a change every second. Its ticks are drawn a pixel apart at most.
  const Role kItemRoles[] = {Role::kPattern, Role::kCycleLength, Role::kOffset};
  for (int i = 0; i < 3; ++i) {
    const char* item = role_class(kItemRoles[i]);
    chart.label(i * row + 15, item);
    int hour = -1, count = 0;
    std::string ticks, changes;
    double last_x = -1;
    auto put_mark = [&]() {
      if (count == 0) return;
      m.tag("path")
          .attr("d", ticks)
          .attr("class", item)
          .data("item", item)
          .data("hour", std::to_string(hour))
          .data("count", std::to_string(count))
          .data("changes", changes)
          .titled("path", std::string(item) + ", " + std::to_string(hour) + ":00: " +
                              (count > 12 ? std::to_string(count) + " changes" : changes))
          .literal("\n");
      ticks.clear();
      changes.clear();
      count = 0;
      last_x = -1;
    };
    for (size_t r : changes_rows) {
      if (c.text(item_column, r) != item) continue;
      const int64_t at = c.at(at_column, r);
      if (d.hour_of(at) != hour) {
        put_mark();
        hour = d.hour_of(at);
      }
      const double x = std::round(day_x(d.into(at)));
      if (x != last_x)
        ticks += "M" + fixed(x, 0) + " " + fixed(i * row + 3, 0) + "v" + fixed(row - 6, 0);
      last_x = x;
      changes += (count ? " " : "") + time_text(at).substr(11) + "=" +
                 std::to_string(c.at(value, r));
      ++count;
    }
    put_mark();
  }
  double y = 3 * row;
  const int64_t day_end = (d.day + 1) * kDay;
  for (int64_t number : preempts) {
    const std::string n = std::to_string(number);
    chart.label(y + 15, "preempt " + n);
    for (size_t r : preemption_rows) {
      if (p.at(preempt, r) != number) continue;
      const int64_t on = p.at(input_on, r);
      const bool ended = !p.missing(input_off, r);
      const int64_t off = ended ? std::min(p.at(input_off, r), day_end) : day_end;
      // Without a tooltip: a day may hold thousands. Two pixels at least,
      // so that a short one shows.
      m.tag("rect")
          .attr("x", day_x(d.into(on)), 1)
          .attr("y", y + 4, 0)
          .attr("width", std::max(2.0, day_x(d.into(off)) - day_x(d.into(on))), 1)
          .attr("height", row - 8, 0)
          .attr("class", role_class(Role::kPreempt))
          .data("preempt", n)
          .data("input-on", time_text(on))
          .data("input-off", ended ? time_text(p.at(input_off, r)) : "")
          .data("duration", ended ? seconds_text(p.at(duration, r)) : "")
          .empty()
          .literal("\n");
    }
    y += row;
  }
  chart.time_axis(y + 12);
}

// The day's cell of the index: its hours, greens, max outs and
// actuations, and the link to its page.
Markup index_cell(const std::string& id, const std::string& href, const Day& d,
                       const std::array<std::string, 24>& states) {
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
  for (int h = 0; h < 24; ++h) {
    const std::string& s = states[static_cast<size_t>(h)];
    m.tag("rect")
        .attr("x", std::to_string(h * 7))
        .attr("y", "0")
        .attr("width", "6")
        .attr("height", "14")
        .attr("class", role_class(state_role(s)))
        .data("hour", std::to_string(h))
        .data("state", s)
        .titled("rect", std::to_string(h) + ":00 " + s);
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
      .end("span")
      .end("td");
  return m;
}

}  // namespace

bool SignalRows::has_gap() const {
  const TableRows& logs = table("logs");
  const int state = logs.column("state");
  for (size_t r = 0; r < logs.rows(); ++r)
    if (logs.text(state, r) == "missing" || logs.text(state, r) == "damaged" ||
        logs.text(state, r) == "gap")
      return true;
  return false;
}

void SignalRows::sort_into_days() {
  for (size_t i = 0; i < tables.size(); ++i) {
    const TableRows& t = tables[i];
    int time = 0;
    while (t.def->columns[static_cast<size_t>(time)].kind != ColumnKind::kTime) ++time;
    const bool logs = i == static_cast<size_t>(measure_table_index("logs"));
    const int state = logs ? t.column("state") : -1;
    for (size_t r = 0; r < t.rows(); ++r) {
      if (t.missing(time, r)) continue;  // an undated log's row
      const int64_t day = day_of(t.at(time, r));
      auto& rows = days[day];
      rows.resize(tables.size());
      rows[i].push_back(r);
      if (logs && t.text(state, r) != "missing") pages.insert(day);
    }
  }
}

DayPage draw_day(const std::string& id, int64_t day, const SignalRows& signal,
                 int bin_minutes) {
  const Day d{signal, day, signal.days.at(day)};
  const std::array<std::string, 24> states = hour_states(d);
  const std::map<int64_t, Greens> greens = greens_of(d);
  const Actuations actuations = actuations_of(d, bin_minutes);

  DayPage out;
  out.silent_detector = !actuations.silent.empty();
  const std::string date = date_text(day);
  out.cell = index_cell(id, date + ".html", d, states);

  const std::string title = "Signal " + id + ", " + date;
  Markup page;
  page.literal("<p class=\"nav\"><a href=\"../index.html\">All signals</a></p>\n");
  page.tag("h1").open().text(title).end("h1").literal("\n");
  draw_hours(&page, states);
  if (greens.empty()) {
    page.literal("<h2>Greens</h2>\n<p>No green began this day.</p>\n");
  } else {
    for (const auto& [phase, g] : greens) draw_greens(&page, d, g);
  }
  draw_terminations(&page, d);
  draw_actuations(&page, d, actuations, bin_minutes);
  draw_pedestrians(&page, d);
  draw_coordination(&page, d);
  out.html = page_head(title) + page.take() + legend() + "</body>\n</html>\n";
  return out;
}

std::string draw_index(std::vector<IndexRow> rows) {
  // Signals with a missing or damaged hour or a silent detector first,
  // then by id.
  std::stable_sort(rows.begin(), rows.end(),
                   [](const IndexRow& a, const IndexRow& b) { return a.flagged && !b.flagged; });
  Markup m;
  m.literal("<h1>Signals</h1>\n");
  if (rows.empty()) {
    m.literal("<p>No log with a valid date was found: there is nothing to draw.</p>\n");
  } else {
    m.tag("p").open().text(std::to_string(rows.size()));
    m.literal(" signals; those with a missing or damaged hour or a detector silent for 60 "
              "covered minutes first. Each year's page has a cell a day: the day's 24 hours, "
              "its greens, the share of them that maxed out, and the detector actuations."
              "</p>\n<table>\n<tr><th>Signal</th><th>Days</th></tr>\n");
    for (const IndexRow& row : rows) {
      m.literal("<tr>").tag("th").open().text(row.id);
      if (row.flagged) m.literal(" &#9888;");
      m.end("th").tag("td").open();
      if (!row.unreadable.empty()) {
        m.tag("span").attr("class", "unreadable").open().text("Not drawn: " + row.unreadable).end("span");
      }
      bool first = true;
      for (const auto& [year, days] : row.days_by_year) {
        if (!first) m.literal(" ");
        first = false;
        m.tag("a")
            .attr("href", row.folder + "/" + year_page(year))
            .data("days", std::to_string(days))
            .open()
            .text(year_page(year).substr(0, year_page(year).size() - 5) + " (" +
                  std::to_string(days) + (days == 1 ? " day)" : " days)"))
            .end("a");
      }
      m.end("td").literal("</tr>\n");
    }
    m.literal("</table>\n");
  }
  return page_head("Signals") + m.take() + legend() + "</body>\n</html>\n";
}

int64_t year_of(int64_t day) {
  int64_t year;
  int month, d;
  civil_from_days(day, &year, &month, &d);
  return year;
}

std::string year_page(int64_t year) {
  std::string text = std::to_string(year);
  return std::string(text.size() < 4 ? 4 - text.size() : 0, '0') + text + ".html";
}

std::string draw_year(const std::string& id, int64_t year,
                      const std::map<int64_t, Markup>& cells) {
  const std::string title =
      "Signal " + id + ", " + year_page(year).substr(0, year_page(year).size() - 5);
  Markup m;
  m.literal("<p class=\"nav\"><a href=\"../index.html\">All signals</a></p>\n");
  m.tag("h1").open().text(title).end("h1").literal("\n<table>\n");
  for (const auto& [day, cell] : cells) {
    m.literal("<tr>").tag("th").open().text(date_text(day)).end("th");
    m.append(cell);
    m.literal("</tr>\n");
  }
  m.literal("</table>\n");
  return page_head(title) + m.take() + legend() + "</body>\n</html>\n";
}

std::string page_folder(std::string_view signal_id) {
  static const char kHex[] = "0123456789abcdef";
  std::string name;
  for (unsigned char c : signal_id) {
    if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-') {
      name += static_cast<char>(c);
    } else {
      name += '_';
      name += kHex[c >> 4];
      name += kHex[c & 15];
    }
  }
  // Windows takes these names, with or without a number, as its devices.
  static const char* const kDevices[] = {"con", "prn", "aux", "nul", "com", "lpt"};
  for (const char* device : kDevices) {
    const std::string d = device;
    if (name == d || (name.size() == 4 && name.compare(0, 3, d) == 0 &&
                      (d == "com" || d == "lpt") && name[3] >= '0' && name[3] <= '9'))
      return name + "_";
  }
  // A long name is cut and told apart by a hash of the whole id after
  // "_z", which no escape makes.
  if (name.size() > 120) {
    uint64_t hash = 14695981039346656037ull;  // FNV-1a
    for (unsigned char c : signal_id) hash = (hash ^ c) * 1099511628211ull;
    name.resize(100);
    name += "_z";
    for (int shift = 60; shift >= 0; shift -= 4) name += kHex[hash >> shift & 15];
  }
  return name.empty() ? "_" : name;
}
