#include "run/options.h"

#include "logconv/convert_log.h"
#include "logconv/log_time.h"
#include "outputs/events_table_output.h"
#include "platform/platform.h"

#include <algorithm>
#include <cstdlib>

// The line that opens the usage text and answers --version.
#define QUILLON_VERSION_LINE                                              \
  "Tavrin Quillon V 2.1. Complies to Traffic Signal Hi Resolution Data " \
  "Enumerations 2020 standard TPF-5 (377).\n"

const char kVersionLine[] = QUILLON_VERSION_LINE;

#ifdef QUILLON_HAVE_SQLITE
const bool kHaveSqlite = true;
#else
const bool kHaveSqlite = false;
#endif

namespace {

const char kUsageHead[] =
    QUILLON_VERSION_LINE
    "\n"
    "Usage:\n"
    "    quillon <directory to look in> <p=proprietary file e=standard "
    "enumeration file>\n\n"
    "Examples:\n"
    "  Ex 1. To read all files in the current directory where quillon is "
    "located and convert to standard format:\n"
    "    quillon . e\n"
    "  Ex 2. To read all files in the directory C:\\Data and convert to "
    "standard format:\n"
    "    quillon \"C:\\Data\" e\n"
    "\n"
    "Options:\n"
    "    quillon [options] <directory to look in> <p|e>\n";

// Reads `v`, of one to `most` decimal digits, into *n; false if it is not
// such a number.
bool read_digits(const std::string& v, size_t most, int* n) {
  if (v.empty() || v.size() > most || v.find_first_not_of("0123456789") != std::string::npos)
    return false;
  *n = atoi(v.c_str());
  return true;
}

// Reads a list of the events table's columns, comma-separated.
bool parse_columns(const std::string& text, std::vector<std::string>* columns) {
  columns->clear();
  size_t at = 0;
  for (;;) {
    size_t comma = text.find(',', at);
    columns->push_back(text.substr(at, comma - at));
    if (columns->back().empty()) return false;
    if (comma == std::string::npos) return true;
    at = comma + 1;
  }
}

// Reads a count of jobs: a decimal number from 0 to 1024.
bool parse_jobs(const std::string& text, int* jobs) {
  if (text.empty() || text.size() > 4) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  *jobs = atoi(text.c_str());
  return *jobs <= 1024;
}

// One option: its letters, whether it takes a value, what it does, and its
// line in the usage text.
struct OptionRow {
  char short_name;         // 0: none
  const char* long_name;
  const char* value_name;  // null: takes no value
  // Applies the option; false when its value is wrong.
  bool (*apply)(Options* options, const std::string& value);
  const char* help;
  // What a value must be, for the message of a wrong one.
  const char* takes = nullptr;
};

const OptionRow kOptions[] = {
    {'k', "keep", nullptr,
     [](Options* o, const std::string&) { return o->keep = true; },
     "change nothing in the directory: read each .dat.gz\n"
     "as it is, decompressing it on the way"},
    {'o', "output", "OUT",
     [](Options* o, const std::string& v) {
       o->output = v;
       return !v.empty();
     },
     "write the CSV files into OUT, made when missing;\n"
     "with -f events, the table into the file OUT; with\n"
     "-f sqlite, the database OUT; with -f measures, the\n"
     "tables into the directory OUT; with -f report, the\n"
     "pages and their tables into the directory OUT",
     "a path"},
    {'r', "recursive", nullptr,
     [](Options* o, const std::string&) { return o->recursive = true; },
     "also every sub-directory, at any depth"},
    {'j', "jobs", "N",
     [](Options* o, const std::string& v) { return parse_jobs(v, &o->jobs); },
     "convert N logs at once (0: one per core); by default\n"
     "one per core once the logs average 64 KiB or more",
     "a number from 0 to 1024"},
    {'t', "test", nullptr,
     [](Options* o, const std::string&) { return o->test = true; },
     "check every log (.dat and .dat.gz) and write nothing"},
    {'q', "quiet", nullptr,
     [](Options* o, const std::string&) { return o->quiet = true; },
     "no progress line on a terminal"},
    {'f', "format", "FORMAT",
     [](Options* o, const std::string& v) {
       if (v == "csv") o->format = OutputFormat::kCsv;
       else if (v == "events") o->format = OutputFormat::kEvents;
       else if (v == "sqlite" && kHaveSqlite) o->format = OutputFormat::kSqlite;
       else if (v == "measures") o->format = OutputFormat::kMeasures;
       else if (v == "report") o->format = OutputFormat::kReport;
       else return false;
       return true;
     },
     "csv: a CSV per log (the default); events: one table\n"
     "of every log, to standard output or to -o FILE\n"
     "(gzip-compressed for a name ending in .gz); sqlite:\n"
     "every log and event loaded into the database -o DB\n"
     "(not in the Windows build); measures: the signal\n"
     "performance measures, tables in the directory -o OUT;\n"
     "report: the measures drawn, HTML pages in -o OUT\n"
     "(for these two the mode letter may be left out)",
     kHaveSqlite ? "csv, events, sqlite, measures or report"
                 : "csv, events, measures or report (this build has no sqlite)"},
    {'u', "update", nullptr,
     [](Options* o, const std::string&) { return o->update = true; },
     "leave alone what is up to date: a CSV newer than its\n"
     "log, a log loaded with the size and time it has"},
    {0, "since", "DATE",
     [](Options* o, const std::string& v) { return parse_day(v, &o->since); },
     "read only the logs of DATE and after (YYYY-MM-DD,\n"
     "today or yesterday); the others, and logs whose name\n"
     "holds no date, are left unread",
     "a date such as 2024-06-12, today or yesterday"},
    {0, "until", "DATE",
     [](Options* o, const std::string& v) { return parse_day(v, &o->until); },
     "read only the logs of DATE and before",
     "a date such as 2024-06-12, today or yesterday"},
    {0, "tz", "ZONE",
     [](Options* o, const std::string& v) {
       o->tz = v;
       return !v.empty();
     },
     "with -f events, sqlite, measures or report, the zone\n"
     "of the controllers' clocks (such as America/Chicago):\n"
     "times in ISO 8601 with their offset from UTC, the\n"
     "hour shown twice in the fall told apart; the database\n"
     "holds instants; the measures bin in real time, days\n"
     "of 23 and 25 hours",
     "a time zone such as America/Chicago"},
    {0, "utc", nullptr,
     [](Options* o, const std::string&) { return o->utc = true; },
     "with --tz and -f events, times written in UTC"},
    {0, "signal-id", "FROM",
     [](Options* o, const std::string& v) {
       if (v == "auto") o->signal_id = SignalIdFrom::kAuto;
       else if (v == "name") o->signal_id = SignalIdFrom::kName;
       else if (v == "dir") o->signal_id = SignalIdFrom::kDir;
       else return false;
       return true;
     },
     "the events table's signal id: name (the two fields\n"
     "before a log name's date), dir (the log's directory)\n"
     "or auto (name where there are such fields; default)",
     "auto, name or dir"},
    {0, "max-log-size", "SIZE",
     [](Options* o, const std::string& v) {
       return parse_size(v, &o->max_log_size);
     },
     "stop reading a log (or what an archive holds), and\n"
     "writing its rows, at SIZE bytes, K, M or G (default\n"
     "256M; 0: no limit)",
     "a size such as 256M, 64K or 0"},
    {0, "columns", "LIST",
     [](Options* o, const std::string& v) { return parse_columns(v, &o->columns); },
     "the events table's columns, in this order: from\n"
     "signal_id, timestamp, event_code (e) or event_type,\n"
     "event_name and data (p), event_param (e), version,\n"
     "log (the file read, below the directory)",
     "a list of column names"},
    {0, "logs", "FILE",
     [](Options* o, const std::string& v) {
       o->logs = v;
       return !v.empty();
     },
     "with -f events, also the table of its logs, damaged\n"
     "ones included: path,signal_id,start,version,closing,\n"
     "records",
     "a file"},
    {0, "name", "NAME",
     [](Options* o, const std::string& v) {
       o->name = v;
       return !v.empty() && v.find_first_of("/\\") == std::string::npos;
     },
     "the name of the log read from the standard input (-),\n"
     "which gives its date: 2022_06_08_13.dat.gz",
     "a log's name without folders"},
    {0, "bin", "MINUTES",
     [](Options* o, const std::string& v) {
       if (o->measures_given.empty()) o->measures_given = "--bin";
       int& bin = o->measures.bin_minutes;
       return read_digits(v, 2, &bin) && bin > 0 && 60 % bin == 0;
     },
     "with -f measures or report, the minutes of a bin, a\n"
     "divisor of 60 (default 15)",
     "a divisor of 60: 1, 2, 3, 4, 5, 6, 10, 12, 15, 20, 30 or 60"},
    {0, "gap", "HOURS",
     [](Options* o, const std::string& v) {
       if (o->measures_given.empty()) o->measures_given = "--gap";
       return read_digits(v, 5, &o->measures.gap_hours) && o->measures.gap_hours > 0;
     },
     "with -f measures or report, the most missing hours of\n"
     "a signal written a row each in logs.csv; a longer run\n"
     "of them is one row, a gap (default 72)",
     "a number of hours from 1 to 99999"},
    {0, "threshold", "NAME=VALUE",
     [](Options* o, const std::string& v) {
       if (o->measures_given.empty()) o->measures_given = "--threshold";
       return set_threshold(v, &o->measures);
     },
     "with -f measures or report, a threshold of the\n"
     "detectors' flags and the report's problems: stuck_on\n"
     "(minutes, 60), chatter_pairs (100), chatter_gap (s,\n"
     "0.1), split_share (%, 50), split_greens (5), ped_delay\n"
     "(s, 120); of a detector map's split failures:\n"
     "split_failure (%, 79), red_seconds (5); once for each",
     "NAME=VALUE, a threshold's name (stuck_on, chatter_pairs, chatter_gap, split_share, "
     "split_greens, ped_delay, split_failure, red_seconds) and a number"},
    {0, "detectors", "FILE",
     [](Options* o, const std::string& v) {
       if (o->measures_given.empty()) o->measures_given = "--detectors";
       o->detectors = v;
       return !v.empty();
     },
     "with -f measures or report, the detector map: a CSV of\n"
     "signal_id,channel,phase,approach,roles,distance,speed;\n"
     "adds cycles, arrivals, arrivals on green, split\n"
     "failures, approach volumes and yellow and red\n"
     "actuations",
     "a file"},
    {0, "measures", nullptr,
     [](Options* o, const std::string&) { return o->with_measures = true; },
     "with -f sqlite, also the measure tables, kept current\n"
     "with the logs loaded (mode e; the measures' options as\n"
     "-f measures takes them)"},
    {0, "from", "DB",
     [](Options* o, const std::string& v) {
       o->from = v;
       return !v.empty();
     },
     "with -f report, the pages of the measure tables of the\n"
     "database DB (-f sqlite --measures), no log read; then\n"
     "no directory is given",
     "a database"},
    {'v', "verbose", nullptr,
     [](Options* o, const std::string&) { return o->verbose = true; },
     "close with a line that sums the run up: logs, events,\n"
     "and the logs reported and why"},
};

const OptionRow* find_short(char c) {
  for (const OptionRow& option : kOptions)
    if (option.short_name == c) return &option;
  return nullptr;
}

const OptionRow* find_long(const std::string& name) {
  for (const OptionRow& option : kOptions)
    if (name == option.long_name) return &option;
  return nullptr;
}

// Whether `arg` is a mode: one of the letters p and e, either case.
bool is_mode_letter(const std::string& arg) {
  return arg.size() == 1 && (arg[0] == 'p' || arg[0] == 'e' || arg[0] == 'P' || arg[0] == 'E');
}

Command positional(const std::string& dir, const std::string& mode,
                   Options* options) {
  // An empty directory would put every path under the root directory; a
  // mode such as "-t" is an option that came after the directory.
  if (dir.empty() || mode.empty() || mode[0] == '-') return Command::kBadUsage;
  options->dir = dir;
  options->inputs = {dir};
  options->letter = mode[0];
  return Command::kRun;
}

Command bad(std::string* error, const std::string& what);
std::string check_options(const Options& o);

// Checks the options `parsed` of a run, reads the zone and the detector
// map they name, and puts them in *options; else says what is wrong.
Command finish_options(Options parsed, Options* options, std::string* error) {
  std::string wrong = check_options(parsed);
  if (!wrong.empty()) return bad(error, wrong);
  if (!parsed.tz.empty()) {
    auto zone = std::make_shared<TimeZone>();
    if (!zone->load(parsed.tz, "", &wrong)) return bad(error, "--tz: " + wrong);
    parsed.zone = zone;
  }
  // The map is read before any log: a bad one stops the run here.
  if (!parsed.detectors.empty()) {
    auto map = std::make_shared<DetectorMap>();
    if (!read_detector_map(parsed.detectors, map.get(), &wrong))
      return bad(error, "--detectors: " + wrong);
    parsed.measures.detectors = map;
  }
  *options = std::move(parsed);
  return Command::kRun;
}

// Sets *error, when given, and says the command line is wrong.
Command bad(std::string* error, const std::string& what) {
  if (error != nullptr) *error = what;
  return Command::kBadUsage;
}

// What is wrong with the parsed options of a run, or nothing.
std::string check_options(const Options& o) {
  const bool events = o.format == OutputFormat::kEvents;
  if (o.format == OutputFormat::kSqlite && (o.output.empty() || o.output == "-"))
    return "-f sqlite needs the database: -o DB";
  if (o.format == OutputFormat::kMeasures && (o.output.empty() || o.output == "-"))
    return "-f measures needs the directory of its tables: -o OUT";
  if (o.format == OutputFormat::kReport && (o.output.empty() || o.output == "-"))
    return "-f report needs the directory of its pages: -o OUT";
  if (!events && o.output == "-")
    return "-o - (the standard output) is for -f events; the CSV files need "
           "a directory";
  if (!events && !o.columns.empty()) return "--columns is for -f events";
  if (o.with_measures && o.format != OutputFormat::kSqlite) return "--measures is for -f sqlite";
  if (!o.from.empty() && o.format != OutputFormat::kReport) return "--from is for -f report";
  if (!o.from.empty() && o.dir != ".")
    return "--from draws the pages of a database: no directory of logs with it";
  if (!o.from.empty() && o.update) return "-u is not for --from: every page is drawn";
  if (o.with_measures && (o.letter == 'p' || o.letter == 'P'))
    return "--measures takes the events of mode e";
  if (!o.measures_given.empty() && o.format != OutputFormat::kMeasures &&
      o.format != OutputFormat::kReport && !o.with_measures)
    return o.measures_given + " is for -f measures, -f report and -f sqlite --measures";
  if (!events && !o.logs.empty()) return "--logs is for -f events";
  if (!o.tz.empty() && o.format == OutputFormat::kCsv)
    return "--tz is for -f events, -f sqlite, -f measures and -f report";
  if (o.utc && o.tz.empty()) return "--utc needs the zone of the controllers' clocks: --tz ZONE";
  if (o.utc && !events) return "--utc is for -f events";
  if (o.logs == "-" || (!o.logs.empty() && o.logs == o.output))
    return "--logs needs a file of its own, not the table's";
  const bool takes_files = takes_log_files(o);
  if (o.inputs.size() > 1 && !takes_files)
    return "the CSV files are written for one directory; several logs are "
           "for -f events, -f sqlite or -t";
  // "-" is the standard input where logs may be files; for the CSV files a
  // directory's name like any other.
  bool standard_input = false;
  for (const std::string& input : o.inputs) {
    if (input != "-" || !takes_files) continue;
    if (standard_input) return "the standard input (-) holds one log";
    standard_input = true;
  }
  if (standard_input && o.name.empty())
    return "a log on the standard input (-) needs its name, which gives its "
           "date: --name NAME";
  const Mode mode = mode_of_letter(o.letter);
  for (const std::string& name : o.columns) {
    const std::vector<std::string>& names = table_columns(mode);
    if (std::find(names.begin(), names.end(), name) != names.end()) continue;
    std::string list;
    for (const std::string& n : names) list += (list.empty() ? "" : ", ") + n;
    return "--columns: no column '" + name + "' in mode " + letter_of_mode(mode) +
           "; its columns: " + list;
  }
  return std::string();
}

}  // namespace

