// Windows implementation of the platform services. Paths arrive as UTF-8
// with "/" (or "\\") separators and go to the wide-character API.
#include "platform/platform.h"

#include <windows.h>
// windows.h first: the headers below rely on its types.
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>
#include <sys/timeb.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace quillon::platform {

namespace {

// Before main: summaries and log lines leave with "\n" line ends as they do
// elsewhere, and a drive without a medium fails a stat instead of asking
// the user through a dialog box.
struct ProcessSetup {
  ProcessSetup() {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    SetErrorMode(GetErrorMode() | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    _tzset();
  }
};
const ProcessSetup process_setup;

// UTF-8 to UTF-16. Encoded surrogates are accepted (and produced by
// to_utf8) so that any name a folder listing gives can be opened again.
bool to_wide(const std::string& in, std::wstring& out) {
  out.clear();
  out.reserve(in.size());
  const auto* s = reinterpret_cast<const unsigned char*>(in.data());
  const size_t n = in.size();
  size_t i = 0;
  while (i < n) {
    unsigned c = s[i];
    unsigned cp;
    size_t len;
    if (c < 0x80) {
      cp = c;
      len = 1;
    } else if (c >= 0xC2 && c <= 0xDF) {
      cp = c & 0x1F;
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      cp = c & 0x0F;
      len = 3;
    } else if (c >= 0xF0 && c <= 0xF4) {
      cp = c & 0x07;
      len = 4;
    } else {
      return false;
    }
    if (i + len > n) return false;
    for (size_t k = 1; k < len; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF))) return false;
    if (cp == 0) return false;  // a name never holds NUL
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<wchar_t>(0xD800 + (cp >> 10));
      out += static_cast<wchar_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<wchar_t>(cp);
    }
    i += len;
  }
  return true;
}

void to_utf8(const wchar_t* in, size_t n, std::string& out) {
  out.clear();
  out.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    unsigned cp = static_cast<unsigned short>(in[i]);
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < n) {
      unsigned lo = static_cast<unsigned short>(in[i + 1]);
      if (lo >= 0xDC00 && lo <= 0xDFFF) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
        ++i;
      }
    }
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
}

bool is_separator(wchar_t c) {
  return c == L'/' || c == L'\\';
}

// A path for the wide API. Output trees can be deep, so a long absolute
// path is made full and given the "\\?\" prefix that lifts the MAX_PATH
// limit (folders stop at 248 characters without it).
bool native_path(const std::string& path, std::wstring& out) {
  if (!to_wide(path, out)) return false;
  if (out.size() < 240) return true;
  if (out.size() >= 4 && is_separator(out[0]) && is_separator(out[1]) &&
      (out[2] == L'?' || out[2] == L'.') && is_separator(out[3]))
    return true;
  DWORD need = GetFullPathNameW(out.c_str(), 0, nullptr, nullptr);
  if (need == 0) return true;
  std::wstring full(need, L'\0');
  DWORD got = GetFullPathNameW(out.c_str(), need, full.data(), nullptr);
  if (got == 0 || got >= need) return true;
  full.resize(got);
  if (full.size() >= 3 && full[1] == L':' && full[2] == L'\\') {
    out = L"\\\\?\\" + full;
  } else if (full.size() >= 2 && full[0] == L'\\' && full[1] == L'\\') {
    out = L"\\\\?\\UNC\\" + full.substr(2);
  }
  return true;
}

// Errors that mean "there is nothing at this path" rather than "cannot tell".
bool is_not_found(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_NOT_READY:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_DIRECTORY:
    case ERROR_INVALID_NAME:
      return true;
    default:
      return false;
  }
}

// A name longer than any file system allows cannot be asked about; the
// system would call it invalid, which reads as absent.
bool has_overlong_name(const std::wstring& w) {
  size_t run = 0;
  for (wchar_t c : w) {
    run = is_separator(c) ? 0 : run + 1;
    if (run > 255) return true;
  }
  return false;
}

// Length without trailing separators, keeping a root ("C:\", "\").
size_t without_trailing_separators(const std::wstring& w) {
  size_t n = w.size();
  while (n > 1 && is_separator(w[n - 1]) && !(n == 3 && w[1] == L':')) --n;
  return n;
}

}  // namespace

