// The platform layer on POSIX systems.

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "platform/platform.h"

const char kPathSeparator[] = "/";

namespace {

bool fail(std::string* err, const std::string& what) {
  *err = what;
  return false;
}

}  // namespace

std::vector<std::string> command_line_arguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

void print_error(std::string_view text) {
  fwrite(text.data(), 1, text.size(), stderr);
}

FILE* open_file(const std::string& path, const char* mode) {
  return fopen(path.c_str(), mode);
}

bool find_files(const std::string& dir, const std::string& ending,
                std::vector<std::string>* names, std::string* err) {
  names->clear();
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return fail(err, strerror(errno));
  errno = 0;
  while (struct dirent* entry = readdir(d)) {
    std::string name = entry->d_name;
    if (!ends_with_ignoring_case(name, ending)) continue;
    struct stat st;
    if (stat(join_path(dir, name).c_str(), &st) == 0 && S_ISREG(st.st_mode))
      names->push_back(name);
    errno = 0;
  }
  int read_errno = errno;
  closedir(d);
  if (read_errno != 0) return fail(err, strerror(read_errno));
  std::sort(names->begin(), names->end());
  return true;
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

FILE* create_temp_file(const std::string& path_prefix, std::string* path,
                       std::string* err) {
  // The six random characters end the name: it cannot end in ".dat" or ".gz".
  std::string name = path_prefix + ".XXXXXX";
  int fd = mkstemp(&name[0]);
  if (fd < 0) {
    *err = strerror(errno);
    return nullptr;
  }
  FILE* file = fdopen(fd, "wb");
  if (file == nullptr) {
    *err = strerror(errno);
    close(fd);
    unlink(name.c_str());
    return nullptr;
  }
  *path = name;
  return file;
}

bool close_durably(FILE* file, std::string* err) {
  int failed_errno = 0;
  if (fflush(file) != 0 || ferror(file)) failed_errno = errno ? errno : EIO;
  if (failed_errno == 0 && fsync(fileno(file)) != 0) failed_errno = errno;
  if (fclose(file) != 0 && failed_errno == 0) failed_errno = errno;
  if (failed_errno != 0) return fail(err, strerror(failed_errno));
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

bool remove_file(const std::string& path, std::string* err) {
  if (unlink(path.c_str()) != 0) return fail(err, strerror(errno));
  return true;
}
