#include "engine/matching/candidates.h"

#include <algorithm>
#include <array>
#include <iterator>
#include <span>
#include <utility>

#include "engine/failure.h"
#include "engine/matching/subset_search.h"
#include "engine/parallel.h"
#include "engine/stages.h"

namespace tw {
namespace {

// A cell key: (root, accountId, reference) for the reference pass, (root, accountId, date) for
// the others, each field in text order. The fields are held as the texts' ranks among the run's
// entries, which compare as the texts do, packed into one integer (root highest, 32 bits each)
// so that keys compare as the field triples do.
using CellKey = unsigned __int128;

constexpr size_t kCellKeyFields = 3;

CellKey packCellKey(const std::array<uint32_t, kCellKeyFields>& fields) {
  return (static_cast<CellKey>(fields[0]) << 64) | (static_cast<CellKey>(fields[1]) << 32) |
         fields[2];
}

using PassKind = MatchPass;

// The cells of one side of a stage, in ascending key order; the entries of a cell are in
// entry-list order, that is ascending identifier.
class CellTable {
 public:
  struct Cell {
    CellKey key;
    uint32_t begin;
    uint32_t end;
  };

  // Entries are added in ascending position.
  void add(const std::array<uint32_t, kCellKeyFields>& fields, EntryPos pos) {
    items_.push_back(Item{fields, pos});
  }

  // Groups the added entries into cells, each cell's entries in ascending position.
  void finish() {
    sortItems();
    positions_.reserve(items_.size());
    for (size_t i = 0; i < items_.size(); ++i) {
      const CellKey key = packCellKey(items_[i].fields);
      if (i == 0 || key != cells_.back().key) {
        const auto begin = static_cast<uint32_t>(i);
        cells_.push_back(Cell{key, begin, begin});
      }
      positions_.push_back(items_[i].pos);
      cells_.back().end = static_cast<uint32_t>(i + 1);
    }
    items_ = {};
  }

  const std::vector<Cell>& cells() const { return cells_; }
  std::span<const EntryPos> entries(const Cell& cell) const {
    return std::span<const EntryPos>(positions_).subspan(cell.begin, cell.end - cell.begin);
  }

 private:
  struct Item {
    std::array<uint32_t, kCellKeyFields> fields;
    EntryPos pos;
  };

  // A counting sort is used while a field's values span no more than this many slots per item
  // (and a fixed allowance), so that its count table stays in proportion to the items.
  static constexpr size_t kCountingSpanPerItem = 4;
  static constexpr size_t kCountingSpanAllowance = 1024;

  // Orders the items by key, then position. The items arrive in ascending position, so a stable
  // sort by each field from the last to the first gives that order; a field that is the same
  // for every item needs no pass.
  void sortItems() {
    if (items_.size() < 2) return;
    std::vector<Item> buffer(items_.size());
    std::vector<uint32_t> counts;
    for (size_t field = kCellKeyFields; field-- > 0;) {
      uint32_t low = items_.front().fields[field];
      uint32_t high = low;
      for (const Item& item : items_) {
        low = std::min(low, item.fields[field]);
        high = std::max(high, item.fields[field]);
      }
      if (low == high) continue;
      const size_t span = static_cast<size_t>(high - low) + 1;
      if (span > kCountingSpanPerItem * items_.size() + kCountingSpanAllowance) {
        std::sort(items_.begin(), items_.end(), [](const Item& a, const Item& b) {
          return a.fields != b.fields ? a.fields < b.fields : a.pos < b.pos;
        });
        return;
      }
      counts.assign(span + 1, 0);
      for (const Item& item : items_) ++counts[item.fields[field] - low + 1];
      for (size_t i = 1; i <= span; ++i) counts[i] += counts[i - 1];
      for (const Item& item : items_) buffer[counts[item.fields[field] - low]++] = item;
      items_.swap(buffer);
    }
  }

