#include "app/decoder_plugin.h"

#include "app/options.h"

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

}  // namespace

bool DecoderPlugin::add_options(Converter& converter, OptionTable& table) {
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

bool DecoderPlugin::initialise(Converter& converter) {
  (void)converter;
  return load_databases(decoder_);
}

void DecoderPlugin::release(Converter& converter) {
  (void)converter;
  decoder_.dbc_arguments.clear();
  decoder_.can_channels.clear();
  decoder_.lin_channels.clear();
}

DecoderPart* decoder_part(Converter& converter) {
  auto* plugin = dynamic_cast<DecoderPlugin*>(converter.plugin.get());
  return plugin ? &plugin->decoder() : nullptr;
}

}  // namespace quillon
