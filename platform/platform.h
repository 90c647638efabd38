// The narrow interface between quillon and the operating system: arguments,
// messages, open directories and the file operations done through them. One
// implementation per system: platform-posix.cc, platform-win32.cc.
//
// Every name and path crossing this interface is UTF-8, on every system; the
// Windows implementation converts to and from UTF-16 at its edge.
//
// Files are reached through an open directory (Dir), never by resolving a
// path again: a directory swapped for a link after it was opened cannot
// redirect what is read or written in it.

#ifndef QUILLON_PLATFORM_PLATFORM_H_
#define QUILLON_PLATFORM_PLATFORM_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

/// The separator that joins a directory and a name: "/" on POSIX systems,
/// "\\" on Windows.
extern const char kPathSeparator[];

/// Whether the file system takes names without regard to case (Windows).
extern const bool kNamesIgnoreCase;

/// How many levels of open directories a tree walk may keep open above the
/// one it is in: few where descriptors are scarce (POSIX), all on Windows,
/// where an open directory is what keeps it from being renamed.
extern const int kAncestorsKeptOpen;

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

/// The key under which the file system takes `name`: the name itself where
/// case matters, its upper-case form as the file system folds it (every
/// script, not only A-Z) where it does not.
std::string name_key(const std::string& name);

/// Returns the program's arguments, argv[0] included, as UTF-8: on Windows
/// taken from the wide command line (so names outside the ANSI code page
/// survive), elsewhere `argv` as given.
std::vector<std::string> command_line_arguments(int argc, char** argv);

/// Writes `text` to the standard error stream: as characters on a Windows
/// console, as the UTF-8 bytes themselves to a file or pipe (where Windows
/// ends each line with "\r\n", as text mode does). Failures are ignored.
void print_error(std::string_view text);

/// Writes `text` to the standard output stream, as print_error writes to the
/// standard error stream. Failures are ignored.
void print_output(std::string_view text);

/// Whether the standard error stream is a terminal (a console on Windows)
/// that can show a line rewritten in place: not a file or a pipe, and on
/// POSIX not a terminal that calls itself "dumb".
bool stderr_is_terminal();

/// The width in columns of the terminal on the standard error stream; 80
/// when it cannot be told.
int terminal_width();

/// Today's date on this machine's clock and in its time zone; false when
/// the clock cannot be read.
bool local_date_today(int* year, int* month, int* day);

/// The folder of the compiled time zone files: $TZDIR where set; else
/// /usr/share/zoneinfo on POSIX, and on Windows the folder "zoneinfo"
/// beside the program, which its zip carries.
std::string time_zone_folder();

/// Who owns a file and who may read it: the POSIX owner, group and
/// permission bits (not used on Windows).
struct FileOwner {
  static constexpr uint32_t kUnchanged = 0xFFFFFFFF;
  uint32_t user = kUnchanged, group = kUnchanged;
  unsigned mode = 0;
};

/// An open file, read and written with the system's own calls and no
/// buffering of its own: the conversion buffers for itself. Closed by close()
/// or when it goes.
class File {
 public:
  File() = default;
  ~File();
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  bool is_open() const { return handle_ != kClosed; }

  /// Reads up to `size` bytes into `buf`; returns how many, 0 at the end of
  /// the file, -1 on failure. Of a file, a read shorter than asked is taken
  /// as its end: the next one returns 0 without asking the system; of the
  /// standard input, only a read of nothing.
  long long read(char* buf, size_t size);

  /// Writes all `size` bytes of `data`, each "\n" as "\r\n" in a file that
  /// Windows writes as text. Returns false on failure; error() tells why.
  bool write(const char* data, size_t size);

  /// Goes back to the start of the file, to read it again. Returns false on
  /// failure; error() tells why.
  bool rewind();

  /// Goes to `offset` from the start of the file, to read from there.
  /// Returns false on failure; error() tells why.
  bool seek(uint64_t offset);

  /// Reads exactly `size` bytes from `offset` into `buf`; where write()
  /// goes stays as it was. Returns false on failure or when the file ends
  /// first; error() tells why.
  bool read_at(uint64_t offset, char* buf, size_t size);

  /// Writes `size` bytes of `from`, read from `offset`, as write() would:
  /// within the system where it can copy between files (Linux), else
  /// through memory. Returns false on failure or when `from` ends first;
  /// error() tells why.
  bool copy_from(File& from, uint64_t offset, uint64_t size);

  /// Empties the file and goes back to its start, to write it anew. Returns
  /// false on failure; error() tells why.
  bool truncate();

