#include "app/terminal_progress.h"

#include <cstdio>
#include <new>

#include "platform/platform.h"
#include "support/log.h"

namespace quillon {

namespace {

constexpr int64_t kRedrawMs = 100;  // at most 10 lines a second
constexpr int kDefaultColumns = 80;

// Columns a text takes: one per character (a UTF-8 lead byte or ASCII).
int columns_of(const std::string& text) {
  int n = 0;
  for (unsigned char c : text) n += (c & 0xC0) != 0x80;
  return n;
}

// The end of text that fits in columns, after "...".
std::string tail_to_fit(const std::string& text, int columns) {
  if (columns_of(text) <= columns) return text;
  if (columns <= 3) return std::string();
  size_t start = text.size();
  int kept = 0;
  while (start > 0) {
    size_t prev = start - 1;
    while (prev > 0 && (static_cast<unsigned char>(text[prev]) & 0xC0) == 0x80) --prev;
    if (kept + 1 > columns - 3) break;
    kept += 1;
    start = prev;
  }
  return "..." + text.substr(start);
}

// The start of text that fits in columns, whole characters only.
std::string head_to_fit(const std::string& text, int columns) {
  int kept = 0;
  size_t end = 0;
  while (end < text.size()) {
    size_t next = end + 1;
    while (next < text.size() && (static_cast<unsigned char>(text[next]) & 0xC0) == 0x80) ++next;
    if (kept + 1 > columns) break;
    kept += 1;
    end = next;
  }
  return text.substr(0, end);
}

// "12.3/45.6 MB": both in the unit of the total, binary units as in the
// summary.
std::string format_bytes(uint64_t done, uint64_t total) {
  static const char* const kUnits[] = {"B", "KB", "MB", "GB", "TB"};
  int unit = 0;
  double scale = 1;
  while (unit < 4 && static_cast<double>(total) >= 1024 * scale) {
    scale *= 1024;
    unit += 1;
  }
  char out[64];
  if (unit == 0) {
    std::snprintf(out, sizeof out, "%llu/%llu B", static_cast<unsigned long long>(done),
                  static_cast<unsigned long long>(total));
  } else {
    std::snprintf(out, sizeof out, "%.1f/%.1f %s", static_cast<double>(done) / scale,
                  static_cast<double>(total) / scale, kUnits[unit]);
  }
  return out;
}

// m:ss, or h:mm:ss from an hour on.
std::string format_duration(int64_t seconds) {
  char out[32];
  if (seconds < 0) seconds = 0;
  if (seconds >= 3600) {
    std::snprintf(out, sizeof out, "%lld:%02d:%02d", static_cast<long long>(seconds / 3600),
                  static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60));
  } else {
    std::snprintf(out, sizeof out, "%d:%02d", static_cast<int>(seconds / 60),
                  static_cast<int>(seconds % 60));
  }
  return out;
}

}  // namespace

std::string format_status_line(const ProgressFigures& f, int columns) {
  const double seconds = static_cast<double>(f.elapsed_ms) / 1000;
  char rate[32] = "-";
  if (f.elapsed_ms >= 1000) {
    double per_second = static_cast<double>(f.frames) / seconds;
    if (per_second >= 1e6) {
      std::snprintf(rate, sizeof rate, "%.2fM", per_second / 1e6);
    } else if (per_second >= 1e3) {
      std::snprintf(rate, sizeof rate, "%.1fk", per_second / 1e3);
    } else {
      std::snprintf(rate, sizeof rate, "%.0f", per_second);
    }
  }
  // The time left from the average byte rate so far, once there is one.
  std::string left = "-:--";
  if (f.elapsed_ms >= 1000 && f.bytes_done > 0) {
    uint64_t remaining = f.bytes_total > f.bytes_done ? f.bytes_total - f.bytes_done : 0;
    left = format_duration(static_cast<int64_t>(static_cast<double>(remaining) * seconds /
                                                static_cast<double>(f.bytes_done)));
  }
  char files[64], frames[64];
  std::snprintf(files, sizeof files, "%llu/%llu files",
                static_cast<unsigned long long>(f.files_done),
                static_cast<unsigned long long>(f.files_total));
  std::snprintf(frames, sizeof frames, "%llu frames", static_cast<unsigned long long>(f.frames));
  // In the order shown; on a narrow terminal the figures go in the order of
  // drop_order until the rest leaves the file name some room.
  std::string fields[] = {files,
                          format_bytes(f.bytes_done, f.bytes_total),
                          frames,
                          std::string(rate) + "/s",
                          format_duration(f.elapsed_ms / 1000),
                          "ETA " + left};
  bool shown[] = {true, true, true, true, true, true};
  const int drop_order[] = {2, 3, 4, 1, 5};
  const int room = columns - 1;
  if (room <= 0) return std::string();
  const int name_columns = columns_of(f.file);
  const int name_room = name_columns == 0 ? 0 : 2 + (name_columns < 20 ? name_columns : 20);
  std::string line;
  for (int dropped = 0;; ++dropped) {
    line.clear();
    for (int k = 0; k < 6; ++k) {
      if (!shown[k]) continue;
      if (!line.empty()) line += "  ";
      line += fields[k];
    }
    if (columns_of(line) + name_room <= room || dropped == 5) break;
    shown[drop_order[dropped]] = false;
  }
  if (columns_of(line) >= room) return head_to_fit(line, room);
  if (name_columns > 0) {
    int left_for_name = room - columns_of(line) - 2;
    if (left_for_name > 3) line += "  " + tail_to_fit(f.file, left_for_name);
  }
  return line;
}

