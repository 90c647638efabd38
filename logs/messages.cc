#include "logs/messages.h"

#include "platform/platform.h"

namespace {

// How many bytes the UTF-8 character at `s[i]` takes, 0 when it is no
// well-formed character.
size_t utf8_length(std::string_view s, size_t i) {
  unsigned char c = static_cast<unsigned char>(s[i]);
  size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3
                          : (c >> 3) == 30 ? 4 : 0;
  if (n == 0 || i + n > s.size()) return 0;
  for (size_t k = 1; k < n; ++k)
    if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 0;
  // Overlong forms of C0 characters are not let through either.
  if (n == 2 && c < 0xC2) return 0;
  return n;
}

void put_hex(std::string* out, unsigned char c) {
  static const char kHex[] = "0123456789abcdef";
  *out += "\\x";
  *out += kHex[c >> 4];
  *out += kHex[c & 15];
}

// Appends `path` as messages show it, with `backslash` a backslash doubled.
void append_escaped(std::string* out, std::string_view path, bool backslash) {
  // Most paths are printable ASCII: they are shown as they are.
  size_t plain = 0;
  while (plain < path.size() && static_cast<unsigned char>(path[plain] - 0x20) < 0x5F &&
         !(backslash && path[plain] == '\\'))
    ++plain;
  out->append(path.substr(0, plain));
  for (size_t i = plain; i < path.size();) {
    unsigned char c = static_cast<unsigned char>(path[i]);
    size_t n = utf8_length(path, i);
    bool c1 = n == 2 && c == 0xC2 &&
              static_cast<unsigned char>(path[i + 1]) < 0xA0;
    if (c == '\n') {
      *out += "\\n";
    } else if (c == '\t') {
      *out += "\\t";
    } else if (c == '\r') {
      *out += "\\r";
    } else if (backslash && c == '\\') {
      *out += "\\\\";
    } else if (c < 0x20 || c == 0x7F || n == 0 || c1) {
      for (size_t k = 0; k < (n == 0 ? 1 : n); ++k)
        put_hex(out, static_cast<unsigned char>(path[i + k]));
      i += n == 0 ? 1 : n;
      continue;
    } else {
      out->append(path.substr(i, n));
    }
    i += n;
  }
}

}  // namespace

std::string shown(std::string_view path) {
  std::string out;
  append_shown(&out, path);
  return out;
}

void append_shown(std::string* out, std::string_view path) { append_escaped(out, path, false); }

std::string shown_exactly(std::string_view name) {
  std::string out;
  append_shown_exactly(&out, name);
  return out;
}

void append_shown_exactly(std::string* out, std::string_view name) {
  // Where a backslash separates names (Windows) no name holds one.
  append_escaped(out, name, kPathSeparator[0] != '\\');
}

std::string error_line(const std::string& what) {
  return "Error: " + what + "\n";
}

std::string size_text(uint64_t size) {
  const char* kUnits[] = {"TiB", "GiB", "MiB", "KiB"};
  for (int u = 0; u < 4; ++u) {
    int shift = 10 * (4 - u);
    if (size != 0 && size % (uint64_t{1} << shift) == 0)
      return std::to_string(size >> shift) + " " + kUnits[u];
  }
  return std::to_string(size) + (size == 1 ? " byte" : " bytes");
}