bool parse_day(const std::string& text, int64_t* day) {
  int year = 0, month = 0, d = 0;
  if (text == "today" || text == "yesterday") {
    if (!local_date_today(&year, &month, &d)) return false;
    *day = days_from_civil(year, month, d) - (text == "yesterday" ? 1 : 0);
    return true;
  }
  if (text.size() != 10 || text[4] != '-' || text[7] != '-' ||
      !read_digits(text.substr(0, 4), 4, &year) || !read_digits(text.substr(5, 2), 2, &month) ||
      !read_digits(text.substr(8, 2), 2, &d) || month < 1 || month > 12 || d < 1 ||
      d > days_in_month(year, month))
    return false;
  *day = days_from_civil(year, month, d);
  return true;
}

bool reads_log_of_day(const Options& options, std::string_view log_name) {
  if (options.since == INT64_MIN && options.until == INT64_MAX) return true;
  LogHour hour;
  if (!read_log_hour(parse_log_date(log_name), &hour)) return false;
  const int64_t day = days_from_civil(hour.year, hour.month, hour.day);
  return day >= options.since && day <= options.until;
}

bool takes_log_files(const Options& options) {
  return options.format != OutputFormat::kCsv || options.test;
}

std::string usage_error_text(const std::string& error) {
  if (error.empty()) return usage_text();
  return "quillon: " + error + "\nTry 'quillon --help' for more information.\n";
}

