// The option-table parser: a command line is described by an ordered table of
// entries, each one option or one group of positional arguments, closed by an
// end entry that collects the problems found. A parse never stops at the first
// problem and never prints; the caller decides what to show.
//
// Building a table (the command line does this, and a converter plug-in adds
// its own entries from ConverterPlugin::add_options):
//
//   OptionTable table;
//   FlagOption* help = table.add_flag(nullptr, "help", "display this help and exit");
//   IntegerOption* size = table.add_integer("b", "buffer", "<n>", "buffer size");
//   table.add_callback_text(nullptr, "dbc-can*", nullptr, 0, 99, "path to DBC file",
//       [&](const CallbackTextOption& e) { ...copy e.value(0..count-1)...; return 0; },
//       [](std::string& out, const OptionEntry& e, int code, const char* value,
//          const char* program) {
//         // The entry is the CallbackTextOption itself: its values are at hand.
//         const auto& text = static_cast<const CallbackTextOption&>(e);
//         out += "invalid value \"" + std::string(text.value(0)) + "\" to option " +
//                e.option_text("|") + "\n";
//       });
//   table.add_end(20);
//   if (!table.complete()) ...;
//   int problems = table.parse(argc, argv);
//
// Grammar, for entries with short letters "b" and long names "buffer,size":
//   -b100  -b 100  --buffer=100  --buffer 100  --buf=100 (a unique abbreviation,
//   or one whose candidates all belong to the same entry)
// Letters without values group: -dX is -d -X. "--" ends the options; "-" and
// every word not starting with "-" are positional: they are set aside, the
// options after them are still read (unless POSIXLY_CORRECT is set, which
// makes the first positional word end the options), and then the entries
// without letters and names take them in their original order.
//
// Wildcard long names: a long name holding "*" (for instance "dbc-can*")
// matches, only when the word has "=", every name whose leading characters
// equal the part before the "*": --dbc-can2=body.dbc matches. Such an entry
// receives the whole word after the two dashes ("dbc-can2=body.dbc") so that
// it can read the name's tail. A wildcard name never matches exactly or as an
// abbreviation, so --dbc-can1 without "=" is an invalid option.
//
// Callbacks: the check callback of a callback flag, path or callback text
// entry runs once per parse, after the scan, only when the scan recorded
// nothing and the entry met its minimum count, in table order (so of two
// entries that set the same setting, the later one decides). A non-zero
// result u is recorded as u * kOptionUserUnit against the entry. When the
// errors are printed, the entry's error writer gets u back: for path and
// callback text entries "<program>: " is already written, a callback flag's
// writer writes its whole line. An absent writer prints nothing for u.
//
// Values that entries store point into the argument vector: copy what must
// outlive it. Parse works on one table at a time and keeps no state outside
// the table.
//
// Allocation failure anywhere in this file's functions (creating entries,
// parsing, printing, and the callbacks run by a parse) writes "Out of
// memory!\n" to standard error and ends the process with status 1, or aborts
// it when EF_DUMPCORE is set to a non-empty value.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace quillon {

// Codes that an entry records against itself.
constexpr int kOptionMissing = 1;     // fewer occurrences than the minimum (from the check)
constexpr int kOptionExcess = 2;      // more occurrences than the maximum (from the scan)
constexpr int kOptionNotNumber = 3;   // integer value that is not a number
constexpr int kOptionOutOfRange = 4;  // integer value beyond its suffix's range
// A callback's non-zero code u is recorded as u * kOptionUserUnit so that it
// never collides with the codes above; u must lie within +-8388607.
constexpr int kOptionUserUnit = 256;

// Codes recorded against the end entry. Any other end code is the letter of
// an unknown short option.
constexpr int kEndTooMany = 1;       // the last record once the end entry is full
constexpr int kEndNoMemory = 2;      // never recorded by the parse
constexpr int kEndUnexpected = 3;    // a positional word nobody takes
constexpr int kEndInvalid = 4;       // unknown or ambiguous long option, or a value where none fits
constexpr int kEndMissingValue = 5;  // an option without its required value

class OptionEntry {
 public:
  enum Flags : uint8_t { kEnd = 1, kTakesValue = 2, kValueOptional = 4 };

  virtual ~OptionEntry() = default;
  OptionEntry(const OptionEntry&) = delete;
  OptionEntry& operator=(const OptionEntry&) = delete;

