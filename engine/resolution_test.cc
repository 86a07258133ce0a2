#include "engine/resolution.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "contracts/formats.h"
#include "engine/assembly.h"
#include "engine/failure.h"
#include "engine/testing/engine_fixture.h"

namespace tw {
namespace {

using namespace tw::testing;

constexpr AllocationStage kEB = AllocationStage::ErpBank;
constexpr AllocationStage kSS = AllocationStage::SalesSettlement;
constexpr AllocationStage kSB = AllocationStage::SettlementBank;

// Positions in the fixture below (ascending identifier): B1 0, E1 1, E2 2, S1 3, T1 4.
constexpr EntryPos B1 = 0, E1 = 1, E2 = 2, S1 = 3, T1 = 4;

std::unique_ptr<IndexedRun> fixtureRun() {
  return indexRun({erpEntry("E1", "500", "R"), erpEntry("E2", "300", "Q"),
                   bankEntry("B1", "800", "R"), salesEntry("S1", "1000", {"-30"}, "R"),
                   settlementEntry("T1", "970", "R")});
}

MatchGroup group(std::vector<Proposal> proposals, bool exact, MemberList members = {}) {
  MatchGroup result;
  result.proposals = std::move(proposals);
  result.memberIds = std::make_shared<const MemberList>(std::move(members));
  result.exact = exact;
  return result;
}

std::string describe(const MatchGroup& g, const RunEntries& list) {
  std::string text;
  for (const Proposal& p : g.proposals) {
    text += std::string(toText(p.stage)) + ":" + std::string(list.id(p.left)) + ">" +
            std::string(list.id(p.right)) + ":" + formatAmount(p.cents) + " ";
  }
  return text + (g.exact ? "exact" : "hold");
}

std::vector<std::string> resolve(const IndexedRun& run, std::vector<MatchGroup> groups,
                                 const EngineLimits& limits = kSessionEngineLimits) {
  const std::atomic<bool> cancel{false};
  auto kept = resolveGroups(std::move(groups), run.list, limits, cancel);
  EXPECT_TRUE(kept.ok());
  std::vector<std::string> texts;
  if (kept.ok()) {
    for (const MatchGroup& g : kept.value()) texts.push_back(describe(g, run.list));
  }
  return texts;
}

TEST(Resolution, SortsByProposalListsAndKeepsTheFirstOfEqualLists) {
  auto run = fixtureRun();
  const std::vector<std::string> expected = {
      "erp-bank:E1>B1:50 hold",
      "erp-bank:E1>B1:100 hold",
      "erp-bank:E1>B1:100 erp-bank:E2>B1:50 hold",
      "sales-settlement:S1>T1:970 hold",
  };
  EXPECT_EQ(resolve(*run, {group({{970, S1, T1, kSS}}, false),
                           group({{100, E1, B1, kEB}, {50, E2, B1, kEB}}, false),
                           group({{100, E1, B1, kEB}}, false), group({{50, E1, B1, kEB}}, true),
                           // The same list again, exact this time: removed, so it cannot
                           // restore exactness.
                           group({{100, E1, B1, kEB}}, true)}),
            expected);
}

TEST(Resolution, SharedClaimsClearExactness) {
  auto run = fixtureRun();
  struct ClaimCase {
    const char* name;
    std::vector<MatchGroup> groups;
    std::vector<std::string> kept;
  };
  const std::vector<ClaimCase> cases = {
      {"a bank entry is one resource across its stages",
       {group({{800, E1, B1, kEB}}, true), group({{800, T1, B1, kSB}}, true)},
       {"erp-bank:E1>B1:800 hold", "settlement-bank:T1>B1:800 hold"}},
      {"a settlement entry is a separate resource in each stage",
       {group({{970, S1, T1, kSS}}, true), group({{800, T1, B1, kSB}}, true)},
       {"sales-settlement:S1>T1:970 exact", "settlement-bank:T1>B1:800 exact"}},
      {"a competing hold takes exactness away",
       {group({{500, E1, B1, kEB}}, true), group({{500, E1, B1, kEB}, {300, E2, B1, kEB}}, false)},
       {"erp-bank:E1>B1:500 hold", "erp-bank:E1>B1:500 erp-bank:E2>B1:300 hold"}},
      {"a group naming an entry twice does not compete with itself",
       {group({{500, E1, B1, kEB}, {300, E2, B1, kEB}}, true)},
       {"erp-bank:E1>B1:500 erp-bank:E2>B1:300 exact"}},
      {"a duplicate is gone before claims are counted",
       {group({{500, E1, B1, kEB}}, true), group({{500, E1, B1, kEB}}, true)},
       {"erp-bank:E1>B1:500 exact"}},
  };
  for (const ClaimCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(resolve(*run, c.groups), c.kept);
  }
}

TEST(Resolution, SwitchesChooseWhatIsKeptAndTheGroupLimitApplies) {
  auto run = fixtureRun();
  auto groups = [] {
    return std::vector<MatchGroup>{group({{970, S1, T1, kSS}}, true),
                                   group({{300, E2, B1, kEB}}, false)};
  };
  EngineLimits exactOnly = kSessionEngineLimits;
  exactOnly.holdForReview = false;
  EXPECT_EQ(resolve(*run, groups(), exactOnly),
            std::vector<std::string>{"sales-settlement:S1>T1:970 exact"});
  EngineLimits holdsOnly = kSessionEngineLimits;
  holdsOnly.allocateExact = false;
  EXPECT_EQ(resolve(*run, groups(), holdsOnly),
            std::vector<std::string>{"erp-bank:E2>B1:300 hold"});

  EngineLimits one = kSessionEngineLimits;
  one.maxGroups = 1;
  const std::atomic<bool> cancel{false};
  EngineFailure failure;
  auto failed = resolveGroups(groups(), run->list, one, cancel, &failure);
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error(), EngineError::LimitExceeded);
  EXPECT_EQ(failure.bound, EngineBound::Groups);
  EXPECT_EQ(failure.reached, 2u);  // the groups kept
  EXPECT_EQ(failure.limit, 1u);
}

OpenBalances openedBalances(const RunEntries& list) {
  OpenBalances balances(list.size());
  balances.set(kEB, B1, 800);
  balances.set(kSB, B1, 800);
  balances.set(kEB, E1, 500);
  balances.set(kEB, E2, 300);
  balances.set(kSS, S1, 970);
  balances.set(kSS, T1, 970);
  balances.set(kSB, T1, 970);
  return balances;
}

TEST(Resolution, AllocationDebitsBothBankBalancesAndReportsTheRemainder) {
  auto run = fixtureRun();
  OpenBalances balances = openedBalances(run->list);
  RunAllocations allocations;
  ASSERT_TRUE(
      allocateGroup(group({{500, E1, B1, kEB}}, true), balances, run->list, allocations).ok());
  EXPECT_EQ(*balances.find(kEB, B1), 300);
  EXPECT_EQ(*balances.find(kSB, B1), 300);
  EXPECT_EQ(*balances.find(kEB, E1), 0);
  ASSERT_EQ(allocations.list.size(), 1u);
  EXPECT_EQ(allocations.list[0].cents, "500");
  EXPECT_EQ(allocations.list[0].evidence.ruleId, "synthetic-reference-v1");
  EXPECT_EQ(allocations.list[0].evidence.reasonCodes,
            std::vector<ReasonCode>{ReasonCode::ReferenceMatch});

  const std::atomic<bool> cancel{false};
  auto result = assembleResult(run->list, balances, allocations, ReviewHolds{},
                               makeManifest("run-1"), cancel);
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(result->residuals.at("B1"), "300");
  EXPECT_EQ(result->residuals.at("E1"), "0");
  EXPECT_EQ(result->pendingIds, (std::vector<std::string>{"B1", "E2", "S1", "T1"}));
}

TEST(Resolution, DebitsAreAllOrNothing) {
  auto run = fixtureRun();
  struct DebitCase {
    const char* name;
    Proposal proposal;
    EngineError code;
  };
  const std::vector<DebitCase> cases = {
      {"zero cents", {0, E1, B1, kEB}, EngineError::InsufficientBalance},
      {"negative cents", {-1, E1, B1, kEB}, EngineError::InsufficientBalance},
      // E1 holds 500, B1 800: the bank keys pass, E1's fails, and nothing moves.
      {"above one balance", {600, E1, B1, kEB}, EngineError::InsufficientBalance},
      {"a key the entry does not hold", {100, E1, S1, kEB}, EngineError::InconsistentInput},
  };
  for (const DebitCase& c : cases) {
    SCOPED_TRACE(c.name);
    OpenBalances balances = openedBalances(run->list);
    RunAllocations allocations;
    auto status = allocateGroup(group({c.proposal}, true), balances, run->list, allocations);
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.error(), c.code);
    EXPECT_EQ(*balances.find(kEB, B1), 800);
    EXPECT_EQ(*balances.find(kSB, B1), 800);
    EXPECT_TRUE(allocations.list.empty());
  }
}

