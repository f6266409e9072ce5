// The fault points of the test build (see fault_points.h); empty in every
// other build.
#include "platform/fault_points.h"

#ifdef QUILLON_FAULT_POINTS

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>

#ifndef _WIN32
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace quillon::platform::fault {
namespace {

const char* const kNames[kKinds] = {"open",         "read",        "create",      "write",
                                    "flush",        "truncate",    "rename",      "sync_file",
                                    "sync_folder",  "make_folder", "open_folder", "remove_file",
                                    "remove_folder"};

// Read from the environment on the first call; the counts are written out
// when the process ends normally.
struct State {
  State() {
    const char* stop = std::getenv("QUILLON_FAULT_STOP");
    if (stop != nullptr) {
      const char* colon = std::strchr(stop, ':');
      std::string kind(stop, colon != nullptr ? static_cast<size_t>(colon - stop) : 0);
      stop_at = colon != nullptr ? std::strtoull(colon + 1, nullptr, 10) : 0;
      stop_any = kind == "any";
      for (int k = 0; k < kKinds; ++k) {
        if (kind == kNames[k]) stop_kind = k;
      }
    }
    const char* counts = std::getenv("QUILLON_FAULT_COUNTS");
    if (counts != nullptr) counts_path = counts;
    const char* trace = std::getenv("QUILLON_POWER_TRACE");
    if (trace != nullptr) open_trace(trace);
  }
  ~State() {
    if (counts_path.empty()) return;
    if (std::FILE* f = std::fopen(counts_path.c_str(), "w")) {
      for (int k = 0; k < kKinds; ++k) std::fprintf(f, "%s %llu\n", kNames[k], counts[k].load());
      std::fclose(f);
    }
  }
  void open_trace(const char* folder);

  std::atomic<unsigned long long> counts[kKinds] = {};
  std::atomic<unsigned long long> all{0};
  unsigned long long stop_at = 0;
  int stop_kind = -1;
  bool stop_any = false;
  std::string counts_path;
  // Recording: one call at a time (a call may hold a point inside another).
  std::recursive_mutex mutex;
  bool recording = false;
  std::string trace_folder;
  int trace = -1;
  unsigned blobs = 0;
  // Inode numbers come back after a removal: each file made is a new
  // generation of its number, so a folder's entry recorded before names
  // the file it named then.
  std::unordered_map<unsigned long long, unsigned> generation;
};

State& state() {
  static State s;
  return s;
}

[[noreturn]] void stop_now() {
  // As a kill: no buffer flushed, no destructor run.
  std::_Exit(137);
}

#ifndef _WIN32

void State::open_trace(const char* folder) {
  trace_folder = folder;
  trace =
      ::open((trace_folder + "/trace").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  recording = trace >= 0;
}

void put(State& s, const std::string& line) {
  if (::write(s.trace, line.data(), line.size()) != static_cast<ssize_t>(line.size())) stop_now();
}

unsigned long long identity(long dir, const std::string& name) {
  struct stat st;
  const char* entry = name.empty() ? "." : name.c_str();
  if (::fstatat(static_cast<int>(dir), entry, &st, AT_SYMLINK_NOFOLLOW) != 0) return 0;
  return static_cast<unsigned long long>(st.st_ino);
}

// "F inode generation blob": the file's whole content as of its sync.
void record_file_sync(State& s, void* stream) {
  const int fd = ::fileno(static_cast<std::FILE*>(stream));
  struct stat st;
  if (::fstat(fd, &st) != 0) return;
  const unsigned long long ino = static_cast<unsigned long long>(st.st_ino);
  const std::string blob = "b" + std::to_string(s.blobs++);
  const int in = ::open(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_RDONLY | O_CLOEXEC);
  const int out = ::open((s.trace_folder + "/" + blob).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
  char buffer[65536];
  ssize_t n = 0;
  while (in >= 0 && out >= 0 && (n = ::read(in, buffer, sizeof buffer)) > 0) {
    if (::write(out, buffer, static_cast<size_t>(n)) != n) stop_now();
  }
  if (in < 0 || out < 0 || n < 0) stop_now();
  ::close(in);
  ::close(out);
  put(s, "F " + std::to_string(ino) + " " + std::to_string(s.generation[ino]) + " " + blob + "\n");
}

// "D inode generation count", then "KIND inode generation name" per entry.
void record_folder_sync(State& s, long dir) {
  struct stat st;
  if (::fstat(static_cast<int>(dir), &st) != 0) return;
  const unsigned long long ino = static_cast<unsigned long long>(st.st_ino);
  DIR* listing = ::fdopendir(::openat(static_cast<int>(dir), ".", O_RDONLY | O_DIRECTORY));
  if (listing == nullptr) stop_now();
  std::string entries;
  int count = 0;
  while (struct dirent* e = ::readdir(listing)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    struct stat es;
    if (::fstatat(static_cast<int>(dir), e->d_name, &es, AT_SYMLINK_NOFOLLOW) != 0) continue;
    const char kind = S_ISREG(es.st_mode) ? 'f' : S_ISDIR(es.st_mode) ? 'd' : 'o';
    const unsigned long long e_ino = static_cast<unsigned long long>(es.st_ino);
    entries += std::string(1, kind) + " " + std::to_string(e_ino) + " " +
               std::to_string(s.generation[e_ino]) + " " + e->d_name + "\n";
    ++count;
  }
  ::closedir(listing);
  put(s, "D " + std::to_string(ino) + " " + std::to_string(s.generation[ino]) + " " +
             std::to_string(count) + "\n" + entries);
}

bool creates(Kind kind) {
  return kind == kCreate || kind == kMakeFolder || kind == kOpenFolder;
}

#else

void State::open_trace(const char*) {}

#endif

}  // namespace

Point::Point(Kind kind) : kind_(kind) {
  enter();
}

Point::Point(Kind kind, long dir) : kind_(kind), dir_(dir) {
  enter();
}

Point::Point(Kind kind, long dir, const std::string& name)
    : kind_(kind), dir_(dir), entry_(true), name_(name) {
  enter();
}

Point::Point(Kind kind, const std::string& path) : kind_(kind), entry_(true), name_(path) {
#ifndef _WIN32
  dir_ = AT_FDCWD;
#endif
  enter();
}

Point::Point(Kind kind, void* stream) : kind_(kind), stream_(stream) {
  enter();
}

void Point::enter() {
  State& s = state();
  const unsigned long long n = ++s.counts[kind_];
  const unsigned long long all = ++s.all;
  if (s.recording) {
    s.mutex.lock();
    locked_ = true;
  }
  if (s.stop_at != 0 && (s.stop_any ? all : s.stop_kind == kind_ ? n : 0) == s.stop_at) {
    stop_now();
  }
#ifndef _WIN32
  if (locked_ && entry_ && creates(kind_)) before_ = identity(dir_, name_);
#endif
}

Point::~Point() {
  if (!locked_) return;
  State& s = state();
#ifndef _WIN32
  if (entry_ && creates(kind_)) {
    const unsigned long long after = identity(dir_, name_);
    if (after != 0 && after != before_) {
      const unsigned gen = ++s.generation[after];
      put(s, "N " + std::to_string(after) + " " + std::to_string(gen) + "\n");
    }
  } else if (kind_ == kSyncFile && stream_ != nullptr) {
    record_file_sync(s, stream_);
  } else if (kind_ == kSyncFolder && !entry_) {
    record_folder_sync(s, dir_);
  }
#endif
  s.mutex.unlock();
}

}  // namespace quillon::platform::fault

#endif