  /// Flushes what was written to stable storage. Returns false on failure;
  /// error() tells why.
  bool sync();

  /// Closes the file. Returns false when that failed (a delayed write
  /// error; error() tells why); it is closed either way.
  bool close();

  /// The reason for the last failure of this file's calls.
  const std::string& error() const { return error_; }

  /// The size the file had when Dir::open_file opened it; 0 for others.
  uint64_t size() const { return size_; }

  /// The size of the open file in bytes and its modification time in
  /// nanoseconds since 1970; false, with error() set, when they cannot be
  /// told.
  bool size_and_time(uint64_t* size, int64_t* mtime_ns);

  /// The permission bits the file had when Dir::open_file opened it (POSIX;
  /// 0666 on Windows, where access follows the directory).
  unsigned permissions() const { return mode_; }

  /// Gives the open file the permission bits and, where the process may
  /// (root), the owner of `owner`. Returns false, with error() set, on
  /// failure; does nothing on Windows.
  bool set_owner(const FileOwner& owner);

 private:
  friend class Dir;
  friend bool copy_mode_and_time(const File&, const File&, std::string*);
  friend bool create_unnamed_temp(File*, std::string*);
  friend bool open_standard_stream(int, File*, std::string*);
  friend bool open_device(const std::string&, File*, std::string*);

  static constexpr long long kClosed = -1;
  // A descriptor, or a Windows HANDLE.
  long long handle_ = kClosed;
  // Windows: "\n" goes out as "\r\n".
  bool text_ = false;
  // A short read has been seen.
  bool at_end_ = false;
  // The standard input: a short read is no end.
  bool stream_ = false;
  // POSIX: the permission bits when opened.
  unsigned mode_ = 0;
  uint64_t size_ = 0;
  std::string error_;
};

inline File::File(File&& other) noexcept { *this = std::move(other); }

inline File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = other.handle_;
    text_ = other.text_;
    at_end_ = other.at_end_;
    stream_ = other.stream_;
    mode_ = other.mode_;
    size_ = other.size_;
    error_ = std::move(other.error_);
    other.handle_ = kClosed;
  }
  return *this;
}

/// How a new file is written: as text ("\n" as "\r\n" on Windows) or as
/// the bytes themselves.
enum class Content { kText, kBinary };

/// Who may read a temporary file that is made like no other: only its owner
/// while it is written, or whoever a new file allows (the umask applies).
enum class TempAccess { kOwnerOnly, kAsNewFile };

/// Whether Dir::publish replaces an entry of the name it gives.
enum class Replace { kYes, kNo };

/// What a directory entry is, as a listing shows it.
enum class EntryKind {
  kFile,       // a regular file, or a link to one
  kDirectory,  // a directory itself, not a link to one
  kDirectoryLink,  // a link (or junction) to a directory: never searched
  kOther,      // a FIFO, socket or device, a dangling link, a link to those
};

/// One entry of a directory listing.
struct DirEntry {
  std::string name;
  EntryKind kind;
};

/// What tells two directories apart: the device and the file's number.
struct FileId {
  uint64_t device = 0, number = 0;
  bool operator==(const FileId& other) const {
    return device == other.device && number == other.number;
  }
};

/// An open directory. Files in it are opened, created, renamed and removed
/// through it (the *at calls on POSIX; on Windows through its full path,
/// which cannot change while the directory is held open). Shared by the
/// tasks that work in it; closed when the last one lets go.
class Dir {
 public:
  ~Dir();
  Dir(const Dir&) = delete;
  Dir& operator=(const Dir&) = delete;

  /// Opens the directory `path` as the user typed it: links are followed.
  /// Returns null, with *err set, on failure.
  static std::shared_ptr<Dir> open(const std::string& path, std::string* err);

  /// Creates the directory `path` as typed, with any missing parents, and
  /// opens it. Returns null, with *err set, on failure.
  static std::shared_ptr<Dir> make(const std::string& path, std::string* err);

  /// The directory's path as messages show it.
  const std::string& path() const { return path_; }

  /// The path of `name` in this directory, as messages show it.
  std::string path_of(const std::string& name) const {
    return join_path(path_, name);
  }

  /// What tells this directory apart from every other.
  const FileId& id() const { return id_; }

  /// Opens the sub-directory `name`, never through a link: a link there
  /// fails with *err set to "is a symbolic link, not a directory". Returns
  /// null, with *err set, on failure.
  std::shared_ptr<Dir> open_child(const std::string& name,
                                  std::string* err) const;

