// Contract checks on records built in memory, without going through their JSON form.
//
// checkEntryRecord(e) gives exactly what decodeEntry(toJsonValue(e)) would report: the same
// first ContractError in the same rule order, or success, in which case that round trip would
// give back a record equal to `e`. checkResultRecord does the same for
// decodeReconciliationResult. Rules that a typed record cannot break (undeclared or missing keys,
// JSON types, a row above 2^32-1) are skipped; every other rule is applied in decoding order.
// The entry checks are the entry contract's own rules (contracts/entry_contract.h), run on a
// record without a shape.
#pragma once

#include "contracts/contract_error.h"
#include "contracts/result.h"
#include "contracts/source.h"

namespace tw {

Status<ContractError> checkEntryRecord(const Entry& entry);
Status<ContractError> checkResultRecord(const ReconciliationResult& result);

// Whether entries given one after another pass checkEntryRecord, for a caller that needs only
// that answer. A text equal to the text in the same place of the last entry that passed has
// passed the same rule, so it is not checked again: entries of one file repeat their root,
// account, source and file.
class EntryContractRun {
 public:
  [[nodiscard]] bool passes(const Entry& entry);

 private:
  const Entry* lastPassed_ = nullptr;  // REQUIRES: alive and unchanged while the run lasts
};

}  // namespace tw
