#include "dbc/selection.h"

#include <gtest/gtest.h>

#include <random>
#include <regex>
#include <string>

#include "dbc/decode.h"

namespace quillon {
namespace {

// The wildcards as a regular expression: the reference for the matcher.
bool reference_match(const std::string& pattern, const std::string& name) {
  std::string re;
  for (char c : pattern) {
    if (c == '*') {
      re += ".*";
    } else if (c == '?') {
      re += '.';
    } else {
      re += c;  // the test's names hold no character special to either
    }
  }
  return std::regex_match(name, std::regex(re));
}

TEST(Selection, WildcardsAgainstARegularExpression) {
  std::mt19937 random(7);
  const char alphabet[] = "ab_*?";
  for (int i = 0; i < 20000; ++i) {
    std::string pattern, name;
    for (uint32_t n = random() % 7; n > 0; --n) pattern += alphabet[random() % 5];
    for (uint32_t n = random() % 8; n > 0; --n) name += alphabet[random() % 3];
    EXPECT_EQ(glob_match(pattern, name), reference_match(pattern, name)) << pattern << " " << name;
  }
  EXPECT_FALSE(glob_match("eec1", "EEC1"));  // case counts
  EXPECT_TRUE(signal_pattern_matches("E*.Eng_?peed", "EEC1", "Eng_Speed"));
  EXPECT_FALSE(signal_pattern_matches("ET1.Eng_Speed", "EEC1", "Eng_Speed"));
  EXPECT_TRUE(signal_pattern_matches("*", "EEC1", "Eng_Speed"));
  std::vector<std::string> parts;
  split_patterns(",A,,B*,", parts);
  EXPECT_EQ(parts, (std::vector<std::string>{"A", "B*"}));
}

// Which plans are chosen and labelled, which patterns hit, and that a
// switch left out still chooses its groups.
TEST(Selection, PlansChosenLeftOutAndLabelled) {
  auto db = MessageDatabase::create(kBusCan);
  SignalParams p;
  p.bit_length = 8;
  Message* a = db->add_message("Alpha", 1, 8, 0, "", false);
  Signal* sw = add_signal(&a->signals, "Sw", p, false);
  p.bit_position = 8;
  add_signal(&add_group(sw->groups, 1, 1)->signals, "X", p, false)->labels =
      std::make_unique<ValueLabels>();
  Message* b = db->add_message("Beta", 2, 8, 0, "", false);
  add_signal(&b->signals, "X", p, false);
  add_signal(&b->signals, "Hidden", p, true)->labels = std::make_unique<ValueLabels>();
  ASSERT_TRUE(compile_plans(*db));

  Selection sel;
  sel.signals = {"Alpha.X", "Hidden", "Nothing"};
  sel.value_labels = true;
  std::vector<bool> mh, sh(3);
  apply_selection(*db, sel, mh, sh);
  EXPECT_EQ(sh, (std::vector<bool>{true, true, false}));
  EXPECT_TRUE(a->plan->chosen());
  EXPECT_TRUE(a->plan->labelled());
  // Beta's only chosen signal is ignored: nothing to write.
  EXPECT_FALSE(b->plan->chosen());
  EXPECT_FALSE(b->plan->labelled());
  const uint8_t payload[8] = {1, 5};
  DecodedMessage out;
  decode_message(*a->plan, payload, 8, out);
  ASSERT_EQ(out.values.size(), 2u);
  EXPECT_TRUE(out.values[0].ignored);  // the switch: decoded, not written
  EXPECT_TRUE(out.values[0].is_multiplexer);
  EXPECT_FALSE(out.values[1].ignored);
  EXPECT_EQ(out.values[1].value, 5);

  // Without any option the plans stay as compiled.
  ASSERT_TRUE(compile_plans(*db));
  std::vector<bool> none;
  apply_selection(*db, Selection{}, none, none);
  EXPECT_TRUE(b->plan->chosen());
  EXPECT_FALSE(a->plan->labelled());
}

}  // namespace
}  // namespace quillon
