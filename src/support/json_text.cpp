#include "support/json_text.h"

#include <charconv>
#include <cstdio>

namespace quillon {

namespace {

// The length of the valid UTF-8 sequence at text[i], or 0.
size_t utf8_length(std::string_view text, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<uint8_t>(text[k]); };
  const uint8_t lead = byte(i);
  size_t n = 0;
  uint8_t low = 0x80;
  uint8_t high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    n = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    n = 3;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    n = 4;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // past U+10FFFF
  } else {
    return 0;
  }
  if (i + n > text.size()) return 0;
  if (byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (size_t k = 2; k < n; ++k) {
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  }
  return n;
}

// Printable ASCII but the quote and the backslash: written as it is.
bool plain_byte(uint8_t c) {
  return c >= 0x20 && c < 0x7F && c != '"' && c != '\\';
}

}  // namespace

void append_json_string(std::string& out, std::string_view text) {
  out += '"';
  size_t i = 0;
  while (i < text.size()) {
    // A report holds thousands of paths: plain runs go in one piece.
    size_t plain = i;
    while (plain < text.size() && plain_byte(static_cast<uint8_t>(text[plain]))) ++plain;
    out.append(text.data() + i, plain - i);
    i = plain;
    if (i == text.size()) break;
    const uint8_t c = static_cast<uint8_t>(text[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
      i += 1;
    } else if (c < 0x20 || c == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
      i += 1;
    } else if (c < 0x80) {
      out += static_cast<char>(c);
      i += 1;
    } else if (size_t n = utf8_length(text, i); n != 0) {
      out.append(text.data() + i, n);
      i += n;
    } else {
      out += "\\ufffd";
      i += 1;
    }
  }
  out += '"';
}

// Not snprintf: a report of 10,000 logs writes 60,000 numbers.
void append_json_number(std::string& out, uint64_t value) {
  char digits[24];
  const std::to_chars_result r = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, r.ptr);
}

void append_json_number(std::string& out, int64_t value) {
  char digits[24];
  const std::to_chars_result r = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, r.ptr);
}

}  // namespace quillon
