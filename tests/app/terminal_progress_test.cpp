// The status line: its text within any width, and the real program under a
// pseudo-terminal (util-linux `script`) against a pipe.
#include "app/terminal_progress.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "test_util.h"

namespace quillon {
namespace {

using test::TempDir;

int columns_of(const std::string& s) {
  int n = 0;
  for (unsigned char c : s) n += (c & 0xC0) != 0x80;
  return n;
}

// No multi-byte character cut: every lead byte has all its continuation bytes.
bool whole_utf8(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    for (size_t k = 1; k < n; ++k) {
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    }
    i += n;
  }
  return true;
}

TEST(StatusLine, ShowsEveryFigure) {
  ProgressFigures f;
  f.files_done = 3;
  f.files_total = 8;
  f.bytes_done = 50u << 20;
  f.bytes_total = 100u << 20;
  f.frames = 1000000;
  f.elapsed_ms = 2000;
  f.file = "logs/a/00000001.TXT";
  // Half the bytes in 2 s: 2 s left.
  EXPECT_EQ(format_status_line(f, 200),
            "3/8 files  50.0/100.0 MB  1000000 frames  500.0k/s  0:02  ETA 0:02  "
            "logs/a/00000001.TXT");
  // Before a second has passed there is no rate to go by.
  f.elapsed_ms = 400;
  f.file.clear();
  EXPECT_EQ(format_status_line(f, 200),
            "3/8 files  50.0/100.0 MB  1000000 frames  -/s  0:00  ETA -:--");
}

// Whatever the width, the line leaves the last column free, cuts no
// character, starts with the files, and shows the end of the file name
// (where the file's own name is), behind "..." when it is shortened.
// Figures are dropped before the name is cut below 20 columns.
TEST(StatusLine, FitsEveryWidth) {
  ProgressFigures f;
  f.files_done = 12345;
  f.files_total = 67890;
  f.bytes_done = 5ull << 40;
  f.bytes_total = 9ull << 40;
  f.frames = 123456789012;
  f.elapsed_ms = 3600 * 1000 * 5 + 1234;
  const std::string names[] = {"", "a.txt", "logs/Überfahrt/день 3/日本語のログ/00000042.TXT",
                               std::string(300, 'x') + "/end.txt"};
  const std::string files = "12345/67890 files";
  for (const std::string& name : names) {
    f.file = name;
    const std::string wide = format_status_line(f, 1000);
    EXPECT_EQ(wide.substr(wide.size() - name.size()), name);
    for (int width = 0; width <= 400; ++width) {
      SCOPED_TRACE("width " + std::to_string(width) + ", file " + name);
      std::string line = format_status_line(f, width);
      EXPECT_LE(columns_of(line), width > 0 ? width - 1 : 0);
      EXPECT_TRUE(whole_utf8(line));
      if (width > columns_of(wide)) {
        EXPECT_EQ(line, wide);
      }
      if (width <= static_cast<int>(files.size())) {
        EXPECT_EQ(files.compare(0, line.size(), line), 0) << line;
        continue;
      }
      EXPECT_EQ(line.rfind(files, 0), 0u) << line;
      if (name.empty()) continue;
      size_t name_at = line.find("  " + name);
      size_t dots = line.find("  ...");
      ASSERT_TRUE(name_at != std::string::npos || dots != std::string::npos || width < 30) << line;
      if (name_at == std::string::npos && dots != std::string::npos) {
        std::string tail = line.substr(dots + 5);
        EXPECT_EQ(name.compare(name.size() - tail.size(), tail.size(), tail), 0) << line;
        if (width >= 60) {
          EXPECT_GE(columns_of(tail), 16) << line;
        }
      }
    }
  }
}

#ifndef _WIN32

// A log of frames of the DBC below; with bad, one frame's timestamp is
// damaged, which logs one warning.
std::string log_text(int split, int frames, bool bad) {
  std::string s =
      "# Logger ID: TTY1\n# Session No.: 1\n# Split No.: " + std::to_string(split) +
      "\n# Time: 20240517T100000\n# Value separator: \";\"\n# Time format: 3\n"
      "# Time separator: \":\"\n# Time separator ms: \".\"\nTimestamp;Type;ID;Length;Data\n";
  for (int i = 0; i < frames; ++i) {
    int ms = split * 100000 + i;
    char line[80];
    std::snprintf(line, sizeof line, "10:%02d:%02d.%03d;1;0CF00400;8;F3A0A58025FF0FFF\n",
                  ms / 60000 % 60, ms / 1000 % 60, ms % 1000);
    s += bad && i == frames / 2 ? std::string("10:0x:00.000;1;0CF00400;8;F3A0A58025FF0FFF\n")
                                : std::string(line);
  }
  return s;
}

const char kWarning[] = "W Skipping frame with malformed timestamp: 10:0x:00.000";

// The log line as a whole line of text.
const std::regex kLogLine(
    R"(\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} +\d+ +\d+ W Skipping frame with malformed timestamp: )"
    R"(10:0x:00\.000)");

class ProgressRun : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::system("script --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no script";
    std::filesystem::copy_file(QUILLON_SOURCE_DIR "/examples/engine.dbc",
                               dir_.path() / "engine.dbc");
    dir_.write("logs/00000001.TXT", log_text(1, 3000, false));
    dir_.write("logs/00000002.TXT", log_text(2, 3000, true));
    dir_.write("logs/00000003.TXT", log_text(3, 3000, false));
    dir_.mkdir("out");
  }

