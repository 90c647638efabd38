// The pieces of the messages a run prints.

#ifndef QUILLON_LOGS_MESSAGES_H_
#define QUILLON_LOGS_MESSAGES_H_

#include <cstdint>
#include <string>
#include <string_view>

/// A name or path as messages show it: control characters (C0, DEL and the
/// C1 range, and bytes that are no UTF-8) are written as escapes ("\n",
/// "\t", "\r", "\x1b", "\xc2\x9b"), so that no name can move the cursor,
/// recolour the terminal or forge a message line of its own.
std::string shown(std::string_view path);
/// Appends `path` to `out` as shown() shows it.
void append_shown(std::string* out, std::string_view path);

/// A signal id or a path below the directory argument as the tables write
/// it, and rows are keyed by it: as shown(), and a backslash that is part of
/// a name (POSIX) written "\\" too, so that no two names look alike.
std::string shown_exactly(std::string_view name);
/// Appends `name` to `out` as shown_exactly() shows it.
void append_shown_exactly(std::string* out, std::string_view name);

/// "Error: <what>" as a line of the standard error stream.
std::string error_line(const std::string& what);
/// A size as a person reads it: "256 MiB", "1 GiB", "1000 bytes".
std::string size_text(uint64_t size);

#endif  // QUILLON_LOGS_MESSAGES_H_
