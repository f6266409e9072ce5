// The JSON description of a message database, as written by the dump option.
#pragma once

#include <string>

#include "dbc/database.h"

namespace quillon {

// One line of JSON without line breaks; messages in ascending key order,
// signals and groups in tree order. Names are written as JSON strings
// (quotation mark, backslash and control bytes escaped, other bytes as they
// are) and a non-finite number as null, so the text is always well formed.
std::string database_json(const MessageDatabase& db);

}  // namespace quillon
