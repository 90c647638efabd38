// The platform layer on Windows. Only the wide (UTF-16) functions of the
// Windows API and the C runtime are called; names are converted to and from
// UTF-8 at this file's edge. Every path handed to the system is a full
// "\\?\" path, so that no name is taken for a device (AUX.dat, CON.dat) and
// no length limit applies.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601  // LCMapStringEx, SetFileInformationByHandle
#endif
#define _CRT_RAND_S  // rand_s, for temporary names
#include <windows.h>
#include <shellapi.h>

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <cerrno>
#include <mutex>

#include "platform/platform.h"

const char kPathSeparator[] = "\\";
const bool kNamesIgnoreCase = true;
const int kAncestorsKeptOpen = 1 << 30;

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

// The full "\\?\" form of a path as the user typed it.
std::wstring full_path(const std::string& path) {
  std::wstring wide = to_wide(path);
  if (starts_with(wide, L"\\\\?\\") || starts_with(wide, L"\\\\.\\"))
    return wide;
  DWORD n = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (n == 0) return wide;
  std::wstring full(n, L'\0');
  n = GetFullPathNameW(wide.c_str(), n, &full[0], nullptr);
  if (n == 0 || n >= full.size()) return wide;
  full.resize(n);
  if (starts_with(full, L"\\\\?\\") || starts_with(full, L"\\\\.\\"))
    return full;
  // The system takes a "\\?\" path literally: separators typed twice or
  // at the end ("logs\\", "logs\\\\") are folded here, but for a root's.
  const size_t start = starts_with(full, L"\\\\") ? 2 : 0;
  std::wstring folded = full.substr(0, start);
  for (size_t i = start; i < full.size(); ++i) {
    bool separator = full[i] == L'\\' || full[i] == L'/';
    if (separator && !folded.empty() && folded.back() == L'\\' &&
        folded.size() > start)
      continue;
    folded += separator ? L'\\' : full[i];
  }
  if (folded.size() > 3 && folded.back() == L'\\') folded.pop_back();
  if (start == 2) return L"\\\\?\\UNC\\" + folded.substr(2);
  return L"\\\\?\\" + folded;
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

// The errno value of this thread's last failure.
thread_local int last_error = 0;

// The errno value of a system error code; EIO where there is none.
int errno_of(DWORD code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      return EACCES;
    case ERROR_DIRECTORY:
      return ENOTDIR;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    default:
      return EIO;
  }
}

bool fail(std::string* err, const std::string& what, int code = 0) {
  *err = what;
  last_error = code;
  return false;
}

bool fail_code(std::string* err, DWORD code) {
  return fail(err, error_text(code), errno_of(code));
}

bool fail_last(std::string* err) { return fail_code(err, GetLastError()); }

// A file time (100-nanosecond steps since 1601) in nanoseconds since 1970.
int64_t nanoseconds_since_1970(const FILETIME& time) {
  int64_t ticks = static_cast<int64_t>(
      (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
  return (ticks - 116444736000000000LL) * 100;
}

HANDLE as_handle(long long handle) {
  return reinterpret_cast<HANDLE>(static_cast<intptr_t>(handle));
}

long long from_handle(HANDLE handle) {
  return static_cast<long long>(reinterpret_cast<intptr_t>(handle));
}

// The temporary files being written, for an interrupt to remove. Entered and
// taken out under the lock; the interrupt takes it and never gives it back.
struct Temporary {
  HANDLE file;
  std::wstring path;
};
std::mutex temporaries_lock;
std::vector<Temporary> temporaries;

void forget_temporary(HANDLE file) {
  for (size_t i = 0; i < temporaries.size(); ++i) {
    if (temporaries[i].file == file) {
      temporaries[i] = std::move(temporaries.back());
      temporaries.pop_back();
      return;
    }
  }
}

// Marks the open file to be deleted once closed; false when it cannot be.
bool delete_on_close(HANDLE file) {
  FILE_DISPOSITION_INFO info = {TRUE};
  return SetFileInformationByHandle(file, FileDispositionInfo, &info,
                                    sizeof info) != 0;
}

BOOL WINAPI on_interrupt(DWORD) {
  temporaries_lock.lock();  // held until the process ends
  for (const Temporary& t : temporaries) {
    if (!delete_on_close(t.file)) {
      CloseHandle(t.file);
      DeleteFileW(t.path.c_str());
    }
  }
  ExitProcess(130);
  return TRUE;
}

}  // namespace

std::string name_key(const std::string& name) {
  // Folded as NTFS folds names: upper case, every script.
  std::wstring wide = to_wide(name);
  if (wide.empty()) return name;
  int n = LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, wide.c_str(),
                        static_cast<int>(wide.size()), nullptr, 0, nullptr,
                        nullptr, 0);
  if (n <= 0) return name;
  std::wstring upper(static_cast<size_t>(n), L'\0');
  LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, wide.c_str(),
                static_cast<int>(wide.size()), &upper[0], n, nullptr, nullptr,
                0);
  return to_utf8(upper);
}

