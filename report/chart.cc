#include "report/chart.h"

#include <algorithm>

#include "logconv/log_time.h"

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

std::string fixed(double v, int decimals) {
  std::string text;
  put_fixed(&text, v, decimals);
  return text;
}

double scale(double value, double low, double high, double from, double to) {
  if (!(high > low)) return from;
  const double at = from + (value - low) / (high - low) * (to - from);
  return std::clamp(at, std::min(from, to), std::max(from, to));
}

Markup& Markup::tag(const char* name) {
  out_ += '<';
  out_ += name;
  return *this;
}

Markup& Markup::attr(const char* name, std::string_view value) {
  return put_attr("", name, value);
}

Markup& Markup::attr(const char* name, double value, int decimals) {
  return attr(name, fixed(value, decimals));
}

Markup& Markup::data(const char* name, std::string_view value) {
  return put_attr("data-", name, value);
}

Markup& Markup::put_attr(const char* prefix, const char* name, std::string_view value) {
  out_ += ' ';
  out_ += prefix;
  out_ += name;
  out_ += "=\"";
  out_ += html_escape(value);
  out_ += '"';
  return *this;
}

Markup& Markup::open() {
  out_ += '>';
  return *this;
}

Markup& Markup::empty() {
  out_ += "/>";
  return *this;
}

Markup& Markup::text(std::string_view text) {
  out_ += html_escape(text);
  return *this;
}

Markup& Markup::end(const char* name) {
  out_ += "</";
  out_ += name;
  out_ += '>';
  return *this;
}

Markup& Markup::titled(const char* name, std::string_view tip) {
  return open().tag("title").open().text(tip).end("title").end(name);
}