  /// Creates the sub-directory `name` unless it exists, then opens it as
  /// open_child does. Returns null, with *err set, on failure.
  std::shared_ptr<Dir> make_child(const std::string& name,
                                  std::string* err) const;

  /// Lists the entries of the directory, sorted by name in byte order ("."
  /// and ".." left out). Returns false, with *err set, when it cannot be
  /// read.
  bool list(std::vector<DirEntry>* entries, std::string* err) const;

  /// Opens the file `name` for reading (a link is followed). Anything that
  /// is not a regular file once opened (a FIFO, a device, a directory, a
  /// file of the kernel's own file systems such as /proc) is refused with
  /// *err set to "not a regular file", and no read ever waits. Returns
  /// false, with *err set, on failure.
  bool open_file(const std::string& name, File* file, std::string* err) const;

  /// The owner and permission bits of the regular file `name`, never
  /// through a link. Returns false where there is none or they cannot be
  /// told.
  bool owner(const std::string& name, FileOwner* owner) const;

  /// Whether an entry named `name` exists (a dangling link counts).
  bool exists(const std::string& name) const;

  /// The size in bytes and the modification time (nanoseconds since 1970)
  /// of the file `name`, a link followed, without opening it. Returns false
  /// when they cannot be told.
  bool stat(const std::string& name, uint64_t* size, int64_t* mtime_ns) const;

  /// Creates a new file under a short temporary name (".quillon-" and six
  /// random characters, so never a log, archive or CSV name) and opens it
  /// into *file for writing, as `content` says. With `like`, an open file,
  /// its permission bits are those of a new file (the umask applies) limited
  /// to those of `like`; without, as `access` says. The file is removed if
  /// the process is interrupted (see remove_temporaries_on_interrupt) before
  /// publish() or discard(). Sets *name; returns false, with *err set, on
  /// failure.
  bool create_temp(Content content, const File* like, File* file,
                   std::string* name, std::string* err,
                   TempAccess access = TempAccess::kOwnerOnly) const;

  /// Closes `file`, the temporary file `temp` of this directory, and gives
  /// it the name `name`. With Replace::kYes, whatever entry has that name is
  /// replaced (a link is replaced, never followed); with kNo, the call fails
  /// when `name` exists. The temporary file is removed on failure. Returns
  /// false, with *err set (and *is_directory when a directory stands at
  /// `name`), on failure.
  bool publish(File* file, const std::string& temp, const std::string& name,
               Replace replace, std::string* err,
               bool* is_directory = nullptr) const;

  /// Closes `file` and removes the temporary file `temp` of this directory.
  void discard(File* file, const std::string& temp) const;

  /// Removes the file `name`. Returns false, with *err set, on failure.
  bool remove(const std::string& name, std::string* err) const;

  /// Flushes the directory's entries (a rename in it) to stable storage.
  /// Returns false, with *err set, on failure.
  bool sync(std::string* err) const;

  /// Declares that this process writes into the directory, and removes the
  /// temporary files that runs killed before they could clean up left in
  /// it, unless another running quillon writes there too (POSIX: a shared
  /// lock on the directory while it is open, tried as an exclusive one
  /// first; Windows: a temporary file being written cannot be removed).
  /// Returns how many were removed.
  int claim_for_writing();

 private:
  friend struct DirMaker;
  Dir() = default;

  std::string path_;
  // POSIX: a descriptor. Windows: a HANDLE that keeps the directory from
  // being renamed or removed, and its full "\\?\" path.
  long long handle_ = -1;
  std::string native_path_;
  FileId id_;
  // POSIX: whether the directory lies on a file system of the kernel's own
  // (proc, sys, ...), where no log can be.
  bool kernel_fs_ = false;
};

/// The errno value (ENOENT, EACCES, EISDIR, ...) of the last failure that
/// this thread's calls of this interface reported with an error text; on
/// Windows the system's code as its errno value (EIO where there is none).
/// 0 for a failure that has none.
int last_error_number();

/// Creates a file without a name in the system's temporary directory (gone
/// once it is closed) and opens it into *file for writing and reading back.
/// Returns false, with *err set ("no temporary file in <directory>: ..."),
/// on failure.
bool create_unnamed_temp(File* file, std::string* err);

/// Opens the standard input stream into *file for reading bytes as they
/// are; closing *file leaves the stream open. Returns false, with *err set,
/// when there is none.
bool open_standard_input(File* file, std::string* err);

