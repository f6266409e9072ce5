// Windows implementation of the platform services. Paths arrive as UTF-8
// with "/" (or "\\") separators and go to the wide-character API.
#include "platform/platform.h"

#include "platform/fault_points.h"

#include <windows.h>
// windows.h first: the headers below rely on its types.
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>
#include <sys/timeb.h>

#include <cerrno>
#include <climits>
#include <csignal>
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

// The error codes handed out are the C run-time's errno values, as
// elsewhere, so that messages read the same on every system.
int errno_of(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_NOT_READY:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_PRIVILEGE_NOT_HELD:
      return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_DIRECTORY:
      return ENOTDIR;
    case ERROR_DIR_NOT_EMPTY:
      return ENOTEMPTY;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_WRITE_PROTECT:
      return EROFS;
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_PARAMETER:
      return EINVAL;
    case ERROR_TOO_MANY_OPEN_FILES:
      return EMFILE;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    case ERROR_NOT_SAME_DEVICE:
      return EXDEV;
    case ERROR_INVALID_HANDLE:
      return EBADF;
    case ERROR_CANT_RESOLVE_FILENAME:
      return ELOOP;
    case ERROR_FILE_TOO_LARGE:
      return EFBIG;
    case ERROR_BUSY:
      return EBUSY;
    case ERROR_INVALID_FUNCTION:
    case ERROR_NOT_SUPPORTED:
      return ENOSYS;
    default:
      return EIO;
  }
}

int last_errno() {
  return errno_of(GetLastError());
}

// The C run-time's errno after a failed stream operation.
int stream_errno() {
  return errno != 0 ? errno : EIO;
}

}  // namespace

bool stat_path(const std::string& path, StatResult& out) {
  out = StatResult{};
  std::wstring w;
  if (!native_path(path, w)) {
    out.error = EINVAL;
    return false;
  }
  // "name/" names a folder: a file there is not found, as elsewhere.
  const size_t bare = without_trailing_separators(w);
  const bool wants_folder = bare < w.size();
  w.resize(bare);
  if (has_overlong_name(w)) {
    out.error = ENAMETOOLONG;
    return false;
  }
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(w.c_str(), GetFileExInfoStandard, &data)) {
    const DWORD error = GetLastError();
    if (is_not_found(error)) return true;
    out.error = errno_of(error);
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
      const DWORD error = GetLastError();
      if (is_not_found(error)) {
        out.dangling = true;
        return true;
      }
      out.error = errno_of(error);
      return false;
    }
    BY_HANDLE_FILE_INFORMATION info;
    BOOL ok = GetFileInformationByHandle(h, &info);
    const DWORD error = GetLastError();
    CloseHandle(h);
    if (!ok) {
      out.error = errno_of(error);
      return false;
    }
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

std::string error_text(int code) {
  // The texts of the other systems' C library, so that a message reads the
  // same everywhere; the run-time's own for the rest.
  switch (code) {
    case EPERM:
      return "Operation not permitted";
    case ENOENT:
      return "No such file or directory";
    case EIO:
      return "Input/output error";
    case EBADF:
      return "Bad file descriptor";
    case ENOMEM:
      return "Cannot allocate memory";
    case EACCES:
      return "Permission denied";
    case EBUSY:
      return "Device or resource busy";
    case EEXIST:
      return "File exists";
    case EXDEV:
      return "Invalid cross-device link";
    case ENOTDIR:
      return "Not a directory";
    case EISDIR:
      return "Is a directory";
    case EINVAL:
      return "Invalid argument";
    case EMFILE:
      return "Too many open files";
    case EFBIG:
      return "File too large";
    case ENOSPC:
      return "No space left on device";
    case EROFS:
      return "Read-only file system";
    case ENAMETOOLONG:
      return "File name too long";
    case ENOSYS:
      return "Function not implemented";
    case ENOTEMPTY:
      return "Directory not empty";
    case ELOOP:
      return "Too many levels of symbolic links";
    default: {
      const char* text = std::strerror(code);
      return text != nullptr ? text : "unknown error";
    }
  }
}

bool list_folder(const std::string& path, std::vector<std::string>& names) {
  QUILLON_FAULT_POINT(fault::kOpen, path);
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
  QUILLON_FAULT_POINT(fault::kMakeFolder, path);
  std::wstring w;
  return native_path(path, w) && CreateDirectoryW(w.c_str(), nullptr);
}

