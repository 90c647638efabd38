// The report (-f report): the measure tables of a run, as -f measures
// writes them into OUT/measures, drawn as pages of each signal's day.

#ifndef QUILLON_OUTPUTS_REPORT_OUTPUT_H_
#define QUILLON_OUTPUTS_REPORT_OUTPUT_H_

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "measures/measure.h"
#include "outputs/measures_output.h"
#include "outputs/output.h"
#include "outputs/published_file.h"

/// The report of a run into the directory `dir`: the tables, taken as
/// `settings` says, into `dir`/measures, then index.html and a page a
/// signal and day. With `update` (-u: the options the tables depend on),
/// only the logs that came since the run that made them are measured (as
/// make_measures_output() says), and only pages whose text changed are
/// written again.
std::unique_ptr<Output> make_report_output(std::string dir, const MeasureSettings& settings,
                                           std::string update = "");

/// What -u of the report goes by: the options the tables depend on, and
/// what make_measures_output() gives of the signals that went on.
struct ReportUpdate {
  std::string options;
  ChangedMeasures changed;
};

/// Writes the report of the measure tables in `dir`/measures (as -f
/// measures writes them, by `settings`: its bins and thresholds) into `dir`: index.html
/// and a page a signal and day, each readable as a new file is but by no
/// more than `permissions` allow. Below `dir` nothing is reached through a
/// link: one standing where a page goes is replaced. A signal whose tables
/// do not read as written is drawn as a row of the index that says why;
/// the others are drawn. Every page takes its name once all are written,
/// after the tables `held` holds (read under their temporary names): a
/// failure or an interruption before leaves the earlier report whole.
/// Returns false, with *err naming the file (and the row), where a file
/// could not be read or written or a signal not drawn, or `interrupted`,
/// called before each signal, returned true. With `update` (-u), a page
/// whose file holds its text already is left as it is, its modification
/// time too, and the days before the first that changed are not drawn
/// again where the last such run kept them (in `dir`/.quillon-pages).
bool write_report(const std::string& dir, const MeasureSettings& settings, unsigned permissions,
                  std::string* err, HeldFiles* held = nullptr,
                  const std::function<bool()>& interrupted = nullptr,
                  const ReportUpdate* update = nullptr);

#endif  // QUILLON_OUTPUTS_REPORT_OUTPUT_H_
