// Reading the rows that LogConverter::convert_packed writes.

#ifndef QUILLON_LOGCONV_PACKED_ROWS_H_
#define QUILLON_LOGCONV_PACKED_ROWS_H_

#include <cstdint>

#include "events/event_table.h"
#include "logconv/convert_log.h"
#include "logconv/streams.h"

/// One row: a record of the log, or in standard mode its standard code.
struct PackedRow {
  uint16_t time;       // tenths of a second since the log's hour
  uint8_t code;        // the standard code, or the event type
  bool has_param;      // standard mode: whether the code has a parameter
  uint8_t param;       // that parameter
  const uint8_t* data; // proprietary mode: the data bytes
  uint8_t length;      // how many
};

/// Takes packed rows as they are written, in pieces of any size, and hands
/// each whole row to row().
class PackedRowReader : public OutputStream {
 public:
  /// `table`: the event table of the log's version (ConvertResult::version),
  /// which gives the length of each proprietary record.
  PackedRowReader(Mode mode, const EventTable& table);
  bool write(const char* data, size_t size) override;

 protected:
  /// Takes one row; returns false to refuse the rest.
  virtual bool row(const PackedRow& row) = 0;

 private:
  // The bytes that tell a row's size.
  size_t head_size() const {
    return mode_ == Mode::kStandard ? packed::kStandardRowSize
                                    : packed::kRecordHead;
  }
  // The size of the row starting at `p`.
  size_t row_size(const uint8_t* p) const;
  bool take(const uint8_t* p);

  Mode mode_;
  const uint8_t* lengths_;  // by event type
  uint8_t partial_[32];
  size_t partial_size_ = 0;
};

#endif  // QUILLON_LOGCONV_PACKED_ROWS_H_
