#include "engine/assembly.h"

#include <cassert>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "contracts/decode.h"
#include "contracts/formats.h"
#include "contracts/record_text.h"
#include "engine/stages.h"
#include "engine/text_order.h"

namespace tw {
namespace {

constexpr size_t kIdPrefetchDistance = 8;
// Items between the steps of an allocation's prefetch (see prefetchAfterAllocation).
constexpr size_t kAllocationPrefetchStep = 4;
// The share of the allocations' records the first part builds beside the residuals, when two
// parts are built at once.
constexpr std::pair<size_t, size_t> kFirstRecordsShare = {3, 8};

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
// written by amountText; the origins are sorted with the total reference order without repeats,
// so they ascend strictly, and debitGroup has held their bound; the reason codes are written in
// text order, one to three. What remains are the run identifier and the counts, and every
// failure among them is InvalidContract, whichever comes first.
Status<EngineError> checkAssembled(std::string_view runId, size_t allocations, size_t pendingIds,
                                   size_t residuals) {
  const auto invalid = [] { return fail(fromContract(ContractError::InvalidContract)); };
  if (!isIdentifier(runId)) return invalid();
  if (allocations > kMaxAllocations) return invalid();
  if (pendingIds > kMaxPendingIds) return invalid();
  if (residuals > kMaxResiduals) return invalid();
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

PositionalResult::PositionalResult(RunEntries entries,
                                   std::vector<RunAllocations::Named> allocations,
                                   std::vector<__int128> residuals, std::vector<EntryPos> pending,
                                   std::string runId)
    : entries_(std::move(entries)),
      allocations_(std::move(allocations)),
      residuals_(std::move(residuals)),
      pending_(std::move(pending)),
      runId_(std::move(runId)) {
  assert(residuals_.size() == entries_.size());
}

void PositionalResult::appendAllocationJson(std::string& out, size_t index) const {
  const RunAllocations::Named& named = allocations_[index];
  const Entry& left = entries_.entry(named.left);
  const Entry& right = entries_.entry(named.right);
  AllocationOrigins origins;
  origins.order(named.stage, left, right);
  assert(origins.size() >= 1 && origins.size() <= kMaxAllocationOrigins);
  const AllocationReasons reasons(named.stage, left, /*referenceMatch=*/true,
                                  /*reviewApproved=*/false);
  const std::string cents = amountText(named.cents);
  tw::appendAllocationJson(out, AllocationParts{named.stage, left.id, right.id, cents,
                                                origins.view(), reasons.view(), kAllocationRuleId});
}

void PositionalResult::prefetchAfterAllocation(size_t index) const {
  // An allocation reads each entry's record in the list, then the entry (identifier, origin,
  // components), then its origin's file identifier, each found through the one before: each is
  // asked for one step after the one it depends on.
  auto named = [this](size_t at) { return at < allocations_.size() ? &allocations_[at] : nullptr; };
  if (const RunAllocations::Named* ahead = named(index + 3 * kAllocationPrefetchStep)) {
    __builtin_prefetch(&entries_[ahead->left]);
    __builtin_prefetch(&entries_[ahead->right]);
  }
  if (const RunAllocations::Named* ahead = named(index + 2 * kAllocationPrefetchStep)) {
    prefetchNamedEntries(*ahead, entries_);
  }
  if (const RunAllocations::Named* ahead = named(index + kAllocationPrefetchStep)) {
    __builtin_prefetch(entries_.entry(ahead->left).origin.fileId.data());
    __builtin_prefetch(entries_.entry(ahead->right).origin.fileId.data());
  }
}

void PositionalResult::prefetchAfterPendingId(size_t index) const {
  if (index + kIdPrefetchDistance < pending_.size()) {
    __builtin_prefetch(entries_.id(pending_[index + kIdPrefetchDistance]).data());
  }
}

void PositionalResult::prefetchAfterResidual(size_t index) const {
  // The identifiers lie wherever the caller's entries put them.
  if (index + kIdPrefetchDistance < entries_.size()) {
    __builtin_prefetch(entries_.id(static_cast<EntryPos>(index + kIdPrefetchDistance)).data());
  }
}

std::string PositionalResult::residualCents(size_t index) const {
  return amountText(residuals_[index]);
}

ReconciliationResult PositionalResult::toRecords(const PairRunner* runner) const {
  ReconciliationResult result;
  result.runId = runId_;
  result.revision = revision();
  RunAllocations allocations;
  allocations.named = allocations_;
  allocations.list.resize(allocations_.size());
  const size_t count = allocations_.size();
  const size_t firstRecords =
      runner == nullptr ? count : count * kFirstRecordsShare.first / kFirstRecordsShare.second;
  runBoth(
      runner,
      [&] {
        result.pendingIds.reserve(pending_.size());
        for (const EntryPos pos : pending_) result.pendingIds.emplace_back(entries_.id(pos));
        // Entries come in ascending identifier order, so every insertion goes at the end.
        for (EntryPos pos = 0; pos < entries_.size(); ++pos) {
          prefetchAfterResidual(pos);
          result.residuals.emplace_hint(result.residuals.end(), entries_.id(pos),
                                        amountText(residuals_[pos]));
        }
        buildAllocations(allocations, entries_, 0, firstRecords);
      },
      [&] { buildAllocations(allocations, entries_, firstRecords, count); });
  result.allocations = std::move(allocations.list);
  return result;
}

Result<PositionalResult, EngineError> assemblePositional(
    RunEntries entries, const OpenBalances& balances, RunAllocations allocations,
    const ReviewHolds& holds, const RunManifest& manifest, const std::atomic<bool>& cancel) {
  const std::vector<bool> named = namedInErpBank(entries, allocations, holds);
  std::vector<__int128> residuals(entries.size());
  std::vector<EntryPos> pending;
  for (EntryPos pos = 0; pos < entries.size(); ++pos) {
    if (auto status = cancellationPoint(cancel); !status) return fail(status.error());
    const AllocationStage stage = residualStage(entries[pos].role, named[pos]);
    const __int128* balance = balances.find(stage, pos);
    if (balance == nullptr) return fail(EngineError::InconsistentInput);
    residuals[pos] = *balance;
    if (*balance != 0) pending.push_back(pos);
  }
  if (auto checked = checkAssembled(manifest.runId, allocations.named.size(), pending.size(),
                                    residuals.size());
      !checked) {
    return fail(checked.error());
  }
  return PositionalResult(std::move(entries), std::move(allocations.named), std::move(residuals),
                          std::move(pending), manifest.runId);
}

Result<ReconciliationResult, EngineError> assembleResult(
    const RunEntries& entries, const OpenBalances& balances, RunAllocations allocations,
    const ReviewHolds& holds, const RunManifest& manifest, const std::atomic<bool>& cancel) {
  auto result =
      assemblePositional(entries, balances, std::move(allocations), holds, manifest, cancel);
  if (!result) return fail(result.error());
  return result->toRecords();
}

}  // namespace tw
