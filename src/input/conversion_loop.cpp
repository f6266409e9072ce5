#include "input/conversion_loop.h"

#include <new>
#include <type_traits>

#include "input/log_reader.h"
#include "platform/platform.h"
#include "support/log.h"

namespace quillon {

namespace {

using ssize_type = std::make_signed_t<size_t>;

int path_length(const std::string& path) {
  return static_cast<int>(path.size());
}

// The walk reads only the header of each log: a small window will do.
constexpr int64_t kHeaderWindow = 64 << 10;

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

// The serial run: each log converted through the stream the walk opened.
class ConversionLoop::Converting final : public LogTaker {
 public:
  explicit Converting(ConversionLoop& loop) : loop_(loop) {}
  int take(PlannedLog& log, OpenedLog& opened) override {
    return loop_.convert_opened(log.file, log.continuation, opened);
  }
  bool converts() const override { return true; }

 private:
  ConversionLoop& loop_;
};

// The walk before a run on threads: each log kept for later.
class ConversionLoop::Planning final : public LogTaker {
 public:
  explicit Planning(std::vector<PlannedLog>& logs) : logs_(logs) {}
  int take(PlannedLog& log, OpenedLog&) override {
    try {
      logs_.push_back(std::move(log));
    } catch (const std::bad_alloc&) {
      return kResultFailed;
    }
    return kResultOk;
  }
  bool converts() const override { return false; }

