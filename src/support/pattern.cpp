#include "support/pattern.h"

#include <cassert>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "support/text.h"

namespace quillon {

namespace {

enum Op : uint8_t {
  OP_CHAR,         // consumes arg (a code point or a class code)
  OP_FOLDED,       // consumes c when fold(c) is arg (or fold(c) is in the class)
  OP_ANY,          // consumes anything but a newline
  OP_ANY_NEWLINE,  // consumes anything
  OP_CLASS,        // consumes a member of class table arg
  OP_NOT_CLASS,    // consumes a non-member of class table arg
  OP_LINE_START,
  OP_TEXT_START,
  OP_LINE_END,
  OP_TEXT_END,
  OP_TEXT_END_NEWLINE,  // end of text, or a newline that is the last character
  OP_WORD_BOUNDARY,
  OP_NOT_WORD_BOUNDARY,
  OP_CASE_SENSITIVE,
  OP_CASE_INSENSITIVE,
  OP_GROUP_OPEN,
  OP_GROUP_CLOSE,
  OP_SPLIT,  // follow next first, alt second
  OP_NOP,    // compile time only: successors skip it
  OP_MATCH,
};

// The instructions that consume a character of the text.
constexpr bool consumes_character(uint8_t op) {
  return op == OP_CHAR || op == OP_FOLDED || op == OP_ANY || op == OP_ANY_NEWLINE ||
         op == OP_CLASS || op == OP_NOT_CLASS;
}

struct Inst {
  uint8_t op;
  uint32_t arg;
  int32_t next;  // -1 while dangling
  int32_t alt;   // second successor of OP_SPLIT
};

// Class codes stand where a code point may stand. Code points above
// U+10FFFF given as \x{...} become kNoCodePoint, which nothing matches.
constexpr uint32_t kNoCodePoint = 0x110000;
constexpr uint32_t kClassBase = 0x200000;

enum ClassId : uint32_t {
  // POSIX names: code points below 128 only, C locale meanings.
  C_ALNUM,
  C_ALPHA,
  C_ASCII,
  C_BLANK,
  C_CNTRL,
  C_DIGIT,
  C_GRAPH,
  C_LOWER,
  C_PRINT,
  C_PUNCT,
  C_SPACE,
  C_UPPER,
  C_XDIGIT,
  C_WORD,
  // \p{...} names.
  U_ALPHA,
  U_CASED,
  U_DIGIT,
  U_LOWER,
  U_UPPER,
  U_CNTRL,
  U_ALNUM,
  U_BLANK,
  U_SPACE,
  U_WORD,
  U_XDIGIT,
  U_GROUP,  // + UnicodeGroup
};

constexpr uint32_t class_code(uint32_t id, bool negated) {
  return kClassBase + id * 2 + (negated ? 1 : 0);
}
constexpr bool is_class_code(uint32_t v) {
  return v >= kClassBase;
}

struct PosixName {
  const char* name;  // the text after "[:" or "[:^"
  ClassId id;
};
constexpr PosixName kPosixNames[] = {
    {"alnum:]", C_ALNUM},   {"alpha:]", C_ALPHA}, {"ascii:]", C_ASCII}, {"blank:]", C_BLANK},
    {"cntrl:]", C_CNTRL},   {"digit:]", C_DIGIT}, {"graph:]", C_GRAPH}, {"lower:]", C_LOWER},
    {"print:]", C_PRINT},   {"punct:]", C_PUNCT}, {"space:]", C_SPACE}, {"upper:]", C_UPPER},
    {"xdigit:]", C_XDIGIT}, {"word:]", C_WORD},
};

struct ControlEscape {
  char letter;
  uint32_t code;
};
constexpr ControlEscape kControlEscapes[] = {
    {'a', 0x07}, {'f', 0x0C}, {'n', 0x0A}, {'r', 0x0D}, {'t', 0x09}, {'v', 0x0B},
};

struct NamedClass {
  const char* name;  // the text after \p, braces included
  uint32_t id;
};
constexpr NamedClass kNamedClasses[] = {
    {"{Alpha}", U_ALPHA},
    {"{L&}", U_CASED},
    {"{Digit}", U_DIGIT},
    {"{Nd}", U_DIGIT},
    {"{Lower}", U_LOWER},
    {"{Ll}", U_LOWER},
    {"{Upper}", U_UPPER},
    {"{Lu}", U_UPPER},
    {"{Cntrl}", U_CNTRL},
    {"{Cc}", U_CNTRL},
    {"{Alnum}", U_ALNUM},
    {"{Blank}", U_BLANK},
    {"{Space}", U_SPACE},
    {"{Word}", U_WORD},
    {"{XDigit}", U_XDIGIT},
    {"{Lt}", U_GROUP + uint32_t(UnicodeGroup::Lt)},
    {"{Nl}", U_GROUP + uint32_t(UnicodeGroup::Nl)},
    {"{Pc}", U_GROUP + uint32_t(UnicodeGroup::Pc)},
    {"{Pd}", U_GROUP + uint32_t(UnicodeGroup::Pd)},
    {"{Pf}", U_GROUP + uint32_t(UnicodeGroup::Pf)},
    {"{Pi}", U_GROUP + uint32_t(UnicodeGroup::Pi)},
    {"{Zl}", U_GROUP + uint32_t(UnicodeGroup::Zl)},
    {"{Zp}", U_GROUP + uint32_t(UnicodeGroup::Zp)},
    {"{Zs}", U_GROUP + uint32_t(UnicodeGroup::Zs)},
    {"{Sc}", U_GROUP + uint32_t(UnicodeGroup::Sc)},
    {"{Arabic}", U_GROUP + uint32_t(UnicodeGroup::Arabic)},
    {"{Cyrillic}", U_GROUP + uint32_t(UnicodeGroup::Cyrillic)},
    {"{Devanagari}", U_GROUP + uint32_t(UnicodeGroup::Devanagari)},
    {"{Greek}", U_GROUP + uint32_t(UnicodeGroup::Greek)},
    {"{Han}", U_GROUP + uint32_t(UnicodeGroup::Han)},
    {"{Latin}", U_GROUP + uint32_t(UnicodeGroup::Latin)},
};

bool ascii_upper(uint32_t c) {
  return c >= 'A' && c <= 'Z';
}
bool ascii_lower(uint32_t c) {
  return c >= 'a' && c <= 'z';
}
bool ascii_alpha(uint32_t c) {
  return ascii_upper(c) || ascii_lower(c);
}
bool ascii_digit(uint32_t c) {
  return c >= '0' && c <= '9';
}
bool ascii_alnum(uint32_t c) {
  return ascii_alpha(c) || ascii_digit(c);
}
bool ascii_space(uint32_t c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}
bool ascii_xdigit(uint32_t c) {
  return ascii_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
bool ascii_graph(uint32_t c) {
  return c > ' ' && c < 0x7F;
}

bool in_group(UnicodeGroup g, uint32_t c) {
  return unicode_group_contains(g, c);
}

bool unicode_letter(uint32_t c) {
  if (c < 0x80) return ascii_alpha(c);
  return in_group(UnicodeGroup::Latin, c) || in_group(UnicodeGroup::Nl, c) ||
         in_group(UnicodeGroup::Greek, c) || in_group(UnicodeGroup::Cyrillic, c) ||
         in_group(UnicodeGroup::Han, c) || in_group(UnicodeGroup::Devanagari, c) ||
         in_group(UnicodeGroup::Arabic, c);
}

bool cased(uint32_t c) {
  if (c < 0x80) return ascii_alpha(c);
  return codepoint_lower(c) != c || codepoint_upper(c) != c || in_group(UnicodeGroup::Lt, c);
}

bool word_char(uint32_t c) {
  if (c < 0x80) return ascii_alnum(c) || c == '_';
  return unicode_letter(c) || in_group(UnicodeGroup::Nd, c) || in_group(UnicodeGroup::Pc, c);
}

bool class_has(uint32_t id, uint32_t c, bool insensitive) {
  switch (id) {
    case C_ALNUM:
      return ascii_alnum(c);
    case C_ALPHA:
      return ascii_alpha(c);
    case C_ASCII:
      return c < 0x80;
    case C_BLANK:
      return c == ' ' || c == '\t';
    case C_CNTRL:
      return c < 0x20 || c == 0x7F;
    case C_DIGIT:
      return ascii_digit(c);
    case C_GRAPH:
      return ascii_graph(c);
    case C_LOWER:
      return ascii_lower(c);
    case C_PRINT:
      return c >= ' ' && c < 0x7F;
    case C_PUNCT:
      return ascii_graph(c) && !ascii_alnum(c);
    case C_SPACE:
      return ascii_space(c);
    case C_UPPER:
      return ascii_upper(c);
    case C_XDIGIT:
      return ascii_xdigit(c);
    case C_WORD:
      return ascii_alnum(c) || c == '_';
    case U_ALPHA:
      return unicode_letter(c);
    case U_CASED:
      return cased(c);
    case U_DIGIT:
      return c < 0x80 ? ascii_digit(c) : in_group(UnicodeGroup::Nd, c);
    case U_LOWER:
      return insensitive ? cased(c) : codepoint_upper(c) != c;
    case U_UPPER:
      return insensitive ? cased(c) : codepoint_lower(c) != c;
    case U_CNTRL:
      return in_group(UnicodeGroup::Cc, c);
    case U_ALNUM:
      return c < 0x80 ? ascii_alnum(c) : unicode_letter(c) || in_group(UnicodeGroup::Nd, c);
    case U_BLANK:
      return c < 0x80 ? c == ' ' || c == '\t' : in_group(UnicodeGroup::Zs, c);
    case U_SPACE:
      return c < 0x80 ? ascii_space(c)
                      : c == 0x2028 || c == 0x2029 || in_group(UnicodeGroup::Zs, c);
    case U_WORD:
      return word_char(c);
    case U_XDIGIT:
      return ascii_xdigit(c);
    default:
      if (id >= U_GROUP && id < U_GROUP + 18) return in_group(UnicodeGroup(id - U_GROUP), c);
      return false;
  }
}

bool class_code_has(uint32_t code, uint32_t c, bool insensitive) {
  const uint32_t v = code - kClassBase;
  return class_has(v >> 1, c, insensitive) != ((v & 1) != 0);
}

constexpr int kMaxClasses = 16;
constexpr int kMaxRanges = 32;
constexpr int kOperandStackSize = 20;
constexpr int kOperatorStackSize = 20;  // the bottom marker included

struct ClassRange {
  uint32_t low, high;
};

struct ClassTable {
  int count;
  ClassRange ranges[kMaxRanges];
};

bool table_has(const ClassTable& t, uint32_t c, bool insensitive) {
  for (int i = 0; i < t.count; ++i) {
    const ClassRange& r = t.ranges[i];
    if (r.low <= c && c <= r.high) return true;
    if (r.low == r.high && is_class_code(r.low) && class_code_has(r.low, c, insensitive)) {
      return true;
    }
  }
  return false;
}

}  // namespace

// One allocation: this header (with the class tables), then the instructions.
struct PatternProgram {
  ClassTable classes[kMaxClasses];
  int class_count;
  int groups;
  int start;
  int threads;  // capacity of each thread list of the matcher
  int count;
  int capacity;
  Inst* insts() { return reinterpret_cast<Inst*>(this + 1); }
  const Inst* insts() const { return reinterpret_cast<const Inst*>(this + 1); }
};

namespace {

PatternProgram* allocate_program(PatternProgram* old, int capacity) {
  const size_t bytes = sizeof(PatternProgram) + size_t(capacity) * sizeof(Inst);
  if (old != nullptr && old->capacity >= capacity) return old;
  std::free(old);
  auto* prog = static_cast<PatternProgram*>(std::malloc(bytes));
  if (prog != nullptr) prog->capacity = capacity;
  return prog;
}

// Operators by increasing precedence; the value is the precedence.
enum Operator : uint8_t {
  K_BOTTOM,
  K_END,
  K_CLOSE,
  K_OPEN,
  K_ALTERNATE,
  K_CONCAT,
  K_STAR,
  K_PLUS,
  K_QUESTION,
};

struct Fragment {
  int32_t first, last;  // last has the one dangling successor
};

struct OperatorEntry {
  Operator op;
  int group;
};

class Compiler {
 public:
  Compiler(PatternProgram* prog, const char* pattern) : prog_(prog), pattern_(pattern) {}