std::vector<std::string> command_line_arguments(int argc, char** argv) {
  int count = 0;
  LPWSTR* wide_args = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide_args == nullptr) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> args;
  for (int i = 0; i < count; ++i) args.push_back(to_utf8(wide_args[i]));
  LocalFree(wide_args);
  return args;
}

namespace {

// Writes `text` to the standard stream `which` (STD_OUTPUT_HANDLE or
// STD_ERROR_HANDLE) that `file` is: as characters on a console, as bytes
// otherwise.
void print_to(DWORD which, FILE* file, std::string_view text) {
  HANDLE console = GetStdHandle(which);
  DWORD console_mode = 0;
  if (console == nullptr || console == INVALID_HANDLE_VALUE ||
      !GetConsoleMode(console, &console_mode)) {
    fwrite(text.data(), 1, text.size(), file);
    fflush(file);
    return;
  }
  // A console shows characters, not bytes: hand it UTF-16, in pieces that
  // every console version takes, never splitting a surrogate pair.
  fflush(file);
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

}  // namespace

void print_error(std::string_view text) {
  print_to(STD_ERROR_HANDLE, stderr, text);
}

void print_output(std::string_view text) {
  print_to(STD_OUTPUT_HANDLE, stdout, text);
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

bool local_date_today(int* year, int* month, int* day) {
  SYSTEMTIME local;
  GetLocalTime(&local);
  *year = local.wYear;
  *month = local.wMonth;
  *day = local.wDay;
  return true;
}

std::string time_zone_folder() {
  if (const wchar_t* dir = _wgetenv(L"TZDIR"); dir != nullptr && *dir != L'\0')
    return to_utf8(dir);
  std::wstring exe(32768, L'\0');
  DWORD n = GetModuleFileNameW(nullptr, exe.data(), static_cast<DWORD>(exe.size()));
  exe.resize(n);
  const size_t slash = exe.find_last_of(L"\\/");
  exe.resize(slash == std::wstring::npos ? 0 : slash + 1);
  return to_utf8(exe) + "zoneinfo";
}

File::~File() { close(); }

long long File::read(char* buf, size_t size) {
  if (at_end_) return 0;
  DWORD want = static_cast<DWORD>(std::min<size_t>(size, 1u << 30));
  DWORD got = 0;
  if (!ReadFile(as_handle(handle_), buf, want, &got, nullptr)) {
    // A pipe whose writer has gone is at its end.
    if (stream_ && GetLastError() == ERROR_BROKEN_PIPE) {
      at_end_ = true;
      return 0;
    }
    error_ = error_text(GetLastError());
    return -1;
  }
  if (got == 0 || (!stream_ && got < want)) at_end_ = true;
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

bool File::rewind() {
  at_end_ = false;
  LARGE_INTEGER zero = {};
  if (SetFilePointerEx(as_handle(handle_), zero, nullptr, FILE_BEGIN)) return true;
  error_ = error_text(GetLastError());
  return false;
}

bool File::seek(uint64_t offset) {
  at_end_ = false;
  LARGE_INTEGER at = {};
  at.QuadPart = static_cast<LONGLONG>(offset);
  if (SetFilePointerEx(as_handle(handle_), at, nullptr, FILE_BEGIN)) return true;
  error_ = error_text(GetLastError());
  return false;
}

bool File::copy_from(File& from, uint64_t offset, uint64_t size) {
  return copy_through_memory(
             from, offset, size, [this](const char* data, size_t n) { return write(data, n); },
             &error_);
}

bool File::read_at(uint64_t offset, char* buf, size_t size) {
  // A read at an offset moves the file pointer: it is put back after.
  LARGE_INTEGER zero = {}, at = {};
  if (!SetFilePointerEx(as_handle(handle_), zero, &at, FILE_CURRENT)) {
    error_ = error_text(GetLastError());
    return false;
  }
  bool ok = true;
  while (ok && size > 0) {
    OVERLAPPED where = {};
    where.Offset = static_cast<DWORD>(offset);
    where.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    if (!ReadFile(as_handle(handle_), buf, static_cast<DWORD>(std::min<size_t>(size, 1u << 30)),
                  &got, &where)) {
      error_ = error_text(GetLastError());
      ok = false;
    } else if (got == 0) {
      error_ = "the file ends early";
      ok = false;
    }
    buf += got;
    size -= got;
    offset += got;
  }
  if (!SetFilePointerEx(as_handle(handle_), at, nullptr, FILE_BEGIN) && ok) {
    error_ = error_text(GetLastError());
    ok = false;
  }
  return ok;
}

bool File::truncate() {
  LARGE_INTEGER zero = {};
  if (SetFilePointerEx(as_handle(handle_), zero, nullptr, FILE_BEGIN) &&
      SetEndOfFile(as_handle(handle_))) {
    return true;
  }
  error_ = error_text(GetLastError());
  return false;
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
  stream_ = false;
  if (CloseHandle(handle)) return true;
  error_ = error_text(GetLastError());
  return false;
}

bool File::size_and_time(uint64_t* size, int64_t* mtime_ns) {
  LARGE_INTEGER bytes;
  FILETIME written;
  if (!GetFileSizeEx(as_handle(handle_), &bytes) ||
      !GetFileTime(as_handle(handle_), nullptr, nullptr, &written)) {
    error_ = error_text(GetLastError());
    return false;
  }
  *size = static_cast<uint64_t>(bytes.QuadPart);
  *mtime_ns = nanoseconds_since_1970(written);
  return true;
}

// Builds Dirs, whose constructor is private.
struct DirMaker {
  // Opens the directory at the full path `native` (never through a link
  // unless `follow`) into a new Dir shown as `path`. The directory is held
  // open without leave to delete it, so that it cannot be renamed or
  // removed while in use. Returns null, with *err set, on failure.
  static std::shared_ptr<Dir> open(const std::wstring& native,
                                   const std::string& path, bool follow,
                                   std::string* err) {
    HANDLE handle = CreateFileW(
        native.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT),
        nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      fail_last(err);
      return nullptr;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info)) {
      fail_last(err);
      CloseHandle(handle);
      return nullptr;
    }
    if (!follow && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
      *err = "is a symbolic link, not a directory";
      CloseHandle(handle);
      return nullptr;
    }
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
      fail_code(err, ERROR_DIRECTORY);
      CloseHandle(handle);
      return nullptr;
    }
    std::shared_ptr<Dir> dir(new Dir());
    dir->handle_ = from_handle(handle);
    dir->path_ = path;
    dir->native_path_ = to_utf8(native);
    dir->id_ = {info.dwVolumeSerialNumber,
                (static_cast<uint64_t>(info.nFileIndexHigh) << 32) |
                    info.nFileIndexLow};
    return dir;
  }

