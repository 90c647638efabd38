#include "run/line_printer.h"

#include <gtest/gtest.h>

namespace {

TEST(LinePrinter, ElideMiddle) {
  const struct {
    const char* text;
    size_t width;
    const char* elided;
  } kCases[] = {
      {"abcdef", 6, "abcdef"},   {"abcdef", 10, "abcdef"},
      {"abcdefgh", 7, "ab...gh"}, {"abcdefgh", 6, "ab...h"},
      {"abcdefgh", 4, "a..."},   {"abcdefgh", 3, "..."},
      {"abcdefgh", 2, ".."},     {"", 0, ""},
      // UTF-8 characters count once and are never cut.
      {"北京路北京路", 5, "北...路"}, {"Façade", 6, "Façade"},
  };
  for (const auto& c : kCases)
    EXPECT_EQ(elide_middle(c.text, c.width), c.elided) << c.text << " " << c.width;
}

}  // namespace
