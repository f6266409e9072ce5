// The program run as a user runs it, under faults: a file-size limit that
// makes writes fail part-way (as a full disk does), and an interrupt. The
// runs go through bash, for "ulimit" and for sending the signal. The tests
// of a failed split, an interrupt and a run over an earlier tree run plain
// and with each compression: every file must decompress whole, and its
// rows be a clean run's.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "decompress.h"
#include "test_util.h"

namespace quillon {
namespace {

namespace fs = std::filesystem;

const char kDbc[] =
    "VERSION \"\"\n\nBU_: ECU\n\n"
    "BO_ 2364540158 EEC1: 8 ECU\n"
    " SG_ Torque : 0|8@1+ (1,-125) [-125|125] \"%\" ECU\n"
    " SG_ Eng_Speed : 8|16@1+ (0.125,0) [0|8031.875] \"rpm\" ECU\n\n"
    "BA_DEF_  \"ProtocolType\" STRING ;\nBA_ \"ProtocolType\" \"J1939\";\n";

// A log of count EEC1 frames, one per millisecond from frame first on; the
// values make every row of a run distinct.
std::string make_log(int session, int split, int first, int count) {
  std::string log = "# Logger ID: TRUCK-07\n# Session No.: " + std::to_string(session) +
                    "\n# Split No.: " + std::to_string(split) +
                    "\n# Time: 20240517T120000\n# Value separator: \";\"\n"
                    "Timestamp;Type;ID;Length;Data\n";
  log.reserve(log.size() + static_cast<size_t>(count) * 48);
  char line[80];
  for (int i = first; i < first + count; ++i) {
    std::snprintf(line, sizeof line,
                  "20240517T%02d%02d%02d%03d;1;0CF00400;8;%02X%02X%02X0000000000\n",
                  12 + i / 3600000, i / 60000 % 60, i / 1000 % 60, i % 1000, i % 250, i & 0xFF,
                  (i >> 8) & 0xFF);
    log += line;
  }
  return log;
}

// The parameter is the --compress value ("" for none).
class Faults : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
#ifdef _WIN32
    GTEST_SKIP() << "the faults come from bash: a file-size limit (ulimit -f) and a signal, "
                    "neither of which Windows has";
#endif
    dir.write("j1939.dbc", kDbc);
    dir.mkdir("out");
    dir.mkdir("reference");
  }

  // Runs a bash script in the folder; $Q is the program. Gives its status
  // as the script's "echo $?" saw it.
  int sh(const std::string& script) {
    dir.write("run.sh", "Q='" QUILLON_BINARY "'\ncd '" + dir.path().string() + "' || exit 1\n" +
                            script + "\necho $? >status\n");
    std::string command = "cd '" + dir.path().string() + "' && bash run.sh >sh.out 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0);
    return std::atoi(dir.read("status").c_str());
  }

  Compression compression() const {
    Compression c;
    EXPECT_TRUE(*GetParam() == '\0' || parse_compression(GetParam(), c));
    return c;
  }
  // The option that chooses it, with a space after, or "".
  std::string compress() const {
    return *GetParam() ? std::string("--compress=") + GetParam() + " " : std::string();
  }

  // The rows of every CSV file below folder, sorted; each file is checked
  // to be of the chosen kind, to decompress whole, and to begin with its
  // header.
  std::vector<std::string> rows(const std::string& folder) {
    std::vector<std::string> out;
    const Compression c = compression();
    const std::string extension = output_extension(c.codec);
    for (auto& e : fs::recursive_directory_iterator(dir.path() / folder)) {
      if (!e.is_regular_file()) continue;
      const std::string name = e.path().filename().string();
      if (name.find(".csv") == std::string::npos) continue;
      EXPECT_TRUE(name.size() > extension.size() &&
                  name.compare(name.size() - extension.size(), extension.size(), extension) == 0)
          << e.path();
      std::ifstream in(e.path(), std::ios::binary);
      std::string text;
      EXPECT_TRUE(
          test::decompress(std::string(std::istreambuf_iterator<char>(in), {}), c.codec, text))
          << e.path();
      std::istringstream lines(text);
      std::string line;
      EXPECT_TRUE(std::getline(lines, line) && line == "t,Torque,Eng_Speed") << e.path();
      while (std::getline(lines, line)) out.push_back(line);
    }
    std::sort(out.begin(), out.end());
    return out;
  }

  // Every output file below folder by its path (relative, without the
  // extension), decompressed.
  std::map<std::string, std::string> texts(const std::string& folder) {
    std::map<std::string, std::string> out;
    const Compression c = compression();
    const std::string extension = output_extension(c.codec);
    for (auto& e : fs::recursive_directory_iterator(dir.path() / folder)) {
      if (!e.is_regular_file()) continue;
      std::string name = fs::relative(e.path(), dir.path() / folder).generic_string();
      std::ifstream in(e.path(), std::ios::binary);
      std::string text;
      EXPECT_TRUE(
          test::decompress(std::string(std::istreambuf_iterator<char>(in), {}), c.codec, text))
          << name;
      out[name] = text;
    }
    return out;
  }

