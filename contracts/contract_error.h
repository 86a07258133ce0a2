// Contract error codes: one byte each, sharing one numeric space with the engine's own codes
// (4, 7, 8, 9 and 12 belong to the engine, whose EngineError takes these under their numbers).
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace tw {

enum class ContractError : uint8_t {
  InvalidAmount = 0,    // an amount text is malformed
  InvalidDate = 1,      // a date text is malformed or not a calendar date
  OutsideWindow = 2,    // a reversed run window, or a bank entry dated outside the window
  OutOfRange = 3,       // a number above its bound, or an amount outside signed 128 bits
  InvalidContract = 5,  // wrong type, missing key, broken format, wrong size, out of order
  UnknownField = 6,     // an object holds a key its record does not declare
};

// Every code, for tables and checks that must cover them all.
inline constexpr std::array<ContractError, 6> kContractErrors = {
    ContractError::InvalidAmount, ContractError::InvalidDate,     ContractError::OutsideWindow,
    ContractError::OutOfRange,    ContractError::InvalidContract, ContractError::UnknownField};

// The code's text, as hosts see it: "INVALID_AMOUNT", "UNKNOWN_FIELD", ...
std::string_view contractErrorName(ContractError code);

}  // namespace tw
