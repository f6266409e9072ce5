#include "input/conversion_loop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "input/memory_stream.h"
#include "support/log.h"
#include "test_util.h"

namespace quillon {
namespace {

std::string make_log(const std::string& logger, const std::string& session,
                     const std::string& split, int frames) {
  std::string log = "# Logger ID: " + logger + "\n";
  if (!session.empty()) log += "# Session No.: " + session + "\n";
  if (!split.empty()) log += "# Split No.: " + split + "\n";
  log +=
      "# Time: 20200101T120000\n# Value separator: \";\"\n# Time format: 3\n"
      "Timestamp;Type;ID;Length;Data\n";
  for (int i = 0; i < frames; ++i) {
    char line[80];
    std::snprintf(line, sizeof line, "1200%02d%03d;1;18FEF1%02X;8;01020304050607%02X\n", i / 10,
                  i % 10 * 100, i, i);
    log += line;
  }
  return log;
}

// Records what the loop hands it, and fails on request.
class RecordingSink : public FrameSink {
 public:
  std::vector<std::string> events;
  std::vector<std::string> frames;  // time and id of every frame
  int fail_frame = 0;               // the n-th frame of a file returns false
  bool fail_start = false, fail_end = false;

  bool on_file_start(const FileRecord& f, bool continuation) override {
    events.push_back("start " + f.input_path + " > " + f.output_path + " " + f.logger_id + " " +
                     std::to_string(f.session) + "/" + std::to_string(f.split) +
                     (continuation ? " cont" : ""));
    in_file_ = 0;
    return !fail_start;
  }
  bool on_frame(Frame& f) override {
    char text[64];
    std::snprintf(text, sizeof text, "%.3f %X %zu", f.time, f.id, f.payload.size());
    frames.push_back(text);
    return ++in_file_ != fail_frame;
  }
  bool on_file_end(const FileRecord& f) override {
    events.push_back("end " + f.input_path);
    ends.push_back(std::string(f.durable ? "durable" : "") + (f.failed ? " failed" : ""));
    return !fail_end;
  }
  std::vector<std::string> ends;  // what each on_file_end was told

 private:
  int in_file_ = 0;
};

class ConversionLoopTest : public ::testing::Test {
 protected:
  test::TempDir dir;
  std::unique_ptr<RootedFolder> folder = RootedFolder::create(dir.root());
  RecordingSink sink;
  ConversionOptions options;
  std::string err;  // log lines of the last run

