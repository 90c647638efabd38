#include "run/progress.h"

#include <stdio.h>

#include "run/line_printer.h"
#include "logs/messages.h"

Progress::Progress(LinePrinter& printer, bool quiet)
    : printer_(printer),
      on_(printer.smart() && !quiet),
      start_(std::chrono::steady_clock::now()) {}

void Progress::update(size_t done, size_t total, const std::string& what,
                      const std::string& name, uint64_t records) {
  if (!on_) return;
  auto now = std::chrono::steady_clock::now();
  // A new pass shows at once; within one, five times a second at most.
  if (what == last_what_ && now - last_ < std::chrono::milliseconds(200))
    return;
  last_what_ = what;
  last_ = now;
  std::string line = "[" + std::to_string(done) + "/" + std::to_string(total) +
                     "] " + what + shown(name);
  double seconds = std::chrono::duration<double>(now - start_).count();
  if (records > 0 && seconds > 0) {
    char rate[48];
    snprintf(rate, sizeof rate, ", %.1f M records/s", records / seconds / 1e6);
    line += rate;
  }
  printer_.set_status(line);
}
