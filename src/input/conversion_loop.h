// The conversion loop: walks the input paths (input/input_walk), picks the
// log files by their ".txt" extension (any case), reads each through the log
// reader and drives the first frame sink: on_file_start, on_frame per frame,
// on_file_end.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "input/folder.h"
#include "input/frame.h"
#include "input/input_walk.h"
#include "input/log_reader.h"
#include "input/progress.h"
#include "input/sink.h"
#include "input/stream.h"
#include "platform/platform.h"

namespace quillon {

// A log the walk found and whose header it read, for a conversion later, in
// the walk's order or on another thread.
struct PlannedLog {
  FileRecord file;            // from the header as the walk read it
  bool continuation = false;  // decided against the file before it in the walk
  uint64_t size = 0;          // as the walk found it
  uint64_t walk_index = 0;    // its entry's place in the walk's listing
};

// A log as the walk opened it: the stream, and the reader past its header.
struct OpenedLog {
  std::unique_ptr<ByteStream> stream;
  std::unique_ptr<LogReader> reader;
  // Taken before reading: a log cut short while read is told from one that
  // ended where it should, and a log that grew is not deleted.
  int64_t size_at_open = 0;
  // The file as it was opened: a log put in its place while it was read
  // (of the same size or not) is not the one converted. stamped: known.
  platform::FileStamp stamp;
  bool stamped = false;
};

// Chooses the logs a run converts once their headers are read (a shard of
// a fleet); the others are passed over in silence: not converted, counted
// or deleted. Their headers still decide repetition and continuation, as
// they do in a run that converts them.
class LogSelector {
 public:
  virtual ~LogSelector() = default;
  virtual bool selects(const FileRecord& file) const = 0;
  // Whether this run tells of the logs whose header cannot be read: they
  // name no logger, so exactly one of the runs over a tree must.
  virtual bool takes_unread() const = 0;
};

// What became of one entry of the walk that a run report tells of: a log
// (converted, failed, repeated) or an input path that is missing or
// invalid.
struct LogOutcome {
  const std::string* input = nullptr;  // as the walk gives it
  // The entry's place in the walk's listing: the order of the serial run,
  // whatever thread converted the log.
  uint64_t walk_index = 0;
  int result = 0;
  uint64_t frames_read = 0;
  uint64_t frames_dropped = 0;  // frame lines that gave no frame
  // Of those: dropped for going back in time, and outliers dropped (the
  // report gives their sum with the malformed lines as frames_dropped).
  uint64_t frames_out_of_order = 0;
  uint64_t frames_outliers = 0;
  bool repeated = false;
  // Passed over, neither converted nor failed: a repeat, or a link to
  // nothing named as a log.
  bool skipped = false;
  bool deleted = false;
};

// Told of each log as its conversion starts and of each outcome once the
// log lines about it are written; must be thread-safe across loops.
class LogReport {
 public:
  virtual ~LogReport() = default;
  virtual void log_started(const std::string& input) = 0;
  virtual void log_done(const LogOutcome& outcome) = 0;
};

struct ConversionOptions {
  bool delete_converted = false;
  bool no_append_root = false;  // folder inputs keep their name in the output path
  // Bytes of the sliding window each file is read through: memory stays
  // flat whatever the size of the logs.
  static constexpr int64_t kDefaultBuffer = 1 << 20;
  int64_t buffer_size = kDefaultBuffer;  // -1: each file read whole; 0: no buffer
  // Null: every log. Not owned.
  const LogSelector* selector = nullptr;
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

  // Walks every path (relative to the input folder's root) in order and
  // converts each log as the walk reaches it; gives the bitwise OR of their
  // results. An input path that cannot be queried ends the run at once with
  // 129. The progress totals are those of the walk's listing.
  int run(const std::vector<std::string>& input_paths);

  // The walk of run without converting: every log file whose header reads
  // is added to logs, repeats left out (and warned of, as run does).
  // Repetition and continuation are decided in walk order, as run decides
  // them. Gives the bitwise OR of the results so far (a file that cannot
  // be opened or whose header does not read counts as failed); stopped is
  // set when an input path could not be queried, which ends a run with
  // 129 whatever the logs give.
  int plan(const std::vector<std::string>& input_paths, std::vector<PlannedLog>& logs,
           bool& stopped);
  // Converts one planned log through this loop's sink; its result as run
  // folds it in (a failure also logs "Error during conversion of ...").
  // The log's header must read as it did for the walk.
  int convert_planned(const PlannedLog& log);

  uint64_t files() const { return files_; }    // log files found
  uint64_t frames() const { return frames_; }  // frame records read
  uint64_t bytes() const { return bytes_; }    // sum of the log files' sizes