namespace {

// How a role's colour is shown in the legend.
enum class Swatch { kFilled, kOutlined, kFaded, kNone };

// One colour by role: its CSS rule (the paint, the colour, anything more)
// and its entry in the legend. Colours from the Okabe-Ito set, told apart
// under the common colour blindnesses.
struct Colour {
  Role role;
  const char* css_class;
  const char* paint;   // "fill" or "stroke"
  const char* colour;
  const char* more;    // more of the rule
  int line;            // of the style sheet, and so of the legend
  Swatch swatch;
  const char* label;   // in the legend
};

const Colour kPalette[] = {
    {Role::kOk, "ok", "fill", "#56B4E9", "", 0, Swatch::kFilled, "ok"},
    {Role::kDamaged, "damaged", "fill", "#E69F00", "", 0, Swatch::kFilled, "damaged"},
    {Role::kMissing, "missing", "fill", "#222", "", 0, Swatch::kFilled, "missing"},
    {Role::kNone, "none", "fill", "#fff", ";stroke:#ccc", 0, Swatch::kFilled, "no log"},
    {Role::kGapOut, "gap_out", "fill", "#0072B2", "", 1, Swatch::kFilled, "gap out"},
    {Role::kMaxOut, "max_out", "fill", "#D55E00", "", 1, Swatch::kFilled, "max out"},
    {Role::kForceOff, "force_off", "fill", "#F0E442", ";stroke:#8a7d00;stroke-width:.5", 1,
     Swatch::kFilled, "force off"},
    {Role::kNoTerm, "no_term", "fill", "#999", "", 1, Swatch::kFilled, "none"},
    {Role::kSkip, "skip", "fill", "#222", "", 1, Swatch::kFilled, "phase skipped"},
    {Role::kHeat, "heat", "fill", "#0072B2", "", 2, Swatch::kFilled,
     "actuations (darker: more a minute, the same scale on every page)"},
    {Role::kSilent, "silent", "stroke", "#D55E00", ";stroke-width:1.5", 2, Swatch::kOutlined,
     "silent"},
    {Role::kOccupancy, "occupancy", "fill", "#009E73", "", 2, Swatch::kFilled,
     "occupancy (darker: on longer)"},
    {Role::kStuck, "stuck", "stroke", "#000", ";stroke-width:2;fill:none", 2, Swatch::kOutlined,
     "stuck on"},
    {Role::kChatter, "chatter", "stroke", "#CC79A7", ";stroke-width:2;stroke-dasharray:3 2;fill:none",
     2, Swatch::kOutlined, "chatter"},
    {Role::kFault, "fault", "stroke", "#E69F00", ";stroke-width:2;fill:none", 2,
     Swatch::kOutlined, "fault alarm"},
    {Role::kDelay, "delay", "fill", "#CC79A7", "", 3, Swatch::kFilled,
     "pedestrian delay"},
    {Role::kShare, "share", "fill", "#D55E00", "", 3, Swatch::kNone, ""},
    {Role::kPattern, "pattern", "stroke", "#0072B2", "", 3, Swatch::kFilled, "pattern"},
    {Role::kCycleLength, "cycle_length", "stroke", "#009E73", "", 3, Swatch::kFilled,
     "cycle length"},
    {Role::kOffset, "offset", "stroke", "#CC79A7", "", 3, Swatch::kFilled, "offset"},
    {Role::kPlan, "plan", "fill", "#56B4E9", ";fill-opacity:.35", 3, Swatch::kFaded,
     "plan in force"},
    {Role::kFree, "free", "fill", "#ccc", "", 3, Swatch::kFilled, "free or flash"},
    {Role::kSplit, "split", "fill", "#0072B2", "", 3, Swatch::kFilled, "split taken"},
    {Role::kProgrammed, "programmed", "stroke", "#D55E00", ";stroke-width:1.5;fill:none", 3,
     Swatch::kOutlined, "programmed split"},
    {Role::kController, "controller", "stroke", "#000", ";stroke-width:2", 3, Swatch::kFilled,
     "controller event"},
    {Role::kVolume, "volume", "fill", "#0072B2", ";fill-opacity:.7", 3, Swatch::kFaded,
     "approach volume"},
    {Role::kPreempt, "preempt", "fill", "#D55E00", ";fill-opacity:.25", 4, Swatch::kFaded,
     "input on"},
    {Role::kEntry, "entry", "fill", "#E69F00", "", 4, Swatch::kFilled, "to entry"},
    {Role::kTrackClearance, "track", "fill", "#D55E00", "", 4, Swatch::kFilled,
     "track clearance"},
    {Role::kDwell, "dwell", "fill", "#0072B2", "", 4, Swatch::kFilled, "dwell"},
    {Role::kExit, "exit", "fill", "#009E73", "", 4, Swatch::kFilled, "exit"},
    {Role::kSevere, "severe", "fill", "#D55E00", ";background:#D55E00", 5, Swatch::kFilled,
     "data, power or a detector stuck or faulted"},
    {Role::kWarning, "warning", "fill", "#E69F00", ";background:#E69F00", 5, Swatch::kFilled,
     "a detector silent or chattering, a preemption without track clearance, splits"},
    {Role::kNotice, "notice", "fill", "#F0E442", ";background:#F0E442", 5, Swatch::kFilled,
     "a preemption, pedestrian delay, the clock or version"},
    {Role::kClear, "clear", "fill", "#e4f1fa", ";background:#e4f1fa", 5, Swatch::kFilled,
     "no problem"},
    {Role::kCycleGreen, "cycle_green", "stroke", "#009E73", ";fill:none", 6, Swatch::kFilled,
     "a cycle's green"},
    {Role::kCycleYellow, "cycle_yellow", "stroke", "#E69F00", ";fill:none", 6, Swatch::kFilled,
     "a cycle's yellow"},
    {Role::kOnRed, "on_red", "stroke", "#D55E00", "", 6, Swatch::kFilled, "arrival on red"},
    {Role::kOnGreen, "on_green", "stroke", "#0072B2", "", 6, Swatch::kFilled, "arrival on green"},
    {Role::kOnYellow, "on_yellow", "stroke", "#b8a900", "", 6, Swatch::kFilled,
     "arrival on yellow"},
};

// What closes each line of the style sheet's colours: the sizes and widths
// that go with them.
const char* const kLineEnds[] = {
    "\n", "circle{r:2.5px}\n", "\n", ".pattern,.cycle_length,.offset{stroke-width:2}\n",
    "\n", "\n", ".on_red,.on_green,.on_yellow{stroke-width:2;stroke-linecap:round;fill:none}\n"};

// The legend's heading of each line.
const char* const kLegendHeadings[] = {"Hours:", "Greens ended by:", "Detectors:",
                                       "Other marks:", "Preemption:", "Problems:",
                                       "Coordination diagram:"};

}  // namespace

