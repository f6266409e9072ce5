#include "app/decoder_plugin.h"

#include "app/options.h"
#include "input/folder.h"
#include "platform/platform.h"
#include "support/log.h"
#include "support/pattern.h"
#include "support/text.h"

namespace quillon {

namespace {

struct FlagOptionSpec {
  const char* name;
  const char* glossary;
  bool DecoderPart::*field;
  bool value;
};

// In table order: when both options of a pair are given, the checks run in
// this order and the second one decides.
const FlagOptionSpec kFlags[] = {
    {"concat", "concatenate output when possible (default)", &DecoderPart::concat, true},
    {"no-concat", "do not concatenate output", &DecoderPart::concat, false},
    {"pgn-src-merge", "merge PGN source addresses", &DecoderPart::pgn_src_merge, true},
    {"no-pgn-src-merge", "do not merge PGN source addresses (default)", &DecoderPart::pgn_src_merge,
     false},
    {"pgn-dst-merge", "merge PGN destination addresses (default)", &DecoderPart::pgn_dst_merge,
     true},
    {"no-pgn-dst-merge", "do not merge PGN destination addresses", &DecoderPart::pgn_dst_merge,
     false},
    {"dbdump", "dump DBs as json (in working dir)", &DecoderPart::dbdump, true},
    {"no-dbdump", "do not dump DBs as json (default)", &DecoderPart::dbdump, false},
};

// The label options write into the selection, so they have a table of
// their own, in the same style.
struct LabelOptionSpec {
  const char* name;
  const char* glossary;
  bool value;
};
const LabelOptionSpec kLabelFlags[] = {
    {"value-labels", "write value-table labels in place of raw values", true},
    {"no-value-labels", "write raw values, not value-table labels (default)", false},
};

// Channel numbers: digits only; anything beyond 32 bits is out of range
// anyway, so saturating gives the same answer as a range error.
uint32_t channel_number(const PatternCapture& c) {
  uint64_t v = 0;
  for (int32_t i = 0; i < c.length; ++i) {
    char d = c.text[i];
    if (d < '0' || d > '9') break;
    v = v * 10 + static_cast<uint64_t>(d - '0');
    if (v > 0xFFFFFFFFull) return 0xFFFFFFFFu;
  }
  return static_cast<uint32_t>(v);
}

std::string capture_text(const PatternCapture& c) {
  return c.text && c.length > 0 ? std::string(c.text, static_cast<size_t>(c.length))
                                : std::string();
}

void load_argument(DecoderPart& part, const std::string& argument) {
  CompiledPattern pattern;
  PatternCapture captures[4] = {};
  if (pattern_compile(pattern, "^dbc-(can|lin)(\\d+)=(.+\\.dbc)$") != 0 ||
      pattern_match(pattern, argument.c_str(), captures) != 0) {
    QLOG(LOG_ERROR, "Invalid argument: %s", argument.c_str());
    return;
  }
  std::string bus = capture_text(captures[1]);
  if (bus != "can" && bus != "lin") {
    QLOG(LOG_ERROR, "Invalid argument: %s", argument.c_str());
    return;
  }
  ChannelMap& channels = bus == "can" ? part.can_channels : part.lin_channels;
  uint32_t channel = channel_number(captures[2]);
  if (channel < 1 || channel > 255) {
    QLOG(LOG_ERROR, "Invalid argument: %s", argument.c_str());
    return;
  }
  std::string path = capture_text(captures[3]);
  std::unique_ptr<MessageDatabase> db = load_database(path);
  if (!db) return;
  DatabaseList& list = channels[static_cast<uint8_t>(channel)];
  list.push_back(std::move(db));
  if (part.dbdump) dump_database(*list.back(), path);
}

}  // namespace

void assign_from_working_folder(std::vector<std::string>& arguments) {
  std::string cwd;
  if (!platform::current_folder(cwd)) return;
  std::string root = normalize_input_path(cwd);
  if (root.empty() || root.back() != '/') root += '/';
  std::unique_ptr<RootedFolder> folder = RootedFolder::create(root);
  FolderListing entries;
  if (!folder || !folder->list("", entries)) return;
  for (const auto& [name, st] : entries) {
    if (st.kind != kFile || name.size() < 4) continue;
    if (text_compare_nocase(std::string_view(name).substr(name.size() - 4), ".dbc") != 0) continue;
    size_t dash = name.find('-');
    if (dash == std::string::npos) continue;
    arguments.push_back("dbc-" + name.substr(0, dash) + "=" + root + name);
  }
}

bool load_databases(DecoderPart& part) {
  if (part.dbc_arguments.empty()) assign_from_working_folder(part.dbc_arguments);
  for (const std::string& argument : part.dbc_arguments) load_argument(part, argument);
  if (part.can_channels.empty() && part.lin_channels.empty()) {
    QLOG(LOG_ERROR, "No DBC files found");
    return false;
  }
  return apply_selection(part);
}

bool apply_selection(DecoderPart& part) {
  const Selection& selection = part.selection;
  std::vector<bool> message_hits(selection.messages.size()), signal_hits(selection.signals.size());
  for (ChannelMap* map : {&part.can_channels, &part.lin_channels}) {
    for (auto& [channel, list] : *map) {
      for (auto& db : list) quillon::apply_selection(*db, selection, message_hits, signal_hits);
    }
  }
  // A typo would otherwise silently write nothing.
  bool ok = true;
  for (size_t i = 0; i < message_hits.size(); ++i) {
    if (message_hits[i]) continue;
    QLOG(LOG_ERROR, "No message matches --messages pattern %s", selection.messages[i].c_str());
    ok = false;
  }
  for (size_t i = 0; i < signal_hits.size(); ++i) {
    if (signal_hits[i]) continue;
    QLOG(LOG_ERROR, "No signal matches --signals pattern %s", selection.signals[i].c_str());
    ok = false;
  }
  return ok;
}

bool DecoderPlugin::add_options(ConverterState& converter, OptionTable& table) {
  (void)converter;
  DecoderPart* part = &decoder_;
  for (const FlagOptionSpec& spec : kFlags) {
    table.add_callback_flag(nullptr, spec.name, spec.glossary,
                            [part, &spec](const CallbackFlagOption& entry) {
                              // The scan refuses a second occurrence already.
                              if (entry.count() == 1 && entry.long_options() == spec.name) {
                                part->*spec.field = spec.value;
                              }
                              return 0;
                            });
  }
  for (const LabelOptionSpec& spec : kLabelFlags) {
    table.add_callback_flag(nullptr, spec.name, spec.glossary,
                            [part, &spec](const CallbackFlagOption& entry) {
                              if (entry.count() == 1 && entry.long_options() == spec.name) {
                                part->selection.value_labels = spec.value;
                              }
                              return 0;
                            });
  }
  // Every occurrence's comma-separated patterns, appended to one list.
  auto patterns_into = [part](std::vector<std::string> Selection::*list) {
    return [part, list](const CallbackTextOption& entry) {
      for (int i = 0; i < entry.count(); ++i) split_patterns(entry.value(i), part->selection.*list);
      return 0;
    };
  };
  table.add_callback_text(nullptr, "messages", "<pattern,...>", 0, 99,
                          "write only messages whose name matches a pattern (* and ? wildcards)",
                          patterns_into(&Selection::messages));
  table.add_callback_text(nullptr, "signals", "<pattern,...>", 0, 99,
                          "write only signals whose name (or MESSAGE.SIGNAL) matches a pattern",
                          patterns_into(&Selection::signals));
  table.add_callback_text(
      nullptr, "dbc-can*", "<string>", 0, 99,
      "path to DBC file for CAN (e.g. for channel 1 --dbc-can1=<path>)",
      [part](const CallbackTextOption& entry) {
        for (int i = 0; i < entry.count(); ++i) part->dbc_arguments.emplace_back(entry.value(i));
        return 0;
      },
      [](std::string& out, const OptionEntry& entry, int, const char*, const char*) {
        const auto& text = static_cast<const CallbackTextOption&>(entry);
        out += "invalid value \"";
        out += text.value(0);
        out += "\" to option ";
        out += entry.option_text(", ");
        out += "\n";
      });
  return true;
}

void DecoderPlugin::release(ConverterState& converter) {
  (void)converter;
  decoder_.dbc_arguments.clear();
  decoder_.can_channels.clear();
  decoder_.lin_channels.clear();
}

}  // namespace quillon
