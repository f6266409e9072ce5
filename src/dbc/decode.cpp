#include "dbc/decode.h"

#include <cstring>
#include <limits>
#include <new>

#include "support/log.h"

namespace quillon {

namespace {

using SignalCode = DecodePlan::SignalCode;
using SignalInfo = DecodePlan::SignalInfo;
using GroupCode = DecodePlan::GroupCode;
// Eight signals in five cache lines.
static_assert(sizeof(SignalCode) == 40);

// The checks before a signal's bits are read, with their warnings, in the
// order the tree walk of the tests keeps too.
bool signal_fits(ExtractCheck check, uint32_t end_byte, size_t size) {
  if (check == ExtractCheck::kZeroLength) {
    QLOG(LOG_WARN, "Invalid signal bit length (zero)");
    return false;
  }
  if (end_byte > size) {
    QLOG(LOG_WARN, "Invalid signal bit length (exceeds payload)");
    return false;
  }
  if (check == ExtractCheck::kFloatLength) {
    QLOG(LOG_WARN, "Invalid signal bit length (float != 32)");
    return false;
  }
  if (check == ExtractCheck::kDoubleLength) {
    QLOG(LOG_WARN, "Invalid signal bit length (double != 64)");
    return false;
  }
  return true;
}

// A signal's value from its record, whose checks passed: the one rule of
// extraction and sign extension. Inlined into both walks, so that each
// keeps its loop tight.
[[gnu::always_inline]] inline double code_value(const uint8_t* payload, const SignalCode& c) {
  const uint64_t mask = c.length >= 64 ? ~uint64_t{0} : (uint64_t{1} << c.length) - 1;
  uint64_t raw = read_raw_bits(payload + c.first_byte, c.byte_count, c.shift, mask, c.byte_order());
  double number;
  switch (c.value_type()) {
    case kValueSigned:
      if (c.length < 64 && ((raw >> (c.length - 1)) & 1) != 0) raw |= ~mask;
      number = static_cast<double>(static_cast<int64_t>(raw));
      break;
    case kValueFloat: {
      uint32_t bits = static_cast<uint32_t>(raw);
      float f;
      std::memcpy(&f, &bits, sizeof f);
      number = f;
      break;
    }
    case kValueDouble:
      std::memcpy(&number, &raw, sizeof number);
      break;
    default:
      number = static_cast<double>(raw);
  }
  return number * c.factor + c.offset;
}

// walk over a plan: the run of count records from first on.
bool walk_codes(std::vector<DecodedValue>& out, const SignalCode* codes, const SignalInfo* infos,
                const GroupCode* groups, uint32_t first, uint32_t count, const uint8_t* payload,
                size_t size) {
  bool ok = true;
  for (uint32_t k = first; k < first + count; ++k) {
    const SignalCode& c = codes[k];
    const SignalInfo& info = infos[k];
    if (!signal_fits(c.check(), c.end_byte, size)) {
      QLOG(LOG_WARN, "Failed to decode signal: \"%s\"", info.signal->name.c_str());
      return false;
    }
    const double value = code_value(payload, c);
    DecodedValue& v = out.emplace_back();
    v.signal = info.signal;
    v.name_hash = info.name_hash;
    v.ignored = c.ignored();
    v.is_multiplexer = c.has_groups();
    v.value = value;
    v.minimum = c.minimum;
    v.maximum = c.maximum;
    for (uint32_t g = info.group_begin; g < info.group_begin + info.group_count; ++g) {
      const GroupCode& group = groups[g];
      if (group.from <= value && value <= group.to) {
        if (!walk_codes(out, codes, infos, groups, group.begin, group.count, payload, size)) {
          ok = false;
        }
        break;
      }
    }
  }
  return ok;
}

size_t tree_size(const SignalList& list, size_t& groups) {
  size_t n = list.size();
  for (const auto& s : list) {
    groups += s->groups.size();
    for (const auto& g : s->groups) n += tree_size(g->signals, groups);
  }
  return n;
}

}  // namespace

std::unique_ptr<DecodePlan> DecodePlan::build(const Message& message) {
  size_t groups = 0;
  const size_t signals = tree_size(message.signals, groups);
  if (signals > std::numeric_limits<uint32_t>::max() / 128 ||
      groups > std::numeric_limits<uint32_t>::max() / 128) {
    return nullptr;
  }
  static_assert(sizeof(DecodePlan) == 64 && alignof(SignalInfo) <= alignof(SignalCode) &&
                sizeof(SignalCode) % alignof(SignalInfo) == 0 &&
                sizeof(SignalInfo) % alignof(GroupCode) == 0);
  const size_t bytes = block_bytes(signals, groups);
  void* block = ::operator new (bytes, std::align_val_t{alignof(DecodePlan)}, std::nothrow);
  if (!block) return nullptr;
  std::unique_ptr<DecodePlan> plan(new (block) DecodePlan());
  plan->message_ = &message;
  plan->name_hash_ = message.name_hash;
  SignalCode* codes = plan->codes();
  for (size_t i = 0; i < signals; ++i) new (codes + i) SignalCode();
  plan->infos_ = reinterpret_cast<SignalInfo*>(codes + signals);
  for (size_t i = 0; i < signals; ++i) new (plan->infos_ + i) SignalInfo();
  plan->groups_ = reinterpret_cast<GroupCode*>(plan->infos_ + signals);
  for (size_t i = 0; i < groups; ++i) new (plan->groups_ + i) GroupCode();
  plan->signal_total_ = static_cast<uint32_t>(signals);
  plan->group_total_ = static_cast<uint32_t>(groups);
  plan->top_count_ = static_cast<uint32_t>(message.signals.size());
  plan->signals_used_ = plan->top_count_;
  if (!plan->add_list(message.signals, 0)) return nullptr;
  return plan;
}

size_t DecodePlan::block_bytes(size_t signals, size_t groups) {
  return sizeof(DecodePlan) + signals * (sizeof(SignalCode) + sizeof(SignalInfo)) +
         groups * sizeof(GroupCode);
}

size_t DecodePlan::lines() const {
  return (block_bytes(signal_total_, group_total_) + 63) / 64;
}

void DecodePlan::operator delete(void* p) {
  ::operator delete (p, std::align_val_t{alignof(DecodePlan)});
}

bool DecodePlan::add_list(const SignalList& list, uint32_t begin) {
  for (size_t k = 0; k < list.size(); ++k) {
    const Signal& s = *list[k];
    // A bit position has 16 bits and a length 8: the first and the end
    // byte fit 16 bits.
    static_assert(sizeof(SignalParams::bit_position) == 2 && sizeof(SignalParams::bit_length) == 1);
    // Any type but the four reads as unsigned, as in the tree walk.
    const int32_t type = s.params.value_type;
    const uint32_t value_type = type >= kValueUnsigned && type <= kValueDouble
                                    ? static_cast<uint32_t>(type)
                                    : static_cast<uint32_t>(kValueUnsigned);
    SignalCode& c = codes()[begin + k];
    c.factor = s.params.factor;
    c.offset = s.params.offset;
    c.minimum = s.params.minimum;
    c.maximum = s.params.maximum;
    c.first_byte = static_cast<uint16_t>(s.layout.first_byte);
    c.end_byte = static_cast<uint16_t>((s.layout.end_bit + 7) / 8);
    c.byte_count = static_cast<uint8_t>(s.layout.byte_count);
    c.shift = s.layout.shift;
    // As the layout clamps it.
    c.length = static_cast<uint8_t>(s.params.bit_length > 64 ? 64 : s.params.bit_length);
    c.form = static_cast<uint8_t>(value_type | uint32_t{s.params.byte_order == kLittleEndian} << 3 |
                                  static_cast<uint32_t>(s.layout.check) << 4 |
                                  uint32_t{s.ignored} << 6 | uint32_t{!s.groups.empty()} << 7);
    SignalInfo& info = infos_[begin + k];
    info.signal = &s;
    info.name_hash = static_cast<uint32_t>(s.name_hash);
    info.group_begin = groups_used_;
    info.group_count = static_cast<uint32_t>(s.groups.size());
    groups_used_ += info.group_count;
    for (size_t g = 0; g < s.groups.size(); ++g) {
      const MuxGroup& group = *s.groups[g];
      GroupCode& code = groups_[info.group_begin + g];
      // Chosen on the physical value as a double, as the tree walk does.
      code.from = static_cast<double>(group.from);
      code.to = static_cast<double>(group.to);
      code.begin = signals_used_;
      code.count = static_cast<uint32_t>(group.signals.size());
      signals_used_ += code.count;
      if (!add_list(group.signals, code.begin)) return false;
    }
  }
  return true;
}

void decode_message(const DecodePlan& plan, const uint8_t* payload, size_t size,
                    DecodedMessage& out) {
  out.message = plan.message_;
  out.values.clear();
  if (!walk_codes(out.values, plan.codes(), plan.infos_, plan.groups_, 0, plan.top_count_, payload,
                  size)) {
    QLOG(LOG_WARN, "Failed to decode message: \"%s\"", plan.message_->name.c_str());
  }
}

bool decode_plain(const DecodePlan& plan, uint32_t count, const uint8_t* payload, size_t size,
                  double* values) {
  const SignalCode* codes = plan.codes();
  for (uint32_t k = 0; k < count; ++k) {
    const SignalCode& c = codes[k];
    if (c.check() != ExtractCheck::kOk || c.end_byte > size) return false;
    values[k] = code_value(payload, c);
  }
  return true;
}

bool compile_plans(MessageDatabase& db) {
  for (const auto& [key, message] : db.messages()) {
    std::unique_ptr<DecodePlan> plan = DecodePlan::build(*message);
    if (!plan) return false;
    message->plan.reset(plan.release());
  }
  return true;
}

void PlanDelete::operator()(DecodePlan* plan) const {
  std::default_delete<DecodePlan>()(plan);
}

}  // namespace quillon
