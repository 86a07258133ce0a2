// Strict reading of one JSON text (RFC 8259, UTF-8) from a byte span.
//
// Refused: anything but space, tab, LF and CR around the single value; a byte-order mark; raw NUL
// or other control bytes in strings; invalid escapes, escapes that are not a Unicode scalar value,
// invalid UTF-8; a member name repeated in one object (after unescaping); more than 127 arrays or
// objects open at once; a number too large for a 64-bit float. Numbers keep their form: an
// integer literal that fits u64 is unsigned, a negative one that fits i64 is signed, -0 and every
// other number is a float.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "contracts/json.h"
#include "contracts/result.h"

namespace tw {

enum class JsonReadError : uint8_t {
  Syntax,           // not one well-formed JSON text, or bad whitespace around it
  InvalidText,      // a string that is not valid UTF-8 of Unicode scalar values
  DuplicateMember,  // "duplicate JSON field"
  NonFiniteNumber,  // "non-finite JSON number"
  TooDeep,          // the 128th open array or object
};

inline constexpr size_t kMaxJsonDepth = 127;

Result<Json, JsonReadError> readJson(std::string_view text);

// The value of one number literal, held as readJson holds it; NonFiniteNumber when it is too
// large for a 64-bit float. REQUIRES: `literal` follows the JSON number grammar.
Result<Json, JsonReadError> readJsonNumber(std::string_view literal);

// True when `text` is well-formed UTF-8 encoding only Unicode scalar values (no surrogates, no
// overlong forms, nothing above U+10FFFF).
bool isValidUtf8(std::string_view text);

}  // namespace tw
