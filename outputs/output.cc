#include "outputs/output.h"

// Rows held in memory per log before they go to a file.
static const size_t kRowsInMemory = 1 << 20;

SpilledRows::SpilledRows() : rows_(kRowsInMemory) {}

std::string NumberingWatch::note() const {
  if (mode_ != Mode::kStandard || !version4_ || !others_) return std::string();
  return "Note: these logs mix version 4 with other versions, whose standard "
         "codes are numbered apart: tell them by the version column\n";
}
