#include "input/conversion_loop.h"

#include <new>
#include <type_traits>

#include "input/log_reader.h"
#include "platform/platform.h"
#include "support/log.h"
#include "support/text.h"

namespace quillon {

namespace {

using ssize_type = std::make_signed_t<size_t>;

int path_length(const std::string& path) {
  return static_cast<int>(path.size());
}

// Joins a folder path and an entry name with one "/".
std::string child(const std::string& folder, const std::string& name) {
  std::string path = folder;
  if (!path.empty() && path.back() != '/') path += '/';
  path += name;
  return path;
}

// The walk reads only the header of each log: a small window will do.
constexpr int64_t kHeaderWindow = 64 << 10;

// "logs" becomes "logs_out", "logs/" "logs_out/", "a/b/" "a_out/b/".
std::string append_out(const std::string& path) {
  std::string out = path;
  size_t slash = out.find('/');
  out.insert(slash == std::string::npos ? out.size() : slash, "_out");
  return out;
}

}  // namespace

std::unique_ptr<ConversionLoop> ConversionLoop::create(const RootedFolder* input_folder,
                                                       const RootedFolder* output_folder,
                                                       const ConversionOptions& options,
                                                       FrameSink* first_sink) {
  if (input_folder == nullptr || output_folder == nullptr || first_sink == nullptr) return nullptr;
  return std::unique_ptr<ConversionLoop>(
      new (std::nothrow) ConversionLoop(input_folder, output_folder, options, first_sink));
}

std::unique_ptr<ByteStream> ConversionLoop::open_input(const std::string& relative) {
  return input_folder_->open(relative, FileStream::kRead);
}

int ConversionLoop::run(const std::vector<std::string>& input_paths) {
  progress_.run_started(*input_folder_, input_paths);
  bool stopped = false;
  int status = walk_inputs(input_paths, stopped);
  progress_.run_finished();
  return status;
}

int ConversionLoop::plan(const std::vector<std::string>& input_paths, std::vector<PlannedLog>& logs,
                         bool& stopped) {
  planned_ = &logs;
  int status = walk_inputs(input_paths, stopped);
  planned_ = nullptr;
  return status;
}

int ConversionLoop::walk_inputs(const std::vector<std::string>& input_paths, bool& stopped) {
  stopped = false;
  int status = kResultOk;
  for (const std::string& input : input_paths) {
    if (platform::interrupt_signal() != 0) break;
    std::string output = input;
    if (!options_.no_append_root) {
      StatResult st;
      if (!input_folder_->stat(input, st)) {
        QLOG(LOG_FATAL, "Could not query %.*s for information", path_length(input), input.c_str());
        stopped = true;
        return kResultInvalid;
      }
      if (st.kind == kFolder) output = append_out(output);
    }
    status |= walk(input, output);
  }
  return status;
}

int ConversionLoop::walk(const std::string& input, const std::string& output) {
  StatResult st;
  if (!input_folder_->stat(input, st)) {
    // Not a success: the path was never looked at.
    QLOG(LOG_ERROR, "Error during stat of %.*s (%s)", path_length(input), input.c_str(),
         platform::error_text(st.error).c_str());
    return kResultInvalid;
  }
  switch (st.kind) {
    case kFolder: {
      FolderListing entries, unlisted;
      if (!input_folder_->list(input, entries, &unlisted)) {
        // An unreadable folder is not an empty one.
        QLOG(LOG_ERROR, "Could not list folder %.*s", path_length(input), input.c_str());
        return kResultInvalid;
      }
      int result = kResultOk;
      for (const auto& entry : unlisted) {
        const std::string path = child(input, entry.first);
        if (entry.second.dangling) {
          QLOG(LOG_WARN, "Skipping dangling symbolic link %.*s", path_length(path), path.c_str());
        } else {
          result |= walk(path, child(output, entry.first));  // reports why
        }
      }
      for (const auto& entry : entries) {
        if (platform::interrupt_signal() != 0) break;
        result |= walk(child(input, entry.first), child(output, entry.first));
      }
      return result;
    }
    case kNotFound:
      // An error, not a warning: the default verbosity must show why the run failed.
      QLOG(LOG_ERROR, "Could not find input file/folder %.*s", path_length(input), input.c_str());
      return kResultMissing;
    case kFile:
      break;
    default:
      return kResultInvalid;
  }

  size_t name_start = input.rfind('/');
  name_start = name_start == std::string::npos ? 0 : name_start + 1;
  size_t dot = input.rfind('.');
  if (dot == std::string::npos || dot < name_start) return kResultOk;
  if (text_to_lower(std::string_view(input).substr(dot + 1)) != "txt") return kResultOk;

  files_ += 1;
  bytes_ += static_cast<uint64_t>(st.size);
  const size_t extension = input.size() - dot;
  std::string stem = output;
  stem.resize(stem.size() >= extension ? stem.size() - extension : 0);
  int result;
  if (planned_ != nullptr) {
    result = plan_file(input, stem, st.size);
  } else {
    progress_.file_started(input, st.size);
    result = convert(input, stem);
    progress_.file_finished(input, result == kResultOk);
  }
  if (result != kResultOk) {
    QLOG(LOG_ERROR, "Error during conversion of %.*s", path_length(input), input.c_str());
  }
  return result;
}

int ConversionLoop::convert(const std::string& input, const std::string& output) {
  int64_t size_read = 0;
  std::unique_ptr<ByteStream> stream;
  std::unique_ptr<LogReader> reader;
  FileRecord file;
  if (!open_log(input, output, options_.buffer_size, stream, reader, size_read, file)) {
    return kResultFailed;
  }
  bool continuation = false;
  if (repeats_previous(file, continuation)) return kResultOk;
  return convert_file(file, continuation, reader, stream, size_read);
}

int ConversionLoop::plan_file(const std::string& input, const std::string& output, uint64_t size) {
  int64_t size_read = 0;
  std::unique_ptr<ByteStream> stream;
  std::unique_ptr<LogReader> reader;
  PlannedLog log;
  if (!open_log(input, output, kHeaderWindow, stream, reader, size_read, log.file)) {
    return kResultFailed;
  }
  if (repeats_previous(log.file, log.continuation)) return kResultOk;
  log.size = size;
  try {
    planned_->push_back(std::move(log));
  } catch (const std::bad_alloc&) {
    return kResultFailed;
  }
  return kResultOk;
}

int ConversionLoop::convert_planned(const PlannedLog& log) {
  const FileRecord& planned = log.file;
  int64_t size_read = 0;
  std::unique_ptr<ByteStream> stream;
  std::unique_ptr<LogReader> reader;
  FileRecord file;
  int result = kResultFailed;
  progress_.file_started(planned.input_path, static_cast<int64_t>(log.size));
  if (open_log(planned.input_path, planned.output_path, options_.buffer_size, stream, reader,
               size_read, file)) {
    if (file.logger_id == planned.logger_id && file.session == planned.session &&
        file.split == planned.split) {
      result = convert_file(file, log.continuation, reader, stream, size_read);
    } else {
      // Its place in the series was decided from the header as it was.
      QLOG(LOG_ERROR, "Input file changed during conversion: %.*s", path_length(planned.input_path),
           planned.input_path.c_str());
    }
  }
  progress_.file_finished(planned.input_path, result == kResultOk);
  if (result != kResultOk) {
    QLOG(LOG_ERROR, "Error during conversion of %.*s", path_length(planned.input_path),
         planned.input_path.c_str());
  }
  return result;
}

bool ConversionLoop::open_log(const std::string& input, const std::string& output, int64_t window,
                              std::unique_ptr<ByteStream>& stream,
                              std::unique_ptr<LogReader>& reader, int64_t& size_read,
                              FileRecord& file) {
  stream = open_window(input, window, size_read);
  if (!stream) return false;
  reader = LogReader::create(stream.get());
  if (!reader) {
    QLOG(LOG_ERROR, "Could not open log");
    return false;
  }
  return read_header(*reader, input, output, file);
}

int ConversionLoop::convert_file(FileRecord& file, bool continuation,
                                 std::unique_ptr<LogReader>& reader,
                                 std::unique_ptr<ByteStream>& stream, int64_t size_read) {
  const std::string& input = file.input_path;
  bool ok = false;
  if (first_sink_->on_file_start(file, continuation)) {
    ok = feed_frames(*reader, *stream, size_read, input);
  } else {
    QLOG(LOG_ERROR, "Error on new file");
  }
  file.failed = !ok;
  if (!first_sink_->on_file_end(file)) {
    QLOG(LOG_ERROR, "Error during end file callback");
    ok = false;
  }

  reader.reset();
  if (stream->close() != 0) {
    QLOG(LOG_ERROR, "Could not close input file after conversion: %.*s", path_length(input),
         input.c_str());
    return kResultFailed;
  }
  if (!ok) return kResultFailed;
  if (options_.delete_converted) delete_input(input, size_read);
  return kResultOk;
}

// The log through the sliding window. The size is taken before reading: a
// file cut short while it is read is told from one that ended where it
// should, and a log still being written is not deleted.
std::unique_ptr<ByteStream> ConversionLoop::open_window(const std::string& input, int64_t window,
                                                        int64_t& size_read) {
  std::unique_ptr<ByteStream> stream = open_input(input);
  if (!stream) {
    QLOG(LOG_ERROR, "Could not open input file %.*s", path_length(input), input.c_str());
    return nullptr;
  }
  size_read = stream_size(*stream);
  int64_t n = window;
  if (n < 0) n = size_read;
  if (n == 0) return stream;
  std::unique_ptr<BufferedReader> buffered = BufferedReader::create(std::move(stream), n);
  if (!buffered) {
    QLOG(LOG_ERROR, "Could not allocate buffer of size %zd", static_cast<ssize_type>(n));
    return nullptr;
  }
  return buffered;
}

// The file record from the log's header; false when it names no session or
// split.
bool ConversionLoop::read_header(const LogReader& reader, const std::string& input,
                                 const std::string& output, FileRecord& file) const {
  file.input_path = input;
  file.output_path = output;
  file.logger_id = reader.logger_id()[0] != '\0' ? reader.logger_id() : "LOGGERID";
  file.start_time = reader.start_time();
  file.session = static_cast<uint32_t>(reader.session());
  file.split = static_cast<uint32_t>(reader.split());
  file.durable = options_.delete_converted;
  if (file.session == 0 || file.split == 0) {
    QLOG(LOG_ERROR, "Could not parse file header");
    return false;
  }
  return true;
}

// True for a repeat of the last accepted split, which is skipped; otherwise
// tells whether the file continues that split's session.
bool ConversionLoop::repeats_previous(const FileRecord& file, bool& continuation) {
  bool repeated = false;
  continuation = false;
  if (!previous_.logger_id.empty() && file.logger_id == previous_.logger_id &&
      file.session == previous_.session) {
    repeated = file.split == previous_.split;
    continuation = repeated || file.split == previous_.split + 1;
  }
  if (repeated) {
    QLOG(LOG_WARN, "Repeated input file (%s, %08u, %08u)", file.logger_id.c_str(), file.session,
         file.split);
  }
  previous_ = file;
  return repeated;
}

// Every frame of the log to the first sink; false when the log did not
// convert whole.
bool ConversionLoop::feed_frames(LogReader& reader, ByteStream& stream, int64_t size_read,
                                 const std::string& input) {
  bool ok = reader.seek_to_data();
  bool hinting = true;
  while (ok && reader.next_frame(frame_)) {
    frames_ += 1;
    progress_.frame(stream);
    // The frames a few lines on, so that what they need is fetched while
    // this one is converted: with thousands of messages their data is
    // rarely in the cache. Sinks that have no use for hints are asked
    // again now and then, as their needs change with the frames.
    frame_.hint_count = 0;
    if (hinting || (frames_ & kHintAgain) == 0) {
      frame_.hint_count = static_cast<uint8_t>(reader.peek(frame_.hints, kHintLead));
    }
    frame_.hints_wanted = hinting;
    ok = first_sink_->on_frame(frame_);
    if (frame_.hint_count != 0) hinting = frame_.hints_wanted;
    if (platform::interrupt_signal() != 0) break;
  }
  // Interrupted: the file stops after this frame and is undone.
  if (int signal = platform::interrupt_signal(); signal != 0) {
    QLOG(LOG_ERROR, "Conversion interrupted by signal %d", signal);
    return false;
  }
  // A short read is not the end of the log: its frames would be lost
  // without a word.
  if (ok && (stream.read_failed() || stream.tell() < size_read)) {
    QLOG(LOG_ERROR, "Could not read input file %.*s", path_length(input), input.c_str());
    return false;
  }
  // Frame lines of which none gave a frame (every timestamp damaged, or a
  // header time that cannot be read) are no conversion.
  if (ok && reader.frame_lines() > 0 && reader.frames_returned() == 0) {
    QLOG(LOG_ERROR, "No frame could be read from input file %.*s", path_length(input),
         input.c_str());
    return false;
  }
  return ok;
}

// Deletes a converted log unless it changed since it was read.
void ConversionLoop::delete_input(const std::string& input, int64_t size_read) {
  StatResult now;
  if (!input_folder_->stat(input, now) || now.kind != kFile || now.size != size_read) {
    // Deleting it would lose what was added after it was read.
    QLOG(LOG_WARN, "Input file changed during conversion: %.*s", path_length(input), input.c_str());
    return;
  }
  if (!input_folder_->remove(input)) {
    QLOG(LOG_ERROR, "Could not remove input file after conversion: %.*s", path_length(input),
         input.c_str());
  }
}

}  // namespace quillon