TEST(Resolution, EvidenceOfADocumentedSale) {
  Entry sale = salesEntry("S1", "1000", {"-20", "-10"}, "R");
  // A third fee read from the sale's own line, and one from a named sheet of the same row.
  sale.components.push_back(makeFee("-5", SourceRole::Sales, 1));
  sale.components.push_back(
      EntryComponent{EntryComponentKind::Fee, "-5", makeRef("src-sales", "file-sales", "S", 1)});
  const Entry settlement = settlementEntry("T1", "960", "R");
  auto allocation = buildAllocation(kSS, sale, settlement, 960, true, false);
  ASSERT_TRUE(allocation.ok());
  EXPECT_EQ(
      allocation->evidence.reasonCodes,
      (std::vector<ReasonCode>{ReasonCode::DocumentedComposition, ReasonCode::ReferenceMatch}));
  const std::vector<Ref> origins = {
      makeRef("src-sales", "file-sales", std::nullopt, 1),
      makeRef("src-sales", "file-sales", std::nullopt, 2),
      makeRef("src-sales", "file-sales", std::nullopt, 3),
      makeRef("src-sales", "file-sales", "S", 1),
      makeRef("src-settlement", "file-settlement", std::nullopt, 1),
  };
  EXPECT_EQ(allocation->evidence.origins, origins);

  // Outside sales-settlement the components are no evidence.
  auto plain =
      buildAllocation(kEB, erpEntry("E1", "5", "R"), bankEntry("B1", "5", "R"), 5, true, true);
  ASSERT_TRUE(plain.ok());
  EXPECT_EQ(plain->evidence.origins.size(), 2u);
  EXPECT_EQ(plain->evidence.reasonCodes,
            (std::vector<ReasonCode>{ReasonCode::ReferenceMatch, ReasonCode::ReviewApproved}));
}

