#include "support/log.h"

#include <cstdarg>
#include <cstdio>

#include "platform/platform.h"

namespace quillon {

int32_t log_threshold = LOG_NONE;

namespace {

constexpr int kLineBuffer = 512;
constexpr int kMaxText = 510;

LogLineWriter line_writer = nullptr;
void* line_writer_context = nullptr;

char level_letter(int level) {
  static const char kLetters[] = "VDIWEF";
  return level >= 1 && level <= 6 ? kLetters[level - 1] : '?';
}

int format_line(char* out, int level, int64_t pid, int64_t tid, int month, int day, int hour,
                int minute, int second, int millisecond, const char* format, va_list args) {
  int n = std::snprintf(out, kLineBuffer, "%02d-%02d %02d:%02d:%02d.%03d %5lld %5lld %c ", month,
                        day, hour, minute, second, millisecond, static_cast<long long>(pid),
                        static_cast<long long>(tid), level_letter(level));
  if (n < 0) n = 0;
  if (n > kMaxText) n = kMaxText;
  int room = kMaxText - n;
  if (room > 0) {
    // vsnprintf writes at most room - 1 characters plus its terminator; the
    // extra byte of the buffer lets it fill the line up to byte 510.
    int m = std::vsnprintf(out + n, static_cast<size_t>(room) + 1, format, args);
    if (m > 0) n += m < room ? m : room;
  }
  out[n++] = '\n';
  return n;
}

}  // namespace

void log_write(int level, const char* format, ...) {
  char line[kLineBuffer];
  platform::LocalClock c = platform::local_clock_now();
  va_list args;
  va_start(args, format);
  int n = format_line(line, level, platform::process_id(), platform::thread_id(), c.month, c.day,
                      c.hour, c.minute, c.second, c.millisecond, format, args);
  va_end(args);
  if (line_writer != nullptr) {
    line_writer(line_writer_context, line, static_cast<size_t>(n));
  } else {
    platform::stderr_write(line, static_cast<size_t>(n));
  }
}

void log_set_line_writer(LogLineWriter writer, void* context) {
  line_writer = writer;
  line_writer_context = context;
}

int log_format_line(char* out, int level, int64_t pid, int64_t tid, int month, int day, int hour,
                    int minute, int second, int millisecond, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = format_line(out, level, pid, tid, month, day, hour, minute, second, millisecond, format,
                      args);
  va_end(args);
  return n;
}

}  // namespace quillon
