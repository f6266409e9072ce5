// Decoding a payload into the physical values of a message's signals,
// following the multiplexing tree so that only the signals selected by each
// switch's value are decoded. Keeps no state between calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "dbc/database.h"

namespace quillon {

struct DecodedValue {
  const Signal* signal = nullptr;  // the database's signal; name() reads its name
  uint32_t name_hash = 0;          // low 32 bits of the signal's name hash
  bool ignored = false;
  bool is_multiplexer = false;  // the signal has at least one group
  double value = 0;             // physical value
  double minimum = 0, maximum = 0;

  std::string_view name() const { return signal->name; }
};

// One frame's decoded values. Owned by the caller and reused from frame to
// frame: clearing keeps the storage, so decoding does not allocate once the
// list has grown to the largest message.
struct DecodedMessage {
  const Message* message = nullptr;
  std::vector<DecodedValue> values;  // in decoding order
};

// The physical value of one signal, or false (with a LOG_WARN line) when its
// length is 0, it reaches beyond the payload, or a float/double signal is
// not 32/64 bits long.
bool extract_signal(const uint8_t* payload, size_t size, const Signal& signal, double& value);

// Finds the message under key and decodes it into out. False when database
// is null, no message has the key or the message is ignored. True otherwise,
// also when a signal failed: out then holds the values decoded before the
// walk stopped, and "Failed to decode message" is logged.
bool decode_message(const MessageDatabase* database, uint32_t key, const uint8_t* payload,
                    size_t size, DecodedMessage& out);
// The same for a message already found (not null, not ignored).
void decode_message(const Message& message, const uint8_t* payload, size_t size,
                    DecodedMessage& out);

}  // namespace quillon
