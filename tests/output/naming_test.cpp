#include "output/naming.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace quillon {
namespace {

TEST(Sanitize, KeepsAsciiLettersAndDigitsStepsByLeadByte) {
  struct Row {
    std::string in, out;
  } rows[] = {
      {"Engine_Data", "EngineData"},
      {"ABC-123 x.y", "ABC123xy"},
      {"_-. ,;", ""},
      {"", ""},
      // Lead bytes decide the step: the bytes inside a sequence are skipped
      // even when they look like letters.
      {"a\xC3"
       "Ab",
       "ab"},
      {"\xE2"
       "AAb",
       "b"},
      {"\xF0"
       "AAAb",
       "b"},
      {"\xFF"
       "AAAb",
       "b"},
      // Cut in the middle of a sequence at the end: nothing past the end.
      {"ok\xF0\x9F", "ok"},
      {std::string("z\xE2", 2), "z"},
  };
  for (const Row& r : rows) EXPECT_EQ(sanitize(r.in), r.out) << r.in;
  EXPECT_EQ(logger_folder_name("ABCDEFGHIJKLMNOPQRST"), "ABCDEFGHIJKLMNO");
  EXPECT_EQ(logger_folder_name("AB-12"), std::string("AB12\0\0\0\0\0\0\0\0\0\0\0", 15));
}

TEST(MuxNumber, TruncatesThroughSigned64) {
  uint32_t n = 99;
  EXPECT_TRUE(mux_number(1.5, n));
  EXPECT_EQ(n, 1u);
  EXPECT_TRUE(mux_number(-1.5, n));
  EXPECT_EQ(n, 0xFFFFFFFFu);
  EXPECT_TRUE(mux_number(4294967297.0, n));
  EXPECT_EQ(n, 1u);
  EXPECT_TRUE(mux_number(-9223372036854775808.0, n));
  EXPECT_EQ(n, 0u);
  EXPECT_FALSE(mux_number(9223372036854775808.0, n));
  EXPECT_FALSE(mux_number(std::numeric_limits<double>::quiet_NaN(), n));
  EXPECT_FALSE(mux_number(-std::numeric_limits<double>::infinity(), n));
}

// A J1939 message EEC1 whose switch Mux has groups 1 and 2..3.
class Naming : public ::testing::Test {
 protected:
  void SetUp() override {
    db = MessageDatabase::create(kBusJ1939);
    msg = db->add_message("EEC1", 0x80F00400, 8, kTransportNone, "", false);
    SignalParams p;
    p.bit_length = 8;
    add_signal(&msg->signals, "Speed", p, false);
    mux = add_signal(&msg->signals, "Mux_Sel", p, false);
    add_group(mux->groups, 1, 1);
    add_group(mux->groups, 2, 3);
    decoded.message = msg;
    record.set_name_hash(msg->name_hash);
    record.set_kind(1);
    record.set_channel(1);
    record.set_database_key(0x80F00400);
  }
  void add_value(const Signal* s, double value, bool ignored = false) {
    DecodedValue& v = decoded.values.emplace_back();
    v.signal = s;
    v.name_hash = static_cast<uint32_t>(s->name_hash);
    v.ignored = ignored;
    v.is_multiplexer = !s->groups.empty();
    v.value = value;
  }
  std::string path(bool src_merge = false, bool dst_merge = true, const char* suffix = "_out") {
    std::string out;
    relative_path(logger_folder_name("ABC123"), suffix, record, src_merge, dst_merge, decoded,
                  PathDate{2024, 5, 17}, 12, 3, out);
    return out;
  }

