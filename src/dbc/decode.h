// Decoding a payload into the physical values of a message's signals,
// following the multiplexing tree so that only the signals selected by each
// switch's value are decoded. Every message is compiled to a plan when its
// database loads; decoding reads the plan alone and keeps no state between
// calls.
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

// A message's signals laid out for decoding. What every frame reads lies in
// one run of plain 40-byte records, one per signal, each list of the
// multiplexing tree a run of them, right after the plan's own fields; what
// only the first frame of an output or a multiplexed message needs (the
// signal itself, its name hash, its groups) lies after that run. A frame
// thus reads its message in one short sweep of memory rather than from
// records scattered on the heap. Built once per message (compile_plans);
// gives exactly the values, order and warnings of a walk of the Signal
// tree, which the tests hold it against.
class alignas(64) DecodePlan {
 public:
  // Null when memory is short. Every signal a database can hold fits.
  static std::unique_ptr<DecodePlan> build(const Message& message);
  // The plan and its records are one allocation.
  static void operator delete(void* p);
  DecodePlan(const DecodePlan&) = delete;
  DecodePlan& operator=(const DecodePlan&) = delete;

  const Message& message() const { return *message_; }
  uint64_t name_hash() const { return name_hash_; }  // the message's
  // No signal has groups: a frame decodes a prefix of the signals.
  bool plain() const { return group_total_ == 0; }
  uint32_t top_count() const { return top_count_; }
  // Whether the message is written at all (--messages, --signals): a plan
  // not chosen finds no output, as if its message were not in the database.
  bool chosen() const { return chosen_; }
  // Some written signal has a value table and labels are asked for: its
  // frames are written with labels, never straight into the row.
  bool labelled() const { return labelled_; }
  uint32_t signal_total() const { return signal_total_; }
  // The signal of record k (of signal_total).
  const Signal& signal_at(uint32_t k) const { return *infos_[k].signal; }
  // Leaves record k out of the rows: it is decoded (a switch still chooses
  // its groups and names the output) and skipped like an ignored signal.
  void leave_out(uint32_t k) { codes()[k].form |= 0x40u; }
  void set_chosen(bool chosen) { chosen_ = chosen; }
  void set_labelled(bool labelled) { labelled_ = labelled; }
  // The cache lines the whole plan takes, from its start.
  size_t lines() const;
  // The records a frame reads: from the start's second cache line on, the
  // cache lines of the first count of them.
  static size_t code_lines(uint32_t count) { return (count * sizeof(SignalCode) + 63) / 64; }

  // What a frame needs of a signal. form packs the value type (bits 0-2),
  // the byte order (bit 3), the extraction check (bits 4-5), ignored (bit
  // 6) and whether the signal has groups (bit 7).
  struct SignalCode {
    double factor = 1, offset = 0, minimum = 0, maximum = 0;
    uint16_t first_byte = 0;
    // The bytes the payload must hold: the end bit rounded up to a byte (a
    // payload holds end bits exactly when it holds this many bytes). A bit
    // position has 16 bits, so both fit any signal a database can hold.
    uint16_t end_byte = 0;
    uint8_t byte_count = 0, shift = 0, length = 0;
    uint8_t form = 0;

    uint32_t value_type() const { return form & 7u; }
    uint32_t byte_order() const { return (form >> 3) & 1u; }
    ExtractCheck check() const { return static_cast<ExtractCheck>((form >> 4) & 3u); }
    bool ignored() const { return (form & 0x40u) != 0; }
    bool has_groups() const { return (form & 0x80u) != 0; }
  };
  // The rest of a signal's record, read when its value is named or
  // switches groups.
  struct SignalInfo {
    const Signal* signal = nullptr;
    uint32_t name_hash = 0;  // low 32 bits
    uint32_t group_begin = 0;
    uint32_t group_count = 0;
  };
  struct GroupCode {
    double from = 0, to = 0;
    uint32_t begin = 0, count = 0;  // the group's run of signals
  };

  // The records, the message's own signals first. They follow the plan's
  // fields, which a frame thus need not read.
  const SignalCode* codes() const { return reinterpret_cast<const SignalCode*>(this + 1); }
  SignalCode* codes() { return reinterpret_cast<SignalCode*>(this + 1); }

 private:
  friend void decode_message(const DecodePlan& plan, const uint8_t* payload, size_t size,
                             DecodedMessage& out);
  DecodePlan() = default;
  ~DecodePlan() = default;
  friend struct std::default_delete<DecodePlan>;
  friend struct PlanDelete;
  // The plan with its records, signals and groups.
  static size_t block_bytes(size_t signals, size_t groups);
  // Lays out list at the records from begin on; its groups' lists go after
  // the records used so far.
  bool add_list(const SignalList& list, uint32_t begin);

  const Message* message_ = nullptr;
  uint64_t name_hash_ = 0;
  SignalInfo* infos_ = nullptr;  // after the signal_total_ records
  GroupCode* groups_ = nullptr;  // group_total_ after those
  uint32_t top_count_ = 0;       // the message's own signals come first
  uint32_t signal_total_ = 0, group_total_ = 0;
  uint32_t signals_used_ = 0, groups_used_ = 0;  // while building
  bool chosen_ = true, labelled_ = false;
};

// A value lies within its signal's minimum..maximum, or the signal gives
// none (both 0).
inline bool value_in_range(double value, double minimum, double maximum) {
  return (minimum <= value && value <= maximum) || (minimum == 0 && maximum == 0);
}

// Builds the plan of every message of db (Message::plan). False when
// memory is short; the database is then not to be used for decoding.
bool compile_plans(MessageDatabase& db);

// Decodes the message of plan into out: the values of its signals and of
// the groups their values select, in walk order. When a signal does not fit
// the payload (or cannot be read at all) the walk of its list stops there,
// out keeps the values decoded before, and "Failed to decode signal" and
// "Failed to decode message" are logged.
void decode_message(const DecodePlan& plan, const uint8_t* payload, size_t size,
                    DecodedMessage& out);
// The physical values of the first count signals of a plain plan (count at
// most its top_count), into values[0..count), and true. False when one of
// them would fail: nothing is logged then, and decode_message gives the
// warnings. The values are those decode_message gives.
bool decode_plain(const DecodePlan& plan, uint32_t count, const uint8_t* payload, size_t size,
                  double* values);

}  // namespace quillon
