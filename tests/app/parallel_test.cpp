// The program on several threads against itself on one: the same fleet
// converted with -j 1, -j 4 and -j 0 must leave the same tree (CSV files,
// JSON dumps, what -d deletes, what a failed log takes back), print the
// same summary and end with the same status; only the order of the log
// lines may differ. The runs go through bash, for "ulimit".
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "fleet_gen.h"
#include "test_util.h"

namespace quillon {
namespace {

namespace fs = std::filesystem;

struct RunResult {
  int status = -1;
  std::string summary;                      // without the "Execution time" line
  std::vector<std::string> log_lines;       // from the level letter on, sorted
  std::map<std::string, std::string> tree;  // relative path to content ("/" for a folder)
};

class Parallel : public ::testing::Test {
 protected:
  void SetUp() override {
#ifdef _WIN32
    GTEST_SKIP() << "the runs go through bash (ulimit); the golden cases run on threads there";
#endif
  }

  // Runs the program with args in a fresh copy of corpus/ (or in the folder
  // in, made before); open_files, when not 0, is the limit on open files
  // ("ulimit -n").
  RunResult run(const std::string& name, const std::string& args, int open_files = 0,
                const std::string& in = "") {
    const fs::path work = dir.path() / (in.empty() ? name : in);
    if (in.empty()) fs::copy(dir.path() / "corpus", work, fs::copy_options::recursive);
    std::string limit = open_files > 0 ? "ulimit -n " + std::to_string(open_files) + "; " : "";
    dir.write(name + ".sh", "cd '" + work.string() + "' || exit 99\n(" + limit + "exec '" +
                                QUILLON_BINARY "' " + args + ") >../" + name + ".out 2>../" + name +
                                ".err\necho $? >../" + name + ".status\n");
    std::string command = "bash '" + (dir.path() / (name + ".sh")).string() + "'";
    EXPECT_EQ(std::system(command.c_str()), 0);

    RunResult r;
    r.status = std::atoi(dir.read(name + ".status").c_str());
    std::istringstream out(dir.read(name + ".out"));
    for (std::string line; std::getline(out, line);) {
      if (line.rfind("Execution time: ", 0) != 0) r.summary += line + "\n";
    }
    std::istringstream err(dir.read(name + ".err"));
    for (std::string line; std::getline(err, line);) {
      // "mm-dd hh:mm:ss.mmm pid tid L text": time, process and thread differ.
      size_t at = 0;
      for (int field = 0; field < 4 && at != std::string::npos; ++field) {
        at = line.find_first_not_of(' ', at);
        at = at == std::string::npos ? at : line.find(' ', at);
      }
      std::string text = at == std::string::npos ? line : line.substr(at + 1);
      // Paths in messages begin with the run's own folder.
      for (size_t p; (p = text.find(work.string())) != std::string::npos;) {
        text.replace(p, work.string().size(), "<work>");
      }
      r.log_lines.push_back(text);
    }
    std::sort(r.log_lines.begin(), r.log_lines.end());
    for (auto& e : fs::recursive_directory_iterator(work)) {
      std::string relative = fs::relative(e.path(), work).generic_string();
      if (e.is_directory()) {
        r.tree[relative + "/"] = "";
      } else {
        std::ifstream in(e.path(), std::ios::binary);
        std::ostringstream content;
        content << in.rdbuf();
        r.tree[relative] = content.str();
      }
    }
    return r;
  }

  // Everything a run shows but the order of its log lines.
  static void expect_same(const RunResult& serial, const RunResult& parallel,
                          const std::string& what) {
    EXPECT_EQ(parallel.status, serial.status) << what;
    EXPECT_EQ(parallel.summary, serial.summary) << what;
    EXPECT_EQ(parallel.log_lines, serial.log_lines) << what;
    expect_same_tree(serial, parallel, what);
  }

