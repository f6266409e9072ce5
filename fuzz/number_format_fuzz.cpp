// Input: doubles, 8 bytes each (a short tail padded with zeros). Each must
// print exactly as the row formatter library prints it, both alone and as
// the next of a series of row times.
#include <stb/stb_sprintf.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "output/number_format.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  quillon::TimeFormat times;
  for (size_t at = 0; at < size; at += 8) {
    uint8_t bytes[8] = {};
    std::memcpy(bytes, data + at, size - at < 8 ? size - at : 8);
    double v;
    std::memcpy(&v, bytes, sizeof v);
    char mine[quillon::kNumberRoom], theirs[quillon::kNumberRoom];
    const size_t n = static_cast<size_t>(quillon::format_number(mine, v) - mine);
    const int m = stbsp_snprintf(theirs, quillon::kNumberRoom, "%f", v);
    if (m < 0 || n != static_cast<size_t>(m) || std::memcmp(mine, theirs, n) != 0) std::abort();
    const size_t t = static_cast<size_t>(times.format(mine, v) - mine);
    if (t != n || std::memcmp(mine, theirs, n) != 0) std::abort();
  }
  return 0;
}
