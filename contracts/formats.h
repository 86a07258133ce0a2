// Value formats of the contract records. Each check answers one question about a text; the
// decoders decide which ContractError a failure becomes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "contracts/contract_error.h"
#include "contracts/json.h"
#include "contracts/result.h"

namespace tw {

inline constexpr size_t kMaxIdentifierBytes = 128;
inline constexpr size_t kCompanyRootBytes = 8;

// 1 to 128 bytes; first byte an ASCII letter or digit; further bytes letters, digits, '-', '.',
// ':' or '_'; not "__proto__", "prototype" or "constructor".
bool isIdentifier(std::string_view text);

// Canonical decimal cents to a signed 128-bit integer: InvalidAmount for a malformed text,
// OutOfRange for well-formed digits outside [-2^127, 2^127-1].
Result<__int128, ContractError> parseAmount(std::string_view text);

// The canonical amount text of a value: "-" before the magnitude's digits when negative,
// "0" for zero.
std::string formatAmount(__int128 value);

// YYYY-MM-DD, year 0001-9999, a real day of the proleptic Gregorian calendar.
bool isDate(std::string_view text);

// 1 to maxBytes bytes of valid UTF-8, none below 0x20 and none equal to 0x7F.
bool isFreeText(std::string_view text, size_t maxBytes);

// Exactly 8 bytes, each A-Z or 0-9.
bool isCompanyRoot(std::string_view text);

// Exactly 14 bytes: 12 of A-Z/0-9, two digits, both modulus-11 check digits correct (a byte
// counts as its ASCII code minus 48).
bool isEstablishmentCode(std::string_view text);

// Computes the two check digits for the first 12 bytes of an establishment code (test helper
// and example generator). Bytes must be A-Z or 0-9.
std::string establishmentWithCheckDigits(std::string_view first12);

// Exactly 64 bytes of 0-9 and a-f.
bool isLowerHexSha256(std::string_view text);

// "sha256:" followed by 64 lower-case hex digits (71 bytes): mappingVersion and ruleVersion.
bool isVersionDigest(std::string_view text);

// 1 to 64 bytes; first byte an ASCII letter or digit; further bytes letters, digits, '+', '-',
// '.', ':' or '_'.
bool isEngineVersion(std::string_view text);

// The safe integer rule shared by version, row and revision, before the field's own bound:
// a JSON number; an unsigned integer above 2^53-1 is OutOfRange; a negative integer or float is
// taken as a double, negative (not zero), fractional or non-finite is InvalidContract, integral
// above 2^53-1 is OutOfRange; otherwise its value (negative zero is 0).
Result<uint64_t, ContractError> safeIntegerValue(const Json& value);

}  // namespace tw