  // Runs a fresh loop with warnings and above captured.
  int run(const std::vector<std::string>& inputs, std::unique_ptr<ConversionLoop>* keep = nullptr) {
    auto loop = ConversionLoop::create(folder.get(), folder.get(), options, &sink);
    EXPECT_TRUE(loop);
    int status = run_captured(*loop, inputs);
    if (keep != nullptr) *keep = std::move(loop);
    return status;
  }
  int run_captured(ConversionLoop& loop, const std::vector<std::string>& inputs) {
    int32_t saved = log_threshold;
    log_set_threshold(LOG_WARN);
    testing::internal::CaptureStderr();
    int status = loop.run(inputs);
    err = testing::internal::GetCapturedStderr();
    log_set_threshold(saved);
    return status;
  }
  bool logged(const std::string& message) const {
    return err.find(message + "\n") != std::string::npos;
  }
};

TEST_F(ConversionLoopTest, WalkOrderExtensionsAndOutputPaths) {
  int session = 1;
  for (const char* name : {"00000010.TXT", "00000002.TXT", "B.TXT", "a.txt", "c.Txt", "sub/x.txt",
                           "d.csv", "e.txt.bak", "dir.txt/none", "noext"}) {
    dir.write(std::string("logs/") + name, make_log("L", std::to_string(session++), "1", 2));
  }
  dir.write("single.txt", make_log("L", "99", "1", 1));

  std::unique_ptr<ConversionLoop> loop;
  EXPECT_EQ(run({"logs/", "single.txt"}, &loop), 0);
  EXPECT_EQ(err, "");  // skipped files are skipped silently
  std::vector<std::string> expected = {
      "start logs/00000002.TXT > logs_out/00000002 L 2/1",
      "end logs/00000002.TXT",
      "start logs/00000010.TXT > logs_out/00000010 L 1/1",
      "end logs/00000010.TXT",
      "start logs/B.TXT > logs_out/B L 3/1",
      "end logs/B.TXT",
      "start logs/a.txt > logs_out/a L 4/1",
      "end logs/a.txt",
      "start logs/c.Txt > logs_out/c L 5/1",
      "end logs/c.Txt",
      "start logs/sub/x.txt > logs_out/sub/x L 6/1",
      "end logs/sub/x.txt",
      "start single.txt > single L 99/1",
      "end single.txt",
  };
  EXPECT_EQ(sink.events, expected);
  EXPECT_EQ(loop->files(), 7u);
  EXPECT_EQ(loop->frames(), 13u);
  EXPECT_EQ(loop->bytes(),
            6 * make_log("L", "1", "1", 2).size() + make_log("L", "99", "1", 1).size());

  // Without the root appended the output keeps the folder's name.
  sink.events.clear();
  options.no_append_root = true;
  EXPECT_EQ(run({"logs/", "single.txt"}), 0);
  EXPECT_EQ(sink.events[0], "start logs/00000002.TXT > logs/00000002 L 2/1");
  EXPECT_EQ(sink.events[12], "start single.txt > single L 99/1");
}

TEST_F(ConversionLoopTest, RepeatedAndContinuingFiles) {
  // Name, logger, session, split.
  const char* files[][4] = {
      {"a/1.txt", "L", "1", "1"}, {"a/2.txt", "L", "1", "2"},
      {"a/3.txt", "L", "1", "3"}, {"a/4.txt", "L", "1", "3"},  // repeated: skipped
      {"a/5.txt", "L", "1", "5"},                              // a jump: no continuation
      {"a/6.txt", "L", "2", "6"},                              // another session
      {"a/7.txt", "M", "2", "7"},                              // another logger
      {"b.txt", "M", "2", "7"},  // repeats the last file of the walk before
      {"c.txt", "M", "2", "8"},
  };
  for (auto& f : files) dir.write(f[0], make_log(f[1], f[2], f[3], 1));
  dir.write("noid.txt", make_log("", "3", "1", 1));
  options.delete_converted = true;

  std::unique_ptr<ConversionLoop> loop;
  EXPECT_EQ(run({"a/", "b.txt", "c.txt", "noid.txt"}, &loop), 0);
  std::vector<std::string> starts;
  for (const std::string& e : sink.events) {
    if (e.rfind("start ", 0) == 0) starts.push_back(e);
  }
  std::vector<std::string> expected = {
      "start a/1.txt > a_out/1 L 1/1",      "start a/2.txt > a_out/2 L 1/2 cont",
      "start a/3.txt > a_out/3 L 1/3 cont", "start a/5.txt > a_out/5 L 1/5",
      "start a/6.txt > a_out/6 L 2/6",      "start a/7.txt > a_out/7 M 2/7",
      "start c.txt > c M 2/8 cont",         "start noid.txt > noid LOGGERID 3/1",
  };
  EXPECT_EQ(starts, expected);
  EXPECT_TRUE(logged(" W Repeated input file (L, 00000001, 00000003)")) << err;
  EXPECT_TRUE(logged(" W Repeated input file (M, 00000002, 00000007)")) << err;
  // Repeated files count as found but are neither converted nor deleted.
  EXPECT_EQ(loop->files(), 10u);
  EXPECT_EQ(loop->frames(), 8u);
  EXPECT_TRUE(std::filesystem::exists(dir.path() / "a/4.txt"));
  EXPECT_TRUE(std::filesystem::exists(dir.path() / "b.txt"));
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "a/1.txt"));
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "c.txt"));
}

TEST_F(ConversionLoopTest, FailuresAndExitStatuses) {
  dir.write("nosession.txt", make_log("L", "", "1", 3));
  dir.write("zerosplit.txt", make_log("L", "1", "0", 3));
  dir.write("empty.txt", "");

  EXPECT_EQ(run({"missing.txt", "nosession.txt"}), 9);
  // Logged as an error so that the default verbosity says why the status is 1.
  EXPECT_TRUE(logged(" E Could not find input file/folder missing.txt")) << err;
  EXPECT_TRUE(logged(" E Could not parse file header")) << err;
  EXPECT_TRUE(logged(" E Error during conversion of nosession.txt")) << err;

  EXPECT_EQ(run({"zerosplit.txt"}), 8);
  EXPECT_TRUE(logged(" E Could not parse file header")) << err;
  EXPECT_EQ(run({"empty.txt"}), 8);
  // The reason, not a bare "Could not open log".
  EXPECT_TRUE(logged(" E Could not open log: line 1: the log is empty")) << err;
  EXPECT_TRUE(sink.events.empty());

  auto root = RootedFolder::create(dir.root());
  ASSERT_TRUE(root);
  EXPECT_FALSE(ConversionLoop::create(nullptr, root.get(), options, &sink));
  EXPECT_FALSE(ConversionLoop::create(root.get(), root.get(), options, nullptr));
}

