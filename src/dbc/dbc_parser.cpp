#include "dbc/dbc_parser.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "dbc/decode.h"
#include "support/log.h"
#include "support/pattern.h"
#include "support/text.h"

namespace quillon {

namespace {

enum : int32_t {
  kClassOther = 0,
  kClassNetwork = 1,
  kClassNode = 2,
  kClassMessage = 3,
  kClassSignal = 4
};
enum : int32_t { kAttrNone = 0, kAttrInt = 1, kAttrFloat = 2, kAttrString = 3, kAttrEnum = 4 };

// The five attributes that are read; values of all others are dropped.
enum Attribute : int {
  kBusType,
  kProtocolType,
  kTransportProtocolType,
  kMessageIgnore,
  kSignalIgnore
};
constexpr int kAttributeCount = 5;
const char* const kAttributeNames[kAttributeCount] = {
    "BusType", "ProtocolType", "TransportProtocolType", "MessageIgnore", "SignalIgnore"};
const int32_t kAttributeClasses[kAttributeCount] = {kClassNetwork, kClassNetwork, kClassMessage,
                                                    kClassMessage, kClassSignal};

// Numbers of exponents may carry "+": editors write 64-bit ranges as
// [0|1.84467440737096E+019], and refusing those lines would drop the signal.
// Editors also leave blanks before the colon of message and signal lines
// ("BO_ 869 Cruise : 7 ECU", "SG_ Mux M  : 56|2@1+ ..."); names still hold none.
const char* const kPatterns[] = {
    "^BA_DEF_\\s+(BU_|BO_|SG_)?\\s+\"([[:graph:]]+)\"\\s+(INT|FLOAT|STRING|ENUM)\\s+([[:ascii:]]+)?"
    ";$",
    "^BA_DEF_DEF_\\s+\"([[:graph:]]+)\"\\s+([[:graph:]]+);$",
    "^BA_ \"([[:graph:]]+)\" ?(BU_|BO_|SG_)* ?(\\d+)* ?([[:graph:]]+)* ([[:ascii:]]+);$",
    "^BO_ (\\d+) ([[:graph:]]+) *: (\\d+) ([[:graph:]]+)$",
    "^SG_ ([[:graph:]]+) ([0-9mM]*) *: (\\d+)\\|(\\d+)@(0|1)(\\+|\\-) "
    "\\(([0-9eE\\.\\-\\+]+),([0-9eE\\.\\-\\+]+)\\) "
    "\\[([0-9eE\\.\\-\\+]+)\\|([0-9eE\\.\\-\\+]+)\\].*$",
    // Real files list several ranges, with blanks around the commas.
    "^SG_MUL_VAL_ (\\d*) ([[:graph:]]+) ([[:graph:]]+) (\\d*)-(\\d*)((\\s*,\\s*\\d*-\\d*)*);?$",
    "^SIG_VALTYPE_ (\\d+) ([[:graph:]]+) : (\\d+);$",
    // Pairs of a signed raw value and a label that closes on the line.
    "^VAL_ (\\d+) ([[:graph:]]+)((\\s+-?\\d+\\s+\"[^\"]*\")*)\\s*;$",
    "^(m*)(\\d*)(M*)$",
};
enum Rule : int {
  kRuleDef,
  kRuleDefault,
  kRuleValue,
  kRuleMessage,
  kRuleSignal,
  kRuleMuxRange,
  kRuleValueType,
  kRuleValueTable,
  kRuleIndicator,
  kRuleCount
};
// Line prefixes of the first eight rules; the first that fits wins.
const std::string_view kPrefixes[] = {"BA_DEF_ ", "BA_DEF_DEF_ ", "BA_ ",          "BO_ ",
                                      "SG_ ",     "SG_MUL_VAL_ ", "SIG_VALTYPE_ ", "VAL_ "};

struct MessageLine {
  std::string name;
  uint32_t dbc_id = 0;
  uint32_t length = 0;
  bool ignored = false;
  int32_t transport_type = kTransportNone;
  std::string transport_parameter;
};

struct SignalLine {
  std::string name;
  uint32_t message_id = 0;
  uint32_t byte_order = kLittleEndian;
  int32_t value_type = kValueUnsigned;
  // Kept in full until placement, where a start bit above 16 bits or a length
  // above 64 is refused rather than narrowed into another signal.
  uint32_t start_bit = 0;
  uint32_t bit_position = 0;
  uint32_t bit_length = 0;
  double factor = 0, offset = 0, minimum = 0, maximum = 0;
  bool is_multiplexer = false;
  bool is_multiplexed = false;
  uint32_t mux_value = 0;
  bool ignored = false;
};

struct MuxRange {
  uint32_t from = 0, to = 0;
};

struct MuxRangeLine {
  std::string switch_name;
  std::vector<MuxRange> ranges;  // as the line lists them; one on most lines
};

struct AttributeDef {
  int32_t object_class = 0;
  std::string name;
  int32_t type = kAttrNone;
  std::string values;
};

struct AttributeDefault {
  std::string name;
  std::string text;
};

struct TypedValue {
  bool present = false;
  int32_t type = kAttrNone;
  long integer = 0;
  std::string text;
};

// Lines that name a signal of a message are found by (message identifier,
// signal name); the key packs both into one string.
std::string id_name_key(uint32_t id, std::string_view name) {
  std::string key(4 + name.size(), '\0');
  std::memcpy(&key[0], &id, 4);
  if (!name.empty()) std::memcpy(&key[4], name.data(), name.size());
  return key;
}

std::string_view strip_quotes(std::string_view s) {
  while (!s.empty() && s.front() == '"') s.remove_prefix(1);
  while (!s.empty() && s.back() == '"') s.remove_suffix(1);
  return s;
}

// Unsigned decimal conversion of a capture of digits; saturates at 32 bits.
uint32_t to_u32(std::string_view s) {
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') break;
    v = v * 10 + static_cast<uint64_t>(c - '0');
    if (v > 0xFFFFFFFFull) return 0xFFFFFFFFu;
  }
  return static_cast<uint32_t>(v);
}

// Signed decimal conversion of "-?digits"; saturates at 64 bits.
int64_t to_i64(std::string_view s) {
  bool negative = !s.empty() && s.front() == '-';
  if (negative) s.remove_prefix(1);
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') break;
    uint64_t next = v * 10 + static_cast<uint64_t>(c - '0');
    if (next / 10 != v) {
      v = ~uint64_t{0};
      break;
    }
    v = next;
  }
  if (negative) {
    return v > uint64_t{1} << 63 ? INT64_MIN : static_cast<int64_t>(0 - v);
  }
  return v > uint64_t{INT64_MAX} ? INT64_MAX : static_cast<int64_t>(v);
}

