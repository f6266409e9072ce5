#include "output/output_set.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "../dbc/log_capture.h"
#include "decompress.h"
#include "test_util.h"

namespace quillon {
namespace {

namespace fs = std::filesystem;
using testing_support::LogCapture;

std::string read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Outputs told apart by their message name alone.
OutputIdentity output(std::string_view message) {
  OutputIdentity id;
  id.message = message;
  id.values = {"v"};
  id.hash = std::hash<std::string_view>()(message);
  return id;
}

class OutputSetTest : public ::testing::Test {
 protected:
  void make(size_t open_files, const Compression& compression = Compression()) {
    root = RootedFolder::create(dir.root());
    ASSERT_TRUE(root);
    journal =
        std::make_unique<OutputJournal>(root.get(), &shared, output_extension(compression.codec));
    journal->begin(false);
    set = std::make_unique<OutputSet>(root.get(), &shared, journal.get(), open_files, compression);
  }
  // One row of value into identity's output, opened at path when closed.
  OutputHandle write(const OutputIdentity& identity, const std::string& path, double value) {
    OutputHandle handle;
    if (set->find(identity, handle) == OutputSet::Found::kClosed) {
      const std::string* kept = set->kept_path(identity);
      const std::string at = kept ? *kept : path;
      set->open(identity, at, columns, handle);
    }
    EXPECT_TRUE(set->current(handle));
    if (handle.writer) {
      EXPECT_TRUE(handle.writer->write_row(0, &value, 1));
    }
    return handle;
  }

  test::TempDir dir;
  std::unique_ptr<RootedFolder> root;
  SharedOutputs shared;
  std::unique_ptr<OutputJournal> journal;
  std::unique_ptr<OutputSet> set;
  std::vector<std::string_view> columns = {"v"};
};

TEST_F(OutputSetTest, PastTheBoundOnOpenFilesWritersCloseAndReopenToAppend) {
  // Room for two outputs of one folder (their files, the folder, and a
  // file and folder more to open): each third one closes the others, which
  // later append to their files.
  make(4);
  const OutputIdentity ids[] = {output("A"), output("B"), output("C"), output("D")};
  const uint64_t first = set->generation();
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 4; ++i) {
      write(ids[i], "out/" + std::string(1, static_cast<char>('a' + i)), round * 10 + i);
    }
  }
  EXPECT_GE(set->generation(), first + 5);
  ASSERT_TRUE(set->close_all());
  EXPECT_FALSE(set->lost());
  EXPECT_EQ(set->files(), 4u);
  EXPECT_EQ(read(dir.path() / "out/c.csv"),
            "t,v\n0.000000,2.000000\n0.000000,12.000000\n0.000000,22.000000\n");
}

TEST_F(OutputSetTest, ManyMoreOutputsThanTheBoundWriteWhatAnUnboundedSetWrites) {
  // 40 outputs in two folders under a bound that keeps five writers open,
  // rows in a random order with runs on a few outputs (as a log's frames
  // come): each output's file holds its header once and its rows in order,
  // as without a bound, plain and compressed. Then a log that churns the
  // same outputs and fails: undo cuts every file back to what it was,
  // writers closed and reopened within the log included.
  for (const char* kind : {"none", "zstd:1", "gzip:1"}) {
    SCOPED_TRACE(kind);
    Compression compression;
    ASSERT_TRUE(parse_compression(kind, compression));
    if (!codec_built(compression.codec)) continue;  // zstd on Windows
    std::map<std::string, std::string> expected;
    std::vector<std::string> names;  // the identities view them
    for (int i = 0; i < 40; ++i) names.push_back("M" + std::to_string(i));
    std::vector<OutputIdentity> ids;
    for (const std::string& name : names) ids.push_back(output(name));
    make(8, compression);
    std::mt19937 rng(7);
    auto churn = [&](int rows, bool record) {
      int current = 0;
      for (int row = 0; row < rows; ++row) {
        if (rng() % 4 == 0) current = static_cast<int>(rng() % ids.size());
        const std::string path = (current % 2 ? "odd/" : "even/") + names[current];
        const double value = row;
        write(ids[current], path, value);
        ASSERT_LE(set->open_writers(), 5u);  // 8 less the two folders, one to spare
        if (record) {
          std::string& text = expected[path];
          if (text.empty()) text = "t,v\n";
          char line[64];
          std::snprintf(line, sizeof line, "0.000000,%d.000000\n", row);
          text += line;
        }
      }
    };
    churn(20000, true);
    ASSERT_TRUE(set->close_all());
    EXPECT_FALSE(set->lost());
    EXPECT_EQ(set->files(), 40u);
    std::map<std::string, std::string> before;
    for (const auto& [path, text] : expected) {
      const std::string bytes = read(dir.path() / (path + set->extension()));
      std::string got;
      ASSERT_TRUE(test::decompress(bytes, compression.codec, got)) << path;
      EXPECT_EQ(got, text) << path;
      before[path] = bytes;
    }
    journal->begin(false);
    churn(5000, false);
    set->abandon_all();
    std::vector<std::string> removed;
    journal->undo(removed);
    EXPECT_TRUE(removed.empty());
    for (const auto& [path, bytes] : before) {
      EXPECT_EQ(read(dir.path() / (path + set->extension())), bytes) << path;
    }
    set.reset();
    journal.reset();
    fs::remove_all(dir.path() / "odd");
    fs::remove_all(dir.path() / "even");
  }
}