TEST_F(ConversionLoopTest, NeitherFileNorFolderGives129) {
#ifdef _WIN32
  GTEST_SKIP() << "no device file at a fixed path on Windows";
#else
  // Neither file nor folder: no message, 129.
  auto root = RootedFolder::create("/");
  ASSERT_TRUE(root);
  auto loop = ConversionLoop::create(root.get(), root.get(), options, &sink);
  EXPECT_EQ(run_captured(*loop, {"dev/null"}), 129);
  EXPECT_EQ(err, "");
#endif
}

TEST_F(ConversionLoopTest, SinkFailuresKeepTheLog) {
  dir.write("good.txt", make_log("L", "1", "1", 8));
  options.delete_converted = true;

  // on_frame false on the fifth frame: five counted, the end still called.
  sink.fail_frame = 5;
  std::unique_ptr<ConversionLoop> loop;
  EXPECT_EQ(run({"good.txt"}, &loop), 8);
  EXPECT_EQ(loop->frames(), 5u);
  EXPECT_EQ(sink.events, (std::vector<std::string>{"start good.txt > good L 1/1", "end good.txt"}));
  EXPECT_TRUE(logged(" E Error during conversion of good.txt")) << err;
  EXPECT_TRUE(std::filesystem::exists(dir.path() / "good.txt"));

  sink = RecordingSink();
  sink.fail_start = true;
  EXPECT_EQ(run({"good.txt"}, &loop), 8);
  EXPECT_EQ(loop->frames(), 0u);
  EXPECT_EQ(sink.events.size(), 2u);
  EXPECT_TRUE(logged(" E Error on new file")) << err;

  sink = RecordingSink();
  sink.fail_end = true;
  EXPECT_EQ(run({"good.txt"}, &loop), 8);
  EXPECT_EQ(loop->frames(), 8u);
  EXPECT_TRUE(logged(" E Error during end file callback")) << err;
  EXPECT_TRUE(std::filesystem::exists(dir.path() / "good.txt"));

  sink = RecordingSink();
  EXPECT_EQ(run({"good.txt"}), 0);
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "good.txt"));
}

TEST_F(ConversionLoopTest, TheSinksLearnWhetherToSyncAndWhetherToUndo) {
  dir.write("good.txt", make_log("L", "1", "1", 8));
  sink.fail_frame = 5;
  EXPECT_EQ(run({"good.txt"}), 8);
  sink.fail_frame = 0;
  EXPECT_EQ(run({"good.txt"}), 0);
  options.delete_converted = true;
  sink.fail_start = true;
  EXPECT_EQ(run({"good.txt"}), 8);
  sink.fail_start = false;
  EXPECT_EQ(run({"good.txt"}), 0);
  EXPECT_EQ(sink.ends, (std::vector<std::string>{" failed", "", "durable failed", "durable"}));
}

TEST_F(ConversionLoopTest, PathsThatCannotBeQueried) {
  // A name longer than the system allows: stat fails for another reason
  // than absence.
  const std::string bad(300, 'x');
  dir.write("ok.txt", make_log("L", "1", "1", 1));

  EXPECT_EQ(run({bad, "ok.txt"}), 129);
  EXPECT_TRUE(logged(" F Could not query " + bad + " for information")) << err;
  EXPECT_TRUE(sink.events.empty());  // the run ended at once

  // Without the first query the walk meets the failure, reports it with
  // the system's reason and goes on (an error of that path, not the end of
  // the run as the old "exiting" text had it).
  options.no_append_root = true;
  EXPECT_EQ(run({bad, "ok.txt"}), 129);
  EXPECT_TRUE(logged(" E Error during stat of " + bad + " (File name too long)")) << err;
  EXPECT_EQ(sink.events.size(), 2u);
}

