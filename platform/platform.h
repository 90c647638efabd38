// The narrow interface between quillon and the operating system: arguments,
// messages, directory listing, directory creation and the file operations
// that conversion and in-place decompression need. One implementation per
// system: platform-posix.cc, platform-win32.cc.
//
// Every name and path crossing this interface is UTF-8, on every system; the
// Windows implementation converts to and from UTF-16 at its edge.

#ifndef QUILLON_PLATFORM_PLATFORM_H_
#define QUILLON_PLATFORM_PLATFORM_H_

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

/// The separator that joins a directory and a name: "/" on POSIX systems,
/// "\\" on Windows.
extern const char kPathSeparator[];

/// Joins a directory and a name with kPathSeparator, the directory taken as
/// typed.
inline std::string join_path(const std::string& dir, const std::string& name) {
  return dir + kPathSeparator + name;
}

/// Whether `name` ends in `ending`, ASCII letters compared without regard to
/// case.
inline bool ends_with_ignoring_case(std::string_view name,
                                    std::string_view ending) {
  if (name.size() < ending.size()) return false;
  size_t start = name.size() - ending.size();
  for (size_t i = 0; i < ending.size(); ++i) {
    unsigned char a = static_cast<unsigned char>(name[start + i]);
    unsigned char b = static_cast<unsigned char>(ending[i]);
    if (a >= 'A' && a <= 'Z') a = static_cast<unsigned char>(a - 'A' + 'a');
    if (b >= 'A' && b <= 'Z') b = static_cast<unsigned char>(b - 'A' + 'a');
    if (a != b) return false;
  }
  return true;
}

/// Returns the program's arguments, argv[0] included, as UTF-8: on Windows
/// taken from the wide command line (so names outside the ANSI code page
/// survive), elsewhere `argv` as given.
std::vector<std::string> command_line_arguments(int argc, char** argv);

/// Writes `text` to the standard error stream: as characters on a Windows
/// console, as the UTF-8 bytes themselves to a file or pipe (where Windows
/// ends each line with "\r\n", as text mode does). Failures are ignored.
void print_error(std::string_view text);

/// Opens `path` like fopen with `mode` ("rb" to read a log, "w" to write a
/// CSV as text). Returns nullptr on failure.
FILE* open_file(const std::string& path, const char* mode);

/// Lists the regular files of `dir` whose names end in `ending`, compared
/// without regard to ASCII case, sorted by name in byte order. Directories
/// never match. Returns false, with *err set, when `dir` cannot be read.
bool find_files(const std::string& dir, const std::string& ending,
                std::vector<std::string>* names, std::string* err);

/// Creates the directory `path`, not its parents. Returns true when it was
/// created or already existed as a directory; false, with *err set, otherwise.
bool make_directory(const std::string& path, std::string* err);

/// Whether anything (a file, a directory, a dangling link) has that path.
bool path_exists(const std::string& path);

/// Creates and opens for binary writing a new file whose name starts with
/// `path_prefix` and ends in neither ".dat" nor ".gz". Returns the open file
/// and sets *path; returns nullptr, with *err set, on failure.
FILE* create_temp_file(const std::string& path_prefix, std::string* path,
                       std::string* err);

/// Flushes `file` to stable storage and closes it. Returns false, with *err
/// set, when any of that failed; the file is closed either way.
bool close_durably(FILE* file, std::string* err);

/// Renames `from` to `to` unless `to` already exists. Returns false, with
/// *err set, when `to` exists or the rename failed.
bool rename_no_replace(const std::string& from, const std::string& to,
                       std::string* err);

/// Removes the file `path`. Returns false, with *err set, on failure.
bool remove_file(const std::string& path, std::string* err);

/// Decompresses the gzip file `gz_path` (every member of it, as gzip does)
/// into `target` in the same directory, then removes `gz_path`. The data goes
/// to a temporary file that is renamed to `target` only once complete, so a
/// failure leaves `gz_path` untouched and neither `target` nor the temporary
/// file behind. Returns false, with *err set, when `target` already exists,
/// `gz_path` is not gzip data, is truncated or corrupt, or a file operation
/// failed.
bool gunzip_in_place(const std::string& gz_path, const std::string& target,
                     std::string* err);

#endif  // QUILLON_PLATFORM_PLATFORM_H_
