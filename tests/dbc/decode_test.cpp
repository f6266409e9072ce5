#include "dbc/decode.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "log_capture.h"
#include "signal_tree.h"

namespace quillon {
namespace {

using testing_support::LogCapture;

// Reads the signal one bit at a time, straight from the bit numbering.
double naive_value(const SignalParams& p, const std::vector<uint8_t>& payload) {
  uint64_t raw = 0;
  for (uint32_t i = 0; i < p.bit_length; ++i) {
    uint32_t k = p.bit_position + i;
    if (p.byte_order == kLittleEndian) {
      raw |= static_cast<uint64_t>((payload[k / 8] >> (k % 8)) & 1) << i;
    } else {
      raw = (raw << 1) | ((payload[k / 8] >> (7 - k % 8)) & 1);
    }
  }
  double x;
  switch (p.value_type) {
    case kValueSigned: {
      int64_t v;
      if (p.bit_length < 64 && ((raw >> (p.bit_length - 1)) & 1)) {
        v = static_cast<int64_t>(raw) - (int64_t{1} << (p.bit_length - 1)) -
            (int64_t{1} << (p.bit_length - 1));
      } else {
        v = static_cast<int64_t>(raw);
      }
      x = static_cast<double>(v);
      break;
    }
    case kValueFloat: {
      float f;
      uint32_t b = static_cast<uint32_t>(raw);
      std::memcpy(&f, &b, 4);
      x = f;
      break;
    }
    case kValueDouble:
      std::memcpy(&x, &raw, 8);
      break;
    default:
      x = static_cast<double>(raw);
  }
  return x * p.factor + p.offset;
}

bool same(double a, double b) {
  return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof a) == 0;
}

TEST(ExtractSignal, MatchesBitByBitReferenceOnRandomSignals) {
  const uint32_t seed = 20261208;
  std::mt19937 rng(seed);
  SignalList list;
  for (int round = 0; round < 20000; ++round) {
    std::vector<uint8_t> payload(1 + rng() % (round % 10 == 0 ? 400 : 16));
    for (auto& b : payload) b = static_cast<uint8_t>(rng());
    SignalParams p;
    p.byte_order = rng() % 2 ? kLittleEndian : kBigEndian;
    p.value_type = static_cast<int32_t>(1 + rng() % 4);
    uint32_t bits = static_cast<uint32_t>(payload.size() * 8);
    p.bit_length = p.value_type == kValueFloat    ? 32
                   : p.value_type == kValueDouble ? 64
                                                  : static_cast<uint8_t>(1 + rng() % 64);
    if (p.bit_length > bits) continue;
    p.bit_position = static_cast<uint16_t>(rng() % (bits - p.bit_length + 1));
    p.factor = rng() % 2 ? 1.0 : 0.125;
    p.offset = rng() % 2 ? 0.0 : -40.0;
    list.clear();
    const Signal* s = add_signal(&list, "S", p, false);
    double got = 0;
    ASSERT_TRUE(tree::extract_signal(payload.data(), payload.size(), *s, got));
    ASSERT_TRUE(same(got, naive_value(p, payload)))
        << "seed " << seed << " round " << round << " order " << p.byte_order << " type "
        << p.value_type << " pos " << p.bit_position << " len " << int(p.bit_length) << " got "
        << got;
  }
}

Signal* make(SignalList& list, const char* name, uint32_t order, int32_t type, uint16_t pos,
             uint8_t len, double factor = 1, double offset = 0) {
  SignalParams p;
  p.byte_order = order;
  p.value_type = type;
  p.bit_position = pos;
  p.bit_length = len;
  p.factor = factor;
  p.offset = offset;
  return add_signal(&list, name, p, false);
}

TEST(ExtractSignal, NumberKindsAndBounds) {
  SignalList l;
  double v = 0;
  const uint8_t ff[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  const uint8_t fe[8] = {0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  ASSERT_TRUE(
      tree::extract_signal(ff, 1, *make(l, "a", kLittleEndian, kValueSigned, 0, 8, 0.5, 10), v));
  EXPECT_EQ(v, 9.5);
  ASSERT_TRUE(tree::extract_signal(fe, 8, *make(l, "b", kLittleEndian, kValueSigned, 0, 64), v));
  EXPECT_EQ(v, -2.0);
  ASSERT_TRUE(tree::extract_signal(ff, 8, *make(l, "c", kLittleEndian, kValueUnsigned, 0, 64), v));
  EXPECT_EQ(v, 18446744073709551616.0);
  const uint8_t one[4] = {0x00, 0x00, 0x80, 0x3F};
  ASSERT_TRUE(tree::extract_signal(one, 4, *make(l, "d", kLittleEndian, kValueFloat, 0, 32), v));
  EXPECT_EQ(v, 1.0);

  // Ends exactly at the last bit of a 300-byte message; one bit further fails.
  std::vector<uint8_t> big(300, 0);
  big[298] = 0x5A;
  ASSERT_TRUE(tree::extract_signal(big.data(), big.size(),
                                   *make(l, "e", kBigEndian, kValueUnsigned, 2384, 8), v));
  EXPECT_EQ(v, 0x5A);
  ASSERT_TRUE(tree::extract_signal(big.data(), big.size(),
                                   *make(l, "f", kLittleEndian, kValueUnsigned, 2392, 8), v));

  struct Bad {
    Signal* s;
    size_t size;
    const char* message;
  } bad[] = {
      {make(l, "z", kLittleEndian, kValueUnsigned, 0, 0), 8, "(zero)"},
      {make(l, "x", kBigEndian, kValueUnsigned, 2400, 8), 300, "(exceeds payload)"},
      {make(l, "y", kLittleEndian, kValueUnsigned, 2393, 8), 300, "(exceeds payload)"},
      {make(l, "w", kLittleEndian, kValueFloat, 0, 31), 8, "(float != 32)"},
      {make(l, "u", kLittleEndian, kValueDouble, 0, 32), 8, "(double != 64)"},
  };
  for (const Bad& b : bad) {
    LogCapture log(LOG_WARN);
    EXPECT_FALSE(tree::extract_signal(big.data(), b.size, *b.s, v)) << b.s->name;
    EXPECT_NE(log.text().find(std::string("Invalid signal bit length ") + b.message),
              std::string::npos)
        << b.s->name;
  }
}

class DecodeMessage : public ::testing::Test {
 protected:
  void SetUp() override {
    db = MessageDatabase::create(kBusCan);
    m = db->add_message("M", 0x100, 8, kTransportNone, "", false);
    make(m->signals, "A", kLittleEndian, kValueUnsigned, 0, 8);
    Signal* sw = make(m->signals, "Mux", kLittleEndian, kValueUnsigned, 8, 8, 0.5);
    make(add_group(sw->groups, 0, 1)->signals, "G01", kLittleEndian, kValueUnsigned, 16, 8);
    MuxGroup* g2 = add_group(sw->groups, 2, 2);
    Signal* inner = make(g2->signals, "Inner", kLittleEndian, kValueUnsigned, 16, 8);
    make(add_group(inner->groups, 7, 7)->signals, "Deep", kLittleEndian, kValueUnsigned, 24, 8);
    make(g2->signals, "Far", kLittleEndian, kValueUnsigned, 56, 8);
    make(add_group(sw->groups, 2, 5)->signals, "G25", kLittleEndian, kValueUnsigned, 16, 8);
    Signal* tail = make(m->signals, "Tail", kLittleEndian, kValueUnsigned, 32, 8);
    tail->ignored = true;
    EXPECT_TRUE(compile_plans(*db));
  }

  // Through the plan, as the program decodes.
  void decode(const std::vector<uint8_t>& payload, DecodedMessage& out) {
    ASSERT_TRUE(m->plan);
    decode_message(*m->plan, payload.data(), payload.size(), out);
  }
  std::vector<std::string> names(const std::vector<uint8_t>& payload) {
    DecodedMessage out;
    decode(payload, out);
    std::vector<std::string> r;
    for (const DecodedValue& v : out.values) r.emplace_back(v.name());
    return r;
  }

  std::unique_ptr<MessageDatabase> db;
  Message* m = nullptr;
};

TEST_F(DecodeMessage, WalkSelectsFirstGroupOnThePhysicalValue) {
  using V = std::vector<std::string>;
  // Mux has factor 0.5: raw 4 is 2.0, so group 2..2 wins over 2..5; the
  // nested switch Inner = 7 opens Deep.
  EXPECT_EQ(names({1, 4, 7, 9, 5, 0, 0, 3}), (V{"A", "Mux", "Inner", "Deep", "Far", "Tail"}));
  EXPECT_EQ(names({1, 2, 7, 9, 5, 0, 0, 3}), (V{"A", "Mux", "G01", "Tail"}));
  // Raw 3 is 1.5: neither 0..1 nor 2..2 nor 2..5 contains it.
  EXPECT_EQ(names({1, 3, 7, 9, 5, 0, 0, 3}), (V{"A", "Mux", "Tail"}));
  EXPECT_EQ(names({1, 8, 7, 9, 5, 0, 0, 3}), (V{"A", "Mux", "G25", "Tail"}));

  DecodedMessage out;
  std::vector<uint8_t> p{1, 4, 7, 9, 5, 0, 0, 3};
  decode(p, out);
  EXPECT_TRUE(out.values[1].is_multiplexer);
  EXPECT_FALSE(out.values[0].is_multiplexer);
  EXPECT_TRUE(out.values.back().ignored);
  EXPECT_EQ(out.values[0].name_hash, static_cast<uint32_t>(name_hash("A")));
}

TEST_F(DecodeMessage, ShortPayloadKeepsWhatDecodedAndWarns) {
  DecodedMessage out;
  std::vector<uint8_t> p{1, 4, 7, 9};
  LogCapture log(LOG_WARN);
  decode(p, out);
  std::string text = log.text();
  // Far (byte 7) fails inside group 2..2 but Tail, beyond the payload too,
  // is still tried after the group.
  std::vector<std::string> got;
  for (const DecodedValue& v : out.values) got.emplace_back(v.name());
  EXPECT_EQ(got, (std::vector<std::string>{"A", "Mux", "Inner", "Deep"}));
  EXPECT_NE(text.find("Failed to decode signal: \"Far\""), std::string::npos);
  EXPECT_NE(text.find("Failed to decode signal: \"Tail\""), std::string::npos);
  EXPECT_NE(text.find("Failed to decode message: \"M\""), std::string::npos);
}

TEST_F(DecodeMessage, TheReferenceFindsNothingMissingIgnoredOrNull) {
  DecodedMessage out;
  uint8_t p[8] = {};
  EXPECT_FALSE(tree::decode_message(db.get(), 0x101, p, 8, out));
  EXPECT_FALSE(tree::decode_message(nullptr, 0x100, p, 8, out));
  m->ignored = true;
  EXPECT_FALSE(tree::decode_message(db.get(), 0x100, p, 8, out));
  EXPECT_TRUE(out.values.empty());
}

// Random signal trees and payloads: the plan must give what the tree walk
// gives, value for value and warning for warning, failures included.
struct RandomTree {
  std::mt19937 rng;
  int next_name = 0;

  SignalParams params(bool switching) {
    SignalParams p;
    p.byte_order = rng() % 2 ? kLittleEndian : kBigEndian;
    if (switching) {
      // Small unsigned values, so that the groups get chosen.
      p.value_type = kValueUnsigned;
      p.bit_length = static_cast<uint8_t>(1 + rng() % 4);
      p.factor = rng() % 4 == 0 ? 0.5 : 1;
    } else {
      p.value_type = static_cast<int32_t>(1 + rng() % 4);
      p.bit_length = static_cast<uint8_t>(1 + rng() % 64);
      // Mostly the lengths the formats need; now and then one they refuse.
      if (p.value_type == kValueFloat && rng() % 16 != 0) p.bit_length = 32;
      if (p.value_type == kValueDouble && rng() % 16 != 0) p.bit_length = 64;
      if (rng() % 64 == 0) p.bit_length = 0;
      const double factors[] = {1, 0.5, 0.125, 1.0 / 3, -0.01, 1e-5, 100};
      const double offsets[] = {0, -40, -273.15, 12800, 0.1};
      p.factor = factors[rng() % 7];
      p.offset = offsets[rng() % 5];
      // Rarely a type or byte order of no known kind.
      if (rng() % 97 == 0) p.value_type = static_cast<int32_t>(5 + rng() % 12);
      if (rng() % 89 == 0) p.byte_order = 2 + rng() % 3;
    }
    // Mostly inside 8 bytes; sometimes past a short payload, rarely at the
    // far end of the positions (which a long payload reaches).
    p.bit_position = static_cast<uint16_t>(rng() % (rng() % 8 == 0 ? 200 : 64 - p.bit_length % 64));
    if (rng() % 300 == 0) p.bit_position = static_cast<uint16_t>(65535 - rng() % 64);
    p.minimum = rng() % 2 ? 0.0 : -static_cast<double>(rng() % 100);
    p.maximum = rng() % 3 ? 0.0 : static_cast<double>(rng() % 100);
    return p;
  }

  void fill(SignalList& list, int depth) {
    const int count = 1 + static_cast<int>(rng() % 5);
    for (int i = 0; i < count; ++i) {
      const bool switching = depth < 3 && rng() % 3 == 0;
      Signal* s =
          add_signal(&list, "S" + std::to_string(next_name++), params(switching), rng() % 8 == 0);
      if (!switching) continue;
      const int groups = 1 + static_cast<int>(rng() % 4);
      for (int g = 0; g < groups; ++g) {
        uint32_t from = rng() % 16;
        MuxGroup* group = add_group(s->groups, from, from + rng() % 3);
        if (group && rng() % 8 != 0) fill(group->signals, depth + 1);
      }
    }
  }
};

bool same_values(const DecodedMessage& a, const DecodedMessage& b) {
  if (a.message != b.message || a.values.size() != b.values.size()) return false;
  for (size_t i = 0; i < a.values.size(); ++i) {
    const DecodedValue& x = a.values[i];
    const DecodedValue& y = b.values[i];
    if (x.signal != y.signal || x.name_hash != y.name_hash || x.ignored != y.ignored ||
        x.is_multiplexer != y.is_multiplexer || !same(x.value, y.value) ||
        !same(x.minimum, y.minimum) || !same(x.maximum, y.maximum)) {
      return false;
    }
  }
  return true;
}

TEST(DecodePlan, GivesWhatTheTreeGivesOnRandomTreesAndPayloads) {
  const uint32_t seed = 20261208;
  RandomTree tree{std::mt19937(seed)};
  auto db = MessageDatabase::create(kBusCan);
  DecodedMessage by_tree, by_plan;
  size_t values = 0, multiplexed = 0, failed = 0;
  for (int round = 0; round < 3000; ++round) {
    Message* m = db->add_message("M" + std::to_string(round), static_cast<uint32_t>(round), 8,
                                 kTransportNone, "", false);
    ASSERT_TRUE(m);
    tree.fill(m->signals, 0);
    std::unique_ptr<DecodePlan> plan = DecodePlan::build(*m);
    ASSERT_TRUE(plan);
    EXPECT_EQ(plan->name_hash(), m->name_hash);
    bool any_groups = false;
    for (const auto& s : m->signals) any_groups = any_groups || !s->groups.empty();
    EXPECT_EQ(plan->plain(), !any_groups);
    for (int frame = 0; frame < 20; ++frame) {
      const uint32_t pick = tree.rng() % 64;
      std::vector<uint8_t> payload(pick == 0   ? 8192 + tree.rng() % 16
                                   : pick < 16 ? tree.rng() % 9
                                               : 8 + tree.rng() % 24);
      for (auto& b : payload) b = static_cast<uint8_t>(tree.rng());
      // Now and then the warnings too; capturing them is slow.
      const bool logged = frame == 0;
      std::string tree_log, plan_log;
      if (logged) {
        LogCapture log(LOG_WARN);
        tree::decode_message(*m, payload.data(), payload.size(), by_tree);
        tree_log = testing_support::log_messages(log.text());
      } else {
        tree::decode_message(*m, payload.data(), payload.size(), by_tree);
      }
      if (logged) {
        LogCapture log(LOG_WARN);
        decode_message(*plan, payload.data(), payload.size(), by_plan);
        plan_log = testing_support::log_messages(log.text());
      } else {
        decode_message(*plan, payload.data(), payload.size(), by_plan);
      }
      ASSERT_TRUE(same_values(by_tree, by_plan))
          << "seed " << seed << " round " << round << " frame " << frame;
      ASSERT_EQ(tree_log, plan_log) << "seed " << seed << " round " << round;
      if (plan->plain()) {
        // The short way for a message without multiplexers: the same
        // values, and a refusal (silent) exactly where the walk stopped
        // short. Asked for fewer signals, it decodes that many.
        const uint32_t asked = frame % 3 == 0 ? plan->top_count() / 2 : plan->top_count();
        std::vector<double> plain(asked + 1, -12345.0);
        LogCapture log(LOG_WARN);
        const bool whole = decode_plain(*plan, asked, payload.data(), payload.size(), plain.data());
        EXPECT_EQ(log.text(), "");
        ASSERT_EQ(whole, by_tree.values.size() >= asked) << "seed " << seed << " round " << round;
        if (whole) {
          for (uint32_t k = 0; k < asked; ++k) {
            ASSERT_TRUE(same(plain[k], by_tree.values[k].value)) << "round " << round;
          }
          EXPECT_EQ(plain[asked], -12345.0);  // nothing past the asked
        }
      }
      values += by_tree.values.size();
      for (const DecodedValue& v : by_tree.values) multiplexed += v.is_multiplexer;
      failed += tree_log.find("Failed to decode message") != std::string::npos;
    }
  }
  // The random trees reach what they are meant to reach.
  EXPECT_GT(values, 100000u);
  EXPECT_GT(multiplexed, 10000u);
  EXPECT_GT(failed, 100u);
}

TEST(DecodePlan, ASignalEndingPastBit65535DecodesAsTheTreeDecodesIt) {
  // The last positions end past 16 bits: the plan keeps the byte and the
  // end beyond it, so the longest payloads reach them and shorter ones
  // fail them, as in the tree.
  auto db = MessageDatabase::create(kBusCan);
  Message* m = db->add_message("Far", 1, 8, kTransportNone, "", false);
  SignalParams near;
  near.bit_length = 8;
  ASSERT_TRUE(add_signal(&m->signals, "Near", near, false));
  for (uint32_t order : {kLittleEndian, kBigEndian}) {
    SignalParams far = near;
    far.byte_order = order;
    far.bit_position = 65530;
    far.bit_length = 16;
    ASSERT_TRUE(add_signal(&m->signals, order == kLittleEndian ? "FarLe" : "FarBe", far, false));
  }
  ASSERT_GT(m->signals[1]->layout.end_bit, 65535u);
  ASSERT_TRUE(compile_plans(*db));
  for (size_t size : {size_t{8}, size_t{8191}, size_t{8193}, size_t{8194}, size_t{9000}}) {
    std::vector<uint8_t> payload(size);
    for (size_t i = 0; i < size; ++i) payload[i] = static_cast<uint8_t>(i * 7 + 3);
    DecodedMessage by_tree, by_plan;
    std::string tree_log, plan_log;
    {
      LogCapture log(LOG_WARN);
      tree::decode_message(*m, payload.data(), payload.size(), by_tree);
      tree_log = log.text();
    }
    {
      LogCapture log(LOG_WARN);
      decode_message(*m->plan, payload.data(), payload.size(), by_plan);
      plan_log = log.text();
    }
    EXPECT_TRUE(same_values(by_tree, by_plan)) << size;
    EXPECT_EQ(testing_support::log_messages(tree_log), testing_support::log_messages(plan_log));
    EXPECT_EQ(by_plan.values.size(), size >= 8194 ? 3u : 1u) << size;
  }
}

}  // namespace
}  // namespace quillon
