#include "output/number_format.h"

#include <array>
#include <cstdint>
#include <cstring>

// The row formatter library, compiled once, here. Reads are kept aligned so
// the sanitizer build stays quiet; the library's own warnings are not ours
// to fix.
#define STB_SPRINTF_IMPLEMENTATION
#define STB_SPRINTF_NOUNALIGNED
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wimplicit-fallthrough"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wunused-parameter"
#pragma GCC diagnostic ignored "-Wconversion"
#include <stb/stb_sprintf.h>
#pragma GCC diagnostic pop

namespace quillon {

namespace {

// Why the fast path prints exactly what the library prints.
//
// For a magnitude d with binary exponent E, the library estimates the count
// of integer digits t from E alone (below), scales d by 10^(18-t) in
// double-double arithmetic, converts that to a 64-bit integer B and rounds
// B half up at 10^(12-t), the place of the sixth decimal. For
// 2^-16 <= d < 2^33, 18-t lies in 8..22: one multiplication by an exactly
// representable power of ten, whose double-double product is exact to well
// below 2^-10. The conversion truncates the high and the low part toward
// zero separately, so B lies within 1 + 2^-9 of the exact X = d*10^(18-t),
// on either side (a negative low part rounds up: 1715940000.00233149528
// prints as ...002332). Rounding B half up gives the same integer as
// rounding X half up unless a tie, (k + 1/2)*10^(12-t), lies within that
// distance of X. So wherever the exact d*10^6 is at least 2*10^(t-12) from a
// tie, the library prints d*10^6 rounded half up, which is computed here
// exactly in integers. Below 2^-22 the library's scaled value stays under
// half of the sixth decimal's place whatever its error, so it prints zero;
// NaN and Inf are fixed texts. Everything else goes to the library.
constexpr int kBias = 1023;
constexpr int kZeroBelow = kBias - 22;  // biased exponents below: zero
constexpr int kFastFrom = kBias - 16;   // first biased exponent formatted here
constexpr int kFastTo = kBias + 33;     // first one left to the library
constexpr uint64_t kMantissa = (uint64_t{1} << 52) - 1;

// The library's digit-count estimate for the binary exponent e.
constexpr int digits_estimate(int e) {
  return e < 0 ? e * 617 / 2048 : e * 1233 / 4096 + 1;
}

// d*10^6 = (M*15625) / 2^s for the 53-bit mantissa M, with
// s = 1069 - biased exponent, which is 14..62 on the fast path.
constexpr int shift_of(int biased) {
  return 1069 - biased;
}

// Per biased exponent of the fast path: the least distance, in units of
// 2^-s, that d*10^6 must keep from a tie, 2*10^(t-12) rounded up.
constexpr std::array<uint64_t, kFastTo - kFastFrom> make_tie_margins() {
  std::array<uint64_t, kFastTo - kFastFrom> m{};
  for (int b = kFastFrom; b < kFastTo; ++b) {
    uint64_t ten = 1;
    for (int i = 0; i < 12 - digits_estimate(b - kBias); ++i) ten *= 10;
    uint64_t twice = uint64_t{1} << (shift_of(b) + 1);
    m[b - kFastFrom] = (twice + ten - 1) / ten;
  }
  return m;
}
constexpr auto kTieMargin = make_tie_margins();
static_assert(digits_estimate(kFastFrom - kBias) == -4 &&
                  digits_estimate(kFastTo - 1 - kBias) == 10,
              "one exact power of ten scales every fast-path value");

constexpr char kPairs[] =
    "0001020304050607080910111213141516171819202122232425262728293031323334353637383940414243444546"
    "4748495051525354555657585960616263646566676869707172737475767778798081828384858687888990919293"
    "949596979899";

inline void put_pair(char* at, uint32_t v) {
  std::memcpy(at, kPairs + 2 * v, 2);
}

// Writes "<whole>." (at most 10 digits) and returns the end.
char* put_whole(char* out, uint64_t whole) {
  int digits = 1;
  for (uint64_t ten = 10; digits < 10 && whole >= ten; ten *= 10) ++digits;
  char* point = out + digits;
  char* p = point;
  while (whole >= 100) {
    p -= 2;
    put_pair(p, static_cast<uint32_t>(whole % 100));
    whole /= 100;
  }
  if (whole >= 10) {
    put_pair(p - 2, static_cast<uint32_t>(whole));
  } else {
    p[-1] = static_cast<char>('0' + whole);
  }
  *point = '.';
  return point + 1;
}

// Writes the six digits of part < 10^6 and returns the end.
char* put_part(char* out, uint32_t part) {
  put_pair(out, part / 10000);
  put_pair(out + 2, part / 100 % 100);
  put_pair(out + 4, part % 100);
  return out + 6;
}

// The integer the library prints for the magnitude of the double with these
// bits, |d|*10^6 rounded half up, in n; false off the fast path's range and
// near a tie.
inline bool scaled(uint64_t bits, uint64_t& n) {
  const int biased = static_cast<int>((bits >> 52) & 0x7FF);
  if (biased < kFastFrom || biased >= kFastTo) return false;
  // M*15625 as hi:lo, from 32-bit halves so no wider type is needed.
  const uint64_t m = (bits & kMantissa) | (kMantissa + 1);
  const uint64_t low = (m & 0xFFFFFFFF) * 15625;
  const uint64_t mid = (m >> 32) * 15625 + (low >> 32);
  const uint64_t hi = mid >> 32;
  const uint64_t lo = (mid << 32) | (low & 0xFFFFFFFF);
  const int s = shift_of(biased);
  const uint64_t whole = (hi << (64 - s)) | (lo >> s);
  const uint64_t rest = lo & ((uint64_t{1} << s) - 1);
  const uint64_t half = uint64_t{1} << (s - 1);
  const uint64_t distance = rest >= half ? rest - half : half - rest;
  n = whole + (rest >= half);
  return distance >= kTieMargin[biased - kFastFrom];
}

uint64_t bits_of(double value) {
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

}  // namespace

char* format_number_fast(char* out, double value) {
  const uint64_t bits = bits_of(value);
  const int biased = static_cast<int>((bits >> 52) & 0x7FF);
  char* p = out;
  *p = '-';
  p += bits >> 63;
  uint64_t n;
  if (scaled(bits, n)) {
    const uint64_t whole = n / 1000000;
    return put_part(put_whole(p, whole), static_cast<uint32_t>(n - whole * 1000000));
  }
  if (biased < kZeroBelow) {
    std::memcpy(p, "0.000000", 8);
    return p + 8;
  }
  if (biased == 0x7FF) {
    std::memcpy(p, (bits & kMantissa) ? "NaN" : "Inf", 3);
    return p + 3;
  }
  return nullptr;
}

char* format_number(char* out, double value) {
  char* end = format_number_fast(out, value);
  return end ? end : out + stbsp_snprintf(out, static_cast<int>(kNumberRoom), "%f", value);
}

char* TimeFormat::format(char* out, double time) {
  const uint64_t bits = bits_of(time);
  uint64_t n;
  if ((bits >> 63) || !scaled(bits, n)) return format_number(out, time);
  const uint64_t whole = n / 1000000;
  if (whole != whole_) {
    whole_ = whole;
    length_ = static_cast<uint32_t>(put_whole(prefix_, whole) - prefix_);
  }
  std::memcpy(out, prefix_, sizeof prefix_);
  return put_part(out + length_, static_cast<uint32_t>(n - whole * 1000000));
}

}  // namespace quillon
