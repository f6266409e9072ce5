// The output journal on disk against a temporary folder: a run killed after
// every step of a log (a child process that ends without a word, as
// SIGKILL ends it), then the next run's recovery; the states between a
// record and what it protects, made by hand; the lock; and undo through the
// held folders of a tree renamed while the log is converted.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "../dbc/log_capture.h"
#include "output/journal_file.h"
#include "output/output_journal.h"
#include "output/output_set.h"
#include "test_util.h"

namespace quillon {
namespace {

namespace fs = std::filesystem;
using testing_support::LogCapture;
using Tree = std::map<std::string, std::string>;

constexpr auto tree = test::file_tree;

constexpr auto put = test::put_file;

OutputIdentity output(std::string_view message) {
  OutputIdentity id;
  id.message = message;
  id.values = {"v"};
  id.hash = std::hash<std::string_view>()(message);
  return id;
}

std::string row(int value) {
  return "0.000000," + std::to_string(value) + ".000000\n";
}

// What a frame handler holds of the outputs, over one output folder.
struct Outputs {
  explicit Outputs(const RootedFolder* root)
      : journal(root, &shared), set(root, &shared, &journal, 0) {}
  // A log of the logger folder L_out starts.
  void start(bool durable, bool keeps_paths, const std::string* input = nullptr,
             const platform::FileStamp* stamp = nullptr) {
    journal.begin(durable);
    journal.set_log("L_out", keeps_paths, input, stamp);
    // As the frame handler starts a log that continues the one before.
    if (keeps_paths && durable) set.note_kept();
  }
  void write(const OutputIdentity& identity, const std::string& path, int value) {
    OutputHandle handle;
    if (set.find(identity, handle) == OutputSet::Found::kClosed) {
      const std::string* kept = set.kept_path(identity);
      set.open(identity, kept ? *kept : path, columns, handle);
    }
    const double v = value;
    ASSERT_TRUE(handle.writer);
    ASSERT_TRUE(handle.writer->write_row(0, &v, 1));
  }
  // As the frame handler ends a log that converted.
  bool end_ok() {
    bool ok = set.close_all();
    if (ok && journal.durable()) ok = journal.sync_folders();
    if (ok) ok = journal.seal();
    if (ok) journal.commit();
    return ok;
  }
  // As the frame handler ends a log that converted but left transfers
  // open for the log that continues it.
  bool end_held() {
    bool ok = set.close_all() && journal.sync_folders() && journal.hold();
    if (ok) journal.commit_held();
    return ok;
  }
  void end_failed() {
    set.abandon_all();
    std::vector<std::string> removed;
    journal.undo(removed);
    set.forget_created(removed);
    journal.release();
  }
  // Enters the logger folder as a log's first output does.
  bool enter() {
    std::lock_guard<std::mutex> lock(shared.tree_mutex());
    return journal.prepare();
  }

  SharedOutputs shared;
  OutputJournal journal;
  OutputSet set;
  std::vector<std::string_view> columns = {"v"};
};

class JournalRecoveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir.path() / "out");
    root = RootedFolder::create(dir.root() + "out/");
    ASSERT_TRUE(root);
  }
  fs::path out() const { return dir.path() / "out"; }

  // Runs body in a child process that then ends at once, leaving what it
  // left as a killed run does (no destructor, no undo).
  void killed_run(const std::function<void(Outputs&)>& body) {
#ifdef _WIN32
    (void)body;
#else
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      Outputs* run = new Outputs(root.get());
      body(*run);
      _exit(::testing::Test::HasFailure() ? 3 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
#endif
  }

  // The next run enters the logger folder: what the killed one left is
  // rolled back or finished, told once; then the run ends and leaves
  // nothing of its own.
  void recover(bool durable, bool expect_warning = true) {
    LogCapture log(LOG_WARN);
    {
      Outputs next(root.get());
      next.start(durable, false);
      ASSERT_TRUE(next.enter());
      next.journal.commit();
      next.journal.leave();
    }
    const std::string text = log.text();
    const std::string line =
        " W Recovered the outputs of an interrupted run: " + root->root() + "L_out\n";
    EXPECT_EQ(text.find(line) != std::string::npos, expect_warning) << text;
  }

  test::TempDir dir;
  std::unique_ptr<RootedFolder> root;
};

