#include "dbc/database.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "dbc/json_dump.h"
#include "log_capture.h"

namespace quillon {
namespace {

using testing_support::LogCapture;

TEST(Keys, CanJ1939AndLin) {
  struct Row {
    uint32_t id;
    bool extended;
    uint32_t can, j1939;
  } rows[] = {
      {0x7FF, false, 0x000007FF, 0x000007FF},
      {0x7FF, true, 0x800007FF, 0x80000000},
      {0xFFFFFFFF, false, 0x7FF, 0x7FF},
      {0x18FEF100, true, 0x98FEF100, 0x80FEF100},  // PDU2, priority 6
      {0x0CFEF1FE, true, 0x8CFEF1FE, 0x80FEF100},  // same group, other priority/source
      {0x18EA00F9, true, 0x98EA00F9, 0x80EA0000},  // PDU1: destination dropped
      {0x18EAFF00, true, 0x98EAFF00, 0x80EA0000},
      {0x19FEF100, true, 0x99FEF100, 0x81FEF100},  // data page kept
      {0x1FFFFFFF, true, 0x9FFFFFFF, 0x83FFFF00},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(can_key(r.id, r.extended), r.can) << std::hex << r.id;
    EXPECT_EQ(j1939_key(r.id, r.extended), r.j1939) << std::hex << r.id;
  }
  EXPECT_EQ(lin_key(0x7F), 0x3Fu);
  EXPECT_EQ(dbcMsgKey2DbMsgKey(kBusCan, 2364540158u), 0x8CF004FEu);
  EXPECT_EQ(dbcMsgKey2DbMsgKey(kBusJ1939, 2364540158u), 0x80F00400u);
  EXPECT_EQ(dbcMsgKey2DbMsgKey(kBusJ1939, 0x123), 0x123u);
  EXPECT_EQ(dbcMsgKey2DbMsgKey(kBusLin, 0x80000011u), 0x11u);
  LogCapture log;
  EXPECT_EQ(dbcMsgKey2DbMsgKey(0, 0x123), 0u);
  EXPECT_NE(log.text().find("F dbcMsgKey2DbMsgKey called with invalid bus type"),
            std::string::npos);
}

uint64_t rotl26(uint64_t h) {
  return h ^ ((h << 26) | (h >> 38));
}

TEST(NameHash, Branches) {
  const uint64_t m = 0xC6A4A7935BD1E99DULL;
  EXPECT_EQ(name_hash(""), 1u);
  EXPECT_EQ(name_hash("ABCD"), 0x44434241ULL * m);
  EXPECT_EQ(name_hash("ABCDEFGH"), 0x4847464544434241ULL * m);
  // Short names: first byte, then h * 1023 - b for every byte.
  uint64_t h = 'S';
  h = h * 1023 - 'S';
  EXPECT_EQ(name_hash("S"), rotl26(h));
  // A whole word followed by a tail.
  h = 'A';
  h += 0x4847464544434241ULL * m;
  h = h * 1023 - 'I';
  h = h * 1023 - 'J';
  EXPECT_EQ(name_hash("ABCDEFGHIJ"), rotl26(h));
  // Sixteen bytes: two words, no tail.
  h = 'A';
  h += 0x4847464544434241ULL * m;
  h += 0x504F4E4D4C4B4A49ULL * m;
  EXPECT_EQ(name_hash("ABCDEFGHIJKLMNOP"), rotl26(h));
}

TEST(MessageDatabase, OrderedByUnsignedKeyAndCollisionRefused) {
  auto db = MessageDatabase::create(kBusJ1939);
  ASSERT_TRUE(db);
  Message* high = db->add_message("High", 0x80FEF100u, 8, kTransportNone, "", false);
  Message* low = db->add_message("Low", 0x100, 8, kTransportIsoTp, "", true);
  ASSERT_TRUE(high && low);
  EXPECT_EQ(high->database, db.get());
  EXPECT_EQ(high->name_hash, name_hash("High"));
  ASSERT_EQ(db->messages().size(), 2u);
  EXPECT_EQ(db->messages().begin()->second.get(), low);  // 0x100 before 0x80FEF100
  EXPECT_EQ(db->find_message(0x80FEF100u), high);
  EXPECT_EQ(db->find_message(0x101), nullptr);

  LogCapture log;
  EXPECT_EQ(db->add_message("Again", 0x80FEF100u, 4, kTransportNone, "", false), nullptr);
  EXPECT_NE(log.text().find("E Message key collision: 2164191488 (Again, High)"),
            std::string::npos);
  EXPECT_EQ(db->messages().size(), 2u);
  EXPECT_EQ(db->find_message(0x80FEF100u)->length, 8u);
}

SignalParams params(uint32_t order, int32_t type, uint16_t pos, uint8_t len) {
  SignalParams p;
  p.byte_order = order;
  p.value_type = type;
  p.bit_position = pos;
  p.bit_length = len;
  return p;
}

TEST(SignalTree, NestedLookupGroupsAndRefusals) {
  SignalList top;
  SignalParams p = params(kLittleEndian, kValueUnsigned, 0, 8);
  EXPECT_EQ(add_signal(nullptr, "X", p, false), nullptr);
  EXPECT_EQ(add_signal(&top, "X", params(kLittleEndian, 0, 0, 8), false), nullptr);
  EXPECT_TRUE(top.empty());

  Signal* plain = add_signal(&top, "Plain", p, false);
  Signal* sw = add_signal(&top, "Switch", p, false);
  ASSERT_TRUE(plain && sw);
  EXPECT_EQ(add_group(sw->groups, 5, 3), nullptr);
  MuxGroup* g1 = add_group(sw->groups, 0, 1);
  MuxGroup* g2 = add_group(sw->groups, 2, 2);
  MuxGroup* g25 = add_group(sw->groups, 2, 5);
  ASSERT_TRUE(g1 && g2 && g25);
  EXPECT_EQ(find_group(sw->groups, 2, 5), g25);
  EXPECT_EQ(find_group(sw->groups, 2, 3), nullptr);
  EXPECT_EQ(group_containing(sw->groups, 2), g2);  // first in list order
  EXPECT_EQ(group_containing(sw->groups, 4), g25);
  EXPECT_EQ(group_containing(sw->groups, 6), nullptr);

  Signal* inner = add_signal(&g2->signals, "Inner", p, false);
  MuxGroup* deep = add_group(inner->groups, 7, 7);
  Signal* nested = add_signal(&deep->signals, "Nested", p, true);
  // A later top-level signal of the same name is not reached: pre-order.
  add_signal(&top, "Nested", p, false);
  EXPECT_EQ(find_signal(top, "Nested"), nested);
  EXPECT_EQ(find_signal(top, "Inner"), inner);
  EXPECT_EQ(find_signal(top, "Nope"), nullptr);
  EXPECT_TRUE(nested->ignored);
}

// The raw value assembled from the layout, against a bit-by-bit reference,
// for every position and length in a 10-byte payload.
uint64_t raw_reference(const SignalParams& p, const uint8_t* payload) {
  uint64_t raw = 0;
  for (int i = 0; i < p.bit_length; ++i) {
    int k = p.bit_position + i;
    int bit = p.byte_order == kLittleEndian ? (payload[k / 8] >> (k % 8)) & 1
                                            : (payload[k / 8] >> (7 - k % 8)) & 1;
    if (p.byte_order == kLittleEndian) {
      raw |= static_cast<uint64_t>(bit) << i;
    } else {
      raw = (raw << 1) | static_cast<uint64_t>(bit);
    }
  }
  return raw;
}

TEST(SignalLayout, RawValueMatchesBitByBitReference) {
  uint8_t payload[10];
  uint32_t seed = 12345;
  for (uint8_t& b : payload) {
    seed = seed * 1103515245u + 12345u;
    b = static_cast<uint8_t>(seed >> 16);
  }
  SignalList list;
  for (uint32_t order : {kBigEndian, kLittleEndian}) {
    for (int len = 1; len <= 64; ++len) {
      for (int pos = 0; pos + len <= 80; ++pos) {
        SignalParams p =
            params(order, kValueUnsigned, static_cast<uint16_t>(pos), static_cast<uint8_t>(len));
        Signal* s = add_signal(&list, "S", p, false);
        ASSERT_EQ(s->layout.end_bit, static_cast<uint32_t>(pos + len));
        ASSERT_LE(s->layout.first_byte + s->layout.byte_count, 10u);
        ASSERT_EQ(read_raw(s->layout, order, payload), raw_reference(p, payload))
            << "order " << order << " pos " << pos << " len " << len;
        list.clear();
      }
    }
  }
}

TEST(SignalLayout, ExamplesAndChecks) {
  SignalList list;
  const uint8_t le[] = {0x12, 0x34};
  Signal* s = add_signal(&list, "A", params(kLittleEndian, kValueUnsigned, 4, 12), false);
  EXPECT_EQ(read_raw(s->layout, kLittleEndian, le), 0x341u);
  s = add_signal(&list, "B", params(kBigEndian, kValueUnsigned, 0, 16), false);
  EXPECT_EQ(read_raw(s->layout, kBigEndian, le), 0x1234u);
  const uint8_t be[] = {0x00, 0x1F, 0xFE};
  s = add_signal(&list, "C", params(kBigEndian, kValueSigned, 11, 12), false);
  EXPECT_EQ(read_raw(s->layout, kBigEndian, be), 0xFFFu);
  EXPECT_EQ(s->layout.sign_extension, ~0xFFFULL);
  EXPECT_EQ(add_signal(&list, "D", params(kLittleEndian, kValueSigned, 0, 64), false)
                ->layout.sign_extension,
            0u);
  EXPECT_EQ(
      add_signal(&list, "E", params(kLittleEndian, kValueUnsigned, 0, 0), false)->layout.check,
      ExtractCheck::kZeroLength);
  EXPECT_EQ(add_signal(&list, "F", params(kLittleEndian, kValueFloat, 0, 31), false)->layout.check,
            ExtractCheck::kFloatLength);
  EXPECT_EQ(add_signal(&list, "G", params(kLittleEndian, kValueDouble, 0, 32), false)->layout.check,
            ExtractCheck::kDoubleLength);
  EXPECT_EQ(add_signal(&list, "H", params(kLittleEndian, kValueFloat, 0, 32), false)->layout.check,
            ExtractCheck::kOk);
}

TEST(JsonDump, ExampleByteForByte) {
  auto db = MessageDatabase::create(kBusCan);
  Message* m = db->add_message("M", 256, 8, kTransportNone, "", false);
  SignalParams p = params(kLittleEndian, kValueUnsigned, 0, 8);
  p.maximum = 255;
  add_signal(&m->signals, "S", p, false);
  EXPECT_EQ(database_json(*db),
            "{\"bus\":\"CAN\",\"messages\":[{ "
            "\"key\":256,\"name\":\"M\",\"tp\":\"\",\"ignored\":false,\"length\":8,\"signals\":[{"
            "\"name\":\"S\",\"ignored\":false,\"bitpos\":0,\"bitlen\":8,\"bigendian\":false,"
            "\"signed\":false,\"factor\":1.000000,\"offset\":0.000000,\"min\":0.000000,\"max\":255."
            "000000,\"multiplexed\":[]}]}]}");
}

TEST(JsonDump, EmptyArraysGroupsEscapesAndNonFinite) {
  auto empty = MessageDatabase::create(7);
  EXPECT_EQ(database_json(*empty), "{\"bus\":\"\",\"messages\":[]}");

  auto db = MessageDatabase::create(kBusJ1939);
  db->add_message("Bare", 0x80FEF100u, 1785, kTransportMux, "MUXTP#1:2:3:4", true);
  Message* m = db->add_message("Q\"\\\x01", 5, 8, kTransportIsoTp, "", false);
  SignalParams p = params(kBigEndian, kValueSigned, 7, 8);
  p.factor = std::numeric_limits<double>::infinity();
  p.minimum = -std::numeric_limits<double>::infinity();
  p.maximum = std::nan("");
  p.offset = -0.5;
  Signal* sw = add_signal(&m->signals, "Sw", p, false);
  add_signal(&add_group(sw->groups, 1, 2)->signals, "In", params(1, 4, 0, 64), true);
  add_group(sw->groups, 3, 3);
  EXPECT_EQ(
      database_json(*db),
      "{\"bus\":\"CAN-PGN\",\"messages\":["
      "{ \"key\":5,\"name\":\"Q\\\"\\\\\\u0001\",\"tp\":\"ISOTP\",\"ignored\":false,\"length\":8,"
      "\"signals\":[{\"name\":\"Sw\",\"ignored\":false,\"bitpos\":7,\"bitlen\":8,"
      "\"bigendian\":true,\"signed\":true,\"factor\":null,\"offset\":-0.500000,\"min\":null,"
      "\"max\":null,\"multiplexed\":[{\"from\":1,\"to\":2,\"signals\":[{\"name\":\"In\","
      "\"ignored\":true,\"bitpos\":0,\"bitlen\":64,\"bigendian\":false,\"signed\":false,"
      "\"factor\":1.000000,\"offset\":0.000000,\"min\":0.000000,\"max\":0.000000,"
      "\"multiplexed\":[]}]},{\"from\":3,\"to\":3,\"signals\":[]}]}]},"
      "{ \"key\":2164191488,\"name\":\"Bare\",\"tp\":\"MUXTP\",\"ignored\":true,\"length\":1785,"
      "\"signals\":[]}]}");
}

}  // namespace
}  // namespace quillon
