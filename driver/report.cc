#include "driver/report.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "driver/measures.h"
#include "driver/messages.h"
#include "driver/table.h"
#include "platform/platform.h"

namespace {

const int64_t kSecond = 1000000000, kHour = 3600 * kSecond, kDay = 24 * kHour;

// The drawing area of every chart, in pixels.
const double kLeft = 70, kRight = 1180, kWidth = 1200;

const char* const kTerminationNames[] = {"gap_out", "max_out", "force_off"};

// A measure table read back: its columns by their place.
struct Columns {
  std::vector<MeasureColumn> c;
  size_t rows() const { return c.empty() ? 0 : c[0].values.size(); }
  int64_t at(int column, size_t row) const { return c[column].values[row]; }
  const std::string& text(int column, size_t row) const {
    return c[column].categories[static_cast<size_t>(c[column].values[row])];
  }
  // The first column of times: the one that places a row in its day.
  int time_column() const {
    int i = 0;
    while (c[i].kind != MeasureColumn::kTime) ++i;
    return i;
  }
  bool missing(int column, size_t row) const {
    return c[column].values[row] == MeasureColumn::kMissing;
  }
};


// The day of a time in nanoseconds since 1970.
int64_t day_of(int64_t t) { return t >= 0 ? t / kDay : (t - kDay + 1) / kDay; }

// A time in nanoseconds since 1970 as the tables write it.
std::string time_text(int64_t t) { return measure_time_text(t / (kSecond / 10)); }

// "YYYY-MM-DD" of a day counted from 1970-01-01.
std::string date_text(int64_t day) { return time_text(day * kDay).substr(0, 10); }

std::string fixed(double v, int decimals) {
  char text[32];
  snprintf(text, sizeof text, "%.*f", decimals, v);
  return text;
}

// The x of a time of day (nanoseconds into it).
double x_of(int64_t into_day) {
  return scale(static_cast<double>(into_day), 0, static_cast<double>(kDay), kLeft, kRight);
}

// The state of each hour of `day` by its rows of logs.csv: ok, damaged,
// missing, or none; of two logs of an hour, the one that covers it.
void day_states(const Columns& logs, const std::vector<size_t>& rows, int64_t day,
                std::string state[24]) {
  for (size_t r : rows) {
    const std::string& s = logs.text(2, r);
    std::string& h = state[(logs.at(1, r) - day * kDay) / kHour];
    if (h.empty() || s == "ok") h = s;
  }
  for (int h = 0; h < 24; ++h)
    if (state[h].empty()) state[h] = "none";
}

// Reads a measure table's rows a signal at a time, as they are written:
// sorted by signal id. A row ends at a line end outside quotes.
class TableRows {
 public:
  // Opens the table `name` of `dir` and reads its header. Returns false,
  // with *err set, on failure.
  bool open(const Dir& dir, const std::string& name, std::string* err) {
    if (!dir.open_file(name, &file_, err) || !fill(err)) return false;
    const size_t end = row_end();
    if (end == std::string::npos) {
      *err = "no header row";
      return false;
    }
    header_ = buf_.substr(0, end);
    at_ = end;
    return true;
  }

  const std::string& header() const { return header_; }

  // Whether every row has been taken; false, with *err set, when the file
  // cannot be read.
  bool at_end(bool* end, std::string* err) {
    if (!fill(err)) return false;
    *end = at_ >= buf_.size();
    return true;
  }

  // The signal id field of the next row, as written (quotes and all).
  std::string_view next_key() const {
    size_t i = at_;
    bool quoted = false;
    for (; i < buf_.size() && (quoted || buf_[i] != ','); ++i)
      if (buf_[i] == '"') quoted = !quoted;
    return std::string_view(buf_).substr(at_, i - at_);
  }

  // Appends the rows whose id field is `key`, from the next on, to *text.
  // Returns false, with *err set, when the file cannot be read.
  bool take(std::string_view key, std::string* text, std::string* err) {
    for (;;) {
      if (!fill(err)) return false;
      if (at_ >= buf_.size() || next_key() != key) return true;
      size_t end = row_end();
      if (end == std::string::npos) end = buf_.size();  // a last row cut short
      text->append(buf_, at_, end - at_);
      at_ = end;
    }
  }

 private:
  // The end of the row at at_ (past its line end); npos if not held whole.
  size_t row_end() const {
    bool quoted = false;
    for (size_t i = at_; i < buf_.size(); ++i) {
      if (buf_[i] == '"') quoted = !quoted;
      if (buf_[i] == '\n' && !quoted) return i + 1;
    }
    return std::string::npos;
  }