double to_double(std::string_view s) {
  std::string copy(s);
  return std::strtod(copy.c_str(), nullptr);
}

// Where each message's placed signals are, by name: a tree never holds two
// signals of one name, so this answers what a search of the tree would.
using NameIndex = std::unordered_map<std::string_view, Signal*>;

class Parser {
 public:
  bool compile() {
    for (int i = 0; i < kRuleCount; ++i) {
      if (pattern_compile(patterns_[i], kPatterns[i]) != 0) {
        QLOG(LOG_FATAL, "Could not compile DBC pattern %d", i);
        return false;
      }
    }
    return true;
  }

  void read_lines(char* text, size_t size) {
    size_t start = 0;
    unsigned number = 0;  // every piece between newlines counts, empty ones too
    while (start <= size) {
      ++number;
      size_t end = start;
      while (end < size && text[end] != '\n') ++end;
      size_t next = end + 1;
      size_t a = start, b = end;
      for (char trim : {'\r', ' ', '\t'}) {
        while (a < b && text[a] == trim) ++a;
        while (b > a && text[b - 1] == trim) --b;
      }
      if (a < b) {
        // The byte after the line is its newline, a trimmed byte or the
        // terminator slot after the text: the matcher needs a C string.
        text[b] = '\0';
        dispatch(text + a, b - a, number);
      }
      start = next;
    }
  }