  uint8_t flags() const { return flags_; }
  bool takes_value() const { return (flags_ & kTakesValue) != 0; }
  bool value_optional() const { return (flags_ & kValueOptional) != 0; }
  // Lets the value be left out: then only "--name=value" and "-xvalue" give
  // one, and the scan receives none (stored as 0 or the empty text).
  void make_value_optional() {
    if (takes_value()) flags_ |= kValueOptional;
  }

  // Abbreviations shorter than length do not name the option: an option
  // added later thus leaves the older ones the abbreviations they had.
  void set_shortest_abbreviation(size_t length) { shortest_abbreviation_ = length; }
  size_t shortest_abbreviation() const { return shortest_abbreviation_; }

  const std::string& short_options() const { return shorts_; }  // letters; empty: none
  const std::string& long_options() const { return longs_; }    // names joined by ","
  const std::vector<std::string>& long_names() const { return long_names_; }
  const std::string& data_type() const { return data_type_; }  // empty: none
  const std::string& glossary() const { return glossary_; }    // empty: no glossary line
  int32_t min_count() const { return min_; }
  int32_t max_count() const { return max_; }
  // Occurrences (or values) taken since the last reset.
  int32_t count() const { return count_; }
  // Positional entries have neither letters nor long names.
  bool positional() const { return shorts_.empty() && longs_.empty() && !(flags_ & kEnd); }

  // Each letter as "-x", then each long name as "--name", joined by
  // separator; then the data type (or, when given, value_in_place instead):
  // after "=" with long names, after " " with letters only, else alone, in
  // "[" "]" when optional. At most 199 characters.
  std::string option_text(const char* separator, const char* value_in_place = nullptr) const;

  // Forgets every occurrence.
  virtual void reset() { count_ = 0; }
  // Takes one occurrence with its value (null when there is none); gives 0
  // or an error code.
  virtual int scan(const char* value) = 0;
  // Run once after a parse without problems; gives 0 or an error code.
  virtual int check() { return count_ < min_ ? kOptionMissing : 0; }
  // Appends the message for a recorded code, value text and program name.
  virtual void print_error(std::string& out, int code, const char* value,
                           const char* program) const = 0;

 protected:
  std::string build_option_text(const char* separator, const char* value_in_place) const;
  OptionEntry(uint8_t flags, const char* shorts, const char* longs, const char* data_type,
              const char* glossary, int32_t min_count, int32_t max_count);
  // Code kOptionExcess once the maximum is reached, else 0.
  int room() const { return count_ >= max_ ? kOptionExcess : 0; }

  uint8_t flags_;
  std::string shorts_, longs_, data_type_, glossary_;
  std::vector<std::string> long_names_;
  int32_t min_, max_;
  int32_t count_ = 0;
  size_t shortest_abbreviation_ = 1;
};

// Writes the message for a callback's own code (already divided by
// kOptionUserUnit); value is the text recorded with it (null for a check).
using OptionErrorWriter =
    std::function<void(std::string& out, const OptionEntry& entry, int user_code, const char* value,
                       const char* program)>;

// No value; counts its occurrences (0 to 1).
class FlagOption : public OptionEntry {
 public:
  FlagOption(const char* shorts, const char* longs, const char* glossary);
  int scan(const char* value) override;
  void print_error(std::string& out, int code, const char* value,
                   const char* program) const override;
};

// One integer value (0 to 1 occurrences), syntax of parse_option_integer.
class IntegerOption : public OptionEntry {
 public:
  IntegerOption(const char* shorts, const char* longs, const char* data_type, const char* glossary);
  int32_t value(int i = 0) const { return values_[i]; }
  void reset() override;
  int scan(const char* value) override;
  void print_error(std::string& out, int code, const char* value,
                   const char* program) const override;

 private:
  std::vector<int32_t> values_;
};

// A flag whose check callback runs after a parse without problems.
class CallbackFlagOption : public FlagOption {
 public:
  using Check = std::function<int(const CallbackFlagOption&)>;
  CallbackFlagOption(const char* shorts, const char* longs, const char* glossary, Check check,
                     OptionErrorWriter error);
  int check() override;
  void print_error(std::string& out, int code, const char* value,
                   const char* program) const override;

