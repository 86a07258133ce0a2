#include "engine/matching/candidates.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "contracts/formats.h"
#include "engine/testing/engine_fixture.h"
#include "engine/testing/generated_runs.h"

namespace tw {
namespace {

using namespace tw::testing;

// "stage left>right:cents,... {members} exact|hold"
std::string describe(const MatchGroup& group, const RunEntries& list) {
  std::string text;
  for (const Proposal& proposal : group.proposals) {
    if (!text.empty())
      text += ",";
    else
      text += std::string(toText(proposal.stage)) + " ";
    text += std::string(list.id(proposal.left)) + ">" + std::string(list.id(proposal.right)) + ":" +
            formatAmount(proposal.cents);
  }
  text += " {";
  for (size_t i = 0; i < group.members().size(); ++i) {
    if (i > 0) text += ",";
    text += list.id(group.members()[i]);
  }
  text += group.exact ? "} exact" : "} hold";
  return text;
}

Result<std::vector<MatchGroup>, EngineError> generate(const IndexedRun& run,
                                                      const EngineLimits& limits) {
  const std::atomic<bool> cancel{false};
  return generateGroups(run.list, limits, cancel);
}

std::vector<std::string> describeAll(std::vector<Entry> entries,
                                     const EngineLimits& limits = kSessionEngineLimits) {
  auto run = indexRun(std::move(entries));
  auto groups = generate(*run, limits);
  EXPECT_TRUE(groups.ok());
  std::vector<std::string> texts;
  if (!groups.ok()) return texts;
  for (const MatchGroup& group : groups.value()) texts.push_back(describe(group, run->list));
  return texts;
}

struct PassCase {
  const char* name;
  std::vector<Entry> entries;
  std::vector<std::string> groups;
};

TEST(Candidates, GroupsOfEachPassInCollectionOrder) {
  const char* other = "2024-03-02";
  const std::vector<PassCase> cases = {
      {"reference pair of equal amounts and days is exact",
       {erpEntry("E1", "1000", "R"), bankEntry("B1", "1000", "R")},
       {"erp-bank E1>B1:1000 {E1,B1} exact"}},
      {"unequal amounts propose the smaller",
       {erpEntry("E1", "1000", "R"), bankEntry("B1", "990", "R")},
       {"erp-bank E1>B1:990 {E1,B1} hold"}},
      {"equal amounts on different days",
       {erpEntry("E1", "1000", "R"), bankEntry("B1", "1000", "R", other)},
       {"erp-bank E1>B1:1000 {E1,B1} hold"}},
      {"two left entries in one reference cell give no reference group",
       {erpEntry("E1", "100", "R", kDay), erpEntry("E2", "300", "R", other),
        bankEntry("B1", "100", "R")},
       {}},
      {"zero and negative amounts give no group",
       {erpEntry("E1", "0", "R"), bankEntry("B1", "0", "R"), erpEntry("E2", "-5", "Q"),
        bankEntry("B2", "-5", "Q")},
       {}},
      {"sales net of fees matches its settlement",
       {salesEntry("S1", "1000", {"-30"}, "R"), settlementEntry("T1", "970", "R")},
       {"sales-settlement S1>T1:970 {S1,T1} exact"}},
      {"sales without components never match",
       {salesEntry("S1", "970", {}, "R"), settlementEntry("T1", "970", "R")},
       {}},
      {"sales carrying a reversal never match",
       {[] {
          Entry sale = salesEntry("S1", "1000", {"-30"}, "R");
          sale.components.push_back(
              EntryComponent{EntryComponentKind::Reversal, "-5", roleOrigin(SourceRole::Sales, 9)});
          return sale;
        }(),
        settlementEntry("T1", "970", "R")},
       {}},
      {"settlement matched in both of its stages",
       {salesEntry("S1", "1000", {"-30"}, "R"), settlementEntry("T1", "970", "R"),
        bankEntry("B1", "970", "R")},
       {"sales-settlement S1>T1:970 {S1,T1} exact", "settlement-bank T1>B1:970 {T1,B1} exact"}},
      {"composition of two left entries; a single equal entry is no solution",
       {erpEntry("E1", "100", "R1"), erpEntry("E2", "200", "R2"), erpEntry("E3", "300", "R3"),
        bankEntry("B1", "300", "R4")},
       {"erp-bank E1>B1:100,E2>B1:200 {B1,E1,E2,E3} hold"}},
      {"equal candidates give every pair in index order",
       {erpEntry("E1", "100", "R1"), erpEntry("E2", "100", "R2"), erpEntry("E3", "100", "R3"),
        bankEntry("B1", "200", "R4")},
       {"erp-bank E1>B1:100,E2>B1:100 {B1,E1,E2,E3} hold",
        "erp-bank E1>B1:100,E3>B1:100 {B1,E1,E2,E3} hold",
        "erp-bank E2>B1:100,E3>B1:100 {B1,E1,E2,E3} hold"}},
      {"composition needs references on both sides",
       {erpEntry("E1", "100", "R1"), erpEntry("E2", "200", std::nullopt),
        bankEntry("B1", "300", "R4")},
       {}},
      {"synthetic pairs where a reference is missing, left then right order",
       {erpEntry("E1", "500", std::nullopt), erpEntry("E2", "500", "R1"),
        bankEntry("B1", "500", std::nullopt), bankEntry("B2", "500", "R2"),
        bankEntry("B3", "700", std::nullopt)},
       {"erp-bank E1>B1:500 {E1,B1} hold", "erp-bank E1>B2:500 {E1,B2} hold",
        "erp-bank E2>B1:500 {E2,B1} hold"}},
      {"an entry of an exact reference group is skipped by every synthetic pass",
       {erpEntry("E1", "500", "R"), bankEntry("B1", "500", "R"),
        erpEntry("E2", "500", std::nullopt), settlementEntry("T1", "500", std::nullopt)},
       {"erp-bank E1>B1:500 {E1,B1} exact"}},
      {"a non-exact reference group does not shield its entries",
       {erpEntry("E1", "500", "R"), bankEntry("B1", "400", "R"),
        erpEntry("E2", "400", std::nullopt)},
       {"erp-bank E1>B1:400 {E1,B1} hold", "erp-bank E2>B1:400 {E2,B1} hold"}},
      {"sales filter applies to the synthetic pass",
       {salesEntry("S1", "970", {}, std::nullopt), salesEntry("S2", "1000", {"-30"}, std::nullopt),
        settlementEntry("T1", "970", std::nullopt)},
       {"sales-settlement S2>T1:970 {S2,T1} hold"}},
      {"different accounts never meet",
       {erpEntry("E1", "500", std::nullopt, kDay, "ACC1"),
        bankEntry("B1", "500", std::nullopt, kDay, "ACC2")},
       {}},
  };
  for (const PassCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(describeAll(c.entries), c.groups);
  }
}

TEST(Candidates, SwitchesGateThePasses) {
  const std::vector<Entry> entries = {
      erpEntry("E1", "1000", "R"), bankEntry("B1", "1000", "R", "2024-03-02"),
      erpEntry("E2", "700", std::nullopt), bankEntry("B2", "700", std::nullopt)};
  EngineLimits noDateRules = kSessionEngineLimits;
  noDateRules.dateRules = false;
  // Without date rules a reference pair on different days is exact, and no synthetic pass runs.
  EXPECT_EQ(describeAll(entries, noDateRules),
            std::vector<std::string>{"erp-bank E1>B1:1000 {E1,B1} exact"});

  EngineLimits nothingKept = kSessionEngineLimits;
  nothingKept.allocateExact = false;
  nothingKept.holdForReview = false;
  EXPECT_TRUE(describeAll(entries, nothingKept).empty());
}

// `lefts` ERP and `rights` bank entries sharing one reference, each on a day of its own (so
// that the composition cells stay one by one).
std::vector<Entry> referenceCell(uint32_t lefts, uint32_t rights) {
  std::vector<Entry> entries;
  for (uint32_t i = 0; i < lefts; ++i) {
    entries.push_back(erpEntry(padded("E", i), "100", "R", dateOf(i)));
  }
  for (uint32_t i = 0; i < rights; ++i) {
    entries.push_back(bankEntry(padded("B", i), "100", "R", dateOf(i)));
  }
  return entries;
}

// A composition cell of three ERP entries of 2 cents, one of 0 cents (listed last) and `rights`
// bank entries of 1 cent: each right's search costs 8 steps and finds nothing.
std::vector<Entry> compositionCell(uint32_t rights) {
  std::vector<Entry> entries = {erpEntry("E1", "2", "RE1"), erpEntry("E2", "2", "RE2"),
                                erpEntry("E3", "2", "RE3"), erpEntry("E4", "0", "RE4")};
  for (uint32_t i = 0; i < rights; ++i) {
    entries.push_back(bankEntry(padded("B", i), "1", padded("RB", i)));
  }
  return entries;
}

// A composition cell of `lefts` ERP entries of 2 cents and `rights` bank entries of 1 cent, each
// with a reference of its own, all on one day: every reference cell holds one entry, so only the
// composition cell can be too large, and its search stays cheap (no subset sums to 1 cent).
std::vector<Entry> wideCompositionCell(uint32_t lefts, uint32_t rights) {
  std::vector<Entry> entries;
  for (uint32_t i = 0; i < lefts; ++i) {
    entries.push_back(erpEntry(padded("E", i), "2", padded("RE", i)));
  }
  for (uint32_t i = 0; i < rights; ++i) {
    entries.push_back(bankEntry(padded("B", i), "1", padded("RB", i)));
  }
  return entries;
}

TEST(Candidates, CellLimitsAtTheirBoundaries) {
  struct LimitCase {
    const char* name;
    std::vector<Entry> entries;
    bool fits;
  };
  const std::vector<LimitCase> cases = {
      {"256 a side", referenceCell(256, 1), true},
      {"257 on the left", referenceCell(257, 1), false},
      {"257 on the right", referenceCell(1, 257), false},
      {"1024 pairs", referenceCell(32, 32), true},
      {"1056 pairs", referenceCell(32, 33), false},
      {"1024 search steps", compositionCell(128), true},
      {"a 1025th search step", compositionCell(129), false},
      {"composition: 256 on the right", wideCompositionCell(1, 256), true},
      {"composition: 257 on the right", wideCompositionCell(1, 257), false},
      {"composition: 257 on the left", wideCompositionCell(257, 1), false},
      {"composition: 1056 pairs", wideCompositionCell(32, 33), false},
  };
  for (const LimitCase& c : cases) {
    SCOPED_TRACE(c.name);
    auto run = indexRun(c.entries);
    auto groups = generate(*run, kSessionEngineLimits);
    EXPECT_EQ(groups.ok(), c.fits);
    if (!c.fits && !groups.ok()) {
      EXPECT_EQ(groups.error(), EngineError::LimitExceeded);
    }
  }
}

TEST(Candidates, GroupLimitCountsEveryCollectedGroup) {
  // 100 x 200 equal synthetic pairs fill the list exactly; one more pair elsewhere does not fit.
  GeneratedRun full = equalSyntheticCell(100, 200);
  auto fullRun = indexRun(full.entries);
  auto groups = generate(*fullRun, kSessionEngineLimits);
  ASSERT_TRUE(groups.ok());
  EXPECT_EQ(groups.value().size(), 20000u);

  GeneratedRun over = full;
  GeneratedRun extra = equalSyntheticCell(1, 1, "ACD");
  over.entries.insert(over.entries.end(), extra.entries.begin(), extra.entries.end());
  auto overRun = indexRun(over.entries);
  auto failed = generate(*overRun, kSessionEngineLimits);
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error(), EngineError::LimitExceeded);
}

MatchGroup groupOf(size_t proposals) {
  MatchGroup group;
  group.proposals.assign(proposals, Proposal{1, 0, 1, AllocationStage::ErpBank});
  group.memberIds = std::make_shared<const MemberList>(MemberList{0, 1});
  return group;
}

TEST(Candidates, PushGroupEnforcesGroupAndProposalLimits) {
  const EngineLimits& limits = kSessionEngineLimits;
  GroupList list;
  ASSERT_TRUE(pushGroup(list, groupOf(19999), limits).ok());
  ASSERT_TRUE(pushGroup(list, groupOf(1), limits).ok());  // exactly 20000 proposals
  auto over = pushGroup(list, groupOf(1), limits);
  ASSERT_FALSE(over.ok());
  EXPECT_EQ(over.error(), EngineError::LimitExceeded);
  EXPECT_EQ(list.groups.size(), 2u);
  EXPECT_EQ(list.proposalTotal, 20000u);

  GroupList single;
  EXPECT_FALSE(pushGroup(single, groupOf(20001), limits).ok());
  EXPECT_TRUE(single.groups.empty());

  EngineLimits fewGroups = limits;
  fewGroups.maxGroups = 2;
  GroupList two;
  ASSERT_TRUE(pushGroup(two, groupOf(1), fewGroups).ok());
  ASSERT_TRUE(pushGroup(two, groupOf(1), fewGroups).ok());
  EXPECT_FALSE(pushGroup(two, groupOf(1), fewGroups).ok());
}

TEST(Candidates, CancelledDuringGeneration) {
  auto run = indexRun({erpEntry("E1", "1000", "R"), bankEntry("B1", "1000", "R")});
  const std::atomic<bool> cancel{true};
  auto groups = generateGroups(run->list, kSessionEngineLimits, cancel);
  ASSERT_FALSE(groups.ok());
  EXPECT_EQ(groups.error(), EngineError::Cancelled);
}

TEST(Candidates, OverflowingSalesAmountFailsWhenTheSalesStageNeedsIt) {
  const std::string min = "-170141183460469231731687303715884105728";
  // Matched by reference: the pass needs the stage amount.
  auto referenced = indexRun({salesEntry("S1", min, {"-1"}, "R"), settlementEntry("T1", "5", "R")});
  auto failed = generate(*referenced, kSessionEngineLimits);
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error(), EngineError::AmountOverflow);

  // A right entry of no positive amount needs no candidates, and a synthetic pair of two
  // referenced entries is skipped before any amount is computed.
  auto skipped = indexRun({salesEntry("S1", min, {"-1"}, "R1"), settlementEntry("T1", "-5", "R2")});
  EXPECT_TRUE(generate(*skipped, kSessionEngineLimits).ok());
}

}  // namespace
}  // namespace tw