/// Opens the standard output stream into *file for writing bytes as they
/// are (no "\r\n" on Windows); closing *file leaves the stream open.
/// Returns false, with *err set, when there is none.
bool open_standard_output(File* file, std::string* err);

/// What a path typed for an output is, links followed.
enum class OutputTarget {
  kNothing,    // nothing stands there (or what does cannot be told)
  kFile,       // a regular file
  kDirectory,  // a directory
  kDevice,     // a device, FIFO or socket (on Windows also a device name
               // such as NUL or CON): written through, never replaced
};

/// What stands at `path`, as typed, for an output. Sets *resolved to the
/// path that a link there leads to, else to `path` itself.
OutputTarget output_target(const std::string& path, std::string* resolved);

/// Opens the device, FIFO or socket `path` for writing through, as a shell
/// redirection does (a FIFO waits for its reader). Returns false, with *err
/// set, on failure.
bool open_device(const std::string& path, File* file, std::string* err);

/// The permission bits of a new file: 0666 less the umask (POSIX; 0666 on
/// Windows). Where the system does not tell the umask (Linux's /proc does),
/// it is read once, at the first call: make that where no other thread is
/// creating files.
unsigned new_file_permissions();

/// Creates the file `path`, empty and readable and writable by its owner
/// only, unless an entry of that name exists. Returns false, with *err set,
/// on failure.
bool create_private_file(const std::string& path, std::string* err);

/// Makes a write past the file size limit (a shell's ulimit -f) fail, to be
/// reported, rather than kill the process (POSIX: SIGXFSZ ignored).
void fail_writes_past_file_size_limit();

/// The identity of the file or directory `path`, links followed. Returns
/// false where there is none or it cannot be told.
bool file_id_of(const std::string& path, FileId* id);

/// The canonical form of the directory `path`: absolute, with every link
/// resolved; empty when it cannot be told.
std::string canonical_path(const std::string& path);

/// Whether the canonical path `inner` is the canonical directory `outer` or
/// lies below it; *rest gets the names below, "/" between them (empty for
/// `outer` itself).
bool path_below(const std::string& inner, const std::string& outer, std::string* rest);

/// The absolute form of `path` as the user typed it, from the current
/// directory; `path` itself when that cannot be told.
std::string absolute_path(const std::string& path);

/// Splits `path` into the directory that holds its last component (the
/// current directory "." when there is none) and that component.
void split_path(const std::string& path, std::string* dir, std::string* name);

/// Creates the directory `path` and any missing parents. Returns true when
/// it exists as a directory afterwards; false, with *err set, otherwise.
bool make_directories(const std::string& path, std::string* err);

/// Gives the open file `target` the permission bits and the modification time
/// of the open file `source`, as gzip does for what it decompresses. Call it
/// after the last write to `target`. Returns false, with *err set, on failure.
bool copy_mode_and_time(const File& source, const File& target,
                        std::string* err);

/// From now on an interrupt (SIGINT, SIGTERM, SIGHUP; Ctrl+C or a closed
/// console on Windows) removes every temporary file being written and ends
/// the process with status 128 plus the signal's number (130 for SIGINT,
/// 143 for SIGTERM, 129 for SIGHUP; 130 on Windows). Call it before any
/// thread is started. Returns false when it could not be set up; interrupts
/// then end the process as they would have.
bool remove_temporaries_on_interrupt();

/// Copies `size` bytes of `from`, read from `offset`, where the system
/// copies nothing itself: a piece at a time, each handed to
/// write(data, n). Returns false where a read failed (*err then says why)
/// or write() returned false.
template <typename Write>
bool copy_through_memory(File& from, uint64_t offset, uint64_t size, Write write,
                         std::string* err) {
  std::string piece;
  for (uint64_t done = 0; done < size;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(size - done, 1 << 20));
    piece.resize(n);
    if (!from.read_at(offset + done, piece.data(), n)) {
      *err = from.error();
      return false;
    }
    if (!write(piece.data(), n)) return false;
    done += n;
  }
  return true;
}

/// Whether `name` is one of the temporary names create_temp makes:
/// ".quillon-" and six characters from 0-9 and a-z.
inline bool is_temp_name(std::string_view name) {
  const std::string_view prefix = ".quillon-";
  if (name.size() != prefix.size() + 6 || name.substr(0, prefix.size()) != prefix)
    return false;
  for (char c : name.substr(prefix.size()))
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z'))) return false;
  return true;
}

#endif  // QUILLON_PLATFORM_PLATFORM_H_