bool stat_path(const std::string& path, StatResult& out) {
  out = StatResult{};
  std::wstring w;
  if (!native_path(path, w)) return false;
  // "name/" names a folder: a file there is not found, as elsewhere.
  const size_t bare = without_trailing_separators(w);
  const bool wants_folder = bare < w.size();
  w.resize(bare);
  if (has_overlong_name(w)) return false;
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(w.c_str(), GetFileExInfoStandard, &data)) {
    if (is_not_found(GetLastError())) return true;
    return false;
  }
  DWORD attributes = data.dwFileAttributes;
  uint64_t size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    // A link is followed to what it names; a dangling one is not found.
    HANDLE h = CreateFileW(w.c_str(), FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      if (is_not_found(GetLastError())) return true;
      return false;
    }
    BY_HANDLE_FILE_INFORMATION info;
    BOOL ok = GetFileInformationByHandle(h, &info);
    CloseHandle(h);
    if (!ok) return false;
    attributes = info.dwFileAttributes;
    size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    out.kind = kFolder;
  } else if (wants_folder) {
    out.kind = kNotFound;
  } else if (attributes & FILE_ATTRIBUTE_DEVICE) {
    out.kind = kOther;
  } else {
    out.kind = kFile;
    out.size = static_cast<int64_t>(size);
  }
  return true;
}

bool list_folder(const std::string& path, std::vector<std::string>& names) {
  std::string pattern = path;
  if (pattern.empty() || (pattern.back() != '/' && pattern.back() != '\\')) pattern += '\\';
  pattern += '*';
  std::wstring w;
  if (!native_path(pattern, w)) return false;
  WIN32_FIND_DATAW entry;
  HANDLE h = FindFirstFileExW(w.c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr,
                              FIND_FIRST_EX_LARGE_FETCH);
  if (h == INVALID_HANDLE_VALUE) {
    // A drive's root has no "." entry, so an empty one finds nothing.
    if (GetLastError() != ERROR_FILE_NOT_FOUND) return false;
    StatResult st;
    return stat_path(path, st) && st.kind == kFolder;
  }
  std::string name;
  do {
    const wchar_t* n = entry.cFileName;
    if (n[0] == L'.' && (n[1] == 0 || (n[1] == L'.' && n[2] == 0))) continue;
    to_utf8(n, wcslen(n), name);
    names.push_back(name);
  } while (FindNextFileW(h, &entry));
  const bool ok = GetLastError() == ERROR_NO_MORE_FILES;
  FindClose(h);
  return ok;
}

bool make_folder(const std::string& path) {
  std::wstring w;
  return native_path(path, w) && CreateDirectoryW(w.c_str(), nullptr);
}

bool remove_file(const std::string& path) {
  std::wstring w;
  return native_path(path, w) && DeleteFileW(w.c_str());
}

bool current_folder(std::string& out) {
  wchar_t buffer[2048];
  DWORD n = GetCurrentDirectoryW(2048, buffer);
  if (n == 0 || n >= 2048) return false;
  std::string utf8;
  to_utf8(buffer, n, utf8);
  if (utf8.size() >= 2048) return false;
  out = utf8;
  return true;
}

namespace {

// A C run-time stream over an open handle; the handle is closed on failure.
std::FILE* stream_from_handle(HANDLE h, File::Mode mode) {
  const int flags = _O_BINARY | (mode == File::kRead     ? _O_RDONLY
                                 : mode == File::kAppend ? _O_APPEND
                                                         : 0);
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), flags);
  if (fd == -1) {
    CloseHandle(h);
    return nullptr;
  }
  std::FILE* f = _fdopen(fd, mode == File::kRead ? "rb" : mode == File::kAppend ? "ab" : "wb");
  if (f == nullptr) _close(fd);  // closes the handle too
  return f;
}

}  // namespace

