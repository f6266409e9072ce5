// Constant Unicode tables produced by tools/gen_unicode.py. Only the Basic
// Multilingual Plane is covered: code points above U+FFFF are in no group and
// map to themselves.
#pragma once

#include <cstdint>

namespace quillon::unicode {

struct CodeRange {
  uint16_t low, high;  // inclusive
};

struct GroupTable {
  const CodeRange* ranges;  // sorted, disjoint
  int count;
};

// One case range maps first..last onto a range ending at mapped_last. With a
// distance of 1 the range alternates: code points of last's parity map to the
// next one, the others to themselves. Sorted by last.
struct CaseRange {
  uint16_t first, last, mapped_last;
};

extern const char kUnicodeVersion[];

constexpr int kGroupCount = 18;
extern const GroupTable kGroups[kGroupCount];

// Simple case folding: every entry, forwards.
extern const CaseRange kCaseTable[];
extern const int kCaseTableCount;
// Lower-case mapping: the entries named here, forwards (ascending last).
extern const uint16_t kLowerIndex[];
extern const int kLowerIndexCount;
// Upper-case mapping: the entries named here, backwards (ascending mapped_last).
extern const uint16_t kUpperIndex[];
extern const int kUpperIndexCount;
// The few mappings the shared table cannot express (a dotted capital I, the
// Cherokee letters whose fold is upper case, lower-case letters with a second
// upper-case form). Checked before the index lists; each entry shifts every
// code point of first..last by mapped_last - last.
extern const CaseRange kLowerExtra[];
extern const int kLowerExtraCount;
extern const CaseRange kUpperExtra[];
extern const int kUpperExtraCount;

}  // namespace quillon::unicode
