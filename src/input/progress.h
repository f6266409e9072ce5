// Progress of a conversion run as events, for whatever shows them: the
// conversion loop reports, a listener decides what to make of it (a status
// line on a terminal, or a machine-readable stream).
#pragma once

#include <cstdint>
#include <string>

#include "input/stream.h"

namespace quillon {

// Calls may come from several conversion threads at once, so a listener is
// thread-safe. Counts arrive in batches, never once per frame.
class ProgressListener {
 public:
  virtual ~ProgressListener() = default;
  // Once, before any log is read and before any conversion thread starts:
  // the log files below the inputs and the sum of their sizes.
  virtual void run_started(uint64_t files, uint64_t bytes) = 0;
  // A log is about to be read; path is relative to the input folder.
  virtual void file_started(const std::string& path, uint64_t size) = 0;
  // Bytes read and frames converted since the last report on the same file.
  virtual void advanced(uint64_t bytes, uint64_t frames) = 0;
  // The log is done with, converted or not; its bytes have all been
  // reported by then, read or not, so that the bytes add up to the total.
  virtual void file_finished(const std::string& path, bool converted) = 0;
  // Once, when the walk is over (also when it was interrupted or failed)
  // and every conversion thread has finished.
  virtual void run_finished() = 0;
};

// What one conversion thread reports: a listener's events, with frames
// counted here and passed on every kFramesPerReport frames. Without a
// listener every call does nothing.
class ProgressReporter {
 public:
  static constexpr uint32_t kFramesPerReport = 1024;

  void set_listener(ProgressListener* listener) { listener_ = listener; }
  ProgressListener* listener() const { return listener_; }

  // The log files the walk listed and the sum of their sizes.
  void run_started(uint64_t files, uint64_t bytes);
  void run_finished();
  void file_started(const std::string& path, int64_t size);
  // After each frame read from stream.
  void frame(ByteStream& stream) {
    if (listener_ != nullptr && ++pending_frames_ == kFramesPerReport) report(stream.tell());
  }
  void file_finished(const std::string& path, bool converted);

 private:
  void report(int64_t position);

  ProgressListener* listener_ = nullptr;
  uint32_t pending_frames_ = 0;
  int64_t size_ = 0;      // of the file being read
  int64_t reported_ = 0;  // its bytes reported so far
};

}  // namespace quillon