  // The size of the one output file below folder.
  int64_t output_size(const std::string& folder) {
    int64_t size = -1;
    for (auto& e : fs::recursive_directory_iterator(dir.path() / folder)) {
      if (e.is_regular_file()) size = static_cast<int64_t>(e.file_size());
    }
    return size;
  }

  size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  }

  test::TempDir dir;
};

TEST_P(Faults, AContinuedSplitThatFailsPartWayLeavesNoRowBehind) {
  // About 12 KiB of rows per split written plain (ten times as many rows
  // compressed); a limit halfway between the output after the first split
  // and after both lets the first split through and stops the second in
  // the middle of a row (of a frame, compressed).
  const int n = *GetParam() ? 3000 : 300;
  dir.write("logs/00000001.TXT", make_log(3, 1, 0, n));
  dir.write("logs/00000002.TXT", make_log(3, 2, n, n));
  dir.write("clean/00000001.TXT", make_log(3, 1, 0, n));
  dir.write("clean/00000002.TXT", make_log(3, 2, n, n));
  dir.write("first/00000001.TXT", make_log(3, 1, 0, n));
  dir.mkdir("measure");
  ASSERT_EQ(sh("\"$Q\" " + compress() + "--dbc-can1=j1939.dbc -O measure first 2>err"), 0);
  const int64_t first_size = output_size("measure");
  ASSERT_EQ(sh("\"$Q\" " + compress() + "--dbc-can1=j1939.dbc -O reference clean 2>err"), 0);
  const int64_t both_size = output_size("reference");
  const int64_t limit = (first_size + both_size) / 2 / 1024;
  ASSERT_LT(first_size, limit * 1024);
  ASSERT_GT(both_size, limit * 1024);

  EXPECT_EQ(sh("(ulimit -f " + std::to_string(limit) + "; exec \"$Q\" -d " + compress() +
               "--dbc-can1=j1939.dbc -O out logs) 2>err"),
            8);
  EXPECT_FALSE(fs::exists(dir.path() / "logs/00000001.TXT"));
  EXPECT_TRUE(fs::exists(dir.path() / "logs/00000002.TXT"));
  const std::string err = dir.read("err");
  EXPECT_EQ(count(err, "Could not write output file: "), 1u) << err;
  EXPECT_NE(err.find("(File too large)"), std::string::npos) << err;
  // What the first split wrote, and nothing more.
  std::vector<std::string> first = rows("out");
  EXPECT_EQ(first.size(), static_cast<size_t>(n));

  // With room again, the kept split converted on its own.
  EXPECT_EQ(sh("\"$Q\" -d " + compress() + "--dbc-can1=j1939.dbc -O out logs 2>err"), 0)
      << dir.read("err");
  EXPECT_FALSE(fs::exists(dir.path() / "logs/00000002.TXT"));
  std::vector<std::string> expected = rows("reference");
  ASSERT_EQ(expected.size(), 2u * n);
  EXPECT_EQ(rows("out"), expected);  // none twice, none missing, none cut
}

TEST_P(Faults, ARunOverAnEarlierTreeReplacesItsFiles) {
  // The second run replaces the first run's files (no row twice, nothing
  // set aside left behind); a third that fails under a file-size limit
  // puts them back as they were.
  dir.write("logs/00000001.TXT", make_log(3, 1, 0, 5000));
  dir.write("logs/00000002.TXT", make_log(4, 1, 0, 5000));
  for (int run = 0; run < 2; ++run) {
    EXPECT_EQ(sh("\"$Q\" " + compress() + "--dbc-can1=j1939.dbc -O out logs 2>err"), 0)
        << dir.read("err");
  }
  const std::vector<std::string> once = rows("out");
  EXPECT_EQ(once.size(), 10000u);
  size_t files = 0;
  for (auto& e : fs::recursive_directory_iterator(dir.path() / "out")) {
    if (!e.is_regular_file()) continue;
    ++files;
    EXPECT_EQ(e.path().string().find(".replaced"), std::string::npos) << e.path();
  }
  EXPECT_EQ(files, 2u);
  EXPECT_EQ(
      sh("(ulimit -f 1; exec \"$Q\" " + compress() + "--dbc-can1=j1939.dbc -O out logs) 2>err"), 8);
  EXPECT_EQ(rows("out"), once);
}

