// Contract error codes: one byte each, sharing one numeric space with the engine's own codes
// (4, 7, 8, 9 and 12 belong to the engine).
#pragma once

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

std::string_view contractErrorName(ContractError code);

}  // namespace tw
