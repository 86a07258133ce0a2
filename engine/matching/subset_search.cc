#include "engine/matching/subset_search.h"

#include <limits>

#include "engine/stages.h"

namespace tw {
namespace {

class SubsetSearch {
 public:
  SubsetSearch(std::span<const __int128> amounts, __int128 target, SearchBudget& budget,
               const std::atomic<bool>& cancel)
      : amounts_(amounts), target_(target), budget_(budget), cancel_(cancel) {}

  // One call of the depth-first enumeration with the current selection.
  Status<EngineError> visit(__int128 sum, size_t start) {
    if (sum >= target_) {
      if (auto status = cancellationPoint(cancel_); !status) return status;
      if (auto status = spendStep(); !status) return status;
      if (sum == target_ && selection_.size() >= 2) solutions_.push_back(selection_);
      return {};
    }
    if (auto status = cancellationPoint(cancel_); !status) return status;
    for (size_t i = start;; ++i) {
      // The iteration that finds no candidate left still costs a step.
      if (auto status = spendStep(); !status) return status;
      if (i >= amounts_.size()) return {};
      if (amounts_[i] > 0) {
        __int128 next = 0;
        if (__builtin_add_overflow(sum, amounts_[i], &next)) {
          return fail(EngineError::AmountOverflow);
        }
        selection_.push_back(static_cast<uint32_t>(i));
        auto status = visit(next, i + 1);
        selection_.pop_back();
        if (!status) return status;
      }
      if (auto status = cancellationPoint(cancel_); !status) return status;
    }
  }

  std::vector<SubsetSolution> takeSolutions() { return std::move(solutions_); }

 private:
  Status<EngineError> spendStep() {
    if (budget_.spent == std::numeric_limits<uint64_t>::max() || budget_.spent >= budget_.limit) {
      return fail(EngineError::LimitExceeded);
    }
    ++budget_.spent;
    return {};
  }

  std::span<const __int128> amounts_;
  __int128 target_;
  SearchBudget& budget_;
  const std::atomic<bool>& cancel_;
  SubsetSolution selection_;
  std::vector<SubsetSolution> solutions_;
};

}  // namespace

Result<std::vector<SubsetSolution>, EngineError> findSubsets(std::span<const __int128> amounts,
                                                             __int128 target, SearchBudget& budget,
                                                             const std::atomic<bool>& cancel) {
  SubsetSearch search(amounts, target, budget, cancel);
  if (auto status = search.visit(0, 0); !status) return fail(status.error());
  return search.takeSolutions();
}

}  // namespace tw