  std::unique_ptr<MessageDatabase> build();

 private:
  bool match(int rule, const char* line) {
    return pattern_match(patterns_[rule], line, captures_) == 0;
  }
  std::string_view capture(int i) const {
    const PatternCapture& c = captures_[i];
    if (!c.text || c.length <= 0) return {};
    return {c.text, static_cast<size_t>(c.length)};
  }

  void dispatch(const char* line, size_t length, unsigned number) {
    std::string_view view(line, length);
    for (int rule = 0; rule < kRuleIndicator; ++rule) {
      if (view.substr(0, kPrefixes[rule].size()) != kPrefixes[rule]) continue;
      // The signals of a dropped message line would otherwise be decoded
      // from the frames of the message before it.
      if (rule == kRuleSignal && orphaned_) return;
      // Value tables of environment variables name no message: not read.
      if (rule == kRuleValueTable && !names_message(view.substr(kPrefixes[rule].size()))) return;
      if (!match(rule, line)) {
        QLOG(LOG_WARN, "Skipping malformed DBC line %u: %.80s", number, line);
        if (rule == kRuleMessage) orphaned_ = true;
        return;
      }
      switch (rule) {
        case kRuleDef:
          return read_definition();
        case kRuleDefault:
          return read_default();
        case kRuleValue:
          return read_value();
        case kRuleMessage:
          return read_message();
        case kRuleSignal:
          return read_signal();
        case kRuleMuxRange:
          return read_mux_range();
        case kRuleValueType:
          return read_value_type();
        case kRuleValueTable:
          return read_value_table();
      }
      return;
    }
  }

  // The word after "VAL_ " is a message identifier (digits) rather than an
  // environment variable's name.
  static bool names_message(std::string_view rest) {
    size_t digits = 0;
    while (digits < rest.size() && rest[digits] >= '0' && rest[digits] <= '9') ++digits;
    return digits > 0 && (digits == rest.size() || rest[digits] == ' ' || rest[digits] == '\t');
  }

  static int32_t object_class(std::string_view word) {
    if (word.empty()) return kClassNetwork;
    if (text_compare_nocase(word, "BU_") == 0) return kClassNode;
    if (text_compare_nocase(word, "BO_") == 0) return kClassMessage;
    if (text_compare_nocase(word, "SG_") == 0) return kClassSignal;
    return kClassOther;
  }

  void read_definition() {
    AttributeDef d;
    d.object_class = object_class(capture(1));
    if (d.object_class == kClassNode) return;
    d.name = capture(2);
    std::string_view type = capture(3);
    d.type = type == "INT"      ? kAttrInt
             : type == "FLOAT"  ? kAttrFloat
             : type == "STRING" ? kAttrString
             : type == "ENUM"   ? kAttrEnum
                                : kAttrNone;
    d.values = capture(4);
    definitions_.push_back(std::move(d));
  }

  void read_default() {
    defaults_.push_back(
        {std::string(strip_quotes(capture(1))), std::string(strip_quotes(capture(2)))});
  }

  void read_value() {
    std::string_view name = capture(1);
    int32_t cls = object_class(capture(2));
    for (int a = 0; a < kAttributeCount; ++a) {
      if (name != kAttributeNames[a] || cls != kAttributeClasses[a]) continue;
      // The first value line for an object wins.
      values_[a].try_emplace(id_name_key(to_u32(capture(3)), capture(4)), strip_quotes(capture(5)));
      return;
    }
  }

  void read_message() {
    MessageLine m;
    m.dbc_id = to_u32(capture(1));
    m.name = capture(2);
    m.length = to_u32(capture(3));
    current_message_ = m.dbc_id;
    orphaned_ = false;
    messages_.push_back(std::move(m));
  }

