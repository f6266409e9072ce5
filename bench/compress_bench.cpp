// Compressed output and outputs past the open-file limit, through the real
// binary, in one run whose conversions take turns (medians of the runs, so
// that a change in the machine's load falls on all of them):
// - the 1,000,000-frame log of convert_bench with --compress=none, zstd:1,
//   zstd:3, gzip:1 and gzip:6: frames per second against none, output
//   bytes and how many times smaller than plain;
// - a generated fleet (the thread tests' fleet) with none and zstd:1 on
//   -j 1 and -j 2: -j 2 against -j 1 on the disk of the temporary folder;
// - peak resident memory with 3,000 outputs open at once, each codec
//   against plain CSV;
// - churn: a log whose frames go to each of 4 x the open-file budget of
//   outputs in turn (every frame closes the least recently written writer
//   and reopens another) under a limit of 164 open files, against the same
//   log when the budget holds them all.
// Usage: compress_bench [quillon binary] [frames] [runs] [parts], parts a
// string of the letters l (the log), f (fleet), m (many open), c (churn),
// all by default; the files are
// generated in a folder of their own below <temp> (TMPDIR), removed at the
// end.
#if defined(__unix__)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "convert_common.h"
#include "fleet_gen.h"

namespace {

namespace fs = std::filesystem;
using namespace bench;

struct Run {
  double seconds = 0;
  double cpu = 0;  // user and system seconds
  long peak_kb = -1;
  int status = -1;
  uint64_t bytes = 0;  // of every file below out/
};

// Runs binary with args in dir, output into a fresh out/, under an
// open-file limit when nofile > 0.
Run convert(const std::string& binary, const fs::path& dir, const std::vector<std::string>& args,
            long nofile = 0) {
  fs::remove_all(dir / "out");
  fs::create_directory(dir / "out");
  Run run;
#if defined(__unix__)
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(binary.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const std::string log = (dir / "stdout").string();
  std::fflush(stdout);  // or the child writes what waits in the buffer again
  auto start = std::chrono::steady_clock::now();
  pid_t child = fork();
  if (child == 0) {
    if (chdir(dir.c_str()) != 0) _exit(127);
    if (!std::freopen(log.c_str(), "w", stdout) || !std::freopen(log.c_str(), "a", stderr)) {
      _exit(127);
    }
    if (nofile > 0) {
      rlimit limit{static_cast<rlim_t>(nofile), static_cast<rlim_t>(nofile)};
      if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(127);
    }
    execv(binary.c_str(), argv.data());
    _exit(127);
  }
  bench::wait_child(child, run.status, run.peak_kb, run.cpu);
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
#else
  (void)binary;
  (void)args;
  (void)nofile;
#endif
  for (auto& e : fs::recursive_directory_iterator(dir / "out")) {
    if (e.is_regular_file()) run.bytes += e.file_size();
  }
  return run;
}

// The plain log of convert_bench: frames in turn over its five messages.
std::string plain_log(long frames) {
  std::string s = log_header();
  s.reserve(static_cast<size_t>(frames) * 44);
  for (long i = 0; i < frames; ++i) {
    uint8_t bytes[8];
    for (int k = 0; k < 8; ++k) bytes[k] = payload_byte(i, k);
    append_frame(s, i, 0x18FF1000u + ((i % kMessages) << 8) + (i % 2), bytes);
  }
  return s;
}

// frames in turn over count messages of the database dbc_messages makes
// from 0x98F00000 on (PDU2 groups 0xF000 on, one output each).
std::string cycling_log(int count, long frames) {
  std::string s = log_header();
  for (long i = 0; i < frames; ++i) {
    uint8_t bytes[8];
    for (int k = 0; k < 8; ++k) bytes[k] = payload_byte(i, k);
    append_frame(s, i, 0x18F00000u + (static_cast<unsigned>(i % count) << 8), bytes);
  }
  return s;
}

void write(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

// Medians of runs turns over the variants; false when one failed. last
// keeps the bytes, the highest peak and the median CPU seconds.
bool take_turns(int runs, size_t variants, const std::function<Run(size_t)>& one,
                std::vector<std::vector<double>>& seconds, std::vector<Run>& last) {
  seconds.assign(variants, {});
  last.assign(variants, Run());
  std::vector<std::vector<double>> cpu(variants);
  for (int r = 0; r < runs; ++r) {
    for (size_t v = 0; v < variants; ++v) {
      Run run = one(v);
      if (run.status != 0) {
        std::printf("variant %zu: status %d\n", v, run.status);
        return false;
      }
      seconds[v].push_back(run.seconds);
      cpu[v].push_back(run.cpu);
      last[v].cpu = median(cpu[v]);
      last[v].peak_kb = std::max(last[v].peak_kb, run.peak_kb);
      last[v].bytes = run.bytes;
    }
  }
  return true;
}

const char* const kModes[] = {"none", "zstd:1", "zstd:3", "gzip:1", "gzip:6"};

bool one_log(const std::string& binary, const fs::path& dir, long frames, int runs) {
  write(dir / "bench.dbc", dbc_text());
  write(dir / "logs/00000001.TXT", plain_log(frames));
  std::vector<std::vector<double>> seconds;
  std::vector<Run> last;
  if (!take_turns(
          runs, 5,
          [&](size_t v) {
            return convert(binary, dir,
                           {std::string("--compress=") + kModes[v], "--dbc-can1=bench.dbc", "-O",
                            "out", "logs"});
          },
          seconds, last)) {
    return false;
  }
  std::printf("%ld frames, one log, one thread:\n", frames);
  const double plain = median(seconds[0]);
  for (size_t v = 0; v < 5; ++v) {
    const double t = median(seconds[v]);
    // CPU seconds against none's say what the codec costs whatever else
    // loads the machine and its disk.
    std::printf(
        "  %-7s %.2f M frames/s, x%.2f of none (CPU x%.2f of none's); %.1f MB out, %.1fx "
        "smaller than none\n",
        kModes[v], static_cast<double>(frames) / t / 1e6, plain / t, last[v].cpu / last[0].cpu,
        static_cast<double>(last[v].bytes) / 1e6,
        static_cast<double>(last[0].bytes) / static_cast<double>(last[v].bytes));
  }
  fs::remove_all(dir / "logs");
  return true;
}

bool fleet(const std::string& binary, const fs::path& dir, int runs) {
  quillon::test::FleetShape shape;
  shape.loggers = 20;
  shape.sessions = 4;
  shape.splits = 2;
  shape.frames_per_split = 12500;
  shape.quirks = false;
  if (!quillon::test::write_fleet(dir, shape)) return false;
  const char* const modes[] = {"none", "zstd:1", "zstd:3"};
  std::vector<std::vector<double>> seconds;
  std::vector<Run> last;
  if (!take_turns(
          runs, 6,
          [&](size_t v) {
            return convert(binary, dir,
                           {"-j", v % 2 ? "2" : "1", std::string("--compress=") + modes[v / 2],
                            "--dbc-can1=j1939.dbc", "--dbc-can1=can.dbc", "-O", "out", "fleet"});
          },
          seconds, last)) {
    return false;
  }
  const long frames =
      static_cast<long>(shape.loggers) * shape.sessions * shape.splits * shape.frames_per_split;
  std::printf("fleet of %d loggers x %d sessions x %d splits (about %ld frames):\n", shape.loggers,
              shape.sessions, shape.splits, frames);
  for (size_t m = 0; m < 3; ++m) {
    const double one = median(seconds[2 * m]), two = median(seconds[2 * m + 1]);
    std::printf(
        "  %-7s -j 1 x%.2f of none -j 1; -j 2 x%.2f of its -j 1 (%.2f cores busy); %.1f MB out\n",
        modes[m], median(seconds[0]) / one, one / two, last[2 * m + 1].cpu / two,
        static_cast<double>(last[2 * m].bytes) / 1e6);
  }
  fs::remove_all(dir / "fleet");
  return true;
}

bool many_open(const std::string& binary, const fs::path& dir, int runs) {
  // 3,000 messages, every one written in each of 20 rounds: all open at once.
  const int outputs = 3000;
  write(dir / "many.dbc", dbc_header() + dbc_messages("Msg", outputs, 0x98F00000u));
  write(dir / "many/00000001.TXT", cycling_log(outputs, 20L * outputs));
  std::vector<std::vector<double>> seconds;
  std::vector<Run> last;
  const char* const modes[] = {"none", "zstd:3", "zstd:19", "gzip:6"};
  if (!take_turns(
          runs, 4,
          [&](size_t v) {
            return convert(binary, dir,
                           {std::string("--compress=") + modes[v], "--dbc-can1=many.dbc", "-O",
                            "out", "many"});
          },
          seconds, last)) {
    return false;
  }
  std::printf("%d outputs open at once, peak RSS:\n", outputs);
  for (size_t v = 0; v < 4; ++v) {
    std::printf("  %-7s %.1f MB, x%.2f of none\n", modes[v], last[v].peak_kb / 1024.0,
                static_cast<double>(last[v].peak_kb) / static_cast<double>(last[0].peak_kb));
  }
  return true;
}

bool churn(const std::string& binary, const fs::path& dir, int runs) {
  // 164 open files leave one thread a budget of 96 (164 less 64 kept for
  // the run and 4 for the log and folders): 384 outputs cycle through it.
  const long limit = 164;
  const int outputs = 4 * 96;
  const long frames = 200L * outputs;
  write(dir / "churn.dbc", dbc_header() + dbc_messages("Msg", outputs, 0x98F00000u));
  write(dir / "churn/00000001.TXT", cycling_log(outputs, frames));
  std::vector<std::vector<double>> seconds;
  std::vector<Run> last;
  if (!take_turns(
          runs, 4,
          [&](size_t v) {
            return convert(binary, dir,
                           {v / 2 ? "--compress=zstd:1" : "--compress=none", "--dbc-can1=churn.dbc",
                            "-O", "out", "churn"},
                           v % 2 ? limit : 0);
          },
          seconds, last)) {
    return false;
  }
  std::printf("%d outputs in turn, %ld frames, under a budget of a quarter of them:\n", outputs,
              frames);
  for (size_t m = 0; m < 2; ++m) {
    const double all = median(seconds[2 * m]), quarter = median(seconds[2 * m + 1]);
    std::printf("  %-7s %.3f M frames/s against %.3f with every output open: x%.3f\n",
                m ? "zstd:1" : "none", static_cast<double>(frames) / quarter / 1e6,
                static_cast<double>(frames) / all / 1e6, all / quarter);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string binary = fs::absolute(argc > 1 ? argv[1] : QUILLON_BINARY).string();
  const long frames = argc > 2 ? std::atol(argv[2]) : 1000000;
  const int runs = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3;
  const std::string parts = argc > 4 ? argv[4] : "lfmc";
  auto part = [&](char letter) { return parts.find(letter) != std::string::npos; };
  const fs::path dir = unique_folder("quillon-compress-bench");
  const bool ok = (!part('l') || one_log(binary, dir, frames, runs)) &&
                  (!part('f') || fleet(binary, dir, runs)) &&
                  (!part('m') || many_open(binary, dir, runs)) &&
                  (!part('c') || churn(binary, dir, runs));
  fs::remove_all(dir);
  return ok ? 0 : 1;
}
