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
#include <memory>
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

/// An open file, read and written with the system's own calls and no
/// buffering of its own: the conversion buffers for itself. Closed by close()
/// or when it goes.
class File {
 public:
  File() = default;
  ~File();
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  bool is_open() const { return handle_ != kClosed; }

  /// Reads up to `size` bytes into `buf`; returns how many, 0 at the end of
  /// the file, -1 on failure. A read shorter than asked is taken as the end
  /// of the file: the next one returns 0 without asking the system.
  long long read(char* buf, size_t size);

  /// Writes all `size` bytes of `data`, each "\n" as "\r\n" in a file that
  /// Windows writes as text. Returns false on failure; error() tells why.
  bool write(const char* data, size_t size);

  /// Flushes what was written to stable storage. Returns false on failure;
  /// error() tells why.
  bool sync();

  /// Closes the file. Returns false when that failed (a delayed write
  /// error; error() tells why); it is closed either way.
  bool close();

  /// The reason for the last failure of this file's calls.
  const std::string& error() const { return error_; }

 private:
  friend bool open_input(const std::string&, File*, std::string*);
  friend bool create_temp_file(const std::string&, bool, const File*, File*,
                               std::string*, std::string*);
  friend bool copy_mode_and_time(const File&, const File&, std::string*);

  static constexpr long long kClosed = -1;
  // A descriptor, or a Windows HANDLE.
  long long handle_ = kClosed;
  // Windows: "\n" goes out as "\r\n".
  [[maybe_unused]] bool text_ = false;
  // A short read has been seen.
  bool at_end_ = false;
  // POSIX: the permission bits when opened.
  [[maybe_unused]] unsigned mode_ = 0;
  std::string error_;
};

/// Whether the standard error stream is a terminal (a console on Windows)
/// that can show a line rewritten in place: not a file or a pipe, and on
/// POSIX not a terminal that calls itself "dumb".
bool stderr_is_terminal();

/// The width in columns of the terminal on the standard error stream; 80
/// when it cannot be told.
int terminal_width();

/// Opens the log or archive `path` for reading into *file. Anything that is
/// not a regular file once opened (a FIFO, a device, a directory) is refused
/// without blocking on it. Returns false, with *err set, on failure.
bool open_input(const std::string& path, File* file, std::string* err);

/// Lists the regular files of `dir` whose names end in one of `endings`,
/// compared without regard to ASCII case, sorted by name in byte order.
/// Directories never match; a link counts as what it points to. Returns
/// false, with *err set, when `dir` cannot be read.
bool find_files(const std::string& dir, const std::vector<std::string>& endings,
                std::vector<std::string>* names, std::string* err);

/// Whether `name` ends in one of `endings`, as find_files matches them.
inline bool ends_with_any(std::string_view name,
                          const std::vector<std::string>& endings) {
  for (const std::string& ending : endings)
    if (ends_with_ignoring_case(name, ending)) return true;
  return false;
}

/// Lists the sub-directories of `dir`, sorted by name in byte order; links to
/// directories are not followed, so not listed. Returns false, with *err
/// set, when `dir` cannot be read.
bool find_directories(const std::string& dir, std::vector<std::string>* names,
                      std::string* err);

/// Whether two paths name the same existing file or directory.
bool same_file(const std::string& a, const std::string& b);

/// Whether the file system takes names without regard to case (Windows).
extern const bool kNamesIgnoreCase;

/// Creates the directory `path`, not its parents. Returns true when it was
/// created or already existed as a directory; false, with *err set, otherwise.
bool make_directory(const std::string& path, std::string* err);

/// Creates the directory `path` and any missing parents. Returns true when
/// it exists as a directory afterwards; false, with *err set, otherwise.
bool make_directories(const std::string& path, std::string* err);

/// Whether anything (a file, a directory, a dangling link) has that path.
bool path_exists(const std::string& path);

/// Whether a directory stands at `path`; a link to one is not followed.
bool is_directory(const std::string& path);

/// Creates a new file in the directory `dir` under a short temporary name
/// (".quillon-" and six random characters, so never a log, archive or CSV
/// name) and opens it into *file for writing: as text when `text` (rows then
/// end "\r\n" on Windows), else as binary. With `like`, an open file, its
/// permission bits are those of a new file (the umask applies) limited to
/// those of `like`; without, only its owner may read it. Sets *path; returns
/// false, with *err set, on failure.
bool create_temp_file(const std::string& dir, bool text, const File* like,
                      File* file, std::string* path, std::string* err);

/// Gives the open file `target` the permission bits and the modification time
/// of the open file `source`, as gzip does for what it decompresses. Call it
/// after the last write to `target`. Returns false, with *err set, on failure.
bool copy_mode_and_time(const File& source, const File& target,
                        std::string* err);

/// Flushes the entries of directory `dir` (a rename in it) to stable storage.
/// Returns false, with *err set, on failure.
bool sync_directory(const std::string& dir, std::string* err);

/// Renames `from` to `to` unless `to` already exists. Returns false, with
/// *err set, when `to` exists or the rename failed.
bool rename_no_replace(const std::string& from, const std::string& to,
                       std::string* err);

/// Renames `from` to `to`, replacing whatever entry `to` names: a file, a link
/// (replaced, never followed) or a special file. Returns false, with *err
/// set, on failure (a directory stands at `to`, say).
bool rename_replace(const std::string& from, const std::string& to,
                    std::string* err);

/// Removes the file `path`. Returns false, with *err set, on failure.
bool remove_file(const std::string& path, std::string* err);

/// Reads the decompressed bytes of an open gzip file: every member of it,
/// with zero bytes after a member skipped, as gzip reads them.
class GzipReader {
 public:
  explicit GzipReader(File& file);
  ~GzipReader();
  GzipReader(const GzipReader&) = delete;
  GzipReader& operator=(const GzipReader&) = delete;

  /// Reads up to `size` decompressed bytes into `buf`; returns how many, 0
  /// at the end of the data, -1 once it is found damaged, cut short or
  /// unreadable (error() tells how). The bytes before the damage come first.
  long long read(char* buf, size_t size);

  /// What went wrong, in gzip's words ("unexpected end of file", ...).
  const std::string& error() const { return error_; }

 private:
  struct State;
  File& file_;
  std::unique_ptr<State> state_;
  std::string error_;
};

/// Decompresses the gzip file `name` of directory `dir` (every member of it,
/// as gzip does) into the same name without its last three characters
/// (".gz"), with the permission bits and modification time of the archive,
/// then removes the archive. The data goes to a temporary file that is
/// flushed to stable storage and renamed only once complete, so a failure
/// leaves the archive untouched and neither the target nor the temporary
/// file behind. Returns false, with *err set, when the target already exists
/// or would have no name, the archive is not gzip data, is truncated or
/// corrupt, or a file operation failed.
bool gunzip_in_place(const std::string& dir, const std::string& name,
                     std::string* err);

#endif  // QUILLON_PLATFORM_PLATFORM_H_
