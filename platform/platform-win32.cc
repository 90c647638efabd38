// The platform layer on Windows. Only the wide (UTF-16) functions of the
// Windows API and the C runtime are called; names are converted to and from
// UTF-8 at this file's edge.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define _CRT_RAND_S  // rand_s, for temporary names
#include <windows.h>
#include <shellapi.h>

#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "platform/platform.h"

const char kPathSeparator[] = "\\";

namespace {

std::wstring to_wide(std::string_view utf8) {
  if (utf8.empty()) return std::wstring();
  int size = static_cast<int>(utf8.size());
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0);
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, &wide[0], n);
  return wide;
}

std::string to_utf8(std::wstring_view wide) {
  if (wide.empty()) return std::string();
  int size = static_cast<int>(wide.size());
  int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, nullptr, 0,
                              nullptr, nullptr);
  std::string utf8(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, &utf8[0], n, nullptr,
                      nullptr);
  return utf8;
}

bool starts_with(const std::wstring& s, const wchar_t* prefix) {
  return s.rfind(prefix, 0) == 0;
}

// The path as the wide functions take it. A path too long for the classic
// limit of MAX_PATH characters is made absolute and given the "\\?\" form,
// which has no such limit, so it is never cut short.
std::wstring wide_path(const std::string& path) {
  std::wstring wide = to_wide(path);
  // CreateDirectoryW's limit is 12 characters below MAX_PATH.
  if (wide.size() < MAX_PATH - 12 || starts_with(wide, L"\\\\?\\") ||
      starts_with(wide, L"\\\\.\\")) {
    return wide;
  }
  DWORD n = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (n == 0) return wide;
  std::wstring full(n, L'\0');
  n = GetFullPathNameW(wide.c_str(), n, &full[0], nullptr);
  if (n == 0 || n >= full.size()) return wide;
  full.resize(n);
  if (starts_with(full, L"\\\\?\\") || starts_with(full, L"\\\\.\\"))
    return full;
  if (starts_with(full, L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

// The system's text for an error code, without its closing period.
std::string error_text(DWORD code) {
  wchar_t* text = nullptr;
  DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER |
                               FORMAT_MESSAGE_FROM_SYSTEM |
                               FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, code, 0, reinterpret_cast<LPWSTR>(&text),
                           0, nullptr);
  std::string message;
  if (n > 0 && text != nullptr) message = to_utf8(std::wstring_view(text, n));
  if (text != nullptr) LocalFree(text);
  while (!message.empty() &&
         (message.back() == '\n' || message.back() == '\r' ||
          message.back() == ' ' || message.back() == '.')) {
    message.pop_back();
  }
  if (message.empty()) message = "error " + std::to_string(code);
  return message;
}

bool fail(std::string* err, const std::string& what) {
  *err = what;
  return false;
}

// The Windows handle beneath a C runtime file.
HANDLE handle_of(FILE* file) {
  return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
}

}  // namespace

std::vector<std::string> command_line_arguments(int argc, char** argv) {
  int count = 0;
  LPWSTR* wide_args = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide_args == nullptr) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> args;
  for (int i = 0; i < count; ++i) args.push_back(to_utf8(wide_args[i]));
  LocalFree(wide_args);
  return args;
}

void print_error(std::string_view text) {
  HANDLE console = GetStdHandle(STD_ERROR_HANDLE);
  DWORD console_mode = 0;
  if (console == nullptr || console == INVALID_HANDLE_VALUE ||
      !GetConsoleMode(console, &console_mode)) {
    fwrite(text.data(), 1, text.size(), stderr);
    return;
  }
  // A console shows characters, not bytes: hand it UTF-16, in pieces that
  // every console version takes, never splitting a surrogate pair.
  fflush(stderr);
  std::wstring wide = to_wide(text);
  const size_t kPiece = 8192;
  for (size_t pos = 0; pos < wide.size();) {
    size_t n = std::min(kPiece, wide.size() - pos);
    if (pos + n < wide.size() && wide[pos + n - 1] >= 0xD800 &&
        wide[pos + n - 1] <= 0xDBFF) {
      --n;
    }
    DWORD written = 0;
    if (!WriteConsoleW(console, wide.data() + pos, static_cast<DWORD>(n),
                       &written, nullptr)) {
      return;
    }
    pos += n;
  }
}

FILE* open_input(const std::string& path, std::string* err) {
  HANDLE handle = CreateFileW(
      wide_path(path).c_str(), GENERIC_READ,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    *err = error_text(GetLastError());
    return nullptr;
  }
  // A pipe or a device would block a read, or never end.
  if (GetFileType(handle) != FILE_TYPE_DISK) {
    CloseHandle(handle);
    *err = "not a regular file";
    return nullptr;
  }
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle),
                           _O_RDONLY | _O_BINARY);
  if (fd < 0) {
    *err = strerror(errno);
    CloseHandle(handle);
    return nullptr;
  }
  FILE* file = _fdopen(fd, "rb");
  if (file == nullptr) {
    *err = strerror(errno);
    _close(fd);
  }
  return file;
}