#ifdef _WIN32
#define SKIP_WITHOUT_FORK() GTEST_SKIP() << "a killed run is a child process made with fork"
#else
#define SKIP_WITHOUT_FORK() (void)0
#endif

const std::string kOldX = "earlier run's x\n";
const std::string kHeader = "t,v\n";

TEST_F(JournalRecoveryTest, AKilledLogIsRolledBackOrFinishedAfterEveryStep) {
  SKIP_WITHOUT_FORK();
  const OutputIdentity x = output("x"), y = output("y"), z = output("z");
  // Log 1 made y; log 2 continues it (appends to y), replaces an earlier
  // run's x, makes z two new folders down, and is deleted with durable.
  const Tree base = {{"L_out/", ""},
                     {"L_out/a/", ""},
                     {"L_out/a/x.csv", kOldX},
                     {"L_out/b/", ""},
                     {"L_out/b/y.csv", kHeader + row(1)}};
  const Tree converted = {{"L_out/", ""},
                          {"L_out/a/", ""},
                          {"L_out/a/x.csv", kHeader + row(2)},
                          {"L_out/b/", ""},
                          {"L_out/b/y.csv", kHeader + row(1) + row(3)},
                          {"L_out/c/", ""},
                          {"L_out/c/d/", ""},
                          {"L_out/c/d/z.csv", kHeader + row(4)}};
  constexpr int kSteps = 8;
  for (bool durable : {false, true}) {
    for (int kill_after = 0; kill_after < kSteps; ++kill_after) {
      SCOPED_TRACE("durable " + std::to_string(durable) + ", killed after step " +
                   std::to_string(kill_after));
      fs::remove_all(out());
      fs::remove_all(dir.path() / "in");
      put(out() / "L_out/a/x.csv", kOldX);
      const std::string input = dir.root() + "in/log2.txt";
      put(input, "log 2\n");
      platform::FileStamp stamp;
      ASSERT_TRUE(platform::file_stamp(input, stamp));
      killed_run([&](Outputs& run) {
        run.start(durable, false);
        run.write(y, "L_out/b/y", 1);
        ASSERT_TRUE(run.end_ok());
        run.start(durable, true, &input, &stamp);
        const std::function<void()> steps[kSteps] = {
            [&] { run.write(y, "L_out/b/y", 3); },
            [&] { run.write(x, "L_out/a/x", 2); },
            [&] { run.write(z, "L_out/c/d/z", 4); },
            [&] { ASSERT_TRUE(run.set.close_all()); },
            [&] { ASSERT_TRUE(!durable || run.journal.sync_folders()); },
            [&] { ASSERT_TRUE(run.journal.seal()); },
            [&] { run.journal.commit(); },
            [&] { ASSERT_TRUE(platform::remove_file(input)); },
        };
        for (int step = 0; step <= kill_after; ++step) steps[step]();
      });
      recover(durable);
      const bool committed = kill_after >= 5;
      EXPECT_EQ(tree(out()), committed ? converted : base);
      // A committed log's input goes, even when the kill came before its
      // delete; an uncommitted one's stays.
      EXPECT_EQ(fs::exists(input), !committed);
    }
  }
}

// Two logs on the device, each with its stamp as it was read.
struct Inputs {
  explicit Inputs(const std::string& folder) {
    for (int k = 0; k < 3; ++k) {
      paths[k] = folder + "log" + std::to_string(k + 1) + ".txt";
      test::put_file(paths[k], "log " + std::to_string(k + 1) + "\n");
      EXPECT_TRUE(platform::file_stamp(paths[k], stamps[k]));
    }
  }
  std::string paths[3];
  platform::FileStamp stamps[3];
};

