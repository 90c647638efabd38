// One events table of every log (-f events), with --logs the table of its
// logs beside it.

#ifndef QUILLON_OUTPUTS_EVENTS_TABLE_OUTPUT_H_
#define QUILLON_OUTPUTS_EVENTS_TABLE_OUTPUT_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "logconv/time_zone.h"
#include "outputs/output.h"

/// The columns that the events table of `mode` can have, in their own
/// order; "log" is only written when asked for.
const std::vector<std::string>& table_columns(Mode mode);

/// The events table of a run in `mode`, in `columns` (none: the table's
/// own), into `path` (empty or "-": the standard output) and, unless
/// `logs_path` is empty, the table of its logs; with `zone`, times in ISO
/// 8601 with their offset, in UTC with `utc`. Returns null, with *what set,
/// when a table cannot be opened.
std::unique_ptr<Output> make_events_table_output(Mode mode, uint64_t max_log_size,
                                                 const std::vector<std::string>& columns,
                                                 const std::string& path,
                                                 const std::string& logs_path,
                                                 std::string* what,
                                                 std::shared_ptr<const TimeZone> zone = nullptr,
                                                 bool utc = false);

#endif  // QUILLON_OUTPUTS_EVENTS_TABLE_OUTPUT_H_
