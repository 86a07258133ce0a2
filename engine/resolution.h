// Group resolution and allocation.
//
// resolveGroups puts the collected groups into their canonical order, removes duplicates,
// clears the exactness of every group that competes with another for an entry, and keeps the
// groups the run's switches ask for. processGroups then turns each exact group into allocations
// that debit the open balances and each other group into a review hold, which leaves the
// balances alone.
//
// A bank entry is one resource for both of its stages: its claims share the scope "bank-global"
// and an allocation debits both of its balances, which therefore always stay equal.
#pragma once

#include <array>
#include <atomic>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "contracts/result.h"
#include "contracts/source.h"
#include "engine/engine.h"
#include "engine/matching/candidates.h"
#include "engine/open_balances.h"
#include "engine/run_entries.h"

namespace tw {

// Most distinct origins one allocation's evidence may carry.
inline constexpr size_t kMaxAllocationOrigins = 64;

inline constexpr std::string_view kAllocationRuleId = "synthetic-reference-v1";

struct ReviewProposal {
  EntryPos left = 0;
  EntryPos right = 0;
  std::string cents;  // amount text
  AllocationStage stage = AllocationStage::ErpBank;
};

// What a non-exact group leaves behind: its key, its proposals, and the balances its members
// would keep if the group were allocated. Only the members a proposal names would change; the
// others keep their open balance, so only the named ones are recorded, in member order. (A
// composition group names a few of up to a few hundred members; recording every member of
// every group would cost memory and time in proportion to their product.)
struct ReviewHold {
  std::string key;
  std::vector<ReviewProposal> proposals;
  std::vector<std::pair<EntryPos, __int128>> projectedBalances;
};

struct ReviewHolds {
  std::vector<ReviewHold> holds;
  // Hash of a review key to the index of each hold whose key has that hash, to find a repeated
  // key without a second copy of every key. Only looked up, never walked.
  std::unordered_multimap<size_t, size_t> keyIndex;
};

// The allocations of a run in creation order, with the positions of the two entries each one
// names, so that nothing has to look an identifier up again, and its stage and amount.
struct RunAllocations {
  struct Named {
    EntryPos left;
    EntryPos right;
    AllocationStage stage;
    __int128 cents;
  };
  // One record per allocation; processGroups leaves the records empty for buildAllocations.
  std::vector<Allocation> list;
  std::vector<Named> named;  // one per allocation
};

// Asks the memory for what writing the allocation's text reads of its two entries (identifiers,
// origins, components), found through their records in `entries`. Nothing else.
void prefetchNamedEntries(const RunAllocations::Named& named, const RunEntries& entries);

// The origins an allocation's evidence carries: the two entries' origins and, in
// sales-settlement, those of the left entry's components, sorted and without repeats. They
// point into the entries. Made once and reused, an instance allocates only for components.
class AllocationOrigins {
 public:
  void order(AllocationStage stage, const Entry& left, const Entry& right);
  size_t size() const { return count_; }
  std::span<const Ref* const> view() const;

 private:
  std::array<const Ref*, 2> first_{};
  std::vector<const Ref*> more_;  // used when the left entry's components count
  size_t count_ = 0;
};

// The reason codes of an allocation, in text order.
class AllocationReasons {
 public:
  AllocationReasons(AllocationStage stage, const Entry& left, bool referenceMatch,
                    bool reviewApproved);
  std::span<const ReasonCode> view() const { return {codes_.data(), count_}; }

 private:
  std::array<ReasonCode, 3> codes_{};
  size_t count_ = 0;
};

// Sorts stably by the groups' proposal lists, removes consecutive duplicates, clears exactness
// on shared claims, keeps the groups the switches want; LimitExceeded above limits.maxGroups,
// noted in `failure` when given.
Result<std::vector<MatchGroup>, EngineError> resolveGroups(std::vector<MatchGroup> groups,
                                                           const RunEntries& entries,
                                                           const EngineLimits& limits,
                                                           const std::atomic<bool>& cancel,
                                                           EngineFailure* failure = nullptr);

// Debits the balances for each proposal of an exact group and appends one allocation each.
Status<EngineError> allocateGroup(const MatchGroup& group, OpenBalances& balances,
                                  const RunEntries& entries, RunAllocations& allocations,
                                  size_t* originsFound = nullptr);

// Appends the review hold of a non-exact group; InconsistentInput for a repeated review key.
Status<EngineError> holdGroup(const MatchGroup& group, const OpenBalances& balances,
                              const RunEntries& entries, ReviewHolds& holds);

// Evidence and amount text of one allocation. The origins are the two entries' origins and, in
// sales-settlement, those of the left entry's components, sorted and without repeats.
// Past the origin bound, `originsFound` (when given) receives the number of distinct origins.
Result<Allocation, EngineError> buildAllocation(AllocationStage stage, const Entry& left,
                                                const Entry& right, __int128 cents,
                                                bool referenceMatch, bool reviewApproved,
                                                size_t* originsFound = nullptr);

// The driver's group processing: each kept group in order, its balances debited (and the origin
// bound held) or held for review. The allocations' records are left empty, to be built by
// buildAllocations once every amount is fixed. A failure fills in `failure`, when given, with
// the entries of the group and, for the origin bound, the figure.
Status<EngineError> processGroups(const std::vector<MatchGroup>& groups, OpenBalances& balances,
                                  const RunEntries& entries, const std::atomic<bool>& cancel,
                                  RunAllocations& allocations, ReviewHolds& holds,
                                  EngineFailure* failure = nullptr);

// Builds the records of allocations [begin, end) left empty by processGroups. Disjoint ranges
// write disjoint records.
// REQUIRES: begin <= end <= allocations.named.size() == allocations.list.size().
void buildAllocations(RunAllocations& allocations, const RunEntries& entries, size_t begin,
                      size_t end);

}  // namespace tw