TEST_F(ConversionLoopTest, EntriesThatCannotBeLookedAtAreNeverSkippedSilently) {
#ifdef _WIN32
  GTEST_SKIP() << "making a symbolic link needs a privilege on Windows, and the run-time here "
                  "cannot make one";
#endif
  dir.write("logs/1.txt", make_log("L", "1", "1", 1));
  std::filesystem::create_symlink("loop.txt", dir.path() / "logs/loop.txt");  // ELOOP
  std::filesystem::create_symlink("gone.txt", dir.path() / "logs/dangling.txt");
  EXPECT_EQ(run({"logs/"}), 129);
  EXPECT_TRUE(logged(" E Error during stat of logs/loop.txt (Too many levels of symbolic links)"))
      << err;
  EXPECT_TRUE(logged(" W Skipping dangling symbolic link logs/dangling.txt")) << err;
  EXPECT_EQ(sink.events.size(), 2u);  // the good log is still converted
}

// Appends to its log while the log is converted, as a logger still writing
// it would.
class AppendingSink : public RecordingSink {
 public:
  std::filesystem::path log;
  bool on_frame(Frame& f) override {
    if (frames.empty()) std::ofstream(log, std::ios::app) << "120009000;1;18FEF100;8;00\n";
    return RecordingSink::on_frame(f);
  }
};

TEST_F(ConversionLoopTest, ALogThatGrewIsKeptAndTheSinksAreTold) {
  dir.write("live.txt", make_log("L", "1", "1", 3));
  dir.write("done.txt", make_log("L", "2", "1", 3));
  options.delete_converted = true;
  AppendingSink appending;
  appending.log = dir.path() / "live.txt";
  auto loop = ConversionLoop::create(folder.get(), folder.get(), options, &appending);
  EXPECT_EQ(run_captured(*loop, {"live.txt"}), 0);
  EXPECT_TRUE(logged(" W Input file changed during conversion: live.txt")) << err;
  EXPECT_TRUE(std::filesystem::exists(dir.path() / "live.txt"));
  EXPECT_EQ(run({"done.txt"}), 0);
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "done.txt"));
  EXPECT_EQ(err, "");
}

// Puts another log of the same size in the log's place, or writes the log
// again in place, while its first frame is converted.
class SwappingSink : public RecordingSink {
 public:
  std::filesystem::path log;
  std::string other;  // as long as the log
  bool in_place = false;
  bool on_frame(Frame& f) override {
    if (frames.empty()) {
      if (in_place) {
        // The same file (same id) with a later modification time.
        std::filesystem::last_write_time(
            log, std::filesystem::last_write_time(log) + std::chrono::seconds(2));
      } else {
        std::filesystem::path swap = log;
        swap += ".new";
        std::ofstream(swap, std::ios::binary) << other;
        std::filesystem::rename(swap, log);
      }
    }
    return RecordingSink::on_frame(f);
  }
};

TEST_F(ConversionLoopTest, ALogReplacedWhileReadIsKeptWhateverItsSize) {
  const std::string log = make_log("L", "1", "1", 3);
  std::string other = make_log("L", "1", "2", 3);  // another split, byte for byte as long
  ASSERT_EQ(other.size(), log.size());
  options.delete_converted = true;
#ifdef _WIN32
  // A file open for reading cannot be replaced there.
  const bool kinds[] = {true};
#else
  const bool kinds[] = {false, true};
#endif
  for (bool in_place : kinds) {
    for (int64_t size : {int64_t(-1), int64_t(0), ConversionOptions::kDefaultBuffer}) {
      dir.write("x.txt", log);
      options.buffer_size = size;
      SwappingSink swapping;
      swapping.log = dir.path() / "x.txt";
      swapping.other = other;
      swapping.in_place = in_place;
      auto loop = ConversionLoop::create(folder.get(), folder.get(), options, &swapping);
      EXPECT_EQ(run_captured(*loop, {"x.txt"}), 0);
      EXPECT_TRUE(logged(" W Input file changed during conversion: x.txt")) << err;
      ASSERT_TRUE(std::filesystem::exists(dir.path() / "x.txt")) << in_place << " " << size;
      EXPECT_EQ(dir.read("x.txt"), in_place ? log : other);
    }
  }
}

