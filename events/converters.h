// The standard-code converters that event table rows refer to. Each one is an
// EventConverter (see event_table.h): a pure function of the row's stored code
// and the record's data bytes D0, D1, ..., which may rewrite D0 with the
// parameter to print. Nothing calls them but a table row.

#ifndef QUILLON_EVENTS_CONVERTERS_H_
#define QUILLON_EVENTS_CONVERTERS_H_

#include <cstdint>

/// The stored code; parameter D0.
uint8_t direct(uint16_t stored, uint8_t* d, int* param_count);
/// Bit 0 of D0 picks the high ("on") or low ("off") byte of the stored code;
/// D0 becomes D0 >> 1.
uint8_t on_off(uint16_t stored, uint8_t* d, int* param_count);
/// The stored code; D0 becomes D1.
uint8_t second_byte(uint16_t stored, uint8_t* d, int* param_count);
/// The stored code and no parameter.
uint8_t no_param(uint16_t stored, uint8_t* d, int* param_count);
/// Code (D1 + 133) mod 256; D0 becomes D2.
uint8_t split_change(uint16_t stored, uint8_t* d, int* param_count);
/// Code (D0 + 42) mod 256; D0 becomes D1 (version 4 logs).
uint8_t split_change_v4(uint16_t stored, uint8_t* d, int* param_count);
/// Overlap state in D2 to an overlap code; parameter D0.
uint8_t overlap_state(uint16_t stored, uint8_t* d, int* param_count);
/// Maximum mode in D1 to codes 50 to 52, else the stored code; parameter D0.
uint8_t max_mode(uint16_t stored, uint8_t* d, int* param_count);
/// Preempt state in D2 (and D1) to a preemption code; parameter D0.
uint8_t preempt_state(uint16_t stored, uint8_t* d, int* param_count);
/// The stored code; D0 rewritten from the coordination state in D2.
uint8_t coord_status(uint16_t stored, uint8_t* d, int* param_count);
/// Detector alarm bits in D2 to codes 83 to 88 (versions 5 and 6).
uint8_t veh_det_ralarm(uint16_t stored, uint8_t* d, int* param_count);
/// Detector alarm bits in D2 to codes 83 to 88 (current logs).
uint8_t veh_det_alarm(uint16_t stored, uint8_t* d, int* param_count);
/// Pedestrian detector alarm: D2 = 0 gives 92, else 91; parameter D0.
uint8_t ped_det_alarm(uint16_t stored, uint8_t* d, int* param_count);
/// Split service from D1 and D12 to code 26 or 19; parameter D0.
uint8_t coord_split_service(uint16_t stored, uint8_t* d, int* param_count);
/// D4 = 1 gives 114, else 117; parameter D0.
uint8_t tsp_split_adjustment(uint16_t stored, uint8_t* d, int* param_count);
/// Priority input state in D2 to code 118 or 119; parameter D0.
uint8_t tsp_input_state(uint16_t stored, uint8_t* d, int* param_count);
/// The stored code; D0 rewritten from bit 0x10 of D0 and D1.
uint8_t alarm_status_2(uint16_t stored, uint8_t* d, int* param_count);

#endif  // QUILLON_EVENTS_CONVERTERS_H_
