// POSIX implementation of the platform services.
#include "platform/platform.h"

#include "platform/fault_points.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdio_ext.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace quillon::platform {

bool stat_path(const std::string& path, StatResult& out) {
  struct stat st;
  out = StatResult{};
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) {
      out.kind = kNotFound;
      struct stat link;
      out.dangling = ::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode);
      return true;
    }
    out.error = errno;
    return false;
  }
  if (S_ISREG(st.st_mode)) {
    out.kind = kFile;
    out.size = static_cast<int64_t>(st.st_size);
  } else if (S_ISDIR(st.st_mode)) {
    out.kind = kFolder;
  } else {
    out.kind = kOther;
  }
  return true;
}

std::string error_text(int code) {
  char buffer[256];
  // The GNU variant returns the text, which need not be in the buffer.
  const char* text = ::strerror_r(code, buffer, sizeof buffer);
  return text != nullptr ? text : "unknown error";
}

bool list_folder(const std::string& path, std::vector<std::string>& names) {
  QUILLON_FAULT_POINT(fault::kOpen, path);
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) return false;
  errno = 0;
  bool ok = true;
  while (true) {
    errno = 0;
    struct dirent* e = ::readdir(dir);
    if (e == nullptr) {
      ok = errno == 0;
      break;
    }
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    names.emplace_back(e->d_name);
  }
  ::closedir(dir);
  return ok;
}

bool make_folder(const std::string& path) {
  QUILLON_FAULT_POINT(fault::kMakeFolder, path);
  return ::mkdir(path.c_str(), 0777) == 0;
}

bool remove_file(const std::string& path) {
  QUILLON_FAULT_POINT(fault::kRemoveFile, path);
  return ::unlink(path.c_str()) == 0;
}

bool current_folder(std::string& out) {
  char buffer[2048];
  if (::getcwd(buffer, sizeof buffer) == nullptr) return false;
  out.assign(buffer);
  return true;
}

File* File::open(const std::string& path, Mode mode) {
  QUILLON_FAULT_POINT(mode == kRead ? fault::kOpen : fault::kCreate, path);
  FILE* f = std::fopen(path.c_str(), mode == kRead ? "rb" : mode == kAppend ? "ab" : "wb");
  if (f == nullptr) return nullptr;
  return new File(f);
}

File::~File() {
  QUILLON_FAULT_POINT(fault::kFlush, handle_);
  if (handle_ != nullptr) std::fclose(static_cast<FILE*>(handle_));
}

size_t File::read(void* buffer, size_t n) {
  QUILLON_FAULT_POINT(fault::kRead, handle_);
  return std::fread(buffer, 1, n, static_cast<FILE*>(handle_));
}

size_t File::write(const void* buffer, size_t n) {
  QUILLON_FAULT_POINT(fault::kWrite, handle_);
  size_t put = std::fwrite(buffer, 1, n, static_cast<FILE*>(handle_));
  if (put < n) error_ = errno != 0 ? errno : EIO;
  return put;
}

bool File::read_error() const {
  return std::ferror(static_cast<FILE*>(handle_)) != 0;
}

bool File::seek(int64_t offset, int origin) {
  int whence = origin == 0 ? SEEK_SET : origin == 1 ? SEEK_CUR : SEEK_END;
  return ::fseeko(static_cast<FILE*>(handle_), static_cast<off_t>(offset), whence) == 0;
}

int64_t File::tell() {
  return static_cast<int64_t>(::ftello(static_cast<FILE*>(handle_)));
}

void File::unbuffered() {
  std::setvbuf(static_cast<FILE*>(handle_), nullptr, _IONBF, 0);
}

bool File::flush() {
  QUILLON_FAULT_POINT(fault::kFlush, handle_);
  if (std::fflush(static_cast<FILE*>(handle_)) == 0) return true;
  error_ = errno != 0 ? errno : EIO;
  return false;
}

bool File::sync() {
  QUILLON_FAULT_POINT(fault::kSyncFile, handle_);
  FILE* f = static_cast<FILE*>(handle_);
  if (std::fflush(f) != 0 || ::fsync(::fileno(f)) != 0) {
    error_ = errno != 0 ? errno : EIO;
    return false;
  }
  return true;
}

bool File::truncate(int64_t size) {
  QUILLON_FAULT_POINT(fault::kTruncate, handle_);
  FILE* f = static_cast<FILE*>(handle_);
  ::__fpurge(f);
  if (::ftruncate(::fileno(f), static_cast<off_t>(size)) != 0 ||
      ::fseeko(f, static_cast<off_t>(size), SEEK_SET) != 0) {
    error_ = errno;
    return false;
  }
  return true;
}