  std::unique_ptr<MessageDatabase> db;
  Message* msg = nullptr;
  Signal* mux = nullptr;
  DecodedMessage decoded;
  KeyRecord record;
};

TEST_F(Naming, RelativePathPieces) {
  add_value(msg->signals[0].get(), 7);
  record.set_source(0x00);
  EXPECT_EQ(path(), "ABC123_out/CAN1_EEC1_S00/2024/05/17/00000012_00000003");
  EXPECT_EQ(path(true), "ABC123_out/CAN1_EEC1/2024/05/17/00000012_00000003");
  EXPECT_EQ(path(false, true, ""), "ABC123/CAN1_EEC1_S00/2024/05/17/00000012_00000003");
  record.set_destination(0xAB);
  EXPECT_EQ(path(false, false), "ABC123_out/CAN1_EEC1_S00_DAB/2024/05/17/00000012_00000003");
  record.clear_addresses();
  record.set_kind(4);
  record.set_channel(2);
  EXPECT_EQ(path(), "ABC123_out/LIN2_EEC1/2024/05/17/00000012_00000003");
}

TEST_F(Naming, MultiplexerPartNamesTheGroupsFromValue) {
  add_value(mux, 3);  // group 2..3 is named after its from value
  EXPECT_EQ(path(), "ABC123_out/CAN1_EEC1_MuxSel_M02/2024/05/17/00000012_00000003");
  decoded.values[0].value = 1.5;  // decoding chose no group, the path still says 1
  EXPECT_EQ(path(), "ABC123_out/CAN1_EEC1_MuxSel_M01/2024/05/17/00000012_00000003");
  for (double none : {9.0, -1.0, std::numeric_limits<double>::quiet_NaN(), 1e300}) {
    decoded.values[0].value = none;
    EXPECT_EQ(path(), "ABC123_out/CAN1_EEC1/2024/05/17/00000012_00000003") << none;
  }
}

TEST_F(Naming, WriterKeyCoversFolderRecordMergesAndAllValueHashes) {
  add_value(msg->signals[0].get(), 7);
  add_value(mux, 1, /*ignored=*/true);
  record.set_source(0x03);
  record.set_destination(0x42);
  std::string bytes;
  writer_key_bytes(logger_folder_name("ABC123"), record, false, true, decoded, "ABC-123", bytes);
  // The full logger ID text and its length follow the value hashes.
  ASSERT_EQ(bytes.size(), 15u + 24 + 8 + 7 + 4);
  EXPECT_EQ(bytes.substr(0, 15), std::string("ABC123\0\0\0\0\0\0\0\0\0", 15));
  std::string r = bytes.substr(15, 24);
  EXPECT_EQ(uint8_t(r[8]), 1);      // kind, little-endian
  EXPECT_EQ(uint8_t(r[12]), 1);     // channel
  EXPECT_EQ(uint8_t(r[16]), 0x00);  // database key 0x80F00400, little-endian
  EXPECT_EQ(uint8_t(r[17]), 0x04);
  EXPECT_EQ(uint8_t(r[19]), 0x80);
  EXPECT_EQ(uint8_t(r[20]), 0x03);  // source kept
  EXPECT_EQ(uint8_t(r[21]), 1);
  EXPECT_EQ(uint8_t(r[22]), 0x00);  // destination merged, its flag kept
  EXPECT_EQ(uint8_t(r[23]), 1);
  uint32_t h = static_cast<uint32_t>(mux->name_hash);  // the ignored value counts
  EXPECT_EQ(bytes.substr(43, 4), std::string(reinterpret_cast<const char*>(&h), 4));
  EXPECT_EQ(bytes.substr(47), std::string("ABC-123\x07\0\0\0", 11));

  // Same output only when the covered bytes agree.
  uint64_t key = writer_key(bytes);
  std::string other;
  writer_key_bytes(logger_folder_name("ABC123"), record, true, true, decoded, "ABC-123", other);
  EXPECT_NE(writer_key(other), key);
  record.set_destination(0x43);
  writer_key_bytes(logger_folder_name("ABC123"), record, false, true, decoded, "ABC-123", other);
  EXPECT_EQ(writer_key(other), key);
  // Same folder name, other logger: another output.
  writer_key_bytes(logger_folder_name("ABC123"), record, false, true, decoded, "ABC123", other);
  EXPECT_NE(writer_key(other), key);
}

TEST(WriterKey, FirstEightDigestBytesLittleEndian) {
  // MD5("") = d41d8cd98f00b204 e9800998ecf8427e
  EXPECT_EQ(writer_key(""), 0x04B2008FD98C1DD4ull);
}

}  // namespace
}  // namespace quillon