File* File::open(const std::string& path, Mode mode) {
  std::wstring w;
  if (!native_path(path, w)) return nullptr;
  // Opened by hand rather than with _wfopen so that others may delete or
  // rename the file while it is open, as they may elsewhere.
  const DWORD access = mode == kRead ? GENERIC_READ : GENERIC_WRITE;
  const DWORD disposition = mode == kRead     ? OPEN_EXISTING
                            : mode == kAppend ? OPEN_ALWAYS
                                              : CREATE_ALWAYS;
  HANDLE h = CreateFileW(w.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  std::FILE* f = stream_from_handle(h, mode);
  return f == nullptr ? nullptr : new File(f);
}

File::~File() {
  if (handle_ != nullptr) std::fclose(static_cast<FILE*>(handle_));
}

size_t File::read(void* buffer, size_t n) {
  return std::fread(buffer, 1, n, static_cast<FILE*>(handle_));
}

size_t File::write(const void* buffer, size_t n) {
  return std::fwrite(buffer, 1, n, static_cast<FILE*>(handle_));
}

bool File::read_error() const {
  return std::ferror(static_cast<FILE*>(handle_)) != 0;
}

bool File::seek(int64_t offset, int origin) {
  int whence = origin == 0 ? SEEK_SET : origin == 1 ? SEEK_CUR : SEEK_END;
  return _fseeki64(static_cast<FILE*>(handle_), offset, whence) == 0;
}

int64_t File::tell() {
  return _ftelli64(static_cast<FILE*>(handle_));
}

bool File::flush() {
  return std::fflush(static_cast<FILE*>(handle_)) == 0;
}

int File::close() {
  if (handle_ == nullptr) return 0;
  // fclose releases the stream even when it reports an error; flush first
  // so that a failure leaves the file open.
  if (std::fflush(static_cast<FILE*>(handle_)) != 0) return errno != 0 ? errno : EIO;
  int rc = std::fclose(static_cast<FILE*>(handle_));
  handle_ = nullptr;
  return rc == 0 ? 0 : (errno != 0 ? errno : EIO);
}

int64_t clock_ms() {
  static const int64_t frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<int64_t>(f.QuadPart);
  }();
  LARGE_INTEGER c;
  QueryPerformanceCounter(&c);
  const int64_t ticks = c.QuadPart;
  return ticks / frequency * 1000 + ticks % frequency * 1000 / frequency;
}

LocalClock local_clock_now() {
  // The C run-time's local time, so that TZ applies as it does to
  // local_seconds.
  struct __timeb64 now;
  _ftime64_s(&now);
  struct tm tm;
  std::memset(&tm, 0, sizeof tm);
  _localtime64_s(&tm, &now.time);
  return LocalClock{tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, now.millitm};
}

