// Loading DBC files per bus channel: the decoder's share of the converter
// state, filled once before the first log file is read.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "dbc/database.h"

namespace quillon {

// Databases of one channel in the order of the DBC arguments.
using DatabaseList = std::vector<std::unique_ptr<MessageDatabase>>;
// Channel 1 to 255 to its databases.
using ChannelMap = std::map<uint8_t, DatabaseList>;

struct DecoderPart {
  ChannelMap can_channels;  // for CAN frames
  ChannelMap lin_channels;  // for LIN frames
  // Each "dbc-" + bus word + channel + "=" + path.
  std::vector<std::string> dbc_arguments;
  bool concat = true;
  bool pgn_src_merge = false;
  bool pgn_dst_merge = true;
  bool dbdump = false;  // write each loaded database as JSON into the working folder
};

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

// Writes the JSON text of db to the working folder, named after the file
// name of path with "dbc" replaced by "json". Failures are logged only.
void dump_database(const MessageDatabase& db, const std::string& path);

}  // namespace quillon
