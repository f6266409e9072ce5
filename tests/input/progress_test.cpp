// The progress events of the conversion loop against the walk itself: the
// listing before the run finds the files and bytes the walk then converts,
// the reports add up to them file by file, and frames arrive in batches.
#include "input/progress.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "input/conversion_loop.h"
#include "input/input_walk.h"
#include "support/log.h"
#include "test_util.h"

namespace quillon {
namespace {

std::string log_of(int session, int split, int frames) {
  std::string log = "# Logger ID: P\n";
  if (session > 0) log += "# Session No.: " + std::to_string(session) + "\n";
  log += "# Split No.: " + std::to_string(split) +
         "\n# Time: 20200101T120000\n# Value separator: \";\"\n# Time format: 3\n"
         "Timestamp;Type;ID;Length;Data\n";
  for (int i = 0; i < frames; ++i) {
    char line[80];
    std::snprintf(line, sizeof line, "12%02d%02d%03d;1;18FEF100;8;0102030405060708\n",
                  i / 60000 % 60, i / 1000 % 60, i % 1000);
    log += line;
  }
  return log;
}

class AcceptingSink : public FrameSink {
 public:
  bool on_file_start(const FileRecord&, bool) override { return true; }
  bool on_frame(Frame&) override { return true; }
  bool on_file_end(const FileRecord&) override { return true; }
};

// Checks the order of the events as they come and sums them up.
class CheckingListener : public ProgressListener {
 public:
  uint64_t files_total = 0, bytes_total = 0, frames = 0, bytes = 0;
  int runs_started = 0, runs_finished = 0, files_finished = 0, converted = 0;
  std::map<std::string, uint64_t> file_bytes, file_reports;
  std::vector<std::string> errors;

  void run_started(uint64_t files, uint64_t total) override {
    if (runs_started++ != 0 || files_finished != 0) errors.push_back("run started late");
    files_total = files;
    bytes_total = total;
  }
  void file_started(const std::string& path, uint64_t size) override {
    if (!current_.empty()) errors.push_back(path + " started inside " + current_);
    if (runs_started != 1 || runs_finished != 0) errors.push_back(path + " outside the run");
    current_ = path;
    size_ = size;
    file_bytes[path] = 0;
  }
  void advanced(uint64_t n, uint64_t f) override {
    if (current_.empty()) errors.push_back("advanced outside a file");
    bytes += n;
    frames += f;
    file_bytes[current_] += n;
    file_reports[current_] += 1;
    if (file_bytes[current_] > size_) errors.push_back(current_ + " read past its size");
  }
  void file_finished(const std::string& path, bool ok) override {
    if (path != current_) errors.push_back(path + " finished, not started");
    if (file_bytes[path] != size_) errors.push_back(path + " did not report all its bytes");
    current_.clear();
    files_finished += 1;
    converted += ok;
  }
  void run_finished() override {
    if (runs_finished++ != 0 || !current_.empty()) errors.push_back("run finished early");
  }

 private:
  std::string current_;
  uint64_t size_ = 0;
};

TEST(Progress, EventsAddUpToTheWalk) {
  test::TempDir dir;
  // Logs of many sizes in nested folders, files the walk passes over, a
  // log that fails (no session), one that repeats a split (skipped), and a
  // folder whose name ends in ".txt".
  int split = 1;
  for (int frames : {0, 1, 1023, 1024, 1025, 5000}) {
    dir.write("logs/a/" + std::to_string(frames) + ".TXT", log_of(1, split++, frames));
  }
  dir.write("logs/b/c/deep.txt", log_of(2, 1, 3000));
  dir.write("logs/b/c/again.txt", log_of(2, 1, 10));
  dir.write("logs/b/broken.txt", log_of(0, 1, 50));
  dir.write("logs/b/notes.csv", "not a log");
  dir.write("logs/b/noext", "not a log");
  dir.write("logs/dir.txt/inner.Txt", log_of(3, 1, 7));
  dir.write("single.txt", log_of(4, 1, 2048));
  dir.write("other.dat", "x");

  for (int64_t buffer : {int64_t{4096}, int64_t{0}, int64_t{-1}}) {
    SCOPED_TRACE("buffer " + std::to_string(buffer));
    std::unique_ptr<RootedFolder> folder = RootedFolder::create(dir.root());
    ASSERT_TRUE(folder);
    AcceptingSink sink;
    ConversionOptions options;
    options.buffer_size = buffer;
    options.no_append_root = true;
    auto loop = ConversionLoop::create(folder.get(), folder.get(), options, &sink);
    ASSERT_TRUE(loop);
    CheckingListener listener;
    loop->set_progress(&listener);
    int32_t saved = log_threshold;
    log_set_threshold(LOG_NONE);
    int status = loop->run({"logs", "single.txt", "other.dat", "missing.txt"});
    log_set_threshold(saved);
    EXPECT_EQ(status, kResultFailed | kResultMissing);

    EXPECT_EQ(listener.errors, std::vector<std::string>());
    EXPECT_EQ(listener.runs_started, 1);
    EXPECT_EQ(listener.runs_finished, 1);
    // The listing found what the walk then read.
    EXPECT_EQ(listener.files_total, loop->files());
    EXPECT_EQ(listener.bytes_total, loop->bytes());
    EXPECT_EQ(listener.files_total, 11u);
    EXPECT_EQ(static_cast<uint64_t>(listener.files_finished), listener.files_total);
    EXPECT_EQ(listener.converted, 10);  // all but the broken one
    EXPECT_EQ(listener.bytes, listener.bytes_total);
    EXPECT_EQ(listener.frames, loop->frames());
    // Frames come in batches: a report per 1024 frames, and one at the end.
    for (const auto& [path, reports] : listener.file_reports) {
      EXPECT_LE(reports, 1 + 5000 / ProgressReporter::kFramesPerReport) << path;
    }
    EXPECT_EQ(listener.file_reports["logs/a/5000.TXT"], 5u);
  }
}

TEST(Progress, TotalsOfSingleFilesAndMissingPaths) {
  test::TempDir dir;
  dir.write("a.txt", "12345");
  dir.write("b.TXT", "123");
  dir.write("c.log", "1234567");
  std::unique_ptr<RootedFolder> folder = RootedFolder::create(dir.root());
  ASSERT_TRUE(folder);
  InputListing listing;
  ASSERT_TRUE(
      list_inputs(*folder, {"a.txt", "b.TXT", "c.log", "none.txt", "none/"}, false, listing));
  EXPECT_EQ(listing.log_files, 2u);
  EXPECT_EQ(listing.log_bytes, 8u);
  ASSERT_TRUE(list_inputs(*folder, {""}, true, listing));  // the input folder itself
  EXPECT_EQ(listing.log_files, 2u);
  EXPECT_EQ(listing.log_bytes, 8u);
}

}  // namespace
}  // namespace quillon
