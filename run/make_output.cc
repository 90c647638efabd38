#include "run/make_output.h"

#include <algorithm>
#include <thread>
#include <utility>

#include "logs/messages.h"
#include "logs/names.h"
#include "outputs/check_output.h"
#include "outputs/csv_output.h"
#include "outputs/events_table_output.h"
#include "outputs/measures_output.h"
#include "outputs/report_output.h"
#include "outputs/sink_output.h"

namespace {

// -u of the measures: what their tables depend on besides the logs, a
// "NAME VALUE" line each, in the order a note names the first that
// differs.
std::string measures_options(const Options& options, const std::shared_ptr<Dir>& root) {
  std::string text = "--version " + std::string(kVersionLine) + "\n";
  text += "DIR " + (root != nullptr ? canonical_path(options.dir) : options.dir) + "\n";
  text += "-r " + std::to_string(options.recursive) + "\n";
  text += "--signal-id " + std::to_string(static_cast<int>(options.signal_id)) + "\n";
  text += "--since " + std::to_string(options.since) + "\n";
  text += "--until " + std::to_string(options.until) + "\n";
  text += "--bin " + std::to_string(options.measures.bin_minutes) + "\n";
  text += "--gap " + std::to_string(options.measures.gap_hours) + "\n";
  for (const ThresholdDef& t : kThresholds)
    text += "--threshold " + std::string(t.name) + "=" + threshold_text(t, options.measures) + "\n";
  // The map as read, its every field.
  std::string map;
  if (options.measures.detectors != nullptr) {
    StateIO io(&map);
    for (const auto& [signal, channels] : *options.measures.detectors) {
      std::string id = signal;
      io(id);
      for (const auto& [channel, d] : channels) {
        MappedDetector row = d;
        int number = channel;
        io(number, row.phases, row.approach, row.roles, row.travel_tenths);
      }
    }
  }
  uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (char c : map) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  text += "--detectors " + std::to_string(options.measures.detectors != nullptr ? hash : 0) + "\n";
  // Last, and only where given: tables kept without it keep their key.
  if (options.zone != nullptr) text += "--tz " + options.zone->name() + "\n";
  return text;
}

}  // namespace

std::unique_ptr<Output> make_output(const Options& options, Mode mode,
                                    const std::shared_ptr<Dir>& root,
                                    LogSink* sink, std::string* what,
                                    int* status, ChangedMeasures* changed,
                                    BeforeCommit before_commit) {
  *status = 1;
  const bool csv = options.format == OutputFormat::kCsv;
  // The two-argument run stops at the first log or CSV it cannot open; over
  // a tree, into another directory or into a table the run goes on.
  const bool fail_fast = csv && !options.recursive && options.output.empty();
  if (options.test) {
    // The formats of one table or database never change the directory.
    return make_check_output(mode, csv && !options.keep, csv, fail_fast);
  }
  switch (options.format) {
    case OutputFormat::kCsv: {
      // The output directory of the directory argument is made first (OUT
      // with its parents); one that cannot be used shows when its logs
      // would be written.
      std::shared_ptr<Dir> out;
      std::string err;
      if (!options.output.empty()) {
        out = Dir::make(options.output, &err);
        if (out == nullptr) {
          *what = "Failed to open " + shown(options.output) + ": " + err;
          return nullptr;
        }
      } else if (root != nullptr) {
        out = root->make_child(output_dir_name(options.letter), &err);
      }
      if (out != nullptr) out->claim_for_writing();
      CsvSettings settings;
      settings.max_log_size = options.max_log_size;
      settings.keep = options.keep;
      settings.output = options.output;
      settings.letter = options.letter;
      return make_csv_output(settings, mode, std::move(out), err, fail_fast);
    }
    case OutputFormat::kEvents:
      return make_events_table_output(mode, options.max_log_size, options.columns,
                                      options.output, options.logs, what, options.zone,
                                      options.utc);
    case OutputFormat::kSqlite: {
#ifdef QUILLON_HAVE_SQLITE
      // The logs' paths are below the directory argument: its one canonical
      // path however it is spelled (none when it cannot be opened, and so
      // no log loaded).
      const std::string dir =
          root != nullptr ? canonical_path(options.dir) : std::string();
      return make_database_output(options.output, mode, dir, what, status, options.zone,
                                  std::move(before_commit));
#else
      (void)before_commit;
      return make_sink_output(sink, mode);
#endif
    }
    case OutputFormat::kRows:
      return make_sink_output(sink, mode);
    case OutputFormat::kMeasures:
    case OutputFormat::kReport: {
      MeasureSettings settings = options.measures;
      settings.zone = options.zone;
      // As many threads as the conversion takes logs at once.
      const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
      settings.jobs = options.jobs <= 0 ? cores : options.jobs;
      std::string update = options.update ? measures_options(options, root) : "";
      // Tables of the rows written anew only are kept apart from whole ones.
      if (changed != nullptr && changed->only_new) update += "layout rows-written-anew\n";
      return options.format == OutputFormat::kMeasures
                 ? make_measures_output(options.output, settings, "", nullptr, update, changed)
                 : make_report_output(options.output, settings, update);
    }
  }
  return nullptr;
}
