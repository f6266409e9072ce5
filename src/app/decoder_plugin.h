// The decoder's share of the converter: its command-line options, the DBC
// arguments that say which file goes to which channel, the databases loaded
// from them, and the output choices the frame handler follows.
#pragma once

#include <string>
#include <vector>

#include "app/converter_state.h"
#include "dbc/loader.h"
#include "dbc/selection.h"

namespace quillon {

struct DecoderPart {
  ChannelMap can_channels;  // for CAN frames
  ChannelMap lin_channels;  // for LIN frames
  // Each "dbc-" + bus word + channel + "=" + path.
  std::vector<std::string> dbc_arguments;
  bool concat = true;
  bool pgn_src_merge = false;
  bool pgn_dst_merge = true;
  bool dbdump = false;  // write each loaded database as JSON into the working folder
  // --messages, --signals and --value-labels, applied to every database
  // once all are loaded.
  Selection selection;
};

// Applies the selection to every loaded database. False, after "No message
// matches --messages pattern %s" (or the same of a signal) for each, when a
// pattern names nothing in any database.
bool apply_selection(DecoderPart& part);

// Appends one argument for each file of the working folder whose name ends
// in ".dbc" (any case) and holds a "-": "dbc-" + the part before the first
// "-" + "=" + the full path, in byte order of the names. Adds nothing when
// the folder cannot be read.
void assign_from_working_folder(std::vector<std::string>& arguments);

// With no arguments, assigns from the working folder first. Then loads every
// argument "dbc-can<N>=<path>.dbc" or "dbc-lin<N>=<path>.dbc" (N 1 to 255)
// into its channel, logging and skipping those that fail, and dumps each
// database when asked. True when at least one database was filed.
bool load_databases(DecoderPart& part);

class DecoderPlugin : public ConverterPlugin {
 public:
  // Appends concat, no-concat, pgn-src-merge, no-pgn-src-merge,
  // pgn-dst-merge, no-pgn-dst-merge, dbdump, no-dbdump, value-labels,
  // no-value-labels, messages, signals and dbc-can*.
  bool add_options(ConverterState& converter, OptionTable& table) override;
  void release(ConverterState& converter) override;

  DecoderPart& decoder() { return decoder_; }

 private:
  DecoderPart decoder_;
};

}  // namespace quillon
