// The run report (--report=FILE): what became of each log and of the run,
// as a JSON document for programs (doc/report.schema.json), written
// atomically at the end of the run. The loops tell the collector of each
// log (input/conversion_loop LogReport); the rows and outputs of a log are
// the differences of its frame handler's counters, and its messages the
// lines logged on its thread while it was converted (every level written).
// Nothing is added per frame.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/run.h"
#include "input/conversion_loop.h"
#include "output/frame_handler.h"

namespace quillon {

class TerminalProgress;

// The run as the report tells of it, apart from the logs.
struct RunFacts {
  int64_t start_utc = 0;
  int64_t end_utc = 0;
  uint32_t shard_index = 0;
  uint32_t shard_count = 0;  // 0: no shard given
  unsigned threads = 1;
  int exit_status = 0;
  int interrupt_signal = 0;
  RunCounters counters;
};

class RunReport {
 public:
  // A line logged about a log: its level letter and its text.
  struct LogLine {
    char level = 'E';
    std::string text;
  };

  // The command line as given; log lines pass on to the status line's
  // writer when there is one (else to standard error).
  RunReport(int argc, char** argv, TerminalProgress* terminal);
  ~RunReport();
  RunReport(const RunReport&) = delete;
  RunReport& operator=(const RunReport&) = delete;

  // A report for one loop; handler (null for a loop that only walks)
  // gives the log's rows and outputs. Null when memory is short.
  std::unique_ptr<LogReport> make_log_report(const FrameHandler* handler);

  // The whole document.
  std::string document(const RunFacts& facts) const;
  // Written through a temporary file in the same folder, synced and renamed
  // over path; false (logged) when it could not be.
  static bool write(const std::string& path, const std::string& document);

 private:
  struct Entry {
    std::string path;
    uint64_t walk_index = 0;
    int result = 0;
    uint64_t frames_read = 0;
    uint64_t frames_dropped = 0;
    uint64_t rows_written = 0;
    uint64_t outputs_created = 0;
    uint64_t outputs_appended = 0;
    bool repeated = false;
    bool skipped = false;
    bool deleted = false;
    std::vector<LogLine> errors;
  };
  class Collector;
  static void write_log_line(void* context, const char* line, size_t n);
  void add(Entry&& entry);
  // One log's object in the document.
  static void log_object(std::string& out, const Entry& e);

  std::vector<std::string> command_line_;
  TerminalProgress* terminal_;
  mutable std::mutex mutex_;
  std::vector<Entry> entries_;
};

}  // namespace quillon
