// Candidate generation: for each stage, the reference, composition and synthetic passes pair
// entries of the stage's left role with entries of its right role and collect every match they
// find as a MatchGroup, in collection order, under the run's group and proposal limits.
//
// The order of the collected list is part of the result's contract: resolution sorts it stably,
// so the collection order decides which of two equal groups survives.
#pragma once

#include <array>
#include <atomic>
#include <memory>
#include <span>
#include <vector>

#include "contracts/result.h"
#include "contracts/source.h"
#include "engine/engine.h"
#include "engine/failure.h"
#include "engine/run_entries.h"

namespace tw {

class PairRunner;  // engine/parallel.h

// One proposed allocation of `cents` from the left to the right entry of `stage`.
struct Proposal {
  __int128 cents = 0;
  EntryPos left = 0;
  EntryPos right = 0;
  AllocationStage stage = AllocationStage::ErpBank;

  friend bool operator==(const Proposal&, const Proposal&) = default;
};

using MemberList = std::vector<EntryPos>;

// One candidate match. The member list is shared between the groups of one composition cell,
// which all carry the same list; a group of one pair of entries has none and names its two
// members in `pair`, which spares an allocation for each of the many pair groups.
struct MatchGroup {
  std::vector<Proposal> proposals;
  std::shared_ptr<const MemberList> memberIds;
  std::array<EntryPos, 2> pair{};
  bool exact = false;

  std::span<const EntryPos> members() const {
    return memberIds != nullptr ? std::span<const EntryPos>(*memberIds)
                                : std::span<const EntryPos>(pair);
  }
};

// The collected groups and the running total of their proposals.
struct GroupList {
  std::vector<MatchGroup> groups;
  size_t proposalTotal = 0;
};

// Appends a group unless the list already holds limits.maxGroups groups or the proposal total
// would pass limits.maxProposals (LimitExceeded either way).
// With `failure` given, a refusal fills in the bound, the figure reached and the bound.
Status<EngineError> pushGroup(GroupList& list, MatchGroup group, const EngineLimits& limits,
                              EngineFailure* failure = nullptr);

// Runs the passes of every stage over the entry list and returns the groups in collection
// order: reference then composition pass per stage, then, when date rules are on, the synthetic
// pass per stage. A failure fills in `failure`, when given, with the bound and the cell.
// With `runner` given, the passes are collected in two pieces that it may run at once; the list,
// the code and the failure record are the same.
Result<std::vector<MatchGroup>, EngineError> generateGroups(const RunEntries& entries,
                                                            const EngineLimits& limits,
                                                            const std::atomic<bool>& cancel,
                                                            EngineFailure* failure = nullptr,
                                                            const PairRunner* runner = nullptr);

// What one cell of a pass cost, told to a CellObserver (engine/costing.h) once the cell is done.
struct CellReport {
  AllocationStage stage = AllocationStage::ErpBank;
  MatchPass pass = MatchPass::Reference;
  std::span<const EntryPos> lefts;   // ascending position
  std::span<const EntryPos> rights;  // ascending position
  uint64_t steps = 0;                // composition cells: subset search steps spent
  bool pastCap = false;              // the search stopped at the cap, its candidates unknown
  size_t groupsBegin = 0;            // the cell's groups in the collected list
  size_t groupsEnd = 0;
};

class CellObserver {
 public:
  virtual ~CellObserver() = default;
  virtual void cell(const CellReport& report) = 0;
  uint64_t stepCap = 0;  // search steps a composition cell may spend before it is left
};

// The passes as generateGroups runs them, serially, telling `observer` about every cell that
// has both sides. A composition cell whose search passes observer.stepCap is left with the
// groups found before it (pastCap); every other bound is the one in `limits`.
Result<std::vector<MatchGroup>, EngineError> generateGroupsObserved(const RunEntries& entries,
                                                                    const EngineLimits& limits,
                                                                    const std::atomic<bool>& cancel,
                                                                    CellObserver& observer);

}  // namespace tw
