// What holds on Windows only: entries are reached through the held folder's
// path, so a name must be one entry. (That a held folder cannot be renamed
// or removed holds on Windows but not under Wine, so it is not asserted.)
#ifdef _WIN32

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "platform/platform.h"
#include "test_util.h"

namespace quillon::platform {
namespace {

TEST(PlatformWindows, ANameIsOneEntryOfTheFolder) {
  test::TempDir dir;
  dir.write("a/f.csv", "keep");
  int error = 0;
  std::unique_ptr<Folder> root(Folder::open(dir.root(), error));
  ASSERT_TRUE(root);
  Outcome o;
  // ":" would name a stream of another file; the rest would leave the folder.
  for (const char* name : {"", ".", "..", "a/f.csv", "a\\f.csv", "a:f.csv", "..\\x"}) {
    EXPECT_FALSE(root->open_file(name, false, o)) << name;
    EXPECT_EQ(o.kind, Outcome::kFailed) << name;
    EXPECT_EQ(error_text(o.error), "Invalid argument") << name;
    EXPECT_FALSE(root->open_folder(name, true, o)) << name;
    EXPECT_EQ(o.kind, Outcome::kFailed) << name;
  }
  EXPECT_FALSE(root->remove_file("a\\f.csv", error));
  EXPECT_EQ(dir.read("a/f.csv"), "keep");
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "a:f.csv"));
  // A device name is a plain entry below a folder, not the device.
  std::unique_ptr<File> f(root->open_file("NUL", false, o));
  ASSERT_TRUE(f);
  EXPECT_EQ(f->write("x", 1), 1u);
  EXPECT_EQ(f->close(), 0);
  FileId id;
  EXPECT_TRUE(root->entry_id("NUL", id));
  EXPECT_TRUE(root->remove_file("NUL", error));
}

TEST(PlatformWindows, PathsBeyondTheOldLengthLimit) {
  test::TempDir dir;
  int error = 0;
  std::unique_ptr<Folder> folder(Folder::open(dir.root(), error));
  ASSERT_TRUE(folder);
  const std::string name(60, 'd');
  Outcome o;
  std::string relative;
  for (int i = 0; i < 6; ++i) {  // well past 260 characters
    folder.reset(folder->open_folder(name, true, o));
    ASSERT_TRUE(folder) << i;
    EXPECT_EQ(o.kind, Outcome::kCreated);
    relative += name + "/";
  }
  std::unique_ptr<File> f(folder->open_file("deep.csv", false, o));
  ASSERT_TRUE(f);
  EXPECT_EQ(f->write("deep\n", 5), 5u);
  EXPECT_TRUE(f->sync());
  EXPECT_EQ(f->close(), 0);
  EXPECT_TRUE(folder->sync(error));
  StatResult st;
  ASSERT_TRUE(stat_path(dir.root() + relative + "deep.csv", st));
  EXPECT_EQ(st.kind, kFile);
  EXPECT_EQ(st.size, 5);
}

TEST(PlatformWindows, OpenFileLimitReachesTheRunTimesCeiling) {
  // msvcrt stops at 2048, newer run-times at 8192; either is reached quietly.
  int64_t limit = raise_open_file_limit(8192);
  EXPECT_GE(limit, 2048);
  EXPECT_LE(limit, 8192);
  EXPECT_EQ(raise_open_file_limit(8192), limit);
  EXPECT_EQ(raise_open_file_limit(100), limit);
}

TEST(PlatformWindows, ConsoleEventsAreCaughtQuietly) {
  catch_interrupts();
  EXPECT_EQ(interrupt_signal(), 0);
}

}  // namespace
}  // namespace quillon::platform

#endif  // _WIN32