TEST_F(ConversionLoopTest, BufferSizesGiveTheSameFrames) {
  std::string log = make_log("L", "1", "1", 40);
  log.insert(log.find("120001"), "120000100;1;1;8;00\r\n");  // goes backwards: dropped
  dir.write("x.txt", log);
  std::vector<std::string> first;
  for (int64_t size : {-1, 0, 5, 64, 1 << 20}) {
    sink = RecordingSink();
    options.buffer_size = size;
    EXPECT_EQ(run({"x.txt"}), 0) << size;
    ASSERT_EQ(sink.frames.size(), 40u) << size;
    if (first.empty()) first = sink.frames;
    EXPECT_EQ(sink.frames, first) << "buffer " << size;
  }
  EXPECT_EQ(first[0], "1577880000.000 18FEF100 8");
  EXPECT_EQ(first[39], "1577880003.900 18FEF127 8");
}

// A loop whose files fail halfway, as a failing disk would.
class FailingLoop : public ConversionLoop {
 public:
  FailingLoop(const RootedFolder* folder, const ConversionOptions& options, FrameSink* sink,
              std::string content, int64_t fail_after)
      : ConversionLoop(folder, folder, options, sink),
        content_(std::move(content)),
        fail_after_(fail_after) {}

 protected:
  std::unique_ptr<ByteStream> open_input(const std::string&) override {
    return std::make_unique<test::MemoryStream>(content_, fail_after_);
  }

 private:
  std::string content_;
  int64_t fail_after_;
};

TEST_F(ConversionLoopTest, ReadErrorFailsTheFileAndKeepsIt) {
  std::string log = make_log("L", "1", "1", 20);
  dir.write("x.txt", log);
  options.delete_converted = true;
  for (int64_t size : {-1, 0, 16}) {
    sink = RecordingSink();
    options.buffer_size = size;
    FailingLoop loop(folder.get(), options, &sink, log, static_cast<int64_t>(log.size() / 2));
    EXPECT_EQ(run_captured(loop, {"x.txt"}), 8) << size;
    EXPECT_TRUE(logged(" E Could not read input file x.txt")) << err;
    EXPECT_GT(sink.frames.size(), 0u);
    EXPECT_LT(sink.frames.size(), 20u);
    EXPECT_EQ(sink.events, (std::vector<std::string>{"start x.txt > x L 1/1", "end x.txt"}));
    ASSERT_TRUE(std::filesystem::exists(dir.path() / "x.txt"));
  }
  // The same stream without the failure converts and deletes.
  FailingLoop loop(folder.get(), options, &sink, log, -1);
  EXPECT_EQ(run_captured(loop, {"x.txt"}), 0);
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "x.txt"));
}

TEST_F(ConversionLoopTest, FrameLinesWithoutAnyFrameFailTheFile) {
  options.delete_converted = true;
  const std::string head =
      "# Logger ID: L\n# Session No.: 1\n# Split No.: 1\n# Value separator: \";\"\n"
      "# Time format: 3\n";
  // Every timestamp damaged; a header time that cannot be read, which makes
  // every compact timestamp negative; no frame line at all.
  dir.write("damaged.txt", head + "# Time: 20200101T120000\nTimestamp;ID\n12X000000;1\n\x01;2\n");
  dir.write("unreadable.txt", head + "# Time: 17.05.2024\nTimestamp;ID\n120000000;1\n");
  for (const char* name : {"damaged.txt", "unreadable.txt"}) {
    sink = RecordingSink();
    EXPECT_EQ(run({name}), 8) << name;
    EXPECT_TRUE(logged(std::string(" E No frame could be read from input file ") + name)) << err;
    EXPECT_TRUE(logged(std::string(" E Error during conversion of ") + name)) << err;
    EXPECT_TRUE(sink.frames.empty());
    EXPECT_TRUE(std::filesystem::exists(dir.path() / name)) << name;  // kept despite -d
  }
  // A log without frame lines converts, as before, and is deleted.
  dir.write("empty.txt", head + "# Session No.: 2\n# Time: 20200101T120000\nTimestamp;ID\n");
  EXPECT_EQ(run({"empty.txt"}), 0);
  EXPECT_EQ(err, "");
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "empty.txt"));
}

