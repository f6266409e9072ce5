// The operating-system services the converter needs, and nothing else.
// Every call into the system or its C run-time beyond standard C++ lives
// behind this header, so another platform supplies its own platform.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quillon::platform {

// Kinds of a path, as the rooted folder reports them.
enum PathKind : int32_t { kOther = 0, kFile = 1, kFolder = 2, kNotFound = 3 };

struct StatResult {
  int32_t kind = kNotFound;
  int64_t size = 0;  // bytes, files only
};

// Gives false only for an error other than the path not existing (which
// gives true with kind kNotFound).
bool stat_path(const std::string& path, StatResult& out);

// Entry names of a folder, without "." and "..", in no particular order.
// False when the folder cannot be listed.
bool list_folder(const std::string& path, std::vector<std::string>& names);

bool make_folder(const std::string& path);
bool remove_file(const std::string& path);

// The current folder, at most 2048 bytes; false when it cannot be read.
bool current_folder(std::string& out);

// A file opened in binary mode. Positions are 64-bit.
class File {
 public:
  // kAppend writes after the file's content, creating it when absent.
  enum Mode { kRead, kWrite, kAppend };
  // Null when the file cannot be opened.
  static File* open(const std::string& path, Mode mode);
  ~File();
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Bytes transferred; fewer than asked at the end or on error.
  size_t read(void* buffer, size_t n);
  size_t write(const void* buffer, size_t n);
  // True when a read failed for another reason than the end of the file.
  bool read_error() const;
  // Seeks to offset from origin 0 (start), 1 (current) or 2 (end); false on failure.
  bool seek(int64_t offset, int origin);
  // The position, or -1 on failure.
  int64_t tell();
  bool flush();
  // 0 on success, else an error code; on failure the file stays open.
  int close();

 private:
  explicit File(void* handle) : handle_(handle) {}
  void* handle_;
};

// Milliseconds of a monotonic process clock.
int64_t clock_ms();

struct LocalClock {
  int month, day, hour, minute, second, millisecond;
};
LocalClock local_clock_now();

// Calendar date and time to seconds since 1970, read as UTC or as local time
// (standard time: the daylight-saving flag is cleared).
int64_t utc_seconds(int year, int month, int day, int hour, int minute, int second);
int64_t local_seconds(int year, int month, int day, int hour, int minute, int second);

struct CivilTime {
  int year, month, day, hour, minute, second;
};
CivilTime utc_civil(int64_t seconds);

int64_t process_id();
int64_t thread_id();

// One unbuffered write to standard error; the result is ignored.
void stderr_write(const char* text, size_t n);

// Raises the number of simultaneously open files towards want; gives the
// limit now in force.
int64_t raise_open_file_limit(int64_t want);

// Null when the variable is not set.
const char* get_env(const char* name);
// Sets (or with a null value removes) a variable; a change of "TZ" takes
// effect for the local-time conversions at once. For tests and tools.
void set_env(const char* name, const char* value);

[[noreturn]] void exit_process(int status);
[[noreturn]] void abort_process();

}  // namespace quillon::platform

namespace quillon::platform {
// True where a path beginning with "/" is absolute (not drive-relative).
bool slash_is_absolute();
// Replaces main's arguments by their UTF-8 spelling where the system hands
// them over in another encoding; the storage lives until the process ends.
void utf8_arguments(int& argc, char**& argv);
}  // namespace quillon::platform
