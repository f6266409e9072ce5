// Reads the subset of a DBC file that decoding needs: messages ("BO_"),
// signals ("SG_"), multiplexing ranges ("SG_MUL_VAL_"), five attributes
// ("BA_DEF_", "BA_DEF_DEF_", "BA_") and value types ("SIG_VALTYPE_"). Each
// line is matched on its own against one anchored pattern; a line of a kind
// that is read but does not match its pattern is skipped with a warning that
// gives its line number, lines of other kinds without a message. The signal
// lines after a skipped message line, up to the next message line that is
// read, are skipped with it.
#pragma once

#include <memory>
#include <string_view>

#include "dbc/database.h"
#include "input/stream.h"

namespace quillon {

// The database, or null: for an empty or unreadable file, a key collision
// among the messages, or exhausted memory. Signals that cannot be placed are
// logged and left out without failing the file. Every message comes with
// its decode plan. Never closes the stream.
std::unique_ptr<MessageDatabase> parse_dbc(ByteStream& stream);

// The same over bytes already in memory, for tests and the fuzzer.
std::unique_ptr<MessageDatabase> parse_dbc_bytes(std::string_view bytes);

}  // namespace quillon