TEST_F(JournalRecoveryTest, AHeldLogStandsOrFallsWithTheLogThatFinishesItsTransfers) {
  SKIP_WITHOUT_FORK();
  const OutputIdentity y = output("y"), w = output("w");
  // Log 1 leaves a transfer open: held. Log 2 continues it into y and
  // makes w. Killed before log 2 is sealed, both are rolled back and
  // both inputs stay (the next run converts both again, as one series);
  // after, both stand and both inputs go.
  constexpr int kSteps = 6;
  for (int kill_after = 0; kill_after < kSteps; ++kill_after) {
    SCOPED_TRACE("killed after step " + std::to_string(kill_after));
    fs::remove_all(out());
    fs::remove_all(dir.path() / "in");
    fs::create_directories(out());
    const Inputs in(dir.root() + "in/");
    killed_run([&](Outputs& run) {
      run.start(true, false, &in.paths[0], &in.stamps[0]);
      run.write(y, "L_out/y", 1);
      const std::function<void()> steps[kSteps] = {
          [&] { ASSERT_TRUE(run.end_held()); },
          [&] {
            run.start(true, true, &in.paths[1], &in.stamps[1]);
            run.write(y, "L_out/y", 2);
            run.write(w, "L_out/w", 3);
          },
          [&] { ASSERT_TRUE(run.set.close_all() && run.journal.sync_folders()); },
          [&] { ASSERT_TRUE(run.journal.seal()); },
          [&] { run.journal.commit(); },
          [&] { ASSERT_TRUE(platform::remove_file(in.paths[1])); },
      };
      for (int step = 0; step <= kill_after; ++step) steps[step]();
    });
    recover(true);
    const bool committed = kill_after >= 3;
    Tree expected = {{"L_out/", ""}};
    if (committed) {
      expected["L_out/y.csv"] = kHeader + row(1) + row(2);
      expected["L_out/w.csv"] = kHeader + row(3);
    }
    EXPECT_EQ(tree(out()), expected);
    EXPECT_EQ(fs::exists(in.paths[0]), !committed);
    EXPECT_EQ(fs::exists(in.paths[1]), !committed);
  }
}

TEST_F(JournalRecoveryTest, HeldLogsGoWhenTheirContinuationFailsOrTheSeriesEnds) {
  const OutputIdentity y = output("y"), w = output("w");
  const Inputs in(dir.root() + "in/");
  put(out() / "L_out/y.csv", kOldX);
  {
    Outputs run(root.get());
    // Log 1 replaces an earlier run's y and is held: the earlier file
    // waits aside, the input stays.
    run.start(true, false, &in.paths[0], &in.stamps[0]);
    run.write(y, "L_out/y", 1);
    ASSERT_TRUE(run.end_held());
    EXPECT_TRUE(fs::exists(out() / "L_out/y.csv.replaced"));
    EXPECT_TRUE(fs::exists(in.paths[0]));
    // Log 2 continues it and fails: undone, kept; converted again it
    // starts with no transfer open, so log 1 stands as it is and goes.
    run.start(true, true, &in.paths[1], &in.stamps[1]);
    run.write(y, "L_out/y", 2);
    run.end_failed();
    EXPECT_FALSE(fs::exists(in.paths[0]));
    EXPECT_TRUE(fs::exists(in.paths[1]));
    EXPECT_FALSE(fs::exists(out() / "L_out/y.csv.replaced"));
    // Log 3 starts another series and is held too; the series ends
    // (another log starts, or the run): released, it goes.
    run.start(true, false, &in.paths[2], &in.stamps[2]);
    run.write(w, "L_out/w", 3);
    ASSERT_TRUE(run.end_held());
    EXPECT_TRUE(fs::exists(in.paths[2]));
    ASSERT_TRUE(run.journal.release());
    EXPECT_FALSE(fs::exists(in.paths[2]));
    run.journal.leave();
  }
  // Nothing of the journal is left, and nothing to recover.
  EXPECT_EQ(
      tree(out()),
      (Tree{{"L_out/", ""}, {"L_out/y.csv", kHeader + row(1)}, {"L_out/w.csv", kHeader + row(3)}}));
  recover(true, false);
}