  // The full path of `name` in `dir`.
  static std::wstring child(const Dir& dir, const std::string& name) {
    const std::string& path = dir.native_path_;
    return to_wide(path + (!path.empty() && path.back() == '\\' ? "" : "\\") +
                   name);
  }
};

Dir::~Dir() {
  if (handle_ != -1) CloseHandle(as_handle(handle_));
}

std::shared_ptr<Dir> Dir::open(const std::string& path, std::string* err) {
  return DirMaker::open(full_path(path), path, true, err);
}

std::shared_ptr<Dir> Dir::make(const std::string& path, std::string* err) {
  if (!make_directories(path, err)) return nullptr;
  return open(path, err);
}

std::shared_ptr<Dir> Dir::open_child(const std::string& name,
                                     std::string* err) const {
  return DirMaker::open(DirMaker::child(*this, name), path_of(name), false, err);
}

std::shared_ptr<Dir> Dir::make_child(const std::string& name,
                                     std::string* err) const {
  if (!CreateDirectoryW(DirMaker::child(*this, name).c_str(), nullptr) &&
      GetLastError() != ERROR_ALREADY_EXISTS) {
    fail_last(err);
    return nullptr;
  }
  return open_child(name, err);
}

bool Dir::list(std::vector<DirEntry>* entries, std::string* err) const {
  entries->clear();
  // Each real name is looked at here: a pattern such as "*.dat" would also
  // match 8.3 short names, x.data as X~1.DAT.
  WIN32_FIND_DATAW found;
  HANDLE search =
      FindFirstFileW(DirMaker::child(*this, "*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) {
    DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND) return true;  // empty
    return fail_code(err, code);
  }
  do {
    DWORD attributes = found.dwFileAttributes;
    EntryKind kind = EntryKind::kFile;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
      // A link or junction to a directory is not followed.
      kind = attributes & FILE_ATTRIBUTE_REPARSE_POINT ? EntryKind::kDirectoryLink
                                                       : EntryKind::kDirectory;
    } else if (attributes & FILE_ATTRIBUTE_DEVICE) {
      kind = EntryKind::kOther;
    }
    std::string name = to_utf8(found.cFileName);
    if (name != "." && name != "..") entries->push_back({name, kind});
  } while (FindNextFileW(search, &found));
  DWORD code = GetLastError();
  FindClose(search);
  if (code != ERROR_NO_MORE_FILES) return fail_code(err, code);
  std::sort(entries->begin(), entries->end(),
            [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; });
  return true;
}

