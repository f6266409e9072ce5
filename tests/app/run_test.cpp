#include "app/run.h"

#include <gtest/gtest.h>

namespace quillon {
namespace {

const std::string kDashes(79, '-');

TEST(Summaries, RunWithZeros) {
  RunCounters c;
  std::string expected = kDashes + "\nReader summary\n- Files: 0\n- Messages: 0\n- Size: 0 MB\n" +
                         kDashes +
                         "\nTransport protocol summary\n- Successful sessions: 0\n- Failed "
                         "sessions: 0\n- Unfinished sessions: 0\n" +
                         kDashes + "\nWriter summary\n- Files: 0\n- Messages: 0\n- Signals: 0\n" +
                         kDashes + "\nExecution time: 0 s\n" + kDashes + "\n";
  EXPECT_EQ(format_summaries(c), expected);
}

TEST(Summaries, SizeIsWholeMebibytesAndTimeIsTruncated) {
  RunCounters c;
  c.reader_bytes = (3ull << 20) - 1;
  c.elapsed_ms = 1999;
  c.writer_signals = 18446744073709551615ull;
  std::string s = format_summaries(c);
  EXPECT_NE(s.find("- Size: 2 MB\n"), std::string::npos);
  EXPECT_NE(s.find("Execution time: 1 s\n"), std::string::npos);
  EXPECT_NE(s.find("- Signals: 18446744073709551615\n"), std::string::npos);
  c.reader_bytes = (1ull << 20) - 1;
  c.elapsed_ms = 999;
  s = format_summaries(c);
  EXPECT_NE(s.find("- Size: 0 MB\n"), std::string::npos);
  EXPECT_NE(s.find("Execution time: 0 s\n"), std::string::npos);
}

}  // namespace
}  // namespace quillon
