#include "engine/resolution.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <charconv>
#include <functional>

#include "contracts/formats.h"
#include "engine/failure.h"
#include "engine/stages.h"
#include "engine/text_order.h"

namespace tw {
namespace {

// Items of the sort key compare by stage, left identifier, right identifier, then cents. Entry
// positions order as their identifiers, and the stage enumeration as the stage texts. Equal
// items are equal proposals.
int proposalCompare(const Proposal& a, const Proposal& b) {
  if (a.stage != b.stage) return a.stage < b.stage ? -1 : 1;
  if (a.left != b.left) return a.left < b.left ? -1 : 1;
  if (a.right != b.right) return a.right < b.right ? -1 : 1;
  if (a.cents != b.cents) return a.cents < b.cents ? -1 : 1;
  return 0;
}

// Groups compare as their proposal lists, lexicographically; 0 for equal lists.
int groupCompare(const MatchGroup& a, const MatchGroup& b) {
  const size_t common = std::min(a.proposals.size(), b.proposals.size());
  for (size_t i = 0; i < common; ++i) {
    if (const int c = proposalCompare(a.proposals[i], b.proposals[i]); c != 0) return c;
  }
  if (a.proposals.size() != b.proposals.size()) {
    return a.proposals.size() < b.proposals.size() ? -1 : 1;
  }
  return 0;
}

// The groups stably sorted by their proposal lists, and of equal lists only the first kept
// (members and exactness are not compared). The sort moves indexes, not groups; ties by index
// give the stable order.
std::vector<MatchGroup> sortedDistinctGroups(std::vector<MatchGroup> groups) {
  // Each group's first proposal travels with its index, so that most comparisons are settled
  // without reading the group; a group without proposals orders before any other.
  struct Item {
    Proposal first;
    bool empty;
    uint32_t index;
  };
  std::vector<Item> order(groups.size());
  for (uint32_t i = 0; i < order.size(); ++i) {
    const auto& proposals = groups[i].proposals;
    order[i] = Item{proposals.empty() ? Proposal{} : proposals.front(), proposals.empty(), i};
  }
  std::sort(order.begin(), order.end(), [&groups](const Item& a, const Item& b) {
    int c = 0;
    if (a.empty != b.empty) {
      c = a.empty ? -1 : 1;
    } else if (!a.empty) {
      c = proposalCompare(a.first, b.first);
      if (c == 0) c = groupCompare(groups[a.index], groups[b.index]);
    }
    return c != 0 ? c < 0 : a.index < b.index;
  });
  std::vector<MatchGroup> sorted;
  sorted.reserve(groups.size());
  for (const auto& [first, empty, index] : order) {
    if (!sorted.empty() && groupCompare(sorted.back(), groups[index]) == 0) continue;
    sorted.push_back(std::move(groups[index]));
  }
  return sorted;
}

// A claim's scope: "bank-global" for a bank entry, else the proposal's stage. The numbers follow
// the text order of the scope names: "bank-global" < "erp-bank" < "sales-settlement" <
// "settlement-bank".
uint8_t claimScope(const RunEntries& entries, EntryPos pos, AllocationStage stage) {
  if (entries[pos].role == SourceRole::Bank) return 0;
  return static_cast<uint8_t>(1 + stageIndex(stage));
}

// Clears the exactness of every group sharing a claim with another group. A claim is a (scope,
// entry) pair; the claims of one group form a set (a group naming an entry twice claims it
// once), and a claim held by two or more groups makes all of its holders contested.
Status<EngineError> clearContestedExactness(std::vector<MatchGroup>& groups,
                                            const RunEntries& entries,
                                            const std::atomic<bool>& cancel) {
  constexpr size_t kScopes = 1 + kStageCount;
  constexpr uint32_t kNoGroup = UINT32_MAX;
  const auto claimIndex = [&](EntryPos pos, AllocationStage stage) {
    return static_cast<size_t>(pos) * kScopes + claimScope(entries, pos, stage);
  };
  // Per claim: the last group counted, and how many groups hold it (counting stops at two).
  std::vector<uint32_t> lastHolder(entries.size() * kScopes, kNoGroup);
  std::vector<uint8_t> holders(entries.size() * kScopes, 0);
  const auto count = [&](size_t claim, uint32_t group) {
    if (lastHolder[claim] == group) return;
    lastHolder[claim] = group;
    if (holders[claim] < 2) ++holders[claim];
  };
  for (size_t index = 0; index < groups.size(); ++index) {
    if (auto status = cancellationPoint(cancel); !status) return status;
    const auto group = static_cast<uint32_t>(index);
    for (const Proposal& proposal : groups[index].proposals) {
      count(claimIndex(proposal.left, proposal.stage), group);
      count(claimIndex(proposal.right, proposal.stage), group);
    }
  }
  for (MatchGroup& group : groups) {
    if (auto status = cancellationPoint(cancel); !status) return status;
    for (const Proposal& proposal : group.proposals) {
      if (holders[claimIndex(proposal.left, proposal.stage)] > 1 ||
          holders[claimIndex(proposal.right, proposal.stage)] > 1) {
        group.exact = false;
        break;
      }
    }
  }
  return {};
}

struct BalanceKey {
  AllocationStage stage;
  EntryPos pos;