TEST_F(OutputSetTest, AReopenedOutputKeepsItsPathUntilPathsChange) {
  make(0);
  const OutputIdentity a = output("A");
  write(a, "first", 1);
  ASSERT_TRUE(set->close_all());
  // Composed anew (another switch value, say), the path would differ.
  write(a, "second", 2);
  ASSERT_TRUE(set->close_all());
  EXPECT_EQ(read(dir.path() / "first.csv"), "t,v\n0.000000,1.000000\n0.000000,2.000000\n");
  EXPECT_FALSE(fs::exists(dir.path() / "second.csv"));
  // A new day, logger, session or split: the composed path counts.
  set->new_paths();
  write(a, "second", 3);
  ASSERT_TRUE(set->close_all());
  EXPECT_EQ(read(dir.path() / "second.csv"), "t,v\n0.000000,3.000000\n");
  EXPECT_EQ(set->files(), 2u);
}

TEST_F(OutputSetTest, AnotherOutputOnATakenPathGetsASuffixAndKeepsIt) {
  make(0);
  const OutputIdentity a = output("A"), b = output("B");
  write(a, "p", 1);
  {
    LogCapture log(LOG_WARN);
    write(b, "p", 2);
    EXPECT_NE(log.text().find("Output p.csv is taken by another output; writing to p-2.csv"),
              std::string::npos);
  }
  ASSERT_TRUE(set->close_all());
  set->new_paths();
  write(b, "p", 3);
  write(a, "p", 4);
  ASSERT_TRUE(set->close_all());
  EXPECT_EQ(read(dir.path() / "p.csv"), "t,v\n0.000000,1.000000\n0.000000,4.000000\n");
  EXPECT_EQ(read(dir.path() / "p-2.csv"), "t,v\n0.000000,2.000000\n0.000000,3.000000\n");
  // Once the journal took the first file back, its path is free again.
  set->forget_created({"p"});
  fs::remove(dir.path() / "p.csv");
  const OutputIdentity c = output("C");
  write(c, "p", 5);
  ASSERT_TRUE(set->close_all());
  EXPECT_EQ(read(dir.path() / "p.csv"), "t,v\n0.000000,5.000000\n");
}

TEST_F(OutputSetTest, AnOutputThatCannotOpenIsLostForItsGenerationOnly) {
  make(0);
  std::ofstream(dir.path() / "blocked") << "a file, not a folder";
  const OutputIdentity a = output("A");
  {
    LogCapture log(LOG_ERROR);
    const OutputHandle h = write(a, "blocked/x", 1);
    EXPECT_EQ(h.writer, nullptr);
    EXPECT_NE(log.text().find("Could not create output folder"), std::string::npos);
  }
  EXPECT_TRUE(set->lost());
  // Not tried again in this generation.
  OutputHandle handle;
  EXPECT_EQ(set->find(a, handle), OutputSet::Found::kFailed);
  EXPECT_TRUE(set->current(handle));
  EXPECT_EQ(handle.writer, nullptr);
  // The next one tries again.
  set->close_all();
  fs::remove(dir.path() / "blocked");
  set->clear_lost();
  EXPECT_EQ(set->find(a, handle), OutputSet::Found::kClosed);
  EXPECT_NE(write(a, "blocked/x", 2).writer, nullptr);
  ASSERT_TRUE(set->close_all());
  EXPECT_FALSE(set->lost());
  EXPECT_EQ(read(dir.path() / "blocked/x.csv"), "t,v\n0.000000,2.000000\n");
}

}  // namespace
}  // namespace quillon
