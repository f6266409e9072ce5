// What the conversion benchmarks share: the generated J1939 database and log
// lines, the reading-alone sink, timing helpers and a folder of their own.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <stb/stb_sprintf.h>

#if defined(__unix__)
#include <sys/resource.h>
#include <sys/wait.h>
#endif

#include "input/conversion_loop.h"
#include "input/folder.h"
#include "input/sink.h"

namespace bench {

constexpr int kMessages = 5;
constexpr int kRuns = 5;

// A J1939 database's attribute lines, before its messages.
inline std::string dbc_header() {
  return "VERSION \"\"\n\nBU_: ECU\n\n"
         "BA_DEF_  \"BusType\" STRING ;\nBA_DEF_  \"ProtocolType\" STRING ;\n"
         "BA_ \"BusType\" \"CAN\";\nBA_ \"ProtocolType\" \"J1939\";\n\n";
}

// count messages of eight 8-bit signals from identifier first on, 0x100 apart.
inline std::string dbc_messages(const char* name, int count, unsigned first) {
  std::string s;
  char line[160];
  for (int m = 0; m < count; ++m) {
    std::snprintf(line, sizeof line, "BO_ %u %s%d: 8 ECU\n", first + (m << 8), name, m);
    s += line;
    for (int k = 0; k < 8; ++k) {
      std::snprintf(line, sizeof line, " SG_ %s%d_%d : %d|8@1+ (0.5,-10) [-10|117.5] \"\" ECU\n",
                    name, m, k, 8 * k);
      s += line;
    }
  }
  return s;
}

// The small database: kMessages messages the plain log uses in turn.
inline std::string dbc_text() {
  return dbc_header() + dbc_messages("Msg", kMessages, 0x98FF1000u);
}

inline uint8_t payload_byte(long frame, int k) {
  return static_cast<uint8_t>((frame * 7 + k * 31 + (frame >> 5)) & 0xFF);
}

inline std::string log_header() {
  return "# Logger ID: BENCH01\n# Session No.: 1\n# Split No.: 1\n# Time: 20240517T100000\n"
         "# Value separator: \";\"\n# Time format: 3\n# Time separator: \":\"\n"
         "# Time separator ms: \".\"\nTimestamp;Type;ID;Length;Data\n";
}

// Frame i of a log, 1 ms after the one before from 10:00:00.
inline void append_frame(std::string& s, long i, unsigned id, const uint8_t (&bytes)[8]) {
  char line[96];
  long ms = 36000000 + i;
  int n = std::snprintf(line, sizeof line, "%02ld:%02ld:%02ld.%03ld;1;%08X;8;", ms / 3600000,
                        ms / 60000 % 60, ms / 1000 % 60, ms % 1000, id);
  s.append(line, n);
  for (uint8_t b : bytes) {
    std::snprintf(line, sizeof line, "%02X", b);
    s.append(line, 2);
  }
  s += '\n';
}

inline double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

class AcceptAll : public quillon::FrameSink {
 public:
  bool on_frame(quillon::Frame&) override { return true; }
  bool on_file_start(const quillon::FileRecord&, bool) override { return true; }
  bool on_file_end(const quillon::FileRecord&) override { return true; }
};

template <typename F>
double seconds(F f) {
  auto start = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Seconds to read logs (a folder below dir) with nothing done to the frames.
inline double read_alone(const std::filesystem::path& dir, const char* logs) {
  auto folder = quillon::RootedFolder::create(dir.string() + "/");
  AcceptAll sink;
  quillon::ConversionOptions options;
  auto loop = quillon::ConversionLoop::create(folder.get(), folder.get(), options, &sink);
  return seconds([&] { loop->run({logs}); });
}

// Seconds to format the rows the conversion of the plain log writes with
// stb_sprintf alone, discarding them: the floor the converter is held to.
inline double format_floor(long frames) {
  char row[512];
  volatile size_t sink_bytes = 0;
  return seconds([&] {
    for (long i = 0; i < frames; ++i) {
      double time = 1715940000.0 + static_cast<double>(i) * 0.001;
      int n = stbsp_snprintf(row, sizeof row, "%f", time);
      for (int k = 0; k < 8; ++k) {
        n += stbsp_snprintf(row + n, static_cast<int>(sizeof row) - n, ",%f",
                            payload_byte(i, k) * 0.5 - 10);
      }
      sink_bytes = sink_bytes + static_cast<size_t>(n);
    }
  });
}

// A fresh folder below the temporary folder, so that runs side by side
// never share (or remove) each other's files.
inline std::filesystem::path unique_folder(const char* prefix) {
  namespace fs = std::filesystem;
  std::random_device random;
  for (;;) {
    char name[64];
    std::snprintf(name, sizeof name, "%s-%08x%08x", prefix, random(), random());
    fs::path dir = fs::temp_directory_path() / name;
    if (fs::create_directory(dir)) return dir;
  }
}

#if defined(__unix__)
// Waits for a child run of the program; false (nothing set) when it cannot.
// status: its exit status, -1 when a signal ended it; peak_kb: its peak
// resident size; cpu: its user and system seconds.
inline bool wait_child(pid_t child, int& status, long& peak_kb, double& cpu) {
  int how = 0;
  rusage usage{};
  if (child <= 0 || wait4(child, &how, 0, &usage) != child) return false;
  status = WIFEXITED(how) ? WEXITSTATUS(how) : -1;
  peak_kb = usage.ru_maxrss;
  cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
        static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  return true;
}
#endif

}  // namespace bench
