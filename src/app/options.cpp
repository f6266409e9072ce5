#include "app/options.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string_view>

#include "platform/platform.h"

namespace quillon {

namespace {

constexpr size_t kOptionTextMax = 199;

// Runs f; an allocation failure inside ends the process as the header says.
template <class F>
auto guarded(F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (const std::bad_alloc&) {
    options_out_of_memory();
  }
}

std::string text_or_empty(const char* s) {
  return s ? std::string(s) : std::string();
}

const char* or_empty(const char* s) {
  return s ? s : "";
}

std::vector<std::string> split_names(const std::string& longs) {
  std::vector<std::string> names;
  size_t start = 0;
  while (start <= longs.size() && !longs.empty()) {
    size_t comma = longs.find(',', start);
    if (comma == std::string::npos) comma = longs.size();
    if (comma > start) names.push_back(longs.substr(start, comma - start));
    start = comma + 1;
  }
  return names;
}

bool is_space(unsigned char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

int digit_value(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'z') return c - 'a' + 10;
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  return 99;
}

bool suffix_is(const char* p, char letter) {
  return (p[0] == letter || p[0] == letter + ('a' - 'A')) && (p[1] == 'B' || p[1] == 'b');
}

// "%s: " + program.
void begin_message(std::string& out, const char* program) {
  out += or_empty(program);
  out += ": ";
}

// The user code of a callback entry, or 0 for the kinds' own codes.
int user_code_of(int code) {
  return code != 0 && code % kOptionUserUnit == 0 ? code / kOptionUserUnit : 0;
}

int scale_user_code(int code) {
  // Wraps rather than overflows for codes outside the documented range.
  return code == 0 ? 0
                   : static_cast<int>(static_cast<uint32_t>(code) *
                                      static_cast<uint32_t>(kOptionUserUnit));
}

}  // namespace

[[noreturn]] void options_out_of_memory() {
  static const char kMessage[] = "Out of memory!\n";
  platform::stderr_write(kMessage, sizeof kMessage - 1);
  const char* dump = platform::get_env("EF_DUMPCORE");
  if (dump && *dump) platform::abort_process();
  platform::exit_process(1);
}

// ---------------------------------------------------------------- entries

OptionEntry::OptionEntry(uint8_t flags, const char* shorts, const char* longs,
                         const char* data_type, const char* glossary, int32_t min_count,
                         int32_t max_count)
    : flags_(flags),
      shorts_(text_or_empty(shorts)),
      longs_(text_or_empty(longs)),
      data_type_(text_or_empty(data_type)),
      glossary_(text_or_empty(glossary)),
      long_names_(split_names(longs_)),
      min_(min_count),
      max_(max_count) {}

std::string OptionEntry::option_text(const char* separator, const char* value_in_place) const {
  return guarded([&] { return build_option_text(separator, value_in_place); });
}

std::string OptionEntry::build_option_text(const char* separator,
                                           const char* value_in_place) const {
  std::string s;
  for (char letter : shorts_) {
    if (!s.empty()) s += separator;
    s += '-';
    s += letter;
  }
  for (const std::string& name : long_names_) {
    if (!s.empty()) s += separator;
    s += "--";
    s += name;
  }
  const std::string type = value_in_place ? std::string(value_in_place) : data_type_;
  if (value_in_place || !type.empty()) {
    if (!long_names_.empty()) {
      s += '=';
    } else if (!shorts_.empty()) {
      s += ' ';
    }
    if (value_optional()) s += '[';
    s += type;
    if (value_optional()) s += ']';
  }
  if (s.size() > kOptionTextMax) s.resize(kOptionTextMax);
  return s;
}

FlagOption::FlagOption(const char* shorts, const char* longs, const char* glossary)
    : OptionEntry(0, shorts, longs, nullptr, glossary, 0, 1) {}

int FlagOption::scan(const char*) {
  if (int code = room()) return code;
  ++count_;
  return 0;
}

void FlagOption::print_error(std::string& out, int code, const char*, const char* program) const {
  if (code == kOptionMissing) {
    begin_message(out, program);
    out += "missing option " + option_text("|") + "\n\n";
  } else if (code == kOptionExcess) {
    begin_message(out, program);
    out += "extraneous option " + option_text("|") + "\n";
  }
}

IntegerOption::IntegerOption(const char* shorts, const char* longs, const char* data_type,
                             const char* glossary)
    : OptionEntry(kTakesValue, shorts, longs, data_type ? data_type : "<int>", glossary, 0, 1) {}

void IntegerOption::reset() {
  OptionEntry::reset();
  values_.clear();
}

int IntegerOption::scan(const char* value) {
  if (int code = room()) return code;
  int32_t number = 0;
  if (value) {
    if (int code = option_code(parse_option_integer(value, number))) return code;
  }
  values_.push_back(number);
  ++count_;
  return 0;
}

void IntegerOption::print_error(std::string& out, int code, const char* value,
                                const char* program) const {
  switch (code) {
    case kOptionMissing:
      begin_message(out, program);
      out += "missing option " + option_text("|") + "\n";
      break;
    case kOptionExcess:
      begin_message(out, program);
      out += "excess option " + option_text("|", or_empty(value)) + "\n";
      break;
    case kOptionNotNumber:
      begin_message(out, program);
      out += "invalid argument \"";
      out += or_empty(value);
      out += "\" to option " + option_text("|") + "\n";
      break;
    case kOptionOutOfRange:
      begin_message(out, program);
      out += "integer overflow at option " + option_text("|") + " (";
      out += or_empty(value);
      out += " is too large)\n";
      break;
    default:
      break;
  }
}

CallbackFlagOption::CallbackFlagOption(const char* shorts, const char* longs, const char* glossary,
                                       Check check, OptionErrorWriter error)
    : FlagOption(shorts, longs, glossary), check_(std::move(check)), error_(std::move(error)) {}

int CallbackFlagOption::check() {
  if (int code = OptionEntry::check()) return code;
  return check_ ? scale_user_code(check_(*this)) : 0;
}

void CallbackFlagOption::print_error(std::string& out, int code, const char* value,
                                     const char* program) const {
  if (int user = user_code_of(code)) {
    if (error_) error_(out, *this, user, value, program);
    return;
  }
  FlagOption::print_error(out, code, value, program);
}

TextOption::TextOption(const char* shorts, const char* longs, const char* data_type,
                       const char* glossary, int32_t min_count, int32_t max_count,
                       OptionErrorWriter error)
    : OptionEntry(kTakesValue, shorts, longs, data_type, glossary, min_count,
                  std::max(min_count, max_count)),
      error_(std::move(error)) {}

void TextOption::reset() {
  OptionEntry::reset();
  values_.clear();
}

int TextOption::scan(const char* value) {
  if (int code = room()) return code;
  values_.push_back(value ? value : "");
  ++count_;
  return 0;
}

void TextOption::print_error(std::string& out, int code, const char* value,
                             const char* program) const {
  if (int user = user_code_of(code)) {
    if (error_) {
      begin_message(out, program);
      error_(out, *this, user, value, program);
    }
    return;
  }
  if (code == kOptionMissing) {
    begin_message(out, program);
    out += "missing option " + option_text("|") + "\n";
  } else if (code == kOptionExcess) {
    begin_message(out, program);
    out += "excess option " + option_text("|", or_empty(value)) + "\n";
  }
}

PathOption::PathOption(const char* shorts, const char* longs, const char* data_type,
                       int32_t min_count, int32_t max_count, const char* glossary, Check check,
                       OptionErrorWriter error)
    : TextOption(shorts, longs, data_type ? data_type : "<file>", glossary, min_count, max_count,
                 std::move(error)),
      check_(std::move(check)) {}

const char* PathOption::base_name(int i) const {
  const char* text = value(i);
  const char* base = text;
  for (const char* p = text; *p; ++p) {
    if (*p == '/' || *p == '\\') base = p + 1;
  }
  if (std::strcmp(base, ".") == 0 || std::strcmp(base, "..") == 0) return base + std::strlen(base);
  return base;
}

const char* PathOption::extension(int i) const {
  const char* base = base_name(i);
  const char* dot = std::strrchr(base, '.');
  const char* end = base + std::strlen(base);
  if (!dot || dot == base || dot + 1 == end) return end;
  return dot;
}

int PathOption::check() {
  if (int code = OptionEntry::check()) return code;
  return check_ ? scale_user_code(check_(*this)) : 0;
}

CallbackTextOption::CallbackTextOption(const char* shorts, const char* longs, const char* data_type,
                                       int32_t min_count, int32_t max_count, const char* glossary,
                                       Check check, OptionErrorWriter error)
    : TextOption(shorts, longs, data_type ? data_type : "<string>", glossary, min_count, max_count,
                 std::move(error)),
      check_(std::move(check)) {}

int CallbackTextOption::check() {
  if (int code = OptionEntry::check()) return code;
  return check_ ? scale_user_code(check_(*this)) : 0;
}

OptionEnd::OptionEnd(int capacity)
    : OptionEntry(kEnd, nullptr, nullptr, nullptr, nullptr, 0, 0),
      // Without room for one record a failed parse would look clean.
      capacity_(std::max(capacity, 1)) {}

void OptionEnd::reset() {
  OptionEntry::reset();
  errors_.clear();
}

int OptionEnd::scan(const char*) {
  return 0;
}

void OptionEnd::record(int code, const OptionEntry* entry, const char* text) {
  push(code, entry, text != nullptr, text ? std::string(text) : std::string());
}

void OptionEnd::record(int code, const OptionEntry* entry, std::string text) {
  push(code, entry, true, std::move(text));
}

void OptionEnd::push(int code, const OptionEntry* entry, bool has_text, std::string text) {
  if (static_cast<int>(errors_.size()) >= capacity_) {
    OptionError& last = errors_.back();
    last.code = kEndTooMany;
    last.entry = this;
    last.has_text = false;
    last.text.clear();
    return;
  }
  errors_.push_back(OptionError{code, entry, has_text, std::move(text)});
  count_ = static_cast<int32_t>(errors_.size());
}

void OptionEnd::print_error(std::string& out, int code, const char* value,
                            const char* program) const {
  begin_message(out, program);
  switch (code) {
    case kEndTooMany:
      out += "too many errors to display";
      break;
    case kEndNoMemory:
      out += "insufficient memory";
      break;
    case kEndUnexpected:
      out += "unexpected argument \"";
      out += or_empty(value);
      out += '"';
      break;
    case kEndInvalid:
      out += "invalid option \"";
      out += or_empty(value);
      out += '"';
      break;
    case kEndMissingValue:
      out += "option \"";
      out += or_empty(value);
      out += "\" requires an argument";
      break;
    default:
      out += "invalid option \"-";
      out += static_cast<char>(code);
      out += '"';
      break;
  }
  out += '\n';
}

// ---------------------------------------------------------------- creation

std::unique_ptr<FlagOption> make_flag_option(const char* shorts, const char* longs,
                                             const char* glossary) {
  return guarded([&] { return std::make_unique<FlagOption>(shorts, longs, glossary); });
}

std::unique_ptr<IntegerOption> make_integer_option(const char* shorts, const char* longs,
                                                   const char* data_type, const char* glossary) {
  return guarded(
      [&] { return std::make_unique<IntegerOption>(shorts, longs, data_type, glossary); });
}

std::unique_ptr<PathOption> make_path_option(const char* shorts, const char* longs,
                                             const char* data_type, int32_t min_count,
                                             int32_t max_count, const char* glossary,
                                             PathOption::Check check, OptionErrorWriter error) {
  return guarded([&] {
    return std::make_unique<PathOption>(shorts, longs, data_type, min_count, max_count, glossary,
                                        std::move(check), std::move(error));
  });
}

std::unique_ptr<PathOption> make_path_option(const char* shorts, const char* longs,
                                             const char* data_type, const char* glossary) {
  return make_path_option(shorts, longs, data_type, 0, 1, glossary);
}

std::unique_ptr<CallbackFlagOption> make_callback_flag_option(const char* shorts, const char* longs,
                                                              const char* glossary,
                                                              CallbackFlagOption::Check check,
                                                              OptionErrorWriter error) {
  return guarded([&] {
    return std::make_unique<CallbackFlagOption>(shorts, longs, glossary, std::move(check),
                                                std::move(error));
  });
}

std::unique_ptr<CallbackTextOption> make_callback_text_option(const char* shorts, const char* longs,
                                                              const char* data_type,
                                                              int32_t min_count, int32_t max_count,
                                                              const char* glossary,
                                                              CallbackTextOption::Check check,
                                                              OptionErrorWriter error) {
  return guarded([&] {
    return std::make_unique<CallbackTextOption>(shorts, longs, data_type, min_count, max_count,
                                                glossary, std::move(check), std::move(error));
  });
}

std::unique_ptr<OptionEnd> make_option_end(int capacity) {
  return guarded([&] { return std::make_unique<OptionEnd>(capacity); });
}

// ---------------------------------------------------------------- integers

int option_code(IntegerParse outcome) {
  switch (outcome) {
    case IntegerParse::kOk:
      return 0;
    case IntegerParse::kNotNumber:
      return kOptionNotNumber;
    case IntegerParse::kOutOfRange:
      return kOptionOutOfRange;
  }
  return kOptionNotNumber;
}

IntegerParse parse_option_integer(const char* text, int32_t& out) {
  const char* p = text;
  while (is_space(static_cast<unsigned char>(*p))) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  int base = 10;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
    base = 16;
  } else if (p[0] == '0' && (p[1] == 'o' || p[1] == 'O')) {
    base = 8;
  } else if (p[0] == '0' && (p[1] == 'b' || p[1] == 'B')) {
    base = 2;
  }
  if (base != 10) p += 2;

