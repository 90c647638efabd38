#include "run/line_printer.h"

#include <utility>
#include <vector>

#include "platform/platform.h"

namespace {

// The byte offsets at which the UTF-8 characters of `text` start.
std::vector<size_t> character_starts(const std::string& text) {
  std::vector<size_t> starts;
  for (size_t i = 0; i < text.size(); ++i)
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) starts.push_back(i);
  return starts;
}

}  // namespace

std::string elide_middle(const std::string& text, size_t width) {
  std::vector<size_t> starts = character_starts(text);
  if (starts.size() <= width) return text;
  const std::string kDots = "...";
  if (width <= kDots.size()) return kDots.substr(0, width);
  size_t keep = width - kDots.size();
  size_t head = (keep + 1) / 2, tail = keep - head;
  std::string tail_text =
      tail == 0 ? std::string() : text.substr(starts[starts.size() - tail]);
  return text.substr(0, starts[head]) + kDots + tail_text;
}

LinePrinter::LinePrinter()
    : smart_(stderr_is_terminal()), width_(smart_ ? terminal_width() : 80) {}

LinePrinter::LinePrinter(std::function<void(const std::string&)> sink)
    : sink_(std::move(sink)),
      smart_(!sink_ && stderr_is_terminal()),
      width_(smart_ ? terminal_width() : 80) {}

void LinePrinter::set_status(const std::string& status) {
  if (!smart_) return;
  // One column short of the width: a full line would wrap on some terminals.
  std::string line = elide_middle(status, width_ > 1 ? width_ - 1 : 1);
  size_t columns = character_starts(line).size();
  // Spaces rub out what a longer line left; "\r" goes back to its start.
  std::string text = "\r" + line;
  if (shown_ > columns) text += std::string(shown_ - columns, ' ');
  print_error(text);
  shown_ = columns;
}

void LinePrinter::clear_status() {
  if (shown_ == 0) return;
  print_error("\r" + std::string(shown_, ' ') + "\r");
  shown_ = 0;
}

void LinePrinter::print(const std::string& message) {
  clear_status();
  if (sink_)
    sink_(message);
  else
    print_error(message);
}