  void read_signal() {
    SignalLine s;
    s.name = capture(1);
    s.message_id = current_message_;
    std::string indicator(capture(2));
    s.start_bit = to_u32(capture(3));
    s.bit_length = to_u32(capture(4));
    s.byte_order = capture(5) == "0" ? kBigEndian : kLittleEndian;
    s.value_type = capture(6) == "+" ? kValueUnsigned : kValueSigned;
    s.factor = to_double(capture(7));
    s.offset = to_double(capture(8));
    s.minimum = to_double(capture(9));
    s.maximum = to_double(capture(10));
    if (!indicator.empty() && match(kRuleIndicator, indicator.c_str())) {
      s.is_multiplexed = !capture(1).empty();
      s.mux_value = to_u32(capture(2));
      s.is_multiplexer = !capture(3).empty();
    }
    // Big-endian start bits count from the least significant bit of a byte;
    // stored positions count from its most significant bit.
    s.bit_position =
        s.byte_order == kBigEndian ? (s.start_bit & ~7u) + 7 - (s.start_bit & 7) : s.start_bit;
    signals_.push_back(std::move(s));
  }

  void read_mux_range() {
    MuxRangeLine line{std::string(capture(3)), {{to_u32(capture(4)), to_u32(capture(5))}}};
    // The further ranges: ", from-to" each, the pattern has checked them.
    std::string_view rest = capture(6);
    while (!rest.empty()) {
      size_t comma = rest.find(',');
      if (comma == std::string_view::npos) break;
      rest.remove_prefix(comma + 1);
      while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t')) rest.remove_prefix(1);
      size_t dash = rest.find('-');
      MuxRange r{to_u32(rest.substr(0, dash)), to_u32(rest.substr(dash + 1))};
      line.ranges.push_back(r);
      rest.remove_prefix(dash + 1);
    }
    // Ranges belong to their message: signal names repeat across messages.
    mux_ranges_.try_emplace(id_name_key(to_u32(capture(1)), capture(2)), std::move(line));
  }

  void read_value_table() {
    std::unordered_map<int64_t, std::string> table;
    std::string_view rest = capture(3);
    while (true) {
      size_t open = rest.find('"');
      if (open == std::string_view::npos) break;
      std::string_view number = rest.substr(0, open);
      while (!number.empty() && (number.front() == ' ' || number.front() == '\t')) {
        number.remove_prefix(1);
      }
      while (!number.empty() && (number.back() == ' ' || number.back() == '\t')) {
        number.remove_suffix(1);
      }
      size_t close = rest.find('"', open + 1);
      std::string_view label = rest.substr(open + 1, close - open - 1);
      // The first label of a value wins, as the first line of a signal.
      table.try_emplace(to_i64(number), label);
      rest.remove_prefix(close + 1);
    }
    value_tables_.try_emplace(id_name_key(to_u32(capture(1)), capture(2)), std::move(table));
  }

  void read_value_type() {
    uint32_t digit = to_u32(capture(3));
    int32_t type = digit == 1 ? kValueFloat : digit == 2 ? kValueDouble : 0;
    value_types_.try_emplace(id_name_key(to_u32(capture(1)), capture(2)), type);
  }

  TypedValue lookup(Attribute a, uint32_t id, std::string_view object_name);
  void interpret();
  // What became of a signal line in one pass: placed, never to be placed,
  // or to be tried again in the next pass.
  enum class Placement : uint8_t { kPlaced, kDropped, kLater };
  using SwitchIndex = std::unordered_map<uint32_t, const SignalLine*>;
  Placement place_signal(const SignalLine& s, Message& m, NameIndex& index,
                         const SwitchIndex& plain_switch);
  // The group lists a multiplexed signal goes into, one per range and copy
  // of its switch; kPlaced when targets holds them.
  Placement group_targets(const SignalLine& s, Message& m, NameIndex& index,
                          const SwitchIndex& plain_switch, std::vector<SignalList*>& targets);
  void place_signals(MessageDatabase& db);
  void check(const MessageDatabase& db);

