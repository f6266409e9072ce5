// The walk's one listing against what the conversion loop does with it: the
// logs it lists are the logs the loop reaches, in the same order, for a
// serial run and for the plan of a run on threads alike; its totals are the
// loop's; the entries it tells of (links to nothing, entries that cannot be
// looked at) are told where the walk reaches them, between conversions.
#include "input/input_walk.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "input/conversion_loop.h"
#include "support/log.h"
#include "test_util.h"

namespace quillon {
namespace {

std::string log_of(const std::string& logger, int session, int split, int frames) {
  std::string log = "# Logger ID: " + logger + "\n";
  if (session > 0) log += "# Session No.: " + std::to_string(session) + "\n";
  log += "# Split No.: " + std::to_string(split) +
         "\n# Time: 20200101T120000\n# Value separator: \";\"\n# Time format: 3\n"
         "Timestamp;Type;ID;Length;Data\n";
  for (int i = 0; i < frames; ++i) {
    char line[64];
    std::snprintf(line, sizeof line, "1200%02d%03d;1;18FEF100;8;0102030405060708\n", i / 10,
                  i % 10 * 100);
    log += line;
  }
  return log;
}

// Tells each conversion in the log, so that its place among the walk's own
// lines shows.
class TellingSink : public FrameSink {
 public:
  std::vector<std::string> starts;  // input path, and "cont" for a continuation
  bool on_file_start(const FileRecord& file, bool continuation) override {
    QLOG(LOG_WARN, "converting %s", file.input_path.c_str());
    starts.push_back(file.input_path + (continuation ? " cont" : ""));
    return true;
  }
  bool on_frame(Frame&) override { return true; }
  bool on_file_end(const FileRecord&) override { return true; }
};

class PathListener : public ProgressListener {
 public:
  uint64_t files = 0, bytes = 0;
  std::vector<std::string> reached;
  void run_started(uint64_t f, uint64_t b) override {
    files = f;
    bytes = b;
  }
  void file_started(const std::string& path, uint64_t) override { reached.push_back(path); }
  void advanced(uint64_t, uint64_t) override {}
  void file_finished(const std::string&, bool) override {}
  void run_finished() override {}
};

// The text of each log line, from the level letter on.
std::vector<std::string> log_texts(const std::string& err) {
  std::vector<std::string> texts;
  std::istringstream in(err);
  for (std::string line; std::getline(in, line);) {
    size_t at = 0;
    for (int field = 0; field < 4 && at != std::string::npos; ++field) {
      at = line.find_first_not_of(' ', at);
      at = at == std::string::npos ? at : line.find(' ', at);
    }
    texts.push_back(at == std::string::npos ? line : line.substr(at + 1));
  }
  return texts;
}

class InputWalk : public ::testing::Test {
 protected:
  void SetUp() override {
    // Nested folders in byte order, names the walk passes over, a folder
    // named like a log, a log whose header does not read, a repeated
    // split, a continuation, and two loggers.
    dir.write("logs/a/1.txt", log_of("L", 1, 1, 3));
    dir.write("logs/a/2.TXT", log_of("L", 1, 2, 2));
    dir.write("logs/a/2r.txt", log_of("L", 1, 2, 2));
    dir.write("logs/a/notes.csv", "x");
    dir.write("logs/b/broken.txt", log_of("L", 0, 1, 2));
    dir.write("logs/b/dir.txt/inner.Txt", log_of("M", 4, 1, 5));
    dir.write("logs/c/3.txt", log_of("M", 5, 1, 1));
    dir.write("single.txt", log_of("M", 5, 2, 4));
#ifndef _WIN32
    // Links that cannot be followed: to nothing, and to itself (ELOOP).
    std::filesystem::create_symlink("gone.txt", dir.path() / "logs/b/dangling.txt");
    std::filesystem::create_symlink("self.txt", dir.path() / "logs/b/self.txt");
    std::filesystem::create_symlink("../a", dir.path() / "logs/c/linked");
#endif
  }

  // A run or a plan with a fresh loop, its log lines captured.
  int walk(bool planning, std::vector<PlannedLog>* planned = nullptr) {
    auto loop = ConversionLoop::create(folder.get(), folder.get(), options, &sink);
    EXPECT_TRUE(loop);
    loop->set_progress(&listener);
    int32_t saved = log_threshold;
    log_set_threshold(LOG_WARN);
    testing::internal::CaptureStderr();
    bool stopped = false;
    std::vector<PlannedLog> logs;
    int status = planning ? loop->plan(inputs, logs, stopped) : loop->run(inputs);
    lines = log_texts(testing::internal::GetCapturedStderr());
    log_set_threshold(saved);
    files = loop->files();
    bytes = loop->bytes();
    if (planned != nullptr) *planned = std::move(logs);
    return status;
  }