  int run();

 private:
  int emit(uint8_t op, uint32_t arg, int32_t* index);
  void patch(int32_t inst, int32_t target);
  int push_operand(int32_t first, int32_t last);
  int pop_operand(Fragment* f);
  int push_operator(Operator op, int group);
  int apply(const OperatorEntry& e);
  int reduce(Operator op);
  int operand(uint8_t op, uint32_t arg);
  int literal(uint32_t c);
  int escape();
  bool shared_escape(char e, uint32_t* code, bool* is_class);
  int hex_escape();
  int quoted();
  int flags();
  int bracket();
  int bracket_item(ClassTable& table);
  bool posix_class(uint32_t* code);
  int32_t resolve(int32_t target) const;
  int token();
  int open_group();
  int close_group();
  int alternate();
  int quantifier(Operator op);
  int finish();
  void link();

  uint32_t next_char(size_t* pos) const {
    int length = 1;
    const uint32_t c = utf8_decode(pattern_ + *pos, &length);
    *pos += size_t(length);
    return c;
  }
  bool named_class(size_t at, uint32_t* id, size_t* length) const;

  PatternProgram* prog_;
  const char* pattern_;
  size_t pos_ = 0;
  bool insensitive_ = false;
  bool dot_all_ = false;
  bool ended_ = false;  // \x{0} or a cut-off mode switch ends the pattern early
  bool after_operand_ = false;
  int open_ = 0;
  Fragment operands_[kOperandStackSize];
  int operand_count_ = 0;
  OperatorEntry operators_[kOperatorStackSize];
  int operator_count_ = 0;
};

int Compiler::emit(uint8_t op, uint32_t arg, int32_t* index) {
  if (prog_->count >= prog_->capacity) return PATTERN_NO_MEMORY;
  *index = prog_->count++;
  prog_->insts()[*index] = Inst{op, arg, -1, -1};
  return PATTERN_OK;
}

void Compiler::patch(int32_t inst, int32_t target) {
  Inst& in = prog_->insts()[inst];
  if (in.op == OP_SPLIT) {
    in.alt = target;
  } else {
    in.next = target;
  }
}

int Compiler::push_operand(int32_t first, int32_t last) {
  if (operand_count_ == kOperandStackSize) return PATTERN_OPERAND_STACK_FULL;
  operands_[operand_count_++] = Fragment{first, last};
  return PATTERN_OK;
}

int Compiler::pop_operand(Fragment* f) {
  if (operand_count_ == 0) return PATTERN_MISSING_OPERAND;
  *f = operands_[--operand_count_];
  return PATTERN_OK;
}

int Compiler::apply(const OperatorEntry& e) {
  Inst* in = prog_->insts();
  Fragment f, left;
  int32_t a, b;
  int rc;
  switch (e.op) {
    case K_OPEN:
      if ((rc = pop_operand(&f)) || (rc = emit(OP_GROUP_OPEN, uint32_t(e.group), &a)) ||
          (rc = emit(OP_GROUP_CLOSE, uint32_t(e.group), &b))) {
        return rc;
      }
      in[a].next = f.first;
      patch(f.last, b);
      return push_operand(a, b);
    case K_ALTERNATE:
      if ((rc = pop_operand(&f)) || (rc = pop_operand(&left)) || (rc = emit(OP_SPLIT, 0, &a)) ||
          (rc = emit(OP_NOP, 0, &b))) {
        return rc;
      }
      in[a].next = left.first;
      in[a].alt = f.first;
      patch(left.last, b);
      patch(f.last, b);
      return push_operand(a, b);
    case K_CONCAT:
      if ((rc = pop_operand(&f)) || (rc = pop_operand(&left))) return rc;
      patch(left.last, f.first);
      return push_operand(left.first, f.last);
    case K_STAR:
      if ((rc = pop_operand(&f)) || (rc = emit(OP_SPLIT, 0, &a))) return rc;
      in[a].next = f.first;
      patch(f.last, a);
      return push_operand(a, a);
    case K_PLUS:
      if ((rc = pop_operand(&f)) || (rc = emit(OP_SPLIT, 0, &a))) return rc;
      in[a].next = f.first;
      patch(f.last, a);
      return push_operand(f.first, a);
    case K_QUESTION:
      if ((rc = pop_operand(&f)) || (rc = emit(OP_SPLIT, 0, &a)) || (rc = emit(OP_NOP, 0, &b))) {
        return rc;
      }
      in[a].next = f.first;
      in[a].alt = b;
      patch(f.last, b);
      return push_operand(a, b);
    default:
      return PATTERN_UNKNOWN_OPERATOR;
  }
}

// Applies every stacked operator of at least op's precedence.
int Compiler::reduce(Operator op) {
  while (operator_count_ > 0 && operators_[operator_count_ - 1].op >= op) {
    const OperatorEntry e = operators_[--operator_count_];
    if (int rc = apply(e)) return rc;
  }
  if (operator_count_ == 0) return PATTERN_OPERATOR_STACK_EMPTY;
  return PATTERN_OK;
}

int Compiler::push_operator(Operator op, int group) {
  if (int rc = reduce(op)) return rc;
  if (operator_count_ == kOperatorStackSize) return PATTERN_OPERATOR_STACK_FULL;
  operators_[operator_count_++] = OperatorEntry{op, group};
  return PATTERN_OK;
}

int Compiler::operand(uint8_t op, uint32_t arg) {
  if (after_operand_) {
    if (int rc = push_operator(K_CONCAT, 0)) return rc;
  }
  int32_t i;
  if (int rc = emit(op, arg, &i)) return rc;
  after_operand_ = true;
  return push_operand(i, i);
}

int Compiler::literal(uint32_t c) {
  if (insensitive_) return operand(OP_FOLDED, codepoint_fold(c));
  return operand(OP_CHAR, c);
}

bool Compiler::named_class(size_t at, uint32_t* id, size_t* length) const {
  for (const NamedClass& n : kNamedClasses) {
    const size_t len = std::strlen(n.name);
    if (std::strncmp(pattern_ + at, n.name, len) == 0) {
      *id = n.id;
      *length = len;
      return true;
    }
  }
  return false;
}

// The escapes that mean the same inside and outside brackets: the classes
// \d \D \s \S \w \W, \p{Name} \P{Name} (a \p or \P without a known name
// stands for the letter) and the control characters \a \f \n \r \t \v.
// pos_ is just past e and moves past a class name. False for any other e.
bool Compiler::shared_escape(char e, uint32_t* code, bool* is_class) {
  *is_class = true;
  switch (e) {
    case 'd':
    case 'D':
      *code = class_code(U_DIGIT, e == 'D');
      return true;
    case 's':
    case 'S':
      *code = class_code(U_SPACE, e == 'S');
      return true;
    case 'w':
    case 'W':
      *code = class_code(U_WORD, e == 'W');
      return true;
    case 'p':
    case 'P': {
      uint32_t id;
      size_t length;
      if (named_class(pos_, &id, &length)) {
        pos_ += length;
        *code = class_code(id, e == 'P');
      } else {
        *code = uint32_t(e);
        *is_class = false;
      }
      return true;
    }
    default:
      break;
  }
  *is_class = false;
  for (const ControlEscape& control : kControlEscapes) {
    if (control.letter == e) {
      *code = control.code;
      return true;
    }
  }
  return false;
}

// pos_ is at the backslash.
int Compiler::escape() {
  const char e = pattern_[pos_ + 1];
  if (e == '\0') {  // a lone backslash at the end stands for itself
    ++pos_;
    return literal('\\');
  }
  pos_ += 2;
  uint32_t code;
  bool is_class;
  if (shared_escape(e, &code, &is_class)) return is_class ? operand(OP_CHAR, code) : literal(code);
  switch (e) {
    case 'A':
      return operand(OP_TEXT_START, 0);
    case 'z':
      return operand(OP_TEXT_END, 0);
    case 'Z':
      return operand(OP_TEXT_END_NEWLINE, 0);
    case 'b':
      return operand(OP_WORD_BOUNDARY, 0);
    case 'B':
      return operand(OP_NOT_WORD_BOUNDARY, 0);
    case 'x':
      return hex_escape();
    case 'Q':
      return quoted();
    default:
      pos_ -= 1;
      return literal(next_char(&pos_));
  }
}

// pos_ is after "\x": "{hex}" is a code point, \x{0} ends the pattern; "\x"
// without a brace is the letter.
int Compiler::hex_escape() {
  if (pattern_[pos_] != '{') return literal('x');
  size_t p = pos_ + 1;
  uint32_t value = 0;
  for (;; ++p) {
    const char h = pattern_[p];
    uint32_t digit;
    if (h >= '0' && h <= '9') {
      digit = uint32_t(h - '0');
    } else if (h >= 'a' && h <= 'f') {
      digit = uint32_t(h - 'a' + 10);
    } else if (h >= 'A' && h <= 'F') {
      digit = uint32_t(h - 'A' + 10);
    } else {
      break;
    }
    value = value > kNoCodePoint ? kNoCodePoint : value * 16 + digit;
  }
  if (pattern_[p] != '}') return PATTERN_UNOPENED_GROUP;
  pos_ = p + 1;
  if (value == 0) {
    ended_ = true;
    return PATTERN_OK;
  }
  return literal(value > 0x10FFFF ? kNoCodePoint : value);
}

// pos_ is after "\Q": everything up to "\E" (or the end) is literal.
int Compiler::quoted() {
  while (pattern_[pos_] != '\0') {
    if (pattern_[pos_] == '\\' && pattern_[pos_ + 1] == 'E') {
      pos_ += 2;
      break;
    }
    if (int rc = literal(next_char(&pos_))) return rc;
  }
  return PATTERN_OK;
}

// pos_ is at "(?".
int Compiler::flags() {
  pos_ += 2;
  bool on = true;
  bool case_changed = false;
  for (;;) {
    const char f = pattern_[pos_];
    if (f == '\0') {
      ended_ = true;
      break;
    }
    ++pos_;
    if (f == ')') break;
    if (f == '-') {
      on = false;
    } else if (f == 'i') {
      insensitive_ = on;
      case_changed = true;
    } else if (f == 's') {
      dot_all_ = on;
    } else {
      return PATTERN_UNKNOWN_OPERATOR;
    }
  }
  if (!case_changed) return operand(OP_NOP, 0);
  return operand(insensitive_ ? OP_CASE_INSENSITIVE : OP_CASE_SENSITIVE, 0);
}

int add_range(ClassTable& table, uint32_t low, uint32_t high) {
  if (high < low) return PATTERN_OK;  // an inverted range matches nothing
  if (table.count == kMaxRanges) return PATTERN_TOO_MANY_RANGES;
  table.ranges[table.count++] = ClassRange{low, high};
  return PATTERN_OK;
}

// Sorts the ranges by low end (insertion sort: at most 32 items), then
// merges overlaps.
void sort_and_merge(ClassTable& table) {
  ClassRange* r = table.ranges;
  for (int i = 1; i < table.count; ++i) {
    const ClassRange x = r[i];
    int j = i;
    for (; j > 0 && r[j - 1].low > x.low; --j) r[j] = r[j - 1];
    r[j] = x;
  }
  int merged = 0;
  for (int i = 0; i < table.count; ++i) {
    if (merged > 0 && r[i].low <= r[merged - 1].high) {
      if (r[i].high > r[merged - 1].high) r[merged - 1].high = r[i].high;
    } else {
      r[merged++] = r[i];
    }
  }
  table.count = merged;
}

// pos_ is at "[".
int Compiler::bracket() {
  if (prog_->class_count == kMaxClasses) return PATTERN_TOO_MANY_BRACKETS;
  const int index = prog_->class_count++;
  ClassTable& table = prog_->classes[index];
  table.count = 0;
  ++pos_;
  const bool negated = pattern_[pos_] == '^';
  if (negated) {
    ++pos_;
    add_range(table, '\n', '\n');  // a negated expression never matches a newline
  }
  for (;;) {
    const char ch = pattern_[pos_];
    if (ch == '\0') return PATTERN_UNCLOSED_BRACKET;
    if (ch == ']') {
      ++pos_;
      break;
    }
    if (int rc = bracket_item(table)) return rc;
  }
  sort_and_merge(table);
  return operand(negated ? OP_NOT_CLASS : OP_CLASS, uint32_t(index));
}

// One member of a bracket expression: a [:name:] class, an escape, or a
// character with an optional "-" and upper end.
int Compiler::bracket_item(ClassTable& table) {
  uint32_t code = 0;
  bool is_class = false;
  const char ch = pattern_[pos_];
  if (ch == '[' && pattern_[pos_ + 1] == ':') {
    is_class = posix_class(&code);
    if (!is_class) code = uint32_t(pattern_[pos_++]);  // a literal "["
  } else if (ch == '\\') {
    const char e = pattern_[pos_ + 1];
    if (e == '\0') return PATTERN_UNCLOSED_BRACKET;
    pos_ += 2;
    if (!shared_escape(e, &code, &is_class)) {
      pos_ -= 1;
      code = next_char(&pos_);
    }
  } else {
    code = next_char(&pos_);
  }
  if (is_class) return add_range(table, code, code);
  uint32_t high = code;
  if (pattern_[pos_] == '-' && pattern_[pos_ + 1] != ']' && pattern_[pos_ + 1] != '\0') {
    ++pos_;
    if (pattern_[pos_] == '\\') {
      if (pattern_[pos_ + 1] == '\0') return PATTERN_UNCLOSED_BRACKET;
      ++pos_;  // the upper end is the escaped character itself
    }
    high = next_char(&pos_);
  }
  if (insensitive_) {
    code = codepoint_fold(code);
    high = codepoint_fold(high);
  }
  return add_range(table, code, high);
}

// pos_ is at "[:". A known name ("[:alpha:]", "[:^alpha:]") gives its class
// code and moves past it; otherwise nothing moves.
bool Compiler::posix_class(uint32_t* code) {
  const bool complement = pattern_[pos_ + 2] == '^';
  const size_t at = pos_ + 2 + (complement ? 1 : 0);
  for (const PosixName& n : kPosixNames) {
    const size_t len = std::strlen(n.name);
    if (std::strncmp(pattern_ + at, n.name, len) == 0) {
      ClassId id = n.id;
      if (insensitive_ && (id == C_LOWER || id == C_UPPER)) id = C_ALPHA;
      *code = class_code(id, complement);
      pos_ = at + len;
      return true;
    }
  }
  return false;
}

int32_t Compiler::resolve(int32_t target) const {
  const Inst* in = prog_->insts();
  for (int guard = 0; target >= 0 && in[target].op == OP_NOP && guard < prog_->count; ++guard) {
    target = in[target].next;
  }
  return target;
}

int Compiler::run() {
  operators_[operator_count_++] = OperatorEntry{K_BOTTOM, 0};
  int rc = PATTERN_OK;
  while (rc == PATTERN_OK && !ended_ && pattern_[pos_] != '\0') rc = token();
  if (rc != PATTERN_OK) return rc;
  if (open_ > 0) return PATTERN_UNCLOSED_GROUP;
  if ((rc = finish())) return rc;
  link();
  return PATTERN_OK;
}

// Compiles the construct that starts at pos_.
int Compiler::token() {
  const char ch = pattern_[pos_];
  switch (ch) {
    case '(':
      return pattern_[pos_ + 1] == '?' ? flags() : open_group();
    case ')':
      return close_group();
    case '|':
      return alternate();
    case '*':
    case '+':
    case '?':
      return quantifier(ch == '*' ? K_STAR : ch == '+' ? K_PLUS : K_QUESTION);
    case '[':
      return bracket();
    case '.':
      ++pos_;
      return operand(dot_all_ ? OP_ANY_NEWLINE : OP_ANY, 0);
    case '^':
      ++pos_;
      return operand(OP_LINE_START, 0);
    case '$':
      ++pos_;
      return operand(OP_LINE_END, 0);
    case '\\':
      return escape();
    default:
      return literal(next_char(&pos_));
  }
}

int Compiler::open_group() {
  ++pos_;
  if (after_operand_) {
    if (int rc = push_operator(K_CONCAT, 0)) return rc;
  }
  if (prog_->groups == PATTERN_MAX_GROUPS) return PATTERN_TOO_MANY_GROUPS;
  ++open_;
  if (operator_count_ == kOperatorStackSize) return PATTERN_OPERATOR_STACK_FULL;
  operators_[operator_count_++] = OperatorEntry{K_OPEN, ++prog_->groups};
  after_operand_ = false;
  return PATTERN_OK;
}

// Reduces down to and including the matching "(".
int Compiler::close_group() {
  ++pos_;
  if (open_ == 0) return PATTERN_UNOPENED_GROUP;
  if (!after_operand_) return PATTERN_MISSING_OPERAND;  // "()" or "(a|)"
  --open_;
  for (;;) {
    if (operator_count_ <= 1) return PATTERN_OPERATOR_STACK_EMPTY;
    const OperatorEntry e = operators_[--operator_count_];
    if (int rc = apply(e)) return rc;
    if (e.op == K_OPEN) return PATTERN_OK;
  }
}

int Compiler::alternate() {
  ++pos_;
  if (!after_operand_) return PATTERN_MISSING_OPERAND;
  after_operand_ = false;
  return push_operator(K_ALTERNATE, 0);
}

int Compiler::quantifier(Operator op) {
  ++pos_;
  if (!after_operand_) return PATTERN_MISSING_OPERAND;
  return push_operator(op, 0);
}

// Reduces what is left and appends the match instruction.
int Compiler::finish() {
  int rc;
  if ((rc = reduce(K_END))) return rc;
  if (after_operand_ && (rc = push_operator(K_CONCAT, 0))) return rc;
  int32_t match;
  if ((rc = emit(OP_MATCH, 0, &match)) || (rc = push_operand(match, match)) ||
      (rc = reduce(K_END))) {
    return rc;
  }
  if (operand_count_ != 1) return PATTERN_MISSING_OPERAND;
  return PATTERN_OK;
}

// Points every successor past the no-operations, sets the start and sizes
// the matcher's thread lists: a thread is ever added only at the start, at
// the second successor of a split or after a consuming instruction, and a
// list holds at most one thread per instruction.
void Compiler::link() {
  Inst* in = prog_->insts();
  int entries = 1;
  for (int i = 0; i < prog_->count; ++i) {
    in[i].next = resolve(in[i].next);
    if (in[i].op == OP_SPLIT) in[i].alt = resolve(in[i].alt);
    if (in[i].op == OP_SPLIT || consumes_character(in[i].op)) ++entries;
  }
  prog_->start = resolve(operands_[0].first);
  prog_->threads = entries < prog_->count ? entries : prog_->count;
}

// ---------------------------------------------------------------------------
// Matching

constexpr size_t kMaxPatternLength = 100'000'000;

// Threads stay where they were stored; order lists them by priority. A
// thread is its instruction followed by its slots (start, length per slot;
// start -1 when unset).
struct ThreadList {
  int32_t* threads;
  int32_t* order;
  int count;
};

// Scratch memory of a match (stamps and both lists), in 32-bit units, taken
// from the stack when it fits.
constexpr size_t kScratchOnStack = 4096;

class Matcher {
 public:
  Matcher(const PatternProgram& prog, const char* text, int slots)
      : prog_(prog), in_(prog.insts()), text_(text), ints_(2 * slots), stride_(1 + 2 * slots) {}

