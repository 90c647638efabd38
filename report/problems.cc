// What an engineer should look at on a signal's day, found in its rows of
// the measure tables by the run's thresholds, each with its reason in words
// and the chart of the day's page that shows it.

#include <algorithm>
#include <map>

#include "report/day.h"

namespace {

// "N thing" or "N things".
std::string count_of(int64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// "hour 7" or "hours 7-9, 17".
std::string in_hours(const std::vector<int>& hours) {
  return (hours.size() == 1 ? "hour " : "hours ") + hours_text(hours);
}

// Up to `most` times of day, "06:13:39, 15:26:49", and "..." past them.
std::string clock_list(const Day& d, const std::vector<int64_t>& times, size_t most = 4) {
  std::string text;
  for (size_t i = 0; i < times.size() && i < most; ++i)
    text += (i ? ", " : "") + d.clock(times[i]);
  return times.size() > most ? text + ", ..." : text;
}

// " at 03:00:00", or " 3 times: 03:00:00, ...".
std::string times_at(const Day& d, const std::vector<int64_t>& times) {
  if (times.size() == 1) return " at " + d.clock(times[0]);
  return " " + count_of(static_cast<int64_t>(times.size()), "time", "times") + ": " +
         clock_list(d, times);
}

class Finder {
 public:
  Finder(const Day& d, const MeasureSettings& settings) : d_(d), settings_(settings) {}

  void add(int severity, const char* kind, const char* chart, std::string text) {
    problems.push_back({severity, kind, chart, std::move(text)});
  }

  void hours(const std::vector<std::string>& states) {
    std::vector<int> missing, damaged;
    for (int h = 0; h < d_.hours(); ++h) {
      if (states[static_cast<size_t>(h)] == "missing") missing.push_back(h);
      if (states[static_cast<size_t>(h)] == "damaged") damaged.push_back(h);
    }
    if (!missing.empty())
      add(3, "hours_missing", "hours",
          count_of(static_cast<int64_t>(missing.size()), "hour", "hours") +
              " without a log (communication lost?): " + in_hours(d_.clock_hours(missing)));
    if (!damaged.empty())
      add(3, "hours_damaged", "hours",
          count_of(static_cast<int64_t>(damaged.size()), "log", "logs") + " damaged: " +
              in_hours(d_.clock_hours(damaged)));
    const TableRows& logs = d_.signal.table("logs");
    const int hour = logs.column("hour"), state = logs.column("state"),
              version = logs.column("version"), steps = logs.column("clock_steps_back"),
              largest = logs.column("largest_step_back");
    // The version of the signal's log before the day's first.
    int64_t last_version = MeasureColumn::kMissing;
    const std::vector<size_t>& rows = d_.of("logs");
    for (size_t r = 0; !rows.empty() && r < rows.front(); ++r) {
      const std::string& s = logs.text(state, r);
      if ((s == "ok" || s == "damaged") && !logs.missing(version, r)) last_version = logs.at(version, r);
    }
    for (size_t r : rows) {
      const std::string& s = logs.text(state, r);
      if (s != "ok" && s != "damaged") continue;
      const int h = d_.hour_of(logs.at(hour, r));
      if (!logs.missing(steps, r) && logs.at(steps, r) > 0)
        add(1, "clock_step", "hours",
            "the clock went back " + count_of(logs.at(steps, r), "time", "times") +
                " in hour " + std::to_string(h) + ", by up to " +
                seconds_text(logs.at(largest, r)) + " s");
      const int64_t v = logs.at(version, r);
      if (last_version != MeasureColumn::kMissing && v != last_version)
        add(1, "version_change", "hours",
            "the log version changed from " + std::to_string(last_version) + " to " +
                std::to_string(v) + " at hour " + std::to_string(h));
      last_version = v;
    }
  }

  void detectors() {
    const TableRows& t = d_.signal.table("detector_health");
    const int hour = t.column("hour"), detector = t.column("detector"), flags = t.column("flags");
    struct Flag {
      const char* name;
      int severity;
      const char* kind;
      const char* words;
    };
    static const Flag kFlags[] = {
        {"stuck_on", 3, "detector_stuck_on", "stuck on"},
        {"fault", 3, "detector_fault", "with a fault alarm"},
        {"silent", 2, "detector_silent", "silent"},
        {"chatter", 2, "detector_chatter", "chattering"},
    };
    for (const Flag& f : kFlags) {
      std::map<int64_t, std::vector<int>> hours;  // by channel
      for (size_t r : d_.of("detector_health")) {
        const std::string& text = t.text(flags, r);
        if (text.find(f.name) == std::string::npos) continue;
        hours[t.at(detector, r)].push_back(d_.hour_of(t.at(hour, r)));
      }
      for (const auto& [channel, list] : hours)
        add(f.severity, f.kind, "detectors",
            "detector " + std::to_string(channel) + " " + f.words + " in " +
                in_hours(d_.clock_hours(list)));
    }
  }

  void splits() {
    const TableRows& t = d_.signal.table("terminations");
    const int bin = t.column("bin_start"), phase = t.column("phase"),
              max_out = t.column("max_out"), force_off = t.column("force_off"),
              greens = t.column("greens");
    std::map<int64_t, std::array<std::array<int64_t, 3>, kMaxHours>> phases;  // greens, max, force
    for (size_t r : d_.of("terminations")) {
      auto& h = phases[t.at(phase, r)][static_cast<size_t>(d_.hour_of(t.at(bin, r)))];
      h[0] += t.at(greens, r);
      h[1] += t.at(max_out, r);
      h[2] += t.at(force_off, r);
    }
    for (const auto& [p, hours] : phases) {
      for (int i = 1; i <= 2; ++i) {
        std::vector<int> list;
        for (int h = 0; h < d_.hours(); ++h) {
          const auto& c = hours[static_cast<size_t>(h)];
          if (c[0] >= settings_.split_greens && c[0] > 0 &&
              c[static_cast<size_t>(i)] * 100 >= settings_.split_share * c[0])
            list.push_back(h);
        }
        if (list.empty()) continue;
        add(2, i == 1 ? "max_out_share" : "force_off_share", "terminations",
            "phase " + std::to_string(p) + (i == 1 ? " maxed out" : " forced off") + " in " +
                std::to_string(settings_.split_share) + "% or more of its greens (" +
                std::to_string(settings_.split_greens) + " or more) in " + in_hours(d_.clock_hours(list)));
      }
    }
  }

  void pedestrians() {
    const TableRows& t = d_.signal.table("ped");
    const int bin = t.column("bin_start"), phase = t.column("phase"),
              delay = t.column("delay_mean"), samples = t.column("delay_samples");
    std::map<int64_t, std::array<std::array<int64_t, 2>, kMaxHours>> phases;  // samples, sum
    for (size_t r : d_.of("ped")) {
      if (t.missing(delay, r)) continue;
      auto& h = phases[t.at(phase, r)][static_cast<size_t>(d_.hour_of(t.at(bin, r)))];
      h[0] += t.at(samples, r);
      h[1] += t.at(delay, r) * t.at(samples, r);
    }
    for (const auto& [p, hours] : phases) {
      std::vector<int> list;
      for (int h = 0; h < d_.hours(); ++h) {
        const auto& c = hours[static_cast<size_t>(h)];
        if (c[0] > 0 && c[1] >= int64_t{settings_.ped_delay_seconds} * kSecond * c[0])
          list.push_back(h);
      }
      if (!list.empty())
        add(1, "ped_delay", "ped",
            "phase " + std::to_string(p) + " mean pedestrian delay of " +
                std::to_string(settings_.ped_delay_seconds) + " s or more in " + in_hours(d_.clock_hours(list)));
    }
  }

  void preemptions() {
    const TableRows& t = d_.signal.table("preemption");
    const int preempt = t.column("preempt"), on = t.column("input_on"),
              track = t.column("track_clearance"), max_presence = t.column("max_presence");
    std::vector<int64_t> all;
    for (size_t r : d_.of("preemption")) {
      all.push_back(t.at(on, r));
      // Only a numbering with preempt states (max presence not empty) says
      // whether track clearance ran.
      if (t.missing(track, r) && !t.missing(max_presence, r)) {
        add(2, "preemption_without_track_clearance", "events",
            "preempt " + std::to_string(t.at(preempt, r)) + " at " + d_.clock(t.at(on, r)) +
                " ran no track clearance");
      }
    }
    if (!all.empty())
      add(1, "preemption", "events",
          count_of(static_cast<int64_t>(all.size()), "preemption", "preemptions") + ": " +
              clock_list(d_, all));
  }

  void controller() {
    const TableRows& t = d_.signal.table("controller_events");
    const int at = t.column("timestamp"), event = t.column("event");
    std::vector<int64_t> power, flash;
    for (size_t r : d_.of("controller_events")) {
      const std::string& e = t.text(event, r);
      if (e == "power_interruption_on") power.push_back(t.at(at, r));
      if (e == "flash") flash.push_back(t.at(at, r));
    }
    if (!power.empty())
      add(3, "power_interruption", "events", "power interrupted" + times_at(d_, power));
    if (!flash.empty())
      add(3, "flash", "events", "flash status changed" + times_at(d_, flash));
  }

  std::vector<Problem> problems;

 private:
  const Day& d_;
  const MeasureSettings& settings_;
};

}  // namespace

std::string hours_text(const std::vector<int>& hours) {
  std::string text;
  for (size_t i = 0; i < hours.size();) {
    size_t j = i;
    while (j + 1 < hours.size() && hours[j + 1] == hours[j] + 1) ++j;
    text += (i ? ", " : "") + std::to_string(hours[i]);
    if (j > i) text += "-" + std::to_string(hours[j]);
    i = j + 1;
  }
  return text;
}

std::vector<Problem> day_problems(const Day& d, const std::vector<std::string>& states,
                                  const MeasureSettings& settings) {
  Finder f(d, settings);
  f.hours(states);
  f.controller();
  f.detectors();
  f.splits();
  f.preemptions();
  f.pedestrians();
  std::stable_sort(f.problems.begin(), f.problems.end(),
                   [](const Problem& a, const Problem& b) { return a.severity > b.severity; });
  return f.problems;
}
