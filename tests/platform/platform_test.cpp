#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <random>
#include <string>

#include "platform/calendar.h"
#include "test_util.h"

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

// The reference counts days one year and one month at a time.
int64_t naive_civil_to_seconds(int64_t y, int64_t mo, int64_t d, int64_t h, int64_t mi, int64_t s) {
  for (; mo < 1; mo += 12) --y;
  for (; mo > 12; mo -= 12) ++y;
  auto leap = [](int64_t k) { return (k % 4 == 0 && k % 100 != 0) || k % 400 == 0; };
  static const int kMonthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  int64_t days = 0;
  for (int64_t k = 1970; k < y; ++k) days += leap(k) ? 366 : 365;
  for (int64_t k = y; k < 1970; ++k) days -= leap(k) ? 366 : 365;
  for (int64_t k = 1; k < mo; ++k) days += kMonthDays[k - 1] + (k == 2 && leap(y) ? 1 : 0);
  return (days + d - 1) * 86400 + h * 3600 + mi * 60 + s;
}

TEST(Calendar, ToSecondsMatchesDayCountingAlsoOutOfRange) {
  std::mt19937 rng(42);
  for (int i = 0; i < 20000; ++i) {
    int y = 1900 + static_cast<int>(rng() % 300), mo = static_cast<int>(rng() % 100),
        d = static_cast<int>(rng() % 100), h = static_cast<int>(rng() % 100),
        mi = static_cast<int>(rng() % 100), s = static_cast<int>(rng() % 100);
    const int64_t want = naive_civil_to_seconds(y, mo, d, h, mi, s);
    ASSERT_EQ(civil_to_seconds(y, mo, d, h, mi, s), want)
        << y << '-' << mo << '-' << d << ' ' << h << ':' << mi << ':' << s << " seed 42";
    ASSERT_EQ(utc_seconds(y, mo, d, h, mi, s), want);
  }
}

TEST(Calendar, FromSecondsMatchesTheCLibraryAndRoundTrips) {
  std::mt19937_64 rng(7);
  for (int i = 0; i < 20000; ++i) {
    // Years 1 to 9999 and a few around the epoch.
    const int64_t t = i < 100 ? i * 86399 - 50 * 86399
                              : static_cast<int64_t>(rng() % 315537897600ULL) - 62135596800LL;
    const std::time_t tt = static_cast<std::time_t>(t);
    const Civil c = civil_from_seconds(t);
    ASSERT_EQ(civil_to_seconds(c.year, c.month, c.day, c.hour, c.minute, c.second), t);
    const std::tm* tm = std::gmtime(&tt);
#ifdef _WIN32
    // The Windows C run-time converts only 1970 to 3000.
    if (tm == nullptr && (t < 0 || t > 32535215999)) continue;
#endif
    ASSERT_NE(tm, nullptr);
    ASSERT_EQ(c.year, tm->tm_year + 1900) << t;
    ASSERT_EQ(c.month, tm->tm_mon + 1) << t;
    ASSERT_EQ(c.day, tm->tm_mday) << t;
    ASSERT_EQ(c.hour * 3600 + c.minute * 60 + c.second,
              tm->tm_hour * 3600 + tm->tm_min * 60 + tm->tm_sec)
        << t;
    ASSERT_EQ(civil_to_seconds(c.year, c.month, c.day, c.hour, c.minute, c.second), t);
    ASSERT_EQ(utc_civil(t).day, tm->tm_mday);
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

TEST(Platform, FolderWorkOpensMakesCutsAndRemoves) {
  quillon::test::TempDir dir;
  dir.write("real/f.csv", "old");
  int error = 0;
  std::unique_ptr<Folder> root(Folder::open(dir.root(), error));
  ASSERT_TRUE(root);
  EXPECT_FALSE(Folder::open(dir.root() + "none", error));
  EXPECT_EQ(error_text(error), "No such file or directory");

  Outcome o;
  std::unique_ptr<Folder> real(root->open_folder("real", false, o));
  ASSERT_TRUE(real);
  EXPECT_EQ(o.kind, Outcome::kOpened);
  EXPECT_FALSE(root->open_folder("new", false, o));
  EXPECT_EQ(o.kind, Outcome::kFailed);
  std::unique_ptr<Folder> made(root->open_folder("new", true, o));
  EXPECT_TRUE(made);
  EXPECT_EQ(o.kind, Outcome::kCreated);
  // Appending never creates: a file removed behind our back stays removed.
  EXPECT_FALSE(made->open_file("x.csv", true, o));
  EXPECT_EQ(o.kind, Outcome::kFailed);
  // A file where a folder is wanted, as an output path may meet.
  EXPECT_FALSE(real->open_folder("f.csv", true, o));
  EXPECT_EQ(o.kind, Outcome::kFailed);
  EXPECT_EQ(error_text(o.error), "Not a directory");

  // Write, cut back past buffered data, append, and tell the file apart.
  std::unique_ptr<File> f(real->open_file("f.csv", false, o));
  ASSERT_TRUE(f);
  EXPECT_EQ(o.kind, Outcome::kCreated);
  EXPECT_EQ(f->write("abcdef", 6), 6u);
  EXPECT_TRUE(f->sync());
  EXPECT_EQ(f->size(), 6);
  EXPECT_EQ(f->write("ghi", 3), 3u);  // still buffered
  EXPECT_TRUE(f->truncate(4));
  EXPECT_EQ(f->close(), 0);
  EXPECT_EQ(dir.read("real/f.csv"), "abcd");
  f.reset(real->open_file("f.csv", true, o));
  ASSERT_TRUE(f);
  EXPECT_EQ(o.kind, Outcome::kOpened);
  EXPECT_EQ(f->size(), 4);
  FileId held, entry, other;
  ASSERT_TRUE(f->id(held));
  f->write("XY", 2);
  f->abandon();  // what was buffered is dropped
  EXPECT_EQ(dir.read("real/f.csv"), "abcd");
  ASSERT_TRUE(real->entry_id("f.csv", entry));
  EXPECT_EQ(held, entry);
  dir.write("real/g.csv", "");
  ASSERT_TRUE(real->entry_id("g.csv", other));
  EXPECT_NE(held, other);
  EXPECT_FALSE(real->entry_id("none", other));

  EXPECT_FALSE(root->remove_folder("real", error));  // not empty
  EXPECT_TRUE(real->remove_file("f.csv", error));
  EXPECT_TRUE(real->remove_file("g.csv", error));
  EXPECT_FALSE(real->remove_file("f.csv", error));
  EXPECT_EQ(error_text(error), "No such file or directory");
  EXPECT_TRUE(real->sync(error));
  // Let go first: on Windows a folder held open cannot be removed.
  made.reset();
  EXPECT_TRUE(root->remove_folder("new", error));
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "new"));
}