namespace {

int64_t floor_div(int64_t a, int64_t b) {
  return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

// Days since 1970-01-01 of a proleptic Gregorian date (month 1 to 12).
int64_t days_from_civil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = floor_div(y, 400);
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

}  // namespace

// Plain arithmetic: the C run-time's UTC conversions stop at 1970 and 3000.
// Out-of-range fields carry over as the C library's timegm does.
int64_t utc_seconds(int year, int month, int day, int hour, int minute, int second) {
  int64_t y = static_cast<int64_t>(year) + floor_div(static_cast<int64_t>(month) - 1, 12);
  int64_t m = static_cast<int64_t>(month) - 1 - floor_div(static_cast<int64_t>(month) - 1, 12) * 12;
  int64_t days = days_from_civil(y, m + 1, 1) + day - 1;
  return days * 86400 + static_cast<int64_t>(hour) * 3600 + static_cast<int64_t>(minute) * 60 +
         second;
}

int64_t local_seconds(int year, int month, int day, int hour, int minute, int second) {
  // Standard time: the zone's bias without daylight saving (seconds west).
  const long bias = _timezone;
  return utc_seconds(year, month, day, hour, minute, second) + bias;
}

CivilTime utc_civil(int64_t seconds) {
  int64_t days = floor_div(seconds, 86400);
  int64_t rest = seconds - days * 86400;
  days += 719468;
  const int64_t era = floor_div(days, 146097);
  const int64_t doe = days - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t d = doy - (153 * mp + 2) / 5 + 1;
  const int64_t m = mp < 10 ? mp + 3 : mp - 9;
  const int64_t y = yoe + era * 400 + (m <= 2);
  return CivilTime{static_cast<int>(y),
                   static_cast<int>(m),
                   static_cast<int>(d),
                   static_cast<int>(rest / 3600),
                   static_cast<int>(rest / 60 % 60),
                   static_cast<int>(rest % 60)};
}

int64_t process_id() {
  return static_cast<int64_t>(GetCurrentProcessId());
}

int64_t thread_id() {
  return static_cast<int64_t>(GetCurrentThreadId());
}

void stderr_write(const char* text, size_t n) {
  HANDLE h = GetStdHandle(STD_ERROR_HANDLE);
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return;
  while (n > 0) {
    DWORD chunk = n > 0x10000000 ? 0x10000000 : static_cast<DWORD>(n);
    DWORD written = 0;
    if (!WriteFile(h, text, chunk, &written, nullptr) || written == 0) return;
    text += written;
    n -= written;
  }
}

namespace {

void ignore_invalid_parameter(const wchar_t*, const wchar_t*, const wchar_t*, unsigned, uintptr_t) {
}

}  // namespace

int64_t raise_open_file_limit(int64_t want) {
  if (want > INT_MAX) want = INT_MAX;
  int current = _getmaxstdio();
  if (current >= want) return current;
  // Some run-times treat a value beyond their ceiling as a programming error
  // and end the process; a refusal is all that is wanted here.
  _invalid_parameter_handler previous = _set_invalid_parameter_handler(ignore_invalid_parameter);
  if (_setmaxstdio(static_cast<int>(want)) == -1) {
    // The largest value accepted (msvcrt stops at 2048), found by halving.
    int lo = current;
    int hi = static_cast<int>(want) - 1;
    while (lo < hi) {
      int mid = lo + (hi - lo + 1) / 2;
      if (_setmaxstdio(mid) != -1) {
        lo = mid;
      } else {
        hi = mid - 1;
      }
    }
    _setmaxstdio(lo);
  }
  _set_invalid_parameter_handler(previous);
  return _getmaxstdio();
}

const char* get_env(const char* name) {
  return std::getenv(name);
}

void set_env(const char* name, const char* value) {
  // An empty value removes the variable.
  _putenv_s(name, value == nullptr ? "" : value);
  if (std::strcmp(name, "TZ") == 0) _tzset();
}

void exit_process(int status) {
  std::exit(status);
}

void abort_process() {
  std::abort();
}

}  // namespace quillon::platform

namespace quillon::platform {
bool slash_is_absolute() {
  // "/x" is relative to the current drive.
  return false;
}

void utf8_arguments(int& argc, char**& argv) {
  // The C run-time's argv is in the ANSI code page, which cannot spell every
  // file name; the wide command line can.
  int n = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &n);
  if (wide == nullptr) return;
  static std::vector<std::string> texts;
  static std::vector<char*> pointers;
  texts.resize(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) to_utf8(wide[i], wcslen(wide[i]), texts[static_cast<size_t>(i)]);
  LocalFree(wide);
  pointers.clear();
  for (std::string& t : texts) pointers.push_back(t.data());
  pointers.push_back(nullptr);
  argc = n;
  argv = pointers.data();
}
}  // namespace quillon::platform

// ---------------------------------------------------------------------------
// Calls for all-or-nothing output, to be declared in platform.h beside their
// POSIX counterparts: opening below a root without following reparse points,
// flushing to the disk, and console control events as interrupts.

namespace quillon::platform {

namespace {

// Each folder below the root is held open without FILE_SHARE_DELETE until
// the final open is done, so none can be renamed or replaced (by a junction,
// say) between its check and its use.
class HeldFolders {
 public:
  HeldFolders() = default;
  HeldFolders(const HeldFolders&) = delete;
  HeldFolders& operator=(const HeldFolders&) = delete;
  ~HeldFolders() {
    for (HANDLE h : handles_) CloseHandle(h);
  }
  // Opens path as a folder that is no reparse point; false otherwise.
  bool hold(const std::wstring& path) {
    HANDLE h = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    handles_.push_back(h);
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info)) return false;
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
      SetLastError(ERROR_CANT_ACCESS_FILE);
      return false;
    }
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
      SetLastError(ERROR_DIRECTORY);
      return false;
    }
    return true;
  }

 private:
  std::vector<HANDLE> handles_;
};

