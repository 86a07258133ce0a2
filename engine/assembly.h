// Result assembly: the allocations in creation order, the residual of every entry in its
// residual stage, the identifiers left pending, revision 0 and the run identifier. The engine
// never returns a result the contract would refuse: what the contract's result check could
// still find is checked before the result is returned (see assembly.cc).
#pragma once

#include <atomic>
#include <vector>

#include "contracts/result.h"
#include "contracts/source.h"
#include "engine/engine.h"
#include "engine/open_balances.h"
#include "engine/resolution.h"
#include "engine/run_entries.h"

namespace tw {

// The stage whose balance an entry reports. A bank entry reports erp-bank when an allocation or
// a review proposal of that stage names it, settlement-bank otherwise; its two balances are
// equal either way.
AllocationStage residualStage(SourceRole role, bool bankNamedInErpBank);

// The residual of every entry and the identifiers left pending, into `result`.
Status<EngineError> assembleResiduals(const RunEntries& entries, const OpenBalances& balances,
                                      const RunAllocations& allocations, const ReviewHolds& holds,
                                      const std::atomic<bool>& cancel,
                                      ReconciliationResult& result);

// The rest of the result around its residuals: revision, run identifier and the allocations'
// records, then the check.
Result<ReconciliationResult, EngineError> finishResult(ReconciliationResult result,
                                                       RunAllocations allocations,
                                                       const RunManifest& manifest);

// Both of the above.
Result<ReconciliationResult, EngineError> assembleResult(
    const RunEntries& entries, const OpenBalances& balances, RunAllocations allocations,
    const ReviewHolds& holds, const RunManifest& manifest, const std::atomic<bool>& cancel);

}  // namespace tw
