#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "platform/md5.h"

namespace quillon::platform {
namespace {

TEST(Platform, UtcCalendarRoundTrip) {
  EXPECT_EQ(utc_seconds(1970, 1, 1, 0, 0, 0), 0);
  EXPECT_EQ(utc_seconds(2020, 2, 29, 23, 59, 59), 1583020799);
  // Beyond 2038 and beyond 32-bit positions alike: 64-bit throughout.
  EXPECT_EQ(utc_seconds(2100, 1, 1, 0, 0, 0), 4102444800);
  CivilTime c = utc_civil(1583020799);
  EXPECT_EQ(c.year, 2020);
  EXPECT_EQ(c.month, 2);
  EXPECT_EQ(c.day, 29);
  EXPECT_EQ(c.hour, 23);
  EXPECT_EQ(c.minute, 59);
  EXPECT_EQ(c.second, 59);
}

TEST(Platform, UtcCalendarHoldsAcrossCenturies) {
  // Anchors outside the range some C run-times convert (1970 to 3000).
  EXPECT_EQ(utc_seconds(1900, 1, 1, 0, 0, 0), -2208988800);
  EXPECT_EQ(utc_seconds(1969, 12, 31, 23, 59, 59), -1);
  EXPECT_EQ(utc_seconds(2000, 3, 1, 0, 0, 0), 951868800);
  EXPECT_EQ(utc_seconds(9999, 12, 31, 23, 59, 59), 253402300799);
  // Fields out of range carry over.
  EXPECT_EQ(utc_seconds(2024, 13, 1, 0, 0, 0), utc_seconds(2025, 1, 1, 0, 0, 0));
  EXPECT_EQ(utc_seconds(2024, 0, 1, 0, 0, 0), utc_seconds(2023, 12, 1, 0, 0, 0));
  EXPECT_EQ(utc_seconds(2023, 2, 29, 24, 0, 60), utc_seconds(2023, 3, 2, 0, 1, 0));
  // Every 7919th second from 1600 to 10000: each date converts back to itself.
  for (int64_t s = utc_seconds(1600, 1, 1, 0, 0, 0); s < utc_seconds(10000, 1, 1, 0, 0, 0);
       s += 7919LL * 86400 + 7919) {
    CivilTime c = utc_civil(s);
    ASSERT_EQ(utc_seconds(c.year, c.month, c.day, c.hour, c.minute, c.second), s) << s;
    ASSERT_GE(c.month, 1);
    ASSERT_LE(c.month, 12);
    ASSERT_GE(c.day, 1);
    ASSERT_LE(c.day, 31);
  }
}

TEST(Platform, LocalTimeIsReadAsStandardTime) {
  const char* saved = get_env("TZ");
  std::string old = saved ? saved : "";
  // One hour east of UTC, two in summer.
  set_env("TZ", "CET-1CEST,M3.5.0,M10.5.0/3");
  EXPECT_EQ(local_seconds(2024, 1, 15, 12, 0, 0), utc_seconds(2024, 1, 15, 11, 0, 0));
  EXPECT_EQ(local_seconds(2024, 7, 15, 12, 0, 0), utc_seconds(2024, 7, 15, 11, 0, 0));
  set_env("TZ", saved ? old.c_str() : nullptr);
}

TEST(Platform, Md5KnownDigests) {
  auto hex = [](const char* text) {
    Md5 md5;
    md5.update(text, std::char_traits<char>::length(text));
    uint8_t d[16];
    md5.finish(d);
    char out[33];
    for (int i = 0; i < 16; ++i) std::snprintf(out + 2 * i, 3, "%02x", d[i]);
    return std::string(out);
  };
  EXPECT_EQ(hex(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(Platform, ProcessFacts) {
  EXPECT_GT(process_id(), 0);
  EXPECT_GT(thread_id(), 0);
  EXPECT_GE(clock_ms(), 0);
  LocalClock c = local_clock_now();
  EXPECT_GE(c.month, 1);
  EXPECT_LE(c.month, 12);
  EXPECT_LE(c.millisecond, 999);
  EXPECT_GE(raise_open_file_limit(64), 64);
}

}  // namespace
}  // namespace quillon::platform
