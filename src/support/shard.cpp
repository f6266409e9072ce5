#include "support/shard.h"

namespace quillon {

uint64_t fnv1a64(std::string_view bytes) {
  uint64_t hash = 0xcbf29ce484222325ULL;
  for (char c : bytes) {
    hash ^= static_cast<uint8_t>(c);
    hash *= 0x100000001b3ULL;
  }
  return hash;
}

uint32_t shard_of_logger_folder(std::string_view folder, uint32_t count) {
  uint64_t hash = 0xcbf29ce484222325ULL;
  auto add = [&hash](char c) {
    hash ^= static_cast<uint8_t>(c);
    hash *= 0x100000001b3ULL;
  };
  for (char c : folder) add(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
  for (char c : std::string_view("_out")) add(c);
  return static_cast<uint32_t>(hash % count);
}

namespace {

// A decimal number below 2^32 without sign or spaces.
bool parse_count(std::string_view text, uint32_t& value) {
  if (text.empty() || text.size() > 10) return false;
  uint64_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + static_cast<uint64_t>(c - '0');
  }
  if (n > 0xffffffffULL) return false;
  value = static_cast<uint32_t>(n);
  return true;
}

}  // namespace

bool parse_shard(std::string_view text, uint32_t& index, uint32_t& count) {
  const size_t slash = text.find('/');
  if (slash == std::string_view::npos) return false;
  uint32_t k = 0;
  uint32_t n = 0;
  if (!parse_count(text.substr(0, slash), k) || !parse_count(text.substr(slash + 1), n)) {
    return false;
  }
  if (n == 0 || k >= n) return false;
  index = k;
  count = n;
  return true;
}

}  // namespace quillon
