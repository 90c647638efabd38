#include "events/converters.h"

uint8_t direct(uint16_t stored, uint8_t*, int* param_count) {
  *param_count = 1;
  return static_cast<uint8_t>(stored);
}

uint8_t on_off(uint16_t stored, uint8_t* d, int* param_count) {
  bool on = d[0] & 1;
  d[0] = static_cast<uint8_t>(d[0] >> 1);
  *param_count = 1;
  return static_cast<uint8_t>(on ? stored >> 8 : stored);
}

uint8_t second_byte(uint16_t stored, uint8_t* d, int* param_count) {
  d[0] = d[1];
  *param_count = 1;
  return static_cast<uint8_t>(stored);
}

uint8_t no_param(uint16_t stored, uint8_t*, int* param_count) {
  *param_count = 0;
  return static_cast<uint8_t>(stored);
}

uint8_t split_change(uint16_t, uint8_t* d, int* param_count) {
  d[0] = d[2];
  *param_count = 1;
  return static_cast<uint8_t>(d[1] + 133);
}

uint8_t split_change_v4(uint16_t, uint8_t* d, int* param_count) {
  uint8_t code = static_cast<uint8_t>(d[0] + 42);
  d[0] = d[1];
  *param_count = 1;
  return code;
}

uint8_t overlap_state(uint16_t, uint8_t* d, int* param_count) {
  static const uint8_t kCodes[] = {66, 61, 0, 61, 63, 64, 62};
  *param_count = 1;
  return d[2] < sizeof(kCodes) ? kCodes[d[2]] : 0;
}

uint8_t max_mode(uint16_t stored, uint8_t* d, int* param_count) {
  *param_count = 1;
  switch (d[1]) {
    case 1: return 50;
    case 2: return 51;
    case 3: return 52;
    default: return static_cast<uint8_t>(stored);
  }
}

uint8_t preempt_state(uint16_t, uint8_t* d, int* param_count) {
  *param_count = 1;
  switch (d[2]) {
    case 2: return d[1] == 0 ? 105 : 0;
    case 3:
    case 5: return 107;
    case 8: return 105;
    case 9: return 106;
    case 10: return 111;
    default: return 0;
  }
}

uint8_t coord_status(uint16_t stored, uint8_t* d, int* param_count) {
  switch (d[2]) {
    case 0: d[0] = 0; break;
    case 1: d[0] = 6; break;
    case 2: d[0] = 1; break;
    case 4: d[0] = 4; break;
    default: break;  // 3 and above 4 keep D0
  }
  *param_count = 1;
  return static_cast<uint8_t>(stored);
}

uint8_t veh_det_ralarm(uint16_t, uint8_t* d, int* param_count) {
  *param_count = 1;
  if (d[2] & 0x01) return 84;
  if (d[2] & 0x02) return 85;
  if (d[2] & 0x04) return 86;
  if (d[2] & 0x08) return 87;
  if (d[2] & 0x10) return 88;
  if (d[2] == 0) return 83;
  return 0;
}

uint8_t veh_det_alarm(uint16_t, uint8_t* d, int* param_count) {
  *param_count = 1;
  if (d[2] == 0) return 83;
  if (d[2] & 0x01) return 86;
  if (d[2] & 0x02) return 87;
  if (d[2] & 0x04) return 88;
  if (d[2] & 0x08) return 84;
  if (d[2] & 0x10) return 84;
  return 0;
}

uint8_t ped_det_alarm(uint16_t, uint8_t* d, int* param_count) {
  *param_count = 1;
  return d[2] == 0 ? 92 : 91;
}

uint8_t coord_split_service(uint16_t, uint8_t* d, int* param_count) {
  *param_count = 1;
  if (d[1] == 7) return 26;
  if (d[12] == 8 || d[12] == 10) return 19;
  return 0;
}

uint8_t tsp_split_adjustment(uint16_t, uint8_t* d, int* param_count) {
  *param_count = 1;
  return d[4] == 1 ? 114 : 117;
}

uint8_t tsp_input_state(uint16_t, uint8_t* d, int* param_count) {
  *param_count = 1;
  switch (d[2]) {
    case 1: return 118;
    case 3:
    case 4:
    case 11:
    case 14: return 119;
    default: return 0;
  }
}

uint8_t alarm_status_2(uint16_t stored, uint8_t* d, int* param_count) {
  bool d0_bit = d[0] & 0x10;
  bool d1_bit = d[1] & 0x10;
  if (d0_bit && !d1_bit) d[0] = 0;
  if (!d0_bit && d1_bit) d[0] = 1;
  *param_count = 1;
  return static_cast<uint8_t>(stored);
}
