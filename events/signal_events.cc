#include "events/signal_events.h"

#include <cstring>
#include <mutex>

#include "events/converters.h"

const std::string_view kSignalEventNames[kSignalEventKinds][2] = {
    {"Phase Green Begin", "Begin Phase Green"},
    {"Phase Yellow Begin", "Begin Phase Yellow"},
    {"Phase Yellow Complt", ""},
    {"Phase Red Begin", "Begin Phase Red Clr"},
    {"Phase Red Clr Complt", ""},
    {"Phase Term Gap Out", ""},
    {"Phase Term Max Out", ""},
    {"Phase Term Force Off", ""},
    {"Phase Ped Walk Begin", "Begin Ped Walk"},
    {"Ped call on/off", "Ph P Det call on/off"},
    {"Veh Detector on/off", ""},
    {"Preempt Input on/off", ""},
    {"Patt Status Change", ""},
    {"Cycle Length Change", ""},
    {"Offset Length Change", ""},
    {"PHASE_SKIPPED", ""},
    {"Ped Detector on/off", ""},
    {"Split Change", ""},
    {"Coord Ring Yield", ""},
    {"Power Intrpt on/off", ""},
    {"Flash Status Change", ""},
    {"Alarm Status 1 Chng", ""},
    {"Alarm Group Change", ""},
    {"Time Update", ""},
    {"Coord Status Change", ""},
    {"Unit Ctrl Sta  Chng", ""},
    {"Preempt State Chng", ""},
    {"Prmpt Gate Dn on/off", ""},
    {"Preempt Link on/off", ""},
    {"Preempt Max Presence", ""},
    {"Veh Det Alarm Change", "Veh Det RAlarm Chng"},
    {"", ""},
};

namespace {

// The converter that rows of `name` have in any table; null for none.
EventConverter converter_named(std::string_view name) {
  for (const EventTable* table :
       {&kCurrentTable, &kVersion6Table, &kVersion5Table, &kVersion4Table}) {
    for (int type = 0; type < table->count; ++type)
      if (table->rows[type].converter != nullptr &&
          event_name(table->rows[type]) == name)
        return table->rows[type].converter;
  }
  return nullptr;
}

SignalEventTable build(const EventTable& table) {
  SignalEventTable t;
  for (int type = 0; type < 256; ++type) {
    t.kind[type] = SignalEvent::kNone;
    t.converter[type] = nullptr;
    t.read[type] = SignalEventTable::kFirst;
    t.coded[type] = false;
  }
  t.kinds = 0;
  for (int type = 0; type < table.count; ++type) {
    const EventDefinition& row = table.rows[type];
    const std::string_view name = event_name(row);
    for (int kind = 0; kind < kSignalEventKinds; ++kind) {
      if (kSignalEventNames[kind][0].empty() ||
          (name != kSignalEventNames[kind][0] && name != kSignalEventNames[kind][1]))
        continue;
      t.kind[type] = static_cast<SignalEvent>(kind);
      t.kinds |= 1u << kind;
      t.coded[type] = row.converter != nullptr;
      t.converter[type] = row.converter != nullptr ? row.converter
                                                   : converter_named(name);
      t.read[type] = t.converter[type] == direct || t.converter[type] == nullptr
                         ? SignalEventTable::kFirst
                     : t.converter[type] == on_off ? SignalEventTable::kFirstShifted
                     : t.converter[type] == second_byte && row.length > 1
                         ? SignalEventTable::kSecond
                         : SignalEventTable::kCall;
    }
  }
  return t;
}

}  // namespace

const SignalEventTable& signal_events(const EventTable& table) {
  static const SignalEventTable kTables[4] = {
      build(kVersion4Table), build(kVersion5Table), build(kVersion6Table),
      build(kCurrentTable)};
  return &table == &kVersion4Table   ? kTables[0]
         : &table == &kVersion5Table ? kTables[1]
         : &table == &kVersion6Table ? kTables[2]
                                     : kTables[3];
}

int split_change_phase(const SignalEventTable& events, uint8_t type, const uint8_t* data,
                       int length) {
  EventConverter converter = events.converter[type];
  if (converter == nullptr) return 0;
  uint8_t d[16] = {}, none[16] = {};
  memcpy(d, data, static_cast<size_t>(length));
  int params = 0;
  return converter(0, d, &params) - converter(0, none, &params);
}

int signal_event_code(const SignalEventTable& events, uint8_t type, const uint8_t* data,
                      int length) {
  if (!events.coded[type]) return 0;
  uint8_t d[16] = {};
  memcpy(d, data, static_cast<size_t>(length));
  int params = 0;
  return events.converter[type](0, d, &params);
}

int converted_signal_event_value(const SignalEventTable& events, uint8_t type,
                                 const uint8_t* data, int length) {
  uint8_t d[16] = {};
  memcpy(d, data, static_cast<size_t>(length));
  EventConverter converter = events.converter[type];
  if (converter == nullptr) return d[0];
  int params = 0;
  converter(0, d, &params);
  return d[0];
}