  // The same files with the same contents and the same folders; tells how
  // many differ and the first of each kind.
  static void expect_same_tree(const RunResult& serial, const RunResult& parallel,
                               const std::string& what) {
    std::vector<std::string> only_serial, only_parallel, differ;
    for (const auto& [path, content] : serial.tree) {
      auto found = parallel.tree.find(path);
      if (found == parallel.tree.end()) {
        only_serial.push_back(path);
      } else if (found->second != content) {
        differ.push_back(path);
      }
    }
    for (const auto& [path, content] : parallel.tree) {
      if (!serial.tree.count(path)) only_parallel.push_back(path);
    }
    EXPECT_TRUE(only_serial.empty() && only_parallel.empty() && differ.empty())
        << what << ": " << only_serial.size() << " only serial (first "
        << (only_serial.empty() ? "" : only_serial.front()) << "), " << only_parallel.size()
        << " only parallel (first " << (only_parallel.empty() ? "" : only_parallel.front()) << "), "
        << differ.size() << " differ (first " << (differ.empty() ? "" : differ.front()) << ")";
  }

  // The counters of the reader and writer summaries, in order.
  static std::vector<uint64_t> reader_writer_counters(const std::string& summary) {
    std::vector<uint64_t> counters;
    std::istringstream in(summary);
    bool counted = false;
    for (std::string line; std::getline(in, line);) {
      if (line == "Reader summary" || line == "Writer summary") counted = true;
      if (line == "Transport protocol summary") counted = false;
      size_t colon = line.find(": ");
      // Sizes are whole megabytes rounded down: shards add up only to
      // within rounding.
      if (counted && line.rfind("- Size: ", 0) != 0 && line.rfind("- ", 0) == 0 &&
          colon != std::string::npos) {
        counters.push_back(std::stoull(line.substr(colon + 2)));
      }
    }
    return counters;
  }

  // Shards 0 to n - 1 of args run one after the other in one copy of
  // corpus/: the tree they leave, the OR of their statuses, their reader
  // and writer counters added up and the distinct lines they logged (each
  // shard tells of the databases). Shards one after the other with -d also
  // hold that the logs a shard deleted change nothing for the next one.
  struct ShardsResult {
    int status = 0;
    std::vector<uint64_t> counters;
    std::set<std::string> log_lines;
    std::map<std::string, std::string> tree;
  };
  ShardsResult run_shards(const std::string& name, const std::string& args, int n) {
    fs::copy(dir.path() / "corpus", dir.path() / name, fs::copy_options::recursive);
    ShardsResult all;
    for (int k = 0; k < n; ++k) {
      const std::string shard = std::to_string(k) + "/" + std::to_string(n);
      RunResult r = run(name + "_" + std::to_string(k), "--shard=" + shard + " " + args, 0, name);
      all.status |= r.status;
      std::vector<uint64_t> counters = reader_writer_counters(r.summary);
      all.counters.resize(counters.size());
      for (size_t i = 0; i < counters.size(); ++i) all.counters[i] += counters[i];
      all.log_lines.insert(r.log_lines.begin(), r.log_lines.end());
      all.tree = std::move(r.tree);
    }
    return all;
  }

  static void expect_same_as_shards(const RunResult& single, const ShardsResult& shards,
                                    const std::string& what) {
    EXPECT_EQ(shards.status, single.status) << what;
    EXPECT_EQ(shards.counters, reader_writer_counters(single.summary)) << what;
    EXPECT_EQ(shards.log_lines,
              std::set<std::string>(single.log_lines.begin(), single.log_lines.end()))
        << what;
    RunResult merged;
    merged.tree = shards.tree;
    expect_same_tree(single, merged, what);
  }

  static bool logged(const RunResult& r, const std::string& start) {
    return std::any_of(r.log_lines.begin(), r.log_lines.end(),
                       [&](const std::string& line) { return line.rfind(start, 0) == 0; });
  }

  static size_t files_below(const RunResult& r, const std::string& prefix) {
    return static_cast<size_t>(std::count_if(r.tree.begin(), r.tree.end(), [&](const auto& e) {
      return e.first.rfind(prefix, 0) == 0 && e.first.back() != '/';
    }));
  }

