// Diagnostics on standard error: one line per message, with a prefix of local
// time, process id, thread id and level letter.
//
// log_write does not test the level; callers do, before formatting anything.
// Use QLOG(level, format, ...) so that every call site reads the same and a
// suppressed message costs one comparison.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/printf_format.h"

namespace quillon {

constexpr int LOG_VERBOSE = 1;
constexpr int LOG_DEBUG = 2;
constexpr int LOG_INFO = 3;
constexpr int LOG_WARN = 4;
constexpr int LOG_ERROR = 5;
constexpr int LOG_FATAL = 6;
constexpr int LOG_NONE = 255;  // no level reaches it

// Starts at LOG_NONE: nothing is written until the command line was accepted.
extern int32_t log_threshold;

inline void log_set_threshold(int32_t value) {
  log_threshold = value;
}
inline bool log_enabled(int level) {
  return log_threshold <= level;
}

// Formats and writes one line of at most 510 bytes of text plus "\n" with a
// single unbuffered write. Never fails visibly.
void log_write(int level, const char* format, ...) QUILLON_PRINTF_FORMAT(2, 3);

// Where log lines go instead of standard error while a status line shares
// the terminal: the writer gets each whole line (with its "\n") and writes
// it itself, clearing and redrawing its own line around it. Set and reset
// only while no other thread logs; null restores plain writes.
using LogLineWriter = void (*)(void* context, const char* line, size_t n);
void log_set_line_writer(LogLineWriter writer, void* context);

// Builds the line without writing it; gives its length. For tests.
int log_format_line(char* out, int level, int64_t pid, int64_t tid, int month, int day, int hour,
                    int minute, int second, int millisecond, const char* format, ...)
    QUILLON_PRINTF_FORMAT(11, 12);

}  // namespace quillon

#define QLOG(level, ...)                                                         \
  do {                                                                           \
    if (::quillon::log_enabled(level)) ::quillon::log_write(level, __VA_ARGS__); \
  } while (0)