// A database of count messages, each of one byte on its own extended
// identifier 0x100 + i, and a log of session whose frames go to each of them
// in turn, rounds times.
std::string many_messages_dbc(int count) {
  std::string dbc = "VERSION \"\"\n\nBU_: ECU\n\n";
  for (int i = 0; i < count; ++i) {
    dbc += "BO_ " + std::to_string(0x80000000u + 0x100 + i) + " M" + std::to_string(i) +
           ": 8 ECU\n SG_ V : 0|8@1+ (1,0) [0|255] \"\" ECU\n\n";
  }
  return dbc;
}

std::string many_outputs_log(int session, int count, int rounds) {
  std::string log = "# Logger ID: TRUCK-07\n# Session No.: " + std::to_string(session) +
                    "\n# Split No.: 1\n# Time: 20240517T120000\n# Value separator: \";\"\n"
                    "Timestamp;Type;ID;Length;Data\n";
  char line[80];
  for (int i = 0; i < count * rounds; ++i) {
    std::snprintf(line, sizeof line, "20240517T12%02d%02d%03d;1;%08X;8;%02X00000000000000\n",
                  i / 60000 % 60, i / 1000 % 60, i % 1000, 0x100 + i % count,
                  (i * 7 + session) & 0xFF);
    log += line;
  }
  return log;
}

TEST_P(Faults, MoreOutputsThanOpenFilesConvertCompletelyOnEveryThreadCount) {
  // Two sessions of 400 outputs each under a limit of 160 open files: on
  // one thread and on two (where each thread's share is smaller still), the
  // least recently written writers are closed and reopened to append, and
  // every file is what a run without the limit writes.
  dir.write("many.dbc", many_messages_dbc(400));
  dir.write("logs/a/00000001.TXT", many_outputs_log(1, 400, 4));
  dir.write("logs/b/00000001.TXT", many_outputs_log(2, 400, 4));
  ASSERT_EQ(sh("\"$Q\" " + compress() + "--dbc-can1=many.dbc -O reference logs 2>err"), 0)
      << dir.read("err");
  const std::map<std::string, std::string> expected = texts("reference");
  ASSERT_EQ(expected.size(), 800u);
  for (const char* jobs : {"1", "2"}) {
    SCOPED_TRACE(jobs);
    fs::remove_all(dir.path() / "out");
    dir.mkdir("out");
    EXPECT_EQ(sh("(ulimit -n 160; exec \"$Q\" -j " + std::string(jobs) + " " + compress() +
                 "--dbc-can1=many.dbc -O out logs) >stdout 2>err"),
              0)
        << dir.read("err");
    EXPECT_EQ(dir.read("err"), "");
    EXPECT_TRUE(texts("out") == expected);
  }
}

INSTANTIATE_TEST_SUITE_P(Compression, Faults, ::testing::Values("", "zstd", "gzip:1"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           return std::string(*info.param ? info.param : "none").substr(0, 4);
                         });

// Plain output only: rows compressed into a buffer's frame stay below the
// limit this relies on.
using PlainFaults = Faults;

TEST_P(PlainFaults, ASplitAfterAFailedOneStartsItsOwnFilesSoTheReRunLosesNothing) {
  // The limit of 8 KiB stops the first split (about 12 KiB of rows); the
  // second (about 2 KiB) converts and is deleted. Had it continued into
  // the names the first split began, converting the first split again
  // would replace them, its rows with them.
  dir.write("logs/00000001.TXT", make_log(3, 1, 0, 300));
  dir.write("logs/00000002.TXT", make_log(3, 2, 300, 50));
  dir.write("clean/00000001.TXT", make_log(3, 1, 0, 300));
  dir.write("clean/00000002.TXT", make_log(3, 2, 300, 50));

  EXPECT_EQ(sh("(ulimit -f 8; exec \"$Q\" -d --dbc-can1=j1939.dbc -O out logs) 2>err"), 8);
  EXPECT_TRUE(fs::exists(dir.path() / "logs/00000001.TXT"));
  EXPECT_FALSE(fs::exists(dir.path() / "logs/00000002.TXT")) << dir.read("err");
  EXPECT_TRUE(fs::exists(dir.path() / "out/TRUCK07_out/CAN1_EEC1_S00/2024/05/17/"
                                      "00000003_00000002.csv"));
  EXPECT_EQ(rows("out").size(), 50u);

  EXPECT_EQ(sh("\"$Q\" -d --dbc-can1=j1939.dbc -O out logs 2>err"), 0) << dir.read("err");
  EXPECT_FALSE(fs::exists(dir.path() / "logs/00000001.TXT"));
  EXPECT_EQ(sh("\"$Q\" --dbc-can1=j1939.dbc -O reference clean 2>err"), 0);
  std::vector<std::string> expected = rows("reference");
  ASSERT_EQ(expected.size(), 350u);
  EXPECT_EQ(rows("out"), expected);
}

