#include "output/output_journal.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "../dbc/log_capture.h"
#include "test_util.h"

namespace quillon {
namespace {

namespace fs = std::filesystem;
using testing_support::LogCapture;

constexpr auto tree = test::file_tree;

constexpr auto put = test::put_file;

class OutputJournalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root = RootedFolder::create(dir.root());
    ASSERT_TRUE(root);
    journal = std::make_unique<OutputJournal>(root.get(), &shared);
  }

  // Opens path (relative, without ".csv") as the output set does (folders
  // made as needed, an earlier run's file moved aside), notes it and
  // writes text to it.
  void write(const std::string& path, bool append, const std::string& text) {
    std::string folder_path, name;
    split_path(path, folder_path, name);
    name += ".csv";
    std::unique_ptr<platform::Folder> folder;
    {
      std::lock_guard<std::mutex> lock(shared.tree_mutex());
      std::vector<std::string> created;
      PathFault fault;
      folder = root->open_folder(folder_path, &created, fault);
      for (const std::string& made : created) shared.made_folders()[made] = false;
      journal->claim_made_folders(folder_path);
    }
    ASSERT_TRUE(folder);
    platform::Outcome outcome;
    std::unique_ptr<platform::File> file(
        append ? folder->open_file(name, true, outcome)
               : folder->create_file(name, name + kAsideSuffix, outcome));
    ASSERT_TRUE(file);
    OutputJournal::Touched touched;
    touched.created = !append;
    touched.replaced = outcome.kind == platform::Outcome::kReplaced;
    ASSERT_TRUE(file->id(touched.id));
    if (append) touched.length = file->size();
    journal->opened(path, folder_path, touched);
    ASSERT_EQ(file->write(text.data(), text.size()), text.size());
    ASSERT_EQ(file->close(), 0);
  }

  // An earlier run's output, a file to append to, a new file two new
  // folders down, and the appended file touched twice.
  void convert_a_log() {
    write("L/a", false, "new a");
    write("L/b", true, "b2");
    write("L/N/M/c", false, "c");
    write("L/b", true, "b3");
  }

  test::TempDir dir;
  std::unique_ptr<RootedFolder> root;
  SharedOutputs shared;
  std::unique_ptr<OutputJournal> journal;
};

TEST_F(OutputJournalTest, UndoPutsTheTreeBackAsItWasBeforeTheLog) {
  put(dir.path() / "L/a.csv", "old a");
  put(dir.path() / "L/b.csv", "b1");
  const auto before = tree(dir.path());
  journal->begin(false);
  convert_a_log();
  EXPECT_EQ(tree(dir.path()).at("L/a.csv.replaced"), "old a");
  EXPECT_EQ(journal->touched().at("L/b").length, 2);  // the first touch counts
  std::vector<std::string> removed;
  journal->undo(removed);
  EXPECT_EQ(tree(dir.path()), before);
  EXPECT_EQ(removed, (std::vector<std::string>{"L/N/M/c", "L/a"}));
  EXPECT_TRUE(shared.made_folders().empty());
  EXPECT_TRUE(journal->touched().empty());
}

TEST_F(OutputJournalTest, CommitKeepsTheOutputAndRemovesTheFilesItReplaced) {
  put(dir.path() / "L/a.csv", "old a");
  put(dir.path() / "L/b.csv", "b1");
  journal->begin(false);
  convert_a_log();
  journal->commit();
  const auto after = tree(dir.path());
  EXPECT_EQ(after.count("L/a.csv.replaced"), 0u);
  EXPECT_EQ(after.at("L/a.csv"), "new a");
  EXPECT_EQ(after.at("L/b.csv"), "b1b2b3");
  EXPECT_EQ(after.at("L/N/M/c.csv"), "c");
  // The next log's undo leaves what this one made.
  journal->begin(false);
  std::vector<std::string> removed;
  journal->undo(removed);
  EXPECT_EQ(tree(dir.path()), after);
  EXPECT_TRUE(removed.empty());
}

