#include "engine/costing.h"

#include <algorithm>
#include <cassert>
#include <limits>
#include <numeric>
#include <tuple>

#include "engine/matching/candidates.h"
#include "engine/matching/subset_search.h"
#include "engine/resolution.h"
#include "engine/run_entries.h"
#include "engine/stages.h"

namespace tw {
namespace {

// Every bound lifted but the step cap, which the observer holds.
constexpr EngineLimits kLiftedLimits{std::numeric_limits<size_t>::max(),
                                     std::numeric_limits<size_t>::max(),
                                     std::numeric_limits<size_t>::max(),
                                     std::numeric_limits<size_t>::max(),
                                     std::numeric_limits<size_t>::max(),
                                     true,
                                     true,
                                     true};

class Collector : public CellObserver {
 public:
  Collector(const RunEntries& entries, std::span<const uint32_t> order)
      : entries_(entries), order_(order) {}

  void cell(const CellReport& report) override {
    CellCost cost;
    cost.stage = report.stage;
    cost.pass = report.pass;
    for (const EntryPos pos : report.lefts) indexes.push_back(order_[pos]);
    for (const EntryPos pos : report.rights) indexes.push_back(order_[pos]);
    cost.pairs = static_cast<uint64_t>(report.lefts.size()) * report.rights.size();
    cost.steps = report.steps;
    cost.pastCap = report.pastCap;
    cost.candidatesBegin = static_cast<uint32_t>(report.groupsBegin);
    cost.candidatesEnd = static_cast<uint32_t>(report.groupsEnd);
    if (report.pass == MatchPass::Composition) {
      // The amounts converted when the cell was searched; validated entries always convert.
      for (const EntryPos pos : report.lefts) amounts.push_back(amount(pos, report.stage));
      for (const EntryPos pos : report.rights) amounts.push_back(amount(pos, report.stage));
    }
    // The spans are set once the pools stop growing: for now, their sizes.
    cost.lefts =
        std::span<const CostIndex>(static_cast<const CostIndex*>(nullptr), report.lefts.size());
    cost.rights =
        std::span<const CostIndex>(static_cast<const CostIndex*>(nullptr), report.rights.size());
    cells.push_back(cost);
  }

  // Points every cell's lists into the pools, which no longer grow.
  void settle() {
    size_t index = 0;
    size_t amount = 0;
    for (CellCost& cell : cells) {
      const size_t lefts = cell.lefts.size();
      const size_t rights = cell.rights.size();
      cell.lefts = std::span<const CostIndex>(indexes.data() + index, lefts);
      cell.rights = std::span<const CostIndex>(indexes.data() + index + lefts, rights);
      index += lefts + rights;
      if (cell.pass == MatchPass::Composition) {
        cell.leftAmounts = std::span<const __int128>(amounts.data() + amount, lefts);
        cell.rightAmounts = std::span<const __int128>(amounts.data() + amount + lefts, rights);
        amount += lefts + rights;
      }
    }
  }

  std::vector<CellCost> cells;
  std::vector<CostIndex> indexes;
  std::vector<__int128> amounts;

 private:
  __int128 amount(EntryPos pos, AllocationStage stage) const {
    auto value = entries_.stageAmount(pos, stage);
    return value ? *value : 0;
  }