  // Saturates just above the largest magnitude either sign can take.
  constexpr int64_t kCap = int64_t{1} << 32;
  int64_t magnitude = 0;
  bool any = false;
  for (int d; (d = digit_value(static_cast<unsigned char>(*p))) < base; ++p) {
    any = true;
    magnitude = std::min(magnitude * base + d, kCap);
  }
  if (!any) return IntegerParse::kNotNumber;
  int64_t number = negative ? -std::min(magnitude, int64_t{2147483648})
                            : std::min(magnitude, int64_t{2147483647});

  int64_t multiplier = 1, low = INT32_MIN, high = INT32_MAX;
  if (suffix_is(p, 'K')) {
    multiplier = int64_t{1} << 10, low = -2097152, high = 2097151;
  } else if (suffix_is(p, 'M')) {
    multiplier = int64_t{1} << 20, low = -2048, high = 2047;
  } else if (suffix_is(p, 'G')) {
    multiplier = int64_t{1} << 30, low = -2, high = 1;
  }
  if (multiplier != 1) p += 2;
  while (is_space(static_cast<unsigned char>(*p))) ++p;
  if (*p) return IntegerParse::kNotNumber;
  if (number < low || number > high) return IntegerParse::kOutOfRange;
  out = static_cast<int32_t>(number * multiplier);
  return IntegerParse::kOk;
}