int64_t File::size() {
  struct stat st;
  if (::fstat(::fileno(static_cast<FILE*>(handle_)), &st) != 0) {
    error_ = errno;
    return -1;
  }
  return static_cast<int64_t>(st.st_size);
}

bool File::id(FileId& out) {
  struct stat st;
  if (::fstat(::fileno(static_cast<FILE*>(handle_)), &st) != 0) {
    error_ = errno;
    return false;
  }
  out = FileId{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
  return true;
}

void File::abandon() {
  if (handle_ == nullptr) return;
  ::__fpurge(static_cast<FILE*>(handle_));
  std::fclose(static_cast<FILE*>(handle_));
  handle_ = nullptr;
}

int File::close() {
  QUILLON_FAULT_POINT(fault::kFlush, handle_);
  if (handle_ == nullptr) return 0;
  // fclose releases the stream even when it reports an error; keep the
  // "stays open" contract by flushing first and closing only when that worked.
  if (std::fflush(static_cast<FILE*>(handle_)) != 0) {
    error_ = errno != 0 ? errno : EIO;
    return error_;
  }
  int rc = std::fclose(static_cast<FILE*>(handle_));
  handle_ = nullptr;
  if (rc != 0) error_ = errno != 0 ? errno : EIO;
  return rc == 0 ? 0 : error_;
}

namespace {

int descriptor(intptr_t handle) {
  return static_cast<int>(handle);
}

// Which outcome a failed open below a folder had: a link where the entry
// should be, or another error.
void set_failure(int dir, const std::string& name, Outcome& outcome) {
  int code = errno;
  struct stat st;
  if ((code == ELOOP || code == ENOTDIR || code == EMLINK) &&
      ::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
    outcome.kind = Outcome::kLink;
    outcome.error = ELOOP;
    return;
  }
  outcome.kind = Outcome::kFailed;
  outcome.error = code != 0 ? code : EIO;
}

}  // namespace

Folder* Folder::open(const std::string& path, int& error) {
  QUILLON_FAULT_POINT(fault::kOpen, path);
  int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    error = errno;
    return nullptr;
  }
  return new Folder(fd);
}

Folder::~Folder() {
  ::close(descriptor(handle_));
}

Folder* Folder::open_folder(const std::string& name, bool create, Outcome& outcome) {
  QUILLON_FAULT_POINT(create ? fault::kMakeFolder : fault::kOpenFolder, handle_, name);
  outcome = Outcome{};
  const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  int fd = ::openat(descriptor(handle_), name.c_str(), flags);
  if (fd < 0 && errno == ENOENT && create) {
    if (::mkdirat(descriptor(handle_), name.c_str(), 0777) == 0) {
      outcome.kind = Outcome::kCreated;
    } else if (errno != EEXIST) {  // made meanwhile by someone else: fine
      set_failure(descriptor(handle_), name, outcome);
      return nullptr;
    }
    fd = ::openat(descriptor(handle_), name.c_str(), flags);
  }
  if (fd < 0) {
    set_failure(descriptor(handle_), name, outcome);
    return nullptr;
  }
  return new Folder(fd);
}

File* Folder::open_file(const std::string& name, bool append, Outcome& outcome) {
  QUILLON_FAULT_POINT(fault::kCreate, handle_, name);
  outcome = Outcome{};
  int flags = O_WRONLY | O_NOFOLLOW | O_CLOEXEC;
  flags |= append ? O_APPEND : O_CREAT | O_TRUNC;
  int fd = ::openat(descriptor(handle_), name.c_str(), flags, 0666);
  if (fd < 0) {
    set_failure(descriptor(handle_), name, outcome);
    return nullptr;
  }
  // Only a regular file is written: a fifo or a device is not an output.
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    outcome.kind = Outcome::kFailed;
    outcome.error = EINVAL;
    ::close(fd);
    return nullptr;
  }
  FILE* f = ::fdopen(fd, append ? "ab" : "wb");
  if (f == nullptr) {
    outcome.kind = Outcome::kFailed;
    outcome.error = errno;
    ::close(fd);
    return nullptr;
  }
  if (!append) outcome.kind = Outcome::kCreated;
  return new File(f);
}

