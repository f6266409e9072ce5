#include "support/text.h"

#include "support/unicode_tables.h"

namespace quillon {
namespace {

// Per lead byte: how many continuation bytes follow and the range the first
// of them must lie in (the others take 80-BF). Zero follow-ups with an empty
// range marks a byte that never starts a sequence.
struct LeadRule {
  uint8_t follow, low, high;
};

constexpr LeadRule lead_rule(unsigned b) {
  if (b < 0x80) return {0, 1, 0};
  if (b < 0xC2) return {0, 0, 0};  // continuation bytes, overlong C0 and C1
  if (b < 0xE0) return {1, 0x80, 0xBF};
  if (b == 0xE0) return {2, 0xA0, 0xBF};  // no overlong three-byte forms
  if (b == 0xED) return {2, 0x80, 0x9F};  // no surrogates
  if (b < 0xF0) return {2, 0x80, 0xBF};
  if (b == 0xF0) return {3, 0x90, 0xBF};  // no overlong four-byte forms
  if (b < 0xF4) return {3, 0x80, 0xBF};
  if (b == 0xF4) return {3, 0x80, 0x8F};  // nothing above U+10FFFF
  return {0, 0, 0};
}

struct LeadTable {
  LeadRule rule[256];
  constexpr LeadTable() : rule() {
    for (unsigned b = 0; b < 256; ++b) rule[b] = lead_rule(b);
  }
};
constexpr LeadTable kLead;

// Decodes from p with at most avail bytes readable (the NUL-terminated form
// passes a large bound: the terminator fails every continuation test).
uint32_t decode(const unsigned char* p, size_t avail, int* length) {
  const unsigned b = p[0];
  const LeadRule r = kLead.rule[b];
  *length = 1;
  if (r.follow == 0 || avail <= r.follow) return b;
  if (p[1] < r.low || p[1] > r.high) return b;
  uint32_t c = b & (0x3F >> r.follow);
  for (int i = 1; i <= r.follow; ++i) {
    if (i > 1 && (p[i] < 0x80 || p[i] > 0xBF)) return b;
    c = (c << 6) | (p[i] & 0x3F);
  }
  *length = r.follow + 1;
  return c;
}

uint32_t forward(const unicode::CaseRange& e, uint32_t c) {
  if (c < e.first) return c;
  const int32_t d = int32_t(e.mapped_last) - int32_t(e.last);
  if (d == 1) return (c & 1) == (e.last & 1u) ? c + 1 : c;
  return uint32_t(int32_t(c) + d);
}

const unicode::CaseRange* find_extra(const unicode::CaseRange* table, int count, uint32_t c) {
  for (int i = 0; i < count; ++i) {
    if (table[i].first <= c && c <= table[i].last) return &table[i];
  }
  return nullptr;
}

uint32_t shift(const unicode::CaseRange& e, uint32_t c) {
  return uint32_t(int32_t(c) + int32_t(e.mapped_last) - int32_t(e.last));
}

}  // namespace

uint32_t utf8_decode(std::string_view text, size_t pos, int* length) {
  return decode(reinterpret_cast<const unsigned char*>(text.data()) + pos, text.size() - pos,
                length);
}

uint32_t utf8_decode(const char* text, int* length) {
  return decode(reinterpret_cast<const unsigned char*>(text), 4, length);
}

size_t utf8_step_back(const char* text, size_t pos) {
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  size_t lead = pos - 1;
  for (int i = 0; i < 3 && lead > 0 && (p[lead] & 0xC0) == 0x80; ++i) --lead;
  int length = 1;
  decode(p + lead, pos - lead, &length);
  return lead + size_t(length) == pos ? lead : pos - 1;
}

void utf8_append(std::string& out, uint32_t c) {
  if (c < 0x80) {
    out += char(c);
  } else if (c < 0x800) {
    out += char(0xC0 | (c >> 6));
    out += char(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    if (c >= 0xD800 && c <= 0xDFFF) return;
    out += char(0xE0 | (c >> 12));
    out += char(0x80 | ((c >> 6) & 0x3F));
    out += char(0x80 | (c & 0x3F));
  } else if (c <= 0x10FFFF) {
    out += char(0xF0 | (c >> 18));
    out += char(0x80 | ((c >> 12) & 0x3F));
    out += char(0x80 | ((c >> 6) & 0x3F));
    out += char(0x80 | (c & 0x3F));
  }
}

bool unicode_group_contains(UnicodeGroup group, uint32_t c) {
  const int g = int(group);
  if (g < 0 || g >= unicode::kGroupCount || c > 0xFFFF) return false;
  const unicode::GroupTable& t = unicode::kGroups[g];
  // Binary search for the first range whose high end is not below c.
  int lo = 0, hi = t.count;
  while (lo < hi) {
    const int mid = (lo + hi) / 2;
    if (t.ranges[mid].high < c) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo < t.count && t.ranges[lo].low <= c;
}

uint32_t codepoint_fold(uint32_t c) {
  if (c > 0xFFFF) return c;
  int lo = 0, hi = unicode::kCaseTableCount;
  while (lo < hi) {
    const int mid = (lo + hi) / 2;
    if (unicode::kCaseTable[mid].last < c) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo < unicode::kCaseTableCount ? forward(unicode::kCaseTable[lo], c) : c;
}

uint32_t codepoint_lower(uint32_t c) {
  if (c > 0xFFFF) return c;
  if (const auto* e = find_extra(unicode::kLowerExtra, unicode::kLowerExtraCount, c)) {
    return shift(*e, c);
  }
  int lo = 0, hi = unicode::kLowerIndexCount;
  while (lo < hi) {
    const int mid = (lo + hi) / 2;
    if (unicode::kCaseTable[unicode::kLowerIndex[mid]].last < c) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo < unicode::kLowerIndexCount ? forward(unicode::kCaseTable[unicode::kLowerIndex[lo]], c)
                                        : c;
}

uint32_t codepoint_upper(uint32_t c) {
  if (c > 0xFFFF) return c;
  if (const auto* e = find_extra(unicode::kUpperExtra, unicode::kUpperExtraCount, c)) {
    return shift(*e, c);
  }
  int lo = 0, hi = unicode::kUpperIndexCount;
  while (lo < hi) {
    const int mid = (lo + hi) / 2;
    if (unicode::kCaseTable[unicode::kUpperIndex[mid]].mapped_last < c) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  if (lo == unicode::kUpperIndexCount) return c;
  const unicode::CaseRange& e = unicode::kCaseTable[unicode::kUpperIndex[lo]];
  const int32_t d = int32_t(e.mapped_last) - int32_t(e.last);
  if (int32_t(c) < int32_t(e.first) + d) return c;
  if (d == 1) return (c & 1) == (e.mapped_last & 1u) ? c - 1 : c;
  return uint32_t(int32_t(c) - d);
}

std::string text_to_lower(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 2);
  size_t pos = 0;
  while (pos < text.size()) {
    const unsigned char b = static_cast<unsigned char>(text[pos]);
    if (b < 0x80) {
      out += char(b >= 'A' && b <= 'Z' ? b + 32 : b);
      ++pos;
      continue;
    }
    int length = 1;
    const uint32_t c = utf8_decode(text, pos, &length);
    if (length == 1) {
      out += char(b);  // a malformed byte is kept as it was, not re-encoded
    } else {
      utf8_append(out, codepoint_lower(c));
    }
    pos += size_t(length);
  }
  return out;
}

int text_compare_nocase(std::string_view a, std::string_view b) {
  if (a.empty() || b.empty()) return int(a.size()) - int(b.size());
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    int la = 1, lb = 1;
    const uint32_t ca = codepoint_fold(utf8_decode(a, i, &la));
    const uint32_t cb = codepoint_fold(utf8_decode(b, j, &lb));
    if (ca != cb) return int(ca) - int(cb);
    if (cb == 0) return 0;
    i += size_t(la);
    j += size_t(lb);
  }
  // What is left decides, so equal texts whose folded forms differ in byte
  // length (the Kelvin sign against k) still compare equal.
  return int(a.size() - i) - int(b.size() - j);
}

}  // namespace quillon
