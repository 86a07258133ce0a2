// Compact JSON writing: no whitespace, object members in map order, and the one escaping rule
// used by every message and by the canonical result text: `"` and `\` get a backslash; 0x08,
// 0x09, 0x0A, 0x0C, 0x0D become \b \t \n \f \r; other bytes below 0x20 become \u00 and two
// lower-case hex digits; every other byte (solidus, 0x7F, multi-byte UTF-8) is copied raw.
#pragma once

#include <string>
#include <string_view>

#include "contracts/json.h"

namespace tw {

// Appends `text` as a quoted, escaped JSON string.
void appendJsonString(std::string& out, std::string_view text);

// Appends the decimal digits of `value`.
void appendUnsigned(std::string& out, uint64_t value);

// Appends the compact text of `value`. Floats are written in their shortest round-trip form;
// they never occur in messages or canonical texts, only in values echoed for tests.
void appendCompactJson(std::string& out, const Json& value);

std::string toCompactJson(const Json& value);

}  // namespace tw