  // Holds the next row whole, unless the file ends first.
  bool fill(std::string* err) {
    while (!done_ && row_end() == std::string::npos) {
      buf_.erase(0, at_);
      at_ = 0;
      char piece[1 << 16];
      const long long n = file_.read(piece, sizeof piece);
      if (n < 0) {
        *err = file_.error();
        return false;
      }
      if (n == 0) done_ = true;
      buf_.append(piece, static_cast<size_t>(n));
    }
    return true;
  }

  File file_;
  std::string buf_, header_;
  size_t at_ = 0;
  bool done_ = false;
};

// The rows of one signal's day, by table.
struct Day {
  std::vector<size_t> rows[7];
};

// A signal's rows, by day.
struct Signal {
  std::map<int64_t, Day> days;  // by day
  std::set<int64_t> pages;      // the days with a log
};

// One signal's day, drawn from its rows of each table.
class Page {
 public:
  Page(const std::string& signal, int64_t day, const Day& rows, const Columns* tables,
       int bin_minutes)
      : signal_(signal), day_(day), rows_(rows), t_(tables), bin_minutes_(bin_minutes) {}

  std::string html() {
    const std::string title = "Signal " + signal_ + ", " + date_text(day_);
    out_ = head(title);
    out_ += "<p class=\"nav\"><a href=\"../index.html\">All signals</a></p>\n<h1>" +
            html_escape(title) + "</h1>\n";
    hours();
    greens();
    terminations();
    actuations();
    pedestrians();
    coordination();
    out_ += legend() + "</body>\n</html>\n";
    return std::move(out_);
  }

  // The page's head: its title, style and policy (nothing from outside).
  static std::string head(const std::string& title) {
    return "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
           "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
           "style-src 'unsafe-inline'\">\n"
           "<meta name=\"viewport\" content=\"width=device-width\">\n<title>" +
           html_escape(title) +
           "</title>\n<style>\n"
           "body{font:14px/1.4 system-ui,sans-serif;margin:16px auto;max-width:1220px;"
           "color:#222;background:#fff;-webkit-print-color-adjust:exact;"
           "print-color-adjust:exact}\n"
           "h1{font-size:20px}h2{font-size:16px;margin:20px 0 4px}\n"
           // A chart out of view is laid out when it comes into view: a busy
           // day's page shows its first screen in half the time.
           "figure{margin:0 0 12px;break-inside:avoid;content-visibility:auto;"
           "contain-intrinsic-size:auto 200px}figcaption{color:#444}\n"
           "svg{display:block;max-width:100%;height:auto}svg text{font-size:11px;fill:#333}\n"
           ".axis{stroke:#bbb;stroke-width:1}\n"
           ".ok{fill:#56B4E9}.damaged{fill:#E69F00}.missing{fill:#222}"
           ".none{fill:#fff;stroke:#ccc}\n"
           ".gap_out{fill:#0072B2}.max_out{fill:#D55E00}"
           ".force_off{fill:#F0E442;stroke:#8a7d00;stroke-width:.5}.no_term{fill:#999}"
           "circle{r:2.5px}\n"
           ".heat{fill:#0072B2}.silent{stroke:#D55E00;stroke-width:1.5}\n"
           ".walks{fill:#CC79A7}.share{fill:#D55E00}.pattern{stroke:#0072B2}"
           ".cycle_length{stroke:#009E73}.offset{stroke:#CC79A7}"
           ".pattern,.cycle_length,.offset{stroke-width:2}\n"
           ".preempt{fill:#D55E00;fill-opacity:.6}\n"
           "table{border-collapse:collapse}td,th{border:1px solid #ddd;padding:4px 6px;"
           "vertical-align:top;text-align:left}\n"
           ".legend span{display:inline-block;margin-right:14px}"
           ".legend i{display:inline-block;width:12px;height:12px;margin-right:4px;"
           "vertical-align:-1px;border:1px solid #999}\n"
           "@media print{.nav{display:none}body{margin:0}}\n"
           "</style>\n</head>\n<body>\n";
  }

