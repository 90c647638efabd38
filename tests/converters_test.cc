#include "events/converters.h"

#include <gtest/gtest.h>

#include <vector>

#include "events/event_table.h"
#include "tests/test_support.h"
#include "tools/loggen.h"

namespace {

struct Case {
  const char* what;
  EventConverter converter;
  uint16_t stored;
  std::vector<uint8_t> data;  // D0, D1, ...; the rest of the 16 bytes are 0
  int code;
  int param_count;
  int d0_after;
};

const Case kCases[] = {
    {"direct", direct, 23, {7}, 23, 1, 7},
    {"on_off on", on_off, off_on(81, 82), {5}, 82, 1, 2},
    {"on_off off", on_off, off_on(81, 82), {4}, 81, 1, 2},
    {"on_off 12/0 on", on_off, off_on(12, 0), {3}, 0, 1, 1},
    {"on_off 12/0 off", on_off, off_on(12, 0), {0}, 12, 1, 0},
    {"on_off top bit", on_off, off_on(1, 2), {255}, 2, 1, 127},
    {"second_byte", second_byte, 131, {9, 4}, 131, 1, 4},
    {"no_param", no_param, 181, {1, 2, 3}, 181, 0, 1},
    {"split_change", split_change, 0, {9, 1, 30}, 134, 1, 30},
    {"split_change wraps", split_change, 0, {9, 200, 5}, 77, 1, 5},
    {"split_change_v4", split_change_v4, 0, {3, 25}, 45, 1, 25},
    {"split_change_v4 wraps", split_change_v4, 0, {250, 1}, 36, 1, 1},
    {"overlap_state 0", overlap_state, 0, {4, 0, 0}, 66, 1, 4},
    {"overlap_state 1", overlap_state, 0, {4, 0, 1}, 61, 1, 4},
    {"overlap_state 2", overlap_state, 0, {4, 0, 2}, 0, 1, 4},
    {"overlap_state 3", overlap_state, 0, {4, 0, 3}, 61, 1, 4},
    {"overlap_state 4", overlap_state, 0, {4, 0, 4}, 63, 1, 4},
    {"overlap_state 5", overlap_state, 0, {4, 0, 5}, 64, 1, 4},
    {"overlap_state 6", overlap_state, 0, {4, 0, 6}, 62, 1, 4},
    {"overlap_state 7", overlap_state, 0, {4, 0, 7}, 0, 1, 4},
    {"overlap_state 255", overlap_state, 0, {4, 0, 255}, 0, 1, 4},
    {"max_mode 1", max_mode, 50, {6, 1}, 50, 1, 6},
    {"max_mode 2", max_mode, 50, {6, 2}, 51, 1, 6},
    {"max_mode 3", max_mode, 50, {6, 3}, 52, 1, 6},
    {"max_mode other", max_mode, 77, {6, 4}, 77, 1, 6},
    {"max_mode 0", max_mode, 77, {6, 0}, 77, 1, 6},
    {"preempt_state 2, D1 0", preempt_state, 0, {3, 0, 2}, 105, 1, 3},
    {"preempt_state 2, D1 1", preempt_state, 0, {3, 1, 2}, 0, 1, 3},
    {"preempt_state 3", preempt_state, 0, {3, 1, 3}, 107, 1, 3},
    {"preempt_state 5", preempt_state, 0, {3, 1, 5}, 107, 1, 3},
    {"preempt_state 8", preempt_state, 0, {3, 1, 8}, 105, 1, 3},
    {"preempt_state 9", preempt_state, 0, {3, 1, 9}, 106, 1, 3},
    {"preempt_state 10", preempt_state, 0, {3, 1, 10}, 111, 1, 3},
    {"preempt_state 0", preempt_state, 0, {3, 0, 0}, 0, 1, 3},
    {"preempt_state 4", preempt_state, 0, {3, 0, 4}, 0, 1, 3},
    {"preempt_state 11", preempt_state, 0, {3, 0, 11}, 0, 1, 3},
    {"coord_status 0", coord_status, 150, {9, 0, 0}, 150, 1, 0},
    {"coord_status 1", coord_status, 150, {9, 0, 1}, 150, 1, 6},
    {"coord_status 2", coord_status, 150, {9, 0, 2}, 150, 1, 1},
    {"coord_status 3", coord_status, 150, {9, 0, 3}, 150, 1, 9},
    {"coord_status 4", coord_status, 150, {9, 0, 4}, 150, 1, 4},
    {"coord_status 5", coord_status, 150, {9, 0, 5}, 150, 1, 9},
    {"veh_det_ralarm 0x01", veh_det_ralarm, 0, {2, 0, 0x01}, 84, 1, 2},
    {"veh_det_ralarm 0x02", veh_det_ralarm, 0, {2, 0, 0x02}, 85, 1, 2},
    {"veh_det_ralarm 0x04", veh_det_ralarm, 0, {2, 0, 0x04}, 86, 1, 2},
    {"veh_det_ralarm 0x08", veh_det_ralarm, 0, {2, 0, 0x08}, 87, 1, 2},
    {"veh_det_ralarm 0x10", veh_det_ralarm, 0, {2, 0, 0x10}, 88, 1, 2},
    {"veh_det_ralarm 0x18", veh_det_ralarm, 0, {2, 0, 0x18}, 87, 1, 2},
    {"veh_det_ralarm 0x03", veh_det_ralarm, 0, {2, 0, 0x03}, 84, 1, 2},
    {"veh_det_ralarm 0", veh_det_ralarm, 0, {2, 0, 0}, 83, 1, 2},
    {"veh_det_ralarm 0xE0", veh_det_ralarm, 0, {2, 0, 0xE0}, 0, 1, 2},
    {"veh_det_alarm 0", veh_det_alarm, 0, {2, 0, 0}, 83, 1, 2},
    {"veh_det_alarm 0x01", veh_det_alarm, 0, {2, 0, 0x01}, 86, 1, 2},
    {"veh_det_alarm 0x02", veh_det_alarm, 0, {2, 0, 0x02}, 87, 1, 2},
    {"veh_det_alarm 0x04", veh_det_alarm, 0, {2, 0, 0x04}, 88, 1, 2},
    {"veh_det_alarm 0x08", veh_det_alarm, 0, {2, 0, 0x08}, 84, 1, 2},
    {"veh_det_alarm 0x10", veh_det_alarm, 0, {2, 0, 0x10}, 84, 1, 2},
    {"veh_det_alarm 0x18", veh_det_alarm, 0, {2, 0, 0x18}, 84, 1, 2},
    {"veh_det_alarm 0x06", veh_det_alarm, 0, {2, 0, 0x06}, 87, 1, 2},
    {"veh_det_alarm 0x20", veh_det_alarm, 0, {2, 0, 0x20}, 0, 1, 2},
    {"ped_det_alarm 0", ped_det_alarm, 0, {5, 0, 0}, 92, 1, 5},
    {"ped_det_alarm 0x80", ped_det_alarm, 0, {5, 0, 0x80}, 91, 1, 5},
    {"coord_split_service D1 7", coord_split_service, 0,
     {4, 7, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 8}, 26, 1, 4},
    {"coord_split_service D12 8", coord_split_service, 0,
     {4, 6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 8}, 19, 1, 4},
    {"coord_split_service D12 10", coord_split_service, 0,
     {4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 10}, 19, 1, 4},
    {"coord_split_service neither", coord_split_service, 0,
     {4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9}, 0, 1, 4},
    {"tsp_split_adjustment 1", tsp_split_adjustment, 0, {3, 0, 0, 0, 1}, 114, 1, 3},
    {"tsp_split_adjustment 0", tsp_split_adjustment, 0, {3, 0, 0, 0, 0}, 117, 1, 3},
    {"tsp_split_adjustment 2", tsp_split_adjustment, 0, {3, 1, 1, 1, 2}, 117, 1, 3},
    {"tsp_input_state 1", tsp_input_state, 0, {8, 0, 1}, 118, 1, 8},
    {"tsp_input_state 3", tsp_input_state, 0, {8, 0, 3}, 119, 1, 8},
    {"tsp_input_state 4", tsp_input_state, 0, {8, 0, 4}, 119, 1, 8},
    {"tsp_input_state 11", tsp_input_state, 0, {8, 0, 11}, 119, 1, 8},
    {"tsp_input_state 14", tsp_input_state, 0, {8, 0, 14}, 119, 1, 8},
    {"tsp_input_state 0", tsp_input_state, 0, {8, 0, 0}, 0, 1, 8},
    {"tsp_input_state 2", tsp_input_state, 0, {8, 0, 2}, 0, 1, 8},
    {"tsp_input_state 12", tsp_input_state, 0, {8, 0, 12}, 0, 1, 8},
    {"tsp_input_state 15", tsp_input_state, 0, {8, 0, 15}, 0, 1, 8},
    {"alarm_status_2 D0 only", alarm_status_2, 0, {0x10, 0x00}, 0, 1, 0},
    {"alarm_status_2 D1 only", alarm_status_2, 0, {0x00, 0x10}, 0, 1, 1},
    {"alarm_status_2 both", alarm_status_2, 0, {0x13, 0x10}, 0, 1, 0x13},
    {"alarm_status_2 neither", alarm_status_2, 0, {0x05, 0x01}, 0, 1, 5},
    {"alarm_status_2 stored", alarm_status_2, 174, {0x05, 0x01}, 174, 1, 5},
};

TEST(Converters, EveryBranch) {
  for (const Case& c : kCases) {
    uint8_t d[16] = {};
    std::copy(c.data.begin(), c.data.end(), d);
    int param_count = -1;
    EXPECT_EQ(c.converter(c.stored, d, &param_count), c.code) << c.what;
    EXPECT_EQ(param_count, c.param_count) << c.what;
    EXPECT_EQ(d[0], c.d0_after) << c.what;
  }
}

TEST(Converters, DropRule) {
  // On "Phase on/off" (stored 12) the code 0 of the "on" state is real; on
  // "Overlap on/off" (stored 65) a 0 drops the record.
  EXPECT_TRUE(keeps_standard_code(kCurrentTable.rows[0], 0));
  EXPECT_FALSE(keeps_standard_code(kCurrentTable.rows[31], 0));
  EXPECT_TRUE(keeps_standard_code(kCurrentTable.rows[31], 65));
  EXPECT_TRUE(keeps_standard_code(kVersion4Table.rows[70], 0));
  EXPECT_FALSE(keeps_standard_code(kVersion4Table.rows[21], 0));
}

struct VersionCase {
  int version;
  const char* file_name;
  std::vector<LogRecord> records;
  const char* rows;  // the CSV after the header rows
};

const VersionCase kVersionCases[] = {
    {4,
     "2019_11_30_23.dat",
     {
         {0, 10, {3}},          // Phase on/off 0/0: dropped
         {70, 20, {3}},         // Overlap on/off 12/0, on: code 0, written
         {70, 30, {2}},         // off: code 12
         {21, 40, {5}},         // Phase Omit on/off 0/0: dropped
         {94, 50, {3, 25}},     // split_change_v4
         {8, 60, {}},           // placeholder, three bytes
         {91, 70, {4}},         // direct 0: dropped
         {2, 80, {4}},          // direct 1
     },
     " 11/30/2019 23:00:02.0,0,1,,\n"
     " 11/30/2019 23:00:03.0,12,1,,\n"
     " 11/30/2019 23:00:05.0,45,25,,\n"
     " 11/30/2019 23:00:08.0,1,4,,\n"
     ",End of Controller Log\n"},
    {5,
     "2021_03_02_09.dat",
     {
         {60, 600, {2, 0, 0x18}},  // veh_det_ralarm
         {58, 610, {2, 0, 0}},     // no converter in version 5
         {14, 620, {7}},           // Veh call on/off 44/43
         {72, 630, {1}},           // TSP CheckIN on/off 0/112
         {12, 640, {4}},           // Phase FO on/off 6/0
         {23, 650, {1}},           // no converter in version 5
         {82, 660, {1}},
         {83, 670, {}},            // beyond the version 5 table
     },
     " 03/02/2021 09:01:00.0,87,2,,\n"
     " 03/02/2021 09:01:02.0,43,3,,\n"
     " 03/02/2021 09:01:03.0,112,0,,\n"
     " 03/02/2021 09:01:04.0,6,2,,\n"
     ",Error: bad event type 83\n"},
    {6,
     "2022_06_08_13.dat",
     {
         {39, 1, {1, 0, 2}},    // preempt_state: 105
         {39, 2, {1, 1, 2}},    // preempt_state: dropped
         {54, 3, {0x10, 0}},    // alarm_status_2, stored 0: dropped
         {88, 4, {1, 2, 3, 4, 1}},  // no converter in version 6
         {101, 5, {}},          // length 0
         {32, 6, {7, 0, 5}},    // overlap_state
         {44, 7, {9, 0, 1}},    // coord_status
     },
     " 06/08/2022 13:00:00.1,105,1,,\n"
     " 06/08/2022 13:00:00.6,64,7,,\n"
     " 06/08/2022 13:00:00.7,150,6,,\n"
     ",End of Controller Log\n"},
    {7,
     "AB_17_2023_01_15_07.dat",
     {
         {58, 36000, {3, 0, 0x18}},  // veh_det_alarm
         {110, 1, {2, 3}},           // max_mode
         {99, 2, {5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 10, 0, 0}},
         {88, 3, {6, 0, 0, 0, 1}},   // tsp_split_adjustment
         {71, 4, {1, 2, 3}},         // no_param
         {0, 5, {3}},                // Phase on/off 12/0, on: written
         {31, 6, {3}},               // Overlap on/off 65/0, on: dropped
         {75, 7, {4, 0, 14}},        // tsp_input_state
         {54, 8, {0, 0x10}},         // alarm_status_2: dropped
     },
     " 01/15/2023 07:59:59.9,84,3,,\n"
     " 01/15/2023 07:00:00.1,52,2,,\n"
     " 01/15/2023 07:00:00.2,19,5,,\n"
     " 01/15/2023 07:00:00.3,114,6,,\n"
     " 01/15/2023 07:00:00.4,181,,\n"
     " 01/15/2023 07:00:00.5,0,1,,\n"
     " 01/15/2023 07:00:00.7,119,4,,\n"
     ",End of Controller Log\n"},
};

TEST(Converters, StandardModeOfEachVersion) {
  for (const VersionCase& c : kVersionCases) {
    std::string csv =
        convert(make_log(c.version, c.records), c.file_name, Mode::kStandard);
    EXPECT_EQ(csv, header_rows(c.version) + c.rows) << "version " << c.version;
  }
}

}  // namespace
