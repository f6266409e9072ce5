// UTF-8 decoding, simple case mapping, the Unicode character groups used by
// the pattern classes, and two text helpers. Pure functions over constant
// tables (support/unicode_tables.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quillon {

// Decodes the code point at text[pos] (pos < text.size()) and stores its
// length in bytes (1 to 4) in *length. Accepts exactly well-formed UTF-8
// (RFC 3629). A byte that does not start a well-formed sequence (a stray
// continuation byte, an overlong or surrogate form, a sequence cut short, a
// single-byte code page) is taken alone as the Latin-1 code point of its
// value, so decoding always makes progress and never reads past the view.
uint32_t utf8_decode(std::string_view text, size_t pos, int* length);

// The same over a NUL-terminated text: a NUL never continues a sequence, so
// nothing beyond the terminator is read. At the terminator gives 0, length 1.
uint32_t utf8_decode(const char* text, int* length);

// Position of the code point that ends just before pos (pos > 0): steps back
// over at most three continuation bytes to a lead byte whose sequence ends
// exactly at pos; otherwise pos - 1, as utf8_decode reads malformed bytes.
size_t utf8_step_back(const char* text, size_t pos);

// Appends code point c as UTF-8 (1 to 4 bytes). Surrogates and values above
// U+10FFFF append nothing.
void utf8_append(std::string& out, uint32_t c);

// Unicode general categories and scripts, limited to the BMP.
enum class UnicodeGroup : int {
  Cc,
  Lt,
  Nd,
  Nl,
  Pc,
  Pd,
  Pf,
  Pi,
  Sc,
  Zl,
  Zp,
  Zs,
  Arabic,
  Cyrillic,
  Devanagari,
  Greek,
  Han,
  Latin,
};
bool unicode_group_contains(UnicodeGroup group, uint32_t c);

// Simple (one-to-one) case mappings of the BMP; other code points are
// returned unchanged. codepoint_fold is Unicode's simple case folding.
uint32_t codepoint_fold(uint32_t c);
uint32_t codepoint_lower(uint32_t c);
uint32_t codepoint_upper(uint32_t c);

// Every code point lower-cased (ASCII directly, others with
// codepoint_lower), re-encoded as UTF-8.
std::string text_to_lower(std::string_view text);

// Orders a against b without regard to case (simple case folding, code
// point by code point). 0 when both fold to the same code points; a NUL in b
// ends the comparison as equal; otherwise negative or positive.
int text_compare_nocase(std::string_view a, std::string_view b);

}  // namespace quillon
