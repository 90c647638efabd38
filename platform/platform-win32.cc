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

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>

#include "platform/platform.h"

const char kPathSeparator[] = "\\";
const bool kNamesIgnoreCase = true;

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

HANDLE as_handle(long long handle) {
  return reinterpret_cast<HANDLE>(static_cast<intptr_t>(handle));
}

long long from_handle(HANDLE handle) {
  return static_cast<long long>(reinterpret_cast<intptr_t>(handle));
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

bool stderr_is_terminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

int terminal_width() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info))
    return info.srWindow.Right - info.srWindow.Left + 1;
  return 80;
}

File::~File() { close(); }

long long File::read(char* buf, size_t size) {
  if (at_end_) return 0;
  DWORD want = static_cast<DWORD>(std::min<size_t>(size, 1u << 30));
  DWORD got = 0;
  if (!ReadFile(as_handle(handle_), buf, want, &got, nullptr)) {
    error_ = error_text(GetLastError());
    return -1;
  }
  if (got < want) at_end_ = true;
  return got;
}

bool File::write(const char* data, size_t size) {
  // Text: each "\n" goes out as "\r\n", in pieces through a local buffer.
  char translated[1 << 14];
  while (size > 0) {
    const char* piece = data;
    size_t piece_size = size;
    if (text_) {
      size_t n = 0, used = 0;
      while (n < size && used + 2 <= sizeof translated) {
        if (data[n] == '\n') translated[used++] = '\r';
        translated[used++] = data[n++];
      }
      piece = translated;
      piece_size = used;
      data += n;
      size -= n;
    } else {
      piece_size = std::min<size_t>(size, 1u << 30);
      data += piece_size;
      size -= piece_size;
    }
    while (piece_size > 0) {
      DWORD written = 0;
      if (!WriteFile(as_handle(handle_), piece,
                     static_cast<DWORD>(piece_size), &written, nullptr) ||
          written == 0) {
        error_ = error_text(GetLastError());
        return false;
      }
      piece += written;
      piece_size -= written;
    }
  }
  return true;
}

bool File::sync() {
  if (FlushFileBuffers(as_handle(handle_))) return true;
  error_ = error_text(GetLastError());
  return false;
}

bool File::close() {
  if (handle_ == kClosed) return true;
  HANDLE handle = as_handle(handle_);
  handle_ = kClosed;
  if (CloseHandle(handle)) return true;
  error_ = error_text(GetLastError());
  return false;
}

bool open_input(const std::string& path, File* file, std::string* err) {
  HANDLE handle = CreateFileW(
      wide_path(path).c_str(), GENERIC_READ,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (handle == INVALID_HANDLE_VALUE)
    return fail(err, error_text(GetLastError()));
  // A pipe or a device would block a read, or never end.
  if (GetFileType(handle) != FILE_TYPE_DISK) {
    CloseHandle(handle);
    return fail(err, "not a regular file");
  }
  file->close();
  file->handle_ = from_handle(handle);
  file->text_ = false;
  file->at_end_ = false;
  return true;
}

namespace {

// What a directory entry is: a file, a directory that is no link or
// junction, or anything else.
enum class EntryKind { kFile, kDirectory, kOther };

// Lists every entry of `dir` (each name checked here: a pattern such as
// "*.dat" would also match 8.3 short names, x.data as X~1.DAT), with its
// kind, sorted by name in the byte order of UTF-8. Returns false, with *err
// set, when `dir` cannot be read.
bool list_directory(const std::string& dir,
                    std::vector<std::pair<std::string, EntryKind>>* entries,
                    std::string* err) {
  entries->clear();
  WIN32_FIND_DATAW found;
  HANDLE search =
      FindFirstFileW(wide_path(join_path(dir, "*")).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) {
    DWORD code = GetLastError();
    // The directory exists and is empty.
    if (code == ERROR_FILE_NOT_FOUND) return true;
    return fail(err, error_text(code));
  }
  do {
    DWORD attributes = found.dwFileAttributes;
    EntryKind kind = EntryKind::kFile;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
      // A link or junction to a directory is not followed.
      kind = attributes & FILE_ATTRIBUTE_REPARSE_POINT ? EntryKind::kOther
                                                       : EntryKind::kDirectory;
    } else if (attributes & FILE_ATTRIBUTE_DEVICE) {
      kind = EntryKind::kOther;
    }
    std::string name = to_utf8(found.cFileName);
    if (name != "." && name != "..") entries->emplace_back(name, kind);
  } while (FindNextFileW(search, &found));
  DWORD code = GetLastError();
  FindClose(search);
  if (code != ERROR_NO_MORE_FILES) return fail(err, error_text(code));
  std::sort(entries->begin(), entries->end());
  return true;
}

}  // namespace