 private:
  Check check_;
  OptionErrorWriter error_;
};

// Text values (path and callback text entries share this).
class TextOption : public OptionEntry {
 public:
  // The i-th value taken; the empty text for a slot not filled.
  const char* value(int i = 0) const {
    return i >= 0 && i < static_cast<int>(values_.size()) ? values_[i] : "";
  }
  void reset() override;
  int scan(const char* value) override;
  void print_error(std::string& out, int code, const char* value,
                   const char* program) const override;

 protected:
  TextOption(const char* shorts, const char* longs, const char* data_type, const char* glossary,
             int32_t min_count, int32_t max_count, OptionErrorWriter error);
  int user_code(int code) const;
  std::vector<const char*> values_;
  OptionErrorWriter error_;
};

// Path values with their base names and extensions; the check callback runs
// after a parse without problems (when the minimum count is met).
class PathOption : public TextOption {
 public:
  using Check = std::function<int(const PathOption&)>;
  PathOption(const char* shorts, const char* longs, const char* data_type, int32_t min_count,
             int32_t max_count, const char* glossary, Check check, OptionErrorWriter error);
  // The text after the last "/" or "\\"; empty for "." and "..".
  const char* base_name(int i = 0) const;
  // The base name from its last "." on; empty when there is none, or when it
  // is the base name's first or last character.
  const char* extension(int i = 0) const;
  int check() override;

 private:
  Check check_;
};

// Text values whose check callback runs after a parse without problems.
class CallbackTextOption : public TextOption {
 public:
  using Check = std::function<int(const CallbackTextOption&)>;
  CallbackTextOption(const char* shorts, const char* longs, const char* data_type,
                     int32_t min_count, int32_t max_count, const char* glossary, Check check,
                     OptionErrorWriter error);
  int check() override;

 private:
  Check check_;
};

// One recorded problem: the code, the entry it concerns (the end entry for
// end codes) and the value or word involved, if any.
struct OptionError {
  int code = 0;
  const OptionEntry* entry = nullptr;
  bool has_text = false;
  std::string text;
};

// Closes the table and holds up to capacity records (at least one).
class OptionEnd : public OptionEntry {
 public:
  explicit OptionEnd(int capacity);
  const std::vector<OptionError>& errors() const { return errors_; }
  int capacity() const { return capacity_; }
  // Appends while there is room; once full, the last record becomes
  // kEndTooMany.
  void record(int code, const OptionEntry* entry, const char* text);
  void record(int code, const OptionEntry* entry, std::string text);
  void reset() override;
  int scan(const char* value) override;
  int check() override { return 0; }
  void print_error(std::string& out, int code, const char* value,
                   const char* program) const override;

 private:
  void push(int code, const OptionEntry* entry, bool has_text, std::string text);
  int capacity_;
  std::vector<OptionError> errors_;
};

// Creation. Null or empty texts mean none. Path and callback text entries
// raise the maximum to the minimum when it is smaller.
std::unique_ptr<FlagOption> make_flag_option(const char* shorts, const char* longs,
                                             const char* glossary);
// data_type null: "<int>".
std::unique_ptr<IntegerOption> make_integer_option(const char* shorts, const char* longs,
                                                   const char* data_type, const char* glossary);
// data_type null: "<file>". The short form takes 0 to 1 values.
std::unique_ptr<PathOption> make_path_option(const char* shorts, const char* longs,
                                             const char* data_type, int32_t min_count,
                                             int32_t max_count, const char* glossary,
                                             PathOption::Check check = nullptr,
                                             OptionErrorWriter error = nullptr);
std::unique_ptr<PathOption> make_path_option(const char* shorts, const char* longs,
                                             const char* data_type, const char* glossary);
std::unique_ptr<CallbackFlagOption> make_callback_flag_option(const char* shorts, const char* longs,
                                                              const char* glossary,
                                                              CallbackFlagOption::Check check,
                                                              OptionErrorWriter error = nullptr);
// data_type null: "<string>".
std::unique_ptr<CallbackTextOption> make_callback_text_option(const char* shorts, const char* longs,
                                                              const char* data_type,
                                                              int32_t min_count, int32_t max_count,
                                                              const char* glossary,
                                                              CallbackTextOption::Check check,
                                                              OptionErrorWriter error = nullptr);
std::unique_ptr<OptionEnd> make_option_end(int capacity);