  // The legend of every colour.
  static std::string legend() {
    return "<p class=\"legend\"><b>Hours:</b> "
           "<span><i style=\"background:#56B4E9\"></i>ok</span>"
           "<span><i style=\"background:#E69F00\"></i>damaged</span>"
           "<span><i style=\"background:#222\"></i>missing</span>"
           "<span><i style=\"background:#fff\"></i>no log</span><br><b>Greens ended by:</b> "
           "<span><i style=\"background:#0072B2\"></i>gap out</span>"
           "<span><i style=\"background:#D55E00\"></i>max out</span>"
           "<span><i style=\"background:#F0E442\"></i>force off</span>"
           "<span><i style=\"background:#999\"></i>none</span><br><b>Detectors:</b> "
           "<span><i style=\"background:#0072B2\"></i>actuations (darker: more)</span>"
           "<span><i style=\"background:#fff;border:2px solid #D55E00\"></i>silent for "
           "60 covered minutes or more</span><br><b>Other marks:</b> "
           "<span><i style=\"background:#CC79A7\"></i>pedestrian walks</span>"
           "<span><i style=\"background:#0072B2\"></i>pattern</span>"
           "<span><i style=\"background:#009E73\"></i>cycle length</span>"
           "<span><i style=\"background:#CC79A7\"></i>offset</span>"
           "<span><i style=\"background:#D55E00;opacity:.6\"></i>preemption</span></p>\n";
  }

 private:
  int64_t into_day(int64_t t) const { return t - day_ * kDay; }
  int hour_of(int64_t t) const { return static_cast<int>(into_day(t) / kHour); }

  // Opens a chart: a figure with its heading, an SVG with its title and
  // description, of `height` pixels.
  void begin_chart(const std::string& id, const std::string& heading,
                   const std::string& summary, double height) {
    out_ += "<figure>\n<h2>" + html_escape(heading) + "</h2>\n<svg id=\"" + id +
            "\" viewBox=\"0 0 " + fixed(kWidth, 0) + " " + fixed(height, 0) +
            "\" width=\"" + fixed(kWidth, 0) + "\" height=\"" + fixed(height, 0) +
            "\" role=\"img\" aria-labelledby=\"" + id + "-t " + id + "-d\"><title id=\"" +
            id + "-t\">" + html_escape(heading) + "</title><desc id=\"" + id + "-d\">" +
            html_escape(summary) + "</desc>\n";
    summary_ = summary;
  }

  void end_chart() {
    out_ += "</svg>\n<figcaption>" + html_escape(summary_) + "</figcaption>\n</figure>\n";
  }

  // The hour ticks of the time axis along y = `y`.
  void time_axis(double y) {
    for (int h = 0; h <= 24; h += 3) {
      const std::string x = fixed(x_of(h * kHour), 1);
      out_ += "<line class=\"axis\" x1=\"" + x + "\" x2=\"" + x + "\" y1=\"" +
              fixed(y - 4, 0) + "\" y2=\"" + fixed(y, 0) + "\"/><text x=\"" + x +
              "\" y=\"" + fixed(y + 12, 0) + "\" text-anchor=\"middle\">" +
              (h < 10 ? "0" : "") + std::to_string(h) + ":00</text>";
    }
    out_ += "\n";
  }

  // The label of a chart's row, left of its drawing, its baseline at `y`.
  void label(double y, const std::string& text) {
    out_ += "<text x=\"4\" y=\"" + fixed(y, 0) + "\">" + html_escape(text) + "</text>\n";
  }

  void rect(double x, double y, double w, double h, const std::string& cls,
            const std::string& data, const std::string& tip) {
    out_ += "<rect x=\"" + fixed(x, 1) + "\" y=\"" + fixed(y, 1) + "\" width=\"" +
            fixed(std::max(w, 0.5), 1) + "\" height=\"" + fixed(std::max(h, 0.5), 1) +
            "\" class=\"" + cls + "\"" + data + "><title>" + html_escape(tip) +
            "</title></rect>\n";
  }

  static std::string data(const char* name, const std::string& value) {
    return std::string(" data-") + name + "=\"" + html_escape(value) + "\"";
  }

  // 1. The hours of the day.
  void hours() {
    std::string state[24];
    int counts[3] = {};
    day_states(t_[kLogsTable], rows_.rows[kLogsTable], day_, state);
    for (const std::string& s : state)
      for (int i = 0; i < 3; ++i) counts[i] += s == (i == 0 ? "ok" : i == 1 ? "damaged" : "missing");
    begin_chart("hours", "Hours of the day",
                std::to_string(counts[0]) + " hours ok, " + std::to_string(counts[1]) +
                    " damaged, " + std::to_string(counts[2]) + " missing, " +
                    std::to_string(24 - counts[0] - counts[1] - counts[2]) + " without a log.",
                44);
    for (int h = 0; h < 24; ++h)
      rect(x_of(h * kHour), 4, (kRight - kLeft) / 24 - 1, 20, state[h],
           data("hour", std::to_string(h)) + data("state", state[h]),
           std::to_string(h) + ":00 " + state[h]);
    time_axis(32);
    end_chart();
  }

