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

}  // namespace quillon::testing_support
