// Loading DBC files: one file into one database, and the JSON dump of a
// database. Which files go to which channel is the command line's business
// (app/decoder_plugin).
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

// Opens and parses the DBC file at path, logging why it failed or that it
// loaded. Null on failure.
std::unique_ptr<MessageDatabase> load_database(const std::string& path);

// Writes the JSON text of db to the working folder, named after the file
// name of path with "dbc" replaced by "json". Failures are logged only.
void dump_database(const MessageDatabase& db, const std::string& path);

}  // namespace quillon
