// The transport-protocol manager in the conversion loop, next to reading
// alone in the same run (medians of five runs each):
//   - a log that is all ISO-TP transfers of 64 bytes (a first frame and nine
//     consecutive frames each), reassembled into a counting sink;
//   - a J1939 log that holds no transport frame, passed through a manager
//     that has the J1939 transport and one ISO-TP message registered: the
//     cost of the lookup that every frame pays.
// Times are processor time of this process (std::clock), which a busy
// shared machine distorts less than wall time. Usage: transport_bench
// [frames]; files are generated in <temp>/quillon-transport-bench.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "dbc/database.h"
#include "input/conversion_loop.h"
#include "input/folder.h"
#include "input/sink.h"
#include "log_gen.h"
#include "tp/manager.h"
#include "tp/mux_stage.h"

namespace {

constexpr int kRuns = 5;
constexpr uint32_t kIsoTpId = 0x7E8;

class Counting : public quillon::FrameSink {
 public:
  bool on_frame(quillon::Frame& frame) override {
    ++frames;
    bytes += frame.payload.size();
    return true;
  }
  bool on_file_start(const quillon::FileRecord&, bool) override { return true; }
  bool on_file_end(const quillon::FileRecord&) override { return true; }
  uint64_t frames = 0, bytes = 0;
};

// Ten frames per 64-byte message: 6 bytes in the first frame, 7 in each of
// nine consecutive frames (the last one padded).
std::string isotp_log(long frames) {
  std::string s =
      "# Logger ID: BENCH02\n# Session No.: 1\n# Split No.: 1\n# Time: 20240517T100000\n"
      "# Value separator: \";\"\n# Time format: 3\n# Time separator: \":\"\n"
      "# Time separator ms: \".\"\nTimestamp;Type;ID;Length;Data\n";
  s.reserve(static_cast<size_t>(frames) * 44);
  char line[96];
  for (long i = 0; i < frames; ++i) {
    long ms = 36000000 + i;
    int n = std::snprintf(line, sizeof line, "%02ld:%02ld:%02ld.%03ld;0;%03X;8;", ms / 3600000,
                          ms / 60000 % 60, ms / 1000 % 60, ms % 1000, kIsoTpId);
    s.append(line, n);
    long k = i % 10;
    uint8_t bytes[8];
    if (k == 0) {
      bytes[0] = 0x10;
      bytes[1] = 64;
    } else {
      bytes[0] = static_cast<uint8_t>(0x20 | (k & 0x0F));
      bytes[1] = static_cast<uint8_t>(i);
    }
    for (int b = 2; b < 8; ++b) bytes[b] = static_cast<uint8_t>(i * 13 + b);
    for (uint8_t b : bytes) {
      std::snprintf(line, sizeof line, "%02X", b);
      s.append(line, 2);
    }
    s += '\n';
  }
  return s;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

template <typename F>
double seconds(F f) {
  std::clock_t start = std::clock();
  f();
  return static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
}

// One conversion of folder "logs/<name>" into the sink; the manager (when
// given) heads the chain.
double convert(const std::string& root, const std::string& name, quillon::FrameSink* first) {
  auto folder = quillon::RootedFolder::create(root);
  quillon::ConversionOptions options;
  auto loop = quillon::ConversionLoop::create(folder.get(), folder.get(), options, first);
  return seconds([&] { loop->run({name}); });
}

}  // namespace

int main(int argc, char** argv) {
  long frames = argc > 1 ? std::atol(argv[1]) : 1000000;
  frames -= frames % 10;
  namespace fs = std::filesystem;
  fs::path dir = fs::temp_directory_path() / "quillon-transport-bench";
  fs::remove_all(dir);
  fs::create_directories(dir);
  std::ofstream(dir / "isotp.txt", std::ios::binary) << isotp_log(frames);
  if (!quillon::bench::generate_log((dir / "j1939.txt").string(), static_cast<uint64_t>(frames))) {
    std::printf("cannot write the J1939 log\n");
    return 1;
  }
  std::string root = dir.string() + "/";

  std::vector<double> read_isotp, reassemble, read_j1939, pass;
  uint64_t messages = 0, passed = 0;
  for (int run = 0; run < kRuns; ++run) {
    Counting plain;
    read_isotp.push_back(convert(root, "isotp.txt", &plain));
    read_j1939.push_back(convert(root, "j1939.txt", &plain));

    Counting sink;
    auto mux = quillon::MuxStage::create(&sink, nullptr);
    auto manager = quillon::TransportManager::create(mux.get());
    mux->set_manager(manager.get());
    manager->register_message(quillon::kBusJ1939, 1, quillon::j1939_key(0x00EC0000, true),
                              quillon::kTransportJ1939);
    manager->register_message(quillon::kBusCan, 1, kIsoTpId, quillon::kTransportIsoTp);
    reassemble.push_back(convert(root, "isotp.txt", manager.get()));
    messages = manager->counters().successful;
    if (sink.frames != messages || sink.bytes != messages * 64) {
      std::printf("reassembly went wrong: %llu frames, %llu bytes, %llu sessions\n",
                  static_cast<unsigned long long>(sink.frames),
                  static_cast<unsigned long long>(sink.bytes),
                  static_cast<unsigned long long>(messages));
      return 1;
    }
    sink.frames = 0;
    pass.push_back(convert(root, "j1939.txt", manager.get()));
    passed = sink.frames;
  }

  double ri = median(read_isotp), ra = median(reassemble);
  double rj = median(read_j1939), pj = median(pass);
  std::printf("frames: %ld per log, medians of %d runs\n", frames, kRuns);
  std::printf(
      "ISO-TP 64-byte transfers: reading %8.3f s, reassembling %8.3f s  %10.0f frames/s"
      "  %9.0f messages/s  %.3fx reading\n",
      ri, ra, frames / ra, messages / ra, ra / ri);
  std::printf(
      "J1939, nothing to reassemble: reading %8.3f s, through the manager %8.3f s"
      "  %10.0f frames/s  %.3fx reading (%llu frames passed)\n",
      rj, pj, frames / pj, pj / rj, static_cast<unsigned long long>(passed));
  if (!std::getenv("QUILLON_BENCH_KEEP")) fs::remove_all(dir);
  return 0;
}
