#include "app/command_line.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "app/decoder_plugin.h"
#include "app/options.h"
#include "app/version.h"
#include "platform/platform.h"
#include "support/log.h"

namespace quillon {
namespace {

namespace fs = std::filesystem;

struct Outcome {
  bool ok = false;
  int status = 129;
  std::string out, err;
};

// Runs the command line with "quillon" as argv[0], capturing what it prints.
Outcome run_cli(ConverterState& converter, std::vector<std::string> words) {
  words.insert(words.begin(), "quillon");
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  Outcome o;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  o.ok = run_command_line(converter, static_cast<int>(words.size()), argv.data(), o.status);
  o.out = testing::internal::GetCapturedStdout();
  o.err = testing::internal::GetCapturedStderr();
  return o;
}

// Log lines from the level letter on: the time and the two ids are cut.
std::string strip_log_prefixes(const std::string& text) {
  std::string out;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    end = end == std::string::npos ? text.size() : end + 1;
    size_t i = start + 19;  // "mm-dd hh:mm:ss.mmm "
    for (int field = 0; field < 2 && i < end; ++field) {
      while (i < end && text[i] == ' ') ++i;
      while (i < end && text[i] >= '0' && text[i] <= '9') ++i;
    }
    if (i + 1 < end) out.append(text, i + 1, end - i - 1);
    start = end;
  }
  return out;
}

class CommandLine : public testing::Test {
 protected:
  void SetUp() override {
    static int serial = 0;
    root_ = (fs::temp_directory_path() / ("quillon_cli_" + std::to_string(platform::process_id()) +
                                          "_" + std::to_string(serial++)))
                .generic_string();
    fs::create_directories(root_ + "/logs/sub");
    fs::create_directories(root_ + "/other");
    fs::create_directories(root_ + "/out");
    for (const char* f : {"/logs/a.txt", "/logs/b.txt", "/logs/sub/x.txt", "/other/c.txt"}) {
      std::ofstream(root_ + f) << "x";
    }
    log_set_threshold(LOG_NONE);
  }
  void TearDown() override {
    log_set_threshold(LOG_NONE);
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  std::string at(const char* relative) const { return root_ + "/" + relative; }
  Outcome run(std::vector<std::string> words) { return run_cli(converter_, std::move(words)); }

  std::string root_;
  ConverterState converter_;
};

TEST_F(CommandLine, NoArgumentOrHelpPrintsTheUsageOnly) {
  for (std::vector<std::string> words : std::vector<std::vector<std::string>>{
           {}, {"--help"}, {"--help", "-z", "--verbosity=9", "-b"}}) {
    ConverterState converter;
    Outcome o = run_cli(converter, words);
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.status, 129);
    EXPECT_EQ(o.out.rfind("Usage: quillon [--help] [-v|--version] [--verbosity=<n>]", 0), 0u)
        << o.out;
    EXPECT_NE(o.out.find("\n\n  --help    "), std::string::npos) << o.out;
    // The help names the default window now that it is no longer -1.
    EXPECT_NE(o.out.find("\n  -b, --buffer=<n>                         buffer size in bytes "
                         "(default 1048576). 0 disables and -1 takes entire file\n"),
              std::string::npos);
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(log_threshold, LOG_NONE);
  }
}

TEST_F(CommandLine, VersionPrintsTheBuildBlock) {
  const std::regex shape(
      "Version: [0-9]{2}\\.[0-9]{2}\\.[0-9]{2}\\.([0-9a-f]{8})\n"
      "Build date: (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [1-9][0-9]? [0-9]{4} "
      "[0-2][0-9]:[0-5][0-9]:[0-6][0-9]\n"
      "GIT SHA: ([0-9a-f]{40})\n");
  std::smatch m;
  const std::string block = version_block();
  ASSERT_TRUE(std::regex_match(block, m, shape)) << block;
  EXPECT_EQ(m[1].str(), m[3].str().substr(0, 8));

  for (std::vector<std::string> words :
       std::vector<std::vector<std::string>>{{"-v"}, {"--version", "-z"}, {"-dv", "x"}}) {
    ConverterState converter;
    Outcome o = run_cli(converter, words);
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out, block);
    EXPECT_EQ(o.err, "");
  }
}