  const RootedFolder* output_folder() const { return output_folder_; }

  // Where each log's outcome goes; null (the default) for nowhere.
  void set_report(LogReport* report) { report_ = report; }

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
  // What the walk does with each log it reached, opened and found to be no
  // repeat: converts it (run) or keeps it for later (plan). Gives the log's
  // result.
  class LogTaker {
   public:
    virtual int take(PlannedLog& log, OpenedLog& opened) = 0;
    // False when take keeps the log for a conversion later.
    virtual bool converts() const = 0;

   protected:
    ~LogTaker() = default;
  };
  class Converting;
  class Planning;

  // The logs of the listing the selector takes and their sizes.
  void shard_totals(const InputListing& listing, uint64_t& files, uint64_t& bytes);
  // The inputs listed; false (logged) when memory is short.
  bool list(const std::vector<std::string>& input_paths, InputListing& listing);
  // The one walk of run and plan: the listing's entries in order, each log
  // opened through a window of that many bytes (-1: whole, 0: none).
  int walk(const InputListing& listing, int64_t window, LogTaker& taker, bool& stopped);
  int walk_entry(const WalkEntry& entry, int64_t window, LogTaker& taker);
  int tell_entry(const WalkEntry& entry);
  int reach_log(const WalkEntry& entry, int64_t window, LogTaker& taker);
  void count_log(const std::string& input, int64_t size);
  bool deleted_before_listed(const WalkEntry& entry) const;
  int convert_opened(FileRecord& file, bool continuation, OpenedLog& opened);
  int convert_series(FileRecord& file, bool continuation, OpenedLog& opened);
  // quiet: nothing logged (a log that may be another run's).
  std::unique_ptr<ByteStream> open_window(const std::string& input, int64_t window,
                                          int64_t& size_at_open, bool quiet);
  bool read_header(const LogReader& reader, const std::string& input, const std::string& output,
                   FileRecord& file, bool quiet) const;
  // The log opened and its header read into file; false (logged unless
  // quiet) when it cannot be.
  bool open_log(const std::string& input, const std::string& output, int64_t window,
                OpenedLog& opened, FileRecord& file, bool quiet = false);
  bool repeats_previous(const FileRecord& file, bool& continuation, bool warn);
  // A log that continues a failed log of its series starts outputs of its
  // own: were it to append to the names the failed log began, converting
  // that log again would replace them.
  bool continues_failed(const FileRecord& file) const;
  void note_result(const FileRecord& file, bool failed);
  // Lines ahead of the frame being converted that the sinks get hints of:
  // one for each step in which the frame handler fetches ahead.
  static constexpr int kHintLead = 2;
  static constexpr uint64_t kHintAgain = 1023;  // asked again every 1024 frames
  bool feed_frames(LogReader& reader, ByteStream& stream, int64_t size_at_open,
                   const std::string& input);
  static constexpr uint64_t kMostDropsAlways = 100;  // out-of-order drops always taken
  bool explains_drops(const LogReader& reader, const std::string& input) const;
  // True when the log was deleted.
  bool delete_input(const std::string& input, const OpenedLog& opened);
  // The log counts as deleted by now (true).
  bool note_deleted(const std::string& input);
  void stamp_opened(const std::string& input, OpenedLog& opened) const;
  void report(const std::string& input, int result, bool repeated, bool skipped = false);

  const RootedFolder* input_folder_;
  const RootedFolder* output_folder_;
  uint64_t bytes_ = 0;
  uint64_t frames_ = 0;
  uint64_t files_ = 0;
  ConversionOptions options_;
  FrameSink* first_sink_;
  // While walking: of each entry reached, the logs this loop had deleted
  // by then; of each log it deleted, how many it had deleted with it.
  std::vector<uint64_t> deleted_by_entry_;
  std::map<std::string, uint64_t> deleted_;
  FileRecord previous_;  // the last file whose header was accepted
  // The last log this loop converted (or tried to), and whether it failed.
  std::string last_logger_;
  uint32_t last_session_ = 0, last_split_ = 0;
  bool last_failed_ = false;
  Frame frame_;  // one record for every line of every file
  ProgressReporter progress_;
  LogReport* report_ = nullptr;
  // Of the last log converted, for the report.
  uint64_t walk_index_ = 0;
  uint64_t log_frames_ = 0;
  uint64_t log_dropped_ = 0;
  uint64_t log_out_of_order_ = 0;
  uint64_t log_outliers_ = 0;
  bool log_deleted_ = false;
};

}  // namespace quillon
