// Feeds argument vectors to the option parser: the input is split at NUL
// bytes into words (argv[1..]); the first byte's low bit selects the
// POSIXLY_CORRECT scan. Every text the printers build is produced too.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "app/options.h"

namespace {

constexpr size_t kMaxInput = 8192;

void append_error(std::string& out, const quillon::OptionEntry& entry, int code, const char* value,
                  const char*) {
  out += "invalid value \"";
  out += value ? value : "";
  out += "\" to option " + entry.option_text("|") + " " + std::to_string(code) + "\n";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kMaxInput) return 0;
  bool posixly = size > 0 && (data[0] & 1) != 0;
  std::vector<std::string> words{"quillon"};
  std::string word;
  for (size_t i = size > 0 ? 1 : 0; i < size; ++i) {
    if (data[i] == 0) {
      words.push_back(word);
      word.clear();
    } else {
      word += static_cast<char>(data[i]);
    }
  }
  if (size > 1) words.push_back(word);
  std::vector<const char*> argv;
  for (const std::string& w : words) argv.push_back(w.c_str());

  using namespace quillon;
  OptionTable table;
  table.add_flag(nullptr, "help", "display this help and exit");
  table.add_flag("v", "version", "display tool version and exit");
  table.add_integer(nullptr, "verbosity", "<n>", "verbosity level");
  table.add_flag("dD", "delete-converted,delete", "deletes files");
  table.add_integer("b", "buffer", "<n>", "buffer size")->make_value_optional();
  table.add_callback_flag(
      nullptr, "concat", "concatenate", [](const CallbackFlagOption& e) { return e.count(); },
      append_error);
  table.add_callback_text(
      nullptr, "dbc-can*,dbc-lin*", nullptr, 0, 3, "path to DBC file",
      [](const CallbackTextOption& e) { return e.count() > 2 ? -3 : 0; }, append_error);
  table.add_path(
      "O", "output-directory", "<file>", 0, 1, "path to output files",
      [](const PathOption& e) { return e.extension(0)[0] == '.' ? 5 : 0; }, append_error);
  table.add_flag("i", "input-files=<file(s)/folder(s)>", "paths to input files");
  table.add_path(
      nullptr, nullptr, "first", 1, 2, nullptr,
      [](const PathOption& e) { return e.base_name(0)[0] == '\0' ? 1 : 0; }, append_error);
  table.add_path(nullptr, nullptr, "rest", 0, 3, nullptr);
  table.add_end(6);

  int records = table.parse(static_cast<int>(argv.size()), argv.data(), posixly);
  if (records < 0 || records > 6) __builtin_trap();
  std::string text =
      table.syntax_text("\n") + table.glossary_text("  %-40s %s\n") + table.errors_text("quillon");
  if (records > 0 && text.empty()) __builtin_trap();
  for (const std::string& w : words) {
    int32_t value = 0;
    parse_option_integer(w.c_str(), value);
  }
  return 0;
}