  CompiledPattern patterns_[kRuleCount];
  PatternCapture captures_[32] = {};
  uint32_t current_message_ = 0;
  // Set from a message line that did not match up to the next one that did:
  // the signal lines in between have no message and are dropped.
  bool orphaned_ = false;
  int32_t bus_kind_ = 0;

  std::vector<MessageLine> messages_;
  std::vector<SignalLine> signals_;
  std::vector<AttributeDef> definitions_;
  std::vector<AttributeDefault> defaults_;
  // First value text per read attribute and object.
  std::unordered_map<std::string, std::string> values_[kAttributeCount];
  std::unordered_map<std::string, MuxRangeLine> mux_ranges_;
  std::unordered_map<std::string, int32_t> value_types_;
  // Label of each raw value, per (message identifier, signal name).
  std::unordered_map<std::string, std::unordered_map<int64_t, std::string>> value_tables_;
  // Definition and default per attribute, found once.
  bool resolved_[kAttributeCount] = {};
  const AttributeDef* definition_[kAttributeCount] = {};
  const AttributeDefault* default_[kAttributeCount] = {};
  std::unordered_map<const Message*, NameIndex> names_;
  // Every placed copy of a name that sits in several groups (several
  // ranges, or a switch that is itself in several): the first copy is the
  // one the name index holds.
  std::unordered_map<const Message*, std::unordered_map<std::string_view, std::vector<Signal*>>>
      copies_;
};

TypedValue Parser::lookup(Attribute a, uint32_t id, std::string_view object_name) {
  const char* name = kAttributeNames[a];
  if (!resolved_[a]) {
    resolved_[a] = true;
    for (const AttributeDef& d : definitions_) {
      if (d.object_class == kAttributeClasses[a] && text_compare_nocase(d.name, name) == 0) {
        definition_[a] = &d;
        break;
      }
    }
    for (const AttributeDefault& d : defaults_) {
      if (text_compare_nocase(d.name, name) == 0) {
        default_[a] = &d;
        break;
      }
    }
  }
  TypedValue v;
  const AttributeDef* def = definition_[a];
  if (!def) return v;
  const std::string* text = nullptr;
  bool from_value = false;
  auto it = values_[a].find(id_name_key(id, object_name));
  if (it != values_[a].end()) {
    text = &it->second;
    from_value = true;
  } else if (default_[a]) {
    text = &default_[a]->text;
  }
  if (!text) return v;
  v.type = def->type;
  switch (def->type) {
    case kAttrInt:
      v.integer = std::strtol(text->c_str(), nullptr, 10);
      break;
    case kAttrFloat:
      break;  // no attribute read here is a float
    case kAttrString:
      v.text = *text;
      break;
    case kAttrEnum:
      if (from_value) {
        long index = std::strtol(text->c_str(), nullptr, 10);
        std::string_view list = def->values;
        for (long i = 0; index >= 0; ++i) {
          size_t comma = list.find(',');
          if (i == index) {
            std::string_view item = list.substr(0, comma);
            while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
            while (!item.empty() && item.back() == ' ') item.remove_suffix(1);
            v.text = strip_quotes(item);
            break;
          }
          if (comma == std::string_view::npos) break;  // past the end: empty
          list.remove_prefix(comma + 1);
        }
      } else {
        v.text = *text;
      }
      break;
    default:
      return v;
  }
  v.present = true;
  return v;
}

