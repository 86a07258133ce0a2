// What a run held for review, and why the entries no candidate names were left alone, for a
// person working through the run's open amounts.
//
// A caller that wants to know calls runEngineWithReview; the run fills the record in at two
// points of its own path (after collecting the groups, and after processing the kept ones), so
// the result and the code are those of runEngine, and a run given no record (the worker's) does
// exactly the same work. The record explains the result; it decides nothing in it.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "contracts/source.h"
#include "engine/engine.h"
#include "engine/failure.h"
#include "engine/matching/candidates.h"
#include "engine/run_entries.h"

namespace tw {

// Why a candidate was held rather than allocated; a candidate may have several (a bit set).
enum class HoldReason : uint8_t {
  AmountsDiffer = 1,      // the two stage amounts differ (the proposal takes the smaller)
  DatesDiffer = 2,        // the two entries are of different days
  SeveralEntries = 4,     // several entries on one side (a composition)
  CompetesWithExact = 8,  // shares an entry with an exact match, or was one and lost it
};

// Why no candidate names an entry; an entry may have several (a bit set). An entry for which
// none of the first four holds has no counterpart.
enum class LoneReason : uint8_t {
  SharedReference = 1,   // its reference is on two or more entries of one side of a stage
  SaleWithoutFees = 2,   // a sale without components: kept out of sales-settlement
  SaleWithReversal = 4,  // a sale with a reversal component: kept out of sales-settlement
  NoPositiveAmount = 8,  // its amount in every stage of its role is zero or negative
  NoCounterpart = 16,    // nothing on the other side shares its reference or its day and amount
};

std::string_view toText(HoldReason reason);
std::string_view toText(LoneReason reason);

inline constexpr std::array<HoldReason, 4> kHoldReasons = {
    HoldReason::AmountsDiffer, HoldReason::DatesDiffer, HoldReason::SeveralEntries,
    HoldReason::CompetesWithExact};
inline constexpr std::array<LoneReason, 5> kLoneReasons = {
    LoneReason::SharedReference, LoneReason::SaleWithoutFees, LoneReason::SaleWithReversal,
    LoneReason::NoPositiveAmount, LoneReason::NoCounterpart};

// At most this many competitors are listed per held candidate; the count is always complete.
inline constexpr size_t kMaxCompetitorsListed = 32;

struct ReviewedProposal {
  std::string leftId;
  std::string rightId;
  __int128 cents = 0;

  friend bool operator==(const ReviewedProposal&, const ReviewedProposal&) = default;
};

// One non-exact group the run kept: held for review, it moved no balance.
struct HeldCandidate {
  AllocationStage stage = AllocationStage::ErpBank;
  MatchPass pass = MatchPass::Reference;  // Synthetic: the pass without references
  uint8_t reasons = 0;                    // HoldReason bits
  std::vector<ReviewedProposal> proposals;
  std::vector<std::string> memberIds;  // the cell's entries (a composition) or the pair
  // Other held candidates sharing an entry (a claim) with this one, as indexes into
  // EngineReview::held, ascending; at most kMaxCompetitorsListed of competitorCount.
  std::vector<size_t> competitors;
  size_t competitorCount = 0;

  bool has(HoldReason reason) const { return (reasons & static_cast<uint8_t>(reason)) != 0; }
};

// An entry that no candidate names, allocated or held.
struct LoneEntry {
  std::string id;
  uint8_t reasons = 0;  // LoneReason bits, never 0

  bool has(LoneReason reason) const { return (reasons & static_cast<uint8_t>(reason)) != 0; }
};

struct EngineReview {
  std::vector<HeldCandidate> held;  // in the run's final group order
  std::vector<LoneEntry> lone;      // ascending identifier
  // Internal: the pairs (left, right) of the groups that were exact when collected, sorted. A
  // pair names its stage, whose left role differs from every other stage's.
  std::vector<std::pair<EntryPos, EntryPos>> exactWhenCollected;
};

// The hooks of the run's path (engine.cc). Each reads what the run made and writes `review` only.
void noteCollectedGroups(EngineReview& review, const std::vector<MatchGroup>& collected);
void noteKeptGroups(EngineReview& review, const std::vector<MatchGroup>& kept,
                    const RunEntries& entries);

// runEngine with the entry checks made, filling in `review` when the run succeeds.
Result<ReconciliationResult, EngineError> runEngineWithReview(const std::vector<Entry>& entries,
                                                              const RunManifest& manifest,
                                                              const std::atomic<bool>& cancel,
                                                              const EngineLimits& limits,
                                                              EngineReview& review);

}  // namespace tw
