// How conversion scales with the database and with an existing output tree.
// End-to-end conversion of a generated J1939 log of 1,000,000 frames (five
// messages of eight signals, one DBC) through the real binary, next to two
// references measured in the same run: reading the same file alone (the
// conversion loop with a sink that accepts everything) and formatting the
// identical rows alone with stb_sprintf (the floor). Then the same number of
// frames spread over a DBC of 3,000 messages: CPU per frame against the
// small DBC's, and a second run into the tree of 3,000 outputs the first one
// left, against that first run. CPU per frame is the slope between the full
// log and one that has each output's first frame only, so that what a run
// costs once (the DBC, 3,000 outputs to open) does not count. Medians of
// five runs; the machines are shared, so run it on a quiet one, and with
// TMPDIR=/dev/shm to keep the file system's own costs out of the figures.
// Usage: output_scale_bench [quillon binary] [frames]; the files are
// generated in a folder of their own below <temp>, removed at the end.
#include <stb/stb_sprintf.h>
#if defined(__unix__)
#include <sys/resource.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "convert_common.h"
#include "input/conversion_loop.h"
#include "input/folder.h"
#include "input/sink.h"

namespace {

using namespace bench;

constexpr int kManyMessages = 3000;

// kManyMessages PDU2 messages of eight signals, one output each (source
// address 0).
std::string many_dbc_text() {
  return dbc_header() + dbc_messages("Big", kManyMessages, 0x98F00000u);
}

// many: every frame a message of the large DBC, in turn.
std::string log_text(long frames, bool many = false) {
  std::string s = log_header();
  s.reserve(static_cast<size_t>(frames) * 44);
  for (long i = 0; i < frames; ++i) {
    unsigned id = many ? 0x18F00000u + static_cast<unsigned>((i % kManyMessages) << 8)
                       : 0x18FF1000u + ((i % kMessages) << 8) + (i % 2);
    uint8_t bytes[8];
    for (int k = 0; k < 8; ++k) bytes[k] = payload_byte(i, k);
    append_frame(s, i, id, bytes);
  }
  return s;
}

// CPU seconds (user and system, or user only) of the finished child
// processes so far; -1 where the system does not tell.
double children_cpu(bool user_only = false) {
#if defined(__unix__)
  rusage usage{};
  if (getrusage(RUSAGE_CHILDREN, &usage) != 0) return -1;
  double user = static_cast<double>(usage.ru_utime.tv_sec) +
                static_cast<double>(usage.ru_utime.tv_usec) / 1e6;
  if (user_only) return user;
  return user + static_cast<double>(usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_stime.tv_usec) / 1e6;
#else
  (void)user_only;
  return -1;
#endif
}

struct Timing {
  double wall = 0, cpu = 0, user = 0;
};

// Runs the binary; false (with the status told) when the conversion failed.
bool convert(const std::string& command, Timing& timing) {
  int status = 0;
  double cpu = children_cpu(), user = children_cpu(true);
  timing.wall = seconds([&] { status = std::system(command.c_str()); });
  timing.cpu = children_cpu() - cpu;
  timing.user = children_cpu(true) - user;
  if (status == 0) return true;
  // A failed run measures nothing: no figures rather than wrong ones.
  std::printf("%s: the conversion returned %d\n", command.c_str(), status);
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  // The runs change folder, so a relative binary path is resolved first.
  std::string binary = std::filesystem::absolute(argc > 1 ? argv[1] : QUILLON_BINARY).string();
  long frames = argc > 2 ? std::atol(argv[2]) : 1000000;
  namespace fs = std::filesystem;
  fs::path dir = unique_folder("quillon-scale-bench");
  for (const char* logs : {"logs", "first", "many", "many_first"})
    fs::create_directories(dir / logs);
  std::ofstream(dir / "bench.dbc", std::ios::binary) << dbc_text();
  std::ofstream(dir / "many.dbc", std::ios::binary) << many_dbc_text();
  std::string log = log_text(frames);
  std::ofstream(dir / "logs" / "00000001.TXT", std::ios::binary) << log;
  // Each output's first frame: the small log's come within its first ten.
  const long small_first = 2 * kMessages, many_first = kManyMessages;
  std::ofstream(dir / "first" / "00000001.TXT", std::ios::binary) << log_text(small_first);
  std::ofstream(dir / "many" / "00000001.TXT", std::ios::binary) << log_text(frames, true);
  std::ofstream(dir / "many_first" / "00000001.TXT", std::ios::binary)
      << log_text(many_first, true);
  double mb = static_cast<double>(log.size()) / 1e6;
  const std::string cd = "cd '" + dir.string() + "' && '" + binary + "' ";

  std::vector<double> reader, floor, total, total_cpu, first_cpu, many_cpu, many_first_cpu, first,
      again, user[4], chosen;
  // Ten signals of the large database, spread over it (an older binary
  // without --signals gives no figure for them).
  std::string ten = "--signals=";
  for (int i = 0; i < 10; ++i) {
    ten += (i ? "," : "") + std::string("Big") + std::to_string(i * (kManyMessages / 10)) + "_" +
           std::to_string(i % 8);
  }
  bool chosen_known = true;
  bool ok = true;
  for (int run = 0; run < kRuns && ok; ++run) {
    reader.push_back(read_alone(dir, "logs"));
    floor.push_back(format_floor(frames));

    Timing t;
    auto fresh = [&] {
      fs::remove_all(dir / "out");
      fs::create_directories(dir / "out");
    };
    const std::string small = cd + "--dbc-can1=bench.dbc -O out ";
    fresh();
    ok = ok && convert(small + "logs > /dev/null 2>&1", t);
    total.push_back(t.wall);
    total_cpu.push_back(t.cpu);
    user[0].push_back(t.user);
    fresh();
    ok = ok && convert(small + "first > /dev/null 2>&1", t);
    first_cpu.push_back(t.cpu);
    user[1].push_back(t.user);

    // The large DBC into an empty folder, then again over what that left.
    const std::string many = cd + "--dbc-can1=many.dbc -O out ";
    fresh();
    ok = ok && convert(many + "many_first > /dev/null 2>&1", t);
    many_first_cpu.push_back(t.cpu);
    user[3].push_back(t.user);
    fresh();
    ok = ok && convert(many + "many > /dev/null 2>&1", t);
    first.push_back(t.wall);
    many_cpu.push_back(t.cpu);
    user[2].push_back(t.user);
    ok = ok && convert(many + "many > /dev/null 2>&1", t);
    again.push_back(t.wall);
    if (chosen_known) {
      fresh();
      if (std::system((many + ten + " first > /dev/null 2>&1").c_str()) != 0) {
        chosen_known = false;
      } else {
        fresh();
        ok = ok && convert(many + ten + " many > /dev/null 2>&1", t);
        chosen.push_back(t.wall);
      }
    }
  }
  if (!ok) {
    fs::remove_all(dir);
    return 1;
  }

  double r = median(reader), f = median(floor), t = median(total);
  std::printf("frames: %ld, input: %.1f MB, medians of %d runs\n", frames, mb, kRuns);
  std::printf("reader only:  %8.3f s  %10.0f frames/s  %7.1f MB/s\n", r, frames / r, mb / r);
  std::printf("format floor: %8.3f s  %10.0f frames/s  (stb_sprintf alone)\n", f, frames / f);
  std::printf("end to end:   %8.3f s  %10.0f frames/s  %7.1f MB/s  %.2fx the floor's speed\n", t,
              frames / t, mb / t, f / t);
  const double small_frames = static_cast<double>(frames - small_first);
  const double large_frames = static_cast<double>(frames - many_first);
  double small = median(total_cpu), large = median(many_cpu);
  double small_slope = (small - median(first_cpu)) / small_frames * 1e9;
  double large_slope = (large - median(many_first_cpu)) / large_frames * 1e9;
  std::printf("CPU per frame, %d messages: %7.1f ns; %d messages: %7.1f ns; %.2fx\n", kMessages,
              small_slope, kManyMessages, large_slope, large_slope / small_slope);
  double small_user = (median(user[0]) - median(user[1])) / small_frames * 1e9;
  double large_user = (median(user[2]) - median(user[3])) / large_frames * 1e9;
  std::printf("user CPU per frame, %d messages: %7.1f ns; %d messages: %7.1f ns; %.2fx\n",
              kMessages, small_user, kManyMessages, large_user, large_user / small_user);
  std::printf("CPU of the whole run, %d messages: %.3f s; %d messages: %.3f s; %.2fx\n", kMessages,
              small, kManyMessages, large, large / small);
  double a = median(first), b = median(again);
  std::printf("%d outputs: into an empty folder %.3f s, again over them %.3f s; %.2fx\n",
              kManyMessages, a, b, b / a);
  if (chosen_known) {
    double c = median(chosen);
    std::printf(
        "%d messages, every signal: %10.0f frames/s; 10 signals chosen: %10.0f frames/s; "
        "%.2fx\n",
        kManyMessages, frames / a, frames / c, a / c);
  }
  // QUILLON_BENCH_KEEP=1 keeps the generated files, for profiling the binary.
  if (std::getenv("QUILLON_BENCH_KEEP")) {
    std::printf("files kept in %s\n", dir.string().c_str());
  } else {
    fs::remove_all(dir);
  }
  return 0;
}
