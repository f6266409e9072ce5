#include "dbc/dbc_parser.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <map>
#include <string>

#include "dbc/decode.h"
#include "dbc/json_dump.h"
#include "log_capture.h"

namespace quillon {
namespace {

using testing_support::LogCapture;

struct Parsed {
  std::unique_ptr<MessageDatabase> db;
  std::string log;
  bool logged(const std::string& text) const { return log.find(text) != std::string::npos; }
  size_t count(const std::string& text) const {
    size_t n = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
    return n;
  }
  // The log lines from the level letter on: date, time, pid and tid dropped.
  std::string lines() const { return testing_support::log_messages(log); }
};

Parsed parse(const std::string& text) {
  LogCapture capture;
  Parsed p;
  p.db = parse_dbc_bytes(text);
  p.log = capture.text();
  return p;
}

const char kCanHeader[] =
    "BA_DEF_  \"BusType\" STRING ;\n"
    "BA_DEF_DEF_  \"BusType\" \"CAN\";\n";

const Signal* top(const MessageDatabase& db, uint32_t key, const char* name) {
  const Message* m = db.find_message(key);
  return m ? find_signal(m->signals, name) : nullptr;
}

TEST(DbcParser, MessagesSignalsAndNumbers) {
  Parsed p = parse(std::string(kCanHeader) +
                   "VERSION \"\"\r\n"
                   "\r\n"
                   "BO_ 256 Engine: 8 ECU\n"
                   " SG_ Speed : 0|32@1+ (0.01,-5) [0|655.35] \"km/h\" Dash\n"
                   "\tSG_ Temp : 7|8@0- (1,-40) [-40|215] \"C\" Dash\r\n"
                   " SG_ Low : 0|4@0+ (1,0) [0|15] \"\" Dash\n"
                   " SG_ Mid : 12|12@0+ (1,0) [0|1] \"\" Dash\n"
                   " SG_ Big : 0|64@1+ (1e+3,0) [0|1.84467440737096E+019] \"\" Dash\n"
                   "BO_ 2364540158 Ext: 8 ECU\n"
                   " SG_ Fuel : 8|8@1+ (1,0) [0|255] \"\" Dash\n"
                   "BO_ 5 Unused: 0 Vector__XXX\n"
                   "SIG_VALTYPE_ 256 Speed : 1;\n"
                   "SIG_VALTYPE_ 256 Temp : 0;\n");
  ASSERT_TRUE(p.db);
  EXPECT_FALSE(p.logged("BusType"));
  EXPECT_EQ(p.db->bus_kind(), kBusCan);
  ASSERT_EQ(p.db->messages().size(), 3u);
  const Message* engine = p.db->find_message(256);
  ASSERT_TRUE(engine);
  EXPECT_EQ(engine->name, "Engine");
  EXPECT_EQ(engine->length, 8u);
  ASSERT_EQ(engine->signals.size(), 5u);
  EXPECT_EQ(engine->signals[0]->name, "Speed");  // file order

  const SignalParams& speed = top(*p.db, 256, "Speed")->params;
  EXPECT_EQ(speed.byte_order, kLittleEndian);
  // From SIG_VALTYPE_ 1. Speed was 16 bits long here, which pinned that the
  // type left the length as written; such a float is now refused at load
  // (UndecodableSignalsAreRefused), so Speed has the length of its format.
  EXPECT_EQ(speed.value_type, kValueFloat);
  EXPECT_EQ(speed.bit_position, 0);
  EXPECT_EQ(speed.bit_length, 32);
  EXPECT_DOUBLE_EQ(speed.factor, 0.01);
  EXPECT_DOUBLE_EQ(speed.offset, -5);
  EXPECT_DOUBLE_EQ(speed.maximum, 655.35);

  const SignalParams& temp = top(*p.db, 256, "Temp")->params;
  EXPECT_EQ(temp.byte_order, kBigEndian);
  EXPECT_EQ(temp.value_type, kValueSigned);  // type digit 0 leaves "-"
  EXPECT_EQ(temp.bit_position, 0);           // start bit 7, most significant first
  EXPECT_DOUBLE_EQ(temp.minimum, -40);
  EXPECT_EQ(top(*p.db, 256, "Low")->params.bit_position, 7);
  EXPECT_EQ(top(*p.db, 256, "Mid")->params.bit_position, 11);

  const SignalParams& big = top(*p.db, 256, "Big")->params;
  EXPECT_DOUBLE_EQ(big.factor, 1000);
  EXPECT_DOUBLE_EQ(big.maximum, 1.84467440737096e19);

  EXPECT_EQ(top(*p.db, 0x8CF004FE, "Fuel")->params.bit_position, 8);
  EXPECT_TRUE(p.db->find_message(5)->signals.empty());
}

// A2 used to be attached to message 1 here, the message before the line
// that did not match; it now goes with its own message line.
TEST(DbcParser, LinesThatDoNotMatchAreDropped) {
  Parsed p = parse(std::string(kCanHeader) +
                   "BO_ 1 First: 8 ECU\n"
                   " SG_ A : 0|8@1+ (1,0) [0|1] \"\" X\n"
                   " SG_ Bad : 0|8@2+ (1,0) [0|1] \"\" X\n"
                   " SG_ Word : 0|8@1+ (one,0) [0|1] \"\" X\n"
                   "BO_ 2 NoTransmitter: 8\n"  // no match: dropped with A2
                   " SG_ A2 : 8|8@1+ (1,0) [0|1] \"\" X\n"
                   "    \t  BO_ 3 Hidden: 8 ECU\n"  // spaces stay after the tab
                   " SG_ A3 : 8|8@1+ (1,0) [0|1] \"\" X\n"
                   "BO_ 4 N\xC3\xA4me: 8 ECU\n"
                   " SG_ \xFF : 0|8@1+ (1,0) [0|1] \"\" X\n");
  ASSERT_TRUE(p.db);
  EXPECT_EQ(p.db->messages().size(), 2u);
  EXPECT_FALSE(p.db->find_message(2));
  EXPECT_FALSE(p.db->find_message(3));
  ASSERT_EQ(p.db->find_message(1)->signals.size(), 1u);
  EXPECT_TRUE(top(*p.db, 1, "A"));
  EXPECT_EQ(p.db->find_message(4)->name, "N__me");
  ASSERT_EQ(p.db->find_message(4)->signals.size(), 1u);
  EXPECT_TRUE(top(*p.db, 4, "_"));
  EXPECT_EQ(p.lines(),
            "W Skipping malformed DBC line 5: SG_ Bad : 0|8@2+ (1,0) [0|1] \"\" X\n"
            "W Skipping malformed DBC line 6: SG_ Word : 0|8@1+ (one,0) [0|1] \"\" X\n"
            "W Skipping malformed DBC line 7: BO_ 2 NoTransmitter: 8\n");
}

TEST(DbcParser, MalformedLinesAreNamedByTheirNumber) {
  // Pieces between newlines are counted, empty ones too; the text shown is
  // the line as trimmed for matching, cut at 80 bytes.
  const std::string long_line = " SG_ " + std::string(90, 'N') + " : 0|8@2+ (1,0) [0|1] \"\" X";
  Parsed p = parse(std::string(kCanHeader) +                    // lines 1, 2
                   "\n"                                         // 3
                   "\r\n"                                       // 4
                   "BA_DEF_ \"Cycle\" INT 0 1;\n"               // 5: one blank before the name
                   "BA_DEF_DEF_ \"Cycle\";\n"                   // 6: no default
                   "BA_ Cycle 1;\n"                             // 7: name not quoted
                   "  BO_ 1 A: 8 ECU\t\n"                       // 8
                   "SG_MUL_VAL_ 1 S Sw 1-2, 4;\n"               // 9: a range without "-"
                   "  \tSIG_VALTYPE_ 1 S 1;\r\n"                // 10: no colon
                   + long_line + "\n" +                         // 11
                   "BO_TX_BU_ 1 : A;\n"                         // 12: no rule's prefix
                   "CM_ SG_ 1 S \"c\";\n"                       // 13: a kind that is not read
                   " SG_ Odd M1 : 8|8@1+ (1,0) [0|1] \"\" X\n"  // 14: odd indicator, no switch
                   "   \t  SG_ Hidden : 0|8@2+ (1,0) [0|1] \"\" X\n"  // 15: blanks stay
                   "BO_ 9 Last: 8");  // 16: the piece after the last newline
  ASSERT_TRUE(p.db);
  EXPECT_EQ(p.lines(),
            "W Skipping malformed DBC line 5: BA_DEF_ \"Cycle\" INT 0 1;\n"
            "W Skipping malformed DBC line 6: BA_DEF_DEF_ \"Cycle\";\n"
            "W Skipping malformed DBC line 7: BA_ Cycle 1;\n"
            "W Skipping malformed DBC line 9: SG_MUL_VAL_ 1 S Sw 1-2, 4;\n"
            "W Skipping malformed DBC line 10: SIG_VALTYPE_ 1 S 1;\n"
            "W Skipping malformed DBC line 11: " +
                long_line.substr(1, 80) +
                "\n"
                "W Skipping malformed DBC line 16: BO_ 9 Last: 8\n");
  const Signal* odd = top(*p.db, 1, "Odd");
  ASSERT_TRUE(odd);
  EXPECT_TRUE(odd->groups.empty());
}

TEST(DbcParser, SignalsOfADroppedMessageLineGoWithIt) {
  Parsed p = parse(std::string(kCanHeader) +
                   "BO_ 865 CLUTCH: 8 ECU\n"
                   " SG_ Pedal : 0|8@1+ (1,0) [0|255] \"\" X\n"
                   "BO_ 869 DSU CRUISE: 7 DSU\n"  // 5: a blank inside the name
                   " SG_ Set : 0|8@1+ (1,0) [0|255] \"\" X\n"
                   " SG_ Bad : 0|8@2+ (1,0) [0|255] \"\" X\n"  // no message of its own
                   "CM_ BO_ 869 \"cruise\";\n"
                   "BO_ 870 NoTransmitter: 8\n"  // 9: still dropped, the stretch goes on
                   " SG_ Set2 M : 8|8@1+ (1,0) [0|255] \"\" X\n"
                   "SIG_VALTYPE_ 865 Pedal : 0;\n"
                   "BO_ 900 Next: 8 ECU\n"
                   " SG_ Own : 8|8@1+ (1,0) [0|255] \"\" X\n");
  ASSERT_TRUE(p.db);
  EXPECT_EQ(p.lines(),
            "W Skipping malformed DBC line 5: BO_ 869 DSU CRUISE: 7 DSU\n"
            "W Skipping malformed DBC line 9: BO_ 870 NoTransmitter: 8\n");
  ASSERT_EQ(p.db->messages().size(), 2u);
  const Message* clutch = p.db->find_message(865);
  ASSERT_EQ(clutch->signals.size(), 1u);
  EXPECT_EQ(clutch->signals[0]->name, "Pedal");
  const Message* next = p.db->find_message(900);
  ASSERT_EQ(next->signals.size(), 1u);
  EXPECT_EQ(next->signals[0]->name, "Own");
}

TEST(DbcParser, BlanksBeforeTheColon) {
  Parsed p = parse(std::string(kCanHeader) +
                   "BO_ 1 None: 8 ECU\n"
                   " SG_ A : 0|8@1+ (1,0) [0|1] \"\" X\n"
                   " SG_ Sw M  : 8|8@1+ (1,0) [0|1] \"\" X\n"
                   " SG_ B m1   : 16|8@1+ (1,0) [0|1] \"\" X\n"
                   " SG_ C m2M: 24|8@1+ (1,0) [0|1] \"\" X\n"
                   " SG_ D    : 32|8@1+ (1,0) [0|1] \"\" X\n"
                   "BO_ 2 One : 8 ECU\n"
                   " SG_ E : 0|8@1+ (1,0) [0|1] \"\" X\n"
                   "BO_ 3 Three   : 8 ECU\n"
                   " SG_ F : 0|8@1+ (1,0) [0|1] \"\" X\n"
                   "BO_ 4 Two Words : 8 ECU\n"  // 13: a name still holds no blank
                   " SG_ G : 0|8@1+ (1,0) [0|1] \"\" X\n"
                   // 15: blanks are spaces, like every other separator of the line
                   "BO_ 5 Tab\t: 8 ECU\n"
                   "BO_ 6 Six: 8 ECU\n"
                   " SG_ Two Words : 0|8@1+ (1,0) [0|1] \"\" X\n"  // 17
                   " SG_ H M m1 : 8|8@1+ (1,0) [0|1] \"\" X\n"     // 18
                   " SG_ I  M : 16|8@1+ (1,0) [0|1] \"\" X\n"      // 19: blanks before M
                   " SG_ J : 24|8@1+ (1,0) [0|1] \"\" X\n");
  ASSERT_TRUE(p.db);
  EXPECT_EQ(p.lines(),
            "W Skipping malformed DBC line 13: BO_ 4 Two Words : 8 ECU\n"
            "W Skipping malformed DBC line 15: BO_ 5 Tab\t: 8 ECU\n"
            "W Skipping malformed DBC line 17: SG_ Two Words : 0|8@1+ (1,0) [0|1] \"\" X\n"
            "W Skipping malformed DBC line 18: SG_ H M m1 : 8|8@1+ (1,0) [0|1] \"\" X\n"
            "W Skipping malformed DBC line 19: SG_ I  M : 16|8@1+ (1,0) [0|1] \"\" X\n");
  ASSERT_EQ(p.db->messages().size(), 4u);
  const Message* none = p.db->find_message(1);
  ASSERT_EQ(none->signals.size(), 3u);  // A, Sw, D
  EXPECT_EQ(none->signals[2]->name, "D");
  const Signal* sw = none->signals[1].get();
  EXPECT_EQ(sw->name, "Sw");
  ASSERT_EQ(sw->groups.size(), 2u);
  EXPECT_EQ(sw->groups[0]->from, 1u);
  EXPECT_EQ(sw->groups[0]->signals[0]->name, "B");
  EXPECT_EQ(sw->groups[1]->from, 2u);
  EXPECT_EQ(sw->groups[1]->signals[0]->name, "C");
  EXPECT_EQ(p.db->find_message(2)->name, "One");
  EXPECT_TRUE(top(*p.db, 2, "E"));
  EXPECT_EQ(p.db->find_message(3)->name, "Three");
  EXPECT_TRUE(top(*p.db, 3, "F"));
  ASSERT_EQ(p.db->find_message(6)->signals.size(), 1u);
  EXPECT_TRUE(top(*p.db, 6, "J"));
}

TEST(DbcParser, UndecodableSignalsAreRefused) {
  Parsed p = parse(std::string(kCanHeader) +
                   "BO_ 1 M: 8 ECU\n"
                   " SG_ Zero : 0|0@1+ (1,0) [0|1] \"\" X\n"
                   " SG_ After : 0|8@1+ (1,0) [0|255] \"\" X\n"
                   " SG_ Half : 8|16@1- (1,0) [0|1] \"\" X\n"
                   " SG_ Single : 0|32@1+ (1,0) [0|1] \"\" X\n"
                   " SG_ Narrow : 0|32@1+ (1,0) [0|1] \"\" X\n"
                   " SG_ Whole : 0|64@1+ (1,0) [0|1] \"\" X\n"
                   " SG_ Keep : 8|16@1+ (1,0) [0|65535] \"\" X\n"
                   "BO_ 2 Mux: 8 ECU\n"
                   " SG_ Sw M : 0|0@1+ (1,0) [0|1] \"\" X\n"
                   " SG_ Under m1 : 8|8@1+ (1,0) [0|1] \"\" X\n"
                   "SIG_VALTYPE_ 1 Half : 1;\n"
                   "SIG_VALTYPE_ 1 Single : 1;\n"
                   "SIG_VALTYPE_ 1 Narrow : 2;\n"
                   "SIG_VALTYPE_ 1 Whole : 2;\n"
                   "SIG_VALTYPE_ 1 Keep : 0;\n");
  ASSERT_TRUE(p.db);
  for (const char* name : {"Zero", "Half", "Narrow"}) {
    EXPECT_TRUE(p.logged(std::string("F Failed to add signal ") + name + " to message M\n"))
        << name;
  }
  EXPECT_TRUE(p.logged("F Failed to add signal Sw to message Mux\n"));
  for (const char* name : {"Zero", "Half", "Narrow", "Sw", "Under"}) {
    EXPECT_EQ(p.count(std::string("E Failed to load signal ") + name + "\n"), 1u) << name;
  }
  const Message* m = p.db->find_message(1);
  ASSERT_EQ(m->signals.size(), 4u);
  EXPECT_EQ(m->signals[0]->name, "After");
  EXPECT_EQ(top(*p.db, 1, "Single")->params.value_type, kValueFloat);
  EXPECT_EQ(top(*p.db, 1, "Whole")->params.value_type, kValueDouble);
  EXPECT_EQ(top(*p.db, 1, "Keep")->params.value_type, kValueUnsigned);
  EXPECT_TRUE(p.db->find_message(2)->signals.empty());

  // The message decodes: a refused signal no longer ends the walk.
  const uint8_t payload[8] = {0x2A, 0x01, 0, 0, 0, 0, 0, 0};
  DecodedMessage out;
  {
    LogCapture quiet;
    ASSERT_TRUE(m->plan);
    decode_message(*m->plan, payload, sizeof payload, out);
    EXPECT_EQ(quiet.text(), "");
  }
  ASSERT_EQ(out.values.size(), 4u);
  EXPECT_EQ(out.values[0].value, 42);
  EXPECT_EQ(out.values[3].name(), "Keep");
  EXPECT_EQ(out.values[3].value, 1);
}

TEST(DbcParser, EmptyFileFailsSilently) {
  Parsed p = parse("");
  EXPECT_FALSE(p.db);
  EXPECT_EQ(p.log, "");
  p = parse("\n\r\n  \t\n");
  ASSERT_TRUE(p.db);  // no lines at all is a database without messages
  EXPECT_TRUE(p.db->messages().empty());
  EXPECT_TRUE(p.logged("attribute not set"));
}

TEST(DbcParser, BusKindFromAttributes) {
  struct Row {
    const char* text;
    int32_t kind;
    const char* log;
  } rows[] = {
      // A value without a definition gives nothing.
      {"BA_ \"BusType\" \"LIN\";\n", kBusCan,
       "W \"BusType\" attribute not set. Defaulting to \"CAN\""},
      // A single space before the name fails the definition's pattern.
      {"BA_DEF_ \"BusType\" STRING ;\nBA_ \"BusType\" \"LIN\";\n", kBusCan, "attribute not set"},
      {"BA_DEF_  \"BusType\" STRING ;\nBA_ \"BusType\" \"LIN\";\n", kBusLin, ""},
      // The value's space splits it into an object name and "Fd": CAN by default.
      {"BA_DEF_  \"bustype\" STRING ;\nBA_ \"BusType\" \"cAn Fd\";\n", kBusCan, nullptr},
      {"BA_DEF_  \"bustype\" STRING ;\nBA_ \"BusType\" \"cAn\";\n", kBusCan, ""},
      {"BA_DEF_  \"BusType\" STRING ;\nBA_ \"BUSTYPE\" \"LIN\";\n", kBusCan,
       "attribute not set"},  // value names are matched exactly when read
      {"BA_DEF_  \"BusType\" STRING ;\nBA_DEF_DEF_ \"BusType\" \"LIN\";\n", kBusLin, ""},
      {"BA_DEF_  \"BusType\" INT 0 1;\nBA_ \"BusType\" \"LIN\";\n", kBusCan, "attribute not set"},
      {"BA_DEF_  \"BusType\" STRING ;\nBA_ \"BusType\" \"FlexRay\";\n", kBusCan,
       "E Unknown \"BusType\": \"FlexRay\""},
      {"BA_DEF_  \"BusType\" STRING ;\nBA_DEF_  \"ProtocolType\" STRING ;\n"
       "BA_ \"BusType\" \"CAN\";\nBA_ \"ProtocolType\" \"J1939\";\n",
       kBusJ1939, ""},
      {"BA_DEF_  \"BusType\" STRING ;\nBA_DEF_  \"ProtocolType\" STRING ;\n"
       "BA_ \"BusType\" \"CAN\";\nBA_ \"ProtocolType\" \"j1939\";\n",
       kBusCan, ""},
      {"BA_DEF_  \"BusType\" STRING ;\nBA_DEF_  \"ProtocolType\" STRING ;\n"
       "BA_ \"BusType\" \"LIN\";\nBA_ \"ProtocolType\" \"J1939\";\n",
       kBusLin, ""},
      // An ENUM is not a STRING, whatever its text.
      {"BA_DEF_  \"BusType\" ENUM \"CAN\",\"LIN\";\nBA_ \"BusType\" 1;\n", kBusCan,
       "attribute not set"},
  };
  for (const Row& r : rows) {
    Parsed p = parse(r.text);
    ASSERT_TRUE(p.db) << r.text;
    EXPECT_EQ(p.db->bus_kind(), r.kind) << r.text;
    if (!r.log) continue;
    if (*r.log) {
      EXPECT_TRUE(p.logged(r.log)) << r.text << p.log;
    } else {
      EXPECT_EQ(p.log, "") << r.text;
    }
  }
}

TEST(DbcParser, MessageAndSignalAttributes) {
  Parsed p = parse(std::string(kCanHeader) +
                   "BA_DEF_ BO_ \"TransportProtocolType\" STRING ;\n"
                   "BA_DEF_ BO_  \"MessageIgnore\" INT 0 1;\n"
                   "BA_DEF_ SG_  \"SignalIgnore\" INT 0 1;\n"
                   "BA_DEF_ BU_  \"SignalIgnore\" INT 0 1;\n"
                   "BA_DEF_DEF_  \"MessageIgnore\" 0;\n"
                   "BA_DEF_DEF_  \"TransportProtocolType\" \"\";\n"
                   "BO_ 1 Iso: 64 ECU\n"
                   " SG_ S : 0|8@1+ (1,0) [0|1] \"\" X\n"
                   " SG_ T : 8|8@1+ (1,0) [0|1] \"\" X\n"
                   "BO_ 2 Nmea: 8 ECU\n"
                   " SG_ S : 0|8@1+ (1,0) [0|1] \"\" X\n"
                   "BO_ 3 Mux: 8 ECU\n"
                   "BO_ 4 Odd: 8 ECU\n"
                   "BO_ 5 Plain: 8 ECU\n"
                   "BA_ \"TransportProtocolType\" BO_ 1 \"ISOTP\";\n"
                   "BA_ \"TransportProtocolType\" BO_ 2 \"NMEATP\";\n"
                   "BA_ \"TransportProtocolType\" BO_ 3 \"MUXTP#1:2:3:4\";\n"
                   "BA_ \"TransportProtocolType\" BO_ 4 \"isotp\";\n"
                   "BA_ \"MessageIgnore\" BO_ 2 1;\n"
                   "BA_ \"SignalIgnore\" SG_ 1 T 1;\n"
                   "BA_ \"SignalIgnore\" SG_ 2 T 1;\n");
  ASSERT_TRUE(p.db);
  const auto& db = *p.db;
  EXPECT_EQ(db.find_message(1)->transport_type, kTransportIsoTp);
  EXPECT_EQ(db.find_message(2)->transport_type, kTransportNmea);
  EXPECT_EQ(db.find_message(3)->transport_type, kTransportMux);
  EXPECT_EQ(db.find_message(3)->transport_parameter, "MUXTP#1:2:3:4");
  EXPECT_EQ(db.find_message(4)->transport_type, kTransportNone);
  EXPECT_EQ(db.find_message(1)->transport_parameter, "");
  EXPECT_TRUE(p.logged("E \"TransportProtocolType\" \"isotp\" not supported (\"Odd\")"));
  EXPECT_EQ(p.count("not supported"), 1u);  // the empty default is no type
  EXPECT_FALSE(db.find_message(1)->ignored);
  EXPECT_TRUE(db.find_message(2)->ignored);
  EXPECT_FALSE(top(db, 1, "S")->ignored);
  EXPECT_TRUE(top(db, 1, "T")->ignored);
  EXPECT_FALSE(top(db, 2, "S")->ignored);
}

TEST(DbcParser, EnumAttributeValueIsAnIndex) {
  const std::string defs = std::string(kCanHeader) +
                           "BA_DEF_ BO_  \"TransportProtocolType\" ENUM  \"none\", \"ISOTP\" ;\n"
                           "BO_ 1 A: 8 ECU\n";
  // ENUM text is never a STRING, so neither index nor default sets a type;
  // what must hold is that no index, however odd, reads out of the list.
  for (const char* v : {"1", "0", "7", "-1", "99999999999999999999"}) {
    Parsed p = parse(defs + "BA_ \"TransportProtocolType\" BO_ 1 " + v + ";\n");
    ASSERT_TRUE(p.db) << v;
    EXPECT_EQ(p.db->find_message(1)->transport_type, kTransportNone) << v;
  }
}

TEST(DbcParser, MultiplexingAndPasses) {
  Parsed p = parse(std::string(kCanHeader) +
                   "BO_ 1 Simple: 8 ECU\n"
                   " SG_ A0 m0 : 8|8@1+ (1,0) [0|1] \"\" X\n"  // before its switch
                   " SG_ Mode M : 0|8@1+ (1,0) [0|1] \"\" X\n"
                   " SG_ A1 m1 : 8|8@1+ (1,0) [0|1] \"\" X\n"
                   " SG_ B1 m1 : 16|8@1+ (1,0) [0|1] \"\" X\n"
                   " SG_ Mode : 24|8@1+ (1,0) [0|1] \"\" X\n"  // repeated name: dropped
                   "BO_ 2 Extended: 8 ECU\n"
                   " SG_ Deep m3 : 24|8@1+ (1,0) [0|1] \"\" X\n"
                   " SG_ Inner m2M : 16|8@1+ (1,0) [0|1] \"\" X\n"
                   " SG_ Outer M : 0|8@1+ (1,0) [0|1] \"\" X\n"
                   " SG_ Other m7 : 32|8@1+ (1,0) [0|1] \"\" X\n"
                   "BO_ 3 Same: 8 ECU\n"
                   " SG_ Outer M : 0|8@1+ (1,0) [0|1] \"\" X\n"
                   " SG_ Inner m2M : 8|8@1+ (1,0) [0|1] \"\" X\n"
                   " SG_ Deep m1 : 16|8@1+ (1,0) [0|1] \"\" X\n"
                   "SG_MUL_VAL_ 2 Inner Outer 2-4;\n"
                   "SG_MUL_VAL_ 2 Deep Inner 3-3;\n"
                   "SG_MUL_VAL_ 2 Other Outer 7-7, 9-9;\n"  // two ranges: a group each
                   "SG_MUL_VAL_ 3 Deep Inner 5-6;\n"
                   "SG_MUL_VAL_ 3 Inner Outer 1-1;\n");
  ASSERT_TRUE(p.db);
  // A line of two ranges was refused ("Skipping malformed DBC line 20"),
  // which lost Other's values for 9; it now places Other in both groups.
  EXPECT_EQ(p.lines(), "");
  const Message* simple = p.db->find_message(1);
  ASSERT_EQ(simple->signals.size(), 1u);
  const Signal* mode = simple->signals[0].get();
  ASSERT_EQ(mode->groups.size(), 2u);
  EXPECT_EQ(mode->groups[0]->from, 1u);  // m1 comes first: placed in pass 1
  ASSERT_EQ(mode->groups[0]->signals.size(), 2u);
  EXPECT_EQ(mode->groups[1]->from, 0u);
  EXPECT_EQ(mode->groups[1]->signals[0]->name, "A0");
  EXPECT_EQ(mode->params.bit_position, 0);  // the first "Mode" line

  // Outer -> (7..7) Other and (9..9) Other, placed in pass 1; Outer ->
  // (2..4) Inner -> (3..3) Deep.
  const Message* ext = p.db->find_message(2);
  ASSERT_EQ(ext->signals.size(), 1u);
  const Signal* outer = ext->signals[0].get();
  ASSERT_EQ(outer->groups.size(), 3u);
  EXPECT_EQ(outer->groups[0]->from, 7u);
  EXPECT_EQ(outer->groups[0]->signals[0]->name, "Other");
  EXPECT_EQ(outer->groups[1]->from, 9u);
  EXPECT_EQ(outer->groups[1]->signals[0]->name, "Other");
  EXPECT_EQ(outer->groups[2]->from, 2u);
  EXPECT_EQ(outer->groups[2]->to, 4u);
  const Signal* inner = outer->groups[2]->signals[0].get();
  EXPECT_EQ(inner->name, "Inner");
  ASSERT_EQ(inner->groups.size(), 1u);
  EXPECT_EQ(inner->groups[0]->from, 3u);
  EXPECT_EQ(inner->groups[0]->signals[0]->name, "Deep");

  // The same names in another message take that message's ranges.
  const Signal* outer3 = p.db->find_message(3)->signals[0].get();
  ASSERT_EQ(outer3->groups.size(), 1u);
  EXPECT_EQ(outer3->groups[0]->from, 1u);
  const Signal* inner3 = outer3->groups[0]->signals[0].get();
  ASSERT_EQ(inner3->groups.size(), 1u);
  EXPECT_EQ(inner3->groups[0]->from, 5u);
  EXPECT_EQ(inner3->groups[0]->to, 6u);
  EXPECT_EQ(inner3->groups[0]->signals[0]->name, "Deep");
}

TEST(DbcParser, UnplacedSignalsAreReported) {
  Parsed p = parse(std::string(kCanHeader) +
                   "BO_ 1 M: 8 ECU\n"
                   " SG_ Ok : 0|8@1+ (1,0) [0|1] \"\" X\n"
                   " SG_ Over : 60|8@1+ (1,0) [0|1] \"\" X\n"
                   " SG_ Long : 0|264@1+ (1,0) [0|1] \"\" X\n"
                   " SG_ Far : 70000|8@1+ (1,0) [0|1] \"\" X\n"
                   " SG_ Orphan m1 : 8|8@1+ (1,0) [0|1] \"\" X\n"
                   " SG_ Range m1 : 8|8@1+ (1,0) [0|1] \"\" X\n"
                   " SG_ Sw M : 16|8@1+ (1,0) [0|1] \"\" X\n"
                   "SG_MUL_VAL_ 1 Orphan Missing 1-1;\n"
                   "SG_MUL_VAL_ 1 Range Sw 5-3;\n"
                   "BO_ 2 Big: 4294967295 ECU\n"
                   " SG_ Edge : 65528|8@1+ (1,0) [0|1] \"\" X\n"
                   "BO_ 3 VECTOR__INDEPENDENT_SIG_MSG: 0 Vector__XXX\n"
                   " SG_ Loose : 0|8@1+ (1,0) [0|1] \"\" X\n");
  ASSERT_TRUE(p.db);
  const Message* m = p.db->find_message(1);
  ASSERT_EQ(m->signals.size(), 2u);  // Ok, Sw
  EXPECT_TRUE(p.logged("F Failed to add signal Over to message M"));
  EXPECT_TRUE(p.logged("F Failed to add signal Long to message M"));
  EXPECT_TRUE(p.logged("F Failed to add signal Far to message M"));
  for (const char* name : {"Over", "Long", "Far", "Orphan", "Range"}) {
    EXPECT_EQ(p.count(std::string("E Failed to load signal ") + name + "\n"), 1u) << name;
  }
  EXPECT_FALSE(p.logged("Failed to load signal Ok"));
  EXPECT_TRUE(m->signals[1]->groups.empty());  // from > to makes no group
  EXPECT_TRUE(top(*p.db, 2, "Edge"));          // no overflow with a huge length
  EXPECT_TRUE(p.logged("W Ignoring message: VECTOR__INDEPENDENT_SIG_MSG"));
  EXPECT_FALSE(p.db->find_message(3));
  EXPECT_FALSE(p.logged("Loose"));
}

// Value tables written as real files write them (one line per signal,
// pairs in any order, negative values, blanks and tabs between the parts,
// labels with commas and blanks, empty labels), beside the lines that are
// read as nothing (tables of signals or messages that do not exist,
// environment variables, named tables) and lines that do not match. Each
// file is made with its own record of what it says, so the parser is
// held against what was written, not against a second parser.
TEST(DbcParser, ValueTablesAgainstWhatWasWritten) {
  uint64_t state = 0x9E3779B97F4A7C15ull;
  auto next = [&](uint32_t bound) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<uint32_t>((state >> 33) % bound);
  };
  const char* const kWords[] = {"Not available", "Error", "Off",  "On, idle",  "",         "x",
                                "2nd gear",      "-1",    "a  b", "Reserved;", "Low/High", "ok'"};
  const char* const kBlanks[] = {" ", "  ", "\t", " \t "};
  for (int file = 0; file < 200; ++file) {
    std::string text(kCanHeader);
    unsigned line = 2;
    std::map<std::string, std::map<int64_t, std::string>> expected;  // "M.S" -> table
    std::string warnings;
    const int messages = 1 + static_cast<int>(next(4));
    for (int m = 0; m < messages; ++m) {
      text += "BO_ " + std::to_string(100 + m) + " M" + std::to_string(m) + ": 8 ECU\n";
      ++line;
      for (int k = 0; k < 3; ++k) {
        const bool is_signed = next(2) == 0;
        text += " SG_ S" + std::to_string(k) + " : " + std::to_string(8 * k) + "|8@1" +
                (is_signed ? "-" : "+") + " (1,0) [0|0] \"\" X\n";
        ++line;
      }
    }
    auto blank = [&] { return std::string(kBlanks[next(4)]); };
    const int tables = static_cast<int>(next(10));
    for (int t = 0; t < tables; ++t) {
      const uint32_t kind = next(10);
      const int m = static_cast<int>(next(static_cast<uint32_t>(messages)));
      const std::string signal = "S" + std::to_string(next(4));  // S3 does not exist
      std::string body;
      std::map<int64_t, std::string> table;
      const int pairs = static_cast<int>(next(5));
      for (int i = 0; i < pairs; ++i) {
        const int64_t value = static_cast<int64_t>(next(600)) - 300;
        const std::string label = kWords[next(12)];
        body += blank() + std::to_string(value) + blank() + "\"" + label + "\"";
        table.try_emplace(value, label);  // the first label of a value counts
      }
      ++line;
      const std::string id = std::to_string(100 + m);
      if (kind == 0) {
        text += "VAL_ Env" + std::to_string(t) + body + " ;\n";  // an environment variable
      } else if (kind == 1) {
        text += "VAL_TABLE_ Named" + body + " ;\n";
      } else if (kind == 2) {
        text += "VAL_ 999 " + signal + body + " ;\n";  // no such message
      } else if (kind == 3) {
        // A label that does not close on its line, or a value that is no
        // integer: named like every line that does not match.
        const std::string bad = next(2) ? " 1 \"open ;" : " 1.5 \"x\" ;";
        const std::string l = "VAL_ " + id + " " + signal + body + bad;
        text += l + "\n";
        warnings +=
            "W Skipping malformed DBC line " + std::to_string(line) + ": " + l.substr(0, 80) + "\n";
      } else {
        text += "VAL_ " + id + " " + signal + body + (next(2) ? " ;" : ";") + "\n";
        // The first line of a signal counts, as for every rule read.
        if (signal != "S3") expected.try_emplace("M" + std::to_string(m) + "." + signal, table);
      }
    }
    Parsed p = parse(text);
    ASSERT_TRUE(p.db) << text;
    EXPECT_EQ(p.lines(), warnings) << text;
    for (const auto& [key, message] : p.db->messages()) {
      for (const auto& signal : message->signals) {
        auto it = expected.find(message->name + "." + signal->name);
        std::map<int64_t, std::string> got;
        if (signal->labels)
          got.insert(signal->labels->labels.begin(), signal->labels->labels.end());
        std::map<int64_t, std::string> want;
        if (it != expected.end()) want = it->second;
        EXPECT_EQ(got, want) << message->name << "." << signal->name << "\n" << text;
        // An empty table is no table: such a signal writes numbers.
        if (signal->labels) {
          EXPECT_FALSE(signal->labels->labels.empty());
        }
      }
    }
  }
}

// Values written as such: past 64 bits they saturate rather than wrap into
// another value's label.
TEST(DbcParser, ValueTableNumbersAtTheEdges) {
  Parsed p = parse(std::string(kCanHeader) +
                   "BO_ 1 M: 8 ECU\n"
                   " SG_ S : 0|64@1- (1,0) [0|0] \"\" X\n"
                   "VAL_ 1 S -9223372036854775808 \"min\" 9223372036854775807 \"max\" "
                   "99999999999999999999 \"big\" -0 \"zero\";\n");
  ASSERT_TRUE(p.db);
  const Signal* s = top(*p.db, 1, "S");
  ASSERT_TRUE(s && s->labels);
  EXPECT_EQ(*s->labels->find(INT64_MIN), "min");
  EXPECT_EQ(*s->labels->find(INT64_MAX), "max");  // "big" saturates onto it, later
  EXPECT_EQ(*s->labels->find(0), "zero");
  EXPECT_EQ(s->labels->labels.size(), 3u);
}

// Several ranges on one SG_MUL_VAL_ line as real files write them: blanks
// around the commas, a reversed range among them, and a switch that is
// itself in several groups. Decoding each switch value is held against
// the ranges as written.
TEST(DbcParser, SeveralRangesOnOneLine) {
  Parsed p = parse(std::string(kCanHeader) +
                   "BO_ 1 M: 8 ECU\n"
                   " SG_ Mux M : 0|8@1+ (1,0) [0|0] \"\" X\n"
                   " SG_ A m1 : 8|8@1+ (1,0) [0|0] \"\" X\n"
                   " SG_ B m1 : 16|8@1+ (1,0) [0|0] \"\" X\n"
                   " SG_ Sub m1M : 24|8@1+ (1,0) [0|0] \"\" X\n"
                   " SG_ Deep m1 : 32|8@1+ (1,0) [0|0] \"\" X\n"
                   " SG_ Gone m1 : 40|8@1+ (1,0) [0|0] \"\" X\n"
                   " SG_ Back m1 : 48|8@1+ (1,0) [0|0] \"\" X\n"
                   "SG_MUL_VAL_ 1 A Mux 1-1, 3-5;\n"
                   "SG_MUL_VAL_ 1 B Mux 1-1 ,2-1,\t7-9;\n"  // 2-1: passed over
                   "SG_MUL_VAL_ 1 Sub Mux 10-10, 12-12;\n"  // a switch in two groups
                   "SG_MUL_VAL_ 1 Deep Sub 0-0, 2-3;\n"     // under both copies
                   "SG_MUL_VAL_ 1 Gone Mux 6-5, 9-8;\n"     // every range reversed
                   "SG_MUL_VAL_ 1 Back Mux 6-5;\n");        // alone, as it always was
  ASSERT_TRUE(p.db);
  EXPECT_EQ(p.lines(),
            "E Failed to load signal Gone\n"
            "E Failed to load signal Back\n");
  const Message* m = p.db->find_message(1);
  ASSERT_TRUE(m && m->plan);
  struct Case {
    uint8_t mux, sub;
    const char* names;
  };
  const Case cases[] = {
      {1, 0, "Mux A B"},  {2, 0, "Mux"},           {3, 0, "Mux A"}, {5, 0, "Mux A"},
      {6, 0, "Mux"},      {7, 0, "Mux B"},         {9, 0, "Mux B"}, {10, 0, "Mux Sub Deep"},
      {10, 1, "Mux Sub"}, {12, 3, "Mux Sub Deep"}, {11, 0, "Mux"},  {12, 4, "Mux Sub"},
  };
  DecodedMessage out;
  for (const Case& c : cases) {
    const uint8_t payload[8] = {c.mux, 0x11, 0x22, c.sub, 0x44, 0x55, 0x66, 0};
    decode_message(*m->plan, payload, sizeof payload, out);
    std::string names;
    for (const DecodedValue& v : out.values) {
      names += (names.empty() ? "" : " ") + std::string(v.name());
    }
    EXPECT_EQ(names, c.names) << int{c.mux} << "/" << int{c.sub};
  }
  // Each range is a group of its own, named by its from value.
  const Signal* mux = m->signals[0].get();
  std::string groups;
  for (const auto& g : mux->groups)
    groups += std::to_string(g->from) + "-" + std::to_string(g->to) + " ";
  EXPECT_EQ(groups, "1-1 3-5 7-9 10-10 12-12 ");
}

TEST(DbcParser, KeyCollisionFailsTheFile) {
  Parsed p = parse(
      "BA_DEF_  \"BusType\" STRING ;\nBA_DEF_  \"ProtocolType\" STRING ;\n"
      "BA_ \"BusType\" \"CAN\";\nBA_ \"ProtocolType\" \"J1939\";\n"
      "BO_ 2566844672 First: 8 ECU\n"     // 0x98FEF100
      "BO_ 2566844926 Second: 8 ECU\n");  // 0x98FEF1FE
  EXPECT_FALSE(p.db);
  EXPECT_TRUE(p.logged("E Message key collision: 2164191488 (Second, First)"));
  EXPECT_TRUE(
      p.logged("E Failed to add message Second with DBC key: 98FEF1FE and DB key: 80FEF100"));
}

}  // namespace
}  // namespace quillon