  friend bool operator==(const BalanceKey&, const BalanceKey&) = default;
  friend auto operator<=>(const BalanceKey&, const BalanceKey&) = default;
};

// The balances a proposal touches, sorted and without repeats: a bank entry's proposal touches
// both of its balances, any other entry only the stage's. At most four.
class BalanceKeys {
 public:
  BalanceKeys(const RunEntries& entries, const Proposal& proposal) {
    append(entries, proposal.left, proposal.stage);
    append(entries, proposal.right, proposal.stage);
    // Insertion into a sorted prefix, skipping repeats.
    size_t kept = 0;
    for (size_t i = 0; i < count_; ++i) {
      const BalanceKey key = keys_[i];
      size_t at = kept;
      while (at > 0 && key < keys_[at - 1]) --at;
      if (at > 0 && keys_[at - 1] == key) continue;
      for (size_t j = kept; j > at; --j) keys_[j] = keys_[j - 1];
      keys_[at] = key;
      ++kept;
    }
    count_ = kept;
  }
  const BalanceKey* begin() const { return keys_.data(); }
  const BalanceKey* end() const { return keys_.data() + count_; }

 private:
  void append(const RunEntries& entries, EntryPos pos, AllocationStage stage) {
    if (entries[pos].role == SourceRole::Bank) {
      keys_[count_++] = {AllocationStage::ErpBank, pos};
      keys_[count_++] = {AllocationStage::SettlementBank, pos};
    } else {
      keys_[count_++] = {stage, pos};
    }
  }

