// Reads the subset of a DBC file that decoding needs: messages ("BO_"),
// signals ("SG_"), multiplexing ranges ("SG_MUL_VAL_"), five attributes
// ("BA_DEF_", "BA_DEF_DEF_", "BA_") and value types ("SIG_VALTYPE_"). Each
// line is matched on its own against one anchored pattern; other lines are
// skipped without a message.
#pragma once

#include <memory>
#include <string_view>

#include "dbc/database.h"
#include "input/stream.h"

namespace quillon {

// The database, or null: for an empty or unreadable file, a key collision
// among the messages, or exhausted memory. Signals that cannot be placed are
// logged and left out without failing the file. Never closes the stream.
std::unique_ptr<MessageDatabase> parse_dbc(ByteStream& stream);

// The same over bytes already in memory, for tests and the fuzzer.
std::unique_ptr<MessageDatabase> parse_dbc_bytes(std::string_view bytes);

}  // namespace quillon
