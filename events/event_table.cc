#include "events/event_table.h"

const EventTable& select_event_table(int version) {
  switch (version) {
    case 4: return kVersion4Table;
    case 5: return kVersion5Table;
    case 6: return kVersion6Table;
    default: return kCurrentTable;
  }
}

const EventDefinition* find_event(const EventTable& table, uint8_t type) {
  if (type >= table.count) return nullptr;
  return &table.rows[type];
}

std::string_view event_name(const EventDefinition& row) {
  std::string_view name = row.name;
  return name.substr(0, name.find_last_not_of(' ') + 1);
}
