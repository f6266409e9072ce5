#include "app/options.h"

#include <gtest/gtest.h>

#include <climits>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

namespace quillon {
namespace {

// An argument vector that owns its words; argv[0] is the program name.
struct Args {
  std::vector<std::string> words;
  std::vector<const char*> argv;
  Args(std::initializer_list<const char*> list) {
    words.push_back("prog");
    for (const char* w : list) words.push_back(w);
    for (const std::string& w : words) argv.push_back(w.c_str());
  }
  Args(const Args&) = delete;
  int argc() const { return static_cast<int>(argv.size()); }
};

std::vector<int> codes(const OptionTable& table) {
  std::vector<int> out;
  for (const OptionError& e : table.end()->errors()) out.push_back(e.code);
  return out;
}

std::vector<std::string> values(const TextOption& entry) {
  std::vector<std::string> out;
  for (int i = 0; i < entry.count(); ++i) out.push_back(entry.value(i));
  return out;
}

// A stand-in for the program's table, with decoder-like entries.
struct StandIn {
  OptionTable table;
  FlagOption* help;
  FlagOption* version;
  IntegerOption* verbosity;
  FlagOption* non_interactive;
  FlagOption* del;
  FlagOption* no_append;
  IntegerOption* buffer;
  CallbackFlagOption* dbdump;
  CallbackTextOption* dbc;
  PathOption* output;
  PathOption* inputs;
  int checks_run = 0;

