// Shards of a fleet: which of N runs over one input tree converts a
// logger's logs. The hash is fixed here, not taken from the standard
// library, so that every build on every platform, and any other program
// that follows the description below, puts a logger in the same shard:
//
//   shard = FNV-1a 64 (offset basis 0xcbf29ce484222325, prime
//           0x100000001b3) over the bytes of the logger folder name with
//           ASCII letters lowered, followed by "_out", modulo N.
//
// The logger folder name is what the output tree calls the logger: the
// ASCII letters and digits of the logger ID, at most 15. Folding case
// keeps loggers that meet in one folder on a case-insensitive file system
// in one shard.
#pragma once

#include <cstdint>
#include <string_view>

namespace quillon {

uint64_t fnv1a64(std::string_view bytes);

// The shard (0 to count - 1) of a logger folder name; count must not be 0.
uint32_t shard_of_logger_folder(std::string_view folder, uint32_t count);

// "K/N" with 0 <= K < N, both decimal without sign; false for anything
// else.
bool parse_shard(std::string_view text, uint32_t& index, uint32_t& count);

}  // namespace quillon
