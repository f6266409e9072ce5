#include "input/folder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "support/log.h"
#include "test_util.h"

namespace quillon {
namespace {

TEST(RootedFolder, CreateNeedsAnExistingFolderEndingInSlash) {
  test::TempDir dir;
  dir.write("file.txt", "x");
  EXPECT_TRUE(RootedFolder::create(dir.root()));
  EXPECT_FALSE(RootedFolder::create(dir.path().string()));
  EXPECT_FALSE(RootedFolder::create(dir.root() + "file.txt/"));
  EXPECT_FALSE(RootedFolder::create(dir.root() + "missing/"));
  EXPECT_FALSE(RootedFolder::create(""));
}

TEST(RootedFolder, StatKindsAndSizes) {
  test::TempDir dir;
  dir.write("a b/ü.txt", "12345");
  auto f = RootedFolder::create(dir.root());
  StatResult st;
  ASSERT_TRUE(f->stat("a b/ü.txt", st));
  EXPECT_EQ(st.kind, kFile);
  EXPECT_EQ(st.size, 5);
  ASSERT_TRUE(f->stat("a b", st));
  EXPECT_EQ(st.kind, kFolder);
  EXPECT_EQ(st.size, 0);
  ASSERT_TRUE(f->stat("nothing", st));
  EXPECT_EQ(st.kind, kNotFound);
  ASSERT_TRUE(f->stat("a b/ü.txt/below", st));  // a file where a folder is expected
  EXPECT_EQ(st.kind, kNotFound);
}

TEST(RootedFolder, ListsFilesAndFoldersInByteOrder) {
  test::TempDir dir;
  std::vector<std::string> written = {"B.TXT", "a.txt", "00000010.TXT", "00000002.TXT", "\xc3\xa9"};
#ifndef _WIN32
  // Names that differ only in case are one file on Windows.
  written.push_back("b.txt");
#endif
  for (const std::string& name : written) dir.write(name, "x");
  dir.mkdir("sub");
  auto f = RootedFolder::create(dir.root());
  FolderListing listing;
  ASSERT_TRUE(f->list("", listing));
  std::vector<std::string> names;
  for (const auto& [name, st] : listing) names.push_back(name);
  std::vector<std::string> expected = {"00000002.TXT", "00000010.TXT", "B.TXT",
                                       "a.txt",        "sub",          "\xc3\xa9"};
#ifndef _WIN32
  expected.insert(expected.begin() + 4, "b.txt");
#endif
  EXPECT_EQ(names, expected);
  EXPECT_EQ(listing["sub"].kind, kFolder);
  EXPECT_FALSE(f->list("missing", listing));
  EXPECT_TRUE(listing.empty());
}

TEST(RootedFolder, OpenFolderGoesFolderByFolderAndStopsAtALink) {
#ifdef _WIN32
  GTEST_SKIP() << "making a symbolic link needs a privilege on Windows";
#else
  test::TempDir dir, elsewhere;
  dir.mkdir("a");
  std::filesystem::create_symlink(elsewhere.path(), dir.path() / "a/l");
  // The root itself may be reached through a link.
  std::filesystem::create_symlink(dir.path(), elsewhere.path() / "root");
  auto f = RootedFolder::create(elsewhere.root() + "root/");
  ASSERT_TRUE(f);
  std::vector<std::string> created;
  PathFault fault;
  EXPECT_TRUE(f->open_folder("a//b/c/", &created, fault));
  EXPECT_EQ(created, (std::vector<std::string>{"a//b", "a//b/c"}));
  EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "a/b/c"));
  EXPECT_TRUE(f->open_folder("", nullptr, fault));

  created.clear();
  EXPECT_FALSE(f->open_folder("a/l/x", &created, fault));
  EXPECT_EQ(fault.kind, platform::Outcome::kLink);
  EXPECT_EQ(fault.path, elsewhere.root() + "root/a/l");
  EXPECT_TRUE(created.empty());
  EXPECT_FALSE(std::filesystem::exists(elsewhere.path() / "x"));
  EXPECT_FALSE(f->open_folder("a/none", nullptr, fault));  // nothing made without a list
  EXPECT_EQ(fault.kind, platform::Outcome::kFailed);
  EXPECT_EQ(platform::error_text(fault.error), "No such file or directory");
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "a/none"));
#endif
}

