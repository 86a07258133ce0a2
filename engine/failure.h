// What a failed engine run can tell about its failure, for a person looking into it.
//
// A caller that wants to know passes an EngineFailure to runEngine; the run fills it in only on
// the way out of a failure, so a run that is given none (the worker's) does exactly the same
// work. The record explains the code, it never decides it: the code is the run's, and a
// figure the failure site does not know is left at zero.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "contracts/source.h"
#include "engine/engine.h"

namespace tw {

// The bound of EngineLimits (or the origin bound of an allocation) that a run passed.
enum class EngineBound : uint8_t {
  None,
  Entries,    // entries in the run (maxEntries)
  CellSide,   // entries on one side of a reference or composition cell (maxCellSide)
  CellPairs,  // left x right pairs of such a cell (maxCellWork)
  CellSteps,  // subset search steps of one composition cell (maxCellWork)
  Groups,     // match groups collected or kept (maxGroups)
  Proposals,  // proposals over all collected groups (maxProposals)
  Origins,    // distinct origins in one allocation's evidence
};

enum class MatchPass : uint8_t { Reference, Composition, Synthetic };

std::string_view toText(EngineBound bound);
std::string_view toText(MatchPass pass);

// A cell of one pass: the entries of one stage side sharing (root, account, reference) in the
// reference pass, or (root, account, date) in the others.
struct FailureCell {
  AllocationStage stage = AllocationStage::ErpBank;
  MatchPass pass = MatchPass::Reference;
  std::string root;
  std::string accountId;
  std::string key;  // the reference (reference pass) or the date
  size_t leftSize = 0;
  size_t rightSize = 0;

  friend bool operator==(const FailureCell&, const FailureCell&) = default;
};

struct EngineFailure {
  EngineError code = EngineError::InconsistentInput;
  // A limit: which bound, the figure the run reached and the bound itself.
  EngineBound bound = EngineBound::None;
  uint64_t reached = 0;
  uint64_t limit = 0;
  // The cell being worked on when the run failed, when it failed in one.
  std::optional<FailureCell> cell;
  // The entry a rule refused, as its position in the run's input list.
  std::optional<size_t> entryIndex;
  // The entries concerned: the refused entry, those of an overflowing sum or allocation.
  std::vector<std::string> entryIds;
  // The rule that was broken, in a few words; empty when the code says it all.
  std::string rule;

  friend bool operator==(const EngineFailure&, const EngineFailure&) = default;
};

// Notes in `failure`, when given, that the run passed `bound`, having reached `reached`.
inline void noteBound(EngineFailure* failure, EngineBound bound, uint64_t reached, uint64_t limit) {
  if (failure == nullptr) return;
  failure->bound = bound;
  failure->reached = reached;
  failure->limit = limit;
}

}  // namespace tw