  test::TempDir dir;
  std::unique_ptr<RootedFolder> folder = RootedFolder::create(dir.root());
  ConversionOptions options;
  std::vector<std::string> inputs = {"logs/", "missing/", "single.txt"};
  TellingSink sink;
  PathListener listener;
  std::vector<std::string> lines;
  uint64_t files = 0, bytes = 0;
};

TEST_F(InputWalk, TheLoopReachesTheLogsOfTheListingInItsOrder) {
  InputListing listing;
  ASSERT_TRUE(list_inputs(*folder, inputs, options.no_append_root, listing));
  std::vector<std::string> listed;
  uint64_t listed_bytes = 0;
  for (const WalkEntry& entry : listing.entries) {
    if (entry.kind != WalkEntry::Kind::kLog) continue;
    listed.push_back(entry.input);
    listed_bytes += static_cast<uint64_t>(entry.size);
  }
  // Links into a folder are walked as the folder they lead to.
  std::vector<std::string> expected = {"logs/a/1.txt",
                                       "logs/a/2.TXT",
                                       "logs/a/2r.txt",
                                       "logs/b/broken.txt",
                                       "logs/b/dir.txt/inner.Txt",
                                       "logs/c/3.txt",
#ifndef _WIN32
                                       "logs/c/linked/1.txt",
                                       "logs/c/linked/2.TXT",
                                       "logs/c/linked/2r.txt",
#endif
                                       "single.txt"};
  EXPECT_EQ(listed, expected);
  EXPECT_EQ(listing.log_files, listed.size());
  EXPECT_EQ(listing.log_bytes, listed_bytes);

  // A serial run reaches every listed log in that order, and counts them;
  // the progress totals are the listing's.
  const int status = walk(false);
  EXPECT_EQ(listener.reached, listed);
  EXPECT_EQ(listener.files, listing.log_files);
  EXPECT_EQ(listener.bytes, listing.log_bytes);
  EXPECT_EQ(files, listing.log_files);
  EXPECT_EQ(bytes, listing.log_bytes);
  const std::vector<std::string> run_lines = lines;
  const std::vector<std::string> converted = sink.starts;

  // The plan keeps the logs the run converts, with the same continuations,
  // and tells the same in the same order, but for the conversions.
  std::vector<PlannedLog> planned;
  sink.starts.clear();
  EXPECT_EQ(walk(true, &planned), status);
  EXPECT_TRUE(sink.starts.empty());
  std::vector<std::string> kept;
  for (const PlannedLog& log : planned) {
    kept.push_back(log.file.input_path + (log.continuation ? " cont" : ""));
  }
  EXPECT_EQ(kept, converted);
  EXPECT_EQ(files, listing.log_files);
  EXPECT_EQ(bytes, listing.log_bytes);
  std::vector<std::string> told;
  for (const std::string& line : run_lines) {
    if (line.find(" converting ") == std::string::npos) told.push_back(line);
  }
  EXPECT_EQ(lines, told);
}

TEST_F(InputWalk, WhatTheWalkTellsOfComesWhereItIsReached) {
#ifndef _WIN32
  EXPECT_EQ(walk(false), 1 | 8 | 129);
#else
  EXPECT_EQ(walk(false), 1 | 8);
#endif
  std::vector<std::string> expected = {
      "W converting logs/a/1.txt",
      "W converting logs/a/2.TXT",
      "W Repeated input file (L, 00000001, 00000002)",
#ifndef _WIN32
      "W Skipping dangling symbolic link logs/b/dangling.txt",
      "E Error during stat of logs/b/self.txt (Too many levels of symbolic links)",
#endif
      "E Could not parse file header",
      "E Error during conversion of logs/b/broken.txt",
      "W converting logs/b/dir.txt/inner.Txt",
      "W converting logs/c/3.txt",
#ifndef _WIN32
      "W converting logs/c/linked/1.txt",
      "W converting logs/c/linked/2.TXT",
      "W Repeated input file (L, 00000001, 00000002)",
#endif
      "E Could not find input file/folder missing/",
      "W converting single.txt",
  };
  EXPECT_EQ(lines, expected);
  EXPECT_EQ(sink.starts[1], "logs/a/2.TXT cont");
}

TEST_F(InputWalk, ALogDeletedBeforeTheWalkReachesItIsToldOfAsAWalkOnReachingFindsIt) {
  // Given on its own and in its folder, and deleted once converted. The
  // listing, made before any conversion, holds it twice; the folder that
  // holds it would be listed only after it was deleted. The path given
  // again is walked once (it was looked at again, and missing, before
  // paths given twice were listed once).
  options.delete_converted = true;
  inputs = {"logs/b/dir.txt/inner.Txt", "logs/b/dir.txt/", "logs/b/dir.txt/inner.Txt"};
  EXPECT_EQ(walk(false), 0);
  EXPECT_EQ(sink.starts, std::vector<std::string>{"logs/b/dir.txt/inner.Txt"});
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "W converting logs/b/dir.txt/inner.Txt",
                       "W Input given twice: logs/b/dir.txt/inner.Txt",
                   }));
  EXPECT_EQ(files, 1u);
  EXPECT_EQ(listener.files, 2u);
}

}  // namespace
}  // namespace quillon