const std::string& usage_text() {
  static const std::string kText = [] {
    std::string text = kUsageHead;
    const size_t kColumn = 20;  // where the help starts
    for (const OptionRow& option : kOptions) {
      std::string left = "  ";
      left += option.short_name != 0 ? std::string("-") + option.short_name + ", "
                                   : std::string();
      left += std::string("--") + option.long_name;
      if (option.value_name != nullptr) left += std::string(" ") + option.value_name;
      left += left.size() + 2 > kColumn ? "\n" + std::string(kColumn, ' ')
                                        : std::string(kColumn - left.size(), ' ');
      std::string help = option.help;
      for (size_t nl = help.find('\n'); nl != std::string::npos;
           nl = help.find('\n', nl + 1)) {
        help.insert(nl + 1, std::string(kColumn, ' '));
      }
      text += left + help + "\n";
    }
    text += "  --version         print the version line\n";
    text += "  --                end of the options\n";
    return text;
  }();
  return kText;
}

Command parse_command_line(const std::vector<std::string>& args,
                           Options* options, std::string* error) {
  *options = Options();
  if (error != nullptr) error->clear();
  if (args.size() == 2) {
    const std::string& arg = args[1];
    if (arg == "-h" || arg == "--help" || arg == "/?") return Command::kHelp;
    if (arg == "--version") return Command::kVersion;
  }
  if (args.size() == 3) return positional(args[1], args[2], options);

  size_t i = 1;
  for (; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--") {
      ++i;
      break;
    }
    if (arg.size() < 2 || arg[0] != '-') break;  // the directory
    if (arg[1] == '-') {
      std::string name = arg.substr(2), value;
      size_t equals = name.find('=');
      bool has_value = equals != std::string::npos;
      if (has_value) {
        value = name.substr(equals + 1);
        name = name.substr(0, equals);
      }
      if (name == "help" || name == "version") {
        if (has_value) return bad(error, "--" + name + " takes no value");
        return name == "help" ? Command::kHelp : Command::kVersion;
      }
      const OptionRow* option = find_long(name);
      if (option == nullptr) return bad(error, "unknown option '--" + name + "'");
      bool takes_value = option->value_name != nullptr;
      if (has_value && !takes_value)
        return bad(error, "--" + name + " takes no value");
      if (takes_value && !has_value) {
        if (i + 1 >= args.size())
          return bad(error, "--" + name + " needs a value: " + option->value_name);
        value = args[++i];
      }
      if (!option->apply(options, value))
        return bad(error, "--" + name + ": '" + value + "' is not " +
                              option->takes);
      continue;
    }
    // Short options, possibly bundled; one that takes a value takes the rest
    // of the argument or the next one.
    for (size_t j = 1; j < arg.size(); ++j) {
      if (arg[j] == 'h') return Command::kHelp;
      const OptionRow* option = find_short(arg[j]);
      const std::string flag = std::string("-") + arg[j];
      if (option == nullptr) return bad(error, "unknown option '" + flag + "'");
      if (option->value_name == nullptr) {
        option->apply(options, "");
        continue;
      }
      std::string value = arg.substr(j + 1);
      if (value.empty()) {
        if (i + 1 >= args.size())
          return bad(error, flag + " needs a value: " + option->value_name);
        value = args[++i];
      }
      if (!option->apply(options, value))
        return bad(error, flag + ": '" + value + "' is not " + option->takes);
      break;
    }
  }
  const bool options_ended = i > 1 && args[i - 1] == "--";
  size_t left = args.size() - i;
  // Without options a wrong count is told by the usage text; after options
  // the line says what is missing.
  if (left != 2 && i == 1) return Command::kBadUsage;
  if (left == 0 && !options->from.empty() && options->format == OutputFormat::kReport) {
    Options parsed = *options;
    parsed.dir = ".";
    parsed.letter = 'e';
    parsed.with_options = true;
    return finish_options(parsed, options, error);
  }
  if (left == 0) return bad(error, "the directory and the mode are missing");
  // The measures and the report need no mode (it changes nothing there): a
  // last operand that is no mode letter is a log or directory.
  const bool no_mode_needed =
      options->format == OutputFormat::kMeasures || options->format == OutputFormat::kReport;
  std::vector<std::string> with_mode(args);
  if (no_mode_needed && (left == 1 || !is_mode_letter(args.back()))) {
    with_mode.push_back("e");
    ++left;
  }
  if (left == 1) return bad(error, "the mode is missing after the directory");
  const std::string& mode = with_mode.back();
  // An option among the logs, before the mode: options go before them.
  if (!options_ended)
    for (size_t k = i + 1; k + 1 < with_mode.size(); ++k)
      if (with_mode[k].size() > 1 && with_mode[k][0] == '-')
        return bad(error, "option '" + with_mode[k] +
                              "' after a log or directory: options go before them");
  if (mode.size() > 1 && mode[0] == '-')
    return bad(error, "option '" + mode +
                          "' after the directory: options go before it");
  // Several inputs end with the mode, a letter or a word, never a path.
  if (left > 2 && mode.find_first_of("./\\") != std::string::npos)
    return bad(error, "the mode is missing after '" + mode + "'");
  Options parsed = *options;
  if (positional(args[i], mode, &parsed) != Command::kRun) {
    if (args[i].empty()) return bad(error, "the directory is empty");
    if (mode.empty()) return bad(error, "the mode is empty");
    return bad(error, "the mode '-' is no mode");
  }
  parsed.inputs.assign(with_mode.begin() + static_cast<std::ptrdiff_t>(i),
                       with_mode.end() - 1);
  for (const std::string& input : parsed.inputs)
    if (input.empty()) return bad(error, "an empty name is no log or directory");
  parsed.with_options = i > 1;
  return finish_options(parsed, options, error);
}

bool parse_size(const std::string& text, uint64_t* size) {
  size_t i = 0;
  uint64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (value > (UINT64_MAX - 9) / 10) return false;
    value = value * 10 + static_cast<uint64_t>(text[i] - '0');
  }
  if (i == 0) return false;
  std::string unit = text.substr(i);
  for (char& c : unit)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  int shift = 0;
  if (!unit.empty()) {
    const char* kUnits = "KMGT";
    for (int u = 0; u < 4; ++u)
      if (unit[0] == kUnits[u]) shift = 10 * (u + 1);
    std::string rest = unit.substr(1);
    if (shift == 0 || !(rest.empty() || rest == "B" || rest == "IB"))
      return false;
  }
  if (shift > 0 && value > (UINT64_MAX >> shift)) return false;
  *size = value << shift;
  return true;
}
