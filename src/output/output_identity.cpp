#include "output/output_identity.h"

#include <functional>

namespace quillon {

namespace {

uint64_t mix(uint64_t h, uint64_t v) {
  h ^= v + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2);
  return h;
}

}  // namespace

void OutputIdentity::set(int32_t frame_kind, uint8_t frame_channel, const FrameAddress& address,
                         bool src_merge, bool dst_merge, const DecodedMessage& decoded) {
  kind = frame_kind;
  channel = frame_channel;
  database_key = address.key;
  has_source = address.has_source;
  has_destination = address.has_destination;
  source = src_merge ? 0 : address.source;
  destination = dst_merge ? 0 : address.destination;
  message = decoded.message->name;
  values.clear();
  // The names' hashes come with the decoded values and the message.
  uint64_t h = mix(decoded.message->name_hash, std::hash<std::string_view>()(logger_id));
  h = mix(h, uint64_t{static_cast<uint32_t>(kind)} | uint64_t{channel} << 32 |
                 uint64_t{source} << 40 | uint64_t{has_source} << 48 | uint64_t{destination} << 49 |
                 uint64_t{has_destination} << 57);
  h = mix(h, database_key);
  for (const DecodedValue& v : decoded.values) {
    values.push_back(v.name());
    h = mix(h, v.name_hash);
  }
  hash = h;
}

}  // namespace quillon