TEST_P(PlainFaults, AnOutputFolderNameOverTheSystemsLimitSaysWhy) {
  // A message name of 5,000 characters makes a folder name no file system
  // takes; the reason must not be cut off the log line by the long path.
  dir.write("long.dbc",
            "VERSION \"\"\n\nBU_: ECU\n\nBO_ 2364540158 " + std::string(5000, 'M') +
                ": 8 ECU\n SG_ Torque : 0|8@1+ (1,-125) [-125|125] \"%\" ECU\n\n"
                "BA_DEF_  \"ProtocolType\" STRING ;\nBA_ \"ProtocolType\" \"J1939\";\n");
  dir.write("logs/00000001.TXT", make_log(3, 1, 0, 5));
  EXPECT_EQ(sh("\"$Q\" -d --dbc-can1=long.dbc -O out logs 2>err"), 8);
  const std::string err = dir.read("err");
  const size_t at = err.find(" E Could not create output folder: ");
  ASSERT_NE(at, std::string::npos) << err;
  const std::string line = err.substr(at, err.find('\n', at) - at);
  EXPECT_NE(line.find("...MMMM"), std::string::npos) << line;
  EXPECT_NE(line.find("MMMM_S00 (File name too long)"), std::string::npos) << line;
  EXPECT_TRUE(fs::exists(dir.path() / "logs/00000001.TXT"));
}

TEST_P(PlainFaults, ASyncThatFailsBeforeTheDeleteKeepsTheLogThatWroteTheData) {
  // The first log's rows (about 2 KiB) wait in the write buffer until they
  // are synced before the delete, past the 1 KiB limit; the second log
  // writes less.
  dir.write("logs/00000001.TXT", make_log(1, 1, 0, 50));
  dir.write("logs/00000002.TXT", make_log(2, 1, 0, 10));

  EXPECT_EQ(sh("(ulimit -f 1; exec \"$Q\" -d --dbc-can1=j1939.dbc -O out logs) 2>err"), 8);
  const std::string err = dir.read("err");
  EXPECT_EQ(count(err, " E Could not sync output file: "), 1u) << err;
  EXPECT_NE(err.find("00000001_00000001.csv (File too large)\n"), std::string::npos) << err;
  EXPECT_NE(err.find("Error during conversion of logs/00000001.TXT"), std::string::npos) << err;
  EXPECT_EQ(err.find("Error during conversion of logs/00000002.TXT"), std::string::npos) << err;
  EXPECT_TRUE(fs::exists(dir.path() / "logs/00000001.TXT"));
  EXPECT_FALSE(fs::exists(dir.path() / "logs/00000002.TXT"));
  EXPECT_FALSE(fs::exists(dir.path() / "out/TRUCK07_out/CAN1_EEC1_S00/2024/05/17/"
                                       "00000001_00000001.csv"));
  EXPECT_EQ(rows("out").size(), 10u);
}

INSTANTIATE_TEST_SUITE_P(Plain, PlainFaults, ::testing::Values(""));

TEST_P(Faults, AnInterruptUndoesTheCurrentLogAndEndsByTheSignal) {
  // The first split is converted and deleted; the interrupt comes while
  // the second, a large one, is being converted.
  dir.write("logs/00000001.TXT", make_log(3, 1, 0, 100));
  dir.write("logs/00000002.TXT", make_log(3, 2, 100, 1000000));
  const int status =
      sh("set -m\n"  // a background job of a shell without job control ignores SIGINT
         "\"$Q\" -d " +
         compress() +
         "--dbc-can1=j1939.dbc -O out logs >stdout 2>err &\n"
         "pid=$!\n"
         "for i in $(seq 1 3000); do [ -e logs/00000001.TXT ] && kill -0 $pid || break; sleep "
         "0.01; done\n"
         "sleep 0.05\n"
         "kill -INT $pid\n"
         "wait $pid");
  EXPECT_EQ(status, 128 + 2);  // ended by SIGINT, as the shell sees it
  EXPECT_FALSE(fs::exists(dir.path() / "logs/00000001.TXT"));
  EXPECT_TRUE(fs::exists(dir.path() / "logs/00000002.TXT"));
  const std::string err = dir.read("err");
  EXPECT_NE(err.find(" E Conversion interrupted by signal 2\n"), std::string::npos) << err;
  EXPECT_NE(dir.read("stdout").find("Writer summary\n- Files: 1\n"), std::string::npos)
      << dir.read("stdout");
  // Only the first split's rows, each whole.
  std::vector<std::string> got = rows("out");
  EXPECT_EQ(got.size(), 100u);
  dir.write("clean/00000001.TXT", make_log(3, 1, 0, 100));
  EXPECT_EQ(sh("\"$Q\" " + compress() + "--dbc-can1=j1939.dbc -O reference clean 2>err"), 0);
  EXPECT_EQ(got, rows("reference"));
}

}  // namespace
}  // namespace quillon
