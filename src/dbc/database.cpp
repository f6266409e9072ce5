#include "dbc/database.h"

#include <cstring>
#include <new>

#include "dbc/j1939.h"
#include "support/log.h"

namespace quillon {

namespace {

constexpr uint64_t kHashMultiplier = 0xC6A4A7935BD1E99DULL;

uint64_t load_le(const char* bytes, int n) {
  uint64_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(bytes[i]);
  return v;
}

SignalLayout make_layout(const SignalParams& p) {
  SignalLayout l;
  uint32_t n = p.bit_length;
  uint32_t pos = p.bit_position;
  l.end_bit = pos + n;
  l.check = extract_check(p.value_type, n);
  if (n == 0) return l;
  // Lengths above 64 are refused before a signal is added; clamp anyway so
  // that a direct caller can never make the shifts below undefined.
  if (n > 64) n = 64;
  uint32_t last = pos + n - 1;
  l.first_byte = pos / 8;
  l.byte_count = last / 8 - pos / 8 + 1;
  if (p.byte_order == kLittleEndian) {
    l.shift = static_cast<uint8_t>(pos % 8);
  } else {
    l.shift = static_cast<uint8_t>(7 - last % 8);
  }
  l.mask = n == 64 ? ~0ULL : (1ULL << n) - 1;
  if (p.value_type == kValueSigned && n < 64) l.sign_extension = ~l.mask;
  return l;
}

}  // namespace

ExtractCheck extract_check(int32_t value_type, uint32_t bit_length) {
  if (bit_length == 0) return ExtractCheck::kZeroLength;
  if (value_type == kValueFloat && bit_length != 32) return ExtractCheck::kFloatLength;
  if (value_type == kValueDouble && bit_length != 64) return ExtractCheck::kDoubleLength;
  return ExtractCheck::kOk;
}

uint64_t name_hash(std::string_view name) {
  size_t n = name.size();
  const char* s = name.data();
  if (n == 0) return 1;
  if (n == 4) return load_le(s, 4) * kHashMultiplier;
  if (n == 8) return load_le(s, 8) * kHashMultiplier;
  uint64_t h = static_cast<uint8_t>(s[0]);
  size_t i = 0;
  for (; i + 8 <= n; i += 8) h += load_le(s + i, 8) * kHashMultiplier;
  for (; i < n; ++i) h = h * 1023 - static_cast<uint8_t>(s[i]);
  return h ^ ((h << 26) | (h >> 38));
}

uint32_t can_key(uint32_t id, bool extended) {
  return extended ? (id & 0x1FFFFFFFu) | 0x80000000u : id & 0x7FFu;
}

uint32_t j1939_key(uint32_t id, bool extended) {
  if (!extended) return can_key(id, false);
  // A PDU1 group's destination address is not part of the group.
  uint32_t masked =
      j1939_has_destination(j1939_pdu_format(id)) ? id & 0x03FF0000u : id & 0x03FFFF00u;
  return can_key(masked, true);
}

uint32_t lin_key(uint32_t id) {
  return id & 0x3Fu;
}

uint32_t dbcMsgKey2DbMsgKey(int32_t bus_kind, uint32_t dbc_id) {
  bool extended = (dbc_id & 0x80000000u) != 0;
  switch (bus_kind) {
    case kBusCan:
      return can_key(dbc_id, extended);
    case kBusJ1939:
      return j1939_key(dbc_id, extended);
    case kBusLin:
      return lin_key(dbc_id);
    default:
      QLOG(LOG_FATAL, "dbcMsgKey2DbMsgKey called with invalid bus type");
      return 0;
  }
}

uint64_t read_raw(const SignalLayout& l, uint32_t byte_order, const uint8_t* payload) {
  return read_raw_bits(payload + l.first_byte, l.byte_count, l.shift, l.mask, byte_order);
}

Signal* add_signal(SignalList* list, std::string_view name, const SignalParams& params,
                   bool ignored) {
  if (!list || params.value_type == 0) return nullptr;
  std::unique_ptr<Signal> s(new (std::nothrow) Signal());
  if (!s) return nullptr;
  s->name.assign(name);
  s->name_hash = name_hash(name);
  s->ignored = ignored;
  s->params = params;
  s->layout = make_layout(params);
  list->push_back(std::move(s));
  return list->back().get();
}

Signal* find_signal(const SignalList& list, std::string_view name) {
  for (const auto& s : list) {
    if (s->name == name) return s.get();
    for (const auto& g : s->groups) {
      if (Signal* found = find_signal(g->signals, name)) return found;
    }
  }
  return nullptr;
}

MuxGroup* find_group(const GroupList& groups, uint32_t from, uint32_t to) {
  for (const auto& g : groups) {
    if (g->from == from && g->to == to) return g.get();
  }
  return nullptr;
}

MuxGroup* add_group(GroupList& groups, uint32_t from, uint32_t to) {
  if (from > to) return nullptr;
  std::unique_ptr<MuxGroup> g(new (std::nothrow) MuxGroup());
  if (!g) return nullptr;
  g->from = from;
  g->to = to;
  groups.push_back(std::move(g));
  return groups.back().get();
}

MuxGroup* group_containing(const GroupList& groups, uint32_t value) {
  for (const auto& g : groups) {
    if (g->from <= value && value <= g->to) return g.get();
  }
  return nullptr;
}

std::unique_ptr<MessageDatabase> MessageDatabase::create(int32_t bus_kind) {
  return std::unique_ptr<MessageDatabase>(new (std::nothrow) MessageDatabase(bus_kind));
}

Message* MessageDatabase::add_message(std::string_view name, uint32_t key, uint32_t length,
                                      int32_t transport_type, std::string_view transport_parameter,
                                      bool ignored) {
  auto it = messages_.lower_bound(key);
  if (it != messages_.end() && it->first == key) {
    QLOG(LOG_ERROR, "Message key collision: %u (%.*s, %s)", key, static_cast<int>(name.size()),
         name.data(), it->second->name.c_str());
    return nullptr;
  }
  std::unique_ptr<Message> m(new (std::nothrow) Message());
  if (!m) return nullptr;
  m->database = this;
  m->name.assign(name);
  m->name_hash = name_hash(name);
  m->length = length;
  m->ignored = ignored;
  m->transport_type = transport_type;
  m->transport_parameter.assign(transport_parameter);
  return messages_.emplace_hint(it, key, std::move(m))->second.get();
}

Message* MessageDatabase::find_message(uint32_t key) const {
  auto it = messages_.find(key);
  return it == messages_.end() ? nullptr : it->second.get();
}

}  // namespace quillon
