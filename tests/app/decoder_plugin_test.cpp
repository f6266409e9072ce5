#include "app/decoder_plugin.h"

#include <gtest/gtest.h>

#include <vector>

#include "app/options.h"

namespace quillon {
namespace {

struct Parsed {
  ConverterState converter;
  DecoderPart* part = nullptr;
  int problems = 0;
};

void parse(Parsed& p, std::vector<const char*> words) {
  auto plugin = std::make_unique<DecoderPlugin>();
  p.part = &plugin->decoder();
  p.converter.plugin = std::move(plugin);
  OptionTable table;
  ASSERT_TRUE(p.converter.plugin->add_options(p.converter, table));
  table.add_end(20);
  ASSERT_TRUE(table.complete());
  words.insert(words.begin(), "quillon");
  p.problems = table.parse(static_cast<int>(words.size()), words.data(), false);
}

TEST(DecoderPlugin, DefaultsAndPairsWhereTheNegativeWins) {
  Parsed defaults;
  parse(defaults, {});
  ASSERT_TRUE(defaults.part);
  EXPECT_TRUE(defaults.part->concat);
  EXPECT_FALSE(defaults.part->pgn_src_merge);
  EXPECT_TRUE(defaults.part->pgn_dst_merge);
  EXPECT_FALSE(defaults.part->dbdump);

  Parsed set;
  parse(set, {"--no-concat", "--pgn-src-merge", "--no-pgn-dst-merge", "--dbdump"});
  EXPECT_EQ(set.problems, 0);
  EXPECT_FALSE(set.part->concat);
  EXPECT_TRUE(set.part->pgn_src_merge);
  EXPECT_FALSE(set.part->pgn_dst_merge);
  EXPECT_TRUE(set.part->dbdump);

  // Checks run in table order, so the option listed second decides.
  Parsed both;
  parse(both, {"--no-concat", "--concat", "--no-pgn-src-merge", "--pgn-src-merge", "--dbdump",
               "--no-dbdump", "--pgn-dst-merge", "--no-pgn-dst-merge"});
  EXPECT_EQ(both.problems, 0);
  EXPECT_FALSE(both.part->concat);
  EXPECT_FALSE(both.part->pgn_src_merge);
  EXPECT_FALSE(both.part->pgn_dst_merge);
  EXPECT_FALSE(both.part->dbdump);

  Parsed twice;
  parse(twice, {"--dbdump", "--dbdump"});
  EXPECT_GT(twice.problems, 0);
}

TEST(DecoderPlugin, LabelsAndSelectionOptions) {
  Parsed defaults;
  parse(defaults, {});
  EXPECT_FALSE(defaults.part->selection.value_labels);
  EXPECT_TRUE(defaults.part->selection.messages.empty());
  EXPECT_TRUE(defaults.part->selection.signals.empty());

  Parsed set;
  parse(set, {"--value-labels", "--messages=EEC1,ET*", "--signals=A,,EEC1.B", "--messages=X?"});
  EXPECT_EQ(set.problems, 0);
  EXPECT_TRUE(set.part->selection.value_labels);
  EXPECT_EQ(set.part->selection.messages, (std::vector<std::string>{"EEC1", "ET*", "X?"}));
  EXPECT_EQ(set.part->selection.signals, (std::vector<std::string>{"A", "EEC1.B"}));

  // The pair in the style of the others: the negative, listed second, wins.
  Parsed both;
  parse(both, {"--no-value-labels", "--value-labels"});
  EXPECT_EQ(both.problems, 0);
  EXPECT_FALSE(both.part->selection.value_labels);
  Parsed twice;
  parse(twice, {"--value-labels", "--value-labels"});
  EXPECT_GT(twice.problems, 0);
}

TEST(DecoderPlugin, DbcArgumentsKeepTheirNamesAndOrder) {
  Parsed p;
  parse(p, {"--dbc-can2=body.dbc", "--dbc-can1=a b.dbc", "--dbc-can2=body.dbc"});
  EXPECT_EQ(p.problems, 0);
  EXPECT_EQ(
      p.part->dbc_arguments,
      (std::vector<std::string>{"dbc-can2=body.dbc", "dbc-can1=a b.dbc", "dbc-can2=body.dbc"}));
  Parsed lin;
  parse(lin, {"--dbc-lin1=x.dbc"});  // LIN files come only from the working folder
  EXPECT_GT(lin.problems, 0);
  EXPECT_TRUE(lin.part->dbc_arguments.empty());
}

}  // namespace
}  // namespace quillon