bool Dir::open_file(const std::string& name, File* file,
                    std::string* err) const {
  HANDLE handle = CreateFileW(
      DirMaker::child(*this, name).c_str(), GENERIC_READ,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return fail_last(err);
  // A pipe or a device would block a read, or never end.
  if (GetFileType(handle) != FILE_TYPE_DISK) {
    CloseHandle(handle);
    return fail(err, "not a regular file", EINVAL);
  }
  LARGE_INTEGER size = {};
  GetFileSizeEx(handle, &size);
  file->close();
  file->handle_ = from_handle(handle);
  file->text_ = false;
  file->at_end_ = false;
  file->mode_ = 0666;
  file->size_ = static_cast<uint64_t>(size.QuadPart);
  return true;
}

bool Dir::exists(const std::string& name) const {
  if (GetFileAttributesW(DirMaker::child(*this, name).c_str()) !=
      INVALID_FILE_ATTRIBUTES) {
    return true;
  }
  DWORD code = GetLastError();
  // Anything but "not there" (no access, say) counts as there.
  return code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND;
}

bool Dir::stat(const std::string& name, uint64_t* size,
               int64_t* mtime_ns) const {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(DirMaker::child(*this, name).c_str(),
                            GetFileExInfoStandard, &data)) {
    return false;
  }
  *size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  *mtime_ns = nanoseconds_since_1970(data.ftLastWriteTime);
  return true;
}

// Permission bits do not apply: a new file takes the access rules of its
// directory, so `like` is not looked at. The file is shared with nobody, so
// that no other run can remove it while it is written.
bool Dir::create_temp(Content content, const File*, File* file,
                      std::string* name, std::string* err, TempAccess) const {
  static const char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string candidate = ".quillon-";
    unsigned int value = 0;
    if (rand_s(&value) != 0)
      value = GetTickCount() ^ (GetCurrentProcessId() << 16) ^ attempt;
    for (int i = 0; i < 6; ++i) {
      candidate += kDigits[value % 36];
      value /= 36;
    }
    std::wstring path = DirMaker::child(*this, candidate);
    std::lock_guard<std::mutex> lock(temporaries_lock);
    HANDLE handle = CreateFileW(path.c_str(), GENERIC_WRITE | DELETE, 0,
                                nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      DWORD code = GetLastError();
      if (code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS) continue;
      return fail_code(err, code);
    }
    temporaries.push_back({handle, path});
    file->close();
    file->handle_ = from_handle(handle);
    file->text_ = content == Content::kText;
    file->at_end_ = false;
    *name = std::move(candidate);
    return true;
  }
  return fail(err, "no unused temporary name");
}

