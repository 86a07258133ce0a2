// The bounded subset search of a composition cell: every selection of two or more candidates
// whose amounts add up exactly to a target, found depth first.
//
// Solutions come in ascending lexicographic order of their index lists, each list ascending.
// Every visit of the search spends one step of a budget that all targets of one cell share;
// passing the budget fails the whole run rather than degrading the answer.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <vector>

#include "contracts/result.h"
#include "engine/engine.h"

namespace tw {

struct SearchBudget {
  uint64_t spent = 0;
  uint64_t limit = 0;  // steps allowed per cell
};

using SubsetSolution = std::vector<uint32_t>;  // candidate indexes, ascending

// Candidates with an amount of zero or less are never chosen. A running sum that overflows
// fails with AmountOverflow; a step past the budget with LimitExceeded; the cancel flag is read
// at every step.
Result<std::vector<SubsetSolution>, EngineError> findSubsets(std::span<const __int128> amounts,
                                                             __int128 target, SearchBudget& budget,
                                                             const std::atomic<bool>& cancel);

}  // namespace tw