bool remove_file(const std::string& path) {
  QUILLON_FAULT_POINT(fault::kRemoveFile, path);
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
  QUILLON_FAULT_POINT(mode == kRead ? fault::kOpen : fault::kCreate, path);
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
  QUILLON_FAULT_POINT(fault::kFlush, handle_);
  if (handle_ != nullptr) std::fclose(static_cast<FILE*>(handle_));
}

namespace {

HANDLE os_handle(void* stream) {
  return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(static_cast<FILE*>(stream))));
}

// Forgets what the stream holds for writing, as if it had never been
// written. The run-time has no call for it; its stream is plain data.
void drop_buffered(FILE* f) {
#ifdef _UCRT
#error "drop_buffered needs the msvcrt stream layout"
#else
  if (f->_base != nullptr && (f->_flag & _IOWRT)) {
    f->_ptr = f->_base;
    f->_cnt = 0;
  }
#endif
}

}  // namespace

size_t File::read(void* buffer, size_t n) {
  QUILLON_FAULT_POINT(fault::kRead, handle_);
  return std::fread(buffer, 1, n, static_cast<FILE*>(handle_));
}

size_t File::write(const void* buffer, size_t n) {
  QUILLON_FAULT_POINT(fault::kWrite, handle_);
  errno = 0;
  size_t put = std::fwrite(buffer, 1, n, static_cast<FILE*>(handle_));
  if (put < n) error_ = stream_errno();
  return put;
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

void File::unbuffered() {
  std::setvbuf(static_cast<FILE*>(handle_), nullptr, _IONBF, 0);
}

bool File::flush() {
  QUILLON_FAULT_POINT(fault::kFlush, handle_);
  errno = 0;
  if (std::fflush(static_cast<FILE*>(handle_)) == 0) return true;
  error_ = stream_errno();
  return false;
}

bool File::sync() {
  QUILLON_FAULT_POINT(fault::kSyncFile, handle_);
  // The run-time's buffer to the system, then the system's cache to the disk.
  if (!flush()) return false;
  if (!FlushFileBuffers(os_handle(handle_))) {
    error_ = last_errno();
    return false;
  }
  return true;
}

bool File::truncate(int64_t size) {
  QUILLON_FAULT_POINT(fault::kTruncate, handle_);
  FILE* f = static_cast<FILE*>(handle_);
  drop_buffered(f);
  errno = 0;
  if (_fseeki64(f, size, SEEK_SET) != 0) {
    error_ = stream_errno();
    return false;
  }
  // The position is size now: the end of the file goes there.
  if (!SetEndOfFile(os_handle(handle_))) {
    error_ = last_errno();
    return false;
  }
  return true;
}

int64_t File::size() {
  LARGE_INTEGER n;
  if (!GetFileSizeEx(os_handle(handle_), &n)) {
    error_ = last_errno();
    return -1;
  }
  return static_cast<int64_t>(n.QuadPart);
}

namespace {

FileId id_of(const BY_HANDLE_FILE_INFORMATION& info) {
  return FileId{info.dwVolumeSerialNumber,
                (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

}  // namespace

bool File::id(FileId& out) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(os_handle(handle_), &info)) {
    error_ = last_errno();
    return false;
  }
  out = id_of(info);
  return true;
}

void File::abandon() {
  if (handle_ == nullptr) return;
  drop_buffered(static_cast<FILE*>(handle_));
  std::fclose(static_cast<FILE*>(handle_));
  handle_ = nullptr;
}

int File::close() {
  QUILLON_FAULT_POINT(fault::kFlush, handle_);
  if (handle_ == nullptr) return 0;
  // fclose releases the stream even when it reports an error; flush first
  // so that a failure leaves the file open.
  if (!flush()) return error_;
  errno = 0;
  int rc = std::fclose(static_cast<FILE*>(handle_));
  handle_ = nullptr;
  if (rc != 0) error_ = stream_errno();
  return rc == 0 ? 0 : error_;
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

int64_t utc_now() {
  struct __timeb64 now;
  _ftime64_s(&now);
  return static_cast<int64_t>(now.time);
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

// utc_seconds and utc_civil are the shared calendar arithmetic
// (platform/calendar.cpp): the C run-time's UTC conversions stop at 1970 and
// 3000.
int64_t local_seconds(int year, int month, int day, int hour, int minute, int second) {
  // Standard time: the zone's bias without daylight saving (seconds west).
  const long bias = _timezone;
  return utc_seconds(year, month, day, hour, minute, second) + bias;
}

int64_t process_id() {
  return static_cast<int64_t>(GetCurrentProcessId());
}

int64_t thread_id() {
  return static_cast<int64_t>(GetCurrentThreadId());
}

int available_cores() {
  DWORD_PTR process = 0, system = 0;
  if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system) && process != 0) {
    int n = 0;
    for (; process != 0; process &= process - 1) ++n;
    return n;
  }
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwNumberOfProcessors > 0 ? static_cast<int>(info.dwNumberOfProcessors) : 1;
}

void* allocate_slab(bool large_pages) {
  // Large pages need a privilege users rarely have: plain pages.
  (void)large_pages;
  return VirtualAlloc(nullptr, kSlabBytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void free_slab(void* slab) {
  if (slab) VirtualFree(slab, 0, MEM_RELEASE);
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

bool stderr_is_terminal() {
  HANDLE h = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  // Only a console has a mode; a pipe or a file has none.
  return h != nullptr && h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode) != 0;
}

int stderr_columns() {
  HANDLE h = GetStdHandle(STD_ERROR_HANDLE);
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return 0;
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(h, &info)) return 0;
  // The visible window, not the buffer, which can be far wider.
  return info.srWindow.Right - info.srWindow.Left + 1;
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

// A folder held open: its handle, taken without delete sharing so that
// neither it nor a folder above it can be renamed or replaced while held,
// and its full path, through which its entries are reached.
namespace quillon::platform {

namespace {

struct HeldFolder {
  HANDLE handle;
  std::wstring path;  // "\\?\" form, without a trailing separator
};

HeldFolder& held(intptr_t handle) {
  return *reinterpret_cast<HeldFolder*>(handle);
}

const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The full path of an entry of the folder; false (EINVAL) for a name that
// is not a single entry: empty, "." or "..", with a separator, or with ":",
// which would name a stream of another file.
bool entry_path(const HeldFolder& folder, const std::string& name, std::wstring& out) {
  std::wstring w;
  if (name.empty() || name == "." || name == ".." ||
      name.find_first_of("/\\:") != std::string::npos || !to_wide(name, w)) {
    return false;
  }
  out = folder.path + L'\\' + w;
  return true;
}

// Whether what the handle names is a link: a reparse point that stands for
// another name (a symbolic link or a junction). Other reparse points, such
// as files kept in the cloud, are the entries themselves.
bool is_link(HANDLE h, const BY_HANDLE_FILE_INFORMATION& info) {
  if (!(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) return false;
  FILE_ATTRIBUTE_TAG_INFO tag;
  if (!GetFileInformationByHandleEx(h, FileAttributeTagInfo, &tag, sizeof tag)) return true;
  return IsReparseTagNameSurrogate(tag.ReparseTag);
}

// Opens the entry at path itself, never what a link names. Gives the
// handle and its information, or INVALID_HANDLE_VALUE with outcome set.
HANDLE open_entry(const std::wstring& path, DWORD access, DWORD share, DWORD disposition,
                  DWORD flags, BY_HANDLE_FILE_INFORMATION& info, Outcome& outcome) {
  HANDLE h = CreateFileW(path.c_str(), access, share, nullptr, disposition,
                         flags | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    outcome.kind = Outcome::kFailed;
    outcome.error = last_errno();
    return h;
  }
  if (!GetFileInformationByHandle(h, &info)) {
    outcome.kind = Outcome::kFailed;
    outcome.error = last_errno();
    CloseHandle(h);
    return INVALID_HANDLE_VALUE;
  }
  if (is_link(h, info)) {
    outcome.kind = Outcome::kLink;
    outcome.error = ELOOP;
    CloseHandle(h);
    return INVALID_HANDLE_VALUE;
  }
  return h;
}

// The "\\?\" form of a full path, which lifts the length limit and takes
// every name literally.
bool full_native_path(const std::string& path, std::wstring& out) {
  std::wstring w;
  if (!to_wide(path, w)) return false;
  DWORD need = GetFullPathNameW(w.c_str(), 0, nullptr, nullptr);
  if (need == 0) return false;
  std::wstring full(need, L'\0');
  DWORD got = GetFullPathNameW(w.c_str(), need, full.data(), nullptr);
  if (got == 0 || got >= need) return false;
  full.resize(without_trailing_separators(full.substr(0, got)));
  if (full.size() >= 4 && full.compare(0, 4, L"\\\\?\\") == 0) {
    out = full;
  } else if (full.size() >= 2 && full[0] == L'\\' && full[1] == L'\\') {
    out = L"\\\\?\\UNC\\" + full.substr(2);
  } else {
    out = L"\\\\?\\" + full;
  }
  // A drive's root keeps its separator; other folders have none.
  if (out.back() == L':') out += L'\\';
  return true;
}

}  // namespace

Folder* Folder::open(const std::string& path, int& error) {
  QUILLON_FAULT_POINT(fault::kOpen, path);
  std::wstring w;
  if (!full_native_path(path, w)) {
    error = EINVAL;
    return nullptr;
  }
  // The caller named this folder: a link to it is followed.
  HANDLE h = CreateFileW(w.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    error = last_errno();
    return nullptr;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(h, &info) ||
      !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    error = ENOTDIR;
    CloseHandle(h);
    return nullptr;
  }
  if (w.back() == L'\\') w.pop_back();  // a drive's root: entries add their own
  return new Folder(reinterpret_cast<intptr_t>(new HeldFolder{h, std::move(w)}));
}

Folder::~Folder() {
  HeldFolder* folder = &held(handle_);
  CloseHandle(folder->handle);
  delete folder;
}

Folder* Folder::open_folder(const std::string& name, bool create, Outcome& outcome) {
  QUILLON_FAULT_POINT(create ? fault::kMakeFolder : fault::kOpenFolder, handle_, name);
  outcome = Outcome{};
  std::wstring path;
  // "." opens the folder itself again, as it does on POSIX (never made:
  // it is there).
  if (name == "." && !create) {
    path = held(handle_).path;
  } else if (!entry_path(held(handle_), name, path)) {
    outcome = Outcome{Outcome::kFailed, EINVAL};
    return nullptr;
  }
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
  const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS;
  BY_HANDLE_FILE_INFORMATION info;
  HANDLE h = open_entry(path, FILE_READ_ATTRIBUTES, share, OPEN_EXISTING, flags, info, outcome);
  if (h == INVALID_HANDLE_VALUE && outcome.kind == Outcome::kFailed && outcome.error == ENOENT &&
      create) {
    if (CreateDirectoryW(path.c_str(), nullptr)) {
      outcome = Outcome{Outcome::kCreated, 0};
    } else if (GetLastError() == ERROR_ALREADY_EXISTS) {  // made meanwhile by someone else
      outcome = Outcome{};
    } else {
      outcome = Outcome{Outcome::kFailed, last_errno()};
      return nullptr;
    }
    const Outcome made = outcome;
    h = open_entry(path, FILE_READ_ATTRIBUTES, share, OPEN_EXISTING, flags, info, outcome);
    if (h != INVALID_HANDLE_VALUE) outcome = made;
  }
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    CloseHandle(h);
    outcome = Outcome{Outcome::kFailed, ENOTDIR};
    return nullptr;
  }
  return new Folder(reinterpret_cast<intptr_t>(new HeldFolder{h, std::move(path)}));
}

File* Folder::open_file(const std::string& name, bool append, Outcome& outcome) {
  QUILLON_FAULT_POINT(fault::kCreate, handle_, name);
  outcome = Outcome{};
  std::wstring path;
  if (!entry_path(held(handle_), name, path)) {
    outcome = Outcome{Outcome::kFailed, EINVAL};
    return nullptr;
  }
  // Opened without emptying it, checked, and only then emptied: what is
  // checked is what is written.
  BY_HANDLE_FILE_INFORMATION info;
  HANDLE h = open_entry(path, GENERIC_WRITE | FILE_READ_ATTRIBUTES, kShareAll,
                        append ? OPEN_EXISTING : OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, info, outcome);
  if (h == INVALID_HANDLE_VALUE) {
    // A folder there refuses write access.
    if (outcome.error == EACCES) {
      WIN32_FILE_ATTRIBUTE_DATA data;
      if (GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) &&
          (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
          !(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        outcome.error = EISDIR;
      }
    }
    return nullptr;
  }
  // Only a file on a disk is written: a device is not an output.
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || GetFileType(h) != FILE_TYPE_DISK) {
    CloseHandle(h);
    outcome = Outcome{Outcome::kFailed,
                      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? EISDIR : EINVAL};
    return nullptr;
  }
  if (!append && !SetEndOfFile(h)) {
    outcome = Outcome{Outcome::kFailed, last_errno()};
    CloseHandle(h);
    return nullptr;
  }
  std::FILE* f = stream_from_handle(h, append ? File::kAppend : File::kWrite);
  if (f == nullptr) {
    outcome = Outcome{Outcome::kFailed, stream_errno()};
    return nullptr;
  }
  if (!append) outcome.kind = Outcome::kCreated;
  return new File(f);
}

File* Folder::create_file(const std::string& name, const std::string& aside, Outcome& outcome) {
  QUILLON_FAULT_POINT(fault::kCreate, handle_, name);
  outcome = Outcome{};
  std::wstring path;
  if (!entry_path(held(handle_), name, path)) {
    outcome = Outcome{Outcome::kFailed, EINVAL};
    return nullptr;
  }
  // Exclusive: an entry of that name, a link included, is never opened.
  auto create = [&path] {
    return CreateFileW(path.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                       CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  };
  auto put_back = [&] {
    int ignored = 0;
    rename_entry(aside, name, ignored);
  };
  bool replaced = false;
  HANDLE h = create();
  const DWORD created_error = h == INVALID_HANDLE_VALUE ? GetLastError() : 0;
  if (created_error == ERROR_FILE_EXISTS || created_error == ERROR_ALREADY_EXISTS) {
    BY_HANDLE_FILE_INFORMATION info;
    Outcome seen;
    HANDLE e = open_entry(path, FILE_READ_ATTRIBUTES, kShareAll, OPEN_EXISTING,
                          FILE_FLAG_BACKUP_SEMANTICS, info, seen);
    if (e == INVALID_HANDLE_VALUE) {
      outcome = seen;  // a link gives kLink
      return nullptr;
    }
    const bool folder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const bool disk = GetFileType(e) == FILE_TYPE_DISK;
    CloseHandle(e);
    if (folder || !disk) {
      outcome = Outcome{Outcome::kFailed, folder ? EISDIR : EINVAL};
      return nullptr;
    }
    int error = 0;
    if (!rename_entry(name, aside, error)) {
      outcome = Outcome{Outcome::kFailed, error};
      return nullptr;
    }
    replaced = true;
    h = create();
  } else if (h == INVALID_HANDLE_VALUE) {
    SetLastError(created_error);
  }
  if (h == INVALID_HANDLE_VALUE) {
    outcome = Outcome{Outcome::kFailed, last_errno()};
    if (replaced) put_back();
    return nullptr;
  }
  std::FILE* f = stream_from_handle(h, File::kWrite);
  if (f == nullptr) {
    outcome = Outcome{Outcome::kFailed, stream_errno()};
    DeleteFileW(path.c_str());
    if (replaced) put_back();
    return nullptr;
  }
  outcome.kind = replaced ? Outcome::kReplaced : Outcome::kCreated;
  return new File(f);
}

bool Folder::rename_entry(const std::string& from, const std::string& to, int& error) {
  QUILLON_FAULT_POINT(fault::kRename, handle_, from);
  std::wstring a, b;
  if (!entry_path(held(handle_), from, a) || !entry_path(held(handle_), to, b)) {
    error = EINVAL;
    return false;
  }
  // A link is renamed itself, never what it names.
  if (MoveFileExW(a.c_str(), b.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
  error = last_errno();
  return false;
}

bool Folder::entry_id(const std::string& name, FileId& out) {
  std::wstring path;
  if (!entry_path(held(handle_), name, path)) return false;
  HANDLE h = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  const bool ok = GetFileInformationByHandle(h, &info);
  CloseHandle(h);
  if (ok) out = id_of(info);
  return ok;
}

namespace {

// Removes the entry name of the held folder with remove (DeleteFileW or
// RemoveDirectoryW).
bool remove_entry(const HeldFolder& folder, const std::string& name, BOOL(WINAPI* remove)(LPCWSTR),
                  int& error) {
  std::wstring path;
  if (!entry_path(folder, name, path)) {
    error = EINVAL;
    return false;
  }
  if (remove(path.c_str())) return true;
  error = last_errno();
  return false;
}

}  // namespace

bool Folder::remove_file(const std::string& name, int& error) {
  QUILLON_FAULT_POINT(fault::kRemoveFile, handle_, name);
  // A link is removed itself, never what it names.
  return remove_entry(held(handle_), name, DeleteFileW, error);
}

bool Folder::remove_folder(const std::string& name, int& error) {
  QUILLON_FAULT_POINT(fault::kRemoveFolder, handle_, name);
  return remove_entry(held(handle_), name, RemoveDirectoryW, error);
}

bool Folder::sync(int& error) {
  QUILLON_FAULT_POINT(fault::kSyncFolder, handle_);
  // A folder's entries reach the disk through a handle to the folder that
  // may write; the held one only reads attributes.
  HANDLE h = CreateFileW(held(handle_).path.c_str(), GENERIC_WRITE, kShareAll, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    error = last_errno();
    return false;
  }
  const bool ok = FlushFileBuffers(h);
  if (!ok) error = last_errno();
  CloseHandle(h);
  return ok;
}

namespace {

// The first console event, as the signal that stands for it; 0 while none came.
volatile LONG g_interrupt = 0;

int signal_of(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
      return SIGINT;
    case CTRL_BREAK_EVENT:
      return SIGBREAK;
    default:  // the console closed, log-off, shut-down
      return SIGTERM;
  }
}

BOOL WINAPI on_console_event(DWORD event) {
  if (InterlockedCompareExchange(&g_interrupt, signal_of(event), 0) != 0) {
    // The second one: end now, the way an interrupt ends a console program.
    TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
  }
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) return TRUE;
  // The other events end the process as soon as this returns: wait for the
  // run to undo its file and end the process itself, for as long as the
  // system grants.
  Sleep(INFINITE);
  return TRUE;
}

}  // namespace

void catch_interrupts() {
  // Ctrl+C stays ignored when the parent started us ignoring it; the system
  // then does not call the handler for it.
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

int interrupt_signal() {
  return static_cast<int>(InterlockedCompareExchange(&g_interrupt, 0, 0));
}

void reraise_interrupt(int) {
  // The status a console program ended by Ctrl+C or a closed console has.
  std::fflush(nullptr);
  ExitProcess(STATUS_CONTROL_C_EXIT);
}

}  // namespace quillon::platform

// The output journal's services (platform.h, at its end).
namespace quillon::platform {

namespace {

int64_t file_time_ns(const FILETIME& t) {
  return static_cast<int64_t>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime) *
         100;
}

}  // namespace

bool file_stamp(const std::string& path, FileStamp& out) {
  std::wstring w;
  if (!native_path(path, w)) return false;
  HANDLE h = CreateFileW(w.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  const bool ok = GetFileInformationByHandle(h, &info) &&
                  (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  CloseHandle(h);
  if (!ok) return false;
  out.id = id_of(info);
  out.size =
      static_cast<int64_t>((static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
  out.modified_ns = file_time_ns(info.ftLastWriteTime);
  return true;
}

LockResult lock_file(const std::string& path, intptr_t& handle, FileId& id, int& error) {
  QUILLON_FAULT_POINT(fault::kCreate, path);
  std::wstring w;
  if (!native_path(path, w)) {
    error = EINVAL;
    return LockResult::kFailed;
  }
  HANDLE h = CreateFileW(w.c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    // Being deleted by the run that held it: in use until it is gone.
    if (GetLastError() == ERROR_ACCESS_DENIED) return LockResult::kBusy;
    error = last_errno();
    return LockResult::kFailed;
  }
  OVERLAPPED at = {};
  if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
    const DWORD code = GetLastError();
    error = errno_of(code);
    CloseHandle(h);
    return code == ERROR_LOCK_VIOLATION ? LockResult::kBusy : LockResult::kFailed;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(h, &info)) {
    error = last_errno();
    CloseHandle(h);
    return LockResult::kFailed;
  }
  id = id_of(info);
  handle = reinterpret_cast<intptr_t>(h);
  return LockResult::kLocked;
}

void unlock_file(intptr_t handle) {
  // Closing the handle drops the lock.
  CloseHandle(reinterpret_cast<HANDLE>(handle));
}

}  // namespace quillon::platform
