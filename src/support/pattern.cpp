#include "support/pattern.h"

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
  int flags();
  int bracket();
  int32_t resolve(int32_t target) const;

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

// pos_ is at the backslash.
int Compiler::escape() {
  const char e = pattern_[pos_ + 1];
  if (e == '\0') {  // a lone backslash at the end stands for itself
    ++pos_;
    return literal('\\');
  }
  pos_ += 2;
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
    case 'd':
      return operand(OP_CHAR, class_code(U_DIGIT, false));
    case 'D':
      return operand(OP_CHAR, class_code(U_DIGIT, true));
    case 's':
      return operand(OP_CHAR, class_code(U_SPACE, false));
    case 'S':
      return operand(OP_CHAR, class_code(U_SPACE, true));
    case 'w':
      return operand(OP_CHAR, class_code(U_WORD, false));
    case 'W':
      return operand(OP_CHAR, class_code(U_WORD, true));
    case 'a':
      return literal(0x07);
    case 'f':
      return literal(0x0C);
    case 'n':
      return literal(0x0A);
    case 'r':
      return literal(0x0D);
    case 't':
      return literal(0x09);
    case 'v':
      return literal(0x0B);
    case 'p':
    case 'P': {
      uint32_t id;
      size_t length;
      if (!named_class(pos_, &id, &length)) return literal(uint32_t(e));
      pos_ += length;
      return operand(OP_CHAR, class_code(id, e == 'P'));
    }
    case 'x': {
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
    case 'Q':
      while (pattern_[pos_] != '\0') {
        if (pattern_[pos_] == '\\' && pattern_[pos_ + 1] == 'E') {
          pos_ += 2;
          break;
        }
        if (int rc = literal(next_char(&pos_))) return rc;
      }
      return PATTERN_OK;
    default:
      pos_ -= 1;
      return literal(next_char(&pos_));
  }
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

// pos_ is at "[".
int Compiler::bracket() {
  if (prog_->class_count == kMaxClasses) return PATTERN_TOO_MANY_BRACKETS;
  const int index = prog_->class_count++;
  ClassTable& table = prog_->classes[index];
  table.count = 0;
  ++pos_;
  const bool negated = pattern_[pos_] == '^';
  auto add = [&](uint32_t low, uint32_t high) {
    if (high < low) return PATTERN_OK;  // an inverted range matches nothing
    if (table.count == kMaxRanges) return PATTERN_TOO_MANY_RANGES;
    table.ranges[table.count++] = ClassRange{low, high};
    return PATTERN_OK;
  };
  if (negated) {
    ++pos_;
    add('\n', '\n');  // a negated expression never matches a newline
  }
  for (;;) {
    const char ch = pattern_[pos_];
    if (ch == '\0') return PATTERN_UNCLOSED_BRACKET;
    if (ch == ']') {
      ++pos_;
      break;
    }
    uint32_t code = 0;
    bool is_class = false;
    if (ch == '[' && pattern_[pos_ + 1] == ':') {
      const bool complement = pattern_[pos_ + 2] == '^';
      const size_t at = pos_ + 2 + (complement ? 1 : 0);
      for (const PosixName& n : kPosixNames) {
        const size_t len = std::strlen(n.name);
        if (std::strncmp(pattern_ + at, n.name, len) == 0) {
          ClassId id = n.id;
          if (insensitive_ && (id == C_LOWER || id == C_UPPER)) id = C_ALPHA;
          code = class_code(id, complement);
          is_class = true;
          pos_ = at + len;
          break;
        }
      }
      if (!is_class) code = uint32_t(pattern_[pos_++]);  // a literal "["
    } else if (ch == '\\') {
      const char e = pattern_[pos_ + 1];
      if (e == '\0') return PATTERN_UNCLOSED_BRACKET;
      pos_ += 2;
      is_class = true;
      switch (e) {
        case 'd':
          code = class_code(U_DIGIT, false);
          break;
        case 'D':
          code = class_code(U_DIGIT, true);
          break;
        case 's':
          code = class_code(U_SPACE, false);
          break;
        case 'S':
          code = class_code(U_SPACE, true);
          break;
        case 'w':
          code = class_code(U_WORD, false);
          break;
        case 'W':
          code = class_code(U_WORD, true);
          break;
        case 'p':
        case 'P': {
          uint32_t id;
          size_t length;
          if (named_class(pos_, &id, &length)) {
            pos_ += length;
            code = class_code(id, e == 'P');
          } else {
            code = uint32_t(e);
            is_class = false;
          }
          break;
        }
        default:
          is_class = false;
          switch (e) {
            case 'a':
              code = 0x07;
              break;
            case 'f':
              code = 0x0C;
              break;
            case 'n':
              code = 0x0A;
              break;
            case 'r':
              code = 0x0D;
              break;
            case 't':
              code = 0x09;
              break;
            case 'v':
              code = 0x0B;
              break;
            default:
              pos_ -= 1;
              code = next_char(&pos_);
          }
      }
    } else {
      code = next_char(&pos_);
    }
    if (is_class) {
      if (int rc = add(code, code)) return rc;
      continue;
    }
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
    if (int rc = add(code, high)) return rc;
  }
  // Sort by low end (insertion sort: at most 32 items), then merge overlaps.
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
  return operand(negated ? OP_NOT_CLASS : OP_CLASS, uint32_t(index));
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
  while (rc == PATTERN_OK && !ended_) {
    const char ch = pattern_[pos_];
    if (ch == '\0') break;
    switch (ch) {
      case '(':
        if (pattern_[pos_ + 1] == '?') {
          rc = flags();
          break;
        }
        ++pos_;
        if (after_operand_ && (rc = push_operator(K_CONCAT, 0))) break;
        if (prog_->groups == PATTERN_MAX_GROUPS) {
          rc = PATTERN_TOO_MANY_GROUPS;
          break;
        }
        ++open_;
        if (operator_count_ == kOperatorStackSize) {
          rc = PATTERN_OPERATOR_STACK_FULL;
          break;
        }
        operators_[operator_count_++] = OperatorEntry{K_OPEN, ++prog_->groups};
        after_operand_ = false;
        break;
      case ')':
        ++pos_;
        if (open_ == 0) {
          rc = PATTERN_UNOPENED_GROUP;
          break;
        }
        if (!after_operand_) {  // "()" or "(a|)"
          rc = PATTERN_MISSING_OPERAND;
          break;
        }
        --open_;
        // Reduce down to and including the matching "(".
        for (;;) {
          if (operator_count_ <= 1) {
            rc = PATTERN_OPERATOR_STACK_EMPTY;
            break;
          }
          const OperatorEntry e = operators_[--operator_count_];
          if ((rc = apply(e)) || e.op == K_OPEN) break;
        }
        break;
      case '|':
        ++pos_;
        if (!after_operand_) {
          rc = PATTERN_MISSING_OPERAND;
          break;
        }
        rc = push_operator(K_ALTERNATE, 0);
        after_operand_ = false;
        break;
      case '*':
      case '+':
      case '?':
        ++pos_;
        if (!after_operand_) {
          rc = PATTERN_MISSING_OPERAND;
          break;
        }
        rc = push_operator(ch == '*' ? K_STAR : ch == '+' ? K_PLUS : K_QUESTION, 0);
        break;
      case '[':
        rc = bracket();
        break;
      case '.':
        ++pos_;
        rc = operand(dot_all_ ? OP_ANY_NEWLINE : OP_ANY, 0);
        break;
      case '^':
        ++pos_;
        rc = operand(OP_LINE_START, 0);
        break;
      case '$':
        ++pos_;
        rc = operand(OP_LINE_END, 0);
        break;
      case '\\':
        rc = escape();
        break;
      default:
        rc = literal(next_char(&pos_));
    }
  }
  if (rc != PATTERN_OK) return rc;
  if (open_ > 0) return PATTERN_UNCLOSED_GROUP;
  if ((rc = reduce(K_END))) return rc;
  if (after_operand_ && (rc = push_operator(K_CONCAT, 0))) return rc;
  int32_t match;
  if ((rc = emit(OP_MATCH, 0, &match)) || (rc = push_operand(match, match)) ||
      (rc = reduce(K_END))) {
    return rc;
  }
  if (operand_count_ != 1) return PATTERN_MISSING_OPERAND;
  Inst* in = prog_->insts();
  for (int i = 0; i < prog_->count; ++i) {
    in[i].next = resolve(in[i].next);
    if (in[i].op == OP_SPLIT) in[i].alt = resolve(in[i].alt);
  }
  prog_->start = resolve(operands_[0].first);
  return PATTERN_OK;
}

// ---------------------------------------------------------------------------
// Matching

struct Thread {
  int32_t pc;
  int32_t slots[2 * PATTERN_MAX_SLOTS];  // start, length per slot; start -1 when unset
};

constexpr size_t kMaxPatternLength = 100'000'000;
constexpr int kFirstLimit = 7;
constexpr int kSecondLimit = 97;

// Threads stay where they were stored; order lists them by priority.
struct ThreadList {
  Thread* pool;
  int count;
  uint8_t order[kSecondLimit + 3];
};
constexpr int kStampsOnStack = 512;

class Matcher {
 public:
  Matcher(const PatternProgram& prog, const char* text, int slots, uint32_t* stamps)
      : prog_(prog), in_(prog.insts()), text_(text), ints_(2 * slots), stamps_(stamps) {}

  // Runs one attempt with lists of the given capacity. Returns
  // PATTERN_MATCH, PATTERN_NO_MATCH or PATTERN_MATCH_ERROR on overflow.
  int run(Thread* a, Thread* b, int limit);

  const int32_t* best() const { return best_; }

 private:
  void add(ThreadList& list, int32_t pc, const int32_t* slots, int after);
  // Only the slots in use travel with a thread.
  void copy_slots(int32_t* to, const int32_t* from) const {
    std::memcpy(to, from, sizeof(int32_t) * size_t(ints_));
  }
  void step(const Thread& t, int index, size_t p, uint32_t c, bool at_end);
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
  uint32_t* stamps_;
  uint32_t walk_ = 0;
  int limit_ = 0;
  bool insensitive_ = false;
  bool overflow_ = false;
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
void Matcher::add(ThreadList& list, int32_t pc, const int32_t* slots, int after) {
  if (pc < 0) return;
  for (int i = 0; i < list.count; ++i) {
    Thread& t = list.pool[i];
    if (t.pc != pc) continue;
    if (after >= 0) {
      // A thread waiting behind the newcomer has lower priority, although it
      // was stored first: the newcomer takes its place in the order.
      int k = after + 1;
      while (k < list.count && list.order[k] != i) ++k;
      if (k < list.count) {
        for (int j = k; j > after + 1; --j) list.order[j] = list.order[j - 1];
        list.order[after + 1] = uint8_t(i);
        copy_slots(t.slots, slots);
        return;
      }
    }
    if (slots[0] < t.slots[0]) copy_slots(t.slots, slots);
    return;
  }
  if (list.count == limit_) {
    overflow_ = true;
    return;
  }
  Thread& t = list.pool[list.count];
  t.pc = pc;
  copy_slots(t.slots, slots);
  int at = list.count;
  if (after >= 0) {
    at = after + 1;
    for (int j = list.count; j > at; --j) list.order[j] = list.order[j - 1];
  }
  list.order[at] = uint8_t(list.count);
  ++list.count;
}

bool Matcher::word_boundary(size_t p, uint32_t c, bool at_end) const {
  if (p == 0) return true;
  int length;
  const uint32_t before = utf8_decode(text_ + utf8_step_back(text_, p), &length);
  return word_char(before) != (!at_end && word_char(c));
}

// Follows one thread through zero-width instructions at position p until it
// consumes, matches or dies. A thread that comes back to an instruction it
// already passed at this position ends there, so zero-width loops such as
// "(^|a)*" or "\b+" cannot circle forever.
void Matcher::step(const Thread& start, int index, size_t p, uint32_t c, bool at_end) {
  // The thread's slots are copied only when a group instruction changes them.
  int32_t own[2 * PATTERN_MAX_SLOTS];
  const int32_t* slots = start.slots;
  auto writable = [&]() {
    if (slots != own) {
      copy_slots(own, slots);
      slots = own;
    }
    return own;
  };
  if (++walk_ == 0) {
    std::memset(stamps_, 0, sizeof(uint32_t) * size_t(prog_.count));
    walk_ = 1;
  }
  int32_t pc = start.pc;
  const int32_t pos = int32_t(p);
  while (pc >= 0) {
    if (stamps_[pc] == walk_) return;
    stamps_[pc] = walk_;
    const Inst& in = in_[pc];
    bool pass;
    switch (in.op) {
      case OP_CHAR:
        pass = is_class_code(in.arg) ? class_code_has(in.arg, c, insensitive_) : c == in.arg;
        if (pass && !at_end) add(*next_, in.next, slots, -1);
        return;
      case OP_FOLDED: {
        const uint32_t f = codepoint_fold(c);
        pass = is_class_code(in.arg) ? class_code_has(in.arg, f, insensitive_) : f == in.arg;
        if (pass && !at_end) add(*next_, in.next, slots, -1);
        return;
      }
      case OP_ANY:
        if (!at_end && c != '\n') add(*next_, in.next, slots, -1);
        return;
      case OP_ANY_NEWLINE:
        if (!at_end) add(*next_, in.next, slots, -1);
        return;
      case OP_CLASS:
      case OP_NOT_CLASS: {
        const uint32_t x = insensitive_ ? codepoint_fold(c) : c;
        pass = table_has(prog_.classes[in.arg], x, insensitive_) == (in.op == OP_CLASS);
        if (pass && !at_end) add(*next_, in.next, slots, -1);
        return;
      }
      case OP_LINE_START:
        if (p != 0 && text_[p - 1] != '\n') return;
        break;
      case OP_TEXT_START:
        if (p != 0) return;
        break;
      case OP_LINE_END:
        if (!at_end && c != '\n') return;
        break;
      case OP_TEXT_END:
        if (!at_end) return;
        break;
      case OP_TEXT_END_NEWLINE:
        if (!at_end && !(c == '\n' && text_[p + 1] == '\0')) return;
        break;
      case OP_WORD_BOUNDARY:
        if (!word_boundary(p, c, at_end)) return;
        break;
      case OP_NOT_WORD_BOUNDARY:
        if (word_boundary(p, c, at_end)) return;
        break;
      case OP_CASE_SENSITIVE:
        insensitive_ = false;
        break;
      case OP_CASE_INSENSITIVE:
        insensitive_ = true;
        break;
      case OP_GROUP_OPEN:
        if (int(2 * in.arg) < ints_) writable()[2 * in.arg] = pos;
        break;
      case OP_GROUP_CLOSE:
        if (int(2 * in.arg) < ints_) writable()[2 * in.arg + 1] = pos - slots[2 * in.arg];
        break;
      case OP_SPLIT:
        add(*current_, in.alt, slots, index);
        if (overflow_) return;
        break;
      case OP_MATCH:
        if (!found_ || slots[0] < best_[0] || (slots[0] == best_[0] && pos - slots[0] > best_[1])) {
          copy_slots(best_, slots);
          best_[1] = pos - slots[0];
          found_ = true;
        }
        return;
      default:
        return;
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

int Matcher::run(Thread* a, Thread* b, int limit) {
  limit_ = limit;
  insensitive_ = false;
  overflow_ = false;
  found_ = false;
  lists_[0].pool = a;
  lists_[0].count = 0;
  lists_[1].pool = b;
  lists_[1].count = 0;
  current_ = &lists_[0];
  next_ = &lists_[1];
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
    const uint32_t c = utf8_decode(text_ + p, &length);
    const bool at_end = text_[p] == '\0';
    if (!found_ && !dies_at_once(p, c)) {
      fresh[0] = int32_t(p);
      add(*current_, prog_.start, fresh, -1);
    }
    for (int i = 0; i < current_->count && !overflow_; ++i) {
      step(current_->pool[current_->order[i]], i, p, c, at_end);
    }
    if (overflow_) return PATTERN_MATCH_ERROR;
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

  uint32_t stamps_on_stack[kStampsOnStack];
  uint32_t* stamps = stamps_on_stack;
  std::unique_ptr<uint32_t[]> stamps_on_heap;
  if (prog->count > kStampsOnStack) {
    stamps_on_heap.reset(new (std::nothrow) uint32_t[size_t(prog->count)]);
    if (!stamps_on_heap) return PATTERN_MATCH_ERROR;
    stamps = stamps_on_heap.get();
  }
  std::memset(stamps, 0, sizeof(uint32_t) * size_t(prog->count));

  Matcher m(*prog, text, carried, stamps);
  // The lists hold 10 threads; the last places stay free as end marks.
  Thread a[kFirstLimit + 3], b[kFirstLimit + 3];
  int rc = m.run(a, b, kFirstLimit);
  if (rc == PATTERN_MATCH_ERROR) {
    std::unique_ptr<Thread[]> heap(new (std::nothrow) Thread[2 * (kSecondLimit + 3)]);
    if (!heap) return PATTERN_MATCH_ERROR;
    rc = m.run(heap.get(), heap.get() + kSecondLimit + 3, kSecondLimit);
  }
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