TEST(Platform, FolderWorkNeverFollowsALink) {
#ifdef _WIN32
  GTEST_SKIP() << "making a symbolic link or junction needs a privilege on Windows, and the "
                  "run-time here cannot make one";
#endif
  quillon::test::TempDir dir;
  dir.write("real/f.csv", "old");
  dir.write("elsewhere/victim", "precious");
  std::filesystem::create_symlink(dir.path() / "elsewhere", dir.path() / "real/linked");
  std::filesystem::create_symlink(dir.path() / "elsewhere/victim", dir.path() / "real/l.csv");
  int error = 0;
  std::unique_ptr<Folder> root(Folder::open(dir.root(), error));
  ASSERT_TRUE(root);

  Outcome o;
  std::unique_ptr<Folder> real(root->open_folder("real", false, o));
  ASSERT_TRUE(real);
  EXPECT_FALSE(real->open_folder("linked", true, o));
  EXPECT_EQ(o.kind, Outcome::kLink);
  EXPECT_FALSE(real->open_file("l.csv", false, o));
  EXPECT_EQ(o.kind, Outcome::kLink);
  EXPECT_FALSE(real->open_file("l.csv", true, o));
  EXPECT_EQ(o.kind, Outcome::kLink);
  EXPECT_EQ(dir.read("elsewhere/victim"), "precious");

  FileId held, other;
  ASSERT_TRUE(real->entry_id("f.csv", held));
  ASSERT_TRUE(real->entry_id("l.csv", other));  // the link itself
  EXPECT_NE(held, other);
  ASSERT_TRUE(real->entry_id("linked", other));
  EXPECT_NE(held, other);
  EXPECT_TRUE(real->remove_file("l.csv", error));
  EXPECT_EQ(dir.read("elsewhere/victim"), "precious");
}