const char* role_class(Role role) { return kPalette[static_cast<int>(role)].css_class; }

std::string style_sheet() {
  std::string css =
      "body{font:14px/1.4 system-ui,sans-serif;margin:16px auto;max-width:1220px;"
      "color:#222;background:#fff;-webkit-print-color-adjust:exact;"
      "print-color-adjust:exact}\n"
      "h1{font-size:20px}h2{font-size:16px;margin:20px 0 4px}\n"
      // A chart out of view is laid out when it comes into view: a busy
      // day's page shows its first screen in half the time.
      "figure{margin:0 0 12px;break-inside:avoid;content-visibility:auto;"
      "contain-intrinsic-size:auto 200px}figcaption{color:#444}\n"
      "svg{display:block;max-width:100%;height:auto}svg text{font-size:11px;fill:#333}\n"
      ".axis{stroke:#bbb;stroke-width:1}.grid{stroke:#eee;stroke-width:1}\n"
      ".matrix .day a{display:block;color:#222;text-decoration:none}"
      ".plan,.free{stroke:#fff;stroke-width:1}caption{text-align:left;color:#444}"
      ".matrix .day{padding:0;width:22px;height:18px;text-align:center;font-size:11px}"
      ".matrix th{white-space:nowrap}.problems li{margin:2px 0}.problems{list-style:none;padding-left:0}"
      "i.severe,i.warning,i.notice,i.clear{display:inline-block;width:10px;height:10px;"
      "vertical-align:-1px;margin-right:4px}\n";
  int line = 0;
  for (const Colour& c : kPalette) {
    if (c.line != line) css += kLineEnds[line++];
    css += std::string(".") + c.css_class + "{" + c.paint + ":" + c.colour + c.more + "}";
  }
  css += kLineEnds[line];
  css +=
      "table{border-collapse:collapse}td,th{border:1px solid #ddd;padding:4px 6px;"
      "vertical-align:top;text-align:left}\n"
      ".legend span{display:inline-block;margin-right:14px}"
      ".legend i{display:inline-block;width:12px;height:12px;margin-right:4px;"
      "vertical-align:-1px;border:1px solid #999}\n"
      "@media print{.nav{display:none}body{margin:0}}\n";
  return css;
}

std::string legend() {
  std::string html = "<p class=\"legend\">";
  int line = -1;
  for (const Colour& c : kPalette) {
    if (c.swatch == Swatch::kNone) continue;
    if (c.line != line && kLegendHeadings[c.line] != nullptr) {
      html += std::string(line < 0 ? "" : "<br>") + "<b>" + kLegendHeadings[c.line] + "</b> ";
    }
    line = c.line;
    std::string style = std::string("background:") + c.colour;
    if (c.swatch == Swatch::kOutlined) style = std::string("background:#fff;border:2px solid ") + c.colour;
    if (c.swatch == Swatch::kFaded) style += ";opacity:.6";
    html += "<span><i style=\"" + html_escape(style) + "\"></i>" + html_escape(c.label) +
            "</span>";
  }
  return html + "</p>\n";
}

