#include "outputs/report_output.h"

#include <atomic>
#include <memory>
#include <set>
#include <vector>
#include <utility>

#include "logs/messages.h"
#include "outputs/measures_kept.h"
#include "outputs/measures_output.h"
#include "outputs/published_file.h"
#include "report/pages.h"

namespace {

// Reads a measure table's rows a signal at a time, as they are written:
// sorted by signal id. A row ends at a line end outside quotes.
class RowReader {
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

  // Appends the rows whose id field is `key`, from the next on, to *text,
  // and where each starts in the file to *starts where given. Returns
  // false, with *err set, when the file cannot be read.
  bool take(std::string_view key, std::string* text, std::string* err,
            std::vector<uint64_t>* starts = nullptr) {
    for (;;) {
      if (!fill(err)) return false;
      if (at_ >= buf_.size() || next_key() != key) return true;
      size_t end = row_end();
      if (end == std::string::npos) end = buf_.size();  // a last row cut short
      if (starts != nullptr) starts->push_back(offset());
      text->append(buf_, at_, end - at_);
      at_ = end;
    }
  }

  // Where in the file the next row starts.
  uint64_t offset() const { return start_ + at_; }

  // Goes on from `offset` in the file, the start of a row. Returns false,
  // with *err set, when the file cannot be read there.
  bool skip_to(uint64_t offset, std::string* err) {
    if (offset >= start_ && offset <= start_ + buf_.size()) {
      at_ = static_cast<size_t>(offset - start_);
      return true;
    }
    buf_.clear();
    at_ = 0;
    start_ = offset;
    done_ = false;
    if (file_.seek(offset)) return true;
    *err = file_.error();
    return false;
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
      start_ += at_;
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
  uint64_t start_ = 0;  // where buf_ starts in the file
  size_t at_ = 0;
  bool done_ = false;
};

// A CSV field as it reads: its quotes taken off.
std::string csv_unquoted(std::string_view field) {
  if (field.empty() || field[0] != '"') return std::string(field);
  std::string text;
  for (size_t i = 1; i + 1 < field.size(); ++i) {
    text += field[i];
    if (field[i] == '"') ++i;  // a doubled quote
  }
  return text;
}

// What -u of the report keeps beside index.html (kKeptPagesName): each
// signal's page folder, where its days' rows start in each table and, of
// each of its days drawn, the day's cell, problems and figures, so that
// the days before the first whose rows changed are neither read nor drawn
// again.
// Not a temporary name (those have six characters after the dash), which
// a run would remove.
const char kKeptPagesName[] = ".quillon-pages";
const char kKeptPagesMagic[] = "quillon kept pages 1\n";

struct KeptDay {
  std::string cell, figures;
  std::vector<Problem> problems;
  void state(StateIO& io) { io(cell, figures, problems); }
};

// A signal's pages, and where the rows of each day start in each table:
// the first of the day's rows, counted from the first of the signal's.
struct KeptSignalPages {
  std::string folder;
  std::map<int64_t, KeptDay> days;
  std::vector<std::map<int64_t, uint64_t>> starts;  // by table, by day
  void state(StateIO& io) { io(folder, days, starts); }
};

struct KeptPages {
  std::string options;  // as the measures keep them
  uint64_t measures = 0;  // the generation of the measures' kept state drawn
  std::map<std::string, KeptSignalPages> signals;  // by id
  void state(StateIO& io) { io(options, measures, signals); }
};

// Reads what the last -u run of the report in `out` kept, made with
// `options` from the measures' kept state `measures`; empty where there is
// none, or it is damaged or of others (a run killed after its tables took
// their names and before its pages did leaves pages of other measures).
KeptPages read_kept_pages(const Dir& out, const std::string& options, uint64_t measures) {
  KeptPages kept;
  File file;
  std::string err, bytes, plain;
  if (!out.open_file(kKeptPagesName, &file, &err)) return kept;
  for (char piece[1 << 16];;) {
    const long long n = file.read(piece, sizeof piece);
    if (n <= 0) break;
    bytes.append(piece, static_cast<size_t>(n));
  }
  if (!unpack_kept(bytes, kKeptPagesMagic, &plain, &err)) return kept;
  StateIO io{std::string_view(plain)};
  kept.state(io);
  if (!io.ok() || !io.at_end() || kept.options != options || measures == 0 ||
      kept.measures != measures)
    return KeptPages();
  return kept;
}

// Whether the file `name` of `dir` is a regular file, not a link, that
// holds `text`.
bool holds(const Dir& dir, const std::string& name, const std::string& text) {
  FileOwner owner;
  File file;
  std::string err;
  uint64_t size = 0;
  int64_t mtime = 0;
  if (!dir.owner(name, &owner) || !dir.stat(name, &size, &mtime) || size != text.size() ||
      !dir.open_file(name, &file, &err))
    return false;
  std::string there(text.size() + 1, '\0');
  size_t got = 0;
  for (long long n; got < there.size() && (n = file.read(&there[got], there.size() - got)) > 0;)
    got += static_cast<size_t>(n);
  return got == text.size() && there.compare(0, got, text) == 0;
}

// Writes `text` as the file `name` of `dir`, whole, into `held`, which
// gives it its name with the report's other files; what stood there, a
// link included, is then replaced. With `keep_same`, a file that holds
// the text already is left as it is, its modification time too.
bool write_page(const std::shared_ptr<Dir>& dir, const std::string& name,
                const std::string& text, unsigned permissions, HeldFiles* held,
                std::string* err, bool keep_same = false) {
  if (keep_same && holds(*dir, name, text)) return true;
  auto file = std::make_unique<PublishedFile>();
  if (!file->open_in(dir, name, err)) return false;
  if (!file->write(text.data(), text.size())) {
    *err = file->error();
    return false;
  }
  if (!file->finish(permissions, err)) return false;
  held->hold(std::move(file));
  return true;
}

// The measures, then their pages: an output that owns the measures it
// draws.
class ReportOutput : public Output {
 public:
  ReportOutput(std::string dir, const MeasureSettings& settings, std::string update)
      : dir_(std::move(dir)),
        settings_(settings),
        update_{update, {}},
        measures_(make_measures_output(dir_, settings, "measures", &held_, std::move(update),
                                       &update_.changed)) {}

