#include "engine/review.h"

#include <algorithm>
#include <map>
#include <tuple>
#include <utility>

#include "engine/stages.h"

namespace tw {

std::string_view toText(HoldReason reason) {
  switch (reason) {
    case HoldReason::AmountsDiffer:
      return "amounts-differ";
    case HoldReason::DatesDiffer:
      return "dates-differ";
    case HoldReason::SeveralEntries:
      return "several-entries-a-side";
    case HoldReason::CompetesWithExact:
      return "competes-with-exact-match";
  }
  return "amounts-differ";
}

std::string_view toText(LoneReason reason) {
  switch (reason) {
    case LoneReason::SharedReference:
      return "reference-on-several-entries";
    case LoneReason::SaleWithoutFees:
      return "sale-without-fees";
    case LoneReason::SaleWithReversal:
      return "sale-with-reversal";
    case LoneReason::NoPositiveAmount:
      return "no-positive-amount";
    case LoneReason::NoCounterpart:
      return "no-counterpart";
  }
  return "no-counterpart";
}

namespace {

// A claim as resolution makes it: a bank entry is one resource for both of its stages, any other
// entry one resource per stage.
size_t claimOf(const RunEntries& entries, EntryPos pos, AllocationStage stage) {
  constexpr size_t kScopes = 1 + kStageCount;
  const size_t scope = entries[pos].role == SourceRole::Bank ? 0 : 1 + stageIndex(stage);
  return static_cast<size_t>(pos) * kScopes + scope;
}

MatchPass passOf(const MatchGroup& group, const RunEntries& entries) {
  if (group.memberIds != nullptr) return MatchPass::Composition;
  // The reference pass pairs entries that both have the reference; the synthetic pass never does.
  const Proposal& proposal = group.proposals.front();
  return entries[proposal.left].hasReference && entries[proposal.right].hasReference
             ? MatchPass::Reference
             : MatchPass::Synthetic;
}

uint8_t holdReasons(const MatchGroup& group, const RunEntries& entries) {
  if (group.memberIds != nullptr) return static_cast<uint8_t>(HoldReason::SeveralEntries);
  const Proposal& proposal = group.proposals.front();
  uint8_t reasons = 0;
  auto left = entries.stageAmount(proposal.left, proposal.stage);
  auto right = entries.stageAmount(proposal.right, proposal.stage);
  if (left && right && *left != *right) reasons |= static_cast<uint8_t>(HoldReason::AmountsDiffer);
  if (entries[proposal.left].dateRank != entries[proposal.right].dateRank) {
    reasons |= static_cast<uint8_t>(HoldReason::DatesDiffer);
  }
  return reasons;
}

// Whether the reference of the entry at `pos` stands on two or more entries of one side of a
// stage whose other side has it too: the reference pass then forms no pair.
class ReferenceCells {
 public:
  explicit ReferenceCells(const RunEntries& entries) : entries_(entries) {
    for (const AllocationStage stage : kStageOrder) {
      const StageRoles roles = stageRoles(stage);
      for (EntryPos pos = 0; pos < entries.size(); ++pos) {
        const RunEntry& facts = entries[pos];
        if (!facts.hasReference) continue;
        if (facts.role == roles.left) ++sizes_[keyOf(stage, pos)].first;
        if (facts.role == roles.right) ++sizes_[keyOf(stage, pos)].second;
      }
    }
  }

  bool shared(EntryPos pos) const {
    if (!entries_[pos].hasReference) return false;
    for (const AllocationStage stage : stagesOfRole(entries_[pos].role)) {
      auto found = sizes_.find(keyOf(stage, pos));
      if (found == sizes_.end()) continue;
      const auto [left, right] = found->second;
      if (left > 0 && right > 0 && (left > 1 || right > 1)) return true;
    }
    return false;
  }

 private:
  using Key = std::tuple<uint8_t, uint32_t, uint32_t, uint32_t>;
  Key keyOf(AllocationStage stage, EntryPos pos) const {
    const RunEntry& facts = entries_[pos];
    return {static_cast<uint8_t>(stage), facts.rootRank, facts.accountRank, facts.referenceRank};
  }