File* Folder::create_file(const std::string& name, const std::string& aside, Outcome& outcome) {
  QUILLON_FAULT_POINT(fault::kCreate, handle_, name);
  outcome = Outcome{};
  const int dir = descriptor(handle_);
  // Exclusive: an entry of that name, a link included, is never opened.
  const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  bool replaced = false;
  int fd = ::openat(dir, name.c_str(), flags, 0666);
  if (fd < 0 && errno == EEXIST) {
    struct stat st;
    if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      outcome.kind = Outcome::kFailed;
      outcome.error = errno;
      return nullptr;
    }
    if (S_ISLNK(st.st_mode) || !S_ISREG(st.st_mode)) {
      outcome.kind = S_ISLNK(st.st_mode) ? Outcome::kLink : Outcome::kFailed;
      outcome.error = S_ISLNK(st.st_mode) ? ELOOP : S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
      return nullptr;
    }
    QUILLON_FAULT_POINT(fault::kRename, handle_, name);  // the move aside is a step of its own
    if (::renameat(dir, name.c_str(), dir, aside.c_str()) != 0) {
      outcome.kind = Outcome::kFailed;
      outcome.error = errno;
      return nullptr;
    }
    replaced = true;
    fd = ::openat(dir, name.c_str(), flags, 0666);
  }
  if (fd < 0) {
    set_failure(dir, name, outcome);
    if (replaced) ::renameat(dir, aside.c_str(), dir, name.c_str());
    return nullptr;
  }
  FILE* f = ::fdopen(fd, "wb");
  if (f == nullptr) {
    outcome.kind = Outcome::kFailed;
    outcome.error = errno;
    ::close(fd);
    ::unlinkat(dir, name.c_str(), 0);
    if (replaced) ::renameat(dir, aside.c_str(), dir, name.c_str());
    return nullptr;
  }
  outcome.kind = replaced ? Outcome::kReplaced : Outcome::kCreated;
  return new File(f);
}

bool Folder::rename_entry(const std::string& from, const std::string& to, int& error) {
  QUILLON_FAULT_POINT(fault::kRename, handle_, from);
  if (::renameat(descriptor(handle_), from.c_str(), descriptor(handle_), to.c_str()) == 0) {
    return true;
  }
  error = errno;
  return false;
}

