// The walk of a message's Signal tree: the simple reading of a database
// that the decode plan is held against. Decoding in the program goes
// through the plan alone; this stays with the tests, kept as plain as it
// can be (straight from the Signal records and their layouts).
#pragma once

#include <cstring>
#include <vector>

#include "dbc/database.h"
#include "dbc/decode.h"
#include "support/log.h"

namespace quillon::tree {

inline double to_number(uint64_t raw, const Signal& s) {
  switch (s.params.value_type) {
    case kValueSigned:
      // Below 64 bits the sign bit is the top bit of the mask.
      if (s.layout.sign_extension != 0 && (raw & ((s.layout.mask >> 1) + 1)) != 0) {
        raw |= s.layout.sign_extension;
      }
      return static_cast<double>(static_cast<int64_t>(raw));
    case kValueFloat: {
      uint32_t bits = static_cast<uint32_t>(raw);
      float f;
      std::memcpy(&f, &bits, sizeof f);
      return f;
    }
    case kValueDouble: {
      double d;
      std::memcpy(&d, &raw, sizeof d);
      return d;
    }
    default:
      return static_cast<double>(raw);
  }
}

// The physical value of one signal, or false (with a LOG_WARN line) when its
// length is 0, it reaches beyond the payload, or a float/double signal is
// not 32/64 bits long.
inline bool extract_signal(const uint8_t* payload, size_t size, const Signal& s, double& value) {
  const SignalLayout& l = s.layout;
  if (l.check == ExtractCheck::kZeroLength) {
    QLOG(LOG_WARN, "Invalid signal bit length (zero)");
    return false;
  }
  if (l.end_bit > static_cast<uint64_t>(size) * 8) {
    QLOG(LOG_WARN, "Invalid signal bit length (exceeds payload)");
    return false;
  }
  if (l.check == ExtractCheck::kFloatLength) {
    QLOG(LOG_WARN, "Invalid signal bit length (float != 32)");
    return false;
  }
  if (l.check == ExtractCheck::kDoubleLength) {
    QLOG(LOG_WARN, "Invalid signal bit length (double != 64)");
    return false;
  }
  value =
      to_number(read_raw(l, s.params.byte_order, payload), s) * s.params.factor + s.params.offset;
  return true;
}

// Appends the values of list (and of the groups their values select) to out.
inline bool walk(std::vector<DecodedValue>& out, const SignalList& list, const uint8_t* payload,
                 size_t size) {
  bool ok = true;
  for (const auto& owned : list) {
    const Signal& s = *owned;
    double value;
    if (!extract_signal(payload, size, s, value)) {
      QLOG(LOG_WARN, "Failed to decode signal: \"%s\"", s.name.c_str());
      return false;
    }
    DecodedValue& v = out.emplace_back();
    v.signal = &s;
    v.name_hash = static_cast<uint32_t>(s.name_hash);
    v.ignored = s.ignored;
    v.is_multiplexer = !s.groups.empty();
    v.value = value;
    v.minimum = s.params.minimum;
    v.maximum = s.params.maximum;
    // Groups are chosen on the physical value as a double, so 1.5 selects
    // neither 1..1 nor 2..2, and NaN selects nothing.
    for (const auto& g : s.groups) {
      if (static_cast<double>(g->from) <= value && value <= static_cast<double>(g->to)) {
        if (!walk(out, g->signals, payload, size)) ok = false;
        break;
      }
    }
  }
  return ok;
}

// decode_message through the tree of a message.
inline void decode_message(const Message& message, const uint8_t* payload, size_t size,
                           DecodedMessage& out) {
  out.message = &message;
  out.values.clear();
  if (!walk(out.values, message.signals, payload, size)) {
    QLOG(LOG_WARN, "Failed to decode message: \"%s\"", message.name.c_str());
  }
}

// Finds the message under key and decodes it into out. False when database
// is null, no message has the key or the message is ignored.
inline bool decode_message(const MessageDatabase* database, uint32_t key, const uint8_t* payload,
                           size_t size, DecodedMessage& out) {
  out.message = nullptr;
  out.values.clear();
  if (!database) return false;
  const Message* m = database->find_message(key);
  if (!m || m->ignored) return false;
  decode_message(*m, payload, size, out);
  return true;
}

}  // namespace quillon::tree