TEST_F(JournalRecoveryTest, AnInputReplacedAfterItWasReadIsNotDeleted) {
  SKIP_WITHOUT_FORK();
  const std::string input = dir.root() + "in/log.txt";
  put(input, "the log that was read\n");
  platform::FileStamp stamp;
  ASSERT_TRUE(platform::file_stamp(input, stamp));
  killed_run([&](Outputs& run) {
    run.start(true, false, &input, &stamp);
    run.write(output("x"), "L_out/x", 1);
    ASSERT_TRUE(run.end_ok());
  });
  // Another file of the same size took its place.
  fs::remove(input);
  put(input, std::string(21, 'x') + "\n");
  recover(true);
  EXPECT_TRUE(fs::exists(input));
  EXPECT_EQ(tree(out()).at("L_out/x.csv"), kHeader + row(1));
}

TEST_F(JournalRecoveryTest, ALogUndoneByTheRunIsNotUndoneAgainOverWhatCameAfter) {
  SKIP_WITHOUT_FORK();
  const OutputIdentity y = output("y");
  killed_run([&](Outputs& run) {
    run.start(false, false);
    run.write(y, "L_out/y", 1);
    ASSERT_TRUE(run.end_ok());
    run.start(false, true);
    run.write(y, "L_out/y", 2);
    run.end_failed();
    run.start(false, true);
    run.write(y, "L_out/y", 3);
    ASSERT_TRUE(run.end_ok());
  });
  recover(false);
  EXPECT_EQ(tree(out()).at("L_out/y.csv"), kHeader + row(1) + row(3));
}

// A journal written by hand: the states between a record and what it
// protects, which a kill leaves as well.
struct HandMade {
  const char* what;
  Tree before;  // the tree the killed run left (below out/)
  std::vector<JournalEntry> entries;
  size_t torn = 0;  // bytes cut off the journal's end
  Tree after;
};

JournalEntry entry(JournalEntry::Kind kind, const std::string& path = "", int64_t length = 0) {
  JournalEntry e;
  e.kind = kind;
  e.path = path;
  e.length = length;
  return e;
}