std::string page_head(const std::string& title) {
  Markup m;
  m.literal("<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
            "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
            "style-src 'unsafe-inline'\">\n"
            "<meta name=\"viewport\" content=\"width=device-width\">\n")
      .tag("title")
      .open()
      .text(title)
      .end("title")
      .literal("\n<style>\n");
  return m.take() + style_sheet() + "</style>\n</head>\n<body>\n";
}

std::string hour_label(int hour) {
  return std::string(hour < 10 ? "0" : "") + std::to_string(hour) + ":00";
}

double day_x(int64_t into_day, int hours) {
  const double length = 36000.0 * hours;
  return scale(static_cast<double>(into_day), 0, length, kChartLeft, kChartRight);
}

Chart::Chart(Markup* page, const std::string& id, const std::string& heading,
             const std::string& summary, double height)
    : page_(page), summary_(summary) {
  page_->tag("figure").open().literal("\n").tag("h2").open().text(heading).end("h2");
  page_->literal("\n")
      .tag("svg")
      .attr("id", id)
      .attr("viewBox", "0 0 " + fixed(kChartWidth, 0) + " " + fixed(height, 0))
      .attr("width", kChartWidth, 0)
      .attr("height", height, 0)
      .attr("role", "img")
      .attr("aria-labelledby", id + "-t " + id + "-d")
      .open()
      .tag("title")
      .attr("id", id + "-t")
      .open()
      .text(heading)
      .end("title")
      .tag("desc")
      .attr("id", id + "-d")
      .open()
      .text(summary)
      .end("desc")
      .literal("\n");
}

Chart::~Chart() {
  page_->end("svg").literal("\n").tag("figcaption").open().text(summary_).end("figcaption");
  page_->literal("\n").end("figure").literal("\n");
}

void Chart::time_axis(double y, const std::vector<std::string>* labels) {
  const int hours = labels != nullptr ? static_cast<int>(labels->size()) : 24;
  for (int h = 0; h <= hours; h += 3) {
    const double x = day_x(h * kTenthsPerHour, hours);
    page_->tag("line")
        .attr("class", "axis")
        .attr("x1", x, 1)
        .attr("x2", x, 1)
        .attr("y1", y - 4, 0)
        .attr("y2", y, 0)
        .empty()
        .tag("text")
        .attr("x", x, 1)
        .attr("y", y + 12, 0)
        .attr("text-anchor", "middle")
        .open()
        .text(labels != nullptr && h < hours ? (*labels)[static_cast<size_t>(h)] : hour_label(h))
        .end("text");
  }
  page_->literal("\n");
}

void Chart::label(double y, const std::string& text) {
  page_->tag("text").attr("x", "4").attr("y", y, 0).open().text(text).end("text").literal("\n");
}

void Chart::across(double y, bool axis) {
  page_->tag("line")
      .attr("class", axis ? "axis" : "grid")
      .attr("x1", kChartLeft, 0)
      .attr("x2", kChartRight, 0)
      .attr("y1", y, 1)
      .attr("y2", y, 1)
      .empty();
}

void Chart::hour_band(double x, double width, double share, Role role, const Markup& data,
                      const std::string& tip) {
  page_->tag("rect")
      .attr("x", x, 1)
      .attr("y", "2")
      .attr("width", width - 1, 1)
      .attr("height", "10")
      .attr("class", role_class(role))
      .attr("fill-opacity", 0.08 + 0.92 * share, 2)
      .append(data)
      .titled("rect", tip);
}

void Chart::rect(double x, double y, double w, double h, Role role, const Markup& data,
                 const std::string& tip) {
  page_->tag("rect")
      .attr("x", x, 1)
      .attr("y", y, 1)
      .attr("width", std::max(w, 0.5), 1)
      .attr("height", std::max(h, 0.5), 1)
      .attr("class", role_class(role))
      .append(data)
      .titled("rect", tip)
      .literal("\n");
}
