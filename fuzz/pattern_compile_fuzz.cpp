// Compiles arbitrary bytes as a pattern; a program that compiles must also
// run over a few fixed texts without fault.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "support/pattern.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  const std::string pattern = size ? std::string(reinterpret_cast<const char*>(data), size) : "";
  quillon::CompiledPattern p;
  const int rc = quillon::pattern_compile(p, pattern.c_str());
  const int slots = quillon::pattern_group_count(p);
  if ((rc == 0) != (slots > 0) || rc > 0 || rc < quillon::PATTERN_TOO_MANY_RANGES) std::abort();
  if (rc != 0) return 0;
  if (slots > quillon::PATTERN_MAX_SLOTS) std::abort();
  quillon::PatternCapture caps[quillon::PATTERN_MAX_SLOTS];
  static const char* const kTexts[] = {
      "",
      "a",
      "SG_ Speed : 0|8@1+ (1,0) [0|255] \"\" X",
      "ab\ncd\n",
      "\xC3\xA9\xE2\x82\xAC\x80\xFF",
  };
  for (const char* text : kTexts) {
    const int m = quillon::pattern_match(p, text, caps);
    if (m != 0 && m != -1 && m != -2) std::abort();
  }
  // Compiling again into the same object reuses or replaces the program.
  quillon::pattern_compile(p, pattern.c_str());
  return 0;
}
