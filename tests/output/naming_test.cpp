#include "output/naming.h"
#include "output/output_identity.h"

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

TEST_F(Naming, OutputIdentityTellsApartWhatEveryFieldCovers) {
  // Field by field: the logger's folder name and full text, kind, channel,
  // database key, the kept addresses with their presence, the message and
  // every decoded value's name in order (ignored ones too). Equal
  // identities hash alike; a merged address does not count.
  add_value(msg->signals[0].get(), 7);
  add_value(mux, 1, /*ignored=*/true);
  FrameAddress address;
  address.key = 0x80F00400;
  address.source = 0x03;
  address.has_source = true;
  address.destination = 0x42;
  address.has_destination = true;
  auto make = [&](const FrameAddress& a, bool src_merge, bool dst_merge, const char* logger,
                  int32_t kind = 1, uint8_t channel = 1) {
    OutputIdentity id;
    id.logger_folder = logger_folder_name(logger);
    id.logger_id = logger;
    id.set(kind, channel, a, src_merge, dst_merge, decoded);
    return id;
  };
  const OutputIdentity base = make(address, false, true, "ABC-123");
  EXPECT_EQ(base.values, (std::vector<std::string_view>{"Speed", "Mux_Sel"}));
  FrameAddress other_destination = address;
  other_destination.destination = 0x43;
  const OutputIdentity same = make(other_destination, false, true, "ABC-123");
  EXPECT_EQ(same, base);
  EXPECT_EQ(OutputIdentityHash()(same), OutputIdentityHash()(base));

  FrameAddress other_source = address, no_destination = address, other_key = address;
  other_source.source = 0x04;
  no_destination.has_destination = false;
  no_destination.destination = 0;
  other_key.key = 0x80F00500;
  std::vector<OutputIdentity> differ = {
      make(address, true, true, "ABC-123"),    // source merged
      make(address, false, false, "ABC-123"),  // destination kept
      make(other_source, false, true, "ABC-123"),
      make(no_destination, false, true, "ABC-123"),
      make(other_key, false, true, "ABC-123"),
      make(address, false, true, "ABC123"),  // same folder name, other logger
      make(address, false, true, "ABC-123", 4),
      make(address, false, true, "ABC-123", 1, 2),
  };
  OutputIdentity fewer = base;
  fewer.values.pop_back();
  differ.push_back(fewer);
  OutputIdentity swapped = base;
  std::swap(swapped.values[0], swapped.values[1]);
  differ.push_back(swapped);
  OutputIdentity other_message = base;
  other_message.message = "EEC2";
  differ.push_back(other_message);
  for (size_t i = 0; i < differ.size(); ++i) EXPECT_FALSE(differ[i] == base) << i;
}

}  // namespace
}  // namespace quillon
