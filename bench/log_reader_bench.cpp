// Reads a text log through the conversion loop into a sink that only counts,
// and compares the throughput with an awk one-liner over the same file.
//
//   log_reader_bench [PATH]   (without PATH: a generated log of about 150 MB)
//
// Each side runs 5 times with a warm cache; medians are reported.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "input/conversion_loop.h"
#include "log_gen.h"
#include "platform/platform.h"

namespace {

using quillon::FileRecord;
using quillon::Frame;

class CountingSink : public quillon::FrameSink {
 public:
  uint64_t frames = 0, bytes = 0;
  bool on_frame(Frame& f) override {
    ++frames;
    bytes += f.payload.size();
    return true;
  }
  bool on_file_start(const FileRecord&, bool) override { return true; }
  bool on_file_end(const FileRecord&) override { return true; }
};

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  std::string path;
  bool generated = false;
  if (argc > 1) {
    path = argv[1];
  } else {
    path = "/tmp/quillon_log_bench_" + std::to_string(quillon::platform::process_id()) + ".txt";
    if (!quillon::bench::generate_log(path, 3750000)) {
      std::fprintf(stderr, "could not write %s\n", path.c_str());
      return 1;
    }
    generated = true;
  }
  size_t slash = path.rfind('/');
  std::string folder = slash == std::string::npos ? "./" : path.substr(0, slash + 1);
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (folder[0] != '/') {
    std::string cwd;
    quillon::platform::current_folder(cwd);
    folder = cwd + "/" + folder;
  }
  auto root = quillon::RootedFolder::create(folder);
  quillon::StatResult st;
  if (!root || !root->stat(name, st) || st.kind != quillon::kFile) {
    std::fprintf(stderr, "no such log: %s\n", path.c_str());
    return 1;
  }
  const double mb = static_cast<double>(st.size) / 1e6;
  const std::string awk =
      "LC_ALL=C mawk -F';' '{n+=length($5)} END{print n}' '" + path + "' >/dev/null";

  // Warm the cache once with each side.
  if (std::system(awk.c_str()) != 0) std::fprintf(stderr, "mawk failed; is it installed?\n");

  std::vector<double> reader_s, awk_s;
  uint64_t frames = 0;
  for (int run = 0; run < 6; ++run) {
    CountingSink sink;
    quillon::ConversionOptions options;
    auto loop = quillon::ConversionLoop::create(root.get(), root.get(), options, &sink);
    auto start = std::chrono::steady_clock::now();
    int status = loop->run({name});
    double s = seconds_since(start);
    if (status != 0) std::fprintf(stderr, "conversion status %d\n", status);
    frames = sink.frames;
    if (run > 0) reader_s.push_back(s);  // the first run only warms up

    start = std::chrono::steady_clock::now();
    int rc = std::system(awk.c_str());
    s = seconds_since(start);
    if (rc == 0 && run > 0) awk_s.push_back(s);
  }

  const double r = median(reader_s);
  std::printf("log_reader_bench: %s, %.1f MB, %llu frames; %s, %u threads\n", path.c_str(), mb,
              static_cast<unsigned long long>(frames), __VERSION__,
              std::thread::hardware_concurrency());
  std::printf("reader: median %.3f s of 5: %.1f MB/s, %.2f Mframes/s\n", r, mb / r,
              static_cast<double>(frames) / r / 1e6);
  if (!awk_s.empty()) {
    const double a = median(awk_s);
    std::printf("mawk:   median %.3f s of %zu: %.1f MB/s\n", a, awk_s.size(), mb / a);
    std::printf("ratio reader/mawk throughput: %.2f\n", a / r);
  }
  if (generated) std::remove(path.c_str());
  return 0;
}