void Parser::interpret() {
  TypedValue bus = lookup(kBusType, 0, "");
  if (bus.present && bus.type == kAttrString) {
    if (text_compare_nocase(bus.text, "CAN") == 0 || text_compare_nocase(bus.text, "CAN FD") == 0) {
      bus_kind_ = kBusCan;
    } else if (text_compare_nocase(bus.text, "LIN") == 0) {
      bus_kind_ = kBusLin;
    } else if (!bus.text.empty()) {
      QLOG(LOG_ERROR, "Unknown \"BusType\": \"%s\"", bus.text.c_str());
    }
  }
  if (bus_kind_ == 0) {
    QLOG(LOG_WARN, "\"BusType\" attribute not set. Defaulting to \"CAN\"");
    bus_kind_ = kBusCan;
  }
  if (bus_kind_ == kBusCan) {
    TypedValue protocol = lookup(kProtocolType, 0, "");
    if (protocol.present && protocol.type == kAttrString && protocol.text == "J1939") {
      bus_kind_ = kBusJ1939;
    }
  }
  for (MessageLine& m : messages_) {
    TypedValue tp = lookup(kTransportProtocolType, m.dbc_id, "");
    if (tp.present && tp.type == kAttrString) {
      if (tp.text == "ISOTP") {
        m.transport_type = kTransportIsoTp;
      } else if (tp.text == "NMEATP") {
        m.transport_type = kTransportNmea;
      } else if (tp.text.compare(0, 5, "MUXTP") == 0) {
        m.transport_type = kTransportMux;
        m.transport_parameter = tp.text;
      } else if (!tp.text.empty()) {
        QLOG(LOG_ERROR, "\"TransportProtocolType\" \"%s\" not supported (\"%s\")", tp.text.c_str(),
             m.name.c_str());
      }
    }
  }
  for (MessageLine& m : messages_) {
    TypedValue ignore = lookup(kMessageIgnore, m.dbc_id, "");
    if (ignore.present && ignore.type == kAttrInt && ignore.integer != 0) m.ignored = true;
  }
  for (SignalLine& s : signals_) {
    TypedValue ignore = lookup(kSignalIgnore, s.message_id, s.name);
    if (ignore.present && ignore.type == kAttrInt && ignore.integer != 0) s.ignored = true;
  }
  if (!value_types_.empty()) {
    for (SignalLine& s : signals_) {
      auto it = value_types_.find(id_name_key(s.message_id, s.name));
      if (it != value_types_.end() && it->second != 0) s.value_type = it->second;
    }
  }
}

Parser::Placement Parser::group_targets(const SignalLine& s, Message& m, NameIndex& index,
                                        const SwitchIndex& plain_switch,
                                        std::vector<SignalList*>& targets) {
  std::string_view switch_name;
  std::vector<MuxRange> ranges{{s.mux_value, s.mux_value}};
  auto range = mux_ranges_.find(id_name_key(s.message_id, s.name));
  if (range != mux_ranges_.end()) {
    switch_name = range->second.switch_name;
    ranges = range->second.ranges;
  } else {
    auto sw = plain_switch.find(s.message_id);
    if (sw == plain_switch.end()) return Placement::kDropped;
    switch_name = sw->second->name;
  }
  auto sw = index.find(switch_name);
  if (sw == index.end()) return Placement::kLater;  // a later pass may place the switch
  // A reversed range in a list names no value: it is passed over, while
  // the list's other ranges still place the signal. Alone it drops the
  // signal, as it always did.
  if (ranges.size() > 1) {
    ranges.erase(std::remove_if(ranges.begin(), ranges.end(),
                                [](const MuxRange& r) { return r.from > r.to; }),
                 ranges.end());
    if (ranges.empty()) return Placement::kDropped;
  }
  std::vector<Signal*> switches{sw->second};
  auto more = copies_[&m].find(switch_name);
  if (more != copies_[&m].end()) switches = more->second;
  targets.clear();
  for (Signal* copy : switches) {
    for (const MuxRange& r : ranges) {
      MuxGroup* group = find_group(copy->groups, r.from, r.to);
      if (!group) group = add_group(copy->groups, r.from, r.to);
      if (!group) return Placement::kDropped;
      if (std::find(targets.begin(), targets.end(), &group->signals) == targets.end()) {
        targets.push_back(&group->signals);
      }
    }
  }
  return Placement::kPlaced;
}

