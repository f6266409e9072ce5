// Any bytes as a DBC file: the parser must load or refuse them, never crash;
// a loaded database is also dumped as JSON.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "dbc/dbc_parser.h"
#include "dbc/json_dump.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 64 * 1024) return 0;
  auto db = quillon::parse_dbc_bytes(std::string_view(reinterpret_cast<const char*>(data), size));
  if (db) (void)quillon::database_json(*db);
  return 0;
}
