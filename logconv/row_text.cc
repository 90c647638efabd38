#include "logconv/row_text.h"

#include <cstring>
#include <string>
#include <string_view>

#include "events/converters.h"
#include "logconv/convert_log.h"

namespace {

template <int N>
void set(Slot<N>* slot, const std::string& text) {
  static_assert(N <= 256);
  memset(slot->text, 0, sizeof slot->text);
  memcpy(slot->text, text.data(), text.size());
  slot->size = static_cast<uint8_t>(text.size());
}

void set_simple(RowText* t, int type, const EventDefinition& row,
                uint8_t bit_mask, uint8_t code_when_clear, uint8_t code_when_set,
                uint8_t param_index, uint8_t param_shift) {
  t->kind[type] = StandardKind::kSimple;
  t->bit_mask[type] = bit_mask;
  t->code[type][0] = code_when_clear;
  t->code[type][1] = code_when_set;
  t->drops[type][0] = !keeps_standard_code(row, code_when_clear);
  t->drops[type][1] = !keeps_standard_code(row, code_when_set);
  t->param_index[type] = param_index;
  t->param_shift[type] = param_shift;
}

RowText make_row_text(const EventTable& table) {
  RowText t;
  memset(&t, 0, sizeof t);
  for (int type = 0; type < 256; ++type) {
    t.length[type] = RowText::kNoSuchType;
    t.kind[type] = StandardKind::kNone;
  }
  for (int type = 0; type < table.count; ++type) {
    const EventDefinition& row = table.rows[type];
    t.length[type] = row.length;
    std::string_view name = row.name;
    t.has_state[type] =
        name.find("on/off") != std::string_view::npos && row.length > 0;
    set(&t.name[type], std::string(name) + (t.has_state[type] ? "," : ",\n"));
    set(&t.event_name[type], csv_field(event_name(row)) + ",");

    // The converters that most records use, done in line: each is a code
    // picked by bit 0 of D0 or not at all, and one data byte, shifted or
    // not, as parameter. Each reads no byte beyond the row's length.
    uint8_t low = static_cast<uint8_t>(row.code);
    uint8_t high = static_cast<uint8_t>(row.code >> 8);
    if (row.converter == nullptr) {
      t.kind[type] = StandardKind::kNone;
    } else if (row.converter == direct && row.length >= 1) {
      set_simple(&t, type, row, 0, low, low, 0, 0);
    } else if (row.converter == on_off && row.length >= 1) {
      set_simple(&t, type, row, 1, low, high, 0, 1);
    } else if (row.converter == second_byte && row.length >= 2) {
      set_simple(&t, type, row, 0, low, low, 1, 0);
    } else {
      t.kind[type] = StandardKind::kConverter;
    }
  }
  return t;
}

}  // namespace

const NumberText& number_text() {
  static const NumberText kText = [] {
    NumberText t;
    for (int n = 0; n < 256; ++n) {
      std::string decimal = std::to_string(n);
      set(&t.decimal[n], decimal);
      set(&t.param[n], "," + decimal + ",,");
      set(&t.param_end[n], "," + decimal + ",,\n");
      set(&t.state[n], std::string(n & 1 ? "on => " : "off => ") +
                           std::to_string(n >> 1) + "\n");
      set(&t.decimal_comma[n], decimal + ",");
      set(&t.decimal_space[n], decimal + " ");
      set(&t.event_param[n], "," + decimal);
    }
    return t;
  }();
  return kText;
}

const TimeText& time_text() {
  static const TimeText* const kText = [] {
    TimeText* t = new TimeText;
    for (unsigned stamp = 0; stamp < 65536; ++stamp) {
      unsigned tenths = stamp < kTenthsPerHour ? stamp : kTenthsPerHour - 1;
      unsigned minutes = tenths / 600, seconds = tenths / 10 % 60;
      char* p = t->text[stamp];
      p[0] = static_cast<char>('0' + minutes / 10);
      p[1] = static_cast<char>('0' + minutes % 10);
      p[2] = ':';
      p[3] = static_cast<char>('0' + seconds / 10);
      p[4] = static_cast<char>('0' + seconds % 10);
      p[5] = '.';
      p[6] = static_cast<char>('0' + tenths % 10);
      p[7] = ',';
    }
    return t;
  }();
  return *kText;
}

const RowText& row_text(const EventTable& table) {
  static const RowText kVersion4 = make_row_text(kVersion4Table);
  static const RowText kVersion5 = make_row_text(kVersion5Table);
  static const RowText kVersion6 = make_row_text(kVersion6Table);
  static const RowText kCurrent = make_row_text(kCurrentTable);
  if (&table == &kVersion4Table) return kVersion4;
  if (&table == &kVersion5Table) return kVersion5;
  if (&table == &kVersion6Table) return kVersion6;
  return kCurrent;
}
