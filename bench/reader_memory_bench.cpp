// Peak memory of the whole quillon process against the size of the log it
// reads: generated logs of 50 MB to 1.5 GB, a DBC whose only message never
// occurs, peak resident set size as /usr/bin/time reports it. With the
// default window the peak stays flat and below 32 MB; reading the smallest
// log whole ("-b -1") is shown beside it as the reference.
//
//   reader_memory_bench [QUILLON]
//
// The logs are generated one at a time in <temp>/quillon-memory-bench and
// removed afterwards (at most 1.5 GB on disk at once).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "log_gen.h"

namespace {

namespace fs = std::filesystem;

// Peak resident set size in KB of one run, or -1 when the run failed.
long peak_kb(const fs::path& dir, const std::string& binary, const std::string& options) {
  const std::string command = "cd '" + dir.string() + "' && /usr/bin/time -f %M -o peak.txt '" +
                              binary + "' " + options +
                              " --dbc-can1=never.dbc -O out log.txt > /dev/null 2>&1";
  if (std::system(command.c_str()) != 0) return -1;
  long kb = -1;
  std::ifstream(dir / "peak.txt") >> kb;
  return kb;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string binary = fs::absolute(argc > 1 ? argv[1] : QUILLON_BINARY).string();
  if (!fs::exists("/usr/bin/time")) {
    std::fprintf(stderr, "needs /usr/bin/time to measure the peak memory\n");
    return 1;
  }
  const fs::path dir = fs::temp_directory_path() / "quillon-memory-bench";
  fs::remove_all(dir);
  fs::create_directories(dir / "out");
  std::ofstream(dir / "never.dbc") << "VERSION \"\"\n\nBU_: ECU\n\nBO_ 2566848765 Never: 8 ECU\n"
                                      " SG_ S : 0|8@1+ (1,0) [0|255] \"\" ECU\n";
  const double megabytes[] = {50, 200, 500, 1500};
  std::vector<long> peaks;
  bool ok = true;
  for (double size : megabytes) {
    // About 40 bytes a frame.
    const uint64_t frames = static_cast<uint64_t>(size * 1e6 / 40);
    if (!quillon::bench::generate_log((dir / "log.txt").string(), frames)) {
      std::fprintf(stderr, "could not write the log\n");
      fs::remove_all(dir);
      return 1;
    }
    const double actual = static_cast<double>(fs::file_size(dir / "log.txt")) / 1e6;
    const long kb = peak_kb(dir, binary, "");
    std::printf("%7.1f MB log, default window: peak %6.1f MB\n", actual, kb / 1024.0);
    if (size == megabytes[0]) {
      const long whole = peak_kb(dir, binary, "-b -1");
      std::printf("%7.1f MB log, read whole:     peak %6.1f MB (reference)\n", actual,
                  whole / 1024.0);
    }
    std::fflush(stdout);
    ok = ok && kb > 0;
    peaks.push_back(kb);
    fs::remove(dir / "log.txt");
  }
  fs::remove_all(dir);
  const long low = *std::min_element(peaks.begin(), peaks.end());
  const long high = *std::max_element(peaks.begin(), peaks.end());
  std::printf(
      "peak from 50 MB to 1.5 GB: %.1f to %.1f MB (spread %.1f MB); target below 32 MB: %s\n",
      low / 1024.0, high / 1024.0, (high - low) / 1024.0,
      ok && high < 32 * 1024 ? "met" : "MISSED");
  return ok && high < 32 * 1024 ? 0 : 1;
}