bool find_files(const std::string& dir, const std::vector<std::string>& endings,
                std::vector<std::string>* names, std::string* err) {
  names->clear();
  std::vector<std::pair<std::string, EntryKind>> entries;
  bool ok = list_directory(dir, &entries, err);
  for (const auto& [name, kind] : entries)
    if (kind == EntryKind::kFile && ends_with_any(name, endings))
      names->push_back(name);
  return ok;
}

bool find_directories(const std::string& dir, std::vector<std::string>* names,
                      std::string* err) {
  names->clear();
  std::vector<std::pair<std::string, EntryKind>> entries;
  bool ok = list_directory(dir, &entries, err);
  for (const auto& [name, kind] : entries)
    if (kind == EntryKind::kDirectory) names->push_back(name);
  return ok;
}

bool same_file(const std::string& a, const std::string& b) {
  BY_HANDLE_FILE_INFORMATION info[2];
  const std::string* paths[2] = {&a, &b};
  for (int i = 0; i < 2; ++i) {
    // FILE_FLAG_BACKUP_SEMANTICS opens directories too.
    HANDLE handle = CreateFileW(
        wide_path(*paths[i]).c_str(), 0,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    bool ok = GetFileInformationByHandle(handle, &info[i]);
    CloseHandle(handle);
    if (!ok) return false;
  }
  return info[0].dwVolumeSerialNumber == info[1].dwVolumeSerialNumber &&
         info[0].nFileIndexHigh == info[1].nFileIndexHigh &&
         info[0].nFileIndexLow == info[1].nFileIndexLow;
}

bool make_directories(const std::string& path, std::string* err) {
  std::string ignored;
  if (make_directory(path, &ignored)) return true;
  // Make the parent first (either separator counts), then this one; never a
  // drive ("C:") or the root of a share.
  size_t slash = path.find_last_of("\\/");
  while (slash != std::string::npos && slash > 0 &&
         (path[slash - 1] == '\\' || path[slash - 1] == '/')) {
    --slash;
  }
  if (slash != std::string::npos && slash > 0 && path[slash - 1] != ':')
    if (!make_directories(path.substr(0, slash), err)) return false;
  return make_directory(path, err);
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
bool create_temp_file(const std::string& dir, bool text, const File*,
                      File* file, std::string* path, std::string* err) {
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
    HANDLE handle = CreateFileW(wide_path(name).c_str(), GENERIC_WRITE, 0,
                                nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      DWORD code = GetLastError();
      if (code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS) continue;
      return fail(err, error_text(code));
    }
    file->close();
    file->handle_ = from_handle(handle);
    file->text_ = text;
    file->at_end_ = false;
    *path = name;
    return true;
  }
  return fail(err, "no unused temporary name");
}

bool copy_mode_and_time(const File& source, const File& target,
                        std::string* err) {
  FILETIME written;
  if (!GetFileTime(as_handle(source.handle_), nullptr, nullptr, &written) ||
      !SetFileTime(as_handle(target.handle_), nullptr, nullptr, &written)) {
    return fail(err, error_text(GetLastError()));
  }
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
