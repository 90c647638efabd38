// The narrow interface between quillon and the operating system: directory
// listing, directory creation and the file operations that in-place
// decompression needs. One implementation per system: platform-posix.cc,
// platform-win32.cc.

#ifndef QUILLON_PLATFORM_PLATFORM_H_
#define QUILLON_PLATFORM_PLATFORM_H_

#include <cstdio>
#include <string>
#include <vector>

/// The separator that joins a directory and a name: "/" on POSIX systems,
/// "\\" on Windows.
extern const char kPathSeparator[];

/// Joins a directory and a name with kPathSeparator, the directory taken as
/// typed.
inline std::string join_path(const std::string& dir, const std::string& name) {
  return dir + kPathSeparator + name;
}

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
