// Message databases: the in-memory form of one DBC file. Messages are found
// by a 32-bit database key that folds the identifier's format (11-bit,
// 29-bit, J1939 parameter group, LIN) into one number, so that a frame and a
// DBC entry meet on the same key. Built once while loading, read-only after.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace quillon {

// Bus kind of a database.
enum BusKind : int32_t { kBusCan = 1, kBusJ1939 = 2, kBusLin = 3 };

// Transport type of a message; 2 is not used, and kTransportJ1939 is never
// stored in a message (J1939 transport is registered per database).
enum TransportType : int32_t {
  kTransportNone = 0,
  kTransportJ1939 = 1,
  kTransportNmea = 3,
  kTransportIsoTp = 4,
  kTransportMux = 5,
};

// Byte orders and value types of a signal, as stored.
enum : uint32_t { kBigEndian = 0, kLittleEndian = 1 };
enum : int32_t { kValueUnsigned = 1, kValueSigned = 2, kValueFloat = 3, kValueDouble = 4 };

// Hash of a name; the 4- and 8-byte names take a multiply-only branch.
uint64_t name_hash(std::string_view name);

uint32_t can_key(uint32_t id, bool extended);
// Drops priority and source address, and for PDU1 groups the destination.
uint32_t j1939_key(uint32_t id, bool extended);
uint32_t lin_key(uint32_t id);
// Key of a DBC "BO_" identifier, whose bit 31 marks a 29-bit identifier.
// Any bus kind but 1, 2, 3 logs at LOG_FATAL and gives 0.
uint32_t dbcMsgKey2DbMsgKey(int32_t bus_kind, uint32_t dbc_id);

// What the extractor has to refuse, decided when the signal is added.
enum class ExtractCheck : uint8_t { kOk, kZeroLength, kFloatLength, kDoubleLength };

// What extraction would refuse on every frame, whatever the payload: no bits,
// or a float whose length is not that of its format. The loader refuses such
// a signal, as a failing signal would end the walk of its whole list.
ExtractCheck extract_check(int32_t value_type, uint32_t bit_length);

// Where a signal's bits lie in a payload, worked out once per signal so that
// extraction per frame is a few loads, shifts and a mask.
struct SignalLayout {
  uint32_t end_bit = 0;     // bit position + length: the payload must hold this many bits
  uint32_t first_byte = 0;  // lowest payload byte touched
  uint32_t byte_count = 0;  // bytes touched from first_byte on, 0 to 9
  uint8_t shift = 0;        // right shift that brings the raw value down to bit 0
  uint64_t mask = 0;        // the length's low bits
  // For signed values of fewer than 64 bits: the bits to set when bit n-1 is
  // set. 0 otherwise.
  uint64_t sign_extension = 0;
  ExtractCheck check = ExtractCheck::kOk;
};

// The raw value of a signal; the caller has checked check == kOk and that the
// payload holds end_bit bits.
uint64_t read_raw(const SignalLayout& layout, uint32_t byte_order, const uint8_t* payload);

// read_raw on the layout's parts: count bytes from b on, shift and mask.
inline uint64_t read_raw_bits(const uint8_t* b, uint32_t count, uint32_t shift, uint64_t mask,
                              uint32_t byte_order) {
  uint64_t acc = 0;
  if (byte_order == kLittleEndian) {
    uint32_t low = count > 8 ? 8 : count;
    for (uint32_t i = low; i-- > 0;) acc = (acc << 8) | b[i];
    acc >>= shift;
    // A ninth byte occurs only with a shift of 1 to 7.
    if (count > 8) acc |= static_cast<uint64_t>(b[8]) << (64 - shift);
  } else {
    uint32_t high = count > 8 ? 8 : count;
    for (uint32_t i = 0; i < high; ++i) acc = (acc << 8) | b[i];
    if (count > 8) {
      acc = (acc << (8 - shift)) | (b[8] >> shift);
    } else {
      acc >>= shift;
    }
  }
  return acc & mask;
}

struct SignalParams {
  uint32_t byte_order = kLittleEndian;
  int32_t value_type = kValueUnsigned;
  // Little-endian: the DBC start bit. Big-endian: the most significant bit in
  // most-significant-bit-first numbering (bit k is bit 7 - k%8 of byte k/8).
  uint16_t bit_position = 0;
  uint8_t bit_length = 0;
  double factor = 1, offset = 0, minimum = 0, maximum = 0;
};

struct Signal;
struct MuxGroup;
using SignalList = std::vector<std::unique_ptr<Signal>>;
using GroupList = std::vector<std::unique_ptr<MuxGroup>>;

// A signal's value table: the label of each raw value (before factor and
// offset) that the DBC file names, for lookup as a frame is written.
struct ValueLabels {
  std::unordered_map<int64_t, std::string> labels;
  const std::string* find(int64_t raw) const {
    auto it = labels.find(raw);
    return it == labels.end() ? nullptr : &it->second;
  }
};

struct Signal {
  std::string name;
  uint64_t name_hash = 0;
  bool ignored = false;
  SignalParams params;
  SignalLayout layout;
  GroupList groups;                     // empty unless the signal switches multiplexed signals
  std::unique_ptr<ValueLabels> labels;  // null without a value table
};

// The signals present while the switch's value lies in from..to.
struct MuxGroup {
  uint32_t from = 0, to = 0;
  SignalList signals;
};

// Appends a signal; null when list is null or value_type is 0.
Signal* add_signal(SignalList* list, std::string_view name, const SignalParams& params,
                   bool ignored);
// Depth-first, pre-order (a signal before its groups): the first signal of
// that name anywhere in the tree, or null.
Signal* find_signal(const SignalList& list, std::string_view name);
MuxGroup* find_group(const GroupList& groups, uint32_t from, uint32_t to);
// Null when from > to.
MuxGroup* add_group(GroupList& groups, uint32_t from, uint32_t to);
// The first group with from <= value <= to, or null.
MuxGroup* group_containing(const GroupList& groups, uint32_t value);

class MessageDatabase;
class DecodePlan;
// Frees a plan (dbc/decode.h), which is one aligned block.
struct PlanDelete {
  void operator()(DecodePlan* plan) const;
};

struct Message {
  const MessageDatabase* database = nullptr;
  std::string name;
  uint64_t name_hash = 0;
  uint32_t length = 0;  // bytes; for a transport message the reassembled length
  bool ignored = false;
  int32_t transport_type = kTransportNone;
  std::string transport_parameter;  // the whole attribute value for kTransportMux
  SignalList signals;
  // What decoding reads, built from signals once they are all in
  // (compile_plans); null before.
  std::unique_ptr<DecodePlan, PlanDelete> plan;
};

class MessageDatabase {
 public:
  using MessageMap = std::map<uint32_t, std::unique_ptr<Message>>;

  // Null when memory is exhausted.
  static std::unique_ptr<MessageDatabase> create(int32_t bus_kind);

  int32_t bus_kind() const { return bus_kind_; }

  // Null when the key is taken ("Message key collision" is logged) or memory
  // is exhausted; the database is then unchanged.
  Message* add_message(std::string_view name, uint32_t key, uint32_t length, int32_t transport_type,
                       std::string_view transport_parameter, bool ignored);
  Message* find_message(uint32_t key) const;
  // In ascending key order.
  const MessageMap& messages() const { return messages_; }

 private:
  explicit MessageDatabase(int32_t bus_kind) : bus_kind_(bus_kind) {}
  int32_t bus_kind_;
  MessageMap messages_;
};

}  // namespace quillon