TEST_F(CommandLine, ParseErrorsDecideTheStatus) {
  const std::string a = at("logs/a.txt"), out = at("out");
  struct Row {
    std::vector<std::string> words;
    int status;
    std::string printed;
  } rows[] = {
      {{"-z", a}, 134, "quillon: invalid option \"-z\"\n"},
      {{a, "-z", "--no"},
       134,
       "quillon: invalid option \"-z\"\nquillon: invalid option \"--no\"\n"},
      {{"-b"}, 130, ""},
      {{a, "--output-directory"}, 130, ""},
      {{a, "-b", "abc"}, 131, ""},
      {{"--verbosity", "abc", a}, 131, ""},
      {{"--verbosity", "6", a}, 131, ""},
      {{"--verbosity=-1", a}, 131, ""},
      {{"-j", "-1", a}, 131, ""},
      {{"--jobs=two", a}, 131, ""},
      {{"--compress=lz4", a}, 131, ""},
      {{"--compress", "zstd:23", a}, 131, ""},
      {{"--comp=gzip:10", a}, 131, ""},
      // The first record decides even when others follow.
      {{"-b", "x", "-z", a}, 131, ""},
      {{"-z", "-b", "x", a},
       134,
       "quillon: invalid option \"-z\"\nquillon: invalid argument \"x\" to option "
       "-b|--buffer=<n>\n"},
      {{"-b", "3000MB", a},
       134,
       "quillon: integer overflow at option -b|--buffer=<n> (3000MB is too large)\n"},
      {{"-O", out}, 134, "quillon: missing option file(s)/folder(s)\n"},
      {{"-O", out, "-O", out, a},
       134,
       "quillon: excess option -O|--output-directory=" + out + "\n"},
      {{"-d", "-d", a}, 134, "quillon: extraneous option -d|--delete-converted\n"},
      {{"-X=1", a}, 134, "quillon: invalid option \"-=\"\nquillon: invalid option \"-1\"\n"},
      {{"--help=1", a}, 134, "quillon: invalid option \"--help=1\"\n"},
  };
  for (const Row& row : rows) {
    ConverterState converter;
    Outcome o = run_cli(converter, row.words);
    EXPECT_FALSE(o.ok) << row.words[0];
    EXPECT_EQ(o.status, row.status) << row.words[0];
    EXPECT_EQ(o.out, row.printed);
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(log_threshold, LOG_NONE) << "no log line before the options were accepted";
  }
}

TEST_F(CommandLine, VerbositySetsTheLogThreshold) {
  struct Row {
    const char* value;
    int32_t threshold;
  } rows[] = {{nullptr, 5}, {"0", 255}, {"1", 6}, {"2", 5}, {"3", 4}, {"4", 3}, {"5", 3}};
  for (const Row& row : rows) {
    log_set_threshold(LOG_NONE);
    ConverterState converter;
    std::vector<std::string> words{at("logs/a.txt")};
    if (row.value) words.push_back(std::string("--verbosity=") + row.value);
    Outcome o = run_cli(converter, words);
    EXPECT_TRUE(o.ok) << (row.value ? row.value : "absent");
    EXPECT_EQ(log_threshold, row.threshold) << (row.value ? row.value : "absent");
  }
}