// ---------------------------------------------------------------- table

void OptionTable::append_entry(std::unique_ptr<OptionEntry> entry) {
  guarded([&] { entries_.push_back(std::move(entry)); });
}

PathOption* OptionTable::add_path(const char* shorts, const char* longs, const char* data_type,
                                  int32_t min_count, int32_t max_count, const char* glossary,
                                  PathOption::Check check, OptionErrorWriter error) {
  return append(make_path_option(shorts, longs, data_type, min_count, max_count, glossary,
                                 std::move(check), std::move(error)));
}

CallbackFlagOption* OptionTable::add_callback_flag(const char* shorts, const char* longs,
                                                   const char* glossary,
                                                   CallbackFlagOption::Check check,
                                                   OptionErrorWriter error) {
  return append(
      make_callback_flag_option(shorts, longs, glossary, std::move(check), std::move(error)));
}

CallbackTextOption* OptionTable::add_callback_text(const char* shorts, const char* longs,
                                                   const char* data_type, int32_t min_count,
                                                   int32_t max_count, const char* glossary,
                                                   CallbackTextOption::Check check,
                                                   OptionErrorWriter error) {
  return append(make_callback_text_option(shorts, longs, data_type, min_count, max_count, glossary,
                                          std::move(check), std::move(error)));
}

