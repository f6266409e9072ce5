// Output naming: where a decoded message's file lies. The key record and
// the logger folder name give the parts of the relative path, which names
// the file below the output folder (output/output_identity tells outputs
// apart).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "dbc/decode.h"

namespace quillon {

// Keeps the lead byte of each UTF-8 sequence when it is an ASCII letter or
// digit; drops everything else. The sequence length follows from the lead
// byte alone, and the walk stops at the end of text, so a sequence cut at
// the end is never read past.
std::string sanitize(std::string_view text);

// The logger folder name: the sanitized logger ID cut to 15 bytes or padded
// with zero bytes to 15.
constexpr size_t kLoggerFolderSize = 15;
std::string logger_folder_name(std::string_view logger_id);

// 24 bytes that give the path parts of one decoded message's output;
// multi-byte fields little-endian, unused bytes 0.
struct KeyRecord {
  uint8_t bytes[24] = {};

  void set_name_hash(uint64_t hash);
  void set_kind(int32_t kind);
  void set_channel(uint8_t channel) { bytes[12] = channel; }
  void set_database_key(uint32_t key);
  void clear_addresses() { bytes[20] = bytes[21] = bytes[22] = bytes[23] = 0; }
  void set_source(uint8_t address) {
    bytes[20] = address;
    bytes[21] = 1;
  }
  void set_destination(uint8_t address) {
    bytes[22] = address;
    bytes[23] = 1;
  }
  int32_t kind() const;
  uint8_t channel() const { return bytes[12]; }
  bool source_present() const { return bytes[21] != 0; }
  bool destination_present() const { return bytes[23] != 0; }
  uint8_t source() const { return bytes[20]; }
  uint8_t destination() const { return bytes[22]; }
};

// A switch's physical value as the path's multiplexer number: truncated
// toward zero through a 64-bit signed integer, then its low 32 bits. False
// for NaN, infinities and values outside the 64-bit range.
bool mux_number(double value, uint32_t& out);

struct PathDate {
  int year = 0, month = 0, day = 0;
};

// The file's path relative to the output folder, without ".csv", e.g.
// ABC123_out/CAN1_EEC1_S00/2024/05/17/00000012_00000003.
void relative_path(std::string_view logger_folder, std::string_view root_suffix,
                   const KeyRecord& record, bool src_merge, bool dst_merge,
                   const DecodedMessage& decoded, const PathDate& date, uint32_t session,
                   uint32_t split, std::string& out);

}  // namespace quillon
