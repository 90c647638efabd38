// The text pieces that CSV event rows are assembled from, worked out once:
// per process for numbers and times, per event table for what each type
// prints. Each piece sits in a fixed-size slot and is copied whole with one
// fixed-size copy, then the write position moves on by the piece's size;
// rows are written into buffers with room for the overshoot.

#ifndef QUILLON_LOGCONV_ROW_TEXT_H_
#define QUILLON_LOGCONV_ROW_TEXT_H_

#include <cstdint>

#include "events/event_table.h"

/// A piece of text of at most N - 1 bytes; the last byte holds its size.
template <int N>
struct Slot {
  char text[N - 1];
  uint8_t size;
};

/// Pieces that do not depend on the event table.
struct NumberText {
  /// "N" for 0 to 255.
  Slot<8> decimal[256];
  /// ",N,," for 0 to 255: a parameter and its two empty columns.
  Slot<8> param[256];
  /// ",N,,\n" for 0 to 255: a standard row's parameter and the row's end.
  Slot<8> param_end[256];
  /// A proprietary on/off state by its D0: "on => N\n" when bit 0 is set,
  /// else "off => N\n", with N = D0 >> 1.
  Slot<16> state[256];
  /// Events table: "N," (a code or type), "N " (a data byte before
  /// another) and ",N" (a standard code's parameter).
  Slot<8> decimal_comma[256];
  Slot<8> decimal_space[256];
  Slot<8> event_param[256];
};

/// The number pieces, built on first use.
const NumberText& number_text();

/// "MM:SS.t," for every timestamp, in tenths of a second; 36000 and more,
/// which a sound log never holds, print as the last tenth of the hour. All
/// 65536 are held, so that no timestamp needs a test.
struct TimeText {
  char text[65536][8];
};

/// The time pieces, built on first use.
const TimeText& time_text();

/// How a standard-mode row gets its code, by event type.
enum class StandardKind : uint8_t {
  kNone,       // no converter: the record makes no row
  kSimple,     // read off the record without a call (direct, on_off and
               // second_byte, which most records use)
  kConverter,  // the row's converter decides
};

/// What each event type of one table prints, indexed by type byte, so that a
/// record needs no lookup beyond its type.
struct RowText {
  /// The number of data bytes; kNoSuchType for a type beyond the table.
  uint8_t length[256];
  /// Proprietary mode: the name with its trailing spaces and comma, and the
  /// row's "\n" unless an on/off state follows.
  Slot<32> name[256];
  /// Proprietary mode: whether the on/off state of D0 follows the name.
  bool has_state[256];
  /// Events table: the name without its trailing spaces, quoted where it
  /// must be, and a comma.
  Slot<48> event_name[256];
  /// Standard mode.
  StandardKind kind[256];
  /// kSimple: with bit = D0 & bit_mask, the code is code[bit], which makes
  /// no row when drops[bit]; the parameter is D[param_index] >> param_shift.
  uint8_t bit_mask[256];
  uint8_t code[256][2];
  bool drops[256][2];
  uint8_t param_index[256];
  uint8_t param_shift[256];

  static constexpr uint8_t kNoSuchType = 0xFF;
};

/// The pieces of one of the tables that select_event_table returns, built on
/// first use from its rows.
const RowText& row_text(const EventTable& table);

#endif  // QUILLON_LOGCONV_ROW_TEXT_H_
