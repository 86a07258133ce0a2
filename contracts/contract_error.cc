#include "contracts/contract_error.h"

namespace tw {

std::string_view contractErrorName(ContractError code) {
  switch (code) {
    case ContractError::InvalidAmount:
      return "INVALID_AMOUNT";
    case ContractError::InvalidDate:
      return "INVALID_DATE";
    case ContractError::OutsideWindow:
      return "OUTSIDE_WINDOW";
    case ContractError::OutOfRange:
      return "OUT_OF_RANGE";
    case ContractError::InvalidContract:
      return "INVALID_CONTRACT";
    case ContractError::UnknownField:
      return "UNKNOWN_FIELD";
  }
  return "INVALID_CONTRACT";  // not reachable for a valid enumerator
}

}  // namespace tw