TEST(Resolution, AtMostSixtyFourDistinctOrigins) {
  auto saleWithFees = [](uint32_t fees) {
    Entry sale = salesEntry("S1", "100000", {}, "R");
    for (uint32_t i = 0; i < fees; ++i) {
      sale.components.push_back(makeFee("-1", SourceRole::Sales, 100 + i));
    }
    return sale;
  };
  const Entry settlement = settlementEntry("T1", "5", "R");
  EXPECT_TRUE(buildAllocation(kSS, saleWithFees(62), settlement, 5, true, false).ok());
  auto over = buildAllocation(kSS, saleWithFees(63), settlement, 5, true, false);
  ASSERT_FALSE(over.ok());
  EXPECT_EQ(over.error(), EngineError::LimitExceeded);
  // A repeated origin counts once.
  Entry repeated = saleWithFees(62);
  repeated.components.push_back(makeFee("-1", SourceRole::Sales, 100));
  EXPECT_TRUE(buildAllocation(kSS, repeated, settlement, 5, true, false).ok());
}

TEST(Resolution, ReviewHoldKeysAndProjectedBalances) {
  auto run = fixtureRun();
  const OpenBalances balances = openedBalances(run->list);
  ReviewHolds holds;
  ASSERT_TRUE(
      holdGroup(group({{100, E1, B1, kEB}}, false, {E1, B1}), balances, run->list, holds).ok());
  ASSERT_TRUE(holdGroup(group({{500, E1, B1, kEB}, {300, E2, B1, kEB}}, false, {B1, E1, E2}),
                        balances, run->list, holds)
                  .ok());
  ASSERT_EQ(holds.holds.size(), 2u);
  EXPECT_EQ(holds.holds[0].key, "v1|8:erp-bank|2:E1|2:B1|3:100");
  EXPECT_EQ(holds.holds[1].key, "v1|8:erp-bank|2:E1|2:B1|3:500|8:erp-bank|2:E2|2:B1|3:300");
  using Projection = std::vector<std::pair<EntryPos, __int128>>;
  EXPECT_EQ(holds.holds[1].projectedBalances, (Projection{{B1, 0}, {E1, 0}, {E2, 0}}));
  EXPECT_EQ(*balances.find(kEB, B1), 800);

  auto repeated =
      holdGroup(group({{100, E1, B1, kEB}}, false, {E1, B1}), balances, run->list, holds);
  ASSERT_FALSE(repeated.ok());
  EXPECT_EQ(repeated.error(), EngineError::InconsistentInput);

  auto empty = holdGroup(group({}, false, {E1}), balances, run->list, holds);
  ASSERT_FALSE(empty.ok());
  EXPECT_EQ(empty.error(), EngineError::InconsistentInput);
}

}  // namespace
}  // namespace tw