  std::vector<Item> items_;
  std::vector<EntryPos> positions_;
  std::vector<Cell> cells_;
};

struct StageCells {
  CellTable left;
  CellTable right;
};

Result<StageCells, EngineError> buildCells(const RunEntries& entries, AllocationStage stage,
                                           PassKind pass, const std::atomic<bool>& cancel) {
  const StageRoles roles = stageRoles(stage);
  StageCells cells;
  // Each side's entries come from its role's positions, in ascending position.
  for (const SourceRole role : {roles.left, roles.right}) {
    CellTable& table = role == roles.left ? cells.left : cells.right;
    for (const EntryPos pos : entries.positionsOfRole(role)) {
      if (auto status = cancellationPoint(cancel); !status) return fail(status.error());
      const RunEntry& facts = entries[pos];
      if (pass != PassKind::Synthetic && !facts.hasReference) continue;
      // The reference pass applies the sales filter only once a one-to-one pair is found.
      if (pass != PassKind::Reference && !entries.takesPart(pos, stage)) continue;
      const std::array<uint32_t, kCellKeyFields> fields = {
          facts.rootRank, facts.accountRank,
          pass == PassKind::Reference ? facts.referenceRank : facts.dateRank};
      table.add(fields, pos);
    }
  }
  cells.left.finish();
  cells.right.finish();
  return cells;
}

using Span = std::span<const EntryPos>;

// Calls visit(lefts, rights) for each left cell, in ascending key order, that has a right cell
// of the same key. Every left cell is a cancellation point, matched or not.
template <class Visit>
Status<EngineError> forEachCellPair(const StageCells& cells, const std::atomic<bool>& cancel,
                                    Visit&& visit) {
  const auto& rightCells = cells.right.cells();
  auto right = rightCells.begin();
  for (const CellTable::Cell& left : cells.left.cells()) {
    if (auto status = cancellationPoint(cancel); !status) return status;
    while (right != rightCells.end() && right->key < left.key) ++right;
    if (right == rightCells.end() || right->key != left.key) continue;
    if (auto status = visit(cells.left.entries(left), cells.right.entries(*right)); !status) {
      return status;
    }
  }
  return {};
}

// A reference or composition cell may hold at most maxCellSide entries a side and maxCellWork
// pairs; an overflowing product counts as too many.
bool cellTooLarge(size_t leftSize, size_t rightSize, const EngineLimits& limits) {
  if (leftSize > limits.maxCellSide || rightSize > limits.maxCellSide) return true;
  size_t pairs = 0;
  if (__builtin_mul_overflow(leftSize, rightSize, &pairs)) return true;
  return pairs > limits.maxCellWork;
}

// Which of the cell bounds above a cell too large passes, and by how much.
void noteCellTooLarge(EngineFailure* failure, size_t leftSize, size_t rightSize,
                      const EngineLimits& limits) {
  if (leftSize > limits.maxCellSide || rightSize > limits.maxCellSide) {
    noteBound(failure, EngineBound::CellSide, std::max(leftSize, rightSize), limits.maxCellSide);
    return;
  }
  size_t pairs = 0;
  noteBound(failure, EngineBound::CellPairs,
            __builtin_mul_overflow(leftSize, rightSize, &pairs) ? UINT64_MAX : pairs,
            limits.maxCellWork);
}

class StagePasses {
 public:
  StagePasses(const RunEntries& entries, const EngineLimits& limits,
              const std::atomic<bool>& cancel, GroupList& list, EngineFailure* failure)
      : entries_(entries), limits_(limits), cancel_(cancel), list_(list), failure_(failure) {}

  // Costing: every cell is reported to `observer`, and a composition cell's search stops at the
  // observer's step cap instead of failing the run.
  void observe(CellObserver* observer) { observer_ = observer; }

  // One-to-one matches by (root, account, reference).
  Status<EngineError> referencePass(AllocationStage stage) {
    auto cells = buildCells(entries_, stage, PassKind::Reference, cancel_);
    if (!cells) return fail(cells.error());
    return forEachCellPair(*cells, cancel_, [&](Span lefts, Span rights) {
      const size_t before = list_.groups.size();
      return report(
          noteCell(referenceCell(stage, lefts, rights), stage, PassKind::Reference, lefts, rights),
          stage, PassKind::Reference, lefts, rights, before);
    });
  }

  // Several left entries of one (root, account, day) whose amounts add up to one right entry.
  Status<EngineError> compositionPass(AllocationStage stage) {
    auto cells = buildCells(entries_, stage, PassKind::Composition, cancel_);
    if (!cells) return fail(cells.error());
    return forEachCellPair(*cells, cancel_, [&](Span lefts, Span rights) {
      const size_t before = list_.groups.size();
      return report(noteCell(compositionCell(stage, lefts, rights), stage, PassKind::Composition,
                             lefts, rights),
                    stage, PassKind::Composition, lefts, rights, before);
    });
  }