bool Dir::publish(File* file, const std::string& temp, const std::string& name,
                  Replace replace, std::string* err, bool* is_directory) const {
  HANDLE handle = as_handle(file->handle_);
  std::wstring target = DirMaker::child(*this, name);
  std::lock_guard<std::mutex> lock(temporaries_lock);
  forget_temporary(handle);
  // Renamed while still open, so that nobody can remove it before; where
  // the system cannot, by name once closed. A link at `name` is replaced
  // itself, as a file is; a directory is not.
  // The system's own form of the full path: "\??\" for "\\?\".
  std::wstring new_name = target;
  if (starts_with(new_name, L"\\\\?\\")) new_name[1] = L'?';
  std::vector<char> buffer(sizeof(FILE_RENAME_INFO) +
                           new_name.size() * sizeof(wchar_t));
  FILE_RENAME_INFO* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  info->ReplaceIfExists = replace == Replace::kYes ? TRUE : FALSE;
  info->RootDirectory = nullptr;
  info->FileNameLength = static_cast<DWORD>(new_name.size() * sizeof(wchar_t));
  std::copy(new_name.begin(), new_name.end(), info->FileName);
  info->FileName[new_name.size()] = L'\0';
  bool renamed = SetFileInformationByHandle(handle, FileRenameInfo, info,
                                            static_cast<DWORD>(buffer.size()));
  DWORD code = renamed ? 0 : GetLastError();
  if (!file->close()) {
    *err = file->error();
    if (renamed) DeleteFileW(target.c_str());
    else DeleteFileW(DirMaker::child(*this, temp).c_str());
    return false;
  }
  if (!renamed && code != ERROR_ACCESS_DENIED && code != ERROR_ALREADY_EXISTS &&
      code != ERROR_FILE_EXISTS) {
    renamed = MoveFileExW(DirMaker::child(*this, temp).c_str(), target.c_str(),
                          MOVEFILE_WRITE_THROUGH |
                              (replace == Replace::kYes ? MOVEFILE_REPLACE_EXISTING : 0));
    code = renamed ? 0 : GetLastError();
  }
  if (renamed) return true;
  DeleteFileW(DirMaker::child(*this, temp).c_str());
  DWORD attributes = GetFileAttributesW(target.c_str());
  if (is_directory != nullptr)
    *is_directory = attributes != INVALID_FILE_ATTRIBUTES &&
                    (attributes & FILE_ATTRIBUTE_DIRECTORY);
  return fail_code(err, code);
}

void Dir::discard(File* file, const std::string& temp) const {
  HANDLE handle = as_handle(file->handle_);
  std::lock_guard<std::mutex> lock(temporaries_lock);
  forget_temporary(handle);
  bool marked = file->is_open() && delete_on_close(handle);
  file->close();
  if (!marked) DeleteFileW(DirMaker::child(*this, temp).c_str());
}

bool Dir::remove(const std::string& name, std::string* err) const {
  if (!DeleteFileW(DirMaker::child(*this, name).c_str())) return fail_last(err);
  return true;
}

// Renames here are written through to the disk, so there is nothing left to
// flush.
bool Dir::sync(std::string*) const { return true; }

int Dir::claim_for_writing() {
  // A temporary file that another run is writing is open, shared with
  // nobody: it cannot be deleted, and only stale ones go.
  std::vector<DirEntry> entries;
  std::string err;
  int removed = 0;
  if (!list(&entries, &err)) return 0;
  for (const DirEntry& entry : entries)
    if (entry.kind == EntryKind::kFile && is_temp_name(entry.name) &&
        DeleteFileW(DirMaker::child(*this, entry.name).c_str())) {
      ++removed;
    }
  return removed;
}

