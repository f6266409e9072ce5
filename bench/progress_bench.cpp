// The cost of the terminal status line: the binary converts under a
// pseudo-terminal (util-linux `script`) with the line drawn against the same
// run with --non-interactive, alternating, medians of nine runs each. Two
// inputs: the 1,000,000-frame J1939 log of convert_bench (the per-frame
// cost of the progress reports), and 5,000 logs of 20 frames in 50 folders
// (the cost per file: the listing that finds the total before the run, and
// the events of each file). Usage: progress_bench [quillon binary] [frames].
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "convert_common.h"

namespace {

using namespace bench;

std::string log_text(long frames, long first = 0) {
  std::string s = log_header();
  for (long i = first; i < first + frames; ++i) {
    uint8_t bytes[8];
    for (int k = 0; k < 8; ++k) bytes[k] = payload_byte(i, k);
    append_frame(s, i, 0x18FF1000u + ((i % kMessages) << 8), bytes);
  }
  return s;
}

struct Timing {
  double wall = -1;  // seconds; -1 when the conversion failed
  double cpu = 0;    // user + system seconds of every process of it
};

// One conversion of logs under a terminal. The processor time is the
// steadier figure on a loaded machine: it leaves out the waits for others.
Timing convert_on_terminal(const std::filesystem::path& dir, const std::string& binary,
                           const char* logs, bool quiet) {
  namespace fs = std::filesystem;
  fs::remove_all(dir / "out");
  fs::create_directories(dir / "out");
  std::string inner = "cd '" + dir.string() + "' && '" + binary + "' --dbc-can1=bench.dbc -O out " +
                      (quiet ? "--non-interactive " : "") + logs;
  std::ofstream(dir / "run.sh", std::ios::binary)
      << "script -qec \"" << inner << "\" /dev/null </dev/null >/dev/null 2>&1\n";
  std::string command =
      "cd '" + dir.string() + "' && bash -c 'TIMEFORMAT=\"%3U %3S\"; time bash run.sh' 2>cpu.txt";
  int status = 0;
  Timing t;
  double wall = seconds([&] { status = std::system(command.c_str()); });
  double user = 0, system = 0;
  std::ifstream(dir / "cpu.txt") >> user >> system;
  if (status == 0) {
    t.wall = wall;
    t.cpu = user + system;
  }
  return t;
}

}  // namespace

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  std::string binary = fs::absolute(argc > 1 ? argv[1] : QUILLON_BINARY).string();
  long frames = argc > 2 ? std::atol(argv[2]) : 1000000;
  if (std::system("script --version >/dev/null 2>&1") != 0) {
    std::printf("no script command: nothing measured\n");
    return 1;
  }
  fs::path dir = unique_folder("quillon-progress-bench");
  fs::create_directories(dir / "logs");
  std::ofstream(dir / "bench.dbc", std::ios::binary) << dbc_text();
  std::ofstream(dir / "logs" / "00000001.TXT", std::ios::binary) << log_text(frames);
  const int kFolders = 50, kFilesPerFolder = 100, kSmallFrames = 20;
  for (int f = 0; f < kFolders; ++f) {
    fs::path folder = dir / "many" / ("folder" + std::to_string(f));
    fs::create_directories(folder);
    for (int k = 0; k < kFilesPerFolder; ++k) {
      char name[32];
      std::snprintf(name, sizeof name, "%08d.TXT", k + 1);
      std::ofstream(folder / name, std::ios::binary) << log_text(kSmallFrames, k * kSmallFrames);
    }
  }

  const char* inputs[] = {"logs", "many"};
  const int runs = 9;
  std::vector<double> wall[2][2], cpu[2][2];  // [input][0 status line, 1 --non-interactive]
  for (int run = 0; run < runs; ++run) {
    for (int input = 0; input < 2; ++input) {
      // Alternating, so that a change of load hits both alike.
      for (int quiet = 0; quiet < 2; ++quiet) {
        Timing t = convert_on_terminal(dir, binary, inputs[input], quiet == 1);
        if (t.wall < 0) {
          std::printf("run %d (%s): a conversion failed\n", run, inputs[input]);
          return 1;
        }
        wall[input][quiet].push_back(t.wall);
        cpu[input][quiet].push_back(t.cpu);
      }
    }
  }
  std::printf("medians of %d runs each, under a pseudo-terminal (wall / processor seconds)\n",
              runs);
  for (int input = 0; input < 2; ++input) {
    if (input == 0) {
      std::printf("one log of %ld frames:\n", frames);
    } else {
      std::printf("%d logs of %d frames in %d folders:\n", kFolders * kFilesPerFolder, kSmallFrames,
                  kFolders);
    }
    double a = median(wall[input][0]), b = median(wall[input][1]);
    double c = median(cpu[input][0]), d = median(cpu[input][1]);
    std::printf("  status line:       %8.3f s  %8.3f s\n", a, c);
    std::printf("  --non-interactive: %8.3f s  %8.3f s\n", b, d);
    std::printf("  ratio:             %8.3f    %8.3f\n", a / b, c / d);
  }
  if (!std::getenv("QUILLON_BENCH_KEEP")) fs::remove_all(dir);
  return 0;
}
