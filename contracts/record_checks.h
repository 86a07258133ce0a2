// Contract checks on records built in memory, without going through their JSON form.
//
// checkEntryRecord(e) gives exactly what decodeEntry(toJsonValue(e)) would report: the same
// first ContractError in the same rule order, or success, in which case that round trip would
// give back a record equal to `e`. checkResultRecord does the same for
// decodeReconciliationResult. Rules that a typed record cannot break (undeclared or missing keys,
// JSON types, a row above 2^32-1) are skipped; every other rule is applied in decoding order.
#pragma once

#include "contracts/contract_error.h"
#include "contracts/result.h"
#include "contracts/source.h"

namespace tw {

Status<ContractError> checkEntryRecord(const Entry& entry);
Status<ContractError> checkResultRecord(const ReconciliationResult& result);

}  // namespace tw