  const RunEntries& entries_;
  std::span<const uint32_t> order_;
};

// The scope of a claim: a bank entry is one resource for both its stages.
constexpr uint32_t kBankScope = kStageCount;

uint32_t claimScope(const RunEntries& entries, EntryPos pos, AllocationStage stage) {
  return entries[pos].role == SourceRole::Bank ? kBankScope
                                               : static_cast<uint32_t>(stageIndex(stage));
}

}  // namespace

Result<RunCost, EngineError> costRun(std::span<const Entry* const> entries,
                                     const std::atomic<bool>& cancel, uint64_t stepCap) {
  if (entries.size() > std::numeric_limits<uint32_t>::max()) {
    return fail(EngineError::LimitExceeded);
  }
  std::vector<uint32_t> order(entries.size());
  std::iota(order.begin(), order.end(), 0);
  std::sort(order.begin(), order.end(), [&entries](uint32_t a, uint32_t b) {
    return std::string_view(entries[a]->id) < std::string_view(entries[b]->id);
  });
  return costRun(entries, order, cancel, stepCap);
}

Result<RunCost, EngineError> costRun(std::span<const Entry* const> entries,
                                     std::span<const uint32_t> order,
                                     const std::atomic<bool>& cancel, uint64_t stepCap) {
  if (entries.size() > std::numeric_limits<uint32_t>::max()) {
    return fail(EngineError::LimitExceeded);
  }
  assert(order.size() == entries.size());
  assert(std::is_sorted(order.begin(), order.end(), [&entries](uint32_t a, uint32_t b) {
    return std::string_view(entries[a]->id) < std::string_view(entries[b]->id);
  }));
  RunEntries::Builder builder(entries.size());
  for (const Entry* entry : entries) builder.add(*entry);
  auto run = builder.finish(order);
  if (!run) return fail(run.error());

  Collector collector(*run, order);
  collector.stepCap = stepCap;
  auto groups = generateGroupsObserved(*run, kLiftedLimits, cancel, collector);
  if (!groups) return fail(groups.error());

  RunCost cost;
  cost.entries = entries.size();
  // The candidates' entries follow the cells' sides in the index pool.
  size_t candidateIndexes = 0;
  for (const MatchGroup& group : *groups) candidateIndexes += group.proposals.size() + 1;
  collector.indexes.reserve(collector.indexes.size() + candidateIndexes);
  collector.settle();
  cost.cells = std::move(collector.cells);
  cost.groups = groups->size();
  cost.candidates.resize(groups->size());
  for (const CellCost& cell : cost.cells) {
    cost.pastCap = cost.pastCap || cell.pastCap;
    for (uint32_t i = cell.candidatesBegin; i < cell.candidatesEnd; ++i) {
      cost.candidates[i].pass = cell.pass;
    }
  }
  for (size_t i = 0; i < groups->size(); ++i) {
    const MatchGroup& group = (*groups)[i];
    CostCandidate& candidate = cost.candidates[i];
    candidate.stage = group.proposals.front().stage;
    candidate.proposals = static_cast<uint32_t>(group.proposals.size());
    cost.proposals += group.proposals.size();
    std::vector<CostIndex>& pool = collector.indexes;
    const size_t begin = pool.size();
    for (const Proposal& proposal : group.proposals) pool.push_back(order[proposal.left]);
    // Every proposal of a group names the same right entry.
    pool.push_back(order[group.proposals.front().right]);
    candidate.entries = std::span<const CostIndex>(pool.data() + begin, pool.size() - begin);
  }
  cost.indexPool = std::move(collector.indexes);
  cost.amountPool = std::move(collector.amounts);

  // Resolution's order and duplicate removal: equal proposal lists, the first kept.
  auto proposalKey = [](const Proposal& p) {
    return std::make_tuple(stageIndex(p.stage), p.left, p.right, p.cents);
  };
  std::vector<uint32_t> sorted(groups->size());
  std::iota(sorted.begin(), sorted.end(), 0);
  std::stable_sort(sorted.begin(), sorted.end(), [&](uint32_t a, uint32_t b) {
    const auto& pa = (*groups)[a].proposals;
    const auto& pb = (*groups)[b].proposals;
    return std::lexicographical_compare(
        pa.begin(), pa.end(), pb.begin(), pb.end(),
        [&](const Proposal& x, const Proposal& y) { return proposalKey(x) < proposalKey(y); });
  });
  for (size_t k = 1; k < sorted.size(); ++k) {
    if ((*groups)[sorted[k]].proposals == (*groups)[sorted[k - 1]].proposals) {
      cost.candidates[sorted[k]].duplicate = true;
    }
  }

  // Claims: (scope, entry) of both entries of every proposal of a kept group.
  struct Claim {
    uint32_t scope;
    EntryPos pos;
    uint32_t candidate;
  };
  std::vector<Claim> claims;
  for (uint32_t i = 0; i < groups->size(); ++i) {
    if (cost.candidates[i].duplicate) continue;
    ++cost.keptGroups;
    for (const Proposal& proposal : (*groups)[i].proposals) {
      claims.push_back({claimScope(*run, proposal.left, proposal.stage), proposal.left, i});
      claims.push_back({claimScope(*run, proposal.right, proposal.stage), proposal.right, i});
    }
  }
  std::sort(claims.begin(), claims.end(), [](const Claim& a, const Claim& b) {
    return std::tie(a.scope, a.pos, a.candidate) < std::tie(b.scope, b.pos, b.candidate);
  });
  std::vector<bool> contested(groups->size(), false);
  for (size_t begin = 0; begin < claims.size();) {
    size_t end = begin + 1;
    while (end < claims.size() && claims[end].scope == claims[begin].scope &&
           claims[end].pos == claims[begin].pos) {
      ++end;
    }
    std::vector<uint32_t> holders;
    for (size_t k = begin; k < end; ++k) {
      if (holders.empty() || holders.back() != claims[k].candidate) {
        holders.push_back(claims[k].candidate);
      }
    }
    if (holders.size() > 1) {
      for (const uint32_t holder : holders) contested[holder] = true;
      cost.competing.push_back(std::move(holders));
    }
    begin = end;
  }

  AllocationOrigins origins;
  for (uint32_t i = 0; i < groups->size(); ++i) {
    const MatchGroup& group = (*groups)[i];
    CostCandidate& candidate = cost.candidates[i];
    candidate.exact = group.exact && !candidate.duplicate && !contested[i];
    if (!candidate.exact) continue;
    // An allocation's evidence carries the origins buildAllocation orders: counted without
    // building the record.
    for (const Proposal& proposal : group.proposals) {
      origins.order(proposal.stage, run->entry(proposal.left), run->entry(proposal.right));
      candidate.origins = std::max(candidate.origins, static_cast<uint32_t>(origins.size()));
    }
  }
  return cost;
}

std::vector<BoundFigure> RunCost::figures(const EngineLimits& limits) const {
  BoundFigure side{EngineBound::CellSide, 0, limits.maxCellSide};
  BoundFigure pairsFigure{EngineBound::CellPairs, 0, limits.maxCellWork};
  BoundFigure steps{EngineBound::CellSteps, 0, limits.maxCellWork};
  for (const CellCost& cell : cells) {
    if (cell.pass == MatchPass::Synthetic) continue;  // no cell bound applies
    side.figure = std::max<uint64_t>(side.figure, std::max(cell.lefts.size(), cell.rights.size()));
    pairsFigure.figure = std::max(pairsFigure.figure, cell.pairs);
    steps.figure = std::max(steps.figure, cell.steps);
  }
  BoundFigure origins{EngineBound::Origins, 0, kMaxAllocationOrigins};
  for (const CostCandidate& candidate : candidates) {
    origins.figure = std::max<uint64_t>(origins.figure, candidate.origins);
  }
  return {BoundFigure{EngineBound::Entries, entries, limits.maxEntries},
          side,
          pairsFigure,
          steps,
          BoundFigure{EngineBound::Groups, groups, limits.maxGroups},
          BoundFigure{EngineBound::Proposals, proposals, limits.maxProposals},
          origins};
}

bool RunCost::passes(const EngineLimits& limits) const {
  if (pastCap) return false;
  for (const BoundFigure& figure : figures(limits)) {
    if (figure.figure > figure.limit) return false;
  }
  return true;
}

namespace {

// The subset search's walk, step for step, without keeping its solutions: each call spends a
// step when its sum reaches the target, else one for every amount it tries and one for the
// try that finds none left.
class StepCount {
 public:
  enum class Stop : uint8_t { None, Cap, Overflow };