Parser::Placement Parser::place_signal(const SignalLine& s, Message& m, NameIndex& index,
                                       const SwitchIndex& plain_switch) {
  // Once a name is placed the line can never be: drop it for good.
  if (index.count(s.name)) return Placement::kDropped;
  std::vector<SignalList*> targets{&m.signals};
  if (s.is_multiplexed) {
    const Placement found = group_targets(s, m, index, plain_switch, targets);
    if (found != Placement::kPlaced) return found;
  }
  // A signal that can never be extracted is refused like one that does
  // not fit: in the message it would fail every frame and end the walk
  // of the signals after it.
  if (s.start_bit > 0xFFFF || s.bit_length > 64 ||
      uint64_t{s.bit_position} + s.bit_length > uint64_t{m.length} * 8 ||
      extract_check(s.value_type, s.bit_length) != ExtractCheck::kOk) {
    QLOG(LOG_FATAL, "Failed to add signal %s to message %s", s.name.c_str(), m.name.c_str());
    return Placement::kLater;  // refused again, and logged again, in each pass
  }
  SignalParams p;
  p.byte_order = s.byte_order;
  p.value_type = s.value_type;
  p.bit_position = static_cast<uint16_t>(s.bit_position);
  p.bit_length = static_cast<uint8_t>(s.bit_length);
  p.factor = s.factor;
  p.offset = s.offset;
  p.minimum = s.minimum;
  p.maximum = s.maximum;
  const std::unordered_map<int64_t, std::string>* table = nullptr;
  if (!value_tables_.empty()) {
    auto it = value_tables_.find(id_name_key(s.message_id, s.name));
    if (it != value_tables_.end() && !it->second.empty()) table = &it->second;
  }
  std::vector<Signal*> added;
  for (SignalList* target : targets) {
    Signal* signal = add_signal(target, s.name, p, s.ignored);
    if (!signal) break;
    if (table) {
      signal->labels.reset(new (std::nothrow) ValueLabels());
      if (signal->labels) signal->labels->labels = *table;
    }
    added.push_back(signal);
  }
  if (added.empty()) return Placement::kDropped;
  index.emplace(added.front()->name, added.front());
  if (added.size() > 1) copies_[&m][added.front()->name] = added;
  return Placement::kPlaced;
}

void Parser::place_signals(MessageDatabase& db) {
  // Extended multiplexing: a switch that has a range of its own is itself
  // switched.
  for (SignalLine& s : signals_) {
    if (s.is_multiplexer && mux_ranges_.count(id_name_key(s.message_id, s.name))) {
      s.is_multiplexed = true;
    }
  }
  // Without a range, a multiplexed signal hangs under the first plain switch
  // of its message.
  SwitchIndex plain_switch;
  for (const SignalLine& s : signals_) {
    if (s.is_multiplexer && !s.is_multiplexed) plain_switch.try_emplace(s.message_id, &s);
  }
  std::vector<Message*> owner(signals_.size(), nullptr);
  std::vector<size_t> pending;
  for (size_t i = 0; i < signals_.size(); ++i) {
    owner[i] = db.find_message(dbcMsgKey2DbMsgKey(db.bus_kind(), signals_[i].message_id));
    if (owner[i]) pending.push_back(i);
  }
  // Passes until one places nothing: a switch may stand after the signals
  // it switches.
  bool productive = true;
  while (productive && !pending.empty()) {
    productive = false;
    size_t kept = 0;
    for (size_t i : pending) {
      switch (place_signal(signals_[i], *owner[i], names_[owner[i]], plain_switch)) {
        case Placement::kPlaced:
          productive = true;
          break;
        case Placement::kLater:
          pending[kept++] = i;
          break;
        case Placement::kDropped:
          break;
      }
    }
    pending.resize(kept);
  }
}