bool OptionTable::complete() const {
  for (const auto& entry : entries_) {
    if (!entry) return false;
    if (entry->flags() & OptionEntry::kEnd) return true;
  }
  return false;
}

OptionEnd* OptionTable::end_entry() const {
  for (const auto& entry : entries_) {
    if (entry && (entry->flags() & OptionEntry::kEnd)) return static_cast<OptionEnd*>(entry.get());
  }
  return nullptr;
}

const OptionEnd* OptionTable::end() const {
  return end_entry();
}

namespace {

// One parse: the option scan, then the positional words, then the checks.
class Parser {
 public:
  Parser(const std::vector<OptionEntry*>& entries, OptionEnd& end, int argc,
         const char* const* argv, bool posixly_correct)
      : entries_(entries), end_(end), argc_(argc), argv_(argv), posixly_(posixly_correct) {
    for (OptionEntry* e : entries_) {
      for (const std::string& name : e->long_names()) {
        size_t star = name.find('*');
        if (star == std::string::npos) {
          names_.push_back({name, e});
        } else {
          wildcards_.push_back({std::string_view(name).substr(0, star), e});
        }
      }
    }
  }

  void run() {
    scan_options();
    take_positionals();
    if (end_.errors().empty()) {
      for (OptionEntry* e : entries_) {
        if (int code = e->check()) end_.record(code, e, nullptr);
      }
    }
  }