  // One-to-one equal positive amounts on the same day where at least one side has no reference
  // and neither side is named by an exact group collected before this pass.
  Status<EngineError> syntheticPass(AllocationStage stage, const std::vector<bool>& matched) {
    auto cells = buildCells(entries_, stage, PassKind::Synthetic, cancel_);
    if (!cells) return fail(cells.error());
    return forEachCellPair(*cells, cancel_, [&](Span lefts, Span rights) {
      const size_t before = list_.groups.size();
      return report(noteCell(syntheticCell(stage, lefts, rights, matched), stage,
                             PassKind::Synthetic, lefts, rights),
                    stage, PassKind::Synthetic, lefts, rights, before);
    });
  }

 private:
  // Tells the observer, when there is one, what a cell that passed cost.
  Status<EngineError> report(Status<EngineError> status, AllocationStage stage, PassKind pass,
                             Span lefts, Span rights, size_t groupsBefore) {
    if (observer_ == nullptr || !status) return status;
    observer_->cell(CellReport{stage, pass, lefts, rights, cellSteps_, cellPastCap_, groupsBefore,
                               list_.groups.size()});
    cellSteps_ = 0;
    cellPastCap_ = false;
    return status;
  }

  // A cell that failed leaves its stage, pass, key and sizes in the failure record.
  Status<EngineError> noteCell(Status<EngineError> status, AllocationStage stage, PassKind pass,
                               Span lefts, Span rights) {
    if (status || failure_ == nullptr || lefts.empty() ||
        status.error() == EngineError::Cancelled) {
      return status;
    }
    const Entry& sample = entries_.entry(lefts.front());
    failure_->cell =
        FailureCell{stage,
                    pass,
                    sample.root,
                    sample.accountId,
                    pass == PassKind::Reference ? sample.reference.value_or("") : sample.date,
                    lefts.size(),
                    rights.size()};
    return status;
  }

  // The entries of a sum that overflowed: the right entry and the left entries of its cell.
  EngineError noteSumOverflow(EngineError code, EntryPos right, Span lefts) {
    if (failure_ == nullptr || code != EngineError::AmountOverflow) return code;
    failure_->entryIds = {std::string(entries_.id(right))};
    for (const EntryPos left : lefts) failure_->entryIds.emplace_back(entries_.id(left));
    failure_->rule = "a sum of the cell's left amounts overflows";
    return code;
  }

  EngineError noteAmount(EngineError code, EntryPos pos) {
    return noteAmountFailure(failure_, code, entries_, pos);
  }
  // A cell of exactly one entry a side gives one group; it is exact when the amounts are equal
  // and, under date rules, the days too.
  Status<EngineError> referenceCell(AllocationStage stage, Span lefts, Span rights) {
    if (cellTooLarge(lefts.size(), rights.size(), limits_)) {
      noteCellTooLarge(failure_, lefts.size(), rights.size(), limits_);
      return fail(EngineError::LimitExceeded);
    }
    if (lefts.size() != 1 || rights.size() != 1) return {};
    const EntryPos left = lefts.front();
    const EntryPos right = rights.front();
    if (!entries_.takesPart(left, stage)) return {};
    auto leftAmount = entries_.stageAmount(left, stage);
    if (!leftAmount) return fail(noteAmount(leftAmount.error(), left));
    auto rightAmount = entries_.stageAmount(right, stage);
    if (!rightAmount) return fail(noteAmount(rightAmount.error(), right));
    if (*leftAmount <= 0 || *rightAmount <= 0) return {};
    // Equal ranks are equal texts.
    const bool sameDay = entries_[left].dateRank == entries_[right].dateRank;
    MatchGroup group;
    group.proposals.push_back(Proposal{std::min(*leftAmount, *rightAmount), left, right, stage});
    group.pair = {left, right};
    group.exact = *leftAmount == *rightAmount && (!limits_.dateRules || sameDay);
    return pushGroup(list_, std::move(group), limits_, failure_);
  }

