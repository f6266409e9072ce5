// A small regular-expression engine for the constant patterns of the DBC
// parser and the option code: a compiler to a program of instructions and a
// thread-list matcher that never backtracks, so matching time is linear in
// the text length.
//
// Dialect: literals, ".", "^", "$", \A \z \Z \b \B, groups "(...)", "|",
// greedy "*" "+" "?", bracket expressions with ranges, [:posix:] names and
// escapes, \d \D \s \S \w \W, \p{Name} \P{Name}, \a \f \n \r \t \v,
// \x{hex}, \Q...\E, and the mode switches (?i) (?s) (?-i) ... which hold for
// the rest of the pattern. No counted repetition, back-references,
// non-capturing groups or look-around.
//
// Result: the leftmost match, the longest among those starting there, with
// the groups of the highest-priority path (quantifiers prefer to repeat,
// alternation prefers its left side).
#pragma once

#include <cstdint>

namespace quillon {

// pattern_compile results.
constexpr int PATTERN_OK = 0;
constexpr int PATTERN_NO_MEMORY = -3;
constexpr int PATTERN_UNCLOSED_GROUP = -4;     // "(" never closed
constexpr int PATTERN_UNOPENED_GROUP = -5;     // ")" without "(", or "\x{" without "}"
constexpr int PATTERN_TOO_MANY_GROUPS = -6;    // more than 31
constexpr int PATTERN_TOO_MANY_BRACKETS = -7;  // more than 16 bracket expressions
constexpr int PATTERN_UNCLOSED_BRACKET = -8;   // ends inside "[...]"
constexpr int PATTERN_MISSING_OPERAND = -9;    // "()", "a|", "*a", ...
constexpr int PATTERN_UNKNOWN_OPERATOR = -10;  // unknown flag in "(?...)"
constexpr int PATTERN_OPERAND_STACK_FULL = -11;
constexpr int PATTERN_OPERATOR_STACK_FULL = -12;
constexpr int PATTERN_OPERATOR_STACK_EMPTY = -13;
constexpr int PATTERN_TOO_MANY_RANGES = -14;  // a bracket expression with over 32 ranges

// pattern_match results.
constexpr int PATTERN_MATCH = 0;
constexpr int PATTERN_NO_MATCH = -1;
constexpr int PATTERN_MATCH_ERROR = -2;  // no memory, or a text of 2 GiB or more

constexpr int PATTERN_MAX_GROUPS = 31;
constexpr int PATTERN_MAX_SLOTS = PATTERN_MAX_GROUPS + 1;

// One slot of a match: slot 0 the whole match, slot n group n. A slot that
// took no part in the match has a null text and length 0.
struct PatternCapture {
  const char* text;
  int32_t length;
};

struct PatternProgram;

// Owns a compiled program. Empty until compiled; after a failed compilation
// it holds no program and status() gives the error.
class CompiledPattern {
 public:
  CompiledPattern() = default;
  ~CompiledPattern();
  CompiledPattern(const CompiledPattern&) = delete;
  CompiledPattern& operator=(const CompiledPattern&) = delete;
  CompiledPattern(CompiledPattern&& other) noexcept;
  CompiledPattern& operator=(CompiledPattern&& other) noexcept;

  int status() const { return status_; }

 private:
  friend int pattern_compile(CompiledPattern& p, const char* pattern);
  friend int pattern_group_count(const CompiledPattern& p);
  friend int pattern_match(const CompiledPattern& p, const char* text, PatternCapture* captures);
  friend void pattern_release(CompiledPattern& p);

  PatternProgram* program_ = nullptr;
  int status_ = PATTERN_OK;
};

// Compiles the NUL-terminated pattern (case-insensitive and dot-all modes
// off). Returns 0, or a negative code above; the object then holds no
// program. A program from an earlier compilation is replaced, its memory
// reused when large enough.
int pattern_compile(CompiledPattern& p, const char* pattern);

// Capture slots a match fills: groups + 1; 0 without a program. Size the
// capture array with it.
int pattern_group_count(const CompiledPattern& p);

// Searches the NUL-terminated text for the pattern. Every one of the
// pattern_group_count() slots of captures is cleared first and holds the
// match on success (captures may be null when only the verdict matters).
// Returns PATTERN_MATCH, PATTERN_NO_MATCH, or PATTERN_MATCH_ERROR (also for
// a pattern without a program). Allocates nothing unless the program is
// large: its thread lists are sized at compilation.
int pattern_match(const CompiledPattern& p, const char* text, PatternCapture* captures);

// Frees the program; the object is empty again.
void pattern_release(CompiledPattern& p);

}  // namespace quillon
