// Writing JSON text: strings quoted so that the document always parses,
// whatever bytes a path holds.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quillon {

// Appends text as a JSON string: quotes and backslashes escaped, control
// characters as \u00XX, valid UTF-8 kept as it is, and every byte that is
// not part of a valid UTF-8 sequence (overlong forms, surrogates, past
// U+10FFFF, cut short) as \uFFFD.
void append_json_string(std::string& out, std::string_view text);

void append_json_number(std::string& out, uint64_t value);
void append_json_number(std::string& out, int64_t value);

}  // namespace quillon
