// Output naming: which file a decoded message goes to. The key record and
// the logger folder name identify an output; the writer key is a digest of
// them and of the decoded values' name hashes; the relative path names the
// file below the output folder.
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

// 24 bytes that identify the output of one decoded message; multi-byte
// fields little-endian, unused bytes 0.
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

// The exact bytes the writer key digests, appended to out (cleared first):
// the 15-byte logger folder name, the key record with the merged addresses
// zeroed (their presence flags kept), each decoded value's 32-bit name hash,
// ignored values included, then the full logger ID text and its length (4
// bytes). The folder name keeps only 15 letters and digits; the full text
// keeps loggers apart whose IDs differ beyond that, so their outputs clash
// on one path (and get told apart) instead of merging into one file.
void writer_key_bytes(std::string_view logger_folder, const KeyRecord& record, bool src_merge,
                      bool dst_merge, const DecodedMessage& decoded, std::string_view logger_id,
                      std::string& out);

// The first 8 bytes of the MD5 digest of bytes, read little-endian.
uint64_t writer_key(std::string_view bytes);

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
