#include "engine/assembly.h"

#include <cstdint>
#include <string>
#include <utility>

#include "contracts/decode.h"
#include "contracts/formats.h"
#include "engine/stages.h"
#include "engine/text_order.h"

namespace tw {
namespace {

constexpr size_t kMaxReasonCodes = 3;  // one of each code
constexpr size_t kIdPrefetchDistance = 8;

// Marks every entry that an erp-bank allocation or review proposal names, built once instead of
// scanning the allocations and holds for each bank entry.
std::vector<bool> namedInErpBank(const RunEntries& entries, const RunAllocations& allocations,
                                 const ReviewHolds& holds) {
  std::vector<bool> named(entries.size(), false);
  for (const RunAllocations::Named& allocation : allocations.named) {
    if (allocation.stage != AllocationStage::ErpBank) continue;
    named[allocation.left] = true;
    named[allocation.right] = true;
  }
  for (const ReviewHold& hold : holds.holds) {
    for (const ReviewProposal& proposal : hold.proposals) {
      if (proposal.stage != AllocationStage::ErpBank) continue;
      named[proposal.left] = true;
      named[proposal.right] = true;
    }
  }
  return named;
}

// What checkResultRecord could report on an assembled result. Every other rule it applies holds
// by construction: each identifier is an entry's, and each origin an entry's or a component's,
// all held to the contract with their entry (by the run, or before it by a caller that passes
// EntryContractChecks::AlreadyPassed); the rule identifier is a constant; each amount text is
// written by amountText; buildAllocation sorts the origins with the total reference order and
// drops repeats, so they ascend strictly. What remains are the run identifier, the counts and the
// reason codes, and every failure among them is InvalidContract, whichever comes first.
Status<EngineError> checkAssembled(const ReconciliationResult& result) {
  const auto invalid = [] { return fail(fromContract(ContractError::InvalidContract)); };
  if (!isIdentifier(result.runId)) return invalid();
  if (result.allocations.size() > kMaxAllocations) return invalid();
  for (const Allocation& allocation : result.allocations) {
    const Evidence& evidence = allocation.evidence;
    if (evidence.origins.empty() || evidence.origins.size() > kMaxOrigins) return invalid();
    if (evidence.reasonCodes.empty() || evidence.reasonCodes.size() > kMaxReasonCodes) {
      return invalid();
    }
    for (size_t i = 1; i < evidence.reasonCodes.size(); ++i) {
      if (!(toText(evidence.reasonCodes[i - 1]) < toText(evidence.reasonCodes[i]))) {
        return invalid();
      }
    }
  }
  if (result.pendingIds.size() > kMaxPendingIds) return invalid();
  if (result.residuals.size() > kMaxResiduals) return invalid();
  return {};
}

}  // namespace

AllocationStage residualStage(SourceRole role, bool bankNamedInErpBank) {
  switch (role) {
    case SourceRole::Erp:
      return AllocationStage::ErpBank;
    case SourceRole::Sales:
      return AllocationStage::SalesSettlement;
    case SourceRole::Settlement:
      return AllocationStage::SettlementBank;
    case SourceRole::Bank:
      return bankNamedInErpBank ? AllocationStage::ErpBank : AllocationStage::SettlementBank;
  }
  return AllocationStage::SettlementBank;
}

Status<EngineError> assembleResiduals(const RunEntries& entries, const OpenBalances& balances,
                                      const RunAllocations& allocations, const ReviewHolds& holds,
                                      const std::atomic<bool>& cancel,
                                      ReconciliationResult& result) {
  const std::vector<bool> named = namedInErpBank(entries, allocations, holds);
  // Entries come in ascending identifier order, so every insertion goes at the end.
  for (EntryPos pos = 0; pos < entries.size(); ++pos) {
    if (auto status = cancellationPoint(cancel); !status) return status;
    // The identifiers lie wherever the caller's entries put them; asking for one a few entries
    // ahead hides most of the wait for it.
    if (pos + kIdPrefetchDistance < entries.size()) {
      __builtin_prefetch(entries.id(pos + kIdPrefetchDistance).data());
    }
    const AllocationStage stage = residualStage(entries[pos].role, named[pos]);
    const __int128* balance = balances.find(stage, pos);
    if (balance == nullptr) return fail(EngineError::InconsistentInput);
    std::string text = amountText(*balance);
    if (*balance != 0) result.pendingIds.emplace_back(entries.id(pos));
    result.residuals.emplace_hint(result.residuals.end(), entries.id(pos), std::move(text));
  }
  return {};
}

Result<ReconciliationResult, EngineError> finishResult(ReconciliationResult result,
                                                       RunAllocations allocations,
                                                       const RunManifest& manifest) {
  // The review-decision list is always empty in this system.
  result.revision = 0;
  result.runId = manifest.runId;
  result.allocations = std::move(allocations.list);

  if (auto checked = checkAssembled(result); !checked) return fail(checked.error());
  return result;
}

Result<ReconciliationResult, EngineError> assembleResult(
    const RunEntries& entries, const OpenBalances& balances, RunAllocations allocations,
    const ReviewHolds& holds, const RunManifest& manifest, const std::atomic<bool>& cancel) {
  ReconciliationResult result;
  if (auto status = assembleResiduals(entries, balances, allocations, holds, cancel, result);
      !status) {
    return fail(status.error());
  }
  return finishResult(std::move(result), std::move(allocations), manifest);
}

}  // namespace tw