bool Folder::entry_id(const std::string& name, FileId& out) {
  struct stat st;
  if (::fstatat(descriptor(handle_), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  out = FileId{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
  return true;
}

bool Folder::remove_file(const std::string& name, int& error) {
  QUILLON_FAULT_POINT(fault::kRemoveFile, handle_, name);
  if (::unlinkat(descriptor(handle_), name.c_str(), 0) == 0) return true;
  error = errno;
  return false;
}

bool Folder::remove_folder(const std::string& name, int& error) {
  QUILLON_FAULT_POINT(fault::kRemoveFolder, handle_, name);
  if (::unlinkat(descriptor(handle_), name.c_str(), AT_REMOVEDIR) == 0) return true;
  error = errno;
  return false;
}

bool Folder::sync(int& error) {
  QUILLON_FAULT_POINT(fault::kSyncFolder, handle_);
  if (::fsync(descriptor(handle_)) == 0) return true;
  error = errno;
  return false;
}

namespace {

// Read by every conversion thread; lock-free, so the handler may set it.
std::atomic<int> g_interrupt{0};
static_assert(std::atomic<int>::is_always_lock_free, "the interrupt flag is set in a handler");

extern "C" void on_interrupt(int signal) {
  if (g_interrupt.load(std::memory_order_relaxed) != 0) {
    // The second one: end now, the way the signal ends a process.
    ::signal(signal, SIG_DFL);
    ::raise(signal);
    return;
  }
  g_interrupt.store(signal, std::memory_order_relaxed);
}

}  // namespace

void catch_interrupts() {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = on_interrupt;
  sigemptyset(&action.sa_mask);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) {
    // One ignored when we started (nohup, a background job) stays ignored.
    struct sigaction old;
    if (::sigaction(s, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    ::sigaction(s, &action, nullptr);
  }
  ::signal(SIGXFSZ, SIG_IGN);
}

int interrupt_signal() {
  return g_interrupt.load(std::memory_order_relaxed);
}

void reraise_interrupt(int signal) {
  ::signal(signal, SIG_DFL);
  ::raise(signal);
}

int64_t clock_ms() {
  struct timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int64_t utc_now() {
  struct timespec ts;
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec);
}

namespace {

// The C library reads the time-zone rules on first use and again when "TZ"
// changes, under a lock of its own that sanitizers do not see; conversion
// threads take this one around every local-time call instead.
std::mutex g_time_zone_mutex;

}  // namespace

LocalClock local_clock_now() {
  struct timespec ts;
  ::clock_gettime(CLOCK_REALTIME, &ts);
  struct tm tm;
  time_t t = ts.tv_sec;
  {
    std::lock_guard<std::mutex> lock(g_time_zone_mutex);
    ::localtime_r(&t, &tm);
  }
  return LocalClock{tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                    tm.tm_min,     tm.tm_sec,  static_cast<int>(ts.tv_nsec / 1000000)};
}

static struct tm make_tm(int year, int month, int day, int hour, int minute, int second) {
  struct tm tm;
  std::memset(&tm, 0, sizeof tm);
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  // Daylight saving is never assumed: the loggers' header times are read as
  // standard local time.
  tm.tm_isdst = 0;
  return tm;
}

int64_t local_seconds(int year, int month, int day, int hour, int minute, int second) {
  struct tm tm = make_tm(year, month, day, hour, minute, second);
  std::lock_guard<std::mutex> lock(g_time_zone_mutex);
  return static_cast<int64_t>(::mktime(&tm));
}

int64_t process_id() {
  return static_cast<int64_t>(::getpid());
}

int64_t thread_id() {
  return static_cast<int64_t>(::syscall(SYS_gettid));
}

int available_cores() {
  // The cores of this process's affinity: a task set or a container's CPU
  // set narrows them.
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return CPU_COUNT(&set);
  long online = ::sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<int>(online) : 1;
}

void* allocate_slab(bool large_pages) {
  if (!large_pages) {
    void* mapped =
        ::mmap(nullptr, kSlabBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return mapped == MAP_FAILED ? nullptr : mapped;
  }
  // A large page needs an aligned block: twice the size is mapped and the
  // aligned part kept.
  const size_t span = 2 * kSlabBytes;
  void* mapped = ::mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) return nullptr;
  const uintptr_t start = reinterpret_cast<uintptr_t>(mapped);
  const uintptr_t aligned = (start + kSlabBytes - 1) & ~(uintptr_t{kSlabBytes} - 1);
  if (aligned > start) ::munmap(mapped, aligned - start);
  if (aligned + kSlabBytes < start + span) {
    ::munmap(reinterpret_cast<void*>(aligned + kSlabBytes), start + span - aligned - kSlabBytes);
  }
#if defined(MADV_HUGEPAGE)
  ::madvise(reinterpret_cast<void*>(aligned), kSlabBytes, MADV_HUGEPAGE);  // advice only
#endif
  return reinterpret_cast<void*>(aligned);
}

void free_slab(void* slab) {
  if (slab) ::munmap(slab, kSlabBytes);
}

void stderr_write(const char* text, size_t n) {
  while (n > 0) {
    ssize_t w = ::write(2, text, n);
    if (w <= 0) {
      if (w < 0 && errno == EINTR) continue;
      return;
    }
    text += w;
    n -= static_cast<size_t>(w);
  }
}

bool stderr_is_terminal() {
  return ::isatty(2) == 1;
}

int stderr_columns() {
  struct winsize size;
  if (::ioctl(2, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

int64_t raise_open_file_limit(int64_t want) {
  struct rlimit rl;
  if (::getrlimit(RLIMIT_NOFILE, &rl) != 0) return -1;
  if (rl.rlim_cur == RLIM_INFINITY || static_cast<int64_t>(rl.rlim_cur) >= want) {
    return rl.rlim_cur == RLIM_INFINITY ? want : static_cast<int64_t>(rl.rlim_cur);
  }
  rlim_t target = static_cast<rlim_t>(want);
  if (rl.rlim_max != RLIM_INFINITY && rl.rlim_max < target) target = rl.rlim_max;
  rl.rlim_cur = target;
  if (::setrlimit(RLIMIT_NOFILE, &rl) != 0) {
    if (::getrlimit(RLIMIT_NOFILE, &rl) != 0) return -1;
  }
  return static_cast<int64_t>(rl.rlim_cur);
}

const char* get_env(const char* name) {
  return std::getenv(name);
}

void set_env(const char* name, const char* value) {
  if (value == nullptr) {
    ::unsetenv(name);
  } else {
    ::setenv(name, value, 1);
  }
  if (std::strcmp(name, "TZ") == 0) {
    std::lock_guard<std::mutex> lock(g_time_zone_mutex);
    ::tzset();
  }
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
  return true;
}

void utf8_arguments(int&, char**&) {
  // The arguments are the bytes the caller gave; file names are bytes too.
}
}  // namespace quillon::platform

// The output journal's services (platform.h, at its end).
#include <sys/file.h>

namespace quillon::platform {

bool file_stamp(const std::string& path, FileStamp& out) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  out.id = FileId{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
  out.size = static_cast<int64_t>(st.st_size);
  out.modified_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  return true;
}

LockResult lock_file(const std::string& path, intptr_t& handle, FileId& id, int& error) {
  QUILLON_FAULT_POINT(fault::kCreate, path);
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) {
    error = errno;
    return LockResult::kFailed;
  }
  struct stat st;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    error = errno;
    ::close(fd);
    return error == EWOULDBLOCK ? LockResult::kBusy : LockResult::kFailed;
  }
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    error = errno != 0 ? errno : EINVAL;
    ::close(fd);
    return LockResult::kFailed;
  }
  id = FileId{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
  handle = fd;
  return LockResult::kLocked;
}

void unlock_file(intptr_t handle) {
  // Closing the descriptor drops the lock.
  ::close(static_cast<int>(handle));
}

}  // namespace quillon::platform