  bool up_to_date(const Task& task, uint64_t size, int64_t mtime_ns) const override {
    return measures_->up_to_date(task, size, mtime_ns);
  }

  std::vector<Task> tasks_again() override { return measures_->tasks_again(); }

  std::unique_ptr<LogOutput> start(const Task& task, File& in, const LogHour& hour,
                                   bool in_order, std::string* err) override {
    // The pages are readable by no more users than each of their logs.
    log_permissions_.fetch_and(in.permissions());
    return measures_->start(task, in, hour, in_order, err);
  }

  std::unique_ptr<LogOutput> undated(const Task& task, const std::string& closing) override {
    return measures_->undated(task, closing);
  }

  std::string name(const Task&) const override { return shown(dir_); }

  std::string note() const override { return measures_->note(); }

  uint64_t worth_threads() const override { return measures_->worth_threads(); }

  size_t logs_ahead() const override { return measures_->logs_ahead(); }

  void set_interruption(std::function<bool()> interrupted) override {
    interrupted_ = std::move(interrupted);
  }

  bool finish(bool stopped, bool found, std::string* what) override {
    if (!measures_->finish(stopped, found, what)) return false;
    if (stopped) return true;
    std::string err;
    if (!write_report(dir_, settings_, log_permissions_, &err, &held_, interrupted_,
                      update_.options.empty() ? nullptr : &update_)) {
      *what = "Failed to write the report: " + err;
      return false;
    }
    return true;
  }

