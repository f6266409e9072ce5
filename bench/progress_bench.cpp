// The cost of the terminal status line: the binary converts under a
// pseudo-terminal (util-linux `script`) with the line drawn against the same
// run with --non-interactive, alternating, medians of five runs each. Two
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

// Seconds of one conversion of logs under a terminal, or -1 when it failed.
double convert_on_terminal(const std::filesystem::path& dir, const std::string& binary,
                           const char* logs, bool quiet) {
  namespace fs = std::filesystem;
  fs::remove_all(dir / "out");
  fs::create_directories(dir / "out");
  std::string inner = "cd '" + dir.string() + "' && '" + binary + "' --dbc-can1=bench.dbc -O out " +
                      (quiet ? "--non-interactive " : "") + logs;
  std::string command = "script -qec \"" + inner + "\" /dev/null </dev/null >/dev/null 2>&1";
  int status = 0;
  double t = seconds([&] { status = std::system(command.c_str()); });
  return status == 0 ? t : -1;
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
  std::vector<double> shown[2], quiet[2];
  for (int run = 0; run < kRuns; ++run) {
    for (int input = 0; input < 2; ++input) {
      // Alternating, so that a change of load hits both alike.
      double a = convert_on_terminal(dir, binary, inputs[input], false);
      double b = convert_on_terminal(dir, binary, inputs[input], true);
      if (a < 0 || b < 0) {
        std::printf("run %d (%s): a conversion failed\n", run, inputs[input]);
        return 1;
      }
      shown[input].push_back(a);
      quiet[input].push_back(b);
    }
  }
  std::printf("medians of %d runs each, under a pseudo-terminal\n", kRuns);
  for (int input = 0; input < 2; ++input) {
    double a = median(shown[input]), b = median(quiet[input]);
    if (input == 0) {
      std::printf("one log of %ld frames:\n", frames);
    } else {
      std::printf("%d logs of %d frames in %d folders:\n", kFolders * kFilesPerFolder, kSmallFrames,
                  kFolders);
    }
    std::printf("  status line:       %8.3f s\n  --non-interactive: %8.3f s\n  ratio: %.3f\n", a, b,
                a / b);
  }
  if (!std::getenv("QUILLON_BENCH_KEEP")) fs::remove_all(dir);
  return 0;
}