  const RunEntries& entries_;
  std::map<Key, std::pair<size_t, size_t>> sizes_;
};

uint8_t loneReasons(EntryPos pos, const RunEntries& entries, const ReferenceCells& cells) {
  const RunEntry& facts = entries[pos];
  uint8_t reasons = 0;
  if (cells.shared(pos)) reasons |= static_cast<uint8_t>(LoneReason::SharedReference);
  if (facts.role == SourceRole::Sales && !facts.passesSalesFilter) {
    const auto& components = facts.entry->components;
    if (components.empty()) reasons |= static_cast<uint8_t>(LoneReason::SaleWithoutFees);
    if (std::any_of(components.begin(), components.end(), [](const EntryComponent& c) {
          return c.kind == EntryComponentKind::Reversal;
        })) {
      reasons |= static_cast<uint8_t>(LoneReason::SaleWithReversal);
    }
  }
  bool positive = false;
  for (const AllocationStage stage : stagesOfRole(facts.role)) {
    auto amount = entries.stageAmount(pos, stage);
    positive = positive || (amount && *amount > 0);
  }
  if (!positive) reasons |= static_cast<uint8_t>(LoneReason::NoPositiveAmount);
  return reasons != 0 ? reasons : static_cast<uint8_t>(LoneReason::NoCounterpart);
}

}  // namespace

void noteCollectedGroups(EngineReview& review, const std::vector<MatchGroup>& collected) {
  for (const MatchGroup& group : collected) {
    if (group.exact && group.proposals.size() == 1) {
      review.exactWhenCollected.emplace_back(group.proposals.front().left,
                                             group.proposals.front().right);
    }
  }
  std::sort(review.exactWhenCollected.begin(), review.exactWhenCollected.end());
}

void noteKeptGroups(EngineReview& review, const std::vector<MatchGroup>& kept,
                    const RunEntries& entries) {
  const auto wasExact = [&review](const MatchGroup& group) {
    return group.proposals.size() == 1 &&
           std::binary_search(
               review.exactWhenCollected.begin(), review.exactWhenCollected.end(),
               std::make_pair(group.proposals.front().left, group.proposals.front().right));
  };
  std::vector<bool> named(entries.size(), false);
  // (claim, held index) of every held candidate's claims, sorted, a candidate's claim once.
  std::vector<std::pair<size_t, size_t>> claims;
  std::vector<const MatchGroup*> heldGroups;
  for (const MatchGroup& group : kept) {
    for (const Proposal& proposal : group.proposals) {
      named[proposal.left] = true;
      named[proposal.right] = true;
    }
    if (group.exact || group.proposals.empty()) continue;
    const size_t index = heldGroups.size();
    heldGroups.push_back(&group);
    for (const Proposal& proposal : group.proposals) {
      claims.emplace_back(claimOf(entries, proposal.left, proposal.stage), index);
      claims.emplace_back(claimOf(entries, proposal.right, proposal.stage), index);
    }
  }
  std::sort(claims.begin(), claims.end());
  claims.erase(std::unique(claims.begin(), claims.end()), claims.end());

  // Holders of each claim, as a range of `claims`; per candidate, the ranges of its claims.
  std::vector<std::vector<std::pair<size_t, size_t>>> rangesOf(heldGroups.size());
  for (size_t begin = 0; begin < claims.size();) {
    size_t end = begin;
    while (end < claims.size() && claims[end].first == claims[begin].first) ++end;
    if (end - begin > 1) {
      for (size_t i = begin; i < end; ++i) rangesOf[claims[i].second].emplace_back(begin, end);
    }
    begin = end;
  }

  review.held.clear();
  review.held.reserve(heldGroups.size());
  for (const MatchGroup* group : heldGroups) {
    HeldCandidate held;
    held.stage = group->proposals.front().stage;
    held.pass = passOf(*group, entries);
    held.reasons = holdReasons(*group, entries);
    for (const Proposal& proposal : group->proposals) {
      held.proposals.push_back(ReviewedProposal{std::string(entries.id(proposal.left)),
                                                std::string(entries.id(proposal.right)),
                                                proposal.cents});
    }
    for (const EntryPos member : group->members()) held.memberIds.emplace_back(entries.id(member));
    review.held.push_back(std::move(held));
  }
  // Competitors, each counted once per candidate; a competitor that was an exact match (or the
  // candidate itself having been one) makes the competition one with an exact match.
  std::vector<size_t> lastSeen(heldGroups.size(), SIZE_MAX);
  for (size_t index = 0; index < heldGroups.size(); ++index) {
    HeldCandidate& held = review.held[index];
    bool exactInvolved = wasExact(*heldGroups[index]) && !rangesOf[index].empty();
    std::vector<size_t> listed;
    for (const auto& [begin, end] : rangesOf[index]) {
      for (size_t i = begin; i < end; ++i) {
        const size_t other = claims[i].second;
        if (other == index || lastSeen[other] == index) continue;
        lastSeen[other] = index;
        ++held.competitorCount;
        exactInvolved = exactInvolved || wasExact(*heldGroups[other]);
        listed.push_back(other);
      }
    }
    std::sort(listed.begin(), listed.end());
    if (listed.size() > kMaxCompetitorsListed) listed.resize(kMaxCompetitorsListed);
    held.competitors = std::move(listed);
    if (exactInvolved) held.reasons |= static_cast<uint8_t>(HoldReason::CompetesWithExact);
  }

  const ReferenceCells cells(entries);
  review.lone.clear();
  for (EntryPos pos = 0; pos < entries.size(); ++pos) {
    if (named[pos]) continue;
    review.lone.push_back(
        LoneEntry{std::string(entries.id(pos)), loneReasons(pos, entries, cells)});
  }
}

}  // namespace tw
