#include "engine/assembly.h"

#include <utility>

#include "contracts/formats.h"
#include "contracts/record_checks.h"
#include "engine/stages.h"

namespace tw {
namespace {

// Marks every entry that an erp-bank allocation or review proposal names, built once instead of
// scanning the allocations and holds for each bank entry.
Result<std::vector<bool>, EngineError> namedInErpBank(const RunEntries& entries,
                                                      const std::vector<Allocation>& allocations,
                                                      const ReviewHolds& holds) {
  std::vector<bool> named(entries.size(), false);
  for (const Allocation& allocation : allocations) {
    if (allocation.stage != AllocationStage::ErpBank) continue;
    for (const std::string* id : {&allocation.leftId, &allocation.rightId}) {
      const auto pos = entries.find(*id);
      if (!pos) return fail(EngineError::InconsistentInput);
      named[*pos] = true;
    }
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

Result<ReconciliationResult, EngineError> assembleResult(
    const RunEntries& entries, const OpenBalances& balances, std::vector<Allocation> allocations,
    const ReviewHolds& holds, const RunManifest& manifest, const std::atomic<bool>& cancel) {
  auto named = namedInErpBank(entries, allocations, holds);
  if (!named) return fail(named.error());

  ReconciliationResult result;
  // Entries come in ascending identifier order, so every insertion goes at the end.
  for (EntryPos pos = 0; pos < entries.size(); ++pos) {
    if (auto status = cancellationPoint(cancel); !status) return fail(status.error());
    const AllocationStage stage = residualStage(entries[pos].role, (*named)[pos]);
    const __int128* balance = balances.find(stage, pos);
    if (balance == nullptr) return fail(EngineError::InconsistentInput);
    std::string text = formatAmount(*balance);
    if (text != "0") result.pendingIds.push_back(entries.id(pos));
    result.residuals.emplace_hint(result.residuals.end(), entries.id(pos), std::move(text));
  }
  // The review-decision list is always empty in this system.
  result.revision = 0;
  result.runId = manifest.runId;
  result.allocations = std::move(allocations);

  // Decoding the result's JSON form would report what checkResultRecord reports and, when it
  // succeeds, give back the same result; the check spares building and decoding that form.
  if (auto checked = checkResultRecord(result); !checked) {
    return fail(fromContract(checked.error()));
  }
  return result;
}

}  // namespace tw