// The shortest prefix of every long option of the whole program that the
// parser takes as that option: a new option must never make one that works
// ambiguous. The names come from --help, so an option added later is
// checked too, and fails here until its line is added.
TEST_F(CommandLine, EveryLongOptionKeepsItsShortestAbbreviation) {
  auto with_decoder = [](ConverterState& c) { c.plugin = std::make_unique<DecoderPlugin>(); };
  ConverterState helped;
  with_decoder(helped);
  Outcome help = run_cli(helped, {"--help"});
  std::vector<std::string> names;
  std::regex long_name("  (?:-\\w, )?--([a-z-]+)");
  for (std::sregex_iterator it(help.out.begin(), help.out.end(), long_name), end; it != end; ++it) {
    names.push_back((*it)[1]);
  }
  // Taken as an option (alone, or with a value) rather than refused as
  // invalid, which is what an ambiguous or unknown prefix gives.
  auto taken = [&](const std::string& prefix) {
    for (const std::string& word : {"--" + prefix, "--" + prefix + "=x"}) {
      ConverterState c;
      with_decoder(c);
      Outcome o = run_cli(c, {word, at("logs/a.txt")});
      if (o.out.find("invalid option \"" + word) == std::string::npos &&
          o.err.find("invalid option \"" + word) == std::string::npos) {
        return true;
      }
    }
    return false;
  };
  std::map<std::string, std::string> shortest;
  for (const std::string& name : names) {
    std::string best = "-";
    for (size_t n = name.size(); n >= 1 && taken(name.substr(0, n)); --n) best = name.substr(0, n);
    shortest[name] = best;
  }
  // Before value labels and choosing messages: these held already.
  const std::map<std::string, std::string> expected = {
      {"help", "h"},
      {"version", "vers"},
      {"verbosity", "verb"},
      {"non-interactive", "non"},
      {"delete-converted", "de"},
      {"no-append-root", "no-a"},
      {"buffer", "b"},
      {"jobs", "j"},
      {"concat", "c"},
      {"no-concat", "no-c"},
      {"pgn-src-merge", "pgn-s"},
      {"no-pgn-src-merge", "no-pgn-s"},
      {"pgn-dst-merge", "pgn-d"},
      {"no-pgn-dst-merge", "no-pgn-d"},
      {"dbdump", "db"},
      {"no-dbdump", "no-d"},
      {"output-directory", "o"},
      {"input-files", "i"},
      {"dbc-can", "dbc-can"},  // the wildcard name takes no abbreviation
      // The new ones.
      {"value-labels", "va"},
      {"no-value-labels", "no-v"},
      {"messages", "m"},
      // The two options that came together share their first letter.
      {"shard", "sh"},
      {"signals", "si"},
      {"report", "r"},
      // Taken, but as --concat's (below).
      {"compress", "c"},
  };
  EXPECT_EQ(shortest, expected);
  // --compress came after --concat and leaves it "c" and "co": a value
  // given through them is never a compression.
  for (const std::string prefix : {"c", "co", "com", "comp", "compress"}) {
    ConverterState c;
    with_decoder(c);
    run_cli(c, {"--" + prefix + "=gzip", at("logs/a.txt")});
    EXPECT_EQ(c.compression.codec == Codec::kGzip, prefix.size() >= 3) << prefix;
  }
}

TEST_F(CommandLine, FlagsAndBufferReachTheConverter) {
  Outcome o = run({"-dX", "--non-interactive", "-b", "4KB", "-i", at("logs/a.txt")});
  ASSERT_TRUE(o.ok) << o.out;
  EXPECT_EQ(converter_.delete_converted, 1);
  EXPECT_EQ(converter_.no_append_root, 1);
  EXPECT_EQ(converter_.non_interactive, 1);
  EXPECT_EQ(converter_.buffer_size, 4096);

  ConverterState defaults;
  ASSERT_TRUE(run_cli(defaults, {"--input-files", at("logs/a.txt")}).ok);
  EXPECT_EQ(defaults.delete_converted, 0);
  EXPECT_EQ(defaults.no_append_root, 0);
  EXPECT_EQ(defaults.non_interactive, 0);
  // Without the option each file is read through a window, no longer read
  // whole: memory must not grow with the largest log.
  EXPECT_EQ(defaults.buffer_size, ConversionOptions::kDefaultBuffer);
  EXPECT_EQ(ConversionOptions::kDefaultBuffer, 1048576);  // the help text says so

  ConverterState whole;
  ASSERT_TRUE(run_cli(whole, {"-b", "-1", at("logs/a.txt")}).ok);
  EXPECT_EQ(whole.buffer_size, -1);

  ConverterState zero;
  ASSERT_TRUE(run_cli(zero, {"--buffer=0", at("logs/a.txt")}).ok);
  EXPECT_EQ(zero.buffer_size, 0);
}