  // 32-bit units of scratch memory run() needs.
  size_t scratch_size() const {
    return size_t(prog_.count) + 2 * size_t(prog_.threads) * size_t(stride_ + 1);
  }
  // Runs the match in scratch. Returns PATTERN_MATCH, PATTERN_NO_MATCH, or
  // PATTERN_MATCH_ERROR for a text of 2 GiB or more.
  int run(int32_t* scratch);

  const int32_t* best() const { return best_; }

 private:
  void prepare(int32_t* scratch);
  int32_t* thread(const ThreadList& list, int i) const {
    return list.threads + size_t(i) * size_t(stride_);
  }
  void add(ThreadList& list, int32_t pc, const int32_t* slots, int after);
  void insert(ThreadList& list, int32_t pc, const int32_t* slots, int after);
  // Only the slots in use travel with a thread.
  void copy_slots(int32_t* to, const int32_t* from) const {
    std::memcpy(to, from, sizeof(int32_t) * size_t(ints_));
  }
  void step(const int32_t* start, int index, size_t p, uint32_t c, bool at_end);
  void next_walk();
  bool char_is(uint32_t arg, uint32_t c) const;
  bool in_class(const Inst& in, uint32_t c) const;
  bool holds(uint8_t op, size_t p, uint32_t c, bool at_end) const;
  const int32_t* set_group(const Inst& in, int32_t pos, const int32_t* slots, int32_t* own) const;
  void record_match(const int32_t* slots, int32_t pos);
  bool word_boundary(size_t p, uint32_t c, bool at_end) const;
  bool skip_ahead(size_t* p) const;
  // True when a thread started at p would fail its first instruction; not
  // starting it changes nothing.
  bool dies_at_once(size_t p, uint32_t c) const {
    const Inst& first = in_[prog_.start];
    switch (first.op) {
      case OP_LINE_START:
        return p != 0 && text_[p - 1] != '\n';
      case OP_TEXT_START:
        return p != 0;
      case OP_CHAR:
        return !is_class_code(first.arg) && c != first.arg;
      default:
        return false;
    }
  }