  // 2. Every green of each phase, and its share of max outs by hour.
  void greens() {
    std::map<int64_t, std::vector<size_t>> phases;
    const Columns& t = t_[kIntervalsTable];
    for (size_t r : rows_.rows[kIntervalsTable]) phases[t.at(1, r)].push_back(r);
    if (phases.empty()) {
      out_ += "<h2>Greens</h2>\n<p>No green began this day.</p>\n";
      return;
    }
    for (const auto& [phase, rows] : phases) {
      int64_t longest = 10;
      int greens[24] = {}, max_outs[24] = {}, ends[4] = {};
      for (size_t r : rows) {
        longest = std::max(longest, t.at(3, r));
        const int h = hour_of(t.at(2, r));
        ++greens[h];
        const std::string& term = t.text(6, r);
        max_outs[h] += term == "max_out";
        ++ends[term == "gap_out" ? 0 : term == "max_out" ? 1 : term == "force_off" ? 2 : 3];
      }
      const double top = std::ceil(static_cast<double>(longest) / 100) * 10;  // seconds
      const std::string p = std::to_string(phase);
      begin_chart("greens-" + p, "Phase " + p + ": greens",
                  std::to_string(rows.size()) + " greens; " + std::to_string(ends[0]) +
                      " gapped out, " + std::to_string(ends[1]) + " maxed out, " +
                      std::to_string(ends[2]) + " forced off, " + std::to_string(ends[3]) +
                      " without a termination. Longest " + measure_seconds_text(longest) + " s.",
                  150);
      // The max-out share of each hour, as a band along the top.
      for (int h = 0; h < 24; ++h) {
        if (greens[h] == 0) continue;
        const double share = static_cast<double>(max_outs[h]) / greens[h];
        out_ += "<rect x=\"" + fixed(x_of(h * kHour), 1) + "\" y=\"2\" width=\"" +
                fixed((kRight - kLeft) / 24 - 1, 1) +
                "\" height=\"10\" class=\"share\" fill-opacity=\"" +
                fixed(0.08 + 0.92 * share, 2) + "\"" + data("phase", p) +
                data("hour", std::to_string(h)) + data("greens", std::to_string(greens[h])) +
                data("max-out-share", fixed(share, 2)) + "><title>" +
                std::to_string(h) + ":00, " + fixed(share * 100, 0) + "% of " +
                std::to_string(greens[h]) + " greens maxed out</title></rect>";
      }
      out_ += "\n<text x=\"4\" y=\"11\">max out</text><text x=\"4\" y=\"24\">" +
              fixed(top, 0) + " s</text><text x=\"4\" y=\"120\">0 s</text>"
              "<line class=\"axis\" x1=\"" + fixed(kLeft, 0) + "\" x2=\"" +
              fixed(kRight, 0) + "\" y1=\"120\" y2=\"120\"/>\n";
      // A group a termination gives its greens their colour, and the style
      // sheet their size: a busy day has tens of thousands, which a browser
      // draws faster without a rule to match for each.
      for (const char* group : {"gap_out", "max_out", "force_off", ""}) {
        out_ += std::string("<g class=\"") + (*group ? group : "no_term") + "\">\n";
        for (size_t r : rows) {
          const std::string& term = t.text(6, r);
          if (term != group) continue;
          const int64_t green = t.at(3, r);
          out_ += "<circle cx=\"" + fixed(x_of(into_day(t.at(2, r))), 1) + "\" cy=\"" +
                  fixed(scale(static_cast<double>(green) / 10, 0, top, 120, 20), 1) + "\"" +
                  data("phase", p) + data("start", time_text(t.at(2, r))) +
                  data("green", measure_seconds_text(green)) + data("termination", term) + "/>\n";
        }
        out_ += "</g>\n";
      }
      time_axis(136);
      end_chart();
    }
  }

