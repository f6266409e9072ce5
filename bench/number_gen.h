// Doubles of the kinds CSV rows carry, and of the kinds that trip number
// formatting up, drawn from a fixed seed: shared by the number-format
// benchmark (100 million draws) and its unit test (1 million).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>

namespace quillon::bench {

class NumberGen {
 public:
  enum Kind { kScaled, kTime, kBits, kInteger, kTie, kEdge, kDecimal, kKinds };
  static constexpr const char* kKindNames[kKinds] = {
      "raw*factor+offset", "ms timestamps", "random bits", "integers",
      "near ties",         "edges",         "decimals"};

  explicit NumberGen(uint64_t seed) : rng_(seed) {}

  // The kind of the next draw cycles, so every kind gets a seventh.
  double next(Kind* kind_out = nullptr) {
    Kind kind = static_cast<Kind>(count_++ % kKinds);
    if (kind_out) *kind_out = kind;
    switch (kind) {
      case kScaled:
        return scaled();
      case kTime:
        return time();
      case kBits:
        return bits();
      case kInteger:
        return integer();
      case kTie:
        return tie();
      case kEdge:
        return edge();
      default:
        return decimal();
    }
  }

  // Raw bus integers (up to 32 bits, signed or not) times the factors and
  // plus the offsets of real databases, as the decoder computes them.
  double scaled() {
    static constexpr double kFactors[] = {0.1,  0.05, 0.125,  0.001, 1.0 / 3, 1e-5, 100,
                                          0.01, 0.5,  0.0625, 1,     0.4,     2.5,  0.00390625};
    static constexpr double kOffsets[] = {0, -40, -273.15, -12800, -1000, 0.5, -125, -32768};
    const uint64_t r = rng_();
    const int width = 1 + static_cast<int>(r % 32);
    uint64_t raw = (r >> 8) & ((uint64_t{1} << width) - 1);
    double value = static_cast<double>(raw);
    if ((r >> 5) & 1)
      value = static_cast<double>(static_cast<int64_t>(raw) - (int64_t{1} << (width - 1)));
    return value * pick(kFactors) + pick(kOffsets);
  }

  // Millisecond times between 1970 and 2100, built as the log reader does
  // (whole seconds plus milliseconds * 0.001) or as a plain quotient.
  double time() {
    const uint64_t r = rng_();
    const uint64_t ms = (r >> 1) % 4102444800000ull;
    if (r & 1) return static_cast<double>(ms / 1000) + static_cast<double>(ms % 1000) * 0.001;
    return static_cast<double>(ms) / 1000;
  }

  // Any 64 bits: NaNs, infinities, subnormals, zeros of either sign.
  double bits() {
    uint64_t b = rng_();
    // Half of them with a small exponent, so subnormals turn up.
    if (b & 1) b &= ~(uint64_t{0x7F0} << 52);
    return from_bits(b);
  }

  // Integers of every size, and the neighbours of 2^53 and of powers of two.
  double integer() {
    const uint64_t r = rng_();
    const int width = static_cast<int>(r % 64);
    double v;
    if ((r >> 6) & 1) {
      v = std::ldexp(1.0, width) - static_cast<double>((r >> 8) & 0xFF);
    } else {
      v = static_cast<double>((r >> 8) >> (63 - std::min(width, 55)));
      if (((r >> 7) & 1) && width > 20)
        v = 9007199254740992.0 + static_cast<double>((r >> 8) % 2048) - 1024;
    }
    return (r >> 63) ? -v : v;
  }

  // Values within a few ulps of a sixth-decimal tie n.nnnnnn5, and the exact
  // ties j/128 (j odd), all with up to 10 integer digits.
  double tie() {
    const uint64_t r = rng_();
    double v;
    if (r & 1) {
      v = static_cast<double>((r >> 24) | 1) / 128;
      if (((r >> 1) & 3) == 0) v /= static_cast<double>(uint64_t{1} << ((r >> 3) % 40));
    } else {
      const uint64_t n = (r >> 8) % pow10((r >> 3) % 17);
      v = (static_cast<double>(n) + 0.5) / 1e6;
    }
    const int step = static_cast<int>((r >> 56) % 9) - 4;
    for (int i = 0; i < step; ++i) v = std::nextafter(v, INFINITY);
    for (int i = 0; i > step; --i) v = std::nextafter(v, 0.0);
    return (r >> 63) ? -v : v;
  }

  // Near the fast path's bounds (2^-22, 2^-16, 2^33), powers of ten and
  // the carries of nnn9.9999995.
  double edge() {
    const uint64_t r = rng_();
    static constexpr int kExponents[] = {-23, -22, -21, -17, -16, -15, 32, 33, 34, 0};
    double v;
    switch ((r >> 1) % 3) {
      case 0:
        v = std::ldexp(1.0, kExponents[(r >> 3) % 10]);
        break;
      case 1:
        v = static_cast<double>(pow10((r >> 3) % 23)) / 1e6;
        break;
      default:
        v = static_cast<double>(pow10((r >> 3) % 17)) - 5e-7;
        break;
    }
    const int step = static_cast<int>((r >> 40) % 65) - 32;
    for (int i = 0; i < step; ++i) v = std::nextafter(v, INFINITY);
    for (int i = 0; i > step; --i) v = std::nextafter(v, 0.0);
    return (r & 1) ? -v : v;
  }

  // Decimal texts as a value table or a user would write them: up to 16
  // significant digits with the point anywhere.
  double decimal() {
    const uint64_t r = rng_();
    const uint64_t digits = (r >> 8) % pow10(1 + (r >> 3) % 16);
    const double v = static_cast<double>(digits) / static_cast<double>(pow10((r >> 56) % 16));
    return (r & 1) ? -v : v;
  }

 private:
  template <typename T, size_t N>
  T pick(const T (&table)[N]) {
    return table[rng_() % N];
  }
  static uint64_t pow10(uint64_t n) {
    uint64_t p = 1;
    while (n--) p *= 10;
    return p;
  }
  static double from_bits(uint64_t b) {
    double d;
    std::memcpy(&d, &b, sizeof d);
    return d;
  }

  std::mt19937_64 rng_;
  uint64_t count_ = 0;
};

}  // namespace quillon::bench
