#include "events/event_table.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <string_view>

namespace {

struct TableCase {
  int version;
  const EventTable* table;
  int count;
};

const TableCase kTables[] = {
    {4, &kVersion4Table, 143},
    {5, &kVersion5Table, 83},
    {6, &kVersion6Table, 102},
    {7, &kCurrentTable, 116},
};

std::string_view trimmed(const char* name) {
  std::string_view s = name;
  return s.substr(0, s.find_last_not_of(' ') + 1);
}

TEST(EventTable, VersionSelectsTable) {
  EXPECT_EQ(&select_event_table(4), &kVersion4Table);
  EXPECT_EQ(&select_event_table(5), &kVersion5Table);
  EXPECT_EQ(&select_event_table(6), &kVersion6Table);
  for (int other : {0, 3, 7, -6, 46, 1000000000})
    EXPECT_EQ(&select_event_table(other), &kCurrentTable) << other;
}

TEST(EventTable, RowCountsAndFirstBadType) {
  for (const TableCase& c : kTables) {
    const EventTable& table = select_event_table(c.version);
    EXPECT_EQ(table.count, c.count);
    ASSERT_NE(find_event(table, static_cast<uint8_t>(c.count - 1)), nullptr);
    EXPECT_EQ(find_event(table, static_cast<uint8_t>(c.count - 1)),
              &table.rows[c.count - 1]);
    EXPECT_EQ(find_event(table, static_cast<uint8_t>(c.count)), nullptr);
    EXPECT_EQ(find_event(table, 255), nullptr);
  }
}

// Names are padded to 20 characters (21 for types 105 to 115 of the current
// table); version 4 placeholders are stored as stem plus type, unpadded.
TEST(EventTable, NamePadding) {
  for (const TableCase& c : kTables) {
    for (int type = 0; type < c.count; ++type) {
      std::string_view name = c.table->rows[type].name;
      std::string_view core = trimmed(c.table->rows[type].name);
      ASSERT_FALSE(core.empty());
      bool placeholder =
          c.version == 4 && c.table->rows[type].length == 0;
      size_t width = placeholder                                     ? core.size()
                     : c.table == &kCurrentTable && type >= 105      ? 21
                                                                     : 20;
      EXPECT_EQ(name.size(), width) << c.version << " type " << type;
    }
  }
}

TEST(EventTable, Version4Placeholders) {
  struct Block {
    int first, last;
    const char* stem;
    uint16_t group;
  };
  const Block kBlocks[] = {
      {8, 19, "Phase Status", 0x0001},   {26, 39, "I/E Phase Control", 0x0002},
      {45, 49, "Phase Timing", 0x0004},  {52, 59, "Detectors", 0x0008},
      {63, 69, "Det Vol/Occ", 0x0010},   {75, 79, "Overlaps", 0x0020},
      {82, 89, "Preempts", 0x0040},      {95, 99, "Coord", 0x0080},
      {107, 119, "Unit", 0x0100},        {122, 129, "Detector Alarms", 0x0200},
      {133, 139, "Channels", 0x0400},
  };
  int placeholders = 0;
  for (const Block& b : kBlocks) {
    for (int type = b.first; type <= b.last; ++type, ++placeholders) {
      const EventDefinition& row = kVersion4Table.rows[type];
      EXPECT_EQ(std::string(row.name), b.stem + std::to_string(type));
      EXPECT_EQ(row.length, 0);
      EXPECT_EQ(row.group, b.group);
      EXPECT_EQ(row.converter, nullptr);
    }
  }
  int zero_length = 0;
  for (int type = 0; type < kVersion4Table.count; ++type)
    zero_length += kVersion4Table.rows[type].length == 0;
  EXPECT_EQ(zero_length, placeholders);
}

TEST(EventTable, RowsSingledOut) {
  struct Row {
    const EventTable* table;
    int type;
    const char* name;
    int length;
  };
  const Row kRows[] = {
      {&kVersion4Table, 142, "Int Advance on/off", 1},
      {&kVersion4Table, 101, "Unit Ctrl Sta  Chng", 1},
      {&kVersion4Table, 94, "Split Change", 2},
      {&kVersion5Table, 29, "Veh Det Vol Change", 2},
      {&kVersion6Table, 29, "Deprecated", 2},
      {&kCurrentTable, 29, "Deprecated", 2},
      {&kVersion5Table, 72, "TSP CheckIN on/off", 1},
      {&kVersion6Table, 72, "TSP CheckIN on/off", 1},
      {&kCurrentTable, 72, "TSP Input   on/off", 1},
      {&kVersion6Table, 85, "TSPRmt ChkInReq Data", 16},
      {&kCurrentTable, 85, "TSPRmt ChkInReq Data", 16},
      {&kVersion6Table, 97, "COORD_LOCAL_ZERO", 0},
      {&kVersion6Table, 101, "FREE_NEW_CYCLE", 0},
      {&kCurrentTable, 101, "FREE_NEW_CYCLE", 0},
      {&kVersion5Table, 79, "TSP Rmt ChkIn Req", 14},
      {&kCurrentTable, 99, "COORD_SPLIT_SERVC", 15},
      {&kCurrentTable, 105, "Ph Preempt Force Off", 2},
      {&kCurrentTable, 115, "Coord Phase Begin", 1},
  };
  for (const Row& r : kRows) {
    const EventDefinition& row = r.table->rows[r.type];
    EXPECT_EQ(trimmed(row.name), r.name) << r.type;
    EXPECT_EQ(row.length, r.length) << r.name;
  }
}

// The versions 5, 6 and current share their first rows: length and group of
// a type never differ between them.
TEST(EventTable, SharedRowsAgree) {
  const EventTable* newer[] = {&kVersion5Table, &kVersion6Table};
  for (const EventTable* table : newer) {
    for (int type = 0; type < table->count; ++type) {
      EXPECT_EQ(table->rows[type].length, kCurrentTable.rows[type].length)
          << type;
      EXPECT_EQ(table->rows[type].group, kCurrentTable.rows[type].group)
          << type;
    }
  }
}

TEST(EventTable, EveryRowIsSound) {
  for (const TableCase& c : kTables) {
    for (int type = 0; type < c.count; ++type) {
      const EventDefinition& row = c.table->rows[type];
      EXPECT_LE(row.length, 16);
      // Exactly one of the fifteen group bits.
      EXPECT_TRUE(row.group != 0 && (row.group & (row.group - 1)) == 0 &&
                  row.group < 0x8000)
          << c.version << " type " << type;
      if (row.converter == nullptr) {
        EXPECT_EQ(row.code, 0);
      }
    }
  }
}

// A converter depends on no byte beyond its row's length: filling the rest of
// the buffer differently never changes what it returns or prints.
TEST(EventTable, ConvertersReadOnlyTheRowsBytes) {
  std::mt19937 rng(7);
  for (const TableCase& c : kTables) {
    for (int type = 0; type < c.count; ++type) {
      const EventDefinition& row = c.table->rows[type];
      if (row.converter == nullptr) continue;
      for (int trial = 0; trial < 300; ++trial) {
        uint8_t low[16], high[16];
        for (int i = 0; i < 16; ++i) {
          bool inside = i < row.length;
          uint8_t value = static_cast<uint8_t>(rng() % (trial < 100 ? 16 : 256));
          low[i] = inside ? value : 0x00;
          high[i] = inside ? value : 0xFF;
        }
        int count_low = -1, count_high = -1;
        uint8_t code_low = row.converter(row.code, low, &count_low);
        uint8_t code_high = row.converter(row.code, high, &count_high);
        ASSERT_EQ(code_low, code_high) << c.version << " type " << type;
        ASSERT_EQ(count_low, count_high);
        ASSERT_EQ(low[0], high[0]);
        ASSERT_TRUE(count_low == 0 || count_low == 1);
      }
    }
  }
}

}  // namespace