 private:
  std::vector<PlannedLog>& logs_;
};

int ConversionLoop::run(const std::vector<std::string>& input_paths) {
  InputListing listing;
  bool listed = list(input_paths, listing);
  uint64_t files = listing.log_files;
  uint64_t bytes = listing.log_bytes;
  if (listed && options_.selector != nullptr && progress_.listener() != nullptr) {
    shard_totals(listing, files, bytes);
  }
  progress_.run_started(files, bytes);
  Converting converting(*this);
  bool stopped = false;
  int status = listed ? walk(listing, options_.buffer_size, converting, stopped) : kResultFailed;
  progress_.run_finished();
  return status;
}

int ConversionLoop::plan(const std::vector<std::string>& input_paths, std::vector<PlannedLog>& logs,
                         bool& stopped) {
  stopped = false;
  InputListing listing;
  if (!list(input_paths, listing)) return kResultFailed;
  Planning planning(logs);
  return walk(listing, kHeaderWindow, planning, stopped);
}

// A shard converts only its loggers' logs, known by their headers: the
// progress totals are those, so that a shard's run ends at all of them.
// Read only when someone shows the progress.
void ConversionLoop::shard_totals(const InputListing& listing, uint64_t& files, uint64_t& bytes) {
  files = bytes = 0;
  const LogSelector& selector = *options_.selector;
  for (const WalkEntry& entry : listing.entries) {
    if (platform::interrupt_signal() != 0) return;
    if (entry.kind != WalkEntry::Kind::kLog) continue;
    OpenedLog opened;
    FileRecord file;
    const bool read = open_log(entry.input, entry.output, kHeaderWindow, opened, file, true);
    if (read ? selector.selects(file) : selector.takes_unread()) {
      files += 1;
      bytes += static_cast<uint64_t>(entry.size);
    }
  }
}

bool ConversionLoop::list(const std::vector<std::string>& input_paths, InputListing& listing) {
  if (list_inputs(*input_folder_, input_paths, options_.no_append_root, listing)) return true;
  QLOG(LOG_FATAL, "Could not list the inputs: out of memory");
  return false;
}

int ConversionLoop::walk(const InputListing& listing, int64_t window, LogTaker& taker,
                         bool& stopped) {
  stopped = false;
  int status = kResultOk;
  deleted_by_entry_.clear();
  deleted_.clear();
  for (const WalkEntry& entry : listing.entries) {
    if (entry.checked && platform::interrupt_signal() != 0) break;
    walk_index_ = static_cast<uint64_t>(&entry - listing.entries.data());
    deleted_by_entry_.push_back(deleted_.size());
    if (entry.kind == WalkEntry::Kind::kQueryFailed) {
      if (report_ != nullptr) report_->log_started(entry.input);
      QLOG(LOG_FATAL, "Could not query %.*s for information", path_length(entry.input),
           entry.input.c_str());
      report(entry.input, kResultInvalid, false);
      stopped = true;
      return kResultInvalid;
    }
    status |= walk_entry(entry, window, taker);
  }
  return status;
}

int ConversionLoop::walk_entry(const WalkEntry& entry, int64_t window, LogTaker& taker) {
  // Every line logged from here on concerns this entry.
  if (report_ != nullptr) report_->log_started(entry.input);
  if (entry.kind == WalkEntry::Kind::kLog) return reach_log(entry, window, taker);
  const int result = tell_entry(entry);
  // A link to nothing is skipped with a warning: a log when named as one;
  // so is an input given again, which the report lists with its warning.
  const bool skipped = (entry.kind == WalkEntry::Kind::kDangling && is_log_name(entry.input)) ||
                       entry.kind == WalkEntry::Kind::kGivenTwice;
  if (result != kResultOk || skipped) report(entry.input, result, false, skipped);
  return result;
}

int ConversionLoop::tell_entry(const WalkEntry& entry) {
  const std::string& path = entry.input;
  switch (entry.kind) {
    case WalkEntry::Kind::kLog:
      break;
    case WalkEntry::Kind::kDangling:
      QLOG(LOG_WARN, "Skipping dangling symbolic link %.*s", path_length(path), path.c_str());
      return kResultOk;
    case WalkEntry::Kind::kStatFailed:
      // Not a success: the path was never looked at.
      QLOG(LOG_ERROR, "Error during stat of %.*s (%s)", path_length(path), path.c_str(),
           platform::error_text(entry.error).c_str());
      return kResultInvalid;
    case WalkEntry::Kind::kListFailed:
      // An unreadable folder is not an empty one.
      QLOG(LOG_ERROR, "Could not list folder %.*s", path_length(path), path.c_str());
      return kResultInvalid;
    case WalkEntry::Kind::kNotFound:
      // An error, not a warning: the default verbosity must show why the run failed.
      QLOG(LOG_ERROR, "Could not find input file/folder %.*s", path_length(path), path.c_str());
      return kResultMissing;
    case WalkEntry::Kind::kGivenTwice:
      QLOG(LOG_WARN, "Input given twice: %.*s", path_length(path), path.c_str());
      return kResultOk;
    case WalkEntry::Kind::kInvalid:
    case WalkEntry::Kind::kQueryFailed:
      break;
  }
  return kResultInvalid;
}

// A log as the walk reaches it. It is looked at again: converting the logs
// before it may have changed it since the listing (a log given twice is
// gone once converted with -d).
int ConversionLoop::reach_log(const WalkEntry& entry, int64_t window, LogTaker& taker) {
  const std::string& input = entry.input;
  StatResult st;
  if (!input_folder_->stat(input, st)) {
    QLOG(LOG_ERROR, "Error during stat of %.*s (%s)", path_length(input), input.c_str(),
         platform::error_text(st.error).c_str());
    report(input, kResultInvalid, false);
    return kResultInvalid;
  }
  if (st.kind == kNotFound) {
    if (deleted_before_listed(entry)) return kResultOk;
    // Runs over shards of one tree at once: another one may have converted
    // and deleted it.
    if (options_.selector != nullptr && options_.delete_converted) return kResultOk;
    QLOG(LOG_ERROR, "Could not find input file/folder %.*s", path_length(input), input.c_str());
    report(input, kResultMissing, false);
    return kResultMissing;
  }
  if (st.kind != kFile) {
    report(input, kResultInvalid, false);
    return kResultInvalid;
  }

  const LogSelector* selector = options_.selector;
  if (selector == nullptr) count_log(input, st.size);
  int result = kResultFailed;
  PlannedLog log;
  OpenedLog opened;
  const bool read = open_log(input, entry.output, window, opened, log.file,
                             selector != nullptr && !selector->takes_unread());
  const bool ours =
      selector == nullptr || (read ? selector->selects(log.file) : selector->takes_unread());
  if (selector != nullptr) {
    if (!ours) {
      // Its header still places the logs after it in their series.
      if (read) repeats_previous(log.file, log.continuation, false);
      return kResultOk;
    }
    count_log(input, st.size);
  }
  bool repeated = false;
  bool kept = false;
  log_frames_ = log_dropped_ = log_out_of_order_ = log_outliers_ = 0;
  log_deleted_ = false;
  if (read) {
    if (repeats_previous(log.file, log.continuation, true)) {
      repeated = true;
      result = kResultOk;
    } else {
      log.size = static_cast<uint64_t>(st.size);
      log.walk_index = walk_index_;
      result = taker.take(log, opened);
      kept = !taker.converts() && result == kResultOk;
    }
  }
  progress_.file_finished(input, result == kResultOk);
  if (result != kResultOk) {
    QLOG(LOG_ERROR, "Error during conversion of %.*s", path_length(input), input.c_str());
  }
  // A kept log is told of when it is converted.
  if (!kept) report(input, result, repeated, repeated);
  return result;
}

void ConversionLoop::count_log(const std::string& input, int64_t size) {
  files_ += 1;
  bytes_ += static_cast<uint64_t>(size);
  progress_.file_started(input, size);
}

// A log of a folder listed before the walk that this loop deleted before
// the walk reached the folder: a folder listed only then would not hold it.
bool ConversionLoop::deleted_before_listed(const WalkEntry& entry) const {
  if (entry.folder_reached < 0) return false;
  const auto found = deleted_.find(entry.input);
  return found != deleted_.end() &&
         found->second <= deleted_by_entry_[static_cast<size_t>(entry.folder_reached)];
}

int ConversionLoop::convert_planned(const PlannedLog& log) {
  const FileRecord& planned = log.file;
  OpenedLog opened;
  FileRecord file;
  int result = kResultFailed;
  progress_.file_started(planned.input_path, static_cast<int64_t>(log.size));
  if (report_ != nullptr) report_->log_started(planned.input_path);
  walk_index_ = log.walk_index;
  log_frames_ = log_dropped_ = log_out_of_order_ = log_outliers_ = 0;
  log_deleted_ = false;
  if (open_log(planned.input_path, planned.output_path, options_.buffer_size, opened, file)) {
    if (file.logger_id == planned.logger_id && file.session == planned.session &&
        file.split == planned.split) {
      result = convert_opened(file, log.continuation, opened);
    } else {
      // Its place in the series was decided from the header as it was.
      QLOG(LOG_ERROR, "Input file changed during conversion: %.*s", path_length(planned.input_path),
           planned.input_path.c_str());
    }
  }
  progress_.file_finished(planned.input_path, result == kResultOk);
  if (result != kResultOk) {
    note_result(planned, true);
    QLOG(LOG_ERROR, "Error during conversion of %.*s", path_length(planned.input_path),
         planned.input_path.c_str());
  }
  report(planned.input_path, result, false);
  return result;
}

void ConversionLoop::report(const std::string& input, int result, bool repeated, bool skipped) {
  if (report_ == nullptr) return;
  LogOutcome outcome;
  outcome.input = &input;
  outcome.walk_index = walk_index_;
  outcome.result = result;
  outcome.repeated = repeated;
  outcome.skipped = skipped;
  outcome.frames_read = log_frames_;
  outcome.frames_dropped = log_dropped_;
  outcome.frames_out_of_order = log_out_of_order_;
  outcome.frames_outliers = log_outliers_;
  outcome.deleted = log_deleted_;
  report_->log_done(outcome);
  log_frames_ = log_dropped_ = log_out_of_order_ = log_outliers_ = 0;
  log_deleted_ = false;
}

bool ConversionLoop::open_log(const std::string& input, const std::string& output, int64_t window,
                              OpenedLog& opened, FileRecord& file, bool quiet) {
  opened.stream = open_window(input, window, opened.size_at_open, quiet);
  if (!opened.stream) return false;
  stamp_opened(input, opened);
  HeaderFault fault;
  opened.reader = LogReader::create(opened.stream.get(), &fault);
  if (!opened.reader) {
    if (quiet) return false;
    if (fault.what != nullptr) {
      QLOG(LOG_ERROR, "Could not open log: line %d: %s", fault.line, fault.what);
    } else {
      QLOG(LOG_ERROR, "Could not open log");
    }
    return false;
  }
  return read_header(*opened.reader, input, output, file, quiet);
}

bool ConversionLoop::continues_failed(const FileRecord& file) const {
  return last_failed_ && file.logger_id == last_logger_ && file.session == last_session_ &&
         (file.split == last_split_ || file.split == last_split_ + 1);
}

void ConversionLoop::note_result(const FileRecord& file, bool failed) {
  last_logger_ = file.logger_id;
  last_session_ = file.session;
  last_split_ = file.split;
  last_failed_ = failed;
}

int ConversionLoop::convert_opened(FileRecord& file, bool continuation, OpenedLog& opened) {
  const int result = convert_series(file, continuation && !continues_failed(file), opened);
  note_result(file, result != kResultOk);
  return result;
}

int ConversionLoop::convert_series(FileRecord& file, bool continuation, OpenedLog& opened) {
  const std::string& input = file.input_path;
  bool ok = false;
  // The input as it is read, named by the record that lets it be deleted.
  if (file.durable) {
    file.input_full_path = input_folder_->full_path(input);
    file.stamped = opened.stamped;
    file.input_stamp = opened.stamp;
  }
  if (first_sink_->on_file_start(file, continuation)) {
    ok = feed_frames(*opened.reader, *opened.stream, opened.size_at_open, input);
  } else {
    QLOG(LOG_ERROR, "Error on new file");
  }
  file.failed = !ok;
  file.open_transfers = file.held = false;
  if (!first_sink_->on_file_end(file)) {
    QLOG(LOG_ERROR, "Error during end file callback");
    ok = false;
  }

  opened.reader.reset();
  if (opened.stream->close() != 0) {
    QLOG(LOG_ERROR, "Could not close input file after conversion: %.*s", path_length(input),
         input.c_str());
    return kResultFailed;
  }
  if (!ok) return kResultFailed;
  if (options_.delete_converted) {
    // A held log goes once the log that finishes its transfers stands.
    log_deleted_ = file.held ? note_deleted(input) : delete_input(input, opened);
  }
  return kResultOk;
}

// The log through the sliding window, its size taken before reading.
std::unique_ptr<ByteStream> ConversionLoop::open_window(const std::string& input, int64_t window,
                                                        int64_t& size_at_open, bool quiet) {
  std::unique_ptr<ByteStream> stream = open_input(input);
  if (!stream) {
    if (!quiet)
      QLOG(LOG_ERROR, "Could not open input file %.*s", path_length(input), input.c_str());
    return nullptr;
  }
  size_at_open = stream_size(*stream);
  int64_t n = window;
  if (n < 0) n = size_at_open;
  if (n == 0) return stream;
  std::unique_ptr<BufferedReader> buffered = BufferedReader::create(std::move(stream), n);
  if (!buffered) {
    if (!quiet)
      QLOG(LOG_ERROR, "Could not allocate buffer of size %zd", static_cast<ssize_type>(n));
    return nullptr;
  }
  return buffered;
}

// The file record from the log's header; false when it names no session or
// split.
bool ConversionLoop::read_header(const LogReader& reader, const std::string& input,
                                 const std::string& output, FileRecord& file, bool quiet) const {
  file.input_path = input;
  file.output_path = output;
  file.logger_id = reader.logger_id()[0] != '\0' ? reader.logger_id() : "LOGGERID";
  file.start_time = reader.start_time();
  file.session = static_cast<uint32_t>(reader.session());
  file.split = static_cast<uint32_t>(reader.split());
  file.durable = options_.delete_converted;
  if (file.session == 0 || file.split == 0) {
    if (!quiet) QLOG(LOG_ERROR, "Could not parse file header");
    return false;
  }
  return true;
}

// True for a repeat of the last accepted split, which is skipped; otherwise
// tells whether the file continues that split's session.
bool ConversionLoop::repeats_previous(const FileRecord& file, bool& continuation, bool warn) {
  bool repeated = false;
  continuation = false;
  if (!previous_.logger_id.empty() && file.logger_id == previous_.logger_id &&
      file.session == previous_.session) {
    repeated = file.split == previous_.split;
    continuation = repeated || file.split == previous_.split + 1;
  }
  if (repeated && warn) {
    QLOG(LOG_WARN, "Repeated input file (%s, %08u, %08u)", file.logger_id.c_str(), file.session,
         file.split);
  }
  previous_ = file;
  return repeated;
}

// Every frame of the log to the first sink; false when the log did not
// convert whole.
bool ConversionLoop::feed_frames(LogReader& reader, ByteStream& stream, int64_t size_at_open,
                                 const std::string& input) {
  bool ok = reader.seek_to_data();
  bool hinting = true;
  const uint64_t frames_before = frames_;
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
  log_frames_ = frames_ - frames_before;
  log_dropped_ = reader.frame_lines() - reader.frames_returned();
  log_out_of_order_ = reader.out_of_order();
  log_outliers_ = reader.outliers();
  // Interrupted: the file stops after this frame and is undone.
  if (int signal = platform::interrupt_signal(); signal != 0) {
    QLOG(LOG_ERROR, "Conversion interrupted by signal %d", signal);
    return false;
  }
  // A short read is not the end of the log: its frames would be lost
  // without a word.
  if (ok && (stream.read_failed() || reader.lost_place() || stream.tell() < size_at_open)) {
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
  return ok && explains_drops(reader, input);
}

// Frames that go backwards are dropped, for the odd jitter of a logger's
// clock; a log that drops more than 1% of its frames, and more than 100,
// has lost them to something else (a clock set back, a damage the outlier
// rule does not see), and is not converted as if it were whole.
bool ConversionLoop::explains_drops(const LogReader& reader, const std::string& input) const {
  const uint64_t dropped = reader.out_of_order();
  const uint64_t timed = reader.frames_timed();
  if (dropped <= kMostDropsAlways || dropped * 100 <= timed) return true;
  QLOG(LOG_ERROR, "Dropped %u of %u frames of %.*s: timestamps out of order",
       static_cast<unsigned>(dropped), static_cast<unsigned>(timed), path_length(input),
       input.c_str());
  return false;
}

// The version of the log at its path, once it is open; unknown when the
// path names another file than the one opened (replaced in between).
void ConversionLoop::stamp_opened(const std::string& input, OpenedLog& opened) const {
  opened.stamped = input_folder_->stamp(input, opened.stamp);
  platform::FileId read;
  if (opened.stamped && opened.stream->file_id(read) && !(read == opened.stamp.id)) {
    opened.stamped = false;
  }
}

// Deletes a converted log unless it changed since it was read: it grew or
// shrank, or another file (or another version of it) took its place.
bool ConversionLoop::delete_input(const std::string& input, const OpenedLog& opened) {
  StatResult now;
  platform::FileStamp stamp;
  if (!input_folder_->stat(input, now) || now.kind != kFile || now.size != opened.size_at_open ||
      !opened.stamped || !input_folder_->stamp(input, stamp) || !(stamp == opened.stamp)) {
    // Deleting it would lose what was added after it was read.
    QLOG(LOG_WARN, "Input file changed during conversion: %.*s", path_length(input), input.c_str());
    return false;
  }
  if (!input_folder_->remove(input)) {
    QLOG(LOG_ERROR, "Could not remove input file after conversion: %.*s", path_length(input),
         input.c_str());
    return false;
  }
  return note_deleted(input);
}

bool ConversionLoop::note_deleted(const std::string& input) {
  try {
    deleted_.emplace(input, deleted_.size() + 1);
  } catch (const std::bad_alloc&) {
    // Only a log given twice would be told of as missing the second time.
  }
  return true;
}

}  // namespace quillon