// A log that another program cuts short or extends while it is read: the
// content changes after the first read.
class ChangingStream : public ByteStream {
 public:
  ChangingStream(std::string now, std::string later)
      : now_(std::move(now)), later_(std::move(later)) {}
  int64_t read(void* buffer, int64_t n) override {
    const int64_t take =
        std::max<int64_t>(0, std::min<int64_t>(n, static_cast<int64_t>(now_.size()) - position_));
    if (take > 0) std::memcpy(buffer, now_.data() + position_, static_cast<size_t>(take));
    position_ += take;
    now_ = later_;
    return take;
  }
  int64_t tell() override { return position_; }
  int64_t seek(int64_t offset, int origin) override {
    if (origin < 0 || origin > 2) return -1;
    position_ = (origin == 0   ? 0
                 : origin == 1 ? position_
                               : static_cast<int64_t>(now_.size())) +
                offset;
    return position_;
  }
  int close() override { return 0; }

 private:
  std::string now_, later_;
  int64_t position_ = 0;
};

class ChangingLoop : public ConversionLoop {
 public:
  ChangingLoop(const RootedFolder* folder, const ConversionOptions& options, FrameSink* sink,
               std::string now, std::string later)
      : ConversionLoop(folder, folder, options, sink),
        now_(std::move(now)),
        later_(std::move(later)) {}

 protected:
  std::unique_ptr<ByteStream> open_input(const std::string&) override {
    return std::make_unique<ChangingStream>(now_, later_);
  }

 private:
  std::string now_, later_;
};

TEST_F(ConversionLoopTest, LogsThatShrinkOrGrowWhileRead) {
  const std::string log = make_log("L", "1", "1", 60);
  dir.write("x.txt", log);
  options.delete_converted = true;
  // Grown: every mode reads the frames that were added, whole-file reading
  // too (its buffer is refilled past the size it was made for).
  const std::string grown = log + "120009000;1;18FEF1FF;8;00\n";
  for (int64_t size : {int64_t(-1), int64_t(0), int64_t(64), ConversionOptions::kDefaultBuffer}) {
    sink = RecordingSink();
    options.buffer_size = size;
    ChangingLoop loop(folder.get(), options, &sink, log, grown);
    EXPECT_EQ(run_captured(loop, {"x.txt"}), 0) << size;
    ASSERT_EQ(sink.frames.size(), 61u) << size;
    EXPECT_EQ(sink.frames.back(), "1577880009.000 18FEF1FF 1");
    dir.write("x.txt", log);  // deleted after its conversion
  }
  // Shrunk: whole-file reading has all of it in its buffer already; a
  // window or the bare file reads what is left and fails the file, which is
  // kept.
  const std::string shrunk = log.substr(0, log.size() / 2);
  options.buffer_size = -1;
  sink = RecordingSink();
  ChangingLoop whole(folder.get(), options, &sink, log, shrunk);
  EXPECT_EQ(run_captured(whole, {"x.txt"}), 0);
  EXPECT_EQ(sink.frames.size(), 60u);
  dir.write("x.txt", log);
  for (int64_t size : {int64_t(0), int64_t(64)}) {
    sink = RecordingSink();
    options.buffer_size = size;
    ChangingLoop loop(folder.get(), options, &sink, log, shrunk);
    EXPECT_EQ(run_captured(loop, {"x.txt"}), 8) << size;
    EXPECT_TRUE(logged(" E Could not read input file x.txt")) << err;
    EXPECT_LT(sink.frames.size(), 60u);
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "x.txt"));
  }
}

TEST_F(ConversionLoopTest, SizesAbove4GiBAreCounted) {
  // A sparse file: only the first bytes are read (the header is unusable).
  dir.write("big.txt", "not a log\n");
  const uint64_t size = (5ull << 30) + 7;
  std::error_code ec;
  std::filesystem::resize_file(dir.path() / "big.txt", size, ec);
  if (ec) GTEST_SKIP() << "no sparse files here";
  options.buffer_size = 4096;
  std::unique_ptr<ConversionLoop> loop;
  EXPECT_EQ(run({"big.txt"}, &loop), 8);
  EXPECT_TRUE(logged(" E Could not open log: line 1: the first line is no header line (\"#\")"))
      << err;
  EXPECT_EQ(loop->bytes(), size);
}

}  // namespace
}  // namespace quillon
