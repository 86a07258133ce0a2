// The costing mode against the engine itself, over generated runs dense enough that many of them
// pass a bound: a run passes its costing exactly when the engine completes it, the exact
// candidates are its allocations, a failed bound's costed figure is at least the engine's, and
// the steps of one composition cell are the engine's.
#include "engine/costing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>

#include "engine/matching/candidates.h"
#include "engine/matching/subset_search.h"
#include "engine/testing/engine_fixture.h"
#include "engine/testing/generated_runs.h"

namespace tw {
namespace {

using testing::Lcg;

std::vector<Entry> denseRun(uint64_t seed) {
  Lcg random(seed);
  std::vector<Entry> entries;
  const size_t count = 2 + random.below(110);
  for (size_t i = 0; i < count; ++i) {
    const std::string id = testing::padded("E", i, 3);
    const std::string account = random.below(4) == 0 ? "ACC2" : "ACC1";
    const std::string date = random.below(3) == 0 ? "2024-03-02" : "2024-03-01";
    const std::string cents = std::to_string((1 + random.below(12)) * 100);
    std::optional<std::string> ref;
    if (random.below(5) != 0) ref = "R" + std::to_string(random.below(count / 3 + 1));
    switch (random.below(4)) {
      case 0:
        entries.push_back(testing::erpEntry(id, cents, ref, date, account));
        break;
      case 1:
        entries.push_back(testing::bankEntry(id, cents, ref, date, account));
        break;
      case 2:
        entries.push_back(testing::settlementEntry(id, cents, ref, date, account));
        break;
      default:
        entries.push_back(testing::salesEntry(id, std::to_string((2 + random.below(12)) * 100),
                                              {"-100"}, ref, date, account));
        break;
    }
  }
  return entries;
}

TEST(Costing, AgreesWithTheEngineOnGeneratedRuns) {
  size_t failedOnBound = 0;
  size_t completed = 0;
  for (uint64_t seed = 1; seed <= 600; ++seed) {
    const std::vector<Entry> entries = denseRun(seed);
    std::vector<const Entry*> view;
    for (const Entry& entry : entries) view.push_back(&entry);
    const std::atomic<bool> never{false};
    auto cost = costRun(view, never);
    ASSERT_TRUE(cost) << "seed " << seed;

    EngineFailure failure;
    auto run = runEngine(entries, testing::makeManifest("run-1"), never, kSessionEngineLimits,
                         EntryContractChecks::Run, &failure);
    if (run) {
      ++completed;
      EXPECT_TRUE(cost->passes(kSessionEngineLimits)) << "seed " << seed;
      size_t exactProposals = 0;
      for (const CostCandidate& candidate : cost->candidates) {
        if (candidate.exact) exactProposals += candidate.proposals;
      }
      EXPECT_EQ(exactProposals, run->allocations.size()) << "seed " << seed;
      // The origins figure is the most origins of one allocation's evidence.
      size_t origins = 0;
      for (const Allocation& allocation : run->allocations) {
        origins = std::max(origins, allocation.evidence.origins.size());
      }
      EXPECT_EQ(cost->figures(kSessionEngineLimits).back().figure, origins) << "seed " << seed;
    } else {
      ASSERT_EQ(run.error(), EngineError::LimitExceeded) << "seed " << seed;
      ++failedOnBound;
      EXPECT_FALSE(cost->passes(kSessionEngineLimits)) << "seed " << seed;
      for (const BoundFigure& figure : cost->figures(kSessionEngineLimits)) {
        if (figure.bound == failure.bound) {
          EXPECT_GE(figure.figure, failure.reached) << "seed " << seed;
        }
      }
    }
    for (const CellCost& cell : cost->cells) {
      if (cell.pass != MatchPass::Composition) continue;
      const CellSteps steps =
          compositionCellSteps(cell.leftAmounts, cell.rightAmounts, kCostingStepCap);
      EXPECT_EQ(steps.steps, cell.steps) << "seed " << seed;
      EXPECT_EQ(steps.pastCap, cell.pastCap) << "seed " << seed;
    }
  }
  // The generated runs cover both endings.
  EXPECT_GT(failedOnBound, 50u);
  EXPECT_GT(completed, 50u);
}

// The steps counted without the search's solutions are the search's own, for small and large
// amounts (overflow included), targets of every sign and caps that stop it anywhere.
TEST(Costing, CellStepsAreTheSubsetSearchsSteps) {
  Lcg random(7);
  const std::atomic<bool> never{false};
  for (int round = 0; round < 2000; ++round) {
    std::vector<__int128> amounts(random.below(12));
    std::vector<__int128> targets(1 + random.below(6));
    const bool huge = random.below(10) == 0;
    for (__int128& amount : amounts) {
      amount = static_cast<__int128>(random.below(40)) - 8;
      if (huge && random.below(3) == 0) amount = (static_cast<__int128>(1) << 126) + amount;
    }
    for (__int128& target : targets) target = static_cast<__int128>(random.below(120)) - 10;
    const uint64_t cap = round % 3 == 0 ? 1 + random.below(300) : kCostingStepCap;
    SearchBudget budget{0, cap};
    CellSteps expected{0, false};
    bool stopped = false;
    for (const __int128 target : targets) {
      if (target <= 0 || stopped) continue;
      auto solutions = findSubsets(amounts, target, budget, never);
      if (!solutions) {
        expected = {budget.spent, solutions.error() == EngineError::LimitExceeded};
        stopped = true;
      }
    }
    if (!stopped) expected = {budget.spent, false};
    const CellSteps steps = compositionCellSteps(amounts, targets, cap);
    EXPECT_EQ(steps.steps, expected.steps) << "round " << round;
    EXPECT_EQ(steps.pastCap, expected.pastCap) << "round " << round;
    EXPECT_LE(steps.steps, compositionStepsBound(amounts.size(), targets.size()))
        << "round " << round;
  }
}

// The bound on a cell's steps is reached by positive amounts whose sums never reach the
// targets, and overflows to the largest figure rather than wrapping.
TEST(Costing, CellStepsBoundIsTheWholeSearchTree) {
  for (size_t count = 0; count <= 12; ++count) {
    const std::vector<__int128> amounts(count, 1);
    for (size_t targetCount = 1; targetCount <= 3; ++targetCount) {
      const std::vector<__int128> targets(targetCount, static_cast<__int128>(1000));
      const CellSteps steps = compositionCellSteps(amounts, targets, kCostingStepCap);
      EXPECT_EQ(steps.steps, compositionStepsBound(count, targetCount)) << count;
    }
  }
  EXPECT_EQ(compositionStepsBound(63, 1), std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(compositionStepsBound(62, 3), std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(compositionStepsBound(3, 0), 0u);
}

TEST(Costing, ACellPastTheCapIsMarkedAndTheRunGoesOn) {
  std::vector<Entry> entries;
  for (int i = 0; i < 40; ++i) {
    entries.push_back(testing::erpEntry(testing::padded("E", i, 3), std::to_string(100 + i), "R"));
    entries.push_back(
        testing::bankEntry(testing::padded("B", i, 3), std::to_string(5000 + i), "Q"));
  }
  entries.push_back(testing::erpEntry("X1", "700", "S", "2024-03-05"));
  entries.push_back(testing::bankEntry("Y1", "700", "S", "2024-03-05"));
  std::vector<const Entry*> view;
  for (const Entry& entry : entries) view.push_back(&entry);
  const std::atomic<bool> never{false};
  auto cost = costRun(view, never, 4096);
  ASSERT_TRUE(cost);
  EXPECT_TRUE(cost->pastCap);
  size_t past = 0;
  for (const CellCost& cell : cost->cells) {
    if (cell.pastCap) {
      ++past;
      EXPECT_EQ(cell.steps, 4096u);
    }
  }
  EXPECT_EQ(past, 1u);
  // The later day's exact reference match is still found.
  EXPECT_TRUE(std::any_of(cost->candidates.begin(), cost->candidates.end(),
                          [](const CostCandidate& c) { return c.exact; }));
}

}  // namespace
}  // namespace tw
