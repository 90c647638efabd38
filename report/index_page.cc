// The index of a run's report: the problems of its last days, each with
// its reason and a link to the chart that shows it, and a row a signal
// with a cell a day coloured by its worst problem; the year pages; and the
// folder of each signal's pages.

#include <algorithm>
#include <set>

#include "report/day.h"

int64_t SignalRows::day_of_time(int64_t t) const {
  if (zone == nullptr) return day_of(t);
  return day_of(t + int64_t{zone->offset_at(floor_div(t, 10))} * 10);
}

int64_t SignalRows::day_start(int64_t day) const {
  const int64_t midnight = day * kTenthsPerDay;
  if (zone == nullptr) return midnight;
  int32_t offsets[2];
  zone->offsets_of(midnight / 10, offsets);  // the earlier, or the one before a skip
  return midnight - int64_t{offsets[0]} * 10;
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
      const int64_t day = day_of_time(t.at(time, r));
      auto& rows = days[day];
      rows.resize(tables.size());
      rows[i].push_back(r);
      if (logs && t.text(state, r) != "missing") pages.insert(day);
    }
  }
}

namespace {

// A signal's problems in the days from `first`: how many, and the worst.
struct Worst {
  int severity = 0;
  size_t count = 0;
  const Problem* first = nullptr;  // the worst, the first of them
};

Worst worst_of(const IndexRow& row, int64_t first) {
  Worst w;
  if (!row.unreadable.empty()) w.severity = 3;
  for (auto it = row.problems.lower_bound(first); it != row.problems.end(); ++it) {
    w.count += it->second.size();
    if (!it->second.empty() && it->second[0].severity > w.severity) {
      w.severity = it->second[0].severity;
      w.first = &it->second[0];
    }
  }
  return w;
}

// The most problem lines the index lists; the matrix shows the rest.
const size_t kMostLines = 300;

}  // namespace

