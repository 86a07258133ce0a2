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

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

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

// The rules of checkResultRecord for a result given item by item in its order (allocations, then
// pending identifiers, then residuals in strictly ascending key order, as a result's map holds
// them), for a reader that keeps none of the items. Each call answers for its item, finish for
// the whole; the first failure stands, and later calls answer it again. A result whose items all
// pass and whose finish passes is one checkResultRecord accepts; the code of a failure may differ
// from the one decoding reports when a result breaks several rules.
class ResultItemsCheck {
 public:
  Status<ContractError> allocation(const Allocation& item);
  Status<ContractError> pendingId(std::string_view id);
  Status<ContractError> residual(std::string_view id, std::string_view cents);
  Status<ContractError> finish(uint64_t revision, std::string_view runId);

 private:
  enum class Part : uint8_t { Allocations, PendingIds, Residuals };
  Status<ContractError> enter(Part part, size_t most, size_t& count);

  Part part_ = Part::Allocations;
  size_t allocations_ = 0;
  size_t pendingIds_ = 0;
  size_t residuals_ = 0;
  std::string lastResidual_;
  Status<ContractError> failed_;
};

}  // namespace tw
