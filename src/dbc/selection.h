// Choosing what is written: messages and signals by name patterns
// (--messages, --signals), and value labels (--value-labels). Applied to
// the decode plans once every database is loaded, so a frame pays nothing
// for it: a message not chosen finds no output, a signal not chosen is
// decoded and left out of the row like an ignored one.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "dbc/database.h"

namespace quillon {

struct Selection {
  std::vector<std::string> messages;  // patterns; empty: every message
  // Patterns of signal names, or of "MESSAGE.SIGNAL"; empty: every signal.
  std::vector<std::string> signals;
  bool value_labels = false;
};

// "*" any run of characters, "?" one character, everything else itself;
// case-sensitive, as DBC names are compared.
bool glob_match(std::string_view pattern, std::string_view name);

// The patterns of "A,B,...", in order; empty pieces are dropped.
void split_patterns(std::string_view text, std::vector<std::string>& out);

// Whether a signals pattern names signal of message.
bool signal_pattern_matches(std::string_view pattern, std::string_view message,
                            std::string_view signal);

// Applies selection to every plan of db. message_hits and signal_hits, as
// long as the pattern lists, are set for each pattern that names something
// in db (whether or not the other list chooses it).
void apply_selection(MessageDatabase& db, const Selection& selection,
                     std::vector<bool>& message_hits, std::vector<bool>& signal_hits);

}  // namespace quillon