  StepCount(std::span<const __int128> amounts, uint64_t cap) : amounts_(amounts), cap_(cap) {}

  Stop search(__int128 target) {
    target_ = target;
    return visit(0, 0);
  }

  uint64_t spent() const { return spent_; }

 private:
  bool spend() {
    if (spent_ == std::numeric_limits<uint64_t>::max() || spent_ >= cap_) return false;
    ++spent_;
    return true;
  }

  Stop visit(__int128 sum, size_t start) {
    if (sum >= target_) return spend() ? Stop::None : Stop::Cap;
    for (size_t i = start;; ++i) {
      if (!spend()) return Stop::Cap;
      if (i >= amounts_.size()) return Stop::None;
      if (amounts_[i] > 0) {
        __int128 next = 0;
        if (__builtin_add_overflow(sum, amounts_[i], &next)) return Stop::Overflow;
        if (const Stop stop = visit(next, i + 1); stop != Stop::None) return stop;
      }
    }
  }

  std::span<const __int128> amounts_;
  __int128 target_ = 0;
  uint64_t cap_;
  uint64_t spent_ = 0;
};

}  // namespace

uint64_t compositionStepsBound(size_t amounts, size_t targets) {
  constexpr size_t kLargestCounted = 62;
  if (amounts > kLargestCounted) return std::numeric_limits<uint64_t>::max();
  const uint64_t perTarget = (uint64_t{1} << (amounts + 1)) - 1;
  uint64_t bound = 0;
  if (__builtin_mul_overflow(perTarget, static_cast<uint64_t>(targets), &bound)) {
    return std::numeric_limits<uint64_t>::max();
  }
  return bound;
}

CellSteps compositionCellSteps(std::span<const __int128> amounts, std::span<const __int128> targets,
                               uint64_t cap) {
  StepCount count(amounts, cap);
  for (const __int128 target : targets) {
    if (target <= 0) continue;
    const StepCount::Stop stop = count.search(target);
    if (stop != StepCount::Stop::None) {
      return CellSteps{count.spent(), stop == StepCount::Stop::Cap};
    }
  }
  return CellSteps{count.spent(), false};
}

}  // namespace tw
