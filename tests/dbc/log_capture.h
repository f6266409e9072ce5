// Captures the log lines written while it lives, at a chosen threshold.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "support/log.h"

namespace quillon::testing_support {

class LogCapture {
 public:
  explicit LogCapture(int threshold = LOG_VERBOSE) {
    log_set_threshold(threshold);
    ::testing::internal::CaptureStderr();
  }
  ~LogCapture() {
    if (!taken_) ::testing::internal::GetCapturedStderr();
    log_set_threshold(LOG_NONE);
  }
  std::string text() {
    taken_ = true;
    log_set_threshold(LOG_NONE);
    return ::testing::internal::GetCapturedStderr();
  }

 private:
  bool taken_ = false;
};

// Logged lines without their time and process ids: level and message each.
inline std::string log_messages(const std::string& log) {
  std::string out;
  size_t start = 0;
  while (start < log.size()) {
    size_t end = log.find('\n', start);
    if (end == std::string::npos) end = log.size();
    size_t field = start;
    // Fields are padded with spaces: a run of them is one separator.
    for (int skip = 0; skip < 4 && field < end; ++skip) {
      while (field < end && log[field] == ' ') ++field;
      while (field < end && log[field] != ' ') ++field;
    }
    while (field < end && log[field] == ' ') ++field;
    out.append(log, field, end - field);
    out += '\n';
    start = end + 1;
  }
  return out;
}

}  // namespace quillon::testing_support