std::unique_ptr<TerminalProgress> TerminalProgress::create(bool non_interactive) {
  if (non_interactive || !platform::stderr_is_terminal()) return nullptr;
  return std::unique_ptr<TerminalProgress>(new (std::nothrow) TerminalProgress());
}

TerminalProgress::~TerminalProgress() {
  run_finished();
}

void TerminalProgress::run_started(uint64_t files, uint64_t bytes) {
  files_total_ = files;
  bytes_total_ = bytes;
  started_ms_ = platform::clock_ms();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (running_) return;
    running_ = true;
    std::string out;
    append_redraw(out);
    platform::stderr_write(out.data(), out.size());
  }
  // No other thread logs yet: the conversion has not started.
  log_set_line_writer(&TerminalProgress::write_log_line, this);
}

void TerminalProgress::file_started(const std::string& path, uint64_t) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    file_ = path;
  }
  draw_if_due();
}

void TerminalProgress::advanced(uint64_t bytes, uint64_t frames) {
  bytes_done_.fetch_add(bytes, std::memory_order_relaxed);
  frames_.fetch_add(frames, std::memory_order_relaxed);
  draw_if_due();
}

void TerminalProgress::file_finished(const std::string&, bool) {
  files_done_.fetch_add(1, std::memory_order_relaxed);
  draw_if_due();
}

void TerminalProgress::run_finished() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!running_) return;
  // The conversion threads are done: nobody else logs now.
  log_set_line_writer(nullptr, nullptr);
  std::string out;
  append_clear(out);
  if (!out.empty()) platform::stderr_write(out.data(), out.size());
  running_ = false;
}

void TerminalProgress::write_log_line(void* context, const char* line, size_t n) {
  auto* self = static_cast<TerminalProgress*>(context);
  std::lock_guard<std::mutex> lock(self->mutex_);
  // One write: clear, the log line, and the status line again unless it
  // was drawn less than a redraw period ago (a burst of log lines would
  // redraw it for each; the next report brings it back soon enough).
  std::string out;
  self->append_clear(out);
  out.append(line, n);
  if (platform::clock_ms() - self->drawn_ms_.load(std::memory_order_relaxed) >= kRedrawMs) {
    self->append_redraw(out);
  }
  platform::stderr_write(out.data(), out.size());
}

void TerminalProgress::draw_if_due() {
  if (platform::clock_ms() - drawn_ms_.load(std::memory_order_relaxed) < kRedrawMs) return;
  // Another thread drawing now draws for this one too.
  std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
  if (!lock.owns_lock() || !running_) return;
  if (platform::clock_ms() - drawn_ms_.load(std::memory_order_relaxed) < kRedrawMs) return;
  std::string out;
  append_redraw(out);
  platform::stderr_write(out.data(), out.size());
}

void TerminalProgress::append_clear(std::string& out) {
  if (drawn_columns_ == 0) return;
  // The whole row but its last column: also what the terminal echoed
  // after the line (a "^C").
  int columns = platform::stderr_columns();
  if (columns <= 0) columns = kDefaultColumns;
  out += '\r';
  out.append(static_cast<size_t>(columns > 1 ? columns - 1 : drawn_columns_), ' ');
  out += '\r';
  drawn_columns_ = 0;
}

void TerminalProgress::append_redraw(std::string& out) {
  ProgressFigures f;
  f.files_done = files_done_.load(std::memory_order_relaxed);
  f.files_total = files_total_.load(std::memory_order_relaxed);
  f.bytes_done = bytes_done_.load(std::memory_order_relaxed);
  f.bytes_total = bytes_total_.load(std::memory_order_relaxed);
  f.frames = frames_.load(std::memory_order_relaxed);
  f.elapsed_ms = platform::clock_ms() - started_ms_;
  f.file = file_;
  int columns = platform::stderr_columns();
  if (columns <= 0) columns = kDefaultColumns;
  std::string line = format_status_line(f, columns);
  // Spaces over what is left of a longer line drawn before.
  int width = columns_of(line);
  out += '\r';
  out += line;
  if (drawn_columns_ > width) out.append(static_cast<size_t>(drawn_columns_ - width), ' ');
  drawn_columns_ = width > drawn_columns_ ? width : drawn_columns_;
  drawn_ms_.store(f.elapsed_ms + started_ms_, std::memory_order_relaxed);
}

}  // namespace quillon
