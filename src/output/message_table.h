// The message table: one flat table from (database, key, channel, kind,
// the addresses the output name keeps) to the message, its decode plan and,
// for a message without multiplexers, the output its frames went to last.
// It also fetches ahead what a hinted frame will need.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "dbc/database.h"
#include "dbc/decode.h"
#include "dbc/j1939.h"
#include "dbc/loader.h"
#include "input/frame.h"
#include "output/output_identity.h"
#include "output/output_set.h"
#include "support/prefetch.h"

namespace quillon {

// The database key and, on J1939, the addresses of a frame's id; false for
// a bus kind that is not decoded.
inline bool frame_address(int32_t bus_kind, uint32_t id, bool extended, FrameAddress& out) {
  out = FrameAddress();
  switch (bus_kind) {
    case kBusCan:
      out.key = can_key(id, extended);
      return true;
    case kBusJ1939:
      out.key = j1939_key(id, extended);
      if (extended) {
        out.source = static_cast<uint8_t>(id);
        out.has_source = true;
        if (j1939_has_destination(j1939_pdu_format(id))) {
          out.destination = static_cast<uint8_t>(id >> 8);
          out.has_destination = true;
        }
      }
      return true;
    case kBusLin:
      out.key = lin_key(id);
      return true;
    default:
      return false;
  }
}

class MessageTable {
 public:
  // One (database, table word): the message and the output its frames went
  // to. That output stands while its handle is current and the frame
  // decoded as many values (a message without multiplexers decodes a
  // prefix of its signals, so the count tells the output's signal set).
  struct Entry {
    const MessageDatabase* db = nullptr;  // null marks a free slot
    uint64_t word = 0;
    const Message* message = nullptr;  // null: nothing to decode
    const DecodePlan* plan = nullptr;
    bool multiplexed = false;  // some signal has groups: the output is not kept
    uint8_t plan_lines = 0;    // of the plan, to fetch ahead (at most 16)
    // The output was found for a frame that decoded every signal: while it
    // stands, a frame that decodes all count of them goes straight into
    // its row (decode_plain).
    bool whole_row = false;
    uint32_t count = 0;  // values decoded when the output was found
    OutputHandle output;
  };

  // The maps are not owned and must not change while the table is used.
  MessageTable(const ChannelMap* can_channels, const ChannelMap* lin_channels, bool src_merge,
               bool dst_merge);

  // The databases of a frame kind's channel, or null.
  const DatabaseList* databases(int32_t kind, uint8_t channel) const {
    if (kind == kFrameCan) return can_by_channel_[channel];
    if (kind == kFrameLin) return lin_by_channel_[channel];
    return nullptr;
  }
  // The table's word for a frame's address on a channel and kind: the
  // addresses as the output name keeps them.
  uint64_t word(const FrameAddress& address, uint8_t channel, bool lin) const {
    // Key, channel, kind and the address bytes the output name keeps (the
    // presence flags always count).
    return address.key | uint64_t{channel} << 32 | uint64_t{lin} << 40 |
           uint64_t{src_merge_ ? uint8_t{0} : address.source} << 41 |
           uint64_t{address.has_source} << 49 |
           uint64_t{dst_merge_ ? uint8_t{0} : address.destination} << 50 |
           uint64_t{address.has_destination} << 58;
  }
  // The entry of (database, word), made on first use. Valid until the
  // next call of entry.
  Entry& entry(const MessageDatabase& db, uint64_t word);
  // An entry made afresh, not kept in the table.
  static Entry make(const MessageDatabase& db, uint64_t word);

  // Fetches ahead what decoding the entry's frame reads of its plan: the
  // signals' records alone without multiplexers, the whole plan otherwise.
  static void fetch_plan(const Entry& e) {
    if (!e.plan) return;
    const void* start = e.multiplexed ? static_cast<const void*>(e.plan) : e.plan->codes();
    const char* p = static_cast<const char*>(start);
    for (uint32_t i = 0; i < e.plan_lines; ++i) prefetch_for_read(p + 64 * i);
  }
  // Fetches what the frames of hints will need, in two steps, one per hint:
  // first their table slots, then (the slot at hand by the next hint) their
  // plans and writers. True when hints are of use: once the frames have
  // met more messages than the cache holds comfortably.
  bool take_hints(const FrameHint* hints, int count, const OutputSet& outputs);

 private:
  // The entry of (db, word) if there is one, looked for from slot on; slot
  // is set to where it was found.
  const Entry* find(const MessageDatabase* db, uint64_t word, size_t& slot) const;
  void grow();
  void fetch_hinted(const OutputSet& outputs);
  void hint(const FrameHint& hint, const OutputSet& outputs);

  const DatabaseList* can_by_channel_[256] = {};
  const DatabaseList* lin_by_channel_[256] = {};
  bool src_merge_, dst_merge_;
  std::vector<Entry> table_;  // open addressing, size a power of two
  size_t entries_ = 0;
  // The hinted frame whose slots were fetched and whose plans and writers
  // the next hint fetches: per database of its channel, the word and slot.
  static constexpr int kHintedDatabases = 4;
  struct Hinted {
    const MessageDatabase* db = nullptr;
    uint64_t word = 0;
    size_t slot = 0;
  };
  Hinted hinted_[kHintedDatabases];
  int hinted_count_ = 0;
};

}  // namespace quillon