bool find_files(const std::string& dir, const std::string& ending,
                std::vector<std::string>* names, std::string* err) {
  names->clear();
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(
      wide_path(join_path(dir, "*" + ending)).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) {
    DWORD code = GetLastError();
    // The directory exists and nothing in it matches.
    if (code == ERROR_FILE_NOT_FOUND) return true;
    return fail(err, error_text(code));
  }
  do {
    if (found.dwFileAttributes &
        (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) {
      continue;
    }
    // The search also matches 8.3 short names (x.data as X~1.DAT): only the
    // real name counts.
    std::string name = to_utf8(found.cFileName);
    if (ends_with_ignoring_case(name, ending)) names->push_back(name);
  } while (FindNextFileW(search, &found));
  DWORD code = GetLastError();
  FindClose(search);
  if (code != ERROR_NO_MORE_FILES) return fail(err, error_text(code));
  std::sort(names->begin(), names->end());
  return true;
}

bool make_directory(const std::string& path, std::string* err) {
  std::wstring wide = wide_path(path);
  if (CreateDirectoryW(wide.c_str(), nullptr)) return true;
  DWORD code = GetLastError();
  DWORD attributes = GetFileAttributesW(wide.c_str());
  if (code == ERROR_ALREADY_EXISTS && attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return true;
  }
  return fail(err, error_text(code));
}

bool path_exists(const std::string& path) {
  if (GetFileAttributesW(wide_path(path).c_str()) != INVALID_FILE_ATTRIBUTES)
    return true;
  DWORD code = GetLastError();
  // Anything but "not there" (no access, say) counts as there.
  return code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND;
}

bool is_directory(const std::string& path) {
  DWORD attributes = GetFileAttributesW(wide_path(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Permission bits do not apply: a new file takes the access rules of its
// directory, so `like` is not looked at.
FILE* create_temp_file(const std::string& dir, bool text, FILE*,
                       std::string* path, std::string* err) {
  static const char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = ".quillon-";
    unsigned int value = 0;
    if (rand_s(&value) != 0)
      value = GetTickCount() ^ (GetCurrentProcessId() << 16) ^ attempt;
    for (int i = 0; i < 6; ++i) {
      name += kDigits[value % 36];
      value /= 36;
    }
    name = join_path(dir, name);
    std::wstring wide = wide_path(name);
    HANDLE handle = CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr,
                                CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      DWORD code = GetLastError();
      if (code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS) continue;
      *err = error_text(code);
      return nullptr;
    }
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle),
                             text ? _O_TEXT : _O_BINARY);
    FILE* file = fd < 0 ? nullptr : _fdopen(fd, text ? "w" : "wb");
    if (file == nullptr) {
      *err = strerror(errno);
      if (fd < 0)
        CloseHandle(handle);
      else
        _close(fd);
      DeleteFileW(wide.c_str());
      return nullptr;
    }
    *path = name;
    return file;
  }
  *err = "no unused temporary name";
  return nullptr;
}

bool copy_mode_and_time(FILE* source, FILE* target, std::string* err) {
  FILETIME written;
  if (!GetFileTime(handle_of(source), nullptr, nullptr, &written) ||
      !SetFileTime(handle_of(target), nullptr, nullptr, &written)) {
    return fail(err, error_text(GetLastError()));
  }
  return true;
}

bool close_durably(FILE* file, std::string* err) {
  std::string failure;
  if (fflush(file) != 0 || ferror(file)) failure = strerror(errno ? errno : EIO);
  if (failure.empty() && !FlushFileBuffers(handle_of(file)))
    failure = error_text(GetLastError());
  if (fclose(file) != 0 && failure.empty()) failure = strerror(errno);
  if (!failure.empty()) return fail(err, failure);
  return true;
}

// Renames here are written through to the disk (MOVEFILE_WRITE_THROUGH), so
// there is nothing left to flush.
bool sync_directory(const std::string&, std::string*) { return true; }

bool rename_no_replace(const std::string& from, const std::string& to,
                       std::string* err) {
  // Without MOVEFILE_REPLACE_EXISTING the move fails when `to` exists.
  if (MoveFileExW(wide_path(from).c_str(), wide_path(to).c_str(),
                  MOVEFILE_WRITE_THROUGH)) {
    return true;
  }
  DWORD code = GetLastError();
  if (code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS)
    return fail(err, to + " already exists");
  return fail(err, error_text(code));
}

bool rename_replace(const std::string& from, const std::string& to,
                    std::string* err) {
  // A link at `to` is replaced itself, as a file is; a directory is not.
  if (MoveFileExW(wide_path(from).c_str(), wide_path(to).c_str(),
                  MOVEFILE_REPLACE_EXISTING)) {
    return true;
  }
  return fail(err, error_text(GetLastError()));
}

bool remove_file(const std::string& path, std::string* err) {
  if (!DeleteFileW(wide_path(path).c_str()))
    return fail(err, error_text(GetLastError()));
  return true;
}