  Status<EngineError> compositionCell(AllocationStage stage, Span lefts, Span rights) {
    if (cellTooLarge(lefts.size(), rights.size(), limits_)) {
      noteCellTooLarge(failure_, lefts.size(), rights.size(), limits_);
      return fail(EngineError::LimitExceeded);
    }
    // Both sides are in ascending position, that is ascending identifier, and disjoint.
    auto members = std::make_shared<MemberList>();
    members->reserve(lefts.size() + rights.size());
    std::merge(lefts.begin(), lefts.end(), rights.begin(), rights.end(),
               std::back_inserter(*members));
    const std::shared_ptr<const MemberList> sharedMembers = std::move(members);

    SearchBudget budget{0, observer_ != nullptr ? observer_->stepCap : limits_.maxCellWork};
    std::vector<__int128> amounts;
    bool amountsReady = false;
    for (const EntryPos right : rights) {
      if (auto status = cancellationPoint(cancel_); !status) return status;
      auto target = entries_.stageAmount(right, stage);
      if (!target) return fail(noteAmount(target.error(), right));
      if (*target <= 0) continue;
      // The candidate list is the same for every right entry of the cell; its amounts are
      // computed when a right entry first needs them, which is where a failure would show.
      if (!amountsReady) {
        amounts.reserve(lefts.size());
        for (const EntryPos left : lefts) {
          auto amount = entries_.stageAmount(left, stage);
          if (!amount) return fail(noteAmount(amount.error(), left));
          amounts.push_back(*amount);
        }
        amountsReady = true;
      }
      auto solutions = findSubsets(amounts, *target, budget, cancel_);
      if (observer_ != nullptr) {
        cellSteps_ = budget.spent;
        // Past the cap the cell's candidates are not all known; its figure is the cap.
        if (!solutions && solutions.error() == EngineError::LimitExceeded) {
          cellPastCap_ = true;
          return {};
        }
      }
      if (!solutions) {
        if (solutions.error() == EngineError::LimitExceeded) {
          noteBound(failure_, EngineBound::CellSteps, budget.spent + 1, budget.limit);
        }
        return fail(noteSumOverflow(solutions.error(), right, lefts));
      }
      for (const SubsetSolution& solution : *solutions) {
        MatchGroup group;
        group.proposals.reserve(solution.size());
        for (const uint32_t index : solution) {
          group.proposals.push_back(Proposal{amounts[index], lefts[index], right, stage});
        }
        group.memberIds = sharedMembers;
        group.exact = false;
        if (auto status = pushGroup(list_, std::move(group), limits_, failure_); !status) {
          return status;
        }
      }
    }
    return {};
  }

  // Equivalent to trying every (left, right) pair of the cell in order, but finds the right
  // entries of equal amount by lookup: for each left entry the pushes still come in ascending
  // right order, so the collected list is the same.
  Status<EngineError> syntheticCell(AllocationStage stage, Span lefts, Span rights,
                                    const std::vector<bool>& matched) {
    struct RightByAmount {
      __int128 amount;
      EntryPos pos;
    };
    std::vector<RightByAmount> unmatchedRights;
    unmatchedRights.reserve(rights.size());
    size_t unmatchedWithoutReference = 0;
    for (const EntryPos right : rights) {
      if (matched[right]) continue;
      // A right role is never "sales", so its stage amount is its cents and cannot fail.
      auto amount = entries_.stageAmount(right, stage);
      if (!amount) return fail(noteAmount(amount.error(), right));
      unmatchedRights.push_back(RightByAmount{*amount, right});
      if (!entries_[right].hasReference) ++unmatchedWithoutReference;
    }
    std::sort(unmatchedRights.begin(), unmatchedRights.end(),
              [](const RightByAmount& a, const RightByAmount& b) {
                return a.amount != b.amount ? a.amount < b.amount : a.pos < b.pos;
              });

    for (const EntryPos left : lefts) {
      if (auto status = cancellationPoint(cancel_); !status) return status;
      if (matched[left]) continue;
      const bool leftHasReference = entries_[left].hasReference;
      auto leftAmount = entries_.stageAmount(left, stage);
      if (!leftAmount) {
        // The pairwise walk computes the left amount at the first pair that gets past the
        // reference and matched-set skips; fail exactly when such a pair exists.
        const size_t eligible =
            leftHasReference ? unmatchedWithoutReference : unmatchedRights.size();
        if (eligible > 0) return fail(noteAmount(leftAmount.error(), left));
        continue;
      }
      if (*leftAmount <= 0) continue;
      auto it = std::lower_bound(
          unmatchedRights.begin(), unmatchedRights.end(), *leftAmount,
          [](const RightByAmount& item, __int128 amount) { return item.amount < amount; });
      for (; it != unmatchedRights.end() && it->amount == *leftAmount; ++it) {
        if (leftHasReference && entries_[it->pos].hasReference) continue;
        MatchGroup group;
        group.proposals.push_back(Proposal{*leftAmount, left, it->pos, stage});
        group.pair = {left, it->pos};
        group.exact = false;
        if (auto status = pushGroup(list_, std::move(group), limits_, failure_); !status) {
          return status;
        }
      }
    }
    return {};
  }