  const PatternProgram& prog_;
  const Inst* in_;
  const char* text_;
  int ints_;
  int stride_;
  uint32_t* stamps_ = nullptr;
  uint32_t walk_ = 0;
  bool insensitive_ = false;
  bool found_ = false;
  ThreadList lists_[2];
  ThreadList* current_ = &lists_[0];
  ThreadList* next_ = &lists_[1];
  int32_t best_[2 * PATTERN_MAX_SLOTS];
};

// Insertion rule: one thread per instruction and list; a newcomer that
// started strictly earlier hands its slots to the one already there. A new
// thread goes right after position `after` of the priority order (-1: at the
// end), so a copy made at an alternative runs before every thread of lower
// priority; appending it at the end would let those claim its instructions
// first and lose the leftmost match or the greedy groups.
inline void Matcher::add(ThreadList& list, int32_t pc, const int32_t* slots, int after) {
  if (pc < 0) return;
  for (int i = 0; i < list.count; ++i) {
    int32_t* t = thread(list, i);
    if (t[0] != pc) continue;
    if (after >= 0) {
      // A thread waiting behind the newcomer has lower priority, although it
      // was stored first: the newcomer takes its place in the order.
      int k = after + 1;
      while (k < list.count && list.order[k] != i) ++k;
      if (k < list.count) {
        for (int j = k; j > after + 1; --j) list.order[j] = list.order[j - 1];
        list.order[after + 1] = i;
        copy_slots(t + 1, slots);
        return;
      }
    }
    if (slots[0] < t[1]) copy_slots(t + 1, slots);
    return;
  }
  insert(list, pc, slots, after);
}

// Stores a thread for an instruction the list does not hold yet.
inline void Matcher::insert(ThreadList& list, int32_t pc, const int32_t* slots, int after) {
  // The compiler sized the lists for every instruction a thread can be at.
  assert(list.count < prog_.threads);
  int32_t* t = thread(list, list.count);
  t[0] = pc;
  copy_slots(t + 1, slots);
  int at = list.count;
  if (after >= 0) {
    at = after + 1;
    for (int j = list.count; j > at; --j) list.order[j] = list.order[j - 1];
  }
  list.order[at] = list.count;
  ++list.count;
}

bool Matcher::word_boundary(size_t p, uint32_t c, bool at_end) const {
  if (p == 0) return true;
  int length;
  const uint32_t before = utf8_decode(text_ + utf8_step_back(text_, p), &length);
  return word_char(before) != (!at_end && word_char(c));
}

// Starts a new walk of the stamps; they are cleared when the counter wraps.
inline void Matcher::next_walk() {
  if (++walk_ == 0) {
    std::memset(stamps_, 0, sizeof(uint32_t) * size_t(prog_.count));
    walk_ = 1;
  }
}

// Whether c is the code point arg, or a member of the class arg stands for.
inline bool Matcher::char_is(uint32_t arg, uint32_t c) const {
  return is_class_code(arg) ? class_code_has(arg, c, insensitive_) : c == arg;
}

// Whether c passes the bracket expression of in.
inline bool Matcher::in_class(const Inst& in, uint32_t c) const {
  const uint32_t x = insensitive_ ? codepoint_fold(c) : c;
  return table_has(prog_.classes[in.arg], x, insensitive_) == (in.op == OP_CLASS);
}

// Whether the zero-width assertion op holds at position p.
inline bool Matcher::holds(uint8_t op, size_t p, uint32_t c, bool at_end) const {
  switch (op) {
    case OP_LINE_START:
      return p == 0 || text_[p - 1] == '\n';
    case OP_TEXT_START:
      return p == 0;
    case OP_LINE_END:
      return at_end || c == '\n';
    case OP_TEXT_END:
      return at_end;
    case OP_TEXT_END_NEWLINE:
      return at_end || (c == '\n' && text_[p + 1] == '\0');
    case OP_WORD_BOUNDARY:
      return word_boundary(p, c, at_end);
    case OP_NOT_WORD_BOUNDARY:
      return !word_boundary(p, c, at_end);
    default:
      return false;
  }
}

// Sets a group's start or length. The thread's slots are copied into own
// the first time a group instruction changes them.
inline const int32_t* Matcher::set_group(const Inst& in, int32_t pos, const int32_t* slots,
                                         int32_t* own) const {
  const int at = int(2 * in.arg);
  if (at >= ints_) return slots;
  if (slots != own) copy_slots(own, slots);
  if (in.op == OP_GROUP_OPEN) {
    own[at] = pos;
  } else {
    own[at + 1] = pos - own[at];
  }
  return own;
}

// Keeps the leftmost match, the longest among those starting there.
inline void Matcher::record_match(const int32_t* slots, int32_t pos) {
  if (!found_ || slots[0] < best_[0] || (slots[0] == best_[0] && pos - slots[0] > best_[1])) {
    copy_slots(best_, slots);
    best_[1] = pos - slots[0];
    found_ = true;
  }
}

// Follows one thread through zero-width instructions at position p until it
// consumes, matches or dies. A thread that comes back to an instruction it
// already passed at this position ends there, so zero-width loops such as
// "(^|a)*" or "\b+" cannot circle forever.
void Matcher::step(const int32_t* start, int index, size_t p, uint32_t c, bool at_end) {
  int32_t own[2 * PATTERN_MAX_SLOTS];
  const int32_t* slots = start + 1;
  next_walk();
  const int32_t pos = int32_t(p);
  for (int32_t pc = start[0]; pc >= 0;) {
    if (stamps_[pc] == walk_) return;
    stamps_[pc] = walk_;
    const Inst& in = in_[pc];
    switch (in.op) {
      // A consuming instruction hands the thread to the next position.
      case OP_CHAR:
        if (!at_end && char_is(in.arg, c)) add(*next_, in.next, slots, -1);
        return;
      case OP_FOLDED:
        if (!at_end && char_is(in.arg, codepoint_fold(c))) add(*next_, in.next, slots, -1);
        return;
      case OP_ANY:
        if (!at_end && c != '\n') add(*next_, in.next, slots, -1);
        return;
      case OP_ANY_NEWLINE:
        if (!at_end) add(*next_, in.next, slots, -1);
        return;
      case OP_CLASS:
      case OP_NOT_CLASS:
        if (!at_end && in_class(in, c)) add(*next_, in.next, slots, -1);
        return;
      case OP_CASE_SENSITIVE:
      case OP_CASE_INSENSITIVE:
        insensitive_ = in.op == OP_CASE_INSENSITIVE;
        break;
      case OP_GROUP_OPEN:
      case OP_GROUP_CLOSE:
        slots = set_group(in, pos, slots, own);
        break;
      case OP_SPLIT:
        add(*current_, in.alt, slots, index);
        break;
      case OP_MATCH:
        record_match(slots, pos);
        return;
      default:
        if (!holds(in.op, p, c, at_end)) return;
    }
    pc = in.next;
  }
}

// With no thread alive, jumps to the next position where the program's first
// instruction can hold. False when there is none.
bool Matcher::skip_ahead(size_t* p) const {
  const Inst& first = in_[prog_.start];
  const char* s = text_ + *p;
  if (first.op == OP_CHAR && first.arg < 0x80) {
    s = std::strchr(s, int(first.arg));
    if (s == nullptr) return false;
  } else if (first.op == OP_FOLDED && first.arg < 0x80) {
    // Non-ASCII characters can fold to ASCII (the Kelvin sign to k): stop there.
    for (; *s != '\0'; ++s) {
      const auto b = static_cast<unsigned char>(*s);
      if (b >= 0x80 || (ascii_upper(b) ? b + 32u : b) == first.arg) break;
    }
    if (*s == '\0') return false;
  } else if (first.op == OP_LINE_START) {
    if (*p != 0 && s[-1] != '\n') {
      s = std::strchr(s, '\n');
      if (s == nullptr) return false;
      ++s;
    }
  }
  *p = size_t(s - text_);
  return true;
}

// Lays the stamps and both lists out in scratch.
void Matcher::prepare(int32_t* scratch) {
  stamps_ = reinterpret_cast<uint32_t*>(scratch);
  std::memset(stamps_, 0, sizeof(uint32_t) * size_t(prog_.count));
  walk_ = 0;
  int32_t* at = scratch + prog_.count;
  const size_t capacity = size_t(prog_.threads);
  for (ThreadList& list : lists_) {
    list.threads = at;
    at += capacity * size_t(stride_);
    list.order = at;
    at += capacity;
    list.count = 0;
  }
  current_ = &lists_[0];
  next_ = &lists_[1];
  insensitive_ = false;
  found_ = false;
}

int Matcher::run(int32_t* scratch) {
  prepare(scratch);
  int32_t fresh[2 * PATTERN_MAX_SLOTS];
  for (int i = 0; i < ints_; i += 2) {
    fresh[i] = -1;
    fresh[i + 1] = 0;
  }
  size_t p = 0;
  for (;;) {
    if (current_->count == 0) {
      if (found_ || !skip_ahead(&p)) break;
    }
    // Slots are 32-bit offsets.
    if (p >= size_t(INT32_MAX)) return PATTERN_MATCH_ERROR;
    int length = 1;
    const auto byte = static_cast<unsigned char>(text_[p]);
    const uint32_t c = byte < 0x80 ? byte : utf8_decode(text_ + p, &length);
    const bool at_end = text_[p] == '\0';
    if (!found_ && !dies_at_once(p, c)) {
      fresh[0] = int32_t(p);
      add(*current_, prog_.start, fresh, -1);
    }
    for (int i = 0; i < current_->count; ++i) {
      step(thread(*current_, current_->order[i]), i, p, c, at_end);
    }
    if (at_end) break;
    std::swap(current_, next_);
    next_->count = 0;
    p += size_t(length);
  }
  return found_ ? PATTERN_MATCH : PATTERN_NO_MATCH;
}

}  // namespace

CompiledPattern::~CompiledPattern() {
  pattern_release(*this);
}

CompiledPattern::CompiledPattern(CompiledPattern&& other) noexcept
    : program_(std::exchange(other.program_, nullptr)), status_(other.status_) {}

CompiledPattern& CompiledPattern::operator=(CompiledPattern&& other) noexcept {
  if (this != &other) {
    pattern_release(*this);
    program_ = std::exchange(other.program_, nullptr);
    status_ = other.status_;
  }
  return *this;
}

int pattern_compile(CompiledPattern& p, const char* pattern) {
  if (pattern == nullptr) pattern = "";
  const size_t length = std::strlen(pattern);
  // Room for 6 instructions per pattern byte plus 5; no construct needs more.
  if (length > kMaxPatternLength) {
    pattern_release(p);
    return p.status_ = PATTERN_NO_MEMORY;
  }
  PatternProgram* prog = allocate_program(p.program_, int(6 * length + 5));
  p.program_ = nullptr;
  if (prog == nullptr) return p.status_ = PATTERN_NO_MEMORY;
  prog->class_count = 0;
  prog->groups = 0;
  prog->start = -1;
  prog->count = 0;
  const int rc = Compiler(prog, pattern).run();
  if (rc != PATTERN_OK) {
    std::free(prog);
    return p.status_ = rc;
  }
  if (prog->count < prog->capacity / 2) {
    const size_t bytes = sizeof(PatternProgram) + size_t(prog->count) * sizeof(Inst);
    if (void* smaller = std::realloc(prog, bytes)) {
      prog = static_cast<PatternProgram*>(smaller);
      prog->capacity = prog->count;
    }
  }
  p.program_ = prog;
  return p.status_ = PATTERN_OK;
}

int pattern_group_count(const CompiledPattern& p) {
  return p.program_ == nullptr ? 0 : p.program_->groups + 1;
}

int pattern_match(const CompiledPattern& p, const char* text, PatternCapture* captures) {
  const PatternProgram* prog = p.program_;
  const int slots = prog == nullptr ? 0 : prog->groups + 1;
  for (int i = 0; captures != nullptr && i < slots; ++i) captures[i] = PatternCapture{nullptr, 0};
  if (prog == nullptr || text == nullptr) return PATTERN_MATCH_ERROR;
  // Without a capture array only slot 0 is carried between threads.
  const int carried = captures == nullptr ? 1 : slots;

  Matcher m(*prog, text, carried);
  int32_t on_stack[kScratchOnStack];
  int32_t* scratch = on_stack;
  std::unique_ptr<int32_t[]> on_heap;
  if (m.scratch_size() > kScratchOnStack) {
    on_heap.reset(new (std::nothrow) int32_t[m.scratch_size()]);
    if (!on_heap) return PATTERN_MATCH_ERROR;
    scratch = on_heap.get();
  }
  const int rc = m.run(scratch);
  if (rc != PATTERN_MATCH) return rc;
  for (int i = 0; captures != nullptr && i < slots; ++i) {
    const int32_t start = m.best()[2 * i];
    if (start >= 0) captures[i] = PatternCapture{text + start, m.best()[2 * i + 1]};
  }
  return PATTERN_MATCH;
}

void pattern_release(CompiledPattern& p) {
  std::free(p.program_);
  p.program_ = nullptr;
  p.status_ = PATTERN_OK;
}

}  // namespace quillon
