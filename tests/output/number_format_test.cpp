#include "output/number_format.h"

#include <gtest/gtest.h>
#include <stb/stb_sprintf.h>

#include <cmath>
#include <limits>
#include <string>

#include "../../bench/number_gen.h"

namespace quillon {
namespace {

std::string formatted(double v) {
  char out[kNumberRoom];
  return std::string(out, format_number(out, v));
}

std::string library(double v) {
  char out[kNumberRoom];
  return std::string(out, static_cast<size_t>(stbsp_snprintf(out, kNumberRoom, "%f", v)));
}

// The texts rows have always had, including the library's imprecisions.
TEST(NumberFormat, KeepsTheRowTexts) {
  const double inf = std::numeric_limits<double>::infinity();
  const struct {
    double value;
    const char* text;
  } rows[] = {
      {0, "0.000000"},
      {-0.0, "-0.000000"},
      {-1e-9, "-0.000000"},
      {12.5, "12.500000"},
      {-273.15, "-273.150000"},
      {1715904000.001, "1715904000.001000"},
      {4102444799.999, "4102444799.999000"},
      // Not correctly rounded (...0023315 is below the tie): the library's
      // bytes win.
      {1715940000.00233149528, "1715940000.002332"},
      // Exact ties round half up, not to even.
      {1.0 / 128, "0.007813"},
      {-3.0 / 128, "-0.023438"},
      {9.9999995, "9.999999"},
      {99.9999996, "100.000000"},
      {std::ldexp(1.0, 33), "8589934592.000000"},
      {std::numeric_limits<double>::quiet_NaN(), "NaN"},
      {-std::numeric_limits<double>::quiet_NaN(), "-NaN"},
      {inf, "Inf"},
      {-inf, "-Inf"},
      {std::numeric_limits<double>::denorm_min(), "0.000000"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(formatted(row.value), row.text);
    EXPECT_EQ(library(row.value), row.text);
  }
  EXPECT_EQ(formatted(-std::numeric_limits<double>::max()).size(), 1 + 309 + 7u);
}

// One million mixed doubles against the library; the benchmark runs the
// same draws a hundred times as long.
TEST(NumberFormat, MatchesTheLibraryOnAMillionMixedDoubles) {
  constexpr uint64_t kSeed = 0x5eed15;
  bench::NumberGen gen(kSeed);
  long fast = 0, mismatches = 0;
  char out[kNumberRoom];
  for (long i = 0; i < 1000000; ++i) {
    const double v = gen.next();
    fast += format_number_fast(out, v) != nullptr;
    const std::string mine = formatted(v), theirs = library(v);
    if (mine != theirs && ++mismatches <= 5) {
      ADD_FAILURE() << "seed " << kSeed << " draw " << i << " (" << std::hexfloat << v
                    << "): " << mine << " vs " << theirs;
    }
  }
  EXPECT_EQ(mismatches, 0);
  // The fast path must stay the common one, or the speed is gone.
  EXPECT_GT(fast, 700000);
}

// Row times keep the whole seconds of the last call: any sequence, rows
// 1 ms apart across many seconds as well as the mixed draws, must still give
// the library's texts.
TEST(NumberFormat, TimeFormatMatchesTheLibraryWhateverCameBefore) {
  TimeFormat times;
  char out[kNumberRoom];
  auto check = [&](double t) {
    const std::string mine(out, times.format(out, t));
    ASSERT_EQ(mine, library(t)) << std::hexfloat << t;
  };
  for (long ms = 0; ms < 300000; ms += 7) {
    check(1715940000.0 + static_cast<double>(ms / 1000) + static_cast<double>(ms % 1000) * 0.001);
  }
  bench::NumberGen gen(11);
  for (int i = 0; i < 200000; ++i) {
    check(gen.next());
    check(gen.time());
  }
}

// What rows mostly carry never reaches the library.
TEST(NumberFormat, TimesAndDecodedValuesStayOnTheFastPath) {
  bench::NumberGen gen(7);
  char out[kNumberRoom];
  long scaled_fast = 0;
  for (int i = 0; i < 100000; ++i) {
    const double t = gen.time();
    EXPECT_NE(format_number_fast(out, t), nullptr) << std::hexfloat << t;
    scaled_fast += format_number_fast(out, gen.scaled()) != nullptr;
  }
  EXPECT_GT(scaled_fast, 95000);
  for (double v : {0.0, -0.0, std::numeric_limits<double>::quiet_NaN(),
                   std::numeric_limits<double>::infinity()}) {
    EXPECT_NE(format_number_fast(out, v), nullptr) << v;
  }
}

}  // namespace
}  // namespace quillon
