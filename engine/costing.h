// Costing: what one run over a set of entries would cost against every bound of the engine.
//
// The run's own candidate generation is made with the limits lifted, cell by cell, and each
// bound's exact figure is kept (sides, pairs, search steps in the engine's order, groups,
// proposals, origins) instead of stopping at the bound. Only the subset search is held to a cap,
// because it is exponential: a composition cell past the cap is marked, and its figure is the
// cap. The worker's runs never go through here; their path is unchanged.
//
// The costing also tells which entries a run must keep together: the entries of every candidate
// and the candidates that claim one entry (competing, as resolution sees them).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "contracts/result.h"
#include "contracts/source.h"
#include "engine/engine.h"
#include "engine/failure.h"

namespace tw {

// Search steps one composition cell may spend in costing. Well past the session bound (1024)
// and cheap enough (a few milliseconds) to spend on every busy cell of a large company's year.
inline constexpr uint64_t kCostingStepCap = uint64_t{1} << 16;

// Indexes into the entry span given to costRun.
using CostIndex = uint32_t;

struct CellCost {
  AllocationStage stage = AllocationStage::ErpBank;
  MatchPass pass = MatchPass::Reference;
  std::span<const CostIndex> lefts;   // in the engine's order (ascending identifier)
  std::span<const CostIndex> rights;  // likewise
  uint64_t pairs = 0;
  uint64_t steps = 0;            // composition cells: subset search steps
  bool pastCap = false;          // steps reached the cap; the cell's candidates are not all known
  uint32_t candidatesBegin = 0;  // the cell's candidates in RunCost::candidates
  uint32_t candidatesEnd = 0;
  // Composition cells: the stage amounts of the lefts and rights, as the search takes them.
  std::span<const __int128> leftAmounts;
  std::span<const __int128> rightAmounts;
};

// One collected match group.
struct CostCandidate {
  AllocationStage stage = AllocationStage::ErpBank;
  MatchPass pass = MatchPass::Reference;
  std::span<const CostIndex>
      entries;  // named by its proposals: lefts in proposal order, then right
  uint32_t proposals = 0;
  bool duplicate = false;  // an equal group comes first; resolution drops this one
  bool exact = false;      // exact after resolution: becomes allocations
  uint32_t origins = 0;    // exact candidates: most distinct origins of one of its allocations
};

// The figure of each bound over the run, and where it is reached.
struct BoundFigure {
  EngineBound bound = EngineBound::None;
  uint64_t figure = 0;
  uint64_t limit = 0;
};

// The lists of cells and candidates point into the run cost's own pools: a RunCost is moved,
// never copied.
struct RunCost {
  RunCost() = default;
  RunCost(RunCost&&) = default;
  RunCost& operator=(RunCost&&) = default;
  RunCost(const RunCost&) = delete;
  RunCost& operator=(const RunCost&) = delete;

  size_t entries = 0;
  std::vector<CellCost> cells;            // every cell with both sides, in the engine's order
  std::vector<CostCandidate> candidates;  // in collection order
  // Sets of candidates (indexes) that claim one entry; each set has two or more.
  std::vector<std::vector<uint32_t>> competing;
  uint64_t groups = 0;               // collected
  uint64_t proposals = 0;            // collected
  uint64_t keptGroups = 0;           // after duplicate removal
  bool pastCap = false;              // some cell is past the cap
  std::vector<CostIndex> indexPool;  // the cells' sides and the candidates' entries
  std::vector<__int128> amountPool;  // the composition cells' amounts

  // The largest figure of each bound (entries, cell side, cell pairs, cell steps, groups,
  // proposals, origins), in that order, against `limits`.
  std::vector<BoundFigure> figures(const EngineLimits& limits) const;
  // True when every figure is within its limit and no cell is past the cap.
  bool passes(const EngineLimits& limits) const;
};

// Costs one run over `entries` (unique identifiers; checked as a run checks them). Fails only
// with a code the run itself would fail with for a reason other than a bound (an amount that
// overflows, say), or Cancelled.
Result<RunCost, EngineError> costRun(std::span<const Entry* const> entries,
                                     const std::atomic<bool>& cancel,
                                     uint64_t stepCap = kCostingStepCap);

// The same, for a caller that knows the order of the identifiers: `order` lists the positions
// of `entries` by ascending identifier. REQUIRES: it does, every position once.
Result<RunCost, EngineError> costRun(std::span<const Entry* const> entries,
                                     std::span<const uint32_t> order,
                                     const std::atomic<bool>& cancel,
                                     uint64_t stepCap = kCostingStepCap);

// The subset search steps of one composition cell, as the engine spends them: for each target
// in order that is positive, a search over `amounts` sharing one budget, stopped at `cap`
// (the result is then `cap` and `pastCap` is set). `amounts` are the left stage amounts and
// `targets` the right ones, each in ascending identifier.
struct CellSteps {
  uint64_t steps = 0;
  bool pastCap = false;
};
CellSteps compositionCellSteps(std::span<const __int128> amounts, std::span<const __int128> targets,
                               uint64_t cap);

// The most steps compositionCellSteps can count over `amounts` amounts and `targets` targets,
// whatever their values: 2^(k+1) - 1 a target over k amounts (one step for each amount tried
// and one for the try that finds none left, at every node of the whole search tree). UINT64_MAX
// when that does not fit.
uint64_t compositionStepsBound(size_t amounts, size_t targets);

// The run's checks of one entry against a manifest, as runEngine makes them for an entry that
// passed its contract check: window, root, declared origins, components. `rule` names the
// broken rule. (Repeated identifiers are the caller's to find.)
Status<EngineError> checkEntryForRun(const Entry& entry, const RunManifest& manifest,
                                     std::string_view& rule);

// The same checks for many entries against one manifest, its declared files prepared once.
class EntryRunCheck {
 public:
  explicit EntryRunCheck(const RunManifest& manifest);
  ~EntryRunCheck();
  EntryRunCheck(const EntryRunCheck&) = delete;
  EntryRunCheck& operator=(const EntryRunCheck&) = delete;

  Status<EngineError> check(const Entry& entry, std::string_view& rule);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace tw
