#include "logconv/packed_rows.h"

#include <cstring>

#include "logconv/row_text.h"

PackedRowReader::PackedRowReader(Mode mode, const EventTable& table)
    : mode_(mode), lengths_(row_text(table).length) {}

size_t PackedRowReader::row_size(const uint8_t* p) const {
  return mode_ == Mode::kStandard ? packed::kStandardRowSize
                                   : packed::kRecordHead + lengths_[p[0]];
}

bool PackedRowReader::take(const uint8_t* p) {
  PackedRow r;
  if (mode_ == Mode::kStandard) {
    r.time = static_cast<uint16_t>(p[packed::kTime] << 8 | p[packed::kTime + 1]);
    r.code = p[packed::kCode];
    r.param = p[packed::kParam];
    r.has_param = p[packed::kHasParam] != 0;
    r.data = nullptr;
    r.length = 0;
  } else {
    r.code = p[0];
    r.time = static_cast<uint16_t>(p[1] << 8 | p[2]);
    r.has_param = false;
    r.param = 0;
    r.data = p + packed::kRecordHead;
    r.length = lengths_[p[0]];
  }
  return row(r);
}

bool PackedRowReader::write(const char* data, size_t size) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(data);
  const uint8_t* end = p + size;
  // A row begun in the last piece is completed first.
  while (partial_size_ > 0 && p < end) {
    partial_[partial_size_++] = *p++;
    if (partial_size_ >= head_size() &&
        partial_size_ == row_size(partial_)) {
      partial_size_ = 0;
      if (!take(partial_)) return false;
    }
  }
  while (p < end) {
    size_t need = head_size();
    if (static_cast<size_t>(end - p) >= need) need = row_size(p);
    if (static_cast<size_t>(end - p) < need) {
      memcpy(partial_, p, static_cast<size_t>(end - p));
      partial_size_ = static_cast<size_t>(end - p);
      return true;
    }
    if (!take(p)) return false;
    p += need;
  }
  return true;
}
