// Result assembly: the allocations in creation order, the residual of every entry in its
// residual stage, the identifiers left pending, revision 0 and the run identifier. The engine
// never returns a result the contract would refuse: what the contract's result check could
// still find is checked before the result is returned (see assembly.cc).
#pragma once

#include <atomic>
#include <string>
#include <string_view>
#include <vector>

#include "contracts/result.h"
#include "contracts/source.h"
#include "engine/engine.h"
#include "engine/open_balances.h"
#include "engine/parallel.h"
#include "engine/resolution.h"
#include "engine/run_entries.h"

namespace tw {

// The stage whose balance an entry reports. A bank entry reports erp-bank when an allocation or
// a review proposal of that stage names it, settlement-bank otherwise; its two balances are
// equal either way.
AllocationStage residualStage(SourceRole role, bool bankNamedInErpBank);

// A run's result with its items named by entry positions and its texts left in the entries, for
// a caller that reads it item by item (the session's pages and its commitment) and needs no
// record of each. Its items, in order, are those of toRecords(), and their texts are the bytes
// the records' texts give. It holds the run's list of entries, which point into the entries the
// run was given: those must outlive it.
class PositionalResult {
 public:
  // `residuals` holds each entry's residual by position; `pending` the positions whose residual
  // is not zero, ascending.
  PositionalResult(RunEntries entries, std::vector<RunAllocations::Named> allocations,
                   std::vector<__int128> residuals, std::vector<EntryPos> pending,
                   std::string runId);

  size_t allocationCount() const { return allocations_.size(); }
  // Appends the allocation's text as appendRecordJson writes its record.
  void appendAllocationJson(std::string& out, size_t index) const;

  // Ask the memory for what the items a few places after `index` will read, for a caller that
  // reads the items in order: their entries and texts lie in no useful order. Nothing else.
  void prefetchAfterAllocation(size_t index) const;
  void prefetchAfterPendingId(size_t index) const;
  void prefetchAfterResidual(size_t index) const;

  size_t pendingIdCount() const { return pending_.size(); }
  std::string_view pendingId(size_t index) const { return entries_.id(pending_[index]); }

  // One residual per entry, in identifier order.
  size_t residualCount() const { return entries_.size(); }
  std::string_view residualId(size_t index) const {
    return entries_.id(static_cast<EntryPos>(index));
  }
  std::string residualCents(size_t index) const;

  uint64_t revision() const { return 0; }  // the review-decision list is always empty
  const std::string& runId() const { return runId_; }

  // The result as records; with `runner`, the allocations' records are built in two parts at
  // once.
  [[nodiscard]] ReconciliationResult toRecords(const PairRunner* runner = nullptr) const;

 private:
  RunEntries entries_;
  std::vector<RunAllocations::Named> allocations_;
  std::vector<__int128> residuals_;
  std::vector<EntryPos> pending_;
  std::string runId_;
};

// The result of a run whose balances are final: each entry's residual in its residual stage,
// the identifiers left pending, the run identifier and the allocations, held to what the result
// contract could still refuse (see assembly.cc). Takes the run's list of entries.
Result<PositionalResult, EngineError> assemblePositional(
    RunEntries entries, const OpenBalances& balances, RunAllocations allocations,
    const ReviewHolds& holds, const RunManifest& manifest, const std::atomic<bool>& cancel);

// The same result as records.
Result<ReconciliationResult, EngineError> assembleResult(
    const RunEntries& entries, const OpenBalances& balances, RunAllocations allocations,
    const ReviewHolds& holds, const RunManifest& manifest, const std::atomic<bool>& cancel);

}  // namespace tw