// Splits relative at "/" and "\\" into its non-empty components; false when
// one is "." or ".." (which could leave the root).
bool components(const std::string& relative, std::vector<std::string>& out) {
  size_t i = 0;
  while (i <= relative.size()) {
    size_t end = relative.find_first_of("/\\", i);
    if (end == std::string::npos) end = relative.size();
    if (end > i) {
      std::string c = relative.substr(i, end - i);
      if (c == "." || c == "..") return false;
      out.push_back(std::move(c));
    }
    i = end + 1;
  }
  return !out.empty();
}

// Holds the root and every folder of relative but the last component, and
// gives the full path of that last component.
bool walk_below(const std::string& root, const std::string& relative, HeldFolders& held,
                std::wstring& full) {
  std::vector<std::string> parts;
  if (!components(relative, parts)) {
    SetLastError(ERROR_INVALID_NAME);
    return false;
  }
  std::string path = root;
  if (path.empty() || (path.back() != '/' && path.back() != '\\')) path += '/';
  std::wstring w;
  if (!native_path(path, w) || !held.hold(w)) return false;
  for (size_t k = 0; k + 1 < parts.size(); ++k) {
    path += parts[k];
    if (!native_path(path, w) || !held.hold(w)) return false;
    path += '/';
  }
  path += parts.back();
  return native_path(path, full);
}

}  // namespace

// Gives the C run-time stream that File wraps (File::open_below once
// declared); null on failure or when a reparse point was met.
std::FILE* open_below(const std::string& root, const std::string& relative, File::Mode mode) {
  HeldFolders held;
  std::wstring full;
  if (!walk_below(root, relative, held, full)) return nullptr;
  // Opened without truncation and without following a reparse point, then
  // checked through the handle, so the object checked is the one written.
  const DWORD access = mode == File::kRead ? GENERIC_READ : GENERIC_WRITE;
  const DWORD disposition = mode == File::kRead ? OPEN_EXISTING : OPEN_ALWAYS;
  HANDLE h = CreateFileW(
      full.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  BY_HANDLE_FILE_INFORMATION info;
  bool ok = GetFileInformationByHandle(h, &info) &&
            !(info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY));
  if (ok && mode == File::kWrite) {
    FILE_END_OF_FILE_INFO end{};
    ok = SetFileInformationByHandle(h, FileEndOfFileInfo, &end, sizeof end);
  }
  if (!ok) {
    CloseHandle(h);
    return nullptr;
  }
  return stream_from_handle(h, mode);
}

bool make_folder_below(const std::string& root, const std::string& relative) {
  HeldFolders held;
  std::wstring full;
  return walk_below(root, relative, held, full) && CreateDirectoryW(full.c_str(), nullptr);
}

bool remove_file_below(const std::string& root, const std::string& relative) {
  HeldFolders held;
  std::wstring full;
  if (!walk_below(root, relative, held, full)) return false;
  // A link is removed itself, never what it names; DeleteFileW does not
  // follow one.
  return DeleteFileW(full.c_str());
}

// Durable (File::sync once declared): the C run-time's buffer to the
// system, then the system's cache to the disk.
bool sync_stream(std::FILE* f) {
  if (std::fflush(f) != 0) return false;
  HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f)));
  return h != INVALID_HANDLE_VALUE && FlushFileBuffers(h);
}

namespace {

// Set by the console control handler, read by the conversion loop.
volatile LONG interrupt_event = -1;
HANDLE settled = nullptr;

BOOL WINAPI on_console_event(DWORD event) {
  InterlockedCompareExchange(&interrupt_event, static_cast<LONG>(event), -1);
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) return TRUE;
  // Close, log-off and shut-down end the process as soon as this returns:
  // give the run the few seconds the system allows to finish its file.
  if (settled != nullptr) WaitForSingleObject(settled, 4500);
  return TRUE;
}

}  // namespace

bool catch_interrupts() {
  if (settled == nullptr) settled = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  return SetConsoleCtrlHandler(on_console_event, TRUE);
}

// -1 while none came; else the console event (0 Ctrl+C, 1 Ctrl+Break,
// 2 close, 5 log-off, 6 shut-down).
int interrupt_received() {
  return static_cast<int>(InterlockedCompareExchange(&interrupt_event, -1, -1));
}

// The run has left its files complete; a close event may end the process.
void interrupt_settled() {
  if (settled != nullptr) SetEvent(settled);
}

}  // namespace quillon::platform
