// A deterministic text log shaped like J1939 traffic: a handful of
// identifiers at their own rates, 8-byte payloads, millisecond timestamps
// that only go forward.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace quillon::bench {

// Writes a log of the given number of frames; false when the file cannot be
// written. Compact timestamps hold the time of day only (about 40 bytes a
// frame); full ones the date as well ("20200101T120000123", 49 bytes).
inline bool generate_log(const std::string& path, uint64_t frames, bool full_stamps = false) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  std::fputs(
      "# Logger type: Telvorn2000\n# HW rev: 0.01\n# FW rev: 01.02\n# Logger ID: 1A2B3C4D\n"
      "# Session No.: 12\n# Split No.: 1\n# Time: 20200101T000000\n# Value separator: \";\"\n"
      "# Time format: 3\n# Time separator: \"\"\n# Time separator ms: \"\"\n"
      "# Date separator: \"\"\n# Time and date separator: \"T\"\n# Bit-rate: 250000\n"
      "# Silent mode: false\n# Cyclic mode: false\n"
      "Timestamp;Type;ID;Length;Data\n",
      f);
  static const uint32_t kIds[] = {0x0CF00400, 0x0CF00300, 0x18FEF100, 0x18FEEE00,
                                  0x18FEF200, 0x18FEE900, 0x18FEF500, 0x18FECA00};
  uint64_t state = 0x9E3779B97F4A7C15ull;
  uint64_t ms = 0;
  char line[64];
  for (uint64_t i = 0; i < frames; ++i) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    // Engine messages dominate, as on a real truck bus.
    uint32_t id = kIds[(state >> 60) < 10 ? (state >> 60) % 2 : 2 + (state >> 56) % 6];
    ms += (state >> 40) % 3;  // several frames may share a millisecond
    uint64_t day_ms = ms % 86400000;
    unsigned hh = static_cast<unsigned>(day_ms / 3600000), mm = day_ms / 60000 % 60,
             ss = day_ms / 1000 % 60, mmm = day_ms % 1000;
    const char* format = full_stamps ? "20200101T%02u%02u%02u%03u;1;%08X;8;%016llX\n"
                                     : "%02u%02u%02u%03u;1;%08X;8;%016llX\n";
    int n = std::snprintf(line, sizeof line, format, hh, mm, ss, mmm, id,
                          static_cast<unsigned long long>(state));
    std::fwrite(line, 1, static_cast<size_t>(n), f);
  }
  return std::fclose(f) == 0;
}

}  // namespace quillon::bench