  // 3. Terminations per phase and hour, stacked.
  void terminations() {
    const Columns& t = t_[kTerminationsTable];
    std::map<int64_t, std::vector<std::array<int64_t, 3>>> phases;
    int64_t most = 1, totals[3] = {};
    for (size_t r : rows_.rows[kTerminationsTable]) {
      auto& hours = phases[t.at(2, r)];
      hours.resize(24, {0, 0, 0});
      auto& counts = hours[hour_of(t.at(1, r))];
      for (int i = 0; i < 3; ++i) {
        counts[i] += t.at(3 + i, r);
        totals[i] += t.at(3 + i, r);
      }
    }
    for (const auto& [phase, hours] : phases)
      for (const auto& c : hours) most = std::max(most, c[0] + c[1] + c[2]);
    const double row = 40;
    begin_chart("terminations", "Terminations per phase and hour",
                std::to_string(totals[0]) + " gap outs, " + std::to_string(totals[1]) +
                    " max outs and " + std::to_string(totals[2]) + " force offs over " +
                    std::to_string(phases.size()) + " phases; the tallest bar " +
                    std::to_string(most) + ".",
                static_cast<double>(phases.size()) * row + 24);
    double y = 0;
    for (const auto& [phase, hours] : phases) {
      const std::string p = std::to_string(phase);
      label(y + row / 2 + 4, "phase " + p);
      for (int h = 0; h < 24; ++h) {
        double base = y + row - 2;
        for (int i = 0; i < 3; ++i) {
          const int64_t n = hours[h][i];
          if (n == 0) continue;
          const double height = (row - 6) * static_cast<double>(n) / static_cast<double>(most);
          base -= height;
          rect(x_of(h * kHour) + 2, base, (kRight - kLeft) / 24 - 4, height,
               kTerminationNames[i],
               data("phase", p) + data("hour", std::to_string(h)) +
                   data("termination", kTerminationNames[i]) + data("count", std::to_string(n)),
               "phase " + p + ", " + std::to_string(h) + ":00, " + std::to_string(n) + " " +
                   kTerminationNames[i]);
        }
      }
      y += row;
    }
    time_axis(y + 12);
    end_chart();
  }

  // 4. Detector actuations per channel and bin; the channels that fell
  // silent for an hour of covered bins marked.
  void actuations() {
    const Columns& t = t_[kActuationsTable];
    std::map<int64_t, std::vector<size_t>> detectors;
    int64_t most = 1, total = 0;
    for (size_t r : rows_.rows[kActuationsTable]) {
      detectors[t.at(2, r)].push_back(r);
      most = std::max(most, t.at(3, r));
      total += t.at(3, r);
    }
    const double row = 10, cell = (kRight - kLeft) * bin_minutes_ / 1440.0;
    std::vector<std::string> silent;
    out_ += "<style>.heat{width:" + fixed(cell, 1) + "px;height:" + fixed(row - 1, 0) +
            "px}</style>\n";
    begin_chart("actuations", "Detector actuations per channel and bin", "",
                static_cast<double>(detectors.size()) * row + 24);
    double y = 0;
    for (const auto& [detector, rows] : detectors) {
      const std::string d = std::to_string(detector);
      // A run of bins without actuations, each right after the one
      // before, of an hour or more: every bin of a covered hour has a row.
      std::vector<bool> quiet(rows.size(), false);
      for (size_t i = 0; i < rows.size();) {
        size_t j = i;
        while (j < rows.size() && t.at(3, rows[j]) == 0 &&
               (j == i || t.at(1, rows[j]) - t.at(1, rows[j - 1]) == bin_minutes_ * 60 * kSecond))
          ++j;
        if (j > i && static_cast<int64_t>(j - i) * bin_minutes_ >= 60)
          std::fill(quiet.begin() + static_cast<ptrdiff_t>(i),
                    quiet.begin() + static_cast<ptrdiff_t>(j), true);
        i = std::max(j, i + 1);
      }
      if (std::find(quiet.begin(), quiet.end(), true) != quiet.end()) silent.push_back(d);
      label(y + 9, d);
      for (size_t i = 0; i < rows.size(); ++i) {
        const size_t r = rows[i];
        const int64_t n = t.at(3, r);
        // The cell's size comes from the style sheet, as the circles' do.
        out_ += "<rect x=\"" + fixed(x_of(into_day(t.at(1, r))), 1) + "\" y=\"" +
                fixed(y, 0) + "\" class=\"heat" + (quiet[i] ? " silent" : "") +
                "\" fill-opacity=\"" +
                fixed(n == 0 ? 0.03 : 0.15 + 0.85 * static_cast<double>(n) / most, 2) + "\"" +
                data("detector", d) + data("bin", time_text(t.at(1, r))) +
                data("actuations", std::to_string(n)) + "/>\n";
      }
      y += row;
    }
    time_axis(y + 12);
    std::string summary = std::to_string(total) + " actuations on " +
                          std::to_string(detectors.size()) + " channels; most in a bin " +
                          std::to_string(most) + ". ";
    if (silent.empty()) {
      summary += "No channel was silent for 60 covered minutes.";
    } else {
      summary += "Silent for 60 covered minutes or more: channel";
      summary += silent.size() > 1 ? "s " : " ";
      for (size_t i = 0; i < silent.size(); ++i) summary += (i ? ", " : "") + silent[i];
      summary += ".";
    }
    // The summary is known once the channels are drawn: put it in place.
    const std::string empty_desc = "<desc id=\"actuations-d\"></desc>";
    out_.replace(out_.rfind(empty_desc), empty_desc.size(),
                 "<desc id=\"actuations-d\">" + html_escape(summary) + "</desc>");
    summary_ = summary;
    end_chart();
  }

