// The number texts of the CSV rows: "%f" with six decimals, byte for byte
// as the row formatter library (stb_sprintf) prints them, including its
// imprecisions. Stored files and users' diffs rely on those exact bytes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillon {

// The most one number can take, with the terminating zero byte the library
// writes: "-" and the 309 integer digits of the largest double, ".", six
// decimals.
constexpr size_t kNumberRoom = 318;

// Writes value at out (which has kNumberRoom bytes of room) and returns the
// end of the text; a zero byte may follow it. "NaN" and "Inf" (with "-"
// when the sign bit is set, as for "-0.000000") print as such. The common
// values (magnitudes below 2^33 that are not within a hair of a rounding
// tie, zero, NaN, Inf) are formatted here; everything else by the library.
char* format_number(char* out, double value);

// The same without the library: null for the values format_number hands to
// it. For tests that check which values stay fast.
char* format_number_fast(char* out, double value);

// format_number for the times of consecutive rows, which mostly share their
// whole seconds: the digits before the point are kept from the last call.
// out has kNumberRoom bytes of room, as for format_number.
class TimeFormat {
 public:
  char* format(char* out, double time);

 private:
  uint64_t whole_ = UINT64_MAX;  // never a time's whole seconds
  uint32_t length_ = 0;          // of the digits and the point in prefix_
  char prefix_[16] = {};         // 10 digits and "." at most
};

}  // namespace quillon
