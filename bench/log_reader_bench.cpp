// Reading a log as a user sees it: the whole quillon process against the
// whole process of an awk field splitter over the same file,
//
//   LC_ALL=C mawk -F';' '{n+=length($5)} END{print n}' LOG
//
// with a DBC whose only message never occurs, so that the run is reading and
// nothing else. Each round runs both once, in turn; best and median of the
// rounds are reported with their ratio (above 1: quillon is faster). Before
// that, the frames read through the default window are checked against
// reading the file whole.
//
//   log_reader_bench [LOG [QUILLON]]
//
// Without LOG a J1939 log of 3,000,000 frames with full timestamps (147 MB)
// is generated in <temp>/quillon-reader-bench and removed afterwards.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "input/conversion_loop.h"
#include "input/folder.h"
#include "input/sink.h"
#include "log_gen.h"

namespace {

namespace fs = std::filesystem;

constexpr int kRounds = 5;

// Adds every frame into a checksum, so that two readings can be compared.
class Checksum : public quillon::FrameSink {
 public:
  uint64_t frames = 0, sum = 0;
  bool on_frame(quillon::Frame& f) override {
    uint64_t bits;
    std::memcpy(&bits, &f.time, 8);
    mix(bits);
    mix(f.id | uint64_t{f.extended} << 32 | uint64_t{f.bits.dlc} << 40);
    for (uint8_t b : f.payload) mix(b);
    ++frames;
    return true;
  }
  bool on_file_start(const quillon::FileRecord&, bool) override { return true; }
  bool on_file_end(const quillon::FileRecord&) override { return true; }

 private:
  void mix(uint64_t v) { sum = (sum ^ v) * 0x100000001B3ull; }
};

Checksum read_in_process(const fs::path& log, int64_t buffer) {
  auto folder = quillon::RootedFolder::create(log.parent_path().string() + "/");
  Checksum sink;
  quillon::ConversionOptions options;
  options.buffer_size = buffer;
  auto loop = quillon::ConversionLoop::create(folder.get(), folder.get(), options, &sink);
  if (loop->run({log.filename().string()}) != 0) std::fprintf(stderr, "in-process read failed\n");
  return sink;
}

template <typename F>
double seconds(F f) {
  auto start = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

std::string load_average() {
  std::ifstream in("/proc/loadavg");
  std::string line;
  std::getline(in, line);
  return line.empty() ? "unknown" : line;
}

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

int main(int argc, char** argv) {
  const fs::path dir = fs::temp_directory_path() / "quillon-reader-bench";
  fs::remove_all(dir);
  fs::create_directories(dir / "out");
  fs::path log;
  if (argc > 1) {
    log = fs::absolute(argv[1]);
  } else {
    log = dir / "j1939.txt";
    std::printf("generating %s ...\n", log.string().c_str());
    if (!quillon::bench::generate_log(log.string(), 3000000, true)) {
      std::fprintf(stderr, "could not write %s\n", log.string().c_str());
      return 1;
    }
  }
  const std::string binary = fs::absolute(argc > 2 ? argv[2] : QUILLON_BINARY).string();
  // 0x18FF00FD, extended: no frame of the log has it.
  std::ofstream(dir / "never.dbc") << "VERSION \"\"\n\nBU_: ECU\n\nBO_ 2566848765 Never: 8 ECU\n"
                                      " SG_ S : 0|8@1+ (1,0) [0|255] \"\" ECU\n";
  const double mb = static_cast<double>(fs::file_size(log)) / 1e6;

  // The frames through the default window are those of reading whole.
  const Checksum window = read_in_process(log, quillon::ConversionOptions::kDefaultBuffer);
  const Checksum whole = read_in_process(log, -1);
  const bool same = window.frames == whole.frames && window.sum == whole.sum;

  const std::string quillon = "cd '" + dir.string() + "' && '" + binary +
                              "' --dbc-can1=never.dbc -O out '" + log.string() + "' > stdout.txt";
  const std::string mawk =
      "LC_ALL=C mawk -F';' '{n+=length($5)} END{print n}' '" + log.string() + "' > /dev/null";
  std::printf("load before: %s\n", load_average().c_str());
  // Warm the page cache with both.
  if (std::system(quillon.c_str()) != 0 || std::system(mawk.c_str()) != 0) {
    std::fprintf(stderr, "a warm-up run failed (is mawk installed?)\n");
    return 1;
  }
  std::vector<double> q, m;
  for (int round = 0; round < kRounds; ++round) {
    int status = 0;
    q.push_back(seconds([&] { status |= std::system(quillon.c_str()); }));
    m.push_back(seconds([&] { status |= std::system(mawk.c_str()); }));
    if (status != 0) {
      std::fprintf(stderr, "round %d: a run failed\n", round);
      return 1;
    }
  }
  const std::string out = slurp(dir / "stdout.txt");
  const size_t at = out.find("- Messages: ");
  const unsigned long long messages =
      at == std::string::npos ? 0 : std::strtoull(out.c_str() + at + 12, nullptr, 10);
  std::printf("load after:  %s\n", load_average().c_str());

  const double q_best = *std::min_element(q.begin(), q.end());
  const double m_best = *std::min_element(m.begin(), m.end());
  std::printf("log: %s, %.1f MB, %llu frames (window and whole-file reading %s)\n",
              log.string().c_str(), mb, static_cast<unsigned long long>(whole.frames),
              same ? "identical" : "DIFFER");
  std::printf("binary read %llu messages%s\n", messages,
              messages == whole.frames ? "" : " - NOT the frames of the log");
  std::printf("quillon: best %.3f s (%.1f MB/s), median %.3f s of %d\n", q_best, mb / q_best,
              median(q), kRounds);
  std::printf("mawk:    best %.3f s (%.1f MB/s), median %.3f s of %d\n", m_best, mb / m_best,
              median(m), kRounds);
  std::printf("ratio quillon/mawk throughput: best %.2f, median %.2f\n", m_best / q_best,
              median(m) / median(q));
  fs::remove_all(dir);
  return same && messages == whole.frames ? 0 : 1;
}