 private:
  struct LongName {
    std::string_view name;  // for wildcards: the part before "*"
    OptionEntry* entry;
  };

  void scan_options() {
    int i = 1;
    while (i < argc_) {
      const char* word = argv_[i];
      if (word[0] != '-' || word[1] == '\0') {
        if (posixly_) {
          for (; i < argc_; ++i) positionals_.push_back(argv_[i]);
          return;
        }
        positionals_.push_back(word);
        ++i;
      } else if (word[1] == '-' && word[2] == '\0') {
        for (++i; i < argc_; ++i) positionals_.push_back(argv_[i]);
        return;
      } else if (word[1] == '-') {
        i = long_option(i);
      } else {
        i = short_options(i);
      }
    }
  }

  // Gives the index of the next word to read.
  int long_option(int i) {
    const char* word = argv_[i];
    const char* body = word + 2;
    const char* equals = std::strchr(body, '=');
    std::string_view name(body, equals ? static_cast<size_t>(equals - body) : std::strlen(body));
    bool wildcard = false;
    OptionEntry* entry = find_long(name, equals != nullptr, wildcard);
    if (!entry) {
      end_.record(kEndInvalid, &end_, word);
      return i + 1;
    }
    if (!entry->takes_value()) {
      if (equals) {
        end_.record(kEndInvalid, &end_, word);
      } else {
        deliver(entry, nullptr, word);
      }
      return i + 1;
    }
    if (wildcard) {
      deliver(entry, body, word);
    } else if (equals) {
      deliver(entry, equals + 1, word);
    } else if (entry->value_optional()) {
      deliver(entry, nullptr, word);
    } else if (i + 1 < argc_) {
      deliver(entry, argv_[i + 1], word);
      return i + 2;
    } else {
      end_.record(kEndMissingValue, &end_, word);
    }
    return i + 1;
  }

  // Exact name, then a unique abbreviation (or one whose candidates are all
  // the same entry), then a wildcard when the word has "=".
  OptionEntry* find_long(std::string_view name, bool has_equals, bool& wildcard) {
    wildcard = false;
    if (name.empty()) return nullptr;
    for (const LongName& n : names_) {
      if (n.name == name) return n.entry;
    }
    OptionEntry* candidate = nullptr;
    bool ambiguous = false;
    for (const LongName& n : names_) {
      if (n.name.substr(0, name.size()) != name) continue;
      if (name.size() < n.entry->shortest_abbreviation()) continue;
      if (candidate && candidate != n.entry) ambiguous = true;
      if (!candidate) candidate = n.entry;
    }
    if (candidate && !ambiguous) return candidate;
    if (has_equals) {
      for (const LongName& w : wildcards_) {
        if (name.substr(0, w.name.size()) == w.name) {
          wildcard = true;
          return w.entry;
        }
      }
    }
    return nullptr;
  }

  OptionEntry* find_letter(unsigned char letter) {
    if (letter == ':') return nullptr;
    for (OptionEntry* e : entries_) {
      if (e->short_options().find(static_cast<char>(letter)) != std::string::npos) return e;
    }
    return nullptr;
  }

  int short_options(int i) {
    const char* word = argv_[i];
    for (const char* p = word + 1; *p;) {
      unsigned char letter = static_cast<unsigned char>(*p++);
      OptionEntry* entry = find_letter(letter);
      if (!entry) {
        if (letter <= kEndMissingValue) {
          // A control character's code would read as one of the end codes;
          // "-x" as an invalid option prints the same words.
          end_.record(kEndInvalid, &end_, std::string{'-', static_cast<char>(letter)});
        } else {
          end_.record(letter, &end_, nullptr);
        }
        continue;
      }
      if (!entry->takes_value()) {
        deliver(entry, nullptr, word);
        continue;
      }
      if (*p) {
        deliver(entry, p, word);
      } else if (entry->value_optional()) {
        deliver(entry, nullptr, word);
      } else if (i + 1 < argc_) {
        deliver(entry, argv_[i + 1], word);
        return i + 2;
      } else {
        end_.record(kEndMissingValue, &end_, word);
      }
      break;
    }
    return i + 1;
  }

  void deliver(OptionEntry* entry, const char* value, const char* word) {
    if (entry->takes_value() && value && *value == '\0') {
      end_.record(kEndMissingValue, &end_, word);
    }
    if (int code = entry->scan(value)) end_.record(code, entry, value);
  }

