// The platform layer on POSIX systems.

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>

#include "platform/platform.h"

const char kPathSeparator[] = "/";
const bool kNamesIgnoreCase = false;

namespace {

bool fail(std::string* err, const std::string& what) {
  *err = what;
  return false;
}

// ".quillon-" and six characters that no other process can guess: a key
// drawn once from the system's entropy, mixed with a counter, so that a name
// costs no system call.
std::string temp_name() {
  static const uint64_t kKey = [] {
    uint64_t key = 0;
    if (getentropy(&key, sizeof key) != 0)
      key = static_cast<uint64_t>(getpid()) * 0x9E3779B97F4A7C15u ^
            static_cast<uint64_t>(time(nullptr));
    return key;
  }();
  static std::atomic<uint64_t> counter{0};
  // splitmix64's finaliser.
  uint64_t z = kKey + (counter.fetch_add(1) + 1) * 0x9E3779B97F4A7C15u;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
  z ^= z >> 31;
  static const char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  std::string name = ".quillon-";
  for (int i = 0; i < 6; ++i) {
    name += kDigits[z % 36];
    z /= 36;
  }
  return name;
}

}  // namespace

std::vector<std::string> command_line_arguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

void print_error(std::string_view text) {
  fwrite(text.data(), 1, text.size(), stderr);
}

bool stderr_is_terminal() {
  const char* term = getenv("TERM");
  return isatty(2) && term != nullptr && strcmp(term, "dumb") != 0;
}

