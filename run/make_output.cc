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

std::unique_ptr<Output> make_output(const Options& options, Mode mode,
                                    const std::shared_ptr<Dir>& root,
                                    LogSink* sink, std::string* what,
                                    int* status) {
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
                                      options.output, options.logs, what);
    case OutputFormat::kSqlite: {
#ifdef QUILLON_HAVE_SQLITE
      // The logs' paths are below the directory argument: its one canonical
      // path however it is spelled (none when it cannot be opened, and so
      // no log loaded).
      const std::string dir =
          root != nullptr ? canonical_path(options.dir) : std::string();
      return make_database_output(options.output, mode, dir, what, status);
#else
      return make_sink_output(sink, mode);
#endif
    }
    case OutputFormat::kRows:
      return make_sink_output(sink, mode);
    case OutputFormat::kMeasures:
    case OutputFormat::kReport: {
      MeasureSettings settings = options.measures;
      // As many threads as the conversion takes logs at once.
      const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
      settings.jobs = options.jobs <= 0 ? cores : options.jobs;
      return options.format == OutputFormat::kMeasures
                 ? make_measures_output(options.output, settings)
                 : make_report_output(options.output, settings);
    }
  }
  return nullptr;
}