TEST_F(JournalRecoveryTest, EveryRecordIsRolledBackWhereverTheKillCameBetweenItAndItsWork) {
  using K = JournalEntry;
  const JournalEntry begin = entry(K::kBegin);
  const std::vector<HandMade> cases = {
      {"replace noted, nothing moved yet",
       {{"L_out/a.csv", kOldX}},
       {begin, entry(K::kReplace, "a")},
       0,
       {{"L_out/a.csv", kOldX}}},
      {"moved aside, new file not made yet",
       {{"L_out/a.csv.replaced", kOldX}},
       {begin, entry(K::kReplace, "a")},
       0,
       {{"L_out/a.csv", kOldX}}},
      {"moved aside, new file half written",
       {{"L_out/a.csv.replaced", kOldX}, {"L_out/a.csv", "t,v\n0.0"}},
       {begin, entry(K::kReplace, "a")},
       0,
       {{"L_out/a.csv", kOldX}}},
      {"create noted, file not made", {}, {begin, entry(K::kCreate, "n/b")}, 0, {}},
      {"folders noted, one of them made",
       {{"L_out/n/", ""}},
       {begin, entry(K::kFolder, "n/m/o")},
       0,
       {}},
      {"append noted, nothing appended",
       {{"L_out/c.csv", "t,v\n"}},
       {begin, entry(K::kAppend, "c", 4)},
       0,
       {{"L_out/c.csv", "t,v\n"}}},
      {"append half done, the commit record torn",
       {{"L_out/c.csv", "t,v\n1,2\n3,"}},
       {begin, entry(K::kAppend, "c", 8), entry(K::kCommit)},
       5,
       {{"L_out/c.csv", "t,v\n1,2\n"}}},
      {"a later log not committed is rolled back, an earlier one kept",
       {{"L_out/c.csv", "t,v\n1,2\n"}},
       {begin, entry(K::kCommit), begin, entry(K::kAppend, "c", 4)},
       0,
       {{"L_out/c.csv", "t,v\n"}}},
      {"a held log is rolled back with the later log that was not committed",
       {{"L_out/c.csv", "t,v\n1,2\n3,4\n"}},
       {begin, entry(K::kAppend, "c", 4), entry(K::kHeld), begin, entry(K::kAppend, "c", 8)},
       0,
       {{"L_out/c.csv", "t,v\n"}}},
      {"held logs stand once a later log committed, even one whose own record is torn",
       {{"L_out/c.csv", "t,v\n1,2\n3,4\n5,"}},
       {begin, entry(K::kAppend, "c", 4), entry(K::kHeld), begin, entry(K::kAppend, "c", 8),
        entry(K::kHeld), begin, entry(K::kCommit), begin, entry(K::kAppend, "c", 12),
        entry(K::kCommit)},
       5,
       {{"L_out/c.csv", "t,v\n1,2\n3,4\n"}}},
      {"a held log stands when the log after it failed and released it",
       {{"L_out/c.csv", "t,v\n1,2\n"}},
       {begin, entry(K::kAppend, "c", 4), entry(K::kHeld), begin, entry(K::kAppend, "c", 8),
        entry(K::kUndone), begin, entry(K::kCommit)},
       0,
       {{"L_out/c.csv", "t,v\n1,2\n"}}},
  };
  for (const HandMade& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(out());
    fs::create_directories(out() / "L_out");
    for (const auto& [path, text] : c.before) {
      if (path.back() == '/') {
        fs::create_directories(out() / path);
      } else {
        put(out() / path, text);
      }
    }
    std::string journal;
    for (const JournalEntry& e : c.entries) encode_entry(e, journal);
    journal.resize(journal.size() - c.torn);
    put(out() / "L_out/.quillon-journal-3", journal);
    recover(false);
    Tree expected = c.after;
    expected["L_out/"] = "";
    for (const auto& [path, text] : c.after) {
      for (size_t slash = path.find('/', 6); slash != std::string::npos;
           slash = path.find('/', slash + 1)) {
        expected[path.substr(0, slash + 1)] = "";
      }
    }
    EXPECT_EQ(tree(out()), expected);
  }
}

TEST_F(JournalRecoveryTest, JournalLinesRoundTripAndADamagedByteEndsThem) {
  std::vector<JournalEntry> entries;
  for (int i = 0; i < 50; ++i) {
    JournalEntry e = entry(static_cast<JournalEntry::Kind>("BACRMKU"[i % 7]));
    e.length = i * 1000003LL - 7;
    e.stamp.id = platform::FileId{static_cast<uint64_t>(i) << 40, ~static_cast<uint64_t>(i)};
    e.stamp.size = i;
    e.stamp.modified_ns = 1700000000123456789LL + i;
    e.path =
        std::string("a b\n") + std::string(static_cast<size_t>(i), static_cast<char>('a' + i % 26));
    entries.push_back(e);
  }
  std::string text;
  for (const JournalEntry& e : entries) encode_entry(e, text);
  const std::vector<JournalEntry> back = decode_journal(text);
  ASSERT_EQ(back.size(), entries.size());
  for (size_t i = 0; i < back.size(); ++i) {
    EXPECT_EQ(back[i].kind, entries[i].kind);
    EXPECT_EQ(back[i].length, entries[i].length);
    EXPECT_EQ(back[i].stamp, entries[i].stamp);
    EXPECT_EQ(back[i].path, entries[i].path);
  }
  // Every cut and every flipped byte: the lines before it stand, none after.
  std::vector<size_t> ends;
  for (size_t at = 0, n = 0; n < entries.size(); ++n) {
    std::string line;
    encode_entry(entries[n], line);
    at += line.size();
    ends.push_back(at);
  }
  for (size_t cut = 0; cut < text.size(); cut += 7) {
    const size_t whole = std::upper_bound(ends.begin(), ends.end(), cut) - ends.begin();
    EXPECT_EQ(decode_journal(text.substr(0, cut)).size(), whole) << cut;
    std::string flipped = text;
    flipped[cut] ^= 0x20;
    EXPECT_LE(decode_journal(flipped).size(), whole) << cut;
  }
}

