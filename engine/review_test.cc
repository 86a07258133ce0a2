#include "engine/review.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>

#include "engine/testing/generated_runs.h"
#include "engine/testing/review_books.h"

namespace tw {
namespace {

using namespace tw::testing;

// Every known case of the books is found with its pass, reasons and both sides; nothing else is
// held or left alone.
TEST(EngineReview, FindsEachKnownCase) {
  const std::atomic<bool> cancel{false};
  EngineReview review;
  auto result = runEngineWithReview(reviewBooks(), makeManifest("run-1"), cancel,
                                    kSessionEngineLimits, review);
  ASSERT_TRUE(result.ok());
  const auto holds = reviewBooksHolds();
  ASSERT_EQ(review.held.size(), holds.size());
  for (const ExpectedHold& expected : holds) {
    auto found = std::find_if(review.held.begin(), review.held.end(), [&](const HeldCandidate& h) {
      return h.proposals.front().leftId == expected.left &&
             h.proposals.front().rightId == expected.right;
    });
    ASSERT_NE(found, review.held.end()) << expected.left << " " << expected.right;
    EXPECT_EQ(found->pass, expected.pass) << expected.left;
    EXPECT_EQ(found->reasons, expected.reasons) << expected.left << " " << expected.right;
    // Competitors name each other.
    for (size_t other : found->competitors) {
      const auto& back = review.held[other].competitors;
      EXPECT_NE(std::find(back.begin(), back.end(), found - review.held.begin()), back.end());
    }
    EXPECT_EQ(found->competitorCount, found->has(HoldReason::CompetesWithExact) ? 1u : 0u);
  }
  const auto lone = reviewBooksLone();
  ASSERT_EQ(review.lone.size(), lone.size());
  for (size_t i = 0; i < lone.size(); ++i) {
    EXPECT_EQ(review.lone[i].id, lone[i].id);
    EXPECT_EQ(review.lone[i].reasons, lone[i].reasons) << lone[i].id;
  }
}

// The record changes nothing in the run: the same result (or code) with and without it.
TEST(EngineReview, LeavesTheResultAlone) {
  const std::atomic<bool> cancel{false};
  for (uint64_t seed = 1; seed <= 6; ++seed) {
    const GeneratedRun run = realisticRun(400 * seed, seed);
    EngineReview review;
    auto reviewed =
        runEngineWithReview(run.entries, run.manifest, cancel, kSessionEngineLimits, review);
    auto plain = runEngine(run.entries, run.manifest, cancel, kSessionEngineLimits);
    ASSERT_EQ(reviewed.ok(), plain.ok()) << seed;
    if (!plain.ok()) continue;
    EXPECT_EQ(*reviewed, *plain) << seed;
    // Each entry is either named by a candidate or alone, never both.
    std::vector<std::string> named;
    for (const HeldCandidate& held : review.held) {
      for (const auto& p : held.proposals) named.insert(named.end(), {p.leftId, p.rightId});
    }
    for (const Allocation& a : plain->allocations) named.insert(named.end(), {a.leftId, a.rightId});
    std::sort(named.begin(), named.end());
    for (const LoneEntry& lone : review.lone) {
      EXPECT_FALSE(std::binary_search(named.begin(), named.end(), lone.id)) << lone.id;
      EXPECT_NE(lone.reasons, 0);
    }
  }
}

}  // namespace
}  // namespace tw