// Reads an integer option value: optional white space, optional sign, then
// "0x"/"0o"/"0b" (either case) for hexadecimal, octal or binary digits, else
// decimal digits; magnitudes beyond 32 bits read as the nearest limit. Then,
// in any case, nothing, "KB" (x1024, -2097152..2097151), "MB" (x1048576,
// -2048..2047) or "GB" (x1073741824, -2..1), and nothing but white space.
enum class IntegerParse { kOk, kNotNumber, kOutOfRange };
// Sets out only when the text reads (kOk).
IntegerParse parse_option_integer(const char* text, int32_t& out);
// The code an integer entry records for the outcome: 0, kOptionNotNumber
// or kOptionOutOfRange.
int option_code(IntegerParse outcome);

class OptionTable {
 public:
  OptionTable() = default;
  OptionTable(const OptionTable&) = delete;
  OptionTable& operator=(const OptionTable&) = delete;

  // Appends an entry and keeps it; gives it back. A null entry makes the
  // table incomplete.
  template <class T>
  T* append(std::unique_ptr<T> entry) {
    T* raw = entry.get();
    append_entry(std::unique_ptr<OptionEntry>(std::move(entry)));
    return raw;
  }

  // Create and append in one step (same arguments as the make_ functions).
  FlagOption* add_flag(const char* shorts, const char* longs, const char* glossary) {
    return append(make_flag_option(shorts, longs, glossary));
  }
  IntegerOption* add_integer(const char* shorts, const char* longs, const char* data_type,
                             const char* glossary) {
    return append(make_integer_option(shorts, longs, data_type, glossary));
  }
  PathOption* add_path(const char* shorts, const char* longs, const char* data_type,
                       int32_t min_count, int32_t max_count, const char* glossary,
                       PathOption::Check check = nullptr, OptionErrorWriter error = nullptr);
  CallbackFlagOption* add_callback_flag(const char* shorts, const char* longs, const char* glossary,
                                        CallbackFlagOption::Check check,
                                        OptionErrorWriter error = nullptr);
  CallbackTextOption* add_callback_text(const char* shorts, const char* longs,
                                        const char* data_type, int32_t min_count, int32_t max_count,
                                        const char* glossary, CallbackTextOption::Check check,
                                        OptionErrorWriter error = nullptr);
  OptionEnd* add_end(int capacity) { return append(make_option_end(capacity)); }

  // True when every entry was created and an end entry closes the table.
  bool complete() const;
  // Entries up to and including the end entry (or all, when there is none).
  size_t size() const { return entries_.size(); }
  OptionEntry* entry(size_t i) const { return entries_[i].get(); }
  // The end entry, null while there is none.
  const OptionEnd* end() const;

  // Matches argv[1..argc-1] against the table (argv[0] is the program name)
  // and runs the entries' checks when nothing was recorded. Gives the number
  // of records in the end entry, or -1 for an incomplete table. The first
  // form reads POSIXLY_CORRECT from the environment.
  int parse(int argc, const char* const* argv);
  int parse(int argc, const char* const* argv, bool posixly_correct);

  // The syntax line: each entry's option text once per required occurrence,
  // "[text]" for each optional one ("[text]..." for three or more), then
  // suffix.
  std::string syntax_text(const char* suffix) const;
  // One line per entry with a glossary, formatted with line_format (two "%s"
  // for the option text and the glossary; null: "  %-20s %s\n").
  std::string glossary_text(const char* line_format = nullptr) const;
  // Every recorded problem, each introduced by the program name.
  std::string errors_text(const char* program) const;

  // The same texts, each written to out with one call.
  void print_syntax(std::FILE* out, const char* suffix) const;
  void print_glossary(std::FILE* out, const char* line_format = nullptr) const;
  void print_errors(std::FILE* out, const char* program) const;

 private:
  void append_entry(std::unique_ptr<OptionEntry> entry);
  OptionEnd* end_entry() const;
  int parse_checked(int argc, const char* const* argv, bool posixly_correct);

  std::vector<std::unique_ptr<OptionEntry>> entries_;
};

// Writes "Out of memory!\n" to standard error and ends the process (status
// 1), or aborts it when EF_DUMPCORE is set to a non-empty value.
[[noreturn]] void options_out_of_memory();

}  // namespace quillon
