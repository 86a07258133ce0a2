// Canonical result text and result commitment.
//
// The commitment is SHA-256 over the 36-byte schema tag, one 0x00 byte and the canonical JSON
// text of the validated result, written as 64 lower-case hex digits.
#pragma once

#include <string>
#include <string_view>

#include "contracts/contract_error.h"
#include "contracts/json.h"
#include "contracts/result.h"
#include "contracts/source.h"

namespace tw {

inline constexpr std::string_view kResultSchemaTag = "tallywarden.reconciliation-result.v1";

// Normalises numbers (non-negative integers up to 2^53-1 only; integral floats become
// integers) and writes the value compactly with members in name order. OutOfRange for numbers
// above 2^53-1, InvalidContract for negative, fractional or non-finite numbers.
Result<std::string, ContractError> canonicalJsonText(const Json& value);

// Round-trips the result through toJsonValue and decodeReconciliationResult, then hashes the
// canonical text of the survivor. The first contract violation is the error.
Result<std::string, ContractError> commitResult(const ReconciliationResult& result);

// commitResult for a result that has already passed checkResultRecord: the same digits, without
// checking it again. Fails only when the digest routine itself fails.
Result<std::string, ContractError> commitCheckedResult(const ReconciliationResult& result);

}  // namespace tw