  const RunEntries& entries_;
  const EngineLimits& limits_;
  const std::atomic<bool>& cancel_;
  GroupList& list_;
  EngineFailure* failure_;
  CellObserver* observer_ = nullptr;
  uint64_t cellSteps_ = 0;
  bool cellPastCap_ = false;
};

// Every entry named by a proposal of an exact group collected so far.
std::vector<bool> matchedSet(const GroupList& list, size_t entryCount) {
  std::vector<bool> matched(entryCount, false);
  for (const MatchGroup& group : list.groups) {
    if (!group.exact) continue;
    for (const Proposal& proposal : group.proposals) {
      matched[proposal.left] = true;
      matched[proposal.right] = true;
    }
  }
  return matched;
}

}  // namespace

Status<EngineError> pushGroup(GroupList& list, MatchGroup group, const EngineLimits& limits,
                              EngineFailure* failure) {
  if (list.groups.size() >= limits.maxGroups) {
    noteBound(failure, EngineBound::Groups, list.groups.size() + 1, limits.maxGroups);
    return fail(EngineError::LimitExceeded);
  }
  size_t total = 0;
  if (__builtin_add_overflow(list.proposalTotal, group.proposals.size(), &total) ||
      total > limits.maxProposals) {
    noteBound(failure, EngineBound::Proposals, total < list.proposalTotal ? UINT64_MAX : total,
              limits.maxProposals);
    return fail(EngineError::LimitExceeded);
  }
  list.groups.push_back(std::move(group));
  list.proposalTotal = total;
  return {};
}

namespace {

// One pass of one stage.
struct PassStep {
  AllocationStage stage;
  PassKind pass;
};

// Reference then composition pass per stage, in stage order.
constexpr std::array<PassStep, 2 * kStageCount> kMatchingSteps = {{
    {AllocationStage::ErpBank, PassKind::Reference},
    {AllocationStage::ErpBank, PassKind::Composition},
    {AllocationStage::SalesSettlement, PassKind::Reference},
    {AllocationStage::SalesSettlement, PassKind::Composition},
    {AllocationStage::SettlementBank, PassKind::Reference},
    {AllocationStage::SettlementBank, PassKind::Composition},
}};

constexpr std::array<PassStep, kStageCount> kSyntheticSteps = {{
    {AllocationStage::ErpBank, PassKind::Synthetic},
    {AllocationStage::SalesSettlement, PassKind::Synthetic},
    {AllocationStage::SettlementBank, PassKind::Synthetic},
}};

// Where the steps are cut in two for two cores: the first piece takes the steps before it.
constexpr size_t kMatchingSplit = 3;
constexpr size_t kSyntheticSplit = 1;

// Runs the steps in order; `matched` is needed by synthetic steps only.
Status<EngineError> runSteps(StagePasses& passes, std::span<const PassStep> steps,
                             const std::vector<bool>* matched) {
  for (const PassStep& step : steps) {
    Status<EngineError> status;
    switch (step.pass) {
      case PassKind::Reference:
        status = passes.referencePass(step.stage);
        break;
      case PassKind::Composition:
        status = passes.compositionPass(step.stage);
        break;
      case PassKind::Synthetic:
        status = passes.syntheticPass(step.stage, *matched);
        break;
    }
    if (!status) return status;
  }
  return {};
}

// A run of consecutive steps collected into a list of its own. Its pushes are held to the limits
// on its own list only, which bounds its work: when its list is refused, the whole list would
// have been refused no later. A piece that fails is never the one reported, so it keeps no record.
struct Piece {
  GroupList list;
  Status<EngineError> status;