  test::TempDir dir;
};

const char kArgs[] = "--verbosity=4 --dbdump --dbc-can1=j1939.dbc --dbc-can1=can.dbc fleet";

TEST_F(Parallel, AFleetConvertsOnThreadsAsItDoesOnOne) {
  ASSERT_TRUE(test::write_fleet(dir.path() / "corpus", test::FleetShape()));
  RunResult serial = run("serial", std::string("-j 1 ") + kArgs);
  // The fleet holds what it should: the checks below compare something.
  EXPECT_EQ(serial.status, 8);
  EXPECT_TRUE(logged(serial, "W Repeated input file (TRUCK-02, 00000001, 00000002)"));
  EXPECT_TRUE(logged(serial, "E Could not parse file header"));
  EXPECT_TRUE(logged(serial, "E Could not open log"));
  EXPECT_TRUE(logged(serial,
                     "W Output TRUCK00_out/CAN1_Lamp/2024/05/17/00000001_00000001.csv "
                     "is taken by another output"));
  EXPECT_TRUE(logged(serial, "E Could not create output folder: <work>/TRUCK03_out/CAN1_EEC1_S05"));
  EXPECT_TRUE(logged(serial, "E Error during conversion of fleet/L03/00000002_00000002.TXT"));
  EXPECT_GT(files_below(serial, "TRUCK05_out/CAN1_EC1_S00/2024/05/18/"), 0u);
  EXPECT_GT(files_below(serial, "TRUCK05_out/CAN1_VehicleInfo/2024/05/18/"), 0u);
  EXPECT_NE(serial.summary.find("- Successful sessions: "), std::string::npos);
  EXPECT_EQ(serial.summary.find("- Successful sessions: 0\n"), std::string::npos);
  EXPECT_EQ(serial.summary.find("- Unfinished sessions: 0\n"), std::string::npos);

  expect_same(serial, run("j4", std::string("-j 4 ") + kArgs), "-j 4");
  expect_same(serial, run("j0", std::string("-j 0 ") + kArgs), "-j 0");
  expect_same(serial, run("j9", std::string("--jobs=9 ") + kArgs), "--jobs=9");
}

TEST_F(Parallel, DeletingConvertedLogsDeletesTheSameOnes) {
  ASSERT_TRUE(test::write_fleet(dir.path() / "corpus", test::FleetShape()));
  RunResult serial = run("serial", std::string("-d ") + kArgs);
  // Converted logs are gone; the failed and the repeated one stay.
  EXPECT_EQ(files_below(serial, "fleet/L05/"), 0u);
  EXPECT_EQ(serial.tree.count("fleet/L03/00000002_00000002.TXT"), 1u);
  EXPECT_EQ(serial.tree.count("fleet/L02/00000001_00000002r.TXT"), 1u);
  expect_same(serial, run("j4", std::string("-d -j 4 ") + kArgs), "-d -j 4");
  expect_same(serial, run("j0", std::string("-d -j 0 ") + kArgs), "-d -j 0");
}

// Every log of a logger folder (case folded) falls to one shard, so the
// shards together convert the fleet as one run does: the same tree, the
// same logs deleted, the counters adding up, the statuses OR-ed.
TEST_F(Parallel, TheShardsOfAFleetTogetherConvertItAsOneRun) {
  ASSERT_TRUE(test::write_fleet(dir.path() / "corpus", test::FleetShape()));
  for (const char* options : {"", "-d ", "-j 2 ", "-d -j 2 "}) {
    SCOPED_TRACE(options);
    const std::string tag = options[0] == '\0' ? std::string("plain")
                                               : std::string(options).substr(1, 1) +
                                                     std::to_string(std::string(options).size());
    RunResult single = run(tag, options + std::string(kArgs));
    ASSERT_EQ(single.status, 8);
    for (int n : {1, 2, 3, 7}) {
      expect_same_as_shards(
          single, run_shards(tag + "_of" + std::to_string(n), options + std::string(kArgs), n),
          std::string(options) + std::to_string(n) + " shards");
    }
  }
}

TEST_F(Parallel, ALowOpenFileLimitFailsNoWriterThatOneThreadKeeps) {
  // Each log writes about 45 outputs, in as many folders: one thread keeps
  // about 100 files open, four would need about 400.
  test::FleetShape shape;
  shape.loggers = 8;
  shape.sessions = 2;
  shape.splits = 2;
  shape.sources = 40;
  shape.frames_per_split = 400;
  shape.quirks = false;
  ASSERT_TRUE(test::write_fleet(dir.path() / "corpus", shape));
  RunResult unbounded = run("unbounded", kArgs);
  ASSERT_EQ(unbounded.status, 0);
  EXPECT_GT(files_below(unbounded, "TRUCK01_out/"), 80u);
  RunResult serial = run("serial", kArgs, 160);
  expect_same(unbounded, serial, "serial under ulimit -n 160");
  expect_same(serial, run("j4", std::string("-j 4 ") + kArgs, 160), "-j 4 under ulimit -n 160");
  expect_same(serial, run("j0", std::string("-j 0 ") + kArgs, 160), "-j 0 under ulimit -n 160");
}

TEST_F(Parallel, AnInterruptUndoesTheLogOfEveryThread) {
  // One split per session, so that every log is a series of its own and a
  // run that stops between logs and goes on later gives the clean result,
  // file for file. The sessions of a logger share day folders.
  test::FleetShape shape;
  shape.loggers = 6;
  shape.sessions = 4;
  shape.splits = 1;
  shape.frames_per_split = 60000;
  shape.quirks = false;
  ASSERT_TRUE(test::write_fleet(dir.path() / "corpus", shape));
  RunResult clean = run("clean", std::string("-d ") + kArgs);
  ASSERT_EQ(clean.status, 0);

  fs::copy(dir.path() / "corpus", dir.path() / "cut", fs::copy_options::recursive);
  // The interrupt must find a log in the middle of its frames: one that
  // lands between logs (a thread syncing, deleting or opening the next)
  // undoes nothing and logs nothing. So the process is stopped, and only
  // while stopped a log is seen read past its first window (1 MiB; the
  // walk reads headers through 64 KiB) and not to its end is the signal
  // sent; it is taken when the process goes on, with that log's frames
  // still to come. A run that ends before is a failure of the test.
  dir.write("cut.sh",
            "cd '" + (dir.path() / "cut").string() + "' || exit 99\n" +
                // A background job ignores SIGINT unless told otherwise;
                // job control ("set -m") would end "wait" at a stop below.
                "env --default-signal=INT '" QUILLON_BINARY "' -d -j 4 " + kArgs +
                " >../cut.out 2>../cut.err &\n"
                "pid=$!\n"
                "mid_log() {\n"
                "  for fd in /proc/$pid/fd/*; do\n"
                "    path=$(readlink \"$fd\") || continue\n"
                "    case $path in *.TXT) ;; *) continue ;; esac\n"
                "    size=$(stat -c %s \"$path\" 2>/dev/null) || continue\n"
                "    pos=$(sed -n 's/^pos:[[:space:]]*//p' /proc/$pid/fdinfo/${fd##*/})\n"
                "    [ -n \"$pos\" ] && [ \"$pos\" -ge 1048576 ] && [ \"$pos\" -lt \"$size\" ] "
                "&& return 0\n"
                "  done\n"
                "  return 1\n"
                "}\n"
                "for i in $(seq 1 20000); do\n"
                "  kill -STOP $pid || break\n"
                "  if mid_log; then kill -INT $pid; kill -CONT $pid; break; fi\n"
                "  kill -CONT $pid\n"
                "  sleep 0.002\n"
                "done\n"
                "wait $pid\n"
                "echo $? >../cut.status\n");
  std::string command = "bash '" + (dir.path() / "cut.sh").string() + "'";
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(std::atoi(dir.read("cut.status").c_str()), 128 + 2) << dir.read("cut.err");
  const std::string err = dir.read("cut.err");
  EXPECT_NE(err.find(" E Conversion interrupted by signal 2\n"), std::string::npos) << err;

  // The kept logs converted afterwards complete the tree.
  fs::remove_all(dir.path() / "corpus");
  fs::rename(dir.path() / "cut", dir.path() / "corpus");
  RunResult resumed = run("resumed", std::string("-d -j 4 ") + kArgs);
  EXPECT_EQ(resumed.status, 0);
  expect_same_tree(clean, resumed, "interrupted and resumed");
}

}  // namespace
}  // namespace quillon
