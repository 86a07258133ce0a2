#include "engine/matching/subset_search.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

namespace tw {
namespace {

struct SearchCase {
  const char* name;
  std::vector<__int128> amounts;
  __int128 target;
  std::vector<SubsetSolution> solutions;
  uint64_t steps;
};

TEST(SubsetSearch, FindsSolutionsInIndexOrderAndCountsEveryStep) {
  const std::vector<SearchCase> cases = {
      // A single candidate equal to the target is never a solution.
      {"pair before single", {100, 200, 300}, 300, {{0, 1}}, 13},
      {"three equal candidates", {100, 100, 100}, 200, {{0, 1}, {0, 2}, {1, 2}}, 13},
      // Candidates of zero or less are skipped but their iterations still cost a step.
      {"non-positive skipped", {0, 100, -5, 100}, 200, {{1, 3}}, 10},
      {"nothing reaches", {1, 2}, 1000, {}, 7},
      {"everything too large", {500, 600}, 100, {}, 5},
  };
  for (const SearchCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::atomic<bool> cancel{false};
    SearchBudget budget{0, 1024};
    auto found = findSubsets(c.amounts, c.target, budget, cancel);
    ASSERT_TRUE(found.ok());
    EXPECT_EQ(found.value(), c.solutions);
    EXPECT_EQ(budget.spent, c.steps);

    // The same search with exactly its own steps passes; one step fewer fails the run.
    SearchBudget exact{0, c.steps};
    EXPECT_TRUE(findSubsets(c.amounts, c.target, exact, cancel).ok());
    SearchBudget short_{0, c.steps - 1};
    auto failed = findSubsets(c.amounts, c.target, short_, cancel);
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error(), EngineError::LimitExceeded);
  }
}

TEST(SubsetSearch, FullEnumerationCostsTwiceTheSubsetsLessOne) {
  const std::atomic<bool> cancel{false};
  const std::vector<__int128> nine(9, 1);
  SearchBudget budget{0, 1024};
  ASSERT_TRUE(findSubsets(nine, 1'000'000, budget, cancel).ok());
  EXPECT_EQ(budget.spent, 1023u);  // 512 subsets, each visited, plus one step per subset's loop
}

TEST(SubsetSearch, BudgetIsSharedAcrossTargets) {
  const std::atomic<bool> cancel{false};
  const std::vector<__int128> amounts = {100, 200, 300};
  SearchBudget budget{0, 20};
  ASSERT_TRUE(findSubsets(amounts, 300, budget, cancel).ok());  // 13 steps
  auto second = findSubsets(amounts, 300, budget, cancel);
  ASSERT_FALSE(second.ok());
  EXPECT_EQ(second.error(), EngineError::LimitExceeded);
}

TEST(SubsetSearch, OverflowingRunningSumFails) {
  const std::atomic<bool> cancel{false};
  const __int128 max = ~(static_cast<__int128>(1) << 127);
  const std::vector<__int128> amounts = {max - 1, 5};
  SearchBudget budget{0, 1024};
  auto found = findSubsets(amounts, max, budget, cancel);
  ASSERT_FALSE(found.ok());
  EXPECT_EQ(found.error(), EngineError::AmountOverflow);
}

TEST(SubsetSearch, CancelledAtTheFirstStep) {
  const std::atomic<bool> cancel{true};
  const std::vector<__int128> amounts = {100, 200};
  SearchBudget budget{0, 1024};
  auto found = findSubsets(amounts, 300, budget, cancel);
  ASSERT_FALSE(found.ok());
  EXPECT_EQ(found.error(), EngineError::Cancelled);
  EXPECT_EQ(budget.spent, 0u);
}

}  // namespace
}  // namespace tw
