// The platform layer on POSIX systems.

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/magic.h>
#include <sys/vfs.h>
#endif

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

#include "platform/platform.h"

const char kPathSeparator[] = "/";
const bool kNamesIgnoreCase = false;
const int kAncestorsKeptOpen = 8;

namespace {

// The errno value of this thread's last failure.
thread_local int last_error = 0;

bool fail(std::string* err, const std::string& what, int code = 0) {
  *err = what;
  last_error = code;
  return false;
}

bool fail_code(std::string* err, int code) {
  return fail(err, strerror(code), code);
}

bool fail_errno(std::string* err) { return fail_code(err, errno); }

const char kTempPrefix[] = ".quillon-";
const size_t kTempRandom = 6;
const char kTempDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";

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
  std::string name = kTempPrefix;
  for (size_t i = 0; i < kTempRandom; ++i) {
    name += kTempDigits[z % 36];
    z /= 36;
  }
  return name;
}

// The temporary files being written, for an interrupt to remove. A file is
// created and entered, and renamed or removed and taken out, under the lock;
// the interrupt takes the lock and never gives it back.
struct Temporary {
  int dir;
  std::string name;
};
std::mutex temporaries_lock;
std::vector<Temporary> temporaries;

void forget_temporary(int dir, const std::string& name) {
  for (size_t i = 0; i < temporaries.size(); ++i) {
    if (temporaries[i].dir == dir && temporaries[i].name == name) {
      temporaries[i] = std::move(temporaries.back());
      temporaries.pop_back();
      return;
    }
  }
}

// Whether the open file `fd` lies on one of the kernel's own file systems,
// whose files may block, never end, or change the system when read.
bool on_kernel_file_system(int fd) {
#ifdef __linux__
  struct statfs fs;
  if (fstatfs(fd, &fs) != 0) return false;
  switch (static_cast<unsigned long>(fs.f_type)) {
    case PROC_SUPER_MAGIC:
    case SYSFS_MAGIC:
    case DEBUGFS_MAGIC:
    case TRACEFS_MAGIC:
    case SECURITYFS_MAGIC:
    case CGROUP_SUPER_MAGIC:
    case CGROUP2_SUPER_MAGIC:
    case BPF_FS_MAGIC:
    case PSTOREFS_MAGIC:
    case EFIVARFS_MAGIC:
    case SELINUX_MAGIC:
      return true;
    default:
      return false;
  }
#else
  (void)fd;
  return false;
#endif
}

FileId id_of(const struct stat& st) {
  return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

}  // namespace

std::string name_key(const std::string& name) { return name; }

std::vector<std::string> command_line_arguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

void print_error(std::string_view text) {
  fwrite(text.data(), 1, text.size(), stderr);
}