void Parser::check(const MessageDatabase& db) {
  std::unordered_map<uint32_t, std::vector<const SignalLine*>> by_key;
  for (const SignalLine& s : signals_) {
    by_key[dbcMsgKey2DbMsgKey(db.bus_kind(), s.message_id)].push_back(&s);
  }
  for (const MessageLine& ml : messages_) {
    uint32_t key = dbcMsgKey2DbMsgKey(db.bus_kind(), ml.dbc_id);
    const Message* m = db.find_message(key);
    if (!m) {
      QLOG(LOG_ERROR, "Failed to load message %s", ml.name.c_str());
      continue;
    }
    auto lines = by_key.find(key);
    if (lines == by_key.end()) continue;
    const NameIndex& index = names_[m];
    for (const SignalLine* s : lines->second) {
      if (!index.count(s->name)) QLOG(LOG_ERROR, "Failed to load signal %s", s->name.c_str());
    }
  }
}

std::unique_ptr<MessageDatabase> Parser::build() {
  interpret();
  auto db = MessageDatabase::create(bus_kind_);
  if (!db) return nullptr;
  for (auto it = messages_.begin(); it != messages_.end(); ++it) {
    if (it->name == "VECTOR__INDEPENDENT_SIG_MSG") {
      QLOG(LOG_WARN, "Ignoring message: %s", it->name.c_str());
      messages_.erase(it);
      break;
    }
  }
  for (const MessageLine& m : messages_) {
    uint32_t key = dbcMsgKey2DbMsgKey(bus_kind_, m.dbc_id);
    if (!db->add_message(m.name, key, m.length, m.transport_type, m.transport_parameter,
                         m.ignored)) {
      QLOG(LOG_ERROR, "Failed to add message %s with DBC key: %X and DB key: %X", m.name.c_str(),
           m.dbc_id, key);
      return nullptr;
    }
  }
  place_signals(*db);
  check(*db);
  return db;
}

// text holds size bytes and one spare byte after them.
std::unique_ptr<MessageDatabase> parse_dbc_buffer(char* text, size_t size) {
  // Names never hold bytes outside ASCII.
  for (size_t i = 0; i < size; ++i) {
    if (static_cast<unsigned char>(text[i]) >= 0x80) text[i] = '_';
  }
  std::unique_ptr<Parser> parser(new (std::nothrow) Parser());
  if (!parser || !parser->compile()) return nullptr;
  parser->read_lines(text, size);
  std::unique_ptr<MessageDatabase> db = parser->build();
  if (db && !compile_plans(*db)) return nullptr;
  return db;
}

}  // namespace

std::unique_ptr<MessageDatabase> parse_dbc(ByteStream& stream) {
  int64_t size = stream_size(stream);
  if (size == 0) return nullptr;
  if (size < 0) {
    QLOG(LOG_ERROR, "Could not read DBC-file");
    return nullptr;
  }
  std::unique_ptr<char[]> text;
  if (static_cast<uint64_t>(size) < SIZE_MAX) {
    text.reset(new (std::nothrow) char[static_cast<size_t>(size) + 1]);
  }
  if (!text) {
    QLOG(LOG_ERROR, "Could not allocate memory for DBC-file");
    return nullptr;
  }
  int64_t got = 0;
  while (got < size) {
    int64_t n = stream.read(text.get() + got, size - got);
    if (n <= 0) break;
    got += n;
  }
  if (got < size || stream.read_failed()) {
    QLOG(LOG_ERROR, "Could not read DBC-file");
    return nullptr;
  }
  text[static_cast<size_t>(size)] = '\0';
  return parse_dbc_buffer(text.get(), static_cast<size_t>(size));
}

std::unique_ptr<MessageDatabase> parse_dbc_bytes(std::string_view bytes) {
  BytesStream stream(bytes);
  return parse_dbc(stream);
}

}  // namespace quillon
