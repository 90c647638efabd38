// What the tool prints on the standard error stream: its messages, and on a
// terminal one status line that is rewritten in place.

#ifndef QUILLON_RUN_LINE_PRINTER_H_
#define QUILLON_RUN_LINE_PRINTER_H_

#include <functional>
#include <string>

/// Prints messages on the standard error stream. When that stream is a
/// terminal it also shows a status line, rewritten in place and shortened in
/// the middle to fit the terminal's width, which is cleared before every
/// message and at the end, so that the two never garble each other. Anywhere
/// else only the messages are printed.
class LinePrinter {
 public:
  LinePrinter();
  /// With `sink`, messages go to it and no status line is shown.
  explicit LinePrinter(std::function<void(const std::string&)> sink);
  ~LinePrinter() { clear_status(); }

  /// Whether a status line can be shown.
  bool smart() const { return smart_; }

  /// Shows `status` as the status line; does nothing when not smart.
  void set_status(const std::string& status);

  /// Prints `message` (whole lines) after clearing the status line.
  void print(const std::string& message);

  /// Clears the status line, if one is shown.
  void clear_status();

 private:
  std::function<void(const std::string&)> sink_;
  bool smart_;
  int width_;
  size_t shown_ = 0;  // columns of the status line now on the terminal
};

/// Returns `text` shortened to at most `width` columns by putting "..." in
/// its middle; each UTF-8 character counts as one column.
std::string elide_middle(const std::string& text, size_t width);

#endif  // QUILLON_RUN_LINE_PRINTER_H_
