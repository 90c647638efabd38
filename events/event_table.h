// The event catalogue: what every event type of a controller log means.
//
// A log record is a one-byte event type, a two-byte timestamp and a number of
// data bytes that only the event table of the log's version knows. Each table
// row also carries the controller's name for the event and how it maps onto
// the published "Traffic Signal Hi Resolution Data Enumerations" codes.

#ifndef QUILLON_EVENTS_EVENT_TABLE_H_
#define QUILLON_EVENTS_EVENT_TABLE_H_

#include <cstdint>
#include <string_view>

/// Turns one record into a standard code. `stored` is the row's stored code;
/// `data` is a caller-owned copy of the record's data bytes, of which no more
/// than the row's length is read. The converter may overwrite data[0] with the
/// parameter to print, sets *param_count to 0 or 1, and returns the standard
/// code, 0 when the record has no standard equivalent.
typedef uint8_t (*EventConverter)(uint16_t stored, uint8_t* data,
                                  int* param_count);

/// One event type of one log version.
struct EventDefinition {
  /// Name as printed in proprietary mode, with its stored trailing spaces.
  const char* name;
  /// Number of data bytes after the timestamp (0 to 16).
  uint8_t length;
  /// Category bitmask, exactly one bit set; carried, never read.
  uint16_t group;
  /// Stored standard code; for `on_off` the low byte is the "off" code and
  /// the high byte the "on" code.
  uint16_t code;
  /// How the record becomes a standard code; nullptr: it has none.
  EventConverter converter;
};

/// The rows of one log version, indexed directly by event type.
struct EventTable {
  const EventDefinition* rows;
  int count;
};

/// The stored code of an `on_off` row: `off` when bit 0 of D0 is clear, `on`
/// when it is set.
constexpr uint16_t off_on(uint8_t off, uint8_t on) {
  return static_cast<uint16_t>(off | (on << 8));
}

/// The tables of log versions 4, 5 and 6, and the current table that every
/// other version uses.
extern const EventTable kVersion4Table;
extern const EventTable kVersion5Table;
extern const EventTable kVersion6Table;
extern const EventTable kCurrentTable;

/// Returns the table for a log header's version: 4, 5 and 6 have their own,
/// every other value gets the current table. Never fails.
const EventTable& select_event_table(int version);

/// Returns the row for an event type, or nullptr when the type is not below
/// the table's row count.
const EventDefinition* find_event(const EventTable& table, uint8_t type);

/// The name of a row without its stored trailing spaces, as the events
/// table, the database and the dataframes give it.
std::string_view event_name(const EventDefinition& row);

/// Whether a converter's result is written as a standard-mode row: 0 means
/// "no standard equivalent", except on rows whose stored code is exactly 12,
/// where 0 is the real code of the "on" state.
inline bool keeps_standard_code(const EventDefinition& row, uint8_t code) {
  return code != 0 || row.code == 12;
}

#endif  // QUILLON_EVENTS_EVENT_TABLE_H_
