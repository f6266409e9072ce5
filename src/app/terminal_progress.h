// The status line of a run on a terminal: files done of found, bytes read
// of the total, frames converted and their rate, elapsed time, an estimate
// of the time left and the log being read, redrawn in place on standard
// error at most 10 times a second by whichever thread reports when a
// tenth of a second has passed (no thread of its own: a second thread
// would put the C run-time on its locking paths for every stream call and
// allocation of the run). Log lines pass through it, so that they are
// written whole above the line; it is cleared for good when the run ends,
// before the summary goes to standard output.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "input/progress.h"

namespace quillon {

// The figures one status line shows.
struct ProgressFigures {
  uint64_t files_done = 0, files_total = 0;
  uint64_t bytes_done = 0, bytes_total = 0;
  uint64_t frames = 0;
  int64_t elapsed_ms = 0;
  std::string file;  // the log being read, empty when none
};

// The status line for the figures, at most columns - 1 columns wide (the
// last column would wrap on some terminals); the file name loses its start
// first, then the line its end.
std::string format_status_line(const ProgressFigures& figures, int columns);

class TerminalProgress final : public ProgressListener {
 public:
  // Null when standard error is no terminal or non_interactive is set:
  // then nothing of it is ever written.
  static std::unique_ptr<TerminalProgress> create(bool non_interactive);
  ~TerminalProgress() override;
  TerminalProgress(const TerminalProgress&) = delete;
  TerminalProgress& operator=(const TerminalProgress&) = delete;

  void run_started(uint64_t files, uint64_t bytes) override;
  void file_started(const std::string& path, uint64_t size) override;
  void advanced(uint64_t bytes, uint64_t frames) override;
  void file_finished(const std::string& path, bool converted) override;
  void run_finished() override;

 public:
  // The logger's line writer this listener sets: for a writer that passes
  // lines on to it.
  static void write_log_line(void* context, const char* line, size_t n);

 private:
  TerminalProgress() = default;
  // Redraws when a redraw period has passed and no other thread draws.
  void draw_if_due();
  // The status line drawn anew over the old one into out; mutex_ held.
  void append_redraw(std::string& out);
  void append_clear(std::string& out);

  std::atomic<uint64_t> files_total_{0}, bytes_total_{0};
  std::atomic<uint64_t> files_done_{0}, bytes_done_{0}, frames_{0};
  int64_t started_ms_ = 0;

  std::mutex mutex_;  // the terminal and every member below
  std::string file_;
  int drawn_columns_ = 0;  // of the line on screen, 0 when none is
  bool running_ = false;
  // Clock of the last drawing; read without the lock for the quick test.
  std::atomic<int64_t> drawn_ms_{0};
};

}  // namespace quillon
