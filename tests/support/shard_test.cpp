// The shard hash is part of the interface (another program may compute it):
// pinned to values of an independent reading of FNV-1a 64.
#include "support/shard.h"

#include <gtest/gtest.h>

namespace quillon {
namespace {

TEST(Shard, HashIsFnv1a64OfTheFoldedFolderNameAndOut) {
  EXPECT_EQ(fnv1a64(""), 0xcbf29ce484222325ULL);
  EXPECT_EQ(fnv1a64("a"), 0xaf63dc4c8601ec8cULL);
  EXPECT_EQ(fnv1a64("truck00_out"), 0x977c5a2c0686f24fULL);
  EXPECT_EQ(shard_of_logger_folder("TRUCK00", 7), 0x977c5a2c0686f24fULL % 7);
  EXPECT_EQ(shard_of_logger_folder("truck00", 7), shard_of_logger_folder("TrUcK00", 7));
  EXPECT_EQ(shard_of_logger_folder("ABC123", 4), 2u);
  for (uint32_t n = 1; n < 40; ++n) EXPECT_LT(shard_of_logger_folder("X1", n), n);
}

TEST(Shard, OnlyKOfNWithKBelowNParses) {
  uint32_t k = 9;
  uint32_t n = 9;
  EXPECT_TRUE(parse_shard("0/1", k, n));
  EXPECT_EQ(k, 0u);
  EXPECT_EQ(n, 1u);
  EXPECT_TRUE(parse_shard("3/4", k, n));
  EXPECT_EQ(k, 3u);
  EXPECT_EQ(n, 4u);
  EXPECT_TRUE(parse_shard("4294967294/4294967295", k, n));
  for (const char* bad : {"4/4", "-1/3", "1/0", "x", "", "/", "1/", "/3", "+1/3", "1/3 ", " 1/3",
                          "1/3/5", "0x1/3", "1/4294967296", "99999999999/3"}) {
    EXPECT_FALSE(parse_shard(bad, k, n)) << bad;
  }
  EXPECT_EQ(k, 4294967294u);  // untouched by the refused ones
}

}  // namespace
}  // namespace quillon
