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
  int64_t size = 0;       // bytes, files only
  int32_t error = 0;      // the system's error code when the query failed
  bool dangling = false;  // kNotFound because the path is a link to nothing
};

// Gives false only for an error other than the path not existing (which
// gives true with kind kNotFound); out.error then holds the reason.
bool stat_path(const std::string& path, StatResult& out);

// The system's text for an error code, e.g. "No space left on device".
std::string error_text(int code);

// Entry names of a folder, without "." and "..", in no particular order.
// False when the folder cannot be listed.
bool list_folder(const std::string& path, std::vector<std::string>& names);

bool make_folder(const std::string& path);
bool remove_file(const std::string& path);

// The current folder, at most 2048 bytes; false when it cannot be read.
bool current_folder(std::string& out);

// What identifies a file on its volume: equal ids are the same file.
struct FileId {
  uint64_t volume = 0, index = 0;
  bool operator==(const FileId&) const = default;
};

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
  // Writes go to the system at once, unbuffered, for a caller that gathers
  // its own. Only before the first read or write.
  void unbuffered();
  // Flushes and makes the content durable on the device.
  bool sync();
  // Drops buffered data not written yet, cuts the file to size bytes and
  // moves to its end.
  bool truncate(int64_t size);
  // The size on the device (buffered data not counted), or -1.
  int64_t size();
  bool id(FileId& out);
  // 0 on success, else an error code; on failure the file stays open.
  int close();
  // Closes without writing what is still buffered; errors are ignored.
  void abandon();
  // The error code of the last failed operation, 0 when none failed.
  int error() const { return error_; }

 private:
  friend class Folder;
  explicit File(void* handle) : handle_(handle) {}
  void* handle_;
  int error_ = 0;
};

// A folder held open, for work on its entries that never follows a link:
// the entry itself is looked at, not what a link names. Outcomes of the
// operations that open or make an entry:
struct Outcome {
  enum Kind { kOpened, kCreated, kReplaced, kLink, kFailed } kind = kOpened;
  int error = 0;  // the system's code for kFailed
};

class Folder {
 public:
  // The folder at path, which may itself be reached through links (the
  // caller named it). Null on failure, with the reason in error.
  static Folder* open(const std::string& path, int& error);
  ~Folder();
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;

  // The sub-folder name ("." without create: this folder again); with
  // create set it is made first when absent (kCreated). Null unless
  // kOpened or kCreated.
  Folder* open_folder(const std::string& name, bool create, Outcome& outcome);
  // The file name for writing: created or emptied (kCreated), or with
  // append set opened at its end, never created (kOpened). Null unless
  // kOpened or kCreated.
  File* open_file(const std::string& name, bool append, Outcome& outcome);
  // The file name made new for writing: created when absent (kCreated), or
  // when a regular file of that name is there, that file is first renamed
  // to aside (which it replaces) and a new one is created (kReplaced). A
  // file is never emptied in place: some file systems write an emptied
  // file out when it is closed, which costs a wait per file. A link or
  // another kind of entry is left as it is (kLink, kFailed). On failure
  // the entry is as it was. Null unless kCreated or kReplaced.
  File* create_file(const std::string& name, const std::string& aside, Outcome& outcome);
  // Renames the entry from to to within this folder, replacing an entry
  // to (not following links).
  bool rename_entry(const std::string& from, const std::string& to, int& error);
  // The id of the entry name itself; false when it is absent or cannot be
  // looked at.
  bool entry_id(const std::string& name, FileId& out);
  bool remove_file(const std::string& name, int& error);
  // Only an empty folder is removed.
  bool remove_folder(const std::string& name, int& error);
  // Makes the folder's entries durable on the device.
  bool sync(int& error);

 private:
  explicit Folder(intptr_t handle) : handle_(handle) {}
  intptr_t handle_;  // a descriptor here, the platform's own record elsewhere
};

// Interrupts (Ctrl+C, a termination request, a hang-up) set a flag instead
// of ending the process, so that the current work can be undone first; a
// second interrupt ends the process at once. Also makes a write beyond the
// process's file-size limit fail as a write error instead of ending it.
void catch_interrupts();
// The first interrupt caught (its signal number), 0 while none came.
int interrupt_signal();
// Restores the default action of the signal and raises it, so that the
// parent sees how the process ended. Returns only when that did not end it.
void reraise_interrupt(int signal);

// Milliseconds of a monotonic process clock.
int64_t clock_ms();
// Seconds since 1970 of the wall clock (UTC).
int64_t utc_now();

struct LocalClock {
  int month, day, hour, minute, second, millisecond;
};
LocalClock local_clock_now();

// Calendar date and time to seconds since 1970, read as UTC or as local time
// (standard time: the daylight-saving flag is cleared). The UTC pair is
// defined once for every system in calendar.cpp; local_seconds by each
// platform file.
int64_t utc_seconds(int year, int month, int day, int hour, int minute, int second);
int64_t local_seconds(int year, int month, int day, int hour, int minute, int second);

struct CivilTime {
  int year, month, day, hour, minute, second;
};
CivilTime utc_civil(int64_t seconds);

int64_t process_id();
int64_t thread_id();
// Processor cores this process may run on; at least 1.
int available_cores();

// A block of kSlabBytes for many small buffers used side by side. With
// large_pages, where the system allows, backed by large pages, so that
// touching thousands of them in turn does not keep missing the processor's
// address translations (at the price of memory taken at once rather than a
// page at a time). Null when memory is short. Given back with free_slab.
constexpr size_t kSlabBytes = size_t{2} << 20;
void* allocate_slab(bool large_pages);
void free_slab(void* slab);

// One unbuffered write to standard error; the result is ignored.
void stderr_write(const char* text, size_t n);

// True when standard error is a terminal (a console window on Windows),
// not a pipe or a file.
bool stderr_is_terminal();
// The width in columns of the terminal on standard error; 0 when it is no
// terminal or the width cannot be read. Asked anew each time: a window can
// be resized while the program runs.
int stderr_columns();

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

// What the output journal needs of the system beyond files and folders: the
// stamp of an input it may finish deleting, and a lock per output folder.
namespace quillon::platform {

// Tells a file from another that took its place at the same path: its id,
// size and last modification (nanoseconds since 1970).
struct FileStamp {
  FileId id;
  int64_t size = 0;
  int64_t modified_ns = 0;
  bool operator==(const FileStamp&) const = default;
};
// The stamp of the regular file at path (links followed); false when there
// is none or it cannot be looked at.
bool file_stamp(const std::string& path, FileStamp& out);

// An exclusive lock on a file, taken without waiting. The system drops it
// when the process ends, however it ends: a lock left by a killed process
// blocks nobody.
enum class LockResult { kLocked, kBusy, kFailed };
// Locks the regular file at path, made when missing and never reached
// through a link at its last component; handle and id (of the file locked)
// are set when kLocked, error when kFailed.
LockResult lock_file(const std::string& path, intptr_t& handle, FileId& id, int& error);
// Lets go of a lock lock_file took.
void unlock_file(intptr_t handle);

}  // namespace quillon::platform
