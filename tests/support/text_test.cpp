#include "support/text.h"

#include <gtest/gtest.h>

#include <string>

namespace quillon {
namespace {

struct DecodeRow {
  std::string bytes;
  uint32_t code;
  int length;
};

TEST(Utf8Decode, AcceptsExactlyWellFormedSequences) {
  const DecodeRow rows[] = {
      {"A", 0x41, 1},
      {"\x7F", 0x7F, 1},
      {"\xC2\x80", 0x80, 2},
      {"\xDF\xBF", 0x7FF, 2},
      {"\xE0\xA0\x80", 0x800, 3},
      {"\xED\x9F\xBF", 0xD7FF, 3},
      {"\xEE\x80\x80", 0xE000, 3},
      {"\xEF\xBF\xBF", 0xFFFF, 3},
      {"\xF0\x90\x80\x80", 0x10000, 4},
      {"\xF4\x8F\xBF\xBF", 0x10FFFF, 4},
      // Malformed: the first byte alone, as its Latin-1 value.
      {"\x80", 0x80, 1},              // stray continuation byte
      {"\xC0\x80", 0xC0, 1},          // overlong NUL
      {"\xC1\xBF", 0xC1, 1},          // overlong
      {"\xE0\x9F\xBF", 0xE0, 1},      // overlong three-byte form
      {"\xED\xA0\x80", 0xED, 1},      // surrogate
      {"\xF0\x8F\xBF\xBF", 0xF0, 1},  // overlong four-byte form
      {"\xF4\x90\x80\x80", 0xF4, 1},  // above U+10FFFF
      {"\xF5\x80\x80\x80", 0xF5, 1},  // never a lead byte
      {"\xFF", 0xFF, 1},              // never a lead byte
      {"\xE2\x82"
       "A",
       0xE2, 1},                  // cut short by an ASCII byte
      {"\xF0\x9F\x98", 0xF0, 1},  // cut short by the end
      {"\xC3\xA9\x80", 0xE9, 2},  // valid, followed by a stray byte
  };
  for (const auto& r : rows) {
    int length = 0;
    EXPECT_EQ(utf8_decode(r.bytes, 0, &length), r.code) << testing::PrintToString(r.bytes);
    EXPECT_EQ(length, r.length) << testing::PrintToString(r.bytes);
    // The NUL-terminated form agrees; the terminator ends any sequence.
    length = 0;
    EXPECT_EQ(utf8_decode(r.bytes.c_str(), &length), r.code);
    EXPECT_EQ(length, r.length);
  }
}

TEST(Utf8Decode, NeverReadsPastTheView) {
  const std::string euro = "\xE2\x82\xAC";
  int length = 0;
  EXPECT_EQ(utf8_decode(std::string_view(euro).substr(0, 2), 0, &length), 0xE2u);
  EXPECT_EQ(length, 1);
  EXPECT_EQ(utf8_decode(std::string_view(euro), 1, &length), 0x82u);
  EXPECT_EQ(length, 1);
  EXPECT_EQ(utf8_decode("", &length), 0u);
  EXPECT_EQ(length, 1);
}

TEST(Utf8Decode, RoundTripsEveryScalarValue) {
  std::string s;
  for (uint32_t c = 0; c <= 0x10FFFF; ++c) {
    s.clear();
    utf8_append(s, c);
    if (c >= 0xD800 && c <= 0xDFFF) {
      ASSERT_TRUE(s.empty()) << c;
      continue;
    }
    int length = 0;
    ASSERT_EQ(utf8_decode(s, 0, &length), c);
    ASSERT_EQ(size_t(length), s.size());
    ASSERT_EQ(utf8_step_back(s.c_str(), s.size()), 0u);
  }
  s.clear();
  utf8_append(s, 0x110000);
  EXPECT_TRUE(s.empty());
}

TEST(Utf8StepBack, FindsTheLeadByteOrStepsOneByte) {
  const std::string t =
      "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"
      "b";
  EXPECT_EQ(utf8_step_back(t.c_str(), 1), 0u);
  EXPECT_EQ(utf8_step_back(t.c_str(), 3), 1u);
  EXPECT_EQ(utf8_step_back(t.c_str(), 6), 3u);
  EXPECT_EQ(utf8_step_back(t.c_str(), 10), 6u);
  EXPECT_EQ(utf8_step_back(t.c_str(), 11), 10u);
  // Stray continuation bytes are single characters, as decoding reads them.
  const std::string stray = "a\x80\x80\x80\x80";
  EXPECT_EQ(utf8_step_back(stray.c_str(), 5), 4u);
  EXPECT_EQ(utf8_step_back("\x80", 1), 0u);
}

TEST(UnicodeGroups, HoldTheirRangesWithinThePlane) {
  struct Row {
    UnicodeGroup group;
    uint32_t c;
    bool in;
  };
  const Row rows[] = {
      {UnicodeGroup::Cc, 0x00, true},
      {UnicodeGroup::Cc, 0x1F, true},
      {UnicodeGroup::Cc, 0x20, false},
      {UnicodeGroup::Cc, 0x9F, true},
      {UnicodeGroup::Nd, '0', true},
      {UnicodeGroup::Nd, '9', true},
      {UnicodeGroup::Nd, 0x0966, true},
      {UnicodeGroup::Nd, 'a', false},
      {UnicodeGroup::Nd, 0x1D7CE, false},  // a digit beyond the plane
      {UnicodeGroup::Pc, '_', true},
      {UnicodeGroup::Pc, 0xFF3F, true},
      {UnicodeGroup::Pc, '-', false},
      {UnicodeGroup::Pd, '-', true},
      {UnicodeGroup::Zs, ' ', true},
      {UnicodeGroup::Zs, 0x3000, true},
      {UnicodeGroup::Zs, '\t', false},
      {UnicodeGroup::Zl, 0x2028, true},
      {UnicodeGroup::Zp, 0x2029, true},
      {UnicodeGroup::Sc, '$', true},
      {UnicodeGroup::Sc, 0x20AC, true},
      {UnicodeGroup::Lt, 0x01C5, true},
      {UnicodeGroup::Pi, 0x00AB, true},
      {UnicodeGroup::Pf, 0x00BB, true},
      {UnicodeGroup::Nl, 0x2160, true},
      {UnicodeGroup::Latin, 'a', true},
      {UnicodeGroup::Latin, 0x00E9, true},
      {UnicodeGroup::Latin, '1', false},
      {UnicodeGroup::Greek, 0x03B1, true},
      {UnicodeGroup::Greek, 0x0391, true},
      {UnicodeGroup::Cyrillic, 0x0416, true},
      {UnicodeGroup::Arabic, 0x0627, true},
      {UnicodeGroup::Devanagari, 0x0905, true},
      {UnicodeGroup::Devanagari, 0x0964, false},
      {UnicodeGroup::Han, 0x4E2D, true},
      {UnicodeGroup::Han, 0x20000, false},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(unicode_group_contains(r.group, r.c), r.in) << int(r.group) << " " << r.c;
  }
}

TEST(CaseMapping, FollowsTheSimpleMappings) {
  struct Row {
    uint32_t c, fold, lower, upper;
  };
  const Row rows[] = {
      {'A', 'a', 'a', 'A'},
      {'z', 'z', 'z', 'Z'},
      {'0', '0', '0', '0'},
      {0x00C9, 0x00E9, 0x00E9, 0x00C9},  // E acute
      {0x00DF, 0x00DF, 0x00DF, 0x00DF},  // sharp s has no simple upper case
      {0x00B5, 0x03BC, 0x00B5, 0x039C},  // micro sign
      {0x017F, 's', 0x017F, 'S'},        // long s
      {0x0130, 0x0130, 'i', 0x0130},     // dotted capital I: no simple fold
      {0x0131, 0x0131, 0x0131, 'I'},     // dotless i
      {0x0100, 0x0101, 0x0101, 0x0100},  // alternating range
      {0x0101, 0x0101, 0x0101, 0x0100},
      {0x0139, 0x013A, 0x013A, 0x0139},  // alternating from an odd code point
      {0x01C4, 0x01C6, 0x01C6, 0x01C4},  // DZ caron: three forms
      {0x01C5, 0x01C6, 0x01C6, 0x01C4},
      {0x01C6, 0x01C6, 0x01C6, 0x01C4},
      {0x03A3, 0x03C3, 0x03C3, 0x03A3},  // sigma
      {0x03C2, 0x03C3, 0x03C2, 0x03A3},  // final sigma
      {0x0416, 0x0436, 0x0436, 0x0416},  // Cyrillic
      {0x1E9E, 0x00DF, 0x00DF, 0x1E9E},  // capital sharp s
      {0x212A, 'k', 'k', 0x212A},        // Kelvin sign
      {0x2126, 0x03C9, 0x03C9, 0x2126},  // Ohm sign
      {0x13A0, 0x13A0, 0xAB70, 0x13A0},  // Cherokee folds to upper case
      {0xAB70, 0x13A0, 0xAB70, 0x13A0},
      {0x13F8, 0x13F0, 0x13F8, 0x13F0},
      {0x1C80, 0x0432, 0x1C80, 0x0412},      // a second lower-case form of ve
      {0x023A, 0x2C65, 0x2C65, 0x023A},      // lower case needs a longer encoding
      {0xFF21, 0xFF41, 0xFF41, 0xFF21},      // fullwidth A
      {0x10400, 0x10400, 0x10400, 0x10400},  // beyond the plane: unchanged
  };
  for (const auto& r : rows) {
    EXPECT_EQ(codepoint_fold(r.c), r.fold) << std::hex << r.c;
    EXPECT_EQ(codepoint_lower(r.c), r.lower) << std::hex << r.c;
    EXPECT_EQ(codepoint_upper(r.c), r.upper) << std::hex << r.c;
  }
}

TEST(TextToLower, LowersEveryCodePoint) {
  EXPECT_EQ(text_to_lower("LOG0001.TXT"), "log0001.txt");
  EXPECT_EQ(text_to_lower(""), "");
  EXPECT_EQ(text_to_lower("\xC3\x84\xC3\x96\xC3\x9C"), "\xC3\xA4\xC3\xB6\xC3\xBC");
  EXPECT_EQ(text_to_lower("\xC8\xBA"), "\xE2\xB1\xA5");  // two bytes become three
  EXPECT_EQ(text_to_lower("\xF0\x90\x90\x80"), "\xF0\x90\x90\x80");
  // Malformed bytes pass through untouched; the text after them is lowered.
  EXPECT_EQ(text_to_lower(std::string("A\xC9\x80Z\0Q", 6)), std::string("a\xC9\x80z\0q", 6));
}

TEST(TextCompareNocase, OrdersWithoutRegardToCase) {
  EXPECT_EQ(text_compare_nocase("BusType", "BUSTYPE"), 0);
  EXPECT_EQ(text_compare_nocase("CAN FD", "can fd"), 0);
  EXPECT_EQ(text_compare_nocase(".dbc", ".DbC"), 0);
  EXPECT_EQ(text_compare_nocase("\xC3\x89t\xC3\xA9", "\xC3\xA9T\xC3\x89"), 0);
  EXPECT_LT(text_compare_nocase("abc", "ABD"), 0);
  EXPECT_GT(text_compare_nocase("abd", "ABC"), 0);
  EXPECT_LT(text_compare_nocase("ab", "ABC"), 0);
  EXPECT_GT(text_compare_nocase("abc", "AB"), 0);
  EXPECT_EQ(text_compare_nocase("", ""), 0);
  EXPECT_LT(text_compare_nocase("", "a"), 0);
  EXPECT_GT(text_compare_nocase("a", ""), 0);
  // Equal folds of different byte lengths are equal.
  EXPECT_EQ(text_compare_nocase("\xE2\x84\xAA", "k"), 0);
  EXPECT_EQ(text_compare_nocase("s", "\xC5\xBF"), 0);
  // A NUL in b ends the comparison.
  EXPECT_EQ(text_compare_nocase(std::string_view("ab\0x", 4), std::string_view("AB\0y", 4)), 0);
}

}  // namespace
}  // namespace quillon