TEST_F(CommandLine, JobsReachTheConverter) {
  ConverterState defaults;
  ASSERT_TRUE(run_cli(defaults, {at("logs/a.txt")}).ok);
  EXPECT_EQ(defaults.jobs, 1u);  // one thread unless asked: the serial run
  ConverterState four;
  ASSERT_TRUE(run_cli(four, {"-j", "4", at("logs/a.txt")}).ok);
  EXPECT_EQ(four.jobs, 4u);
  ConverterState per_core;
  ASSERT_TRUE(run_cli(per_core, {"--jobs=0", at("logs/a.txt")}).ok);
  EXPECT_EQ(per_core.jobs, 0u);
}

TEST_F(CommandLine, InputsShareOneRootFolder) {
  struct Row {
    std::vector<std::string> inputs;
    std::string root;
    std::vector<std::string> relative;
  } rows[] = {
      {{at("logs/b.txt"), at("logs/a.txt")}, root_ + "/logs/", {"b.txt", "a.txt"}},
      {{at("logs/sub/")}, root_ + "/logs/", {"sub/"}},
      {{at("logs/sub")}, root_ + "/logs/", {"sub/"}},
      {{at("logs/a.txt"), at("logs/sub")}, root_ + "/logs/", {"a.txt", "sub/"}},
      {{at("logs"), at("other/")}, root_ + "/", {"logs/", "other/"}},
  };
  for (const Row& row : rows) {
    ConverterState converter;
    Outcome o = run_cli(converter, row.inputs);
    ASSERT_TRUE(o.ok) << row.inputs[0] << o.err;
    EXPECT_EQ(converter.input_root, row.root);
    EXPECT_EQ(converter.input_paths, row.relative);
    ASSERT_NE(converter.input_folder, nullptr);
    EXPECT_EQ(converter.input_folder->root(), row.root);
    EXPECT_EQ(converter.output_folder(), converter.input_folder.get());
  }
}

TEST_F(CommandLine, InputsWithoutACommonRootAreRefused) {
  // The top of the file system: "/" where that is absolute, else the drive
  // of the test folder.
  const std::string top = platform::slash_is_absolute() ? "/" : root_.substr(0, 2);
  const std::string top_root = platform::slash_is_absolute() ? "/" : top + "/";
  struct Row {
    std::vector<std::string> inputs;
    int status;
    std::string log;
  } rows[] = {
      {{at("logs/a.txt"), at("other/c.txt")}, 132, "F No common root detected for all inputs\n"},
      {{at("logs/a.txt"), at("logs/sub/x.txt")}, 132, "F No common root detected for all inputs\n"},
      {{top}, 132, "F Could not find root for " + top_root + "\n"},
      // The root does not exist as a folder. It used to end the run without a
      // word; the message now names the folder as the program holds it.
      {{at("missing/x.txt")}, 129, "E Invalid input path: " + at("missing/") + "\n"},
  };
  for (const Row& row : rows) {
    ConverterState converter;
    Outcome o = run_cli(converter, row.inputs);
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.status, row.status) << row.inputs[0];
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(strip_log_prefixes(o.err), row.log);
  }
}

TEST_F(CommandLine, OutputDirectoryMustExist) {
  Outcome o = run({"-O", at("out"), at("logs/a.txt")});
  ASSERT_TRUE(o.ok);
  ASSERT_NE(converter_.output_folder(), converter_.input_folder.get());
  EXPECT_EQ(converter_.output_folder()->root(), root_ + "/out/");
  EXPECT_EQ(converter_.output_directories, std::vector<std::string>{root_ + "/out/"});

  for (const char* bad : {"nope", "logs/a.txt"}) {
    ConverterState converter;
    Outcome f = run_cli(converter, {"--output-directory=" + at(bad), at("logs/a.txt")});
    EXPECT_FALSE(f.ok);
    EXPECT_EQ(f.status, 129);
    EXPECT_EQ(strip_log_prefixes(f.err), "E Invalid output path: " + at(bad) + "\n");
    EXPECT_FALSE(fs::exists(at("nope")));
  }
}

