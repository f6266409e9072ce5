// Fault points for the crash tests. In the test build of the program
// (QUILLON_FAULT_POINTS defined) every platform call that touches a file or
// a folder passes one: it counts the calls by kind and, driven by the
// environment, stops the process hard at the n-th call of a kind (as a kill
// or a power cut would, before the call) or records what a power cut at any
// call would leave on the device. Elsewhere a fault point is nothing.
//
//   QUILLON_FAULT_STOP=KIND:N     stop at the N-th call of KIND ("any": of
//                                 every kind together); the process ends at
//                                 once with status 137, nothing flushed
//   QUILLON_FAULT_COUNTS=FILE     at a normal end, "KIND N" per kind
//   QUILLON_POWER_TRACE=FOLDER    record there every sync ("F inode gen blob":
//                                 the file's content in blob; "D inode gen n"
//                                 and n lines "f|d|o inode gen name": the
//                                 folder's entries) and every file or folder
//                                 made ("N inode gen": numbers come back, so
//                                 each one made is a new generation)
//                                 (not on Windows)
#pragma once

#include <string>

namespace quillon::platform::fault {

enum Kind : int {
  kOpen,        // a file or folder opened by path, for reading
  kRead,        // a read from a file
  kCreate,      // a file opened for writing: created, emptied or appended to
  kWrite,       // a write to a file
  kFlush,       // a file's buffer given to the system (flush, close)
  kTruncate,    // a file cut
  kRename,      // an entry renamed, an earlier file moved aside included
  kSyncFile,    // a file's content made durable
  kSyncFolder,  // a folder's entries made durable
  kMakeFolder,  // a folder made (or opened with create)
  kOpenFolder,  // a sub-folder opened
  kRemoveFile,  // a file removed
  kRemoveFolder,
  kKinds
};

#ifdef QUILLON_FAULT_POINTS

// One call: counts it and stops the process when it is the one asked for;
// while recording, holds every other thread's calls back until the call has
// returned, so what it records is what the call did.
class Point {
 public:
  explicit Point(Kind kind);
  // The folder with descriptor dir itself, or an entry name of it.
  Point(Kind kind, long dir);
  Point(Kind kind, long dir, const std::string& name);
  // A path as the system resolves it.
  Point(Kind kind, const std::string& path);
  // An open file (the platform file's stream).
  Point(Kind kind, void* stream);
  ~Point();
  Point(const Point&) = delete;
  Point& operator=(const Point&) = delete;

 private:
  void enter();
  Kind kind_;
  long dir_ = -1;
  bool entry_ = false;  // name_ is an entry of dir_ (or a path)
  std::string name_;
  void* stream_ = nullptr;
  bool locked_ = false;
  unsigned long long before_ = 0;  // the entry's identity before a creating call
};

#define QUILLON_FAULT_POINT(...) ::quillon::platform::fault::Point quillon_fault_point_(__VA_ARGS__)

#else

#define QUILLON_FAULT_POINT(...) static_cast<void>(0)

#endif

}  // namespace quillon::platform::fault