TEST_F(OutputJournalTest, UndoLeavesAloneWhatIsNoLongerTheLogsOwn) {
  // Behind the journal's back: the created file and the appended one are
  // replaced by other files, and another file lands in a folder the log
  // made. None of them is the log's to remove or cut, and the earlier
  // run's file stays aside rather than go over the newcomer.
  put(dir.path() / "L/a.csv", "old a");
  put(dir.path() / "L/b.csv", "b1");
  journal->begin(false);
  convert_a_log();
  // Made before the old ones go, so that they cannot take their numbers.
  put(dir.path() / "new-a", "someone's a");
  fs::rename(dir.path() / "new-a", dir.path() / "L/a.csv");
  put(dir.path() / "new-b", "someone's b, longer");
  fs::rename(dir.path() / "new-b", dir.path() / "L/b.csv");
  put(dir.path() / "L/N/other.csv", "other");
  std::vector<std::string> removed;
  journal->undo(removed);
  const auto after = tree(dir.path());
  EXPECT_EQ(after.at("L/a.csv"), "someone's a");
  EXPECT_EQ(after.at("L/a.csv.replaced"), "old a");
  EXPECT_EQ(after.at("L/b.csv"), "someone's b, longer");
  EXPECT_EQ(after.at("L/N/other.csv"), "other");
  EXPECT_EQ(after.count("L/N/M/"), 0u);  // empty: removed
  EXPECT_EQ(after.count("L/N/M/c.csv"), 0u);
  // Gone or not ours: either way nothing of the log is left there.
  EXPECT_EQ(removed, (std::vector<std::string>{"L/N/M/c", "L/a"}));
  EXPECT_EQ(shared.made_folders().count("L/N"), 1u);  // it still holds a file
}

TEST_F(OutputJournalTest, WhatCannotBeUndoneIsToldOnceAndTheRestIsUndone) {
  put(dir.path() / "L/a.csv", "old a");
  put(dir.path() / "L/b.csv", "b1");
  journal->begin(false);
  write("L/a", false, "new a");
  write("L/b", true, "b2");
  write("F/x", false, "x");
  // The earlier run's a is gone from aside: the new a goes all the same.
  fs::remove(dir.path() / "L/a.csv.replaced");
  // The folder of x becomes a file: x cannot be reached.
  fs::rename(dir.path() / "F", dir.path() / "G");
  put(dir.path() / "F", "not a folder");
  std::vector<std::string> removed;
  LogCapture log(LOG_ERROR);
  journal->undo(removed);
  const std::string text = log.text();
  EXPECT_NE(text.find("Could not undo output file: " + dir.root() + "F/x.csv"), std::string::npos)
      << text;
  EXPECT_NE(text.find("Could not undo output file: " + dir.root() + "L/a.csv"), std::string::npos)
      << text;
  EXPECT_FALSE(shared.first_report("Could not undo output file", dir.root() + "F/x.csv"));
  EXPECT_EQ(removed, (std::vector<std::string>{"L/a"}));
  const auto after = tree(dir.path());
  EXPECT_EQ(after.count("L/a.csv"), 0u);
  EXPECT_EQ(after.at("L/b.csv"), "b1");
}

TEST_F(OutputJournalTest, DurableLogsSyncTheFoldersThatGotEntries) {
  journal->begin(true);
  EXPECT_TRUE(journal->durable());
  write("S/T/x", false, "x");
  EXPECT_TRUE(journal->sync_folders());
  // The run's folders are marked synced for the logs after this one.
  EXPECT_TRUE(shared.made_folders().at("S"));
  EXPECT_TRUE(shared.made_folders().at("S/T"));
  journal->commit();

  // A folder that cannot be opened fails the sync, and is told.
  journal->begin(true);
  write("S/U/y", false, "y");
  fs::rename(dir.path() / "S/U", dir.path() / "S/V");
  put(dir.path() / "S/U", "not a folder");
  LogCapture log(LOG_ERROR);
  EXPECT_FALSE(journal->sync_folders());
  EXPECT_NE(log.text().find("Could not sync output folder: " + dir.root() + "S/U"),
            std::string::npos);
  EXPECT_FALSE(shared.made_folders().at("S/U"));
}

TEST_F(OutputJournalTest, AReplacedFileThatCannotBeRemovedIsAWarning) {
  put(dir.path() / "L/a.csv", "old a");
  journal->begin(false);
  write("L/a", false, "new a");
  fs::remove(dir.path() / "L/a.csv.replaced");
  LogCapture log(LOG_WARN);
  journal->commit();
  EXPECT_NE(
      log.text().find("Could not remove replaced output file: " + dir.root() + "L/a.csv.replaced"),
      std::string::npos);
  EXPECT_EQ(tree(dir.path()).at("L/a.csv"), "new a");
}

}  // namespace
}  // namespace quillon
