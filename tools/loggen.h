// Synthetic controller logs for examples, tests and benchmarks.

#ifndef QUILLON_TOOLS_LOGGEN_H_
#define QUILLON_TOOLS_LOGGEN_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

/// One event record as it is stored in a log.
struct LogRecord {
  uint8_t type;
  /// Tenths of a second since the start of the log's hour.
  uint16_t time;
  /// The data bytes; normally as many as the type's length.
  std::vector<uint8_t> data;
};

/// Returns the text header of a synthetic log of format `version`: seven
/// lines, the first carrying the version as its sixth word, lines 3, 4 and 6
/// "name:value" pairs, the last "Binary Data Follows:".
std::string make_log_header(int version);

/// Returns the bytes of one record: type, big-endian time, data.
std::string encode_record(const LogRecord& record);

/// Returns a whole log: the header of `version` and the records.
std::string make_log(int version, const std::vector<LogRecord>& records);

/// Returns `count` records in time order over one hour, their types drawn
/// from `types` (every type of the version's table when empty) and their data
/// bytes random, as many as each type's length. The same seed gives the same
/// records.
std::vector<LogRecord> random_records(int version, size_t count,
                                      uint32_t seed,
                                      const std::vector<int>& types);

/// Returns records of every type of the version's table, in type order, each
/// type with data bytes all 0x00, all 0xFF, all 0x01, all 0x10, then
/// `random_per_type` records of random bytes over the whole range; time stamps
/// run through the hour and a few lie past it (36000 and more). The same seed
/// gives the same records.
std::vector<LogRecord> every_type_records(int version, int random_per_type,
                                          uint32_t seed);

/// Returns `data` compressed as one gzip member; empty when zlib fails.
std::string gzip_bytes(std::string_view data);

#endif  // QUILLON_TOOLS_LOGGEN_H_