void print_output(std::string_view text) {
  fwrite(text.data(), 1, text.size(), stdout);
  fflush(stdout);
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

bool local_date_today(int* year, int* month, int* day) {
  const time_t now = time(nullptr);
  struct tm local;
  if (now == static_cast<time_t>(-1) || localtime_r(&now, &local) == nullptr) return false;
  *year = local.tm_year + 1900;
  *month = local.tm_mon + 1;
  *day = local.tm_mday;
  return true;
}

std::string time_zone_folder() {
  const char* dir = getenv("TZDIR");
  return dir != nullptr && *dir != '\0' ? dir : "/usr/share/zoneinfo";
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
  if (n == 0 || (!stream_ && static_cast<size_t>(n) < size)) at_end_ = true;
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

bool File::rewind() {
  at_end_ = false;
  if (lseek(static_cast<int>(handle_), 0, SEEK_SET) == 0) return true;
  error_ = strerror(errno);
  return false;
}

bool File::seek(uint64_t offset) {
  at_end_ = false;
  if (lseek(static_cast<int>(handle_), static_cast<off_t>(offset), SEEK_SET) ==
      static_cast<off_t>(offset))
    return true;
  error_ = strerror(errno);
  return false;
}

bool File::read_at(uint64_t offset, char* buf, size_t size) {
  while (size > 0) {
    ssize_t n = pread(static_cast<int>(handle_), buf, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error_ = n < 0 ? strerror(errno) : "the file ends early";
      return false;
    }
    buf += n;
    size -= static_cast<size_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  return true;
}

bool File::copy_from(File& from, uint64_t offset, uint64_t size) {
#ifdef __linux__
  // Within the kernel: the bytes never come up into the process (and a file
  // system that shares extents copies none).
  off_t at = static_cast<off_t>(offset);
  while (size > 0) {
    const ssize_t n = copy_file_range(static_cast<int>(from.handle_), &at,
                                      static_cast<int>(handle_), nullptr,
                                      static_cast<size_t>(std::min<uint64_t>(size, 1 << 30)), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n > 0) {
      size -= static_cast<uint64_t>(n);
      continue;
    }
    if (n == 0) {
      error_ = "the file ends early";
      return false;
    }
    // Files the system cannot copy between go through memory.
    if (errno == ENOSYS || errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP ||
        errno == EBADF)
      break;
    error_ = strerror(errno);
    return false;
  }
  offset = static_cast<uint64_t>(at);
#endif
  return size == 0 || copy_through_memory(
             from, offset, size, [this](const char* data, size_t n) { return write(data, n); },
             &error_);
}

bool File::truncate() {
  if (ftruncate(static_cast<int>(handle_), 0) == 0 &&
      lseek(static_cast<int>(handle_), 0, SEEK_SET) == 0) {
    return true;
  }
  error_ = strerror(errno);
  return false;
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
  stream_ = false;
  // Linux closes the descriptor even when close() reports EINTR.
  if (::close(fd) == 0 || errno == EINTR) return true;
  error_ = strerror(errno);
  return false;
}

bool File::size_and_time(uint64_t* size, int64_t* mtime_ns) {
  struct stat st;
  if (fstat(static_cast<int>(handle_), &st) != 0) {
    error_ = strerror(errno);
    return false;
  }
  *size = static_cast<uint64_t>(st.st_size);
  *mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 +
              st.st_mtim.tv_nsec;
  return true;
}

bool File::set_owner(const FileOwner& owner) {
  int fd = static_cast<int>(handle_);
  // Only root may give a file away; others keep it as theirs.
  if (geteuid() == 0 &&
      (owner.user != FileOwner::kUnchanged || owner.group != FileOwner::kUnchanged) &&
      fchown(fd, static_cast<uid_t>(owner.user), static_cast<gid_t>(owner.group)) != 0) {
    error_ = strerror(errno);
    return false;
  }
  if (fchmod(fd, owner.mode & 07777) != 0) {
    error_ = strerror(errno);
    return false;
  }
  mode_ = owner.mode & 07777;
  return true;
}

// Builds Dirs, whose constructor is private.
struct DirMaker {
  // Takes the open descriptor `fd` into a new Dir named `path`; closes it
  // and returns null, with *err set, when it is not a directory.
  static std::shared_ptr<Dir> adopt(int fd, std::string path,
                                    std::string* err) {
    struct stat st;
    int bad = fstat(fd, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
    if (bad != 0) {
      fail_code(err, bad);
      ::close(fd);
      return nullptr;
    }
    std::shared_ptr<Dir> dir(new Dir());
    dir->handle_ = fd;
    dir->path_ = std::move(path);
    dir->id_ = id_of(st);
    dir->kernel_fs_ = on_kernel_file_system(fd);
    return dir;
  }
};

Dir::~Dir() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

std::shared_ptr<Dir> Dir::open(const std::string& path, std::string* err) {
  int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    fail_errno(err);
    return nullptr;
  }
  return DirMaker::adopt(fd, path, err);
}

std::shared_ptr<Dir> Dir::make(const std::string& path, std::string* err) {
  if (!make_directories(path, err)) return nullptr;
  return open(path, err);
}

std::shared_ptr<Dir> Dir::open_child(const std::string& name,
                                     std::string* err) const {
  int fd = openat(static_cast<int>(handle_), name.c_str(),
                  O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    // O_NOFOLLOW fails on a link with ELOOP.
    struct stat st;
    if (errno == ELOOP ||
        (errno == ENOTDIR &&
         fstatat(static_cast<int>(handle_), name.c_str(), &st,
                 AT_SYMLINK_NOFOLLOW) == 0 &&
         S_ISLNK(st.st_mode))) {
      *err = "is a symbolic link, not a directory";
    } else {
      fail_errno(err);
    }
    return nullptr;
  }
  return DirMaker::adopt(fd, path_of(name), err);
}

std::shared_ptr<Dir> Dir::make_child(const std::string& name,
                                     std::string* err) const {
  if (mkdirat(static_cast<int>(handle_), name.c_str(), 0777) != 0 &&
      errno != EEXIST) {
    fail_errno(err);
    return nullptr;
  }
  return open_child(name, err);
}

bool Dir::list(std::vector<DirEntry>* entries, std::string* err) const {
  entries->clear();
  // The listing reads through a descriptor of its own.
  int fd = openat(static_cast<int>(handle_), ".",
                  O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return fail_errno(err);
  DIR* d = fdopendir(fd);
  if (d == nullptr) {
    int open_errno = errno;
    ::close(fd);
    return fail_code(err, open_errno);
  }
  errno = 0;
  while (struct dirent* entry = readdir(d)) {
    const char* name = entry->d_name;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
    // The entry's type saves a stat() per name; only a link or an unknown
    // type needs one.
    EntryKind kind = entry->d_type == DT_REG   ? EntryKind::kFile
                     : entry->d_type == DT_DIR ? EntryKind::kDirectory
                                               : EntryKind::kOther;
    if (entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN) {
      struct stat st;
      int dfd = static_cast<int>(handle_);
      if (fstatat(dfd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
          S_ISDIR(st.st_mode)) {
        kind = EntryKind::kDirectory;
      } else if (fstatat(dfd, name, &st, 0) == 0) {
        kind = S_ISREG(st.st_mode)   ? EntryKind::kFile
               : S_ISDIR(st.st_mode) ? EntryKind::kDirectoryLink
                                     : EntryKind::kOther;
      } else if (entry->d_type == DT_UNKNOWN) {
        kind = EntryKind::kOther;
      }
    }
    entries->push_back({name, kind});
    errno = 0;
  }
  int read_errno = errno;
  closedir(d);
  if (read_errno != 0) return fail_code(err, read_errno);
  std::sort(entries->begin(), entries->end(),
            [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; });
  return true;
}

bool Dir::open_file(const std::string& name, File* file,
                    std::string* err) const {
  // O_NONBLOCK: opening a FIFO must not wait for a writer, and reading a
  // file that would block fails instead. A regular file reads as usual with
  // it, so it is left on (which saves an fcntl a file).
  int fd = openat(static_cast<int>(handle_), name.c_str(),
                  O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return fail_errno(err);
  struct stat st = {};
  // A file of this directory is on its file system; only one reached
  // through a link to another device needs its own look.
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      (id_of(st).device == id_.device ? kernel_fs_
                                      : on_kernel_file_system(fd))) {
    ::close(fd);
    return fail(err, "not a regular file", S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
  }
  file->close();
  file->handle_ = fd;
  file->at_end_ = false;
  file->mode_ = st.st_mode & 07777;
  file->size_ = static_cast<uint64_t>(st.st_size);
  return true;
}

bool Dir::exists(const std::string& name) const {
  struct stat st;
  return fstatat(static_cast<int>(handle_), name.c_str(), &st,
                 AT_SYMLINK_NOFOLLOW) == 0;
}

bool Dir::stat(const std::string& name, uint64_t* size,
               int64_t* mtime_ns) const {
  struct stat st;
  if (fstatat(static_cast<int>(handle_), name.c_str(), &st, 0) != 0) return false;
  *size = static_cast<uint64_t>(st.st_size);
  *mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 +
              st.st_mtim.tv_nsec;
  return true;
}

bool Dir::create_temp(Content, const File* like, File* file, std::string* name,
                      std::string* err, TempAccess access) const {
  // The kernel applies the umask to the bits asked for here.
  mode_t mode = like != nullptr                       ? like->mode_ & 0666
                : access == TempAccess::kOwnerOnly ? 0600
                                                      : 0666;
  int dfd = static_cast<int>(handle_);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string candidate = temp_name();
    std::lock_guard<std::mutex> lock(temporaries_lock);
    int fd = openat(dfd, candidate.c_str(),
                    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY |
                        O_CLOEXEC,
                    mode);
    if (fd < 0 && errno == EEXIST) continue;
    if (fd < 0) return fail_errno(err);
    temporaries.push_back({dfd, candidate});
    file->close();
    file->handle_ = fd;
    file->at_end_ = false;
    file->mode_ = mode;
    *name = std::move(candidate);
    return true;
  }
  return fail(err, "no unused temporary name");
}

bool Dir::publish(File* file, const std::string& temp, const std::string& name,
                  Replace replace, std::string* err, bool* is_directory) const {
  int dfd = static_cast<int>(handle_);
  if (!file->close()) {
    *err = file->error();
    discard(file, temp);
    return false;
  }
  std::lock_guard<std::mutex> lock(temporaries_lock);
  bool ok = false;
  if (replace == Replace::kYes) {
    ok = renameat(dfd, temp.c_str(), dfd, name.c_str()) == 0;
  } else {
#ifdef RENAME_NOREPLACE
    ok = renameat2(dfd, temp.c_str(), dfd, name.c_str(), RENAME_NOREPLACE) == 0;
    if (!ok && (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP))
#endif
    {
      // Without an atomic no-replace rename: a hard link fails when `name`
      // exists.
      ok = linkat(dfd, temp.c_str(), dfd, name.c_str(), 0) == 0;
      if (ok) unlinkat(dfd, temp.c_str(), 0);
    }
  }
  int rename_errno = errno;
  if (!ok) unlinkat(dfd, temp.c_str(), 0);
  forget_temporary(dfd, temp);
  if (ok) return true;
  if (is_directory != nullptr) {
    struct stat st;
    *is_directory = fstatat(dfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                    S_ISDIR(st.st_mode);
  }
  return fail_code(err, rename_errno);
}

void Dir::discard(File* file, const std::string& temp) const {
  file->close();
  int dfd = static_cast<int>(handle_);
  std::lock_guard<std::mutex> lock(temporaries_lock);
  unlinkat(dfd, temp.c_str(), 0);
  forget_temporary(dfd, temp);
}

bool Dir::remove(const std::string& name, std::string* err) const {
  if (unlinkat(static_cast<int>(handle_), name.c_str(), 0) != 0)
    return fail_errno(err);
  return true;
}

bool Dir::sync(std::string* err) const {
  if (fsync(static_cast<int>(handle_)) != 0) return fail_errno(err);
  return true;
}

int Dir::claim_for_writing() {
  int fd = static_cast<int>(handle_);
  // Every writer holds a shared lock while it writes here; an exclusive one
  // means no other quillon is writing, so every temporary file is stale.
  int removed = 0;
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
    std::vector<DirEntry> entries;
    std::string err;
    if (list(&entries, &err)) {
      for (const DirEntry& entry : entries)
        if (entry.kind == EntryKind::kFile && is_temp_name(entry.name) &&
            unlinkat(fd, entry.name.c_str(), 0) == 0) {
          ++removed;
        }
    }
  }
  // Turning the lock shared (or taking it) waits only while another run
  // clears its stale files; one that holds it longer is not waited for.
  for (int attempt = 0; attempt < 50; ++attempt) {
    if (flock(fd, LOCK_SH | LOCK_NB) == 0 || errno != EWOULDBLOCK) break;
    usleep(20000);
  }
  return removed;
}

bool make_directories(const std::string& path, std::string* err) {
  if (mkdir(path.c_str(), 0777) == 0) return true;
  int mkdir_errno = errno;
  struct stat st;
  if (stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return true;
    return fail_code(err, ENOTDIR);
  }
  if (mkdir_errno == ENOENT) {
    // Make the parent first, then this one.
    size_t slash = path.find_last_of('/');
    while (slash != std::string::npos && slash > 0 && path[slash - 1] == '/')
      --slash;
    if (slash != std::string::npos && slash > 0) {
      if (!make_directories(path.substr(0, slash), err)) return false;
      if (mkdir(path.c_str(), 0777) == 0 || errno == EEXIST) return true;
      mkdir_errno = errno;
    }
  }
  return fail_code(err, mkdir_errno);
}

bool create_unnamed_temp(File* file, std::string* err) {
  const char* dir = getenv("TMPDIR");
  std::string base = dir != nullptr && *dir != '\0' ? dir : "/tmp";
#ifdef O_TMPFILE
  int fd = open(base.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0)
#else
  int fd = -1;
#endif
  {
    // Without O_TMPFILE: a new name, removed at once.
    std::string name = base + "/.quillon-XXXXXX";
    fd = mkostemp(&name[0], O_CLOEXEC);
    if (fd < 0)
      return fail(err, "no temporary file in " + base + ": " + strerror(errno),
                  errno);
    unlink(name.c_str());
  }
  file->close();
  file->handle_ = fd;
  file->at_end_ = false;
  return true;
}

bool Dir::owner(const std::string& name, FileOwner* owner) const {
  struct stat st;
  if (fstatat(static_cast<int>(handle_), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
      !S_ISREG(st.st_mode))
    return false;
  owner->user = st.st_uid;
  owner->group = st.st_gid;
  owner->mode = st.st_mode & 07777;
  return true;
}

void fail_writes_past_file_size_limit() { signal(SIGXFSZ, SIG_IGN); }

bool file_id_of(const std::string& path, FileId* id) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return false;
  *id = id_of(st);
  return true;
}

OutputTarget output_target(const std::string& path, std::string* resolved) {
  *resolved = path;
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return OutputTarget::kNothing;
  if (S_ISDIR(st.st_mode)) return OutputTarget::kDirectory;
  if (!S_ISREG(st.st_mode)) return OutputTarget::kDevice;
  struct stat link;
  if (lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
    if (char* real = realpath(path.c_str(), nullptr)) {
      *resolved = real;
      free(real);
    }
  }
  return OutputTarget::kFile;
}

bool open_device(const std::string& path, File* file, std::string* err) {
  int fd = open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return fail_errno(err);
  file->close();
  file->handle_ = fd;
  file->at_end_ = false;
  return true;
}

unsigned new_file_permissions() {
  // The umask as the kernel tells it (Linux), never set even for a moment:
  // another thread of the process may be making files.
  if (FILE* status = fopen("/proc/self/status", "re")) {
    char line[256];
    unsigned mask = 0;
    bool found = false;
    while (!found && fgets(line, sizeof line, status) != nullptr)
      found = sscanf(line, "Umask: %o", &mask) == 1;
    fclose(status);
    if (found) return 0666 & ~mask;
  }
  // Elsewhere read once, at the first call (the module makes it as it
  // loads).
  static const mode_t kMask = [] {
    const mode_t mask = umask(0);
    umask(mask);
    return mask;
  }();
  return 0666 & ~kMask;
}

bool create_private_file(const std::string& path, std::string* err) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC,
                0600);
  if (fd < 0) return errno == EEXIST || fail_errno(err);
  ::close(fd);
  return true;
}

std::string canonical_path(const std::string& path) {
  char* real = realpath(path.c_str(), nullptr);
  if (real == nullptr) return std::string();
  std::string canonical = real;
  free(real);
  return canonical;
}

// Opens a copy of the standard stream of descriptor `which` into *file.
bool open_standard_stream(int which, File* file, std::string* err) {
  int fd = fcntl(which, F_DUPFD_CLOEXEC, 3);
  if (fd < 0) return fail_errno(err);
  file->close();
  file->handle_ = fd;
  file->at_end_ = false;
  file->stream_ = which == 0;
  return true;
}

bool open_standard_input(File* file, std::string* err) {
  return open_standard_stream(0, file, err);
}

bool open_standard_output(File* file, std::string* err) {
  return open_standard_stream(1, file, err);
}

std::string absolute_path(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  std::string cwd(4096, '\0');
  while (getcwd(&cwd[0], cwd.size()) == nullptr) {
    if (errno != ERANGE) return path;
    cwd.resize(cwd.size() * 2);
  }
  cwd.resize(strlen(cwd.c_str()));
  return cwd + "/" + path;
}

bool path_below(const std::string& inner, const std::string& outer, std::string* rest) {
  if (inner.compare(0, outer.size(), outer) != 0) return false;
  size_t at = outer.size();
  if (at < inner.size() && outer.back() != '/') {
    if (inner[at] != '/') return false;
    ++at;
  }
  *rest = inner.substr(at);
  return true;
}

void split_path(const std::string& path, std::string* dir, std::string* name) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) {
    *dir = ".";
    *name = path;
    return;
  }
  *dir = slash == 0 ? "/" : path.substr(0, slash);
  *name = path.substr(slash + 1);
}

bool copy_mode_and_time(const File& source, const File& target,
                        std::string* err) {
  struct stat st;
  int from = static_cast<int>(source.handle_);
  int to = static_cast<int>(target.handle_);
  if (fstat(from, &st) != 0) return fail_errno(err);
  if (fchmod(to, st.st_mode & 0777) != 0) return fail_errno(err);
  decltype(st.st_mtim) times[2] = {st.st_atim, st.st_mtim};
  if (futimens(to, times) != 0) return fail_errno(err);
  return true;
}

bool remove_temporaries_on_interrupt() {
  static const bool kInstalled = [] {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    // Blocked here, and so in every thread started from now on; one thread
    // takes them as they come.
    sigset_t old;
    if (pthread_sigmask(SIG_BLOCK, &signals, &old) != 0) return false;
    try {
      std::thread([signals] {
        int sig = 0;
        while (sigwait(&signals, &sig) != 0) {
        }
        temporaries_lock.lock();  // held until the process ends
        for (const Temporary& t : temporaries)
          unlinkat(t.dir, t.name.c_str(), 0);
        _exit(128 + sig);
      }).detach();
    } catch (...) {
      pthread_sigmask(SIG_SETMASK, &old, nullptr);
      return false;
    }
    return true;
  }();
  return kInstalled;
}

int last_error_number() { return last_error; }