bool make_directories(const std::string& path, std::string* err) {
  std::wstring full = full_path(path);
  // Past the root: "\\?\C:\" or "\\?\UNC\server\share\".
  size_t start = 4;
  if (starts_with(full, L"\\\\?\\UNC\\")) {
    start = full.find(L'\\', 8);
    if (start != std::wstring::npos) start = full.find(L'\\', start + 1);
  } else {
    start = full.find(L'\\', 4);
  }
  while (!full.empty() && full.back() == L'\\') full.pop_back();
  for (size_t at = start; at != std::wstring::npos && at < full.size();
       at = full.find(L'\\', at + 1)) {
    CreateDirectoryW(full.substr(0, at).c_str(), nullptr);
  }
  if (CreateDirectoryW(full.c_str(), nullptr)) return true;
  DWORD code = GetLastError();
  DWORD attributes = GetFileAttributesW(full.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return true;
  }
  return fail_code(err, code);
}

bool create_unnamed_temp(File* file, std::string* err) {
  wchar_t dir[MAX_PATH + 1];
  DWORD n = GetTempPathW(MAX_PATH + 1, dir);
  if (n == 0 || n > MAX_PATH) return fail_last(err);
  for (int attempt = 0; attempt < 100; ++attempt) {
    unsigned int value = 0;
    if (rand_s(&value) != 0) value = GetTickCount() ^ attempt;
    std::wstring path = std::wstring(dir) + L".quillon-" + std::to_wstring(value);
    HANDLE handle = CreateFileW(
        path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
        FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      DWORD code = GetLastError();
      if (code == ERROR_FILE_EXISTS) continue;
      fail_code(err, code);
      *err = "no temporary file in " + to_utf8(dir) + ": " + *err;
      return false;
    }
    file->close();
    file->handle_ = from_handle(handle);
    file->text_ = false;
    file->at_end_ = false;
    return true;
  }
  return fail(err, "no unused temporary name in " + to_utf8(dir));
}

bool File::set_owner(const FileOwner&) { return true; }

bool Dir::owner(const std::string& name, FileOwner* owner) const {
  // Access follows the directory's rules: there is nothing to keep.
  *owner = FileOwner();
  return exists(name);
}

namespace {

// Whether `path` names one of the system's devices (NUL, CON, COM1, ...),
// which a file of any directory cannot be called.
bool is_device_name(const std::string& path) {
  std::string name = path.substr(path.find_last_of("\\/:") + 1);
  name = name.substr(0, name.find('.'));
  for (char& c : name)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  static const char* kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$",
                                   "CONOUT$"};
  for (const char* device : kDevices)
    if (name == device) return true;
  return name.size() == 4 && (name.rfind("COM", 0) == 0 || name.rfind("LPT", 0) == 0) &&
         name[3] >= '1' && name[3] <= '9';
}

}  // namespace

void fail_writes_past_file_size_limit() {}  // no such limit