  std::string command(const std::string& options) const {
    return "cd '" + dir_.path().string() +
           "' && exec '" QUILLON_BINARY "' --verbosity=3 --dbc-can1=engine.dbc -O out " + options +
           " logs";
  }

  // What the program wrote to a terminal of the given width, as the
  // terminal got it (the terminal turns "\n" into "\r\n").
  std::string on_terminal(const std::string& options, int columns) const {
    std::string inner = "stty cols " + std::to_string(columns) + " rows 24; " + command(options);
    std::string script = (dir_.path() / "typescript").string();
    std::string outer = "script -qec \"" + inner + "\" '" + script + "' </dev/null >/dev/null 2>&1";
    EXPECT_EQ(std::system(outer.c_str()), 0) << outer;
    std::string text = dir_.read("typescript");
    // script frames the session with a line of its own before and after.
    size_t start = text.find('\n');
    size_t end = text.rfind("\nScript done");
    if (start == std::string::npos || end == std::string::npos || end < start) return text;
    return text.substr(start + 1, end - start);
  }

  TempDir dir_;
};

// The screen after the bytes: "\r" goes back to the first column, "\n" to
// the next line, other bytes overwrite what is there. Lines right-trimmed.
std::vector<std::string> screen(const std::string& bytes) {
  std::vector<std::u32string> lines(1);
  size_t column = 0;
  for (size_t i = 0; i < bytes.size();) {
    unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c == '\r') {
      column = 0;
      ++i;
      continue;
    }
    if (c == '\n') {
      lines.emplace_back();
      column = 0;
      ++i;
      continue;
    }
    // One character per lead byte; its value does not matter here.
    size_t n = 1;
    while (i + n < bytes.size() && (static_cast<unsigned char>(bytes[i + n]) & 0xC0) == 0x80) ++n;
    char32_t ch = c < 0x80 ? c : 0x100 + c;
    std::u32string& line = lines.back();
    if (line.size() <= column) line.resize(column + 1, U' ');
    line[column++] = ch;
    i += n;
  }
  std::vector<std::string> out;
  for (std::u32string& line : lines) {
    while (!line.empty() && line.back() == U' ') line.pop_back();
    std::string s;
    for (char32_t ch : line) s += ch < 0x80 ? static_cast<char>(ch) : '?';
    out.push_back(s);
  }
  while (!out.empty() && out.back().empty()) out.pop_back();
  return out;
}

TEST_F(ProgressRun, StatusLineOnATerminalLeavesLogLinesWholeAndEndsWithTheSummary) {
  std::string bytes = on_terminal("", 60);
  // The status line was drawn: every log file found before the first is read.
  EXPECT_NE(bytes.find("\r0/3 files  "), std::string::npos) << bytes;
  // Every drawing and clearing fits the 60 columns with the last one left
  // free. (What follows a clearing is the log line or the summary.)
  for (size_t at = bytes.find('\r'); at != std::string::npos; at = bytes.find('\r', at + 1)) {
    size_t end = bytes.find_first_of("\r\n", at + 1);
    std::string drawn = bytes.substr(at + 1, end == std::string::npos ? end : end - at - 1);
    if (drawn.find(" files") != std::string::npos ||
        drawn.find_first_not_of(' ') == std::string::npos) {
      EXPECT_LE(columns_of(drawn), 59) << drawn;
    }
  }
  // The log line went out in one piece: from the first column to its end.
  size_t warning = bytes.find(kWarning);
  ASSERT_NE(warning, std::string::npos) << bytes;
  size_t line_start = bytes.find_last_of("\r\n", warning);
  ASSERT_NE(line_start, std::string::npos);
  EXPECT_EQ(bytes[line_start], '\r');
  size_t line_end = bytes.find_first_of("\r\n", warning);
  ASSERT_NE(line_end, std::string::npos);
  EXPECT_EQ(bytes.compare(line_end, 2, "\r\n"), 0);
  EXPECT_TRUE(std::regex_match(bytes.substr(line_start + 1, line_end - line_start - 1), kLogLine));

  // What the user sees at the end: the log line whole on its own line, no
  // status line left, and the summary last.
  std::vector<std::string> lines = screen(bytes);
  int log_lines = 0;
  for (const std::string& line : lines) {
    EXPECT_EQ(line.find(" files  "), std::string::npos) << line;
    if (line.find("Skipping") != std::string::npos) {
      EXPECT_TRUE(std::regex_match(line, kLogLine)) << line;
      ++log_lines;
    }
  }
  EXPECT_EQ(log_lines, 1);
  ASSERT_GE(lines.size(), 18u);
  std::vector<std::string> tail(lines.end() - 18, lines.end());
  EXPECT_EQ(tail[0], std::string(79, '-'));
  EXPECT_EQ(tail[1], "Reader summary");
  EXPECT_EQ(tail[2], "- Files: 3");
  EXPECT_EQ(tail[3], "- Messages: 8999");
  EXPECT_EQ(tail[16].rfind("Execution time: ", 0), 0u) << tail[16];
  EXPECT_EQ(tail[17], std::string(79, '-'));
}

