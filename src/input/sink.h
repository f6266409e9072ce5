// The frame sink: the three operations every stage of the frame chain
// implements. Each stage holds a pointer to the next one (not owned) and
// forwards what it does not consume.
#pragma once

#include <cstdint>
#include <string>

#include "input/frame.h"
#include "platform/platform.h"

namespace quillon {

// What a sink learns of the log file being converted.
struct FileRecord {
  std::string input_path;   // relative to the input folder's root
  std::string output_path;  // relative to the output folder's root, no extension
  std::string logger_id;    // "LOGGERID" when the header gives none
  double start_time = 0;    // header time, read as local time
  uint32_t session = 0;
  uint32_t split = 0;
  // Set by the conversion loop for the sinks. durable: the log is deleted
  // after its conversion, so what it produced must reach the device first.
  // failed (read in on_file_end): the conversion failed (a sink, a read
  // error, an interrupt), so what it produced is to be undone.
  bool durable = false;
  bool failed = false;
  // With durable: the input's full path and stamp as it was read, which a
  // committed log's record names, so that a run killed before the delete
  // is finished by the next one only for this very file (stamped unset:
  // none could be taken).
  std::string input_full_path;
  platform::FileStamp input_stamp;
  bool stamped = false;
  // Noted by the sinks in on_file_end for the loop (the record is theirs
  // only then). open_transfers: transfers the log began are still open, so
  // a log that continues it would finish them. held (with durable): the
  // log's output stands but waits for the log that finishes them, and the
  // output journal deletes the input once that one stands (a kill before
  // rolls both back, and the next run converts both again).
  mutable bool open_transfers = false;
  mutable bool held = false;
};

// Contract: the conversion loop calls on_file_start once per file, then
// on_frame for each frame record while it returns true, then on_file_end in
// every case. The defaults return false, so a stage that forgets one fails
// loudly instead of passing data on silently. A frame may carry hints of
// the frames to come (Frame::hints): they travel with it to the last stage.
class FrameSink {
 public:
  virtual ~FrameSink() = default;
  // The record is lent for the call only. False stops the current file.
  virtual bool on_frame(Frame& frame) {
    (void)frame;
    return false;
  }
  // continuation: the file continues the previous one (same logger and
  // session, same or next split). False: the file's frames are not read.
  virtual bool on_file_start(const FileRecord& file, bool continuation) {
    (void)file;
    (void)continuation;
    return false;
  }
  // False: the file's conversion failed.
  virtual bool on_file_end(const FileRecord& file) {
    (void)file;
    return false;
  }
};

}  // namespace quillon
