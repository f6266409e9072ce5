// Input: a pattern, a NUL byte, then the text. Checks that every capture lies
// inside the text and that matching without a capture array agrees.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "support/pattern.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > 65536) return 0;
  const char* bytes = reinterpret_cast<const char*>(data);
  const void* nul = std::memchr(bytes, 0, size);
  const size_t split = nul ? size_t(static_cast<const char*>(nul) - bytes) : size;
  if (split > 1024) return 0;
  const std::string pattern(bytes, split);
  const std::string text = split < size ? std::string(bytes + split + 1, size - split - 1) : "";
  quillon::CompiledPattern p;
  if (quillon::pattern_compile(p, pattern.c_str()) != 0) return 0;
  const int slots = quillon::pattern_group_count(p);
  quillon::PatternCapture caps[quillon::PATTERN_MAX_SLOTS];
  const int m = quillon::pattern_match(p, text.c_str(), caps);
  const int verdict = quillon::pattern_match(p, text.c_str(), nullptr);
  // The text ends at its first NUL.
  const size_t length = std::strlen(text.c_str());
  if (m == 0) {
    if (caps[0].text == nullptr) std::abort();
    for (int i = 0; i < slots; ++i) {
      if (caps[i].text == nullptr) {
        if (caps[i].length != 0) std::abort();
        continue;
      }
      const size_t start = size_t(caps[i].text - text.c_str());
      if (caps[i].length < 0 || start > length || start + size_t(caps[i].length) > length) {
        std::abort();
      }
    }
    if (verdict == -1) std::abort();
  } else {
    for (int i = 0; i < slots; ++i) {
      if (caps[i].text != nullptr || caps[i].length != 0) std::abort();
    }
    if (m == -1 && verdict == 0) std::abort();
  }
  return 0;
}
