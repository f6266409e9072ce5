// Any bytes as a DBC file: the parser must load or refuse them, never crash;
// a loaded database is also dumped as JSON, and every message's decode plan
// must give what the walk of its Signal tree gives, on payloads of lengths
// up to 64 bytes made from the input itself.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "../tests/dbc/signal_tree.h"
#include "dbc/dbc_parser.h"
#include "dbc/decode.h"
#include "dbc/json_dump.h"

namespace {

bool same(double a, double b) {
  return (a != a && b != b) || std::memcmp(&a, &b, sizeof a) == 0;
}

void check_plans(const quillon::MessageDatabase& db, const uint8_t* data, size_t size) {
  quillon::DecodedMessage by_plan, by_tree;
  std::vector<uint8_t> payload;
  for (const auto& [key, message] : db.messages()) {
    if (!message->plan) std::abort();
    for (size_t length = 0; length <= 64; length += 1 + length / 4) {
      payload.assign(length, 0);
      // Mixed, so that the text's bytes give every bit somewhere.
      for (size_t i = 0; i < length && size != 0; ++i) {
        payload[i] = static_cast<uint8_t>(data[(key + 13 * length + i) % size] * 151 + length);
      }
      quillon::decode_message(*message->plan, payload.data(), length, by_plan);
      quillon::tree::decode_message(*message, payload.data(), length, by_tree);
      if (by_plan.values.size() != by_tree.values.size()) std::abort();
      for (size_t i = 0; i < by_plan.values.size(); ++i) {
        const quillon::DecodedValue& p = by_plan.values[i];
        const quillon::DecodedValue& t = by_tree.values[i];
        if (p.signal != t.signal || p.ignored != t.ignored || !same(p.value, t.value)) std::abort();
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 64 * 1024) return 0;
  auto db = quillon::parse_dbc_bytes(std::string_view(reinterpret_cast<const char*>(data), size));
  if (db) {
    (void)quillon::database_json(*db);
    check_plans(*db, data, size);
  }
  return 0;
}