// A decoding layer's stand-in: two flags checked after the parse and a
// wildcard text entry.
class StandInPlugin : public ConverterPlugin {
 public:
  bool add_result = true;
  bool concat = true;
  std::vector<std::string> dbc_arguments;
  std::vector<std::string> calls;

  bool add_options(ConverterState&, OptionTable& table) override {
    calls.push_back("add_options");
    table.add_callback_flag(nullptr, "concat", "concatenate", [this](const CallbackFlagOption& e) {
      if (e.count() == 1) concat = true;
      return 0;
    });
    table.add_callback_flag(nullptr, "no-concat", "do not concatenate",
                            [this](const CallbackFlagOption& e) {
                              if (e.count() == 1) concat = false;
                              return 0;
                            });
    table.add_callback_text(nullptr, "dbc-can*", nullptr, 0, 99, "path to DBC file",
                            [this](const CallbackTextOption& e) {
                              for (int i = 0; i < e.count(); ++i)
                                dbc_arguments.push_back(e.value(i));
                              return 0;
                            });
    return add_result;
  }
};

// The command line only fills the converter: loading the DBC files (once an
// initialise hook at its end, refused with 129) is the run's next step, and
// the e2e case dbc_every_argument_fails pins its 129.
TEST_F(CommandLine, ZstdIsRefusedWithAMessageWhereTheBuildLacksIt) {
  // Windows: Debian has no zstd for mingw-w64.
  ConverterState c;
  Outcome o = run_cli(c, {"--compress=zstd:1", at("logs/a.txt")});
  if (codec_built(Codec::kZstd)) {
    EXPECT_TRUE(o.ok) << o.out << o.err;
    EXPECT_TRUE(c.compression.codec == Codec::kZstd && c.compression.level == 1);
  } else {
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.status, 131);
    EXPECT_NE(o.err.find("This build cannot write zstd: use --compress=gzip"), std::string::npos)
        << o.err;
  }
}

TEST_F(CommandLine, PluginAddsOptions) {
  auto owned = std::make_unique<StandInPlugin>();
  StandInPlugin* plugin = owned.get();
  converter_.plugin = std::move(owned);
  Outcome o = run({"--no-concat", "--concat", "--dbc-can1=a.dbc", at("logs/a.txt"),
                   "--dbc-can12=b.dbc", "--output-directory=" + at("out")});
  ASSERT_TRUE(o.ok) << o.out;
  // Checks run in table order, so the later entry of a pair decides.
  EXPECT_FALSE(plugin->concat);
  EXPECT_EQ(plugin->dbc_arguments, (std::vector<std::string>{"dbc-can1=a.dbc", "dbc-can12=b.dbc"}));
  EXPECT_EQ(plugin->calls, (std::vector<std::string>{"add_options"}));

  Outcome usage = run({});
  // The plug-in's options follow the last generic one, which is --compress
  // since the CSV files can be written compressed (before that --report).
  size_t buffer = usage.out.find(
      "[-b|--buffer=<n>] [-j|--jobs=<n>] [--shard=<k/n>] [--report=<file>] "
      "[--compress=<zstd|gzip|none>[:level]] [--concat] "
      "[--no-concat] "
      "[--dbc-can*=<string>]... [-O|--output-directory=<file>]");
  EXPECT_NE(buffer, std::string::npos) << usage.out;

  ConverterState stopping;
  auto failing = std::make_unique<StandInPlugin>();
  failing->add_result = false;
  StandInPlugin* failing_view = failing.get();
  stopping.plugin = std::move(failing);
  Outcome stopped = run_cli(stopping, {"-v"});
  EXPECT_FALSE(stopped.ok);
  EXPECT_EQ(stopped.status, 129);
  EXPECT_EQ(stopped.out, "");
  EXPECT_EQ(failing_view->calls, std::vector<std::string>{"add_options"});
}

}  // namespace
}  // namespace quillon