std::string draw_index(std::vector<IndexRow> rows, const MeasureSettings& settings) {
  // The days shown: the run's last kIndexDays.
  int64_t last = INT64_MIN;
  for (const IndexRow& row : rows)
    if (!row.problems.empty()) last = std::max(last, row.problems.rbegin()->first);
  const int64_t first = last == INT64_MIN ? 0 : last - kIndexDays + 1;
  std::set<int64_t> days;
  for (const IndexRow& row : rows)
    for (auto it = row.problems.lower_bound(first); it != row.problems.end(); ++it)
      days.insert(it->first);
  // The worst signals first, then those with more problems, then by id.
  std::vector<Worst> worst;
  for (const IndexRow& row : rows) worst.push_back(worst_of(row, first));
  std::vector<size_t> order(rows.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    if (worst[a].severity != worst[b].severity) return worst[a].severity > worst[b].severity;
    return worst[a].count > worst[b].count;
  });

  Markup m;
  m.literal("<h1>Signals</h1>\n");
  if (rows.empty()) {
    m.literal("<p>No log with a valid date was found: there is nothing to draw.</p>\n");
    return page_head("Signals") + m.take() + legend() + "</body>\n</html>\n";
  }
  size_t all = 0;
  for (const Worst& w : worst) all += w.count;
  m.tag("p").open().text(
      std::to_string(rows.size()) + (rows.size() == 1 ? " signal; " : " signals; ") + std::to_string(all) + " problems in the last " +
      std::to_string(days.size()) + " days with logs" +
      (days.empty() ? std::string(".")
                    : " (" + date_text(*days.begin()) + " to " + date_text(*days.rbegin()) + ")."));
  m.end("p").literal("\n");
  std::string thresholds = "Thresholds (set with --threshold NAME=VALUE):";
  for (size_t i = 0; i < kThresholds.size(); ++i)
    thresholds += std::string(i ? ", " : " ") + kThresholds[i].name + " " +
                  threshold_text(kThresholds[i], settings) + kThresholds[i].unit;
  m.tag("p").attr("class", "thresholds").open().text(thresholds + ".").end("p").literal("\n");

  // The problems, a line each: the worst first, then the latest day.
  struct Line {
    int severity;
    int64_t day;
    size_t row;
    const Problem* problem;
  };
  std::vector<Line> lines;
  for (size_t i : order)
    for (auto it = rows[i].problems.lower_bound(first); it != rows[i].problems.end(); ++it)
      for (const Problem& p : it->second) lines.push_back({p.severity, it->first, i, &p});
  std::stable_sort(lines.begin(), lines.end(), [](const Line& a, const Line& b) {
    return a.severity != b.severity ? a.severity > b.severity : a.day > b.day;
  });
  m.literal("<section id=\"problems\">\n<h2>Problems</h2>\n");
  if (lines.empty()) m.literal("<p>None found in these days.</p>\n");
  else m.literal("<ul class=\"problems\">\n");
  for (size_t i = 0; i < lines.size() && i < kMostLines; ++i) {
    const Line& l = lines[i];
    const IndexRow& row = rows[l.row];
    m.tag("li")
        .data("problem", l.problem->kind)
        .open()
        .tag("i")
        .attr("class", role_class(severity_role(l.severity)))
        .open()
        .end("i")
        .tag("a")
        .attr("href", row.folder + "/" + date_text(l.day) + ".html#" + l.problem->chart)
        .open()
        .text(row.id + ", " + date_text(l.day))
        .end("a")
        .text(": " + std::string(severity_word(l.severity)) + ": " + l.problem->text)
        .end("li")
        .literal("\n");
  }
  if (!lines.empty()) m.literal("</ul>\n");
  if (lines.size() > kMostLines)
    m.tag("p").open().text(std::to_string(lines.size() - kMostLines) +
                           " more problems are not listed: each day's page lists its own.")
        .end("p").literal("\n");
  m.literal("</section>\n");

  // A row a signal: its years, and a cell a day by its worst problem.
  bool figures = false;  // a detector map's: arrivals on green, split failures
  for (const IndexRow& row : rows) figures |= !row.figures.empty();
  m.literal("<h2>Signals and days</h2>\n<table class=\"matrix\">\n<tr><th>Signal</th><th>Years</th>");
  if (figures) m.literal("<th>Its last day with a detector map</th>");
  for (int64_t day : days) m.tag("th").attr("title", date_text(day)).open().text(date_text(day).substr(5)).end("th");
  m.literal("</tr>\n");
  for (size_t i : order) {
    const IndexRow& row = rows[i];
    const Worst& w = worst[i];
    m.literal("<tr>").tag("th").open().text(row.id);
    if (w.severity > 0) {
      std::string why = w.first != nullptr ? w.first->kind : "tables not drawn";
      std::replace(why.begin(), why.end(), '_', ' ');
      m.text(" \u26a0 " + std::to_string(w.count) + (w.count == 1 ? " problem" : " problems") +
             ", the worst: " + why);
    }
    m.end("th").tag("td").open();
    if (!row.unreadable.empty())
      m.tag("span").attr("class", "unreadable").open().text("Not drawn: " + row.unreadable).end("span");
    bool first_year = true;
    for (const auto& [year, count] : row.days_by_year) {
      if (!first_year) m.literal(" ");
      first_year = false;
      m.tag("a")
          .attr("href", row.folder + "/" + year_page(year))
          .data("days", std::to_string(count))
          .open()
          .text(year_page(year).substr(0, year_page(year).size() - 5) + " (" +
                std::to_string(count) + (count == 1 ? " day)" : " days)"))
          .end("a");
    }
    m.end("td");
    if (figures) {
      m.tag("td").open();
      if (!row.figures.empty())
        m.text(date_text(row.figures.rbegin()->first).substr(5) + ": " + row.figures.rbegin()->second);
      m.end("td");
    }
    for (int64_t day : days) {
      auto it = row.problems.find(day);
      if (it == row.problems.end()) {
        m.literal("<td class=\"day\"></td>");
        continue;
      }
      const std::vector<Problem>& p = it->second;
      const int severity = p.empty() ? 0 : p[0].severity;
      const std::string words =
          date_text(day) + ": " +
          (p.empty() ? std::string("no problem")
                     : std::to_string(p.size()) + (p.size() == 1 ? " problem" : " problems") +
                           ", the worst: " + severity_word(severity)) +
          (row.figures.count(day) ? "; " + row.figures.at(day) : std::string());
      m.tag("td")
          .attr("class", std::string(role_class(severity_role(severity))) + " day")
          .open()
          .tag("a")
          .attr("href", row.folder + "/" + date_text(day) + ".html")
          .attr("title", words)
          .attr("aria-label", words)
          .open()
          .text(p.empty() ? "" : std::to_string(p.size()))
          .end("a")
          .end("td");
    }
    m.literal("</tr>\n");
  }
  m.literal("</table>\n");
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

std::string page_folder(std::string_view signal_id, bool clash) {
  static const char kHex[] = "0123456789abcdef";
  std::string name;
  for (size_t i = 0; i < signal_id.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(signal_id[i]);
    const bool edge = i == 0 || i + 1 == signal_id.size();
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
        c == '-' || c == '_' || (c == '.' && !edge)) {
      name += static_cast<char>(c);
    } else {
      name += '~';
      name += kHex[c >> 4];
      name += kHex[c & 15];
    }
  }
  // Windows takes these names, with or without a number or an extension,
  // whatever their case, as its devices.
  std::string stem = name.substr(0, name.find('.'));
  for (char& c : stem) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  static const char* const kDevices[] = {"con", "prn", "aux", "nul", "com", "lpt"};
  for (const char* device : kDevices) {
    const std::string d = device;
    if (stem == d || (stem.size() == 4 && stem.compare(0, 3, d) == 0 &&
                      (d == "com" || d == "lpt") && stem[3] >= '0' && stem[3] <= '9')) {
      name += '~';
      break;
    }
  }
  uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (unsigned char c : signal_id) hash = (hash ^ c) * 1099511628211ull;
  auto put_hash = [&] {
    for (int shift = 60; shift >= 0; shift -= 4) name += kHex[hash >> shift & 15];
  };
  // A long name is cut and told apart by a hash of the whole id after
  // "~z", which no escape makes.
  if (name.size() > 120) {
    name.resize(100);
    name += "~z";
    put_hash();
  }
  if (name.empty()) name = "~";
  // "~~" and a hash: no escape makes two '~'.
  if (clash) {
    name += "~~";
    put_hash();
  }
  return name;
}