  std::array<BalanceKey, 4> keys_{};
  size_t count_ = 0;
};

Status<EngineError> debitBalances(const Proposal& proposal, OpenBalances& balances,
                                  const RunEntries& entries) {
  if (proposal.cents <= 0) return fail(EngineError::InsufficientBalance);
  if (proposal.left >= entries.size() || proposal.right >= entries.size()) {
    return fail(EngineError::InconsistentInput);
  }
  const BalanceKeys keys(entries, proposal);
  // Every key is checked before any balance moves.
  for (const BalanceKey& key : keys) {
    const __int128* balance = balances.find(key.stage, key.pos);
    if (balance == nullptr) return fail(EngineError::InconsistentInput);
    if (*balance < proposal.cents) return fail(EngineError::InsufficientBalance);
  }
  for (const BalanceKey& key : keys) {
    __int128* balance = balances.find(key.stage, key.pos);
    if (__builtin_sub_overflow(*balance, proposal.cents, balance)) {
      return fail(EngineError::AmountOverflow);
    }
  }
  return {};
}

// Bytes a key field adds beyond its text: '|', at most 20 digits of its length, ':'.
constexpr size_t kKeyFieldOverhead = 22;
// Longest amount text: a sign and 39 digits.
constexpr size_t kMaxAmountTextBytes = 40;

void appendKeyField(std::string& key, std::string_view field) {
  char digits[24];
  const auto written = std::to_chars(digits, digits + sizeof digits, field.size());
  key.push_back('|');
  key.append(digits, written.ptr);
  key.push_back(':');
  key.append(field);
}

// Allocations name entries in no useful memory order; asking for what an allocation a few places
// ahead will read (identifiers, origins, components) hides most of the wait for it.
constexpr size_t kAllocationPrefetchDistance = 4;

// The entries a failed group names and, past the origin bound, the figure.
void noteGroupFailure(EngineFailure& failure, const MatchGroup& group, const RunEntries& entries,
                      size_t originsFound, EngineError code) {
  for (const Proposal& proposal : group.proposals) {
    for (const EntryPos pos : {proposal.left, proposal.right}) {
      if (pos >= entries.size()) continue;
      std::string id(entries.id(pos));
      if (std::find(failure.entryIds.begin(), failure.entryIds.end(), id) ==
          failure.entryIds.end()) {
        failure.entryIds.push_back(std::move(id));
      }
    }
  }
  if (code == EngineError::LimitExceeded) {
    noteBound(&failure, EngineBound::Origins, originsFound, kMaxAllocationOrigins);
  } else if (code == EngineError::AmountOverflow) {
    failure.rule = "a balance less the group's proposals overflows";
  } else if (code == EngineError::InsufficientBalance) {
    failure.rule = "an allocation is not positive or exceeds an open balance";
  }
}

// buildAllocation into an empty record, so that a list of records is filled in place.
Status<EngineError> fillAllocation(Allocation& allocation, AllocationStage stage, const Entry& left,
                                   const Entry& right, __int128 cents, bool referenceMatch,
                                   bool reviewApproved, size_t* originsFound) {
  allocation.stage = stage;
  allocation.leftId = left.id;
  allocation.rightId = right.id;
  allocation.cents = amountText(cents);

  AllocationOrigins ordered;
  ordered.order(stage, left, right);
  if (ordered.size() > kMaxAllocationOrigins) {
    if (originsFound != nullptr) *originsFound = ordered.size();
    return fail(EngineError::LimitExceeded);
  }
  std::vector<Ref>& origins = allocation.evidence.origins;
  origins.reserve(ordered.size());
  for (const Ref* origin : ordered.view()) origins.push_back(*origin);

  const AllocationReasons reasons(stage, left, referenceMatch, reviewApproved);
  allocation.evidence.reasonCodes.assign(reasons.view().begin(), reasons.view().end());
  allocation.evidence.ruleId = kAllocationRuleId;
  return {};
}

// The number of distinct origins an allocation's evidence would carry, counted only where it
// could pass the bound: two entries alone carry at most two.
size_t boundedOriginCount(AllocationStage stage, const Entry& left, const Entry& right) {
  if (stage != AllocationStage::SalesSettlement ||
      2 + left.components.size() <= kMaxAllocationOrigins) {
    return 0;
  }
  std::vector<const Ref*> origins;
  origins.reserve(2 + left.components.size());
  origins.push_back(&left.origin);
  origins.push_back(&right.origin);
  for (const EntryComponent& component : left.components) origins.push_back(&component.origin);
  std::sort(origins.begin(), origins.end(), [](const Ref* a, const Ref* b) { return *a < *b; });
  return static_cast<size_t>(std::unique(origins.begin(), origins.end(),
                                         [](const Ref* a, const Ref* b) { return *a == *b; }) -
                             origins.begin());
}

// Debits the balances for each proposal of an exact group and appends it to the named
// allocations, failing where building its record would pass the origin bound.
Status<EngineError> debitGroup(const MatchGroup& group, OpenBalances& balances,
                               const RunEntries& entries, RunAllocations& allocations,
                               size_t* originsFound) {
  for (const Proposal& proposal : group.proposals) {
    if (auto status = debitBalances(proposal, balances, entries); !status) return status;
    const size_t origins = boundedOriginCount(proposal.stage, entries.entry(proposal.left),
                                              entries.entry(proposal.right));
    if (origins > kMaxAllocationOrigins) {
      if (originsFound != nullptr) *originsFound = origins;
      return fail(EngineError::LimitExceeded);
    }
    allocations.named.push_back({proposal.left, proposal.right, proposal.stage, proposal.cents});
  }
  return {};
}

}  // namespace

void prefetchNamedEntries(const RunAllocations::Named& named, const RunEntries& entries) {
  for (const EntryPos pos : {named.left, named.right}) {
    const Entry& entry = entries.entry(pos);
    __builtin_prefetch(entries.id(pos).data());
    __builtin_prefetch(&entry.origin);
    __builtin_prefetch(&entry.components);
  }
}

Result<std::vector<MatchGroup>, EngineError> resolveGroups(std::vector<MatchGroup> groups,
                                                           const RunEntries& entries,
                                                           const EngineLimits& limits,
                                                           const std::atomic<bool>& cancel,
                                                           EngineFailure* failure) {
  groups = sortedDistinctGroups(std::move(groups));
  if (auto status = clearContestedExactness(groups, entries, cancel); !status) {
    return fail(status.error());
  }
  std::vector<MatchGroup> kept;
  kept.reserve(groups.size());
  for (MatchGroup& group : groups) {
    if (group.exact ? limits.allocateExact : limits.holdForReview) kept.push_back(std::move(group));
  }
  if (kept.size() > limits.maxGroups) {
    noteBound(failure, EngineBound::Groups, kept.size(), limits.maxGroups);
    return fail(EngineError::LimitExceeded);
  }
  return kept;
}

void AllocationOrigins::order(AllocationStage stage, const Entry& left, const Entry& right) {
  const bool documented = stage == AllocationStage::SalesSettlement && !left.components.empty();
  count_ = 0;
  more_.clear();
  if (!documented) {
    // Most allocations: what sorting and dropping a repeat would do, without the sort.
    first_[0] = &left.origin;
    first_[1] = &right.origin;
    if (*first_[1] < *first_[0]) std::swap(first_[0], first_[1]);
    count_ = *first_[0] == *first_[1] ? 1 : 2;
    return;
  }
  more_.reserve(2 + left.components.size());
  more_.push_back(&left.origin);
  more_.push_back(&right.origin);
  for (const EntryComponent& component : left.components) more_.push_back(&component.origin);
  std::sort(more_.begin(), more_.end(), [](const Ref* a, const Ref* b) { return *a < *b; });
  more_.erase(
      std::unique(more_.begin(), more_.end(), [](const Ref* a, const Ref* b) { return *a == *b; }),
      more_.end());
  count_ = more_.size();
}

std::span<const Ref* const> AllocationOrigins::view() const {
  return more_.empty() ? std::span<const Ref* const>(first_.data(), count_)
                       : std::span<const Ref* const>(more_);
}

AllocationReasons::AllocationReasons(AllocationStage stage, const Entry& left, bool referenceMatch,
                                     bool reviewApproved) {
  // Written in text order: documented-composition, reference-match, review-approved.
  if (stage == AllocationStage::SalesSettlement && !left.components.empty()) {
    codes_[count_++] = ReasonCode::DocumentedComposition;
  }
  if (referenceMatch) codes_[count_++] = ReasonCode::ReferenceMatch;
  if (reviewApproved) codes_[count_++] = ReasonCode::ReviewApproved;
}

Result<Allocation, EngineError> buildAllocation(AllocationStage stage, const Entry& left,
                                                const Entry& right, __int128 cents,
                                                bool referenceMatch, bool reviewApproved,
                                                size_t* originsFound) {
  Allocation allocation;
  if (auto status = fillAllocation(allocation, stage, left, right, cents, referenceMatch,
                                   reviewApproved, originsFound);
      !status) {
    return fail(status.error());
  }
  return allocation;
}

Status<EngineError> allocateGroup(const MatchGroup& group, OpenBalances& balances,
                                  const RunEntries& entries, RunAllocations& allocations,
                                  size_t* originsFound) {
  const size_t begin = allocations.named.size();
  auto status = debitGroup(group, balances, entries, allocations, originsFound);
  allocations.list.resize(allocations.named.size());
  buildAllocations(allocations, entries, begin, allocations.named.size());
  return status;
}

void buildAllocations(RunAllocations& allocations, const RunEntries& entries, size_t begin,
                      size_t end) {
  assert(begin <= end && end <= allocations.named.size() &&
         allocations.named.size() == allocations.list.size());
  for (size_t i = begin; i < end; ++i) {
    if (i + kAllocationPrefetchDistance < end) {
      prefetchNamedEntries(allocations.named[i + kAllocationPrefetchDistance], entries);
    }
    const RunAllocations::Named& named = allocations.named[i];
    // debitGroup has held the origin bound, the one way a build can fail.
    [[maybe_unused]] const auto status = fillAllocation(
        allocations.list[i], named.stage, entries.entry(named.left), entries.entry(named.right),
        named.cents, /*referenceMatch=*/true, /*reviewApproved=*/false, nullptr);
    assert(status.ok());
  }
}

Status<EngineError> holdGroup(const MatchGroup& group, const OpenBalances& balances,
                              const RunEntries& entries, ReviewHolds& holds) {
  ReviewHold hold;
  hold.proposals.reserve(group.proposals.size());
  size_t keyBytes = 2;
  for (const Proposal& proposal : group.proposals) {
    if (proposal.left >= entries.size() || proposal.right >= entries.size()) break;
    keyBytes += 4 * kKeyFieldOverhead + toText(proposal.stage).size() +
                entries.id(proposal.left).size() + entries.id(proposal.right).size() +
                kMaxAmountTextBytes;
  }
  hold.key.reserve(keyBytes);
  hold.key = "v1";
  for (const Proposal& proposal : group.proposals) {
    if (proposal.left >= entries.size() || proposal.right >= entries.size()) {
      return fail(EngineError::InconsistentInput);
    }
    ReviewProposal review{proposal.left, proposal.right, amountText(proposal.cents),
                          proposal.stage};
    appendKeyField(hold.key, toText(review.stage));
    appendKeyField(hold.key, entries.id(review.left));
    appendKeyField(hold.key, entries.id(review.right));
    appendKeyField(hold.key, review.cents);
    hold.proposals.push_back(std::move(review));
  }
  const size_t keyHash = std::hash<std::string_view>{}(hold.key);
  const auto [sameHash, sameHashEnd] = holds.keyIndex.equal_range(keyHash);
  for (auto it = sameHash; it != sameHashEnd; ++it) {
    if (holds.holds[it->second].key == hold.key) return fail(EngineError::InconsistentInput);
  }

  if (group.proposals.empty()) return fail(EngineError::InconsistentInput);
  const AllocationStage stage = group.proposals.front().stage;
  // One bit per position modulo 64 for every entry a proposal names: a member whose bit is
  // clear is named by no proposal, which spares walking the proposals for most members.
  uint64_t namedBits = 0;
  for (const Proposal& proposal : group.proposals) {
    namedBits |= uint64_t{1} << (proposal.left % 64);
    namedBits |= uint64_t{1} << (proposal.right % 64);
  }
  for (const EntryPos member : group.members()) {
    const __int128* balance = balances.find(stage, member);
    if (balance == nullptr) return fail(EngineError::InconsistentInput);
    if ((namedBits >> (member % 64) & 1) == 0) continue;
    __int128 projected = *balance;
    bool named = false;
    for (const Proposal& proposal : group.proposals) {
      if (proposal.left != member && proposal.right != member) continue;
      named = true;
      if (__builtin_sub_overflow(projected, proposal.cents, &projected)) {
        return fail(EngineError::AmountOverflow);
      }
    }
    if (named) hold.projectedBalances.emplace_back(member, projected);
  }
  holds.keyIndex.emplace(keyHash, holds.holds.size());
  holds.holds.push_back(std::move(hold));
  return {};
}

Status<EngineError> processGroups(const std::vector<MatchGroup>& groups, OpenBalances& balances,
                                  const RunEntries& entries, const std::atomic<bool>& cancel,
                                  RunAllocations& allocations, ReviewHolds& holds,
                                  EngineFailure* failure) {
  // Every kept group is processed, so the exact groups' proposals count the allocations.
  size_t allocationCount = 0;
  for (const MatchGroup& group : groups) {
    if (group.exact) allocationCount += group.proposals.size();
  }
  allocations.named.reserve(allocations.named.size() + allocationCount);
  for (size_t index = 0; index < groups.size(); ++index) {
    if (auto status = cancellationPoint(cancel); !status) return status;
    const MatchGroup& group = groups[index];
    size_t originsFound = 0;
    auto status = group.exact ? debitGroup(group, balances, entries, allocations, &originsFound)
                              : holdGroup(group, balances, entries, holds);
    if (!status) {
      if (failure != nullptr && status.error() != EngineError::Cancelled) {
        noteGroupFailure(*failure, group, entries, originsFound, status.error());
      }
      return status;
    }
  }
  allocations.list.resize(allocations.named.size());
  return {};
}

}  // namespace tw
