// The CSV number formatter against the library it must match byte for byte
// (stbsp_snprintf "%f"): first a differential run over mixed doubles from a
// fixed seed (counts per kind: draws, fast-path draws, mismatches), then the
// speed of both on the same arrays, medians of five.
// Usage: number_format_bench [draws, default 100000000] [seed]
// Exit status 1 when any text differs.
#include <stb/stb_sprintf.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "number_gen.h"
#include "output/number_format.h"

namespace {

using quillon::bench::NumberGen;

constexpr int kRuns = 5;

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

template <typename F>
double seconds(F f) {
  auto start = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Formats every value of the array into one buffer; returns a checksum of
// the lengths so the work cannot be dropped.
template <typename F>
size_t format_all(const std::vector<double>& values, F format) {
  char buffer[quillon::kNumberRoom + 8];
  size_t total = 0;
  for (double v : values) total += format(buffer, v);
  return total;
}

void speed(const char* label, const std::vector<double>& values, bool as_times = false) {
  std::vector<double> fast, library;
  size_t a = 0, b = 0;
  for (int run = 0; run < kRuns; ++run) {
    quillon::TimeFormat times;
    fast.push_back(seconds([&] {
      a = format_all(values, [&](char* out, double v) {
        return static_cast<size_t>(
            (as_times ? times.format(out, v) : quillon::format_number(out, v)) - out);
      });
    }));
    library.push_back(seconds([&] {
      b = format_all(values, [](char* out, double v) {
        return static_cast<size_t>(stbsp_snprintf(out, quillon::kNumberRoom, "%f", v));
      });
    }));
  }
  const double f = median(fast), l = median(library), n = static_cast<double>(values.size());
  std::printf("%-24s %s %6.1f ns  stbsp_snprintf %6.1f ns  %.2fx faster%s\n", label,
              as_times ? "TimeFormat   " : "format_number", f / n * 1e9, l / n * 1e9, l / f,
              a == b ? "" : "  (lengths differ!)");
}

}  // namespace

int main(int argc, char** argv) {
  const long draws = argc > 1 ? std::atol(argv[1]) : 100000000;
  const uint64_t seed = argc > 2 ? std::strtoull(argv[2], nullptr, 0) : 0x5eed15;

  long total[NumberGen::kKinds] = {}, fast[NumberGen::kKinds] = {}, bad[NumberGen::kKinds] = {};
  NumberGen gen(seed);
  quillon::TimeFormat row_times;  // every draw also as the next row time
  char mine[quillon::kNumberRoom], theirs[quillon::kNumberRoom];
  for (long i = 0; i < draws; ++i) {
    NumberGen::Kind kind;
    const double v = gen.next(&kind);
    ++total[kind];
    if (quillon::format_number_fast(mine, v)) ++fast[kind];
    const size_t n = static_cast<size_t>(quillon::format_number(mine, v) - mine);
    const int m = stbsp_snprintf(theirs, quillon::kNumberRoom, "%f", v);
    bool same = n == static_cast<size_t>(m) && std::memcmp(mine, theirs, n) == 0;
    same = same && static_cast<size_t>(row_times.format(mine, v) - mine) == n &&
           std::memcmp(mine, theirs, n) == 0;
    if (!same) {
      if (++bad[kind] <= 5) {
        std::printf("mismatch at draw %ld (%a): %.*s vs %s\n", i, v, static_cast<int>(n), mine,
                    theirs);
      }
    }
  }
  long all_bad = 0;
  std::printf("differential, seed %#llx, %ld draws\n", static_cast<unsigned long long>(seed),
              draws);
  std::printf("%-20s %12s %12s %8s %10s\n", "kind", "draws", "fast path", "share", "mismatches");
  for (int k = 0; k < NumberGen::kKinds; ++k) {
    std::printf(
        "%-20s %12ld %12ld %7.2f%% %10ld\n", NumberGen::kKindNames[k], total[k], fast[k],
        total[k] ? 100.0 * static_cast<double>(fast[k]) / static_cast<double>(total[k]) : 0.0,
        bad[k]);
    all_bad += bad[k];
  }

  // Speed on one million values of each kind that rows mostly carry, and
  // on the whole mix.
  const size_t n = 1000000;
  std::vector<double> scaled, times, mix, rows;
  NumberGen speed_gen(seed + 1);
  for (size_t i = 0; i < n; ++i) {
    scaled.push_back(speed_gen.scaled());
    times.push_back(speed_gen.time());
    mix.push_back(speed_gen.next());
    // Row times of one output: a message every 5 ms.
    const long ms = static_cast<long>(i) * 5;
    rows.push_back(1715940000.0 + static_cast<double>(ms / 1000) +
                   static_cast<double>(ms % 1000) * 0.001);
  }
  std::printf("speed, medians of %d runs over %zu values\n", kRuns, n);
  speed("raw*factor+offset", scaled);
  speed("ms timestamps", times);
  speed("mixed draws", mix);
  speed("row times, 5 ms apart", rows);
  speed("row times, 5 ms apart", rows, true);
  return all_bad == 0 ? 0 : 1;
}
