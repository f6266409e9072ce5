// Which output a decoded message goes to: the fields that tell one output
// from another, compared field by field. Two frames with equal identities
// go to one file; any difference gives another output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "dbc/decode.h"

namespace quillon {

// The database key and, on J1939, the addresses of a frame's id.
struct FrameAddress {
  uint32_t key = 0;
  uint8_t source = 0, destination = 0;
  bool has_source = false, has_destination = false;
};

struct OutputIdentity {
  // Of the fields below, so that most unequal identities differ at once.
  uint64_t hash = 0;
  // The 15-byte logger folder name and the full logger ID text: the folder
  // name keeps only 15 letters and digits, the full text keeps loggers
  // apart whose IDs differ beyond that, so their outputs clash on one path
  // (and get told apart) instead of merging into one file.
  std::string logger_folder, logger_id;
  int32_t kind = 0;
  uint8_t channel = 0;
  uint32_t database_key = 0;
  // Addresses as the output name keeps them: a merged one is 0, whether
  // the frame had it still counts.
  uint8_t source = 0, destination = 0;
  bool has_source = false, has_destination = false;
  std::string_view message;  // its name, in its database
  // Every decoded value's name in decoding order, ignored ones included:
  // a frame cut short or another multiplexer group is another output.
  std::vector<std::string_view> values;

  bool operator==(const OutputIdentity&) const = default;

  // Fills every field but the logger's (set once per log) from a frame's
  // channel, kind, address and decoded values, and the hash. Reuses the
  // storage of values: no allocation once it has grown.
  void set(int32_t frame_kind, uint8_t frame_channel, const FrameAddress& address, bool src_merge,
           bool dst_merge, const DecodedMessage& decoded);
};

struct OutputIdentityHash {
  size_t operator()(const OutputIdentity& identity) const {
    return static_cast<size_t>(identity.hash);
  }
};

}  // namespace quillon