TEST(Platform, CreatingAFileMovesAnEarlierOneAsideNeverEmptiesIt) {
  quillon::test::TempDir dir;
  dir.write("f.csv", "earlier");
  dir.write("f.csv.old", "stale");
  dir.write("elsewhere/victim", "precious");
  dir.mkdir("d.csv");
  // The run-time on Windows cannot make a symbolic link (and making one
  // needs a privilege there): the link cases run elsewhere only.
#ifndef _WIN32
  std::filesystem::create_symlink(dir.path() / "elsewhere/victim", dir.path() / "l.csv");
#endif
  std::filesystem::create_hard_link(dir.path() / "f.csv", dir.path() / "hard");
  int error = 0;
  std::unique_ptr<Folder> root(Folder::open(dir.root(), error));
  ASSERT_TRUE(root);
  Outcome o;

  std::unique_ptr<File> f(root->create_file("new.csv", "new.csv.old", o));
  ASSERT_TRUE(f);
  EXPECT_EQ(o.kind, Outcome::kCreated);
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "new.csv.old"));

  // The earlier file keeps its content under the aside name (replacing a
  // stale one); a hard link to it still sees that content.
  f.reset(root->create_file("f.csv", "f.csv.old", o));
  ASSERT_TRUE(f);
  EXPECT_EQ(o.kind, Outcome::kReplaced);
  EXPECT_EQ(f->write("new", 3), 3u);
  EXPECT_EQ(f->close(), 0);
  EXPECT_EQ(dir.read("f.csv"), "new");
  EXPECT_EQ(dir.read("f.csv.old"), "earlier");
  EXPECT_EQ(dir.read("hard"), "earlier");
  EXPECT_TRUE(root->rename_entry("f.csv.old", "f.csv", error));
  EXPECT_EQ(dir.read("f.csv"), "earlier");
  EXPECT_FALSE(root->rename_entry("absent", "f.csv", error));
  EXPECT_EQ(error_text(error), "No such file or directory");

  // A link or a folder in the way is left as it is.
#ifndef _WIN32
  EXPECT_FALSE(root->create_file("l.csv", "l.csv.old", o));
  EXPECT_EQ(o.kind, Outcome::kLink);
  EXPECT_TRUE(std::filesystem::is_symlink(dir.path() / "l.csv"));
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "l.csv.old"));
#endif
  EXPECT_FALSE(root->create_file("d.csv", "d.csv.old", o));
  EXPECT_EQ(o.kind, Outcome::kFailed);
  EXPECT_EQ(error_text(o.error), "Is a directory");
  EXPECT_EQ(dir.read("elsewhere/victim"), "precious");
  EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "d.csv"));

  // The aside cannot be taken (a folder is there): the earlier file stays.
  dir.mkdir("g.csv.old/x");
  dir.write("g.csv", "keep");
  EXPECT_FALSE(root->create_file("g.csv", "g.csv.old", o));
  EXPECT_EQ(o.kind, Outcome::kFailed);
  EXPECT_EQ(dir.read("g.csv"), "keep");
}

TEST(Platform, StatTellsDanglingLinksAndReasons) {
#ifdef _WIN32
  GTEST_SKIP() << "making a symbolic link needs a privilege on Windows, and the run-time here "
                  "cannot make one";
#endif
  quillon::test::TempDir dir;
  std::filesystem::create_symlink("gone", dir.path() / "dangling");
  std::filesystem::create_symlink("loop", dir.path() / "loop");
  StatResult st;
  ASSERT_TRUE(stat_path(dir.root() + "dangling", st));
  EXPECT_EQ(st.kind, kNotFound);
  EXPECT_TRUE(st.dangling);
  ASSERT_TRUE(stat_path(dir.root() + "absent", st));
  EXPECT_FALSE(st.dangling);
  EXPECT_FALSE(stat_path(dir.root() + "loop", st));
  EXPECT_EQ(error_text(st.error), "Too many levels of symbolic links");
}

TEST(Platform, SlabsAreWholeWritableAndApart) {
  // Both kinds: every byte writable and kept, the blocks apart, and a large
  // page block aligned to its size wherever large pages are asked for.
  void* slabs[4] = {allocate_slab(false), allocate_slab(true), allocate_slab(true),
                    allocate_slab(false)};
  for (int i = 0; i < 4; ++i) {
    ASSERT_NE(slabs[i], nullptr) << i;
    std::memset(slabs[i], 'a' + i, kSlabBytes);
  }
#if defined(__linux__)
  for (int i : {1, 2}) EXPECT_EQ(reinterpret_cast<uintptr_t>(slabs[i]) % kSlabBytes, 0u) << i;
#endif
  for (int i = 0; i < 4; ++i) {
    const char* p = static_cast<const char*>(slabs[i]);
    for (size_t at = 0; at < kSlabBytes; at += 4093) ASSERT_EQ(p[at], 'a' + i) << i << " " << at;
    EXPECT_EQ(p[kSlabBytes - 1], 'a' + i) << i;
    free_slab(slabs[i]);
  }
  free_slab(nullptr);  // nothing to give back
}

}  // namespace
}  // namespace quillon::platform