  // 5. Pedestrian walks and mean delay per phase and hour.
  void pedestrians() {
    const Columns& t = t_[kPedTable];
    struct Hour {
      int64_t walks = 0, calls = 0, samples = 0;
      double delay = 0;  // seconds, summed over the samples
    };
    std::map<int64_t, std::vector<Hour>> phases;
    int64_t most = 1, walks = 0;
    for (size_t r : rows_.rows[kPedTable]) {
      auto& hours = phases[t.at(2, r)];
      hours.resize(24);
      Hour& h = hours[hour_of(t.at(1, r))];
      h.walks += t.at(3, r);
      h.calls += t.at(4, r);
      walks += t.at(3, r);
      if (!t.missing(5, r)) {
        h.samples += t.at(6, r);
        h.delay += static_cast<double>(t.at(5, r)) / 10 * static_cast<double>(t.at(6, r));
      }
    }
    for (const auto& [phase, hours] : phases)
      for (const Hour& h : hours) most = std::max(most, h.walks);
    const double row = 30;
    begin_chart("ped", "Pedestrian walks and mean delay per phase and hour",
                std::to_string(walks) + " walks over " + std::to_string(phases.size()) +
                    " phases; bar height: walks in the hour, label: mean delay in seconds.",
                static_cast<double>(phases.size()) * row + 24);
    double y = 0;
    for (const auto& [phase, hours] : phases) {
      const std::string p = std::to_string(phase);
      label(y + row / 2 + 4, "phase " + p);
      for (int h = 0; h < 24; ++h) {
        const Hour& hour = hours[h];
        if (hour.walks == 0 && hour.calls == 0) continue;
        const std::string mean =
            hour.samples > 0 ? fixed(hour.delay / static_cast<double>(hour.samples), 1) : "";
        const double height =
            (row - 14) * static_cast<double>(hour.walks) / static_cast<double>(most);
        rect(x_of(h * kHour) + 2, y + row - 2 - height, (kRight - kLeft) / 24 - 4, height,
             "walks",
             data("phase", p) + data("hour", std::to_string(h)) +
                 data("walks", std::to_string(hour.walks)) +
                 data("calls", std::to_string(hour.calls)) + data("delay-mean", mean) +
                 data("delay-samples", std::to_string(hour.samples)),
             "phase " + p + ", " + std::to_string(h) + ":00: " + std::to_string(hour.walks) +
                 " walks, " + std::to_string(hour.calls) + " calls" +
                 (mean.empty() ? "" : ", mean delay " + mean + " s"));
        if (!mean.empty())
          out_ += "<text x=\"" + fixed(x_of(h * kHour) + 3, 1) + "\" y=\"" +
                  fixed(y + 10, 0) + "\">" + mean + "</text>\n";
      }
      y += row;
    }
    time_axis(y + 12);
    end_chart();
  }