 private:
  std::string dir_;
  MeasureSettings settings_;
  ReportUpdate update_;  // -u: its options (else empty), the days that changed
  // The tables and pages, named together once all are written: a run that
  // fails or is interrupted leaves the earlier report whole.
  HeldFiles held_;
  std::unique_ptr<Output> measures_;
  std::function<bool()> interrupted_;  // checked between signals, or none
  std::atomic<unsigned> log_permissions_{07777};  // that every log has
};

}  // namespace

bool write_report(const std::string& dir, const MeasureSettings& settings, unsigned permissions,
                  std::string* err, HeldFiles* held, const std::function<bool()>& interrupted,
                  const ReportUpdate* update) {
  const bool keep_same = update != nullptr;
  HeldFiles own;
  if (held == nullptr) held = &own;
  // Below OUT, as typed, nothing is reached through a link.
  std::shared_ptr<Dir> out = Dir::make(dir, err);
  if (out == nullptr) {
    *err = shown(dir) + ": " + *err;
    return false;
  }
  out->claim_for_writing();
  std::shared_ptr<Dir> tables_dir = out->open_child("measures", err);
  if (tables_dir == nullptr) {
    *err = shown(out->path_of("measures")) + ": " + *err;
    return false;
  }
  KeptPages kept, now;
  if (update != nullptr) {
    kept = read_kept_pages(*out, update->options, update->changed.was);
    now.options = update->options;
    now.measures = update->changed.now;
  }
  const size_t count = kMeasureSchema.size();
  std::vector<RowReader> readers(count);
  auto failed = [&](size_t table) {
    *err = shown(tables_dir->path_of(std::string(kMeasureSchema[table].name) + ".csv")) +
           ": " + *err;
    return false;
  };
  // Tables not yet named are read under their temporary names.
  // A map's tables are there only with a map.
  auto absent = [&](size_t table) {
    return kMeasureSchema[table].mapped && settings.detectors == nullptr;
  };
  for (size_t i = 0; i < count; ++i) {
    if (absent(i)) continue;
    const std::string name = std::string(kMeasureSchema[i].name) + ".csv";
    const std::string temp = held->temp_of(shown(tables_dir->path_of(name)));
    if (!readers[i].open(*tables_dir, temp.empty() ? name : temp, err)) return failed(i);
  }
  // A signal at a time: its rows in each table, by day; its pages; its
  // row of the index. Every signal has rows in logs.csv.
  const size_t logs = static_cast<size_t>(measure_table_index("logs"));
  std::vector<IndexRow> rows;
  std::set<std::string> folders;  // of the signals so far, in lower case
  std::string text;
  std::string first_unreadable;  // the first signal's table that was
  for (bool end = false;;) {
    if (!readers[logs].at_end(&end, err)) return failed(logs);
    if (end) break;
    if (interrupted && interrupted()) {
      *err = "interrupted";
      return false;
    }
    const std::string key(readers[logs].next_key());
    IndexRow row;
    row.id = csv_unquoted(key);
    row.folder = page_folder(row.id);
    // Another signal's folder where case does not count: this one's is
    // told apart.
    std::string folded = row.folder;
    for (char& c : folded) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (!folders.insert(folded).second) row.folder = page_folder(row.id, true);
    // -u: of a signal whose measures went on from where they stood, the
    // days before the first whose rows changed are as the last run drew
    // them, where it kept them and their pages are there: their rows are
    // not read (but the plans', which run on from earlier days), nor are
    // they drawn.
    const ChangedRows* changed = nullptr;
    const KeptSignalPages* was = nullptr;
    if (update != nullptr) {
      auto first = update->changed.signals.find(row.id);
      auto kept_signal = kept.signals.find(row.id);
      if (first != update->changed.signals.end() && kept_signal != kept.signals.end() &&
          kept_signal->second.folder == row.folder &&
          kept_signal->second.starts.size() == count) {
        changed = &first->second;
        was = &kept_signal->second;
        std::string ignored;
        std::shared_ptr<Dir> folder = out->open_child(row.folder, &ignored);
        for (const auto& [day, k] : was->days)
          if (day < changed->day && (folder == nullptr || !folder->exists(date_text(day) + ".html")))
            was = nullptr;
      }
    }
    const size_t plans = static_cast<size_t>(measure_table_index("coordination"));
    SignalRows signal;
    signal.zone = settings.zone.get();
    signal.tables.resize(count);
    std::vector<std::vector<uint64_t>> starts(count);  // of the rows read, from the signal's
    // A table of the signal that does not read as written is said on its
    // row of the index; the other signals are drawn.
    std::string unreadable;
    for (size_t i = 0; i < count; ++i) {
      text.clear();
      signal.tables[i].def = &kMeasureSchema[i];
      if (absent(i)) continue;
      const uint64_t section = readers[i].offset();
      if (was != nullptr && i != plans) {
        // From the first row of the days that changed, or of those written
        // anew.
        uint64_t from = changed->from[i];
        for (auto it = was->starts[i].lower_bound(changed->day); it != was->starts[i].end(); ++it)
          from = std::min(from, it->second);
        if (!readers[i].skip_to(section + from, err)) return failed(i);
      }
      if (!readers[i].take(key, &text, err, &starts[i])) return failed(i);
      for (uint64_t& start : starts[i]) start -= section;
      std::string why;
      if (unreadable.empty() &&
          !read_measure_table(kMeasureSchema[i], readers[i].header() + text,
                              &signal.tables[i].columns, &why))
        unreadable = std::string(kMeasureSchema[i].name) + ".csv: " + why;
    }
    if (!unreadable.empty()) {
      row.unreadable = unreadable;
      if (first_unreadable.empty())
        first_unreadable = shown(tables_dir->path_of(unreadable.substr(0, unreadable.find(':')))) +
                           unreadable.substr(unreadable.find(':'));
      rows.push_back(std::move(row));
      continue;
    }
    signal.sort_into_days();
    KeptSignalPages* keeping = nullptr;
    if (update != nullptr) {
      keeping = &now.signals[row.id];
      keeping->folder = row.folder;
      keeping->starts.resize(count);
      // Where each day's rows start: those not read as the last run found
      // them, the others as read.
      for (size_t i = 0; i < count; ++i) {
        if (was != nullptr && i != plans)
          for (const auto& [day, start] : was->starts[i])
            if (day < changed->day) keeping->starts[i][day] = start;
        for (const auto& [day, of_table] : signal.days) {
          if (of_table[i].empty()) continue;
          uint64_t& start = keeping->starts[i].try_emplace(day, UINT64_MAX).first->second;
          for (size_t r : of_table[i]) start = std::min(start, starts[i][r]);
        }
      }
    }
    // The days with a page: those kept before the first that changed, the
    // others as read.
    std::set<int64_t> days;
    if (was != nullptr)
      for (const auto& [day, k] : was->days)
        if (day < changed->day) days.insert(day);
    for (int64_t day : signal.pages)
      if (was == nullptr || day >= changed->day) days.insert(day);
    // A year's cells at a time: memory holds one page's.
    std::map<int64_t, Markup> cells;
    int64_t year = 0;
    std::shared_ptr<Dir> pages;  // the signal's folder, made with its first page
    auto write = [&](const std::string& name, const std::string& html) {
      if (pages == nullptr) {
        // What a killed run left there goes.
        pages = out->make_child(row.folder, err);
        if (pages != nullptr) pages->claim_for_writing();
      }
      if (pages != nullptr && write_page(pages, name, html, permissions, held, err, keep_same))
        return true;
      *err = shown(join_path(out->path_of(row.folder), name)) + ": " + *err;
      return false;
    };
    auto write_year = [&]() {
      if (cells.empty()) return true;
      row.days_by_year[year] = static_cast<int>(cells.size());
      const bool ok = write(year_page(year), draw_year(row.id, year, cells));
      cells.clear();
      return ok;
    };
    for (int64_t day : days) {
      if (year_of(day) != year && !write_year()) return false;
      year = year_of(day);
      KeptDay drawn;
      if (was != nullptr && day < changed->day) {
        drawn = was->days.at(day);
      } else {
        DayPage page = draw_day(row.id, day, signal, settings);
        if (!write(date_text(day) + ".html", page.html)) return false;
        drawn = {page.cell.take(), std::move(page.figures), std::move(page.problems)};
      }
      // The problems of its last days, for the index.
      row.problems[day] = drawn.problems;
      while (row.problems.begin()->first <= day - kIndexDays) row.problems.erase(row.problems.begin());
      if (!drawn.figures.empty()) row.figures[day] = drawn.figures;
      while (!row.figures.empty() && row.figures.begin()->first <= day - kIndexDays)
        row.figures.erase(row.figures.begin());
      cells[day] = Markup::kept(drawn.cell);
      if (keeping != nullptr) keeping->days[day] = std::move(drawn);
    }
    if (!write_year()) return false;
    rows.push_back(std::move(row));
  }
  for (size_t i = 0; i < count; ++i) {
    bool end;
    if (absent(i)) continue;
    if (!readers[i].at_end(&end, err)) return failed(i);
    if (!end) {
      *err = "its rows are not in the order of the signals of logs.csv";
      return failed(i);
    }
  }
  if (!write_page(out, "index.html", draw_index(std::move(rows), settings), permissions, held,
                  err, keep_same)) {
    *err = shown(out->path_of("index.html")) + ": " + *err;
    return false;
  }
  if (update != nullptr) {
    // Named last: pages that are not those it describes are drawn again.
    std::string plain;
    StateIO io(&plain);
    now.state(io);
    if (!write_page(out, kKeptPagesName, pack_kept(kKeptPagesMagic, plain), 0600, held, err)) {
      *err = shown(out->path_of(kKeptPagesName)) + ": " + *err;
      return false;
    }
  }
  if (!held->publish_all(err)) return false;
  if (!first_unreadable.empty()) {
    *err = first_unreadable;
    return false;
  }
  return true;
}

std::unique_ptr<Output> make_report_output(std::string dir, const MeasureSettings& settings,
                                           std::string update) {
  return std::make_unique<ReportOutput>(std::move(dir), settings, std::move(update));
}