int terminal_width() {
  struct winsize size;
  if (ioctl(2, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

File::~File() { close(); }

long long File::read(char* buf, size_t size) {
  if (at_end_) return 0;
  ssize_t n;
  do {
    n = ::read(static_cast<int>(handle_), buf, size);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    error_ = strerror(errno);
    return -1;
  }
  if (static_cast<size_t>(n) < size) at_end_ = true;
  return n;
}

bool File::write(const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(static_cast<int>(handle_), data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error_ = n < 0 ? strerror(errno) : "nothing written";
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool File::sync() {
  if (fsync(static_cast<int>(handle_)) == 0) return true;
  error_ = strerror(errno);
  return false;
}

bool File::close() {
  if (handle_ == kClosed) return true;
  int fd = static_cast<int>(handle_);
  handle_ = kClosed;
  // Linux closes the descriptor even when close() reports EINTR.
  if (::close(fd) == 0 || errno == EINTR) return true;
  error_ = strerror(errno);
  return false;
}

bool open_input(const std::string& path, File* file, std::string* err) {
  // O_NONBLOCK: opening a FIFO must not wait for a writer.
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return fail(err, strerror(errno));
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return fail(err, "not a regular file");
  }
  // Reads block as usual again (F_SETFL changes only flags such as this one).
  if (fcntl(fd, F_SETFL, 0) != 0) {
    int fcntl_errno = errno;
    close(fd);
    return fail(err, strerror(fcntl_errno));
  }
  file->close();
  file->handle_ = fd;
  file->at_end_ = false;
  file->mode_ = st.st_mode & 07777;
  return true;
}

namespace {

// What a directory entry is: a regular file (through a link), a directory
// (not through one), or anything else.
enum class EntryKind { kFile, kDirectory, kOther };

// Lists the entries of `dir` whose names `wanted` accepts, with their kinds,
// sorted by name. Returns false, with *err set, when `dir` cannot be read.
template <typename Wanted>
bool list_directory(const std::string& dir, Wanted wanted,
                    std::vector<std::pair<std::string, EntryKind>>* entries,
                    std::string* err) {
  entries->clear();
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return fail(err, strerror(errno));
  errno = 0;
  while (struct dirent* entry = readdir(d)) {
    std::string name = entry->d_name;
    if (name == "." || name == ".." || !wanted(name)) continue;
    // The entry's type saves a stat() per name; only a link or an unknown
    // type needs one.
    EntryKind kind = entry->d_type == DT_REG   ? EntryKind::kFile
                     : entry->d_type == DT_DIR ? EntryKind::kDirectory
                                               : EntryKind::kOther;
    if (entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN) {
      struct stat st;
      std::string path = join_path(dir, name);
      if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        kind = EntryKind::kDirectory;
      else if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode))
        kind = EntryKind::kFile;
    }
    entries->emplace_back(name, kind);
    errno = 0;
  }
  int read_errno = errno;
  closedir(d);
  if (read_errno != 0) return fail(err, strerror(read_errno));
  std::sort(entries->begin(), entries->end());
  return true;
}

// The names of `entries` of that kind, moved out of them.
std::vector<std::string> names_of(
    std::vector<std::pair<std::string, EntryKind>>& entries, EntryKind kind) {
  std::vector<std::string> names;
  for (auto& [name, entry_kind] : entries)
    if (entry_kind == kind) names.push_back(std::move(name));
  return names;
}

}  // namespace

bool find_files(const std::string& dir, const std::vector<std::string>& endings,
                std::vector<std::string>* names, std::string* err) {
  std::vector<std::pair<std::string, EntryKind>> entries;
  bool ok = list_directory(
      dir, [&](const std::string& name) { return ends_with_any(name, endings); },
      &entries, err);
  *names = names_of(entries, EntryKind::kFile);
  return ok;
}

bool find_directories(const std::string& dir, std::vector<std::string>* names,
                      std::string* err) {
  std::vector<std::pair<std::string, EntryKind>> entries;
  bool ok = list_directory(
      dir, [](const std::string&) { return true; }, &entries, err);
  *names = names_of(entries, EntryKind::kDirectory);
  return ok;
}

bool same_file(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 &&
         sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool make_directories(const std::string& path, std::string* err) {
  std::string ignored;
  if (make_directory(path, &ignored)) return true;
  // Make the parent first, then this one.
  size_t slash = path.find_last_of('/');
  while (slash != std::string::npos && slash > 0 && path[slash - 1] == '/')
    --slash;
  if (slash != std::string::npos && slash > 0) {
    if (!make_directories(path.substr(0, slash), err)) return false;
  }
  return make_directory(path, err);
}

bool make_directory(const std::string& path, std::string* err) {
  if (mkdir(path.c_str(), 0777) == 0) return true;
  int mkdir_errno = errno;
  struct stat st;
  if (mkdir_errno == EEXIST && stat(path.c_str(), &st) == 0 &&
      S_ISDIR(st.st_mode)) {
    return true;
  }
  return fail(err, strerror(mkdir_errno));
}

bool path_exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

bool is_directory(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool create_temp_file(const std::string& dir, bool, const File* like,
                      File* file, std::string* path, std::string* err) {
  // The kernel applies the umask to the bits asked for here.
  mode_t mode = like != nullptr ? like->mode_ & 0666 : 0600;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = join_path(dir, temp_name());
    int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW |
                                    O_NOCTTY | O_CLOEXEC, mode);
    if (fd < 0 && errno == EEXIST) continue;
    if (fd < 0) return fail(err, strerror(errno));
    file->close();
    file->handle_ = fd;
    file->at_end_ = false;
    file->mode_ = mode;
    *path = name;
    return true;
  }
  return fail(err, "no unused temporary name");
}

bool copy_mode_and_time(const File& source, const File& target,
                        std::string* err) {
  struct stat st;
  int from = static_cast<int>(source.handle_);
  int to = static_cast<int>(target.handle_);
  if (fstat(from, &st) != 0) return fail(err, strerror(errno));
  if (fchmod(to, st.st_mode & 0777) != 0) return fail(err, strerror(errno));
  struct timespec times[2] = {st.st_atim, st.st_mtim};
  if (futimens(to, times) != 0) return fail(err, strerror(errno));
  return true;
}

bool sync_directory(const std::string& dir, std::string* err) {
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return fail(err, strerror(errno));
  bool ok = fsync(fd) == 0;
  int sync_errno = errno;
  close(fd);
  if (!ok) return fail(err, strerror(sync_errno));
  return true;
}

bool rename_no_replace(const std::string& from, const std::string& to,
                       std::string* err) {
#ifdef RENAME_NOREPLACE
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(),
                RENAME_NOREPLACE) == 0) {
    return true;
  }
  if (errno == EEXIST) return fail(err, to + " already exists");
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
    return fail(err, strerror(errno));
#endif
  // Without an atomic no-replace rename: a hard link fails when `to` exists.
  if (link(from.c_str(), to.c_str()) != 0) {
    if (errno == EEXIST) return fail(err, to + " already exists");
    return fail(err, strerror(errno));
  }
  unlink(from.c_str());
  return true;
}

bool rename_replace(const std::string& from, const std::string& to,
                    std::string* err) {
  if (rename(from.c_str(), to.c_str()) != 0) return fail(err, strerror(errno));
  return true;
}

bool remove_file(const std::string& path, std::string* err) {
  if (unlink(path.c_str()) != 0) return fail(err, strerror(errno));
  return true;
}
