// The report: a signal's day drawn from its measure tables, as HTML pages
// with inline SVG that need no network and no script.

#ifndef QUILLON_DRIVER_REPORT_H_
#define QUILLON_DRIVER_REPORT_H_

#include <cstdint>
#include <string>
#include <string_view>

/// `text` as HTML text or an attribute's value: & < > " ' as references.
std::string html_escape(std::string_view text);

/// The folder name of a signal's pages: its id with every byte but a-z, 0-9
/// and '-' written as "_" and two hex digits, so that no id leaves the
/// report's directory and no two ids share a folder, even where case does
/// not count; a Windows device name ("con") gets a "_" after it, and a
/// name past 120 bytes is cut to 100 and a hash of the id.
std::string page_folder(std::string_view signal_id);

/// Where `value` falls between `low` and `high`, mapped onto the pixels from
/// `from` to `to` (clamped to them); `from` where low == high.
double scale(double value, double low, double high, double from, double to);

/// Writes the report of the measure tables in the folder `measures` (as
/// -f measures writes them) into `dir`: index.html and a page a signal and
/// day, each readable as a new file is but by no more than `permissions`
/// allow. Returns false, with *err naming the file, on failure.
bool write_report(const std::string& dir, const std::string& measures, int bin_minutes,
                  unsigned permissions, std::string* err);

#endif  // QUILLON_DRIVER_REPORT_H_
