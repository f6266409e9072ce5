#include "support/log.h"

#include <gtest/gtest.h>

#include <string>

namespace quillon {
namespace {

std::string line(int level, int64_t pid, int64_t tid, const char* message) {
  char buffer[512];
  int n = log_format_line(buffer, level, pid, tid, 3, 7, 9, 5, 2, 45, "%s", message);
  return std::string(buffer, static_cast<size_t>(n));
}

TEST(LogLine, PrefixIsThirtyThreeBytesWithPaddedIds) {
  std::string l = line(LOG_ERROR, 42, 12345, "hello");
  EXPECT_EQ(l, "03-07 09:05:02.045    42 12345 E hello\n");
  EXPECT_EQ(l.find("hello"), 33u);
}

TEST(LogLine, LevelLetters) {
  const char* expected = "?VDIWEF?";
  for (int level = 0; level <= 7; ++level) {
    EXPECT_EQ(line(level, 1, 1, "x")[31], expected[level]) << level;
  }
  EXPECT_EQ(line(LOG_NONE, 1, 1, "x")[31], '?');
}

TEST(LogLine, WideIdsShiftTheRestOfTheLine) {
  std::string l = line(LOG_WARN, 123456, 7, "m");
  EXPECT_EQ(l, "03-07 09:05:02.045 123456     7 W m\n");
}

TEST(LogLine, LongMessageIsCutAt510BytesOfText) {
  std::string message(600, 'a');
  std::string l = line(LOG_INFO, 1, 2, message.c_str());
  ASSERT_EQ(l.size(), 511u);
  EXPECT_EQ(l.back(), '\n');
  EXPECT_EQ(l.substr(0, 33), "03-07 09:05:02.045     1     2 I ");
  EXPECT_EQ(l.find('\r'), std::string::npos);
}

TEST(LogLine, MessageThatJustFitsIsKeptWhole) {
  std::string message(510 - 33, 'b');
  std::string l = line(LOG_INFO, 1, 2, message.c_str());
  EXPECT_EQ(l.size(), 511u);
  EXPECT_EQ(l.substr(33, message.size()), message);
}

TEST(LogLine, EmptyMessageAddsNothing) {
  EXPECT_EQ(line(LOG_FATAL, 1, 2, ""), "03-07 09:05:02.045     1     2 F \n");
}

int formatted = 0;
const char* count_format() {
  ++formatted;
  return "x";
}

TEST(LogThreshold, SuppressedMessagesAreNotFormatted) {
  int32_t saved = log_threshold;
  formatted = 0;
  log_set_threshold(LOG_NONE);
  QLOG(LOG_FATAL, "%s", count_format());
  EXPECT_EQ(formatted, 0);
  log_set_threshold(LOG_ERROR);
  QLOG(LOG_WARN, "%s", count_format());
  EXPECT_EQ(formatted, 0);
  EXPECT_TRUE(log_enabled(LOG_ERROR));
  EXPECT_TRUE(log_enabled(LOG_FATAL));
  EXPECT_FALSE(log_enabled(LOG_WARN));
  log_set_threshold(saved);
}

}  // namespace
}  // namespace quillon
