// Compact JSON writing: no whitespace, object members in map order, and the one escaping rule
// used by every message and by the canonical result text: `"` and `\` get a backslash; 0x08,
// 0x09, 0x0A, 0x0C, 0x0D become \b \t \n \f \r; other bytes below 0x20 become \u00 and two
// lower-case hex digits; every other byte (solidus, 0x7F, multi-byte UTF-8) is copied raw.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "contracts/json.h"

namespace tw {

// Appends `text` as a quoted, escaped JSON string.
void appendJsonString(std::string& out, std::string_view text);

// The length of the longest prefix of `text` without a byte that a JSON string cannot hold as it
// is: a quote, a backslash or a byte below 0x20. Written strings escape exactly those bytes; a
// string being read ends or holds an escape, or is invalid, at the first of them.
size_t plainJsonTextLength(std::string_view text);

// The same length; `highBits` tells whether a byte of that prefix is above 0x7F.
size_t plainJsonTextLength(std::string_view text, bool& highBits);

// Appends the decimal digits of `value`.
void appendUnsigned(std::string& out, uint64_t value);

// How floats are written. RoundTrip: the shortest text that reads back as the same float (floats
// never occur in messages, only in values echoed for tests). AsInteger: an integral float from 0
// to 2^53-1 as the integer it holds, negative zero as 0, as a canonical text requires; any other
// float falls back to RoundTrip.
enum class FloatStyle : uint8_t { RoundTrip, AsInteger };

// Appends the compact text of `value`.
void appendCompactJson(std::string& out, const Json& value,
                       FloatStyle floats = FloatStyle::RoundTrip);

std::string toCompactJson(const Json& value);

}  // namespace tw