  explicit StandIn(int capacity = 20, int max_inputs = 100) {
    help = table.add_flag(nullptr, "help", "display this help and exit");
    version = table.add_flag("v", "version", "display tool version and exit");
    verbosity = table.add_integer(nullptr, "verbosity", "<n>", "verbosity level");
    non_interactive = table.add_flag(nullptr, "non-interactive", "quiet");
    del = table.add_flag("d", "delete-converted", "delete");
    no_append = table.add_flag("X", "no-append-root", "no append");
    buffer = table.add_integer("b", "buffer", "<n>", "buffer size");
    dbdump = table.add_callback_flag(nullptr, "dbdump", "dump", [this](const CallbackFlagOption&) {
      ++checks_run;
      return 0;
    });
    dbc = table.add_callback_text(nullptr, "dbc-can*", nullptr, 0, 99, "dbc path",
                                  [this](const CallbackTextOption&) {
                                    ++checks_run;
                                    return 0;
                                  });
    output = table.add_path("O", "output-directory", "<file>", 0, 1, "output");
    inputs = table.add_path(nullptr, nullptr, "file(s)/folder(s)", 1, max_inputs, nullptr);
    table.add_end(capacity);
  }
  // Values point into the words, so the last vector parsed is kept.
  std::unique_ptr<Args> args;
  int parse(std::initializer_list<const char*> words, bool posixly = false) {
    args = std::make_unique<Args>(words);
    return table.parse(args->argc(), args->argv.data(), posixly);
  }
  int parse(const Args& a, bool posixly = false) {
    return table.parse(a.argc(), a.argv.data(), posixly);
  }
};

TEST(OptionInteger, Syntax) {
  struct Row {
    const char* text;
    int code;
    int32_t value;
  } rows[] = {
      {"16", 0, 16},
      {"-1", 0, -1},
      {"+7", 0, 7},
      {" \t42 \n", 0, 42},
      {"0x10", 0, 16},
      {"0X1f", 0, 31},
      {"-0x10", 0, -16},
      {"0o17", 0, 15},
      {"0O17", 0, 15},
      {"0b101", 0, 5},
      {"0B11", 0, 3},
      {"007", 0, 7},
      {"2147483647", 0, INT32_MAX},
      {"-2147483648", 0, INT32_MIN},
      // Beyond 32 bits the nearest limit is taken, silently.
      {"99999999999999999999", 0, INT32_MAX},
      {"-99999999999999999999", 0, INT32_MIN},
      {"0xFFFFFFFF", 0, INT32_MAX},
      // Suffixes, any case, with their ranges.
      {"4KB", 0, 4096},
      {"4kb", 0, 4096},
      {"4kB ", 0, 4096},
      {"1MB", 0, 1048576},
      {"1gb", 0, 1073741824},
      {"0x1KB", 0, 1024},
      {"2097151KB", 0, 2097151 * 1024},
      {"-2097152KB", 0, INT32_MIN},
      {"2097152KB", 4, 0},
      {"2047MB", 0, 2047 * 1048576},
      {"-2048MB", 0, INT32_MIN},
      {"2048MB", 4, 0},
      {"-2049MB", 4, 0},
      {"3000MB", 4, 0},
      {"1GB", 0, 1 << 30},
      {"-2GB", 0, INT32_MIN},
      {"2GB", 4, 0},
      {"-3GB", 4, 0},
      {"99999999999GB", 4, 0},
      // Not numbers.
      {"", 3, 0},
      {"   ", 3, 0},
      {"-", 3, 0},
      {"- 5", 3, 0},
      {"abc", 3, 0},
      {"0x", 3, 0},
      {"0xg", 3, 0},
      {"0b2", 3, 0},
      {"0o8", 3, 0},
      {"1.5", 3, 0},
      {"1e3", 3, 0},
      {"4 KB", 3, 0},
      {"4KBx", 3, 0},
      {"4KB 5", 3, 0},
      {"5XB", 3, 0},
      {"12abc", 3, 0},
      {"KB", 3, 0},
      {"3000MBx", 3, 0},
  };
  for (const Row& row : rows) {
    int32_t value = 12345;
    EXPECT_EQ(option_code(parse_option_integer(row.text, value)), row.code)
        << '"' << row.text << '"';
    EXPECT_EQ(value, row.code == 0 ? row.value : 12345) << '"' << row.text << '"';
  }
}

TEST(OptionParse, ShortOptionsGroupAndTakeValues) {
  struct Row {
    Args args;
    int32_t buffer;
  } rows[] = {
      {{"-b100", "in"}, 100},        {{"-b", "100", "in"}, 100},     {{"-b-1", "in"}, -1},
      {{"-b", "-1", "in"}, -1},      {{"--buffer", "-1", "in"}, -1}, {{"--buffer=0x10", "in"}, 16},
      {{"-dXb", "4kb", "in"}, 4096}, {{"in", "-dXb4KB"}, 4096},
  };
  for (Row& row : rows) {
    StandIn s;
    EXPECT_EQ(s.parse(row.args), 0) << row.args.words[1];
    EXPECT_EQ(s.buffer->count(), 1);
    EXPECT_EQ(s.buffer->value(), row.buffer) << row.args.words[1];
    EXPECT_EQ(values(*s.inputs), std::vector<std::string>{"in"});
  }
  StandIn s;
  EXPECT_EQ(s.parse({"-dX", "in"}), 0);
  EXPECT_EQ(s.del->count(), 1);
  EXPECT_EQ(s.no_append->count(), 1);
  EXPECT_EQ(s.buffer->count(), 0);
}

TEST(OptionParse, LongNamesAndAbbreviations) {
  StandIn s;
  EXPECT_EQ(s.parse({"--verb", "3", "in"}), 0);
  EXPECT_EQ(s.verbosity->value(), 3);
  EXPECT_EQ(s.parse({"--verbosity=2", "--non", "in"}), 0);
  EXPECT_EQ(s.verbosity->value(), 2);
  EXPECT_EQ(s.non_interactive->count(), 1);
  // Two entries start with "no": ambiguous.
  EXPECT_EQ(s.parse({"--no", "in"}), 1);
  EXPECT_EQ(codes(s.table), std::vector<int>{kEndInvalid});
  EXPECT_EQ(s.table.errors_text("prog"), "prog: invalid option \"--no\"\n");
  // The wildcard name does not take part in abbreviations.
  EXPECT_EQ(s.parse({"--db", "in"}), 0);
  EXPECT_EQ(s.dbdump->count(), 1);

  // Candidates of one entry are no ambiguity.
  OptionTable t;
  FlagOption* colour = t.add_flag(nullptr, "colour,color", "colour");
  t.add_flag(nullptr, "count", "count");
  t.add_end(5);
  Args col{"--col"};
  EXPECT_EQ(t.parse(col.argc(), col.argv.data(), false), 0);
  EXPECT_EQ(colour->count(), 1);
  Args co{"--co"};
  EXPECT_EQ(t.parse(co.argc(), co.argv.data(), false), 1);
}

TEST(OptionParse, ScanErrorsAreRecordedNotPrinted) {
  struct Row {
    Args args;
    std::vector<int> codes;
    std::string text;  // the errors as printed
  } rows[] = {
      {{"--help=yes", "in"}, {kEndInvalid}, "p: invalid option \"--help=yes\"\n"},
      {{"--unknown", "in"}, {kEndInvalid}, "p: invalid option \"--unknown\"\n"},
      {{"--", "in", "-x"}, {}, ""},
      {{"in", "-b"}, {kEndMissingValue}, "p: option \"-b\" requires an argument\n"},
      {{"in", "-db"}, {kEndMissingValue}, "p: option \"-db\" requires an argument\n"},
      {{"in", "--buffer"}, {kEndMissingValue}, "p: option \"--buffer\" requires an argument\n"},
      {{"-z", "in"}, {'z'}, "p: invalid option \"-z\"\n"},
      {{"-dzq", "in"}, {'z', 'q'}, "p: invalid option \"-z\"\np: invalid option \"-q\"\n"},
      // A control letter must not pass for an end code such as 3 or 5.
      {{"-\x03", "in"}, {kEndInvalid}, "p: invalid option \"-\x03\"\n"},
      {{"-\xE9", "in"}, {0xE9}, "p: invalid option \"-\xE9\"\n"},
      {{"-:", "in"}, {':'}, "p: invalid option \"-:\"\n"},
      // An empty value is missing, and the entry's own scan still judges it.
      {{"--buffer=", "in"},
       {kEndMissingValue, kOptionNotNumber},
       "p: option \"--buffer=\" requires an argument\n"
       "p: invalid argument \"\" to option -b|--buffer=<n>\n"},
      {{"-O", "", "in"}, {kEndMissingValue}, "p: option \"-O\" requires an argument\n"},
      {{"-b", "1.5", "in"},
       {kOptionNotNumber},
       "p: invalid argument \"1.5\" to option -b|--buffer=<n>\n"},
      {{"-b", "3000MB", "in"},
       {kOptionOutOfRange},
       "p: integer overflow at option -b|--buffer=<n> (3000MB is too large)\n"},
      {{"-d", "-d", "in"}, {kOptionExcess}, "p: extraneous option -d|--delete-converted\n"},
      {{"-b1", "-b2", "in"}, {kOptionExcess}, "p: excess option -b|--buffer=2\n"},
      {{"-Oa", "--output-directory=b", "in"},
       {kOptionExcess},
       "p: excess option -O|--output-directory=b\n"},
      {{"--dbdump", "--dbdump", "in"}, {kOptionExcess}, "p: extraneous option --dbdump\n"},
      // No input at all fails the positional entry's check.
      {{}, {kOptionMissing}, "p: missing option file(s)/folder(s)\n"},
  };
  for (Row& row : rows) {
    StandIn s;
    EXPECT_EQ(s.parse(row.args), static_cast<int>(row.codes.size())) << row.text;
    EXPECT_EQ(codes(s.table), row.codes) << row.text;
    EXPECT_EQ(s.table.errors_text("p"), row.text);
  }
}

TEST(OptionParse, WildcardLongName) {
  StandIn s;
  EXPECT_EQ(s.parse({"--dbc-can1=a.dbc", "--dbc-can22=b c.dbc", "--output-directory=x",
                     "--dbc-can=y", "in"}),
            0);
  EXPECT_EQ(values(*s.dbc),
            (std::vector<std::string>{"dbc-can1=a.dbc", "dbc-can22=b c.dbc", "dbc-can=y"}));
  EXPECT_EQ(values(*s.output), std::vector<std::string>{"x"});

  struct Row {
    Args args;
  } refused[] = {
      {{"--dbc-can1", "a.dbc", "in"}}, {{"--dbc=a.dbc", "in"}}, {{"--dbc-lin1=a", "in"}}};
  for (Row& row : refused) {
    StandIn t;
    t.parse(row.args);
    ASSERT_FALSE(codes(t.table).empty()) << row.args.words[1];
    EXPECT_EQ(codes(t.table).front(), kEndInvalid) << row.args.words[1];
  }

  // 99 occurrences fit, the 100th is one too many.
  std::vector<std::string> words;
  for (int i = 0; i < 100; ++i) words.push_back("--dbc-can" + std::to_string(i) + "=x");
  std::vector<const char*> argv{"prog", "in"};
  for (const std::string& w : words) argv.push_back(w.c_str());
  StandIn u;
  EXPECT_EQ(u.table.parse(static_cast<int>(argv.size()), argv.data(), false), 1);
  EXPECT_EQ(u.dbc->count(), 99);
  EXPECT_EQ(u.table.errors_text("p"), "p: excess option --dbc-can*=dbc-can99=x\n");
}

TEST(OptionParse, PositionalWordsAreSetAsideInOrder) {
  StandIn s;
  EXPECT_EQ(s.parse({"a", "--delete-converted", "b", "-", "--", "-c", "--help"}), 0);
  EXPECT_EQ(s.del->count(), 1);
  EXPECT_EQ(s.help->count(), 0);
  EXPECT_EQ(values(*s.inputs), (std::vector<std::string>{"a", "b", "-", "-c", "--help"}));

  // POSIXLY_CORRECT: the first positional word ends the options.
  EXPECT_EQ(s.parse({"-d", "a", "--delete-converted", "b"}, true), 0);
  EXPECT_EQ(s.del->count(), 1);
  EXPECT_EQ(values(*s.inputs), (std::vector<std::string>{"a", "--delete-converted", "b"}));

  // Thousands of words are all taken.
  std::vector<std::string> words(5000, "w");
  std::vector<const char*> argv{"prog"};
  for (const std::string& w : words) argv.push_back(w.c_str());
  StandIn big(20, 5000);
  EXPECT_EQ(big.table.parse(static_cast<int>(argv.size()), argv.data(), false), 0);
  EXPECT_EQ(big.inputs->count(), 5000);
}

TEST(OptionParse, PositionalEntriesHandOnWhatTheyRefuse) {
  OptionTable t;
  PathOption* first = t.add_path(nullptr, nullptr, "<a>", 0, 1, nullptr);
  PathOption* second = t.add_path(nullptr, nullptr, "<b>", 0, 2, nullptr);
  t.add_end(10);
  Args three{"x", "y", "z"};
  EXPECT_EQ(t.parse(three.argc(), three.argv.data(), false), 0);
  EXPECT_EQ(values(*first), std::vector<std::string>{"x"});
  EXPECT_EQ(values(*second), (std::vector<std::string>{"y", "z"}));

  // The last refusal is recorded against its entry, the rest as unexpected.
  Args five{"x", "y", "z", "u", "v"};
  EXPECT_EQ(t.parse(five.argc(), five.argv.data(), false), 2);
  EXPECT_EQ(codes(t), (std::vector<int>{kOptionExcess, kEndUnexpected}));
  EXPECT_EQ(t.end()->errors()[0].entry, second);
  EXPECT_EQ(t.errors_text("p"), "p: excess option u\np: unexpected argument \"v\"\n");

  OptionTable none;
  none.add_flag("f", nullptr, "f");
  none.add_end(10);
  Args words{"x", "-f", "y"};
  EXPECT_EQ(none.parse(words.argc(), words.argv.data(), false), 2);
  EXPECT_EQ(none.errors_text("p"), "p: unexpected argument \"x\"\np: unexpected argument \"y\"\n");
}

TEST(OptionParse, FullEndEntrySaysTooMany) {
  StandIn s(3);
  EXPECT_EQ(s.parse({"-z", "-y", "-w", "-q", "-r", "in"}), 3);
  EXPECT_EQ(codes(s.table), (std::vector<int>{'z', 'y', kEndTooMany}));
  EXPECT_EQ(s.table.errors_text("p"),
            "p: invalid option \"-z\"\np: invalid option \"-y\"\np: too many errors to display\n");
  // A zero capacity still keeps one record, so a failed parse never looks clean.
  OptionTable t;
  t.add_end(0);
  Args one{"x"};
  EXPECT_EQ(t.parse(one.argc(), one.argv.data(), false), 1);
}

TEST(OptionParse, ChecksRunOnlyAfterACleanScanAndInTableOrder) {
  StandIn s;
  EXPECT_EQ(s.parse({"-z", "in"}), 1);
  EXPECT_EQ(s.checks_run, 0);
  EXPECT_EQ(s.parse({"in"}), 0);
  EXPECT_EQ(s.checks_run, 2);

  std::string order;
  OptionTable t;
  t.add_callback_flag(nullptr, "a", "a", [&](const CallbackFlagOption& e) {
    order += 'a';
    order += std::to_string(e.count());
    return 0;
  });
  t.add_callback_text(
      nullptr, "t", nullptr, 0, 5, "t",
      [&](const CallbackTextOption& e) {
        order += 't';
        order += std::to_string(e.count());
        return e.count() > 1 ? 7 : 0;
      },
      [](std::string& out, const OptionEntry& e, int code, const char* value, const char*) {
        out += "code " + std::to_string(code) + " at " + e.option_text("|") +
               (value ? " value" : " no value") + "\n";
      });
  t.add_callback_flag(
      nullptr, "z", "z", [&](const CallbackFlagOption&) { return 2; },
      [](std::string& out, const OptionEntry&, int code, const char*, const char* program) {
        out += std::string(program) + " flag says " + std::to_string(code) + "\n";
      });
  t.add_end(5);
  Args args{"--t=1", "--a", "--t=2"};
  EXPECT_EQ(t.parse(args.argc(), args.argv.data(), false), 2);
  EXPECT_EQ(order, "a1t2");
  EXPECT_EQ(codes(t), (std::vector<int>{7 * kOptionUserUnit, 2 * kOptionUserUnit}));
  // Text entries get the program prefix, flags write their own line.
  EXPECT_EQ(t.errors_text("p"), "p: code 7 at --t=<string> no value\np flag says 2\n");
}

TEST(OptionParse, MissingOccurrencesAreReportedByTheChecks) {
  OptionTable t;
  // Flags and integers are created with minimum 0; a stand-in raises them.
  struct Required : IntegerOption {
    Required() : IntegerOption("n", nullptr, nullptr, "n") { min_ = 1; }
  };
  struct RequiredFlag : FlagOption {
    RequiredFlag() : FlagOption("f", "flag", "f") { min_ = 1; }
  };
  t.append(std::make_unique<RequiredFlag>());
  t.append(std::make_unique<Required>());
  t.add_path("p", "path", nullptr, 2, 1, "p");
  t.add_end(5);
  Args none{};
  EXPECT_EQ(t.parse(none.argc(), none.argv.data(), false), 3);
  EXPECT_EQ(t.errors_text("x"),
            "x: missing option -f|--flag\n\n"
            "x: missing option -n <int>\n"
            "x: missing option -p|--path=<file>\n");
  // The maximum was raised to the minimum: two required occurrences.
  EXPECT_EQ(t.syntax_text(""), " -f|--flag -n <int> -p|--path=<file> -p|--path=<file>");
}

TEST(OptionParse, ParseForgetsThePreviousParse) {
  StandIn s;
  EXPECT_EQ(s.parse({"-b5", "--dbc-can1=a", "a", "b"}), 0);
  EXPECT_EQ(s.parse({"-z"}), 1);
  EXPECT_EQ(s.buffer->count(), 0);
  EXPECT_EQ(s.dbc->count(), 0);
  EXPECT_EQ(s.inputs->count(), 0);
  EXPECT_EQ(s.parse({"c"}), 0);
  EXPECT_EQ(values(*s.inputs), std::vector<std::string>{"c"});
}

TEST(OptionParse, OptionalValues) {
  OptionTable t;
  IntegerOption* level = t.add_integer("l", "level", "<n>", "level");
  level->make_value_optional();
  PathOption* rest = t.add_path(nullptr, nullptr, "<x>", 0, 5, nullptr);
  t.add_end(5);
  struct Row {
    Args args;
    int32_t value;
    size_t rest;
  } rows[] = {{{"-l"}, 0, 0},      {{"-l5"}, 5, 0},       {{"-l", "5"}, 0, 1},
              {{"--level"}, 0, 0}, {{"--level=7"}, 7, 0}, {{"--lev", "7"}, 0, 1}};
  for (Row& row : rows) {
    EXPECT_EQ(t.parse(row.args.argc(), row.args.argv.data(), false), 0);
    EXPECT_EQ(level->count(), 1);
    EXPECT_EQ(level->value(), row.value) << row.args.words[1];
    EXPECT_EQ(static_cast<size_t>(rest->count()), row.rest);
  }
  EXPECT_EQ(level->option_text("|"), "-l|--level=[<n>]");
}

TEST(OptionTableTest, CompleteOnlyWithEveryEntryAndAnEnd) {
  OptionTable t;
  EXPECT_FALSE(t.complete());
  t.add_flag("a", nullptr, "a");
  EXPECT_FALSE(t.complete());
  Args args{"-a"};
  EXPECT_EQ(t.parse(args.argc(), args.argv.data(), false), -1);
  t.append(std::unique_ptr<FlagOption>());
  t.add_end(3);
  EXPECT_FALSE(t.complete());

  OptionTable u;
  u.add_flag("a", nullptr, "a");
  u.add_end(3);
  EXPECT_TRUE(u.complete());
  EXPECT_EQ(u.parse(0, nullptr), 0);
}

TEST(OptionText, SyntaxLineAndGlossary) {
  OptionTable t;
  t.add_flag("vV", "version,ver", "show the version");
  t.add_integer("n", nullptr, nullptr, "a number");
  t.add_integer(nullptr, "size", "<n>", nullptr);
  t.add_path(nullptr, nullptr, "file", 1, 1, nullptr);
  t.add_path(nullptr, nullptr, "two", 0, 2, nullptr);
  t.add_callback_text(nullptr, "dbc-can*", nullptr, 0, 99, "dbc", nullptr);
  t.add_flag(nullptr, "input-files=<file(s)/folder(s)>", "inputs");
  t.add_end(5);
  EXPECT_EQ(t.syntax_text("\n"),
            " [-v|-V|--version|--ver] [-n <int>] [--size=<n>] file [two] [two]"
            " [--dbc-can*=<string>]... [--input-files=<file(s)/folder(s)>]\n");
  EXPECT_EQ(t.glossary_text(),
            "  -v, -V, --version, --ver show the version\n"
            "  -n <int>             a number\n"
            "  --dbc-can*=<string>  dbc\n"
            "  --input-files=<file(s)/folder(s)> inputs\n");
  EXPECT_EQ(t.glossary_text("%s|%s;"),
            "-v, -V, --version, --ver|show the version;-n <int>|a number;--dbc-can*=<string>|dbc;"
            "--input-files=<file(s)/folder(s)>|inputs;");

  // The option text stops at 199 characters.
  std::string long_name(300, 'q');
  auto flag = make_flag_option(nullptr, long_name.c_str(), "x");
  EXPECT_EQ(flag->option_text("|").size(), 199u);
}

TEST(OptionText, EndCodesPrintTheirMessages) {
  OptionEnd end(10);
  end.record(kEndNoMemory, &end, nullptr);
  end.record(kEndUnexpected, &end, "w");
  end.record(kEndMissingValue, &end, "-b");
  end.record('k', &end, nullptr);
  std::string out;
  for (const OptionError& e : end.errors())
    e.entry->print_error(out, e.code, e.has_text ? e.text.c_str() : nullptr, "p");
  EXPECT_EQ(out,
            "p: insufficient memory\n"
            "p: unexpected argument \"w\"\n"
            "p: option \"-b\" requires an argument\n"
            "p: invalid option \"-k\"\n");
}

TEST(OptionPath, BaseNameAndExtension) {
  struct Row {
    const char* path;
    const char* base;
    const char* extension;
  } rows[] = {
      {"dir/file.txt", "file.txt", ".txt"},
      {"c:\\logs\\a.b.TXT", "a.b.TXT", ".TXT"},
      {"plain", "plain", ""},
      {"dir/.hidden", ".hidden", ""},
      {"dir/name.", "name.", ""},
      {"dir/", "", ""},
      {".", "", ""},
      {"a/..", "", ""},
      {"x/...", "...", ""},
  };
  OptionTable t;
  PathOption* p = t.add_path(nullptr, nullptr, nullptr, 0, 100, nullptr);
  t.add_end(3);
  std::vector<const char*> argv{"prog"};
  for (const Row& r : rows) argv.push_back(r.path);
  ASSERT_EQ(t.parse(static_cast<int>(argv.size()), argv.data(), false), 0);
  for (int i = 0; i < p->count(); ++i) {
    EXPECT_STREQ(p->base_name(i), rows[i].base) << rows[i].path;
    EXPECT_STREQ(p->extension(i), rows[i].extension) << rows[i].path;
  }
}

TEST(OptionMemory, OutOfMemoryEndsTheProcess) {
  EXPECT_EXIT(options_out_of_memory(), testing::ExitedWithCode(1), "^Out of memory!\n$");
}

}  // namespace
}  // namespace quillon
