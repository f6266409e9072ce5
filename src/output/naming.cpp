#include "output/naming.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "input/frame.h"
#include "platform/printf_format.h"

namespace quillon {

namespace {

bool is_ascii_alnum(uint8_t c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

void put_le(uint8_t* at, uint64_t value, int n) {
  for (int i = 0; i < n; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

void append_format(std::string& out, const char* format, ...) QUILLON_PRINTF_FORMAT(2, 3);

void append_format(std::string& out, const char* format, ...) {
  char buffer[128];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (n < 0) return;
  if (static_cast<size_t>(n) < sizeof buffer) {
    out.append(buffer, static_cast<size_t>(n));
    return;
  }
  size_t at = out.size();
  out.resize(at + static_cast<size_t>(n) + 1);
  va_start(args, format);
  std::vsnprintf(&out[at], static_cast<size_t>(n) + 1, format, args);
  va_end(args);
  out.resize(at + static_cast<size_t>(n));
}

}  // namespace

std::string sanitize(std::string_view text) {
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    uint8_t lead = static_cast<uint8_t>(text[i]);
    if (is_ascii_alnum(lead)) out += static_cast<char>(lead);
    i += lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  }
  return out;
}

std::string logger_folder_name(std::string_view logger_id) {
  std::string name = sanitize(logger_id);
  name.resize(kLoggerFolderSize, '\0');
  return name;
}

void KeyRecord::set_name_hash(uint64_t hash) {
  put_le(bytes, hash, 8);
}

void KeyRecord::set_kind(int32_t kind) {
  put_le(bytes + 8, static_cast<uint32_t>(kind), 4);
}

void KeyRecord::set_database_key(uint32_t key) {
  put_le(bytes + 16, key, 4);
}

int32_t KeyRecord::kind() const {
  uint32_t k = 0;
  for (int i = 3; i >= 0; --i) k = (k << 8) | bytes[8 + i];
  return static_cast<int32_t>(k);
}

bool mux_number(double value, uint32_t& out) {
  // Both bounds are exact doubles; NaN fails every comparison.
  if (!(value >= -9223372036854775808.0 && value < 9223372036854775808.0)) return false;
  out = static_cast<uint32_t>(static_cast<uint64_t>(static_cast<int64_t>(value)));
  return true;
}

void relative_path(std::string_view logger_folder, std::string_view root_suffix,
                   const KeyRecord& record, bool src_merge, bool dst_merge,
                   const DecodedMessage& decoded, const PathDate& date, uint32_t session,
                   uint32_t split, std::string& out) {
  out.clear();
  out.reserve(100);
  size_t folder_length = logger_folder.find('\0');
  if (folder_length == std::string_view::npos) folder_length = logger_folder.size();
  out.append(logger_folder.substr(0, folder_length));
  out.append(root_suffix);
  append_format(out, "/%s%u", record.kind() == kFrameCan ? "CAN" : "LIN",
                static_cast<unsigned>(record.channel()));
  out += '_';
  out += sanitize(decoded.message->name);
  for (const DecodedValue& v : decoded.values) {
    if (!v.is_multiplexer) continue;
    uint32_t number;
    if (!mux_number(v.value, number)) continue;
    const MuxGroup* group = group_containing(v.signal->groups, number);
    if (!group) continue;
    out += '_';
    out += sanitize(v.name());
    append_format(out, "_M%02X", group->from);
  }
  if (record.source_present() && !src_merge) append_format(out, "_S%02X", record.source());
  if (record.destination_present() && !dst_merge) {
    append_format(out, "_D%02X", record.destination());
  }
  append_format(out, "/%04i/%02i/%02i/%08u_%08u", date.year, date.month, date.day, session, split);
}

}  // namespace quillon
