// Pattern matcher throughput: the DBC signal-line pattern over one million
// generated signal lines, against std::regex on the same lines and a plain
// byte scan; then (a*)*b over growing runs of "a" to show linear time.
// Prints medians of five runs.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "support/pattern.h"

namespace {

const char kSignal[] =
    "^SG_ ([[:graph:]]+) ([0-9mM]*) ?: (\\d+)\\|(\\d+)@(0|1)(\\+|\\-) "
    "\\(([0-9eE\\.\\-]+),([0-9eE\\.\\-]+)\\) \\[([0-9eE\\.\\-]+)\\|([0-9eE\\.\\-]+)\\].*$";

std::string read_line(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

// The checked-out revision, read from the repository files.
std::string git_revision() {
  const std::string root = QUILLON_SOURCE_DIR;
  std::string git = root + "/.git";
  const std::string pointer = read_line(git);
  if (pointer.rfind("gitdir: ", 0) == 0) git = pointer.substr(8);
  const std::string head = read_line(git + "/HEAD");
  if (head.rfind("ref: ", 0) != 0) return head.substr(0, 12);
  const std::string ref = head.substr(5);
  std::string common = read_line(git + "/commondir");
  common = common.empty() ? git : (common[0] == '/' ? common : git + "/" + common);
  for (const std::string& dir : {git, common}) {
    const std::string id = read_line(dir + "/" + ref);
    if (!id.empty()) return id.substr(0, 12);
  }
  std::ifstream packed(common + "/packed-refs");
  for (std::string line; std::getline(packed, line);) {
    if (line.size() > 41 && line.compare(41, std::string::npos, ref) == 0)
      return line.substr(0, 12);
  }
  return "unknown";
}

std::string cpu_model() {
  std::ifstream in("/proc/cpuinfo");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
  }
  return "unknown";
}

double seconds_of(const std::function<void()>& f) {
  const auto t0 = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

double median_of(int runs, const std::function<void()>& f) {
  std::vector<double> t;
  for (int i = 0; i < runs; ++i) t.push_back(seconds_of(f));
  std::sort(t.begin(), t.end());
  return t[t.size() / 2];
}

// Signal lines as DBC files write them; about one in fifty does not match
// (an exponent with a sign, which the number classes leave out).
std::vector<char> make_lines(int count, std::vector<size_t>* starts) {
  std::mt19937 rng(7);
  auto pick = [&](int n) { return int(rng() % unsigned(n)); };
  const char* const words[] = {"Engine",   "Speed", "Torque", "Wheel", "Temp",   "Oil",
                               "Pressure", "Fuel",  "Rate",   "Brake", "Status", "Req"};
  const char* const factors[] = {"1", "0.125", "0.01", "0.5", "1E-3", "0.03125", "2"};
  const char* const offsets[] = {"0", "-40", "-125", "-1000", "0.5"};
  const char* const units[] = {"rpm", "degC", "%", "km/h", "", "bar"};
  const char* const receivers[] = {"Vector__XXX", "ECU1,ECU2", "Gateway"};
  std::vector<char> buf;
  char line[256];
  for (int i = 0; i < count; ++i) {
    std::string name;
    for (int w = 1 + pick(3); w > 0; --w) name += words[pick(12)];
    const char* mux = pick(10) == 0 ? "m3 " : pick(20) == 0 ? "M " : "";
    const int length = 1 + pick(32);
    const char* factor = pick(50) == 0 ? "1e+3" : factors[pick(7)];
    const int n =
        std::snprintf(line, sizeof line, " SG_ %s %s: %d|%d@%d%c (%s,%s) [%d|%d] \"%s\" %s",
                      name.c_str(), mux, pick(64), length, pick(2), pick(2) ? '+' : '-', factor,
                      offsets[pick(5)], -pick(50), pick(70000), units[pick(6)], receivers[pick(3)]);
    starts->push_back(buf.size());
    buf.insert(buf.end(), line + 1, line + n);  // DBC lines are indented; the parser trims
    buf.push_back('\0');
  }
  return buf;
}

}  // namespace

int main() {
  std::printf("pattern_bench  revision %s  compiler %s  cpu %s\n", git_revision().c_str(),
              __VERSION__, cpu_model().c_str());
  constexpr int kLines = 1000000;
  std::vector<size_t> starts;
  const std::vector<char> buf = make_lines(kLines, &starts);
  const char* base = buf.data();

  quillon::CompiledPattern p;
  if (quillon::pattern_compile(p, kSignal) != 0) return 1;
  quillon::PatternCapture caps[quillon::PATTERN_MAX_SLOTS];
  long matched = 0;
  const double ours = median_of(5, [&] {
    matched = 0;
    for (size_t s : starts) matched += quillon::pattern_match(p, base + s, caps) == 0;
  });
  long scanned = 0;
  const double scan = median_of(5, [&] {
    scanned = 0;
    for (size_t s : starts) scanned += long(std::strlen(base + s));
  });
  // std::regex is much slower: it gets a tenth of the lines.
  const std::regex reference(kSignal);
  std::cmatch m;
  long reference_matched = 0;
  const double regex = median_of(3,
                                 [&] {
                                   reference_matched = 0;
                                   for (int i = 0; i < kLines / 10; ++i) {
                                     reference_matched +=
                                         std::regex_match(base + starts[size_t(i)], m, reference);
                                   }
                                 }) *
                       10;
  std::printf("SG_ pattern, %d lines, %ld match, %.1f MB\n", kLines, matched, scanned / 1e6);
  std::printf("  quillon matcher : %9.0f lines/s  %7.1f MB/s\n", kLines / ours,
              scanned / ours / 1e6);
  std::printf("  std::regex      : %9.0f lines/s  (%ld of the first %d match)\n", kLines / regex,
              reference_matched, kLines / 10);
  std::printf("  speed ratio quillon / std::regex: %.2f\n", regex / ours);
  std::printf("  strlen only     : %9.0f lines/s  (matching costs %.0fx a byte scan)\n",
              kLines / scan, ours / scan);

  quillon::CompiledPattern bad;
  if (quillon::pattern_compile(bad, "(a*)*b") != 0) return 1;
  std::printf("(a*)*b against runs of a (no match), time per byte should stay flat:\n");
  double first_ns = 0;
  for (size_t n = 1000; n <= 1000000; n *= 10) {
    const std::string text(n, 'a');
    int rc = 0;
    const double t = median_of(5, [&] { rc = quillon::pattern_match(bad, text.c_str(), caps); });
    const double ns = t / double(n) * 1e9;
    if (first_ns == 0) first_ns = ns;
    std::printf("  %8zu bytes: %10.3f ms  %6.1f ns/byte  (x%.2f of the shortest)  result %d\n", n,
                t * 1e3, ns, ns / first_ns, rc);
  }
  return 0;
}
