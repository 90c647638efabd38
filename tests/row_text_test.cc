// The pieces that rows are put from are derived from the event rows: each
// must say what the rows and converters say.

#include "logconv/row_text.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "events/event_table.h"

namespace {

template <int N>
std::string text(const Slot<N>& slot) {
  return std::string(slot.text, slot.size);
}

// For every type of every table and every value of the bytes a row reads,
// the code, parameter and drop that standard mode takes from the table equal
// what the row's converter and the drop rule give.
TEST(RowText, StandardPiecesAgreeWithTheConverters) {
  const NumberText& numbers = number_text();
  for (const EventTable* table :
       {&kVersion4Table, &kVersion5Table, &kVersion6Table, &kCurrentTable}) {
    const RowText& rows = row_text(*table);
    int simple = 0;
    for (int type = 0; type < 256; ++type) {
      if (type >= table->count) {
        EXPECT_EQ(rows.length[type], RowText::kNoSuchType);
        continue;
      }
      const EventDefinition& row = table->rows[type];
      EXPECT_EQ(rows.length[type], row.length);
      EXPECT_EQ(rows.kind[type] == StandardKind::kNone,
                row.converter == nullptr);
      if (rows.kind[type] != StandardKind::kSimple) continue;
      ++simple;
      for (int d0 = 0; d0 < 256; ++d0) {
        for (int d1 : {0, 1, 0x7F, 0xFF}) {
          uint8_t d[16] = {static_cast<uint8_t>(d0), static_cast<uint8_t>(d1)};
          int count = 0;
          uint8_t code = row.converter(row.code, d, &count);
          unsigned bit = d0 & rows.bit_mask[type];
          ASSERT_EQ(rows.drops[type][bit], !keeps_standard_code(row, code))
              << row.name << " " << d0;
          if (rows.drops[type][bit]) continue;
          EXPECT_EQ(rows.code[type][bit], code) << row.name << " " << d0;
          EXPECT_EQ(count, 1) << row.name;
          uint8_t data[2] = {static_cast<uint8_t>(d0), static_cast<uint8_t>(d1)};
          EXPECT_EQ(data[rows.param_index[type]] >> rows.param_shift[type], d[0])
              << row.name << " " << d0 << " " << d1;
        }
      }
    }
    EXPECT_GT(simple, 10);
  }
  EXPECT_EQ(text(numbers.param_end[255]), ",255,,\n");
  EXPECT_EQ(text(numbers.state[255]), "on => 127\n");
  EXPECT_EQ(text(numbers.state[0]), "off => 0\n");
}

// Proprietary names are the rows' names with their padding and a comma, and
// the row's end unless an on/off state follows.
TEST(RowText, ProprietaryNames) {
  for (const EventTable* table :
       {&kVersion4Table, &kVersion5Table, &kVersion6Table, &kCurrentTable}) {
    const RowText& rows = row_text(*table);
    for (int type = 0; type < table->count; ++type) {
      const EventDefinition& row = table->rows[type];
      bool state = std::string_view(row.name).find("on/off") !=
                       std::string_view::npos &&
                   row.length > 0;
      EXPECT_EQ(rows.has_state[type], state) << row.name;
      EXPECT_EQ(text(rows.name[type]),
                std::string(row.name) + (state ? "," : ",\n"));
    }
  }
}

TEST(RowText, TimesPastTheHourAreItsLastTenth) {
  const TimeText& times = time_text();
  const struct {
    unsigned t;
    const char* text;
  } kCases[] = {{0, "00:00.0,"},     {9, "00:00.9,"},     {599, "00:59.9,"},
                {600, "01:00.0,"},   {35999, "59:59.9,"}, {36000, "59:59.9,"},
                {65535, "59:59.9,"}};
  for (const auto& c : kCases)
    EXPECT_EQ(std::string(times.text[c.t], 8), c.text) << c.t;
}

}  // namespace
