// Decoding a payload into the physical values of a message's signals,
// following the multiplexing tree so that only the signals selected by each
// switch's value are decoded. Keeps no state between calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
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

// A message's signals laid out for decoding: one plain 64-byte record per
// signal, each list of the multiplexing tree a run of them, all in one block
// right after the plan's own fields, so that a frame reads its message in
// one sweep of memory rather than from records scattered on the heap. Built
// once per message; gives exactly the values, order and warnings of
// decoding through the Signal tree.
class alignas(64) DecodePlan {
 public:
  // Null when memory is short or the message cannot be laid out (more than
  // 65,535 groups under one signal); decode through the tree then.
  static std::unique_ptr<DecodePlan> build(const Message& message);
  // The plan and its records are one allocation.
  static void operator delete(void* p);
  DecodePlan(const DecodePlan&) = delete;
  DecodePlan& operator=(const DecodePlan&) = delete;

  const Message& message() const { return *message_; }
  uint64_t name_hash() const { return name_hash_; }  // the message's
  // No signal has groups: a frame decodes a prefix of the signals.
  bool plain() const { return group_total_ == 0; }
  // The cache lines the plan and its signals' records take, from its start.
  size_t lines() const { return 1 + signal_total_; }

  struct SignalCode {
    double factor = 1, offset = 0, minimum = 0, maximum = 0;
    const Signal* signal = nullptr;
    uint32_t end_bit = 0;
    uint32_t name_hash = 0;  // low 32 bits
    uint32_t group_begin = 0;
    uint16_t first_byte = 0;
    uint16_t group_count = 0;
    uint8_t byte_count = 0, shift = 0, length = 0;
    uint8_t value_type = 0, byte_order = 0;
    ExtractCheck check = ExtractCheck::kOk;
    bool ignored = false;
  };
  struct GroupCode {
    double from = 0, to = 0;
    uint32_t begin = 0, count = 0;  // the group's run of signals
  };

 private:
  friend void decode_message(const DecodePlan& plan, const uint8_t* payload, size_t size,
                             DecodedMessage& out);
  DecodePlan() = default;
  ~DecodePlan() = default;
  friend struct std::default_delete<DecodePlan>;
  // Lays out list at the records from begin on; its groups' lists go after
  // the records used so far.
  bool add_list(const SignalList& list, uint32_t begin);

  const Message* message_ = nullptr;
  uint64_t name_hash_ = 0;
  SignalCode* codes_ = nullptr;  // signal_total_ records right after the plan
  GroupCode* groups_ = nullptr;  // group_total_ after those
  uint32_t top_count_ = 0;       // the message's own signals come first
  uint32_t signal_total_ = 0, group_total_ = 0;
  uint32_t signals_used_ = 0, groups_used_ = 0;  // while building
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
// The same through the message's plan.
void decode_message(const DecodePlan& plan, const uint8_t* payload, size_t size,
                    DecodedMessage& out);

}  // namespace quillon
