// The conversion loop: walks the input paths, picks the log files by their
// ".txt" extension (any case), reads each through the log reader and drives
// the first frame sink: on_file_start, on_frame per frame, on_file_end.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "input/folder.h"
#include "input/frame.h"
#include "input/progress.h"
#include "input/sink.h"
#include "input/stream.h"

namespace quillon {

class LogReader;

struct ConversionOptions {
  bool delete_converted = false;
  bool no_append_root = false;  // folder inputs keep their name in the output path
  // Bytes of the sliding window each file is read through: memory stays
  // flat whatever the size of the logs.
  static constexpr int64_t kDefaultBuffer = 1 << 20;
  int64_t buffer_size = kDefaultBuffer;  // -1: each file read whole; 0: no buffer
};

// Results, combined with bitwise OR into the run's exit status.
constexpr int kResultOk = 0;
constexpr int kResultMissing = 1;    // an input path does not exist
constexpr int kResultFailed = 8;     // a log file's conversion failed
constexpr int kResultInvalid = 129;  // neither file nor folder, or not queryable

class ConversionLoop {
 public:
  // Null when a folder or the sink is missing or memory is short. Nothing is
  // owned: the folders and the sink must outlive the loop.
  static std::unique_ptr<ConversionLoop> create(const RootedFolder* input_folder,
                                                const RootedFolder* output_folder,
                                                const ConversionOptions& options,
                                                FrameSink* first_sink);
  virtual ~ConversionLoop() = default;

  // Walks every path (relative to the input folder's root) in order; gives
  // the bitwise OR of their results. An input path that cannot be queried
  // ends the run at once with 129.
  int run(const std::vector<std::string>& input_paths);

  uint64_t files() const { return files_; }    // log files found
  uint64_t frames() const { return frames_; }  // frame records read
  uint64_t bytes() const { return bytes_; }    // sum of the log files' sizes

  const RootedFolder* output_folder() const { return output_folder_; }

  // Where the run reports its progress; null (the default) for nowhere.
  void set_progress(ProgressListener* listener) { progress_.set_listener(listener); }

 protected:
  ConversionLoop(const RootedFolder* input_folder, const RootedFolder* output_folder,
                 const ConversionOptions& options, FrameSink* first_sink)
      : input_folder_(input_folder),
        output_folder_(output_folder),
        options_(options),
        first_sink_(first_sink) {}

  // Opens a log file for reading; a seam for streams that fail on purpose.
  virtual std::unique_ptr<ByteStream> open_input(const std::string& relative);

 private:
  int walk(const std::string& input, const std::string& output);
  int convert(const std::string& input, const std::string& output);
  std::unique_ptr<ByteStream> open_window(const std::string& input, int64_t& size_read);
  bool read_header(const LogReader& reader, const std::string& input, const std::string& output,
                   FileRecord& file) const;
  bool repeats_previous(const FileRecord& file, bool& continuation);
  bool feed_frames(LogReader& reader, ByteStream& stream, int64_t size_read,
                   const std::string& input);
  void delete_input(const std::string& input, int64_t size_read);

  const RootedFolder* input_folder_;
  const RootedFolder* output_folder_;
  uint64_t bytes_ = 0;
  uint64_t frames_ = 0;
  uint64_t files_ = 0;
  ConversionOptions options_;
  FrameSink* first_sink_;
  FileRecord previous_;  // the last file whose header was accepted
  Frame frame_;          // one record for every line of every file
  ProgressReporter progress_;
};

}  // namespace quillon