// A shard's status line counts the shard's logs, not every log listed: it
// starts at none of the total the summary ends with, serial and on
// threads, and the shards' totals add up to the listing.
TEST_F(ProgressRun, AShardCountsOnlyItsOwnLogs) {
  for (const char* logger : {"TTY2", "TTY3", "TTY4", "TTY5", "TTY6", "TTY7"}) {
    for (int split = 1; split <= 2; ++split) {
      std::string text = log_text(split, 10, false);
      text.replace(text.find("TTY1"), 4, logger);
      dir_.write(std::string("fleet/") + logger + "/0000000" + std::to_string(split) + ".TXT",
                 text);
    }
  }
  const std::regex summary_files("Reader summary\r\n- Files: (\\d+)\r\n");
  for (const char* jobs : {"", "-j 2 "}) {
    int sum = 0;
    int largest = 0;
    for (int k = 0; k < 2; ++k) {
      // With the logs folder's three logs: 15 listed.
      std::string bytes =
          on_terminal(std::string(jobs) + "--shard=" + std::to_string(k) + "/2 fleet", 80);
      std::smatch files;
      ASSERT_TRUE(std::regex_search(bytes, files, summary_files)) << bytes;
      const std::string total = files[1].str();
      EXPECT_NE(bytes.find("\r0/" + total + " files  "), std::string::npos) << jobs << k << bytes;
      sum += std::stoi(total);
      largest = std::max(largest, std::stoi(total));
    }
    EXPECT_EQ(sum, 15) << jobs;
    EXPECT_LT(largest, 15) << jobs << "every logger in one shard: the test shows nothing";
  }
}

// Asked not to, the program draws nothing even on a terminal: every "\r"
// is the terminal's own, before a "\n".
TEST_F(ProgressRun, NonInteractiveDrawsNothingOnATerminal) {
  std::string bytes = on_terminal("--non-interactive", 60);
  EXPECT_NE(bytes.find("Reader summary"), std::string::npos) << bytes;
  EXPECT_NE(bytes.find(kWarning), std::string::npos) << bytes;
  for (size_t at = bytes.find('\r'); at != std::string::npos; at = bytes.find('\r', at + 1)) {
    EXPECT_EQ(bytes.compare(at, 2, "\r\n"), 0) << bytes;
  }
  EXPECT_EQ(bytes.find(" files  "), std::string::npos) << bytes;
}

// Through a pipe, standard error holds the log lines and nothing else.
TEST_F(ProgressRun, NothingOfItReachesAPipe) {
  std::string out = (dir_.path() / "stdout").string();
  std::string err = (dir_.path() / "stderr").string();
  std::string run = "(" + command("") + " | cat > '" + out + "') 2>&1 | cat > '" + err + "'";
  ASSERT_EQ(std::system(run.c_str()), 0) << run;
  std::string errors = dir_.read("stderr");
  std::istringstream lines(errors);
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    EXPECT_TRUE(std::regex_match(line, kLogLine)) << line;
    ++count;
  }
  EXPECT_EQ(count, 1) << errors;
  EXPECT_EQ(errors.find('\r'), std::string::npos);
  std::string summary = dir_.read("stdout");
  EXPECT_EQ(summary.find('\r'), std::string::npos);
  EXPECT_EQ(summary.rfind(std::string(79, '-') + "\nReader summary\n- Files: 3\n", 0), 0u)
      << summary;
}

#endif  // _WIN32

}  // namespace
}  // namespace quillon
