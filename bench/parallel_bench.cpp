// Conversion of a generated fleet on one thread, on two and on one per core
// (-j 1, -j 2, -j 0) through the real binary, in one run: frames per second
// of each (median of the runs, which take turns so that a change in the
// machine's load falls on all of them), the ratio to -j 1, the CPU time
// against -j 1's and the cores kept busy, the peak
// resident memory of each against threads x the serial peak + 16 MB, and
// the load average before and after. The summaries of all runs must agree.
// Usage: parallel_bench [quillon binary] [loggers] [sessions] [splits]
// [frames per split] [runs]; by default 40 x 5 x 4 x 12,500 frames (10
// million, about 450 MB of logs) and 3 runs. The files are generated in a
// folder of their own below <temp>, removed at the end.
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
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "convert_common.h"
#include "fleet_gen.h"

namespace {

namespace fs = std::filesystem;

std::string load_average() {
  std::ifstream in("/proc/loadavg");
  std::string a, b, c;
  in >> a >> b >> c;
  return a.empty() ? "unknown" : a + " " + b + " " + c;
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// The summary without its time line.
std::string summary_of(const std::string& out) {
  std::istringstream in(out);
  std::string kept;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("Execution time: ", 0) != 0) kept += line + "\n";
  }
  return kept;
}

struct Run {
  double seconds = 0;
  double cpu = -1;    // user + system seconds; -1 where the system does not tell
  long peak_kb = -1;  // -1 where the system does not tell
  int status = -1;
  std::string summary;
};

// Runs binary -j jobs -O out fleet in dir, its standard output to a file.
Run convert(const std::string& binary, const fs::path& dir, int jobs) {
  fs::remove_all(dir / "out");
  fs::create_directory(dir / "out");
  const std::string jobs_arg = std::to_string(jobs);
  const std::string out_file = (dir / "summary.txt").string();
  Run run;
#if defined(__unix__)
  auto start = std::chrono::steady_clock::now();
  pid_t child = fork();
  if (child == 0) {
    if (chdir(dir.c_str()) != 0) _exit(127);
    if (!std::freopen(out_file.c_str(), "w", stdout)) _exit(127);
    execl(binary.c_str(), binary.c_str(), "-j", jobs_arg.c_str(), "--dbc-can1=j1939.dbc",
          "--dbc-can1=can.dbc", "-O", "out", "fleet", static_cast<char*>(nullptr));
    _exit(127);
  }
  bench::wait_child(child, run.status, run.peak_kb, run.cpu);
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
#else
  const std::string command = "cd \"" + dir.string() + "\" && \"" + binary + "\" -j " + jobs_arg +
                              " --dbc-can1=j1939.dbc --dbc-can1=can.dbc -O out fleet >\"" +
                              out_file + "\"";
  run.seconds = bench::seconds([&] { run.status = std::system(command.c_str()); });
#endif
  run.summary = summary_of(read_file(out_file));
  return run;
}

}  // namespace

int main(int argc, char** argv) {
  std::string binary = fs::absolute(argc > 1 ? argv[1] : QUILLON_BINARY).string();
  quillon::test::FleetShape shape;
  shape.loggers = argc > 2 ? std::atoi(argv[2]) : 40;
  shape.sessions = argc > 3 ? std::atoi(argv[3]) : 5;
  shape.splits = argc > 4 ? std::atoi(argv[4]) : 4;
  shape.frames_per_split = argc > 5 ? std::atoi(argv[5]) : 12500;
  const int runs = argc > 6 ? std::max(1, std::atoi(argv[6])) : 3;
  shape.quirks = false;

  const std::string load_before = load_average();
  fs::path dir = bench::unique_folder("quillon-parallel-bench");
  if (!quillon::test::write_fleet(dir, shape)) {
    std::printf("could not write the fleet below %s\n", dir.string().c_str());
    return 1;
  }
  uint64_t bytes = 0;
  for (auto& e : fs::recursive_directory_iterator(dir / "fleet")) {
    if (e.is_regular_file()) bytes += e.file_size();
  }

  const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  const int jobs[] = {1, 2, 0};
  std::vector<double> seconds[3], cpu[3];
  long peak[3] = {-1, -1, -1};
  std::string reference;
  uint64_t frames = 0;
  bool ok = true;
  for (int r = 0; r < runs && ok; ++r) {
    for (int k = 0; k < 3 && ok; ++k) {
      Run run = convert(binary, dir, jobs[k]);
      if (run.status != 0) {
        std::printf("-j %d: the conversion returned %d\n", jobs[k], run.status);
        ok = false;
        break;
      }
      if (reference.empty()) {
        reference = run.summary;
        // "- Messages: <n>" of the reader summary.
        size_t at = reference.find("- Messages: ");
        if (at != std::string::npos)
          frames = std::strtoull(reference.c_str() + at + 12, nullptr, 10);
      } else if (run.summary != reference) {
        std::printf("-j %d: the summary differs from the first run's:\n%s\n", jobs[k],
                    run.summary.c_str());
        ok = false;
      }
      seconds[k].push_back(run.seconds);
      cpu[k].push_back(run.cpu);
      peak[k] = std::max(peak[k], run.peak_kb);
    }
  }
  fs::remove_all(dir);
  if (!ok) return 1;

  std::printf(
      "fleet: %d loggers x %d sessions x %d splits, %llu frames, %.0f MB of logs; %d cores\n",
      shape.loggers, shape.sessions, shape.splits, static_cast<unsigned long long>(frames),
      static_cast<double>(bytes) / 1e6, cores);
  const double serial = bench::median(seconds[0]);
  const double serial_cpu = bench::median(cpu[0]);
  for (int k = 0; k < 3; ++k) {
    const double t = bench::median(seconds[k]);
    const int threads = jobs[k] == 0 ? cores : jobs[k];
    std::printf("-j %d (%d thread%s): %.2f s median of %d, %.2f M frames/s, x%.2f of -j 1", jobs[k],
                threads, threads == 1 ? "" : "s", t, runs, static_cast<double>(frames) / t / 1e6,
                serial / t);
    // CPU against -j 1's tells what the threads cost beyond the work itself,
    // and CPU over wall time how many cores the run kept busy, whatever
    // else loads the machine.
    const double c = bench::median(cpu[k]);
    if (c >= 0) {
      std::printf(", CPU %.2f s (x%.2f of -j 1's, %.2f cores busy)", c, c / serial_cpu, c / t);
    }
    if (peak[k] >= 0) {
      const long bound = threads * peak[0] + 16 * 1024;
      std::printf(", peak RSS %.1f MB (bound %.1f MB: %s)", peak[k] / 1024.0, bound / 1024.0,
                  peak[k] <= bound ? "within" : "OVER");
    }
    std::printf("\n");
  }
  std::printf("load average before: %s, after: %s\n", load_before.c_str(), load_average().c_str());
  return 0;
}