TEST(RootedFolder, ListingLeavesOutDanglingLinks) {
#ifdef _WIN32
  GTEST_SKIP() << "making a symbolic link needs a privilege on Windows";
#else
  test::TempDir dir;
  dir.write("a.txt", "x");
  std::filesystem::create_symlink(dir.path() / "gone", dir.path() / "dangling");
  auto f = RootedFolder::create(dir.root());
  FolderListing listing;
  ASSERT_TRUE(f->list("", listing));
  EXPECT_EQ(listing.size(), 1u);
  EXPECT_EQ(listing.count("a.txt"), 1u);
#endif
}

TEST(RootedFolder, MakeFoldersRemoveOpenAndFullPath) {
  test::TempDir dir;
  dir.write("blocker", "x");
  auto f = RootedFolder::create(dir.root());
  EXPECT_TRUE(f->make_folders("x/y//z/"));
  EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "x/y/z"));
  EXPECT_TRUE(f->make_folders("x/y"));
  EXPECT_FALSE(f->make_folders("blocker/inner"));

  auto w = f->open("x/y/z/out.csv", 2);
  ASSERT_TRUE(w);
  EXPECT_EQ(w->write("abc", 3), 3);
  EXPECT_EQ(w->close(), 0);
  EXPECT_EQ(dir.read("x/y/z/out.csv"), "abc");
  auto r = f->open("x/y/z/out.csv", 1);
  ASSERT_TRUE(r);
  EXPECT_FALSE(f->open("x/y/z/out.csv", 3));
  EXPECT_FALSE(f->open("missing", 1));
  // Closed first: on Windows a file still open elsewhere keeps its name
  // until the last handle goes, so the second removal would not fail there.
  r.reset();

  EXPECT_TRUE(f->remove("x/y/z/out.csv"));
  EXPECT_FALSE(f->remove("x/y/z/out.csv"));

  EXPECT_EQ(f->full_path("a/b"), dir.root() + "a/b");
  EXPECT_EQ(f->full_path(".."), dir.root());
  std::string s = "prefix:";
  f->full_path("c", s);
  EXPECT_EQ(s, "prefix:" + dir.root() + "c");
}

class Normalize : public ::testing::Test {
 protected:
  void SetUp() override {
    dir.mkdir("logs");
    dir.write("logs/00000001.TXT", "x");
  }
  test::TempDir dir;
};

TEST_F(Normalize, SeparatorsAndFolderSlash) {
  test::ScopedCwd cwd(dir.path());
  std::string root = dir.root();
  EXPECT_EQ(normalize_input_path("logs"), root + "logs/");
  EXPECT_EQ(normalize_input_path("logs/"), root + "logs/");
  EXPECT_EQ(normalize_input_path("logs\\00000001.TXT"), root + "logs/00000001.TXT");
  EXPECT_EQ(normalize_input_path("logs//00000001.TXT"), root + "logs/00000001.TXT");
  EXPECT_EQ(normalize_input_path("logs/00000001.TXT/"), root + "logs/00000001.TXT");
  EXPECT_EQ(normalize_input_path("missing"), root + "missing");
  EXPECT_EQ(normalize_input_path("missing/"), root + "missing/");
}

TEST_F(Normalize, AbsolutePathsKeepTheirRoot) {
  test::ScopedCwd cwd(dir.path() / "logs");
  EXPECT_EQ(normalize_input_path(dir.root() + "logs"), dir.root() + "logs/");
  // Drive letters count as absolute everywhere; a bare drive gets its "/".
  EXPECT_EQ(normalize_input_path("C:\\data\\x.txt"), "C:/data/x.txt");
  EXPECT_EQ(normalize_input_path("c:"), "c:/");
}

TEST_F(Normalize, DotDotIsTheParentFolder) {
  test::ScopedCwd cwd(dir.path() / "logs");
  std::string got = normalize_input_path("..");
  EXPECT_EQ(got, dir.root() + "logs/../");
  EXPECT_EQ(std::filesystem::canonical(got), std::filesystem::canonical(dir.path()));
}

}  // namespace
}  // namespace quillon