  // 6. Plan changes and preemptions on the time axis.
  void coordination() {
    const Columns& c = t_[kCoordinationTable];
    const Columns& p = t_[kPreemptionTable];
    std::set<int64_t> preempts;
    for (size_t r : rows_.rows[kPreemptionTable]) preempts.insert(p.at(1, r));
    const double row = 22;
    begin_chart("events", "Plan changes and preemptions",
                std::to_string(rows_.rows[kCoordinationTable].size()) +
                    " changes of pattern, cycle length or offset; " +
                    std::to_string(rows_.rows[kPreemptionTable].size()) + " preemptions.",
                (3 + static_cast<double>(preempts.size())) * row + 24);
    // A mark an item and hour, its changes listed in it: a day may hold
    // a change every second. Its ticks are drawn a pixel apart at most.
    const char* const kItems[] = {"pattern", "cycle_length", "offset"};
    for (int i = 0; i < 3; ++i) {
      label(i * row + 15, kItems[i]);
      int hour = -1, count = 0;
      std::string ticks, changes;
      double last_x = -1;
      auto put_mark = [&]() {
        if (count == 0) return;
        out_ += "<path d=\"" + ticks + "\" class=\"" + kItems[i] + "\"" +
                data("item", kItems[i]) + data("hour", std::to_string(hour)) +
                data("count", std::to_string(count)) + data("changes", changes) +
                "><title>" + kItems[i] + ", " + std::to_string(hour) + ":00: " +
                (count > 12 ? std::to_string(count) + " changes" : changes) +
                "</title></path>\n";
        ticks.clear();
        changes.clear();
        count = 0;
        last_x = -1;
      };
      for (size_t r : rows_.rows[kCoordinationTable]) {
        if (c.text(2, r) != kItems[i]) continue;
        const int64_t at = c.at(1, r);
        if (hour_of(at) != hour) {
          put_mark();
          hour = hour_of(at);
        }
        const double x = std::round(x_of(into_day(at)));
        if (x != last_x)
          ticks += "M" + fixed(x, 0) + " " + fixed(i * row + 3, 0) + "v" + fixed(row - 6, 0);
        last_x = x;
        changes += (count ? " " : "") + time_text(at).substr(11) + "=" +
                   std::to_string(c.at(3, r));
        ++count;
      }
      put_mark();
    }
    double y = 3 * row;
    for (int64_t preempt : preempts) {
      const std::string n = std::to_string(preempt);
      label(y + 15, "preempt " + n);
      for (size_t r : rows_.rows[kPreemptionTable]) {
        if (p.at(1, r) != preempt) continue;
        const int64_t on = p.at(2, r);
        const bool ended = !p.missing(3, r);
        const int64_t off = ended ? std::min(p.at(3, r), (day_ + 1) * kDay) : (day_ + 1) * kDay;
        const std::string end = ended ? time_text(p.at(3, r)) : "";
        const std::string duration = ended ? measure_seconds_text(p.at(4, r)) : "";
        // Without a tooltip: a day may hold thousands. Two pixels at least,
        // so that a short one shows.
        out_ += "<rect x=\"" + fixed(x_of(into_day(on)), 1) + "\" y=\"" + fixed(y + 4, 0) +
                "\" width=\"" +
                fixed(std::max(2.0, x_of(into_day(off)) - x_of(into_day(on))), 1) +
                "\" height=\"" + fixed(row - 8, 0) + "\" class=\"preempt\"" +
                data("preempt", n) + data("input-on", time_text(on)) +
                data("input-off", end) + data("duration", duration) + "/>\n";
      }
      y += row;
    }
    time_axis(y + 12);
    end_chart();
  }

  const std::string& signal_;
  int64_t day_;
  const Day& rows_;
  const Columns* t_;
  int bin_minutes_;
  std::string out_, summary_;
};

// Writes `text` as the file `path`, whole or not at all.
bool write_page(const std::string& path, const std::string& text, unsigned permissions,
                std::string* err) {
  EventsTable file;
  if (!file.open(path, err)) return false;
  if (!file.write(text.data(), text.size())) {
    *err = file.error();
    return false;
  }
  return file.close(permissions, err);
}

}  // namespace

std::string html_escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
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

double scale(double value, double low, double high, double from, double to) {
  if (!(high > low)) return from;
  const double at = from + (value - low) / (high - low) * (to - from);
  return std::clamp(at, std::min(from, to), std::max(from, to));
}