  // Entries without letters or names take the set-aside words in order; an
  // entry that refuses one hands it to the next.
  void take_positionals() {
    size_t k = 0, j = 0;
    int refusal = 0;
    OptionEntry* refused_by = nullptr;
    std::vector<OptionEntry*> takers;
    for (OptionEntry* e : entries_) {
      if (e->positional()) takers.push_back(e);
    }
    for (; k < positionals_.size(); ++k) {
      bool taken = false;
      for (; j < takers.size(); ++j) {
        int code = takers[j]->scan(positionals_[k]);
        if (code == 0) {
          taken = true;
          break;
        }
        refusal = code;
        refused_by = takers[j];
      }
      if (!taken) {
        if (refusal) end_.record(refusal, refused_by, positionals_[k++]);
        break;
      }
    }
    for (; k < positionals_.size(); ++k) end_.record(kEndUnexpected, &end_, positionals_[k]);
  }

  const std::vector<OptionEntry*>& entries_;
  OptionEnd& end_;
  int argc_;
  const char* const* argv_;
  bool posixly_;
  std::vector<LongName> names_, wildcards_;
  std::vector<const char*> positionals_;
};

}  // namespace

int OptionTable::parse(int argc, const char* const* argv) {
  return parse(argc, argv, platform::get_env("POSIXLY_CORRECT") != nullptr);
}

int OptionTable::parse(int argc, const char* const* argv, bool posixly_correct) {
  return guarded([&] { return parse_checked(argc, argv, posixly_correct); });
}

int OptionTable::parse_checked(int argc, const char* const* argv, bool posixly_correct) {
  if (!complete()) return -1;
  OptionEnd* end = end_entry();
  std::vector<OptionEntry*> entries;
  for (const auto& entry : entries_) {
    if (entry.get() == end) break;
    entries.push_back(entry.get());
  }
  for (OptionEntry* e : entries) e->reset();
  end->reset();
  Parser parser(entries, *end, argv ? std::max(argc, 0) : 0, argv, posixly_correct);
  parser.run();
  return static_cast<int>(end->errors().size());
}

// ---------------------------------------------------------------- printing

std::string OptionTable::syntax_text(const char* suffix) const {
  return guarded([&] {
    std::string out;
    for (const auto& e : entries_) {
      if (!e) continue;
      if (e->flags() & OptionEntry::kEnd) break;
      std::string text = e->option_text("|");
      for (int32_t n = 0; n < e->min_count(); ++n) out += " " + text;
      int64_t optional = int64_t{e->max_count()} - e->min_count();
      if (optional >= 1) out += " [" + text + "]";
      if (optional == 2) out += " [" + text + "]";
      if (optional > 2) out += "...";
    }
    out += or_empty(suffix);
    return out;
  });
}

std::string OptionTable::glossary_text(const char* line_format) const {
  return guarded([&] {
    const char* format = line_format ? line_format : "  %-20s %s\n";
    std::string out;
    for (const auto& e : entries_) {
      if (!e) continue;
      if (e->flags() & OptionEntry::kEnd) break;
      if (e->glossary().empty()) continue;
      std::string text = e->option_text(", ");
      int n = std::snprintf(nullptr, 0, format, text.c_str(), e->glossary().c_str());
      if (n <= 0) continue;
      std::string line(static_cast<size_t>(n) + 1, '\0');
      std::snprintf(line.data(), line.size(), format, text.c_str(), e->glossary().c_str());
      line.resize(static_cast<size_t>(n));
      out += line;
    }
    return out;
  });
}

std::string OptionTable::errors_text(const char* program) const {
  return guarded([&] {
    std::string out;
    const OptionEnd* end = end_entry();
    if (!end) return out;
    for (const OptionError& error : end->errors()) {
      if (!error.entry) continue;
      error.entry->print_error(out, error.code, error.has_text ? error.text.c_str() : nullptr,
                               program);
    }
    return out;
  });
}

namespace {

void write_all(std::FILE* out, const std::string& text) {
  if (!text.empty()) std::fwrite(text.data(), 1, text.size(), out);
}

}  // namespace

void OptionTable::print_syntax(std::FILE* out, const char* suffix) const {
  write_all(out, syntax_text(suffix));
}

void OptionTable::print_glossary(std::FILE* out, const char* line_format) const {
  write_all(out, glossary_text(line_format));
}

void OptionTable::print_errors(std::FILE* out, const char* program) const {
  write_all(out, errors_text(program));
}

}  // namespace quillon