bool file_id_of(const std::string& path, FileId* id) {
  HANDLE handle = CreateFileW(full_path(path).c_str(), 0,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  const bool ok = GetFileInformationByHandle(handle, &info) != 0;
  CloseHandle(handle);
  if (ok)
    *id = {info.dwVolumeSerialNumber,
           (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
  return ok;
}

OutputTarget output_target(const std::string& path, std::string* resolved) {
  *resolved = path;
  if (is_device_name(path)) return OutputTarget::kDevice;
  HANDLE handle = CreateFileW(to_wide(path).c_str(), 0,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                              nullptr);
  if (handle == INVALID_HANDLE_VALUE) return OutputTarget::kNothing;
  DWORD type = GetFileType(handle);
  BY_HANDLE_FILE_INFORMATION info;
  bool directory = type == FILE_TYPE_DISK &&
                   GetFileInformationByHandle(handle, &info) &&
                   (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
  CloseHandle(handle);
  if (type != FILE_TYPE_DISK) return OutputTarget::kDevice;
  return directory ? OutputTarget::kDirectory : OutputTarget::kFile;
}

bool open_device(const std::string& path, File* file, std::string* err) {
  // As typed: a device name is the device, never a file of that name.
  HANDLE handle = CreateFileW(to_wide(path).c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return fail_last(err);
  file->close();
  file->handle_ = from_handle(handle);
  file->text_ = false;
  file->at_end_ = false;
  return true;
}

unsigned new_file_permissions() { return 0666; }

bool create_private_file(const std::string& path, std::string* err) {
  // A new file takes the access rules of its directory.
  HANDLE handle = CreateFileW(full_path(path).c_str(), GENERIC_WRITE, 0, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    DWORD code = GetLastError();
    return code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS ||
           fail_code(err, code);
  }
  CloseHandle(handle);
  return true;
}

std::string canonical_path(const std::string& path) {
  HANDLE handle = CreateFileW(full_path(path).c_str(), 0,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                              nullptr);
  if (handle == INVALID_HANDLE_VALUE) return std::string();
  std::wstring final_path(32768, L'\0');
  DWORD n = GetFinalPathNameByHandleW(handle, &final_path[0],
                                      static_cast<DWORD>(final_path.size()),
                                      FILE_NAME_NORMALIZED);
  CloseHandle(handle);
  if (n == 0 || n >= final_path.size()) return std::string();
  final_path.resize(n);
  if (starts_with(final_path, L"\\\\?\\UNC\\"))
    return "\\\\" + to_utf8(final_path.substr(8));
  if (starts_with(final_path, L"\\\\?\\")) return to_utf8(final_path.substr(4));
  return to_utf8(final_path);
}

// Opens a copy of the standard stream `which` (STD_INPUT_HANDLE or
// STD_OUTPUT_HANDLE, as an int) into *file.
bool open_standard_stream(int which, File* file, std::string* err) {
  const DWORD id = static_cast<DWORD>(which);
  HANDLE handle = GetStdHandle(id), copy = nullptr;
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE ||
      !DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy,
                       0, FALSE, DUPLICATE_SAME_ACCESS)) {
    return fail(err, id == STD_INPUT_HANDLE ? "no standard input"
                                            : "no standard output");
  }
  file->close();
  file->handle_ = from_handle(copy);
  file->text_ = false;
  file->at_end_ = false;
  file->stream_ = id == STD_INPUT_HANDLE;
  return true;
}

bool open_standard_input(File* file, std::string* err) {
  return open_standard_stream(static_cast<int>(STD_INPUT_HANDLE), file, err);
}

bool open_standard_output(File* file, std::string* err) {
  return open_standard_stream(static_cast<int>(STD_OUTPUT_HANDLE), file, err);
}

std::string absolute_path(const std::string& path) {
  std::wstring wide = to_wide(path);
  DWORD n = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (n == 0) return path;
  std::wstring full(n, L'\0');
  n = GetFullPathNameW(wide.c_str(), n, &full[0], nullptr);
  if (n == 0 || n >= full.size()) return path;
  full.resize(n);
  return to_utf8(full);
}

bool path_below(const std::string& inner, const std::string& outer, std::string* rest) {
  // Names are compared as the file system does: without case.
  if (inner.size() < outer.size() || name_key(inner.substr(0, outer.size())) != name_key(outer))
    return false;
  size_t at = outer.size();
  const bool ends = !outer.empty() && (outer.back() == '\\' || outer.back() == '/');
  if (at < inner.size() && !ends) {
    if (inner[at] != '\\' && inner[at] != '/') return false;
    ++at;
  }
  *rest = inner.substr(at);
  for (char& c : *rest)
    if (c == '\\') c = '/';
  return true;
}

void split_path(const std::string& path, std::string* dir, std::string* name) {
  size_t slash = path.find_last_of("\\/");
  // "C:x" is x in the current directory of drive C.
  if (slash == std::string::npos && path.size() >= 2 && path[1] == ':')
    slash = 1;
  if (slash == std::string::npos) {
    *dir = ".";
    *name = path;
    return;
  }
  *dir = path.substr(0, slash + (slash == 0 || path[slash] == ':' ||
                                 (slash == 2 && path[1] == ':')));
  *name = path.substr(slash + 1);
}

bool copy_mode_and_time(const File& source, const File& target,
                        std::string* err) {
  FILETIME written;
  if (!GetFileTime(as_handle(source.handle_), nullptr, nullptr, &written) ||
      !SetFileTime(as_handle(target.handle_), nullptr, nullptr, &written)) {
    return fail_last(err);
  }
  return true;
}

bool remove_temporaries_on_interrupt() {
  static const bool kInstalled = SetConsoleCtrlHandler(on_interrupt, TRUE) != 0;
  return kInstalled;
}

int last_error_number() { return last_error; }