bool write_report(const std::string& dir, const std::string& measures, int bin_minutes,
                  unsigned permissions, std::string* err) {
  std::shared_ptr<Dir> tables_dir = Dir::open(measures, err);
  if (tables_dir == nullptr) return false;
  TableRows lines[7];
  for (int i = 0; i < 7; ++i) {
    const std::string name = std::string(kMeasureTables[i]) + ".csv";
    if (!lines[i].open(*tables_dir, name, err)) {
      *err = shown(tables_dir->path_of(name)) + ": " + *err;
      return false;
    }
  }
  // A signal at a time: its rows in each table, by day; its pages; its
  // row of the index. Every signal has rows in logs.csv.
  struct Row {
    bool flagged;
    std::string id;
    std::map<int64_t, std::string> cells;  // by day
  };
  std::vector<Row> rows;
  std::set<int64_t> all_days;
  std::string text;
  auto failed = [&](int table) {
    *err = shown(tables_dir->path_of(std::string(kMeasureTables[table]) + ".csv")) + ": " +
           *err;
    return false;
  };
  for (bool end = false;;) {
    if (!lines[kLogsTable].at_end(&end, err)) return failed(kLogsTable);
    if (end) break;
    const std::string key(lines[kLogsTable].next_key());
    Columns tables[7];
    for (int i = 0; i < 7; ++i) {
      text.clear();
      if (!lines[i].take(key, &text, err) ||
          !read_measure_table(i, lines[i].header() + text, &tables[i].c, err))
        return failed(i);
    }
    Signal signal;
    for (int i = 0; i < 7; ++i) {
      const Columns& t = tables[i];
      const int time = t.time_column();
      for (size_t r = 0; r < t.rows(); ++r) {
        const int64_t day = day_of(t.at(time, r));
        signal.days[day].rows[i].push_back(r);
        if (i == kLogsTable && t.text(2, r) != "missing") signal.pages.insert(day);
      }
    }
    Row row{false, tables[kLogsTable].text(0, 0), {}};
    const std::string folder = page_folder(row.id);
    for (const auto& [day, d] : signal.days)
      for (size_t r : d.rows[kLogsTable]) row.flagged |= tables[kLogsTable].text(2, r) != "ok";
    for (int64_t day : signal.pages) {
      all_days.insert(day);
      const Day& d = signal.days[day];
      Page page(row.id, day, d, tables, bin_minutes);
      const std::string html = page.html();
      if (html.find(" silent\"") != std::string::npos) row.flagged = true;
      const std::string date = date_text(day);
      const std::string path = join_path(join_path(dir, folder), date + ".html");
      if (!write_page(path, html, permissions, err)) {
        *err = shown(path) + ": " + *err;
        return false;
      }
      // The day's cell of the index: its hours, greens, max outs and
      // actuations, and the link to its page.
      std::string state[24];
      day_states(tables[kLogsTable], d.rows[kLogsTable], day, state);
      int64_t max_outs = 0, actuations = 0;
      for (size_t r : d.rows[kIntervalsTable]) max_outs += tables[kIntervalsTable].text(6, r) == "max_out";
      for (size_t r : d.rows[kActuationsTable]) actuations += tables[kActuationsTable].at(3, r);
      const size_t greens = d.rows[kIntervalsTable].size();
      std::string& cell = row.cells[day];
      cell = "<td><a href=\"" + folder + "/" + date + ".html\"><svg width=\"168\" "
             "height=\"14\" role=\"img\" aria-label=\"" + html_escape(row.id) + ", " + date +
             ": hours\">";
      for (int h = 0; h < 24; ++h)
        cell += "<rect x=\"" + std::to_string(h * 7) + "\" y=\"0\" width=\"6\" height=\"14\" "
                "class=\"" + state[h] + "\" data-hour=\"" + std::to_string(h) +
                "\" data-state=\"" + state[h] + "\"><title>" + std::to_string(h) + ":00 " +
                state[h] + "</title></rect>";
      const double share = greens ? static_cast<double>(max_outs) / greens : 0;
      cell += "</svg></a><br><span data-greens=\"" + std::to_string(greens) +
              "\" data-max-out-share=\"" + fixed(share, 2) + "\" data-actuations=\"" +
              std::to_string(actuations) + "\">" + std::to_string(greens) + " greens, " +
              fixed(share * 100, 0) + "% max out, " + std::to_string(actuations) +
              " actuations</span></td>";
    }
    rows.push_back(std::move(row));
  }
  for (int i = 0; i < 7; ++i) {
    bool end;
    if (!lines[i].at_end(&end, err)) return failed(i);
    if (!end) {
      *err = "its rows are not in the order of the signals of logs.csv";
      return failed(i);
    }
  }
  // The index: signals with a missing or damaged hour or a silent
  // detector first, then by id.
  std::stable_sort(rows.begin(), rows.end(),
                   [](const Row& a, const Row& b) { return a.flagged && !b.flagged; });
  std::string html = Page::head("Signals");
  html += "<h1>Signals</h1>\n";
  if (rows.empty()) {
    html += "<p>No log with a valid date was found: there is nothing to draw.</p>\n";
  } else {
    html += "<p>" + std::to_string(rows.size()) +
            " signals; those with a missing or damaged hour or a detector silent for 60 "
            "covered minutes first. Each cell: the day's 24 hours, its greens, the share "
            "of them that maxed out, and the detector actuations.</p>\n"
            "<table>\n<tr><th>Signal</th>";
    for (int64_t day : all_days) html += "<th>" + date_text(day) + "</th>";
    html += "</tr>\n";
    for (const Row& row : rows) {
      html += "<tr><th>" + html_escape(row.id) + (row.flagged ? " &#9888;" : "") + "</th>";
      for (int64_t day : all_days) {
        auto cell = row.cells.find(day);
        html += cell == row.cells.end() ? "<td></td>" : cell->second;
      }
      html += "</tr>\n";
    }
    html += "</table>\n";
  }
  html += Page::legend() + "</body>\n</html>\n";
  const std::string index = join_path(dir, "index.html");
  if (!write_page(index, html, permissions, err)) {
    *err = shown(index) + ": " + *err;
    return false;
  }
  return true;
}