TEST_F(JournalRecoveryTest, ALockedLoggerFolderFailsTheLogAndAStaleLockFileDoesNot) {
  fs::create_directories(out() / "L_out");
  intptr_t handle = 0;
  platform::FileId id;
  int error = 0;
  ASSERT_EQ(platform::lock_file(root->root() + "L_out/.quillon-lock", handle, id, error),
            platform::LockResult::kLocked);
  {
    LogCapture log(LOG_ERROR);
    Outputs run(root.get());
    run.start(true, false);
    EXPECT_FALSE(run.enter());
    run.start(true, false);
    EXPECT_FALSE(run.enter());
    const std::string text = log.text();
    const std::string line =
        " E Output folder is in use by another conversion: " + root->root() + "L_out\n";
    EXPECT_NE(text.find(line), std::string::npos) << text;
    EXPECT_EQ(text.find(line), text.rfind(line)) << text;  // told once
  }
  platform::unlock_file(handle);
  // The file stays, as a killed process leaves it: no lock on it now.
  ASSERT_TRUE(fs::exists(out() / "L_out/.quillon-lock"));
  Outputs run(root.get());
  run.start(true, false);
  EXPECT_TRUE(run.enter());
  run.write(output("x"), "L_out/x", 1);
  EXPECT_TRUE(run.end_ok());
  run.journal.leave();
  EXPECT_EQ(tree(out()), (Tree{{"L_out/", ""}, {"L_out/x.csv", kHeader + row(1)}}));
}

TEST_F(JournalRecoveryTest, AFailedLogIsUndoneInsideATreeRenamedWhileItWasConverted) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows refuses to rename a folder below which files are open, and a "
                  "folder there is held by its path";
#endif
  put(out() / "L_out/a/x.csv", kOldX);
  put(out() / "L_out/b/y.csv", "an earlier run's y\n");
  Outputs run(root.get());
  run.start(true, false);
  // y as a file of an earlier log of this run: the log appends to it.
  run.write(output("y"), "L_out/b/y", 1);
  ASSERT_TRUE(run.end_ok());
  const Tree after_first = tree(out());
  run.start(true, true);
  run.write(output("y"), "L_out/b/y", 2);
  run.write(output("x"), "L_out/a/x", 3);
  run.write(output("z"), "L_out/c/d/z", 4);
  fs::rename(out(), dir.path() / "out.moved");
  {
    LogCapture log(LOG_WARN);
    run.end_failed();
    EXPECT_EQ(log.text(), "");
  }
  run.journal.leave();
  EXPECT_FALSE(fs::exists(out()));
  Tree expected = after_first;
  for (auto it = expected.begin(); it != expected.end();) {
    it = it->first.rfind("L_out/.quillon", 0) == 0 ? expected.erase(it) : std::next(it);
  }
  EXPECT_EQ(tree(dir.path() / "out.moved"), expected);
  EXPECT_EQ(expected.at("L_out/b/y.csv"), kHeader + row(1));  // the first log's y stands
}

}  // namespace
}  // namespace quillon