  void run(const RunEntries& entries, const EngineLimits& limits, const std::atomic<bool>& cancel,
           std::span<const PassStep> steps, const std::vector<bool>* matched) {
    StagePasses passes(entries, limits, cancel, list, nullptr);
    status = runSteps(passes, steps, matched);
  }
};

enum class SplitOutcome : uint8_t { Appended, Cancelled, Failed };

// Collects the steps in two pieces, possibly at once, and appends both to `list` in step order.
// Failed when either piece failed or their sum passes a limit: the caller then collects
// serially, which finds the first failure and fills in its record as it always has.
SplitOutcome collectInTwo(const RunEntries& entries, const EngineLimits& limits,
                          const std::atomic<bool>& cancel, const PairRunner& runner,
                          std::span<const PassStep> steps, size_t split,
                          const std::vector<bool>* matched, GroupList& list) {
  Piece first;
  Piece second;
  runner.both([&] { first.run(entries, limits, cancel, steps.first(split), matched); },
              [&] { second.run(entries, limits, cancel, steps.subspan(split), matched); });
  for (const Piece* piece : {&first, &second}) {
    if (!piece->status && piece->status.error() == EngineError::Cancelled) {
      return SplitOutcome::Cancelled;
    }
  }
  if (!first.status || !second.status) return SplitOutcome::Failed;
  const size_t groups = list.groups.size() + first.list.groups.size() + second.list.groups.size();
  const size_t proposals =
      list.proposalTotal + first.list.proposalTotal + second.list.proposalTotal;
  // Each total is bounded by a limit, so the sums cannot overflow.
  if (groups > limits.maxGroups || proposals > limits.maxProposals) return SplitOutcome::Failed;
  list.groups.reserve(groups);
  for (Piece* piece : {&first, &second}) {
    std::move(piece->list.groups.begin(), piece->list.groups.end(),
              std::back_inserter(list.groups));
  }
  list.proposalTotal = proposals;
  return SplitOutcome::Appended;
}

Result<std::vector<MatchGroup>, EngineError> generateSerially(const RunEntries& entries,
                                                              const EngineLimits& limits,
                                                              const std::atomic<bool>& cancel,
                                                              EngineFailure* failure) {
  GroupList list;
  StagePasses passes(entries, limits, cancel, list, failure);
  if (auto status = runSteps(passes, kMatchingSteps, nullptr); !status) {
    return fail(status.error());
  }
  if (limits.dateRules) {
    const std::vector<bool> matched = matchedSet(list, entries.size());
    if (auto status = runSteps(passes, kSyntheticSteps, &matched); !status) {
      return fail(status.error());
    }
  }
  return std::move(list.groups);
}

}  // namespace

Result<std::vector<MatchGroup>, EngineError> generateGroupsObserved(const RunEntries& entries,
                                                                    const EngineLimits& limits,
                                                                    const std::atomic<bool>& cancel,
                                                                    CellObserver& observer) {
  if (!limits.allocateExact && !limits.holdForReview) return std::vector<MatchGroup>();
  GroupList list;
  StagePasses passes(entries, limits, cancel, list, nullptr);
  passes.observe(&observer);
  if (auto status = runSteps(passes, kMatchingSteps, nullptr); !status) {
    return fail(status.error());
  }
  if (limits.dateRules) {
    const std::vector<bool> matched = matchedSet(list, entries.size());
    if (auto status = runSteps(passes, kSyntheticSteps, &matched); !status) {
      return fail(status.error());
    }
  }
  return std::move(list.groups);
}

Result<std::vector<MatchGroup>, EngineError> generateGroups(const RunEntries& entries,
                                                            const EngineLimits& limits,
                                                            const std::atomic<bool>& cancel,
                                                            EngineFailure* failure,
                                                            const PairRunner* runner) {
  // With neither allocations nor review holds wanted, no group could be kept.
  if (!limits.allocateExact && !limits.holdForReview) return std::vector<MatchGroup>();
  if (runner == nullptr) return generateSerially(entries, limits, cancel, failure);

  GroupList list;
  SplitOutcome outcome =
      collectInTwo(entries, limits, cancel, *runner, kMatchingSteps, kMatchingSplit, nullptr, list);
  if (outcome == SplitOutcome::Appended && limits.dateRules) {
    const std::vector<bool> matched = matchedSet(list, entries.size());
    outcome = collectInTwo(entries, limits, cancel, *runner, kSyntheticSteps, kSyntheticSplit,
                           &matched, list);
  }
  switch (outcome) {
    case SplitOutcome::Appended:
      return std::move(list.groups);
    case SplitOutcome::Cancelled:
      return fail(EngineError::Cancelled);
    case SplitOutcome::Failed:
      break;
  }
  return generateSerially(entries, limits, cancel, failure);
}

}  // namespace tw
