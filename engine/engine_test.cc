#include "engine/engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "contracts/commitment.h"
#include "contracts/record_checks.h"
#include "engine/testing/engine_fixture.h"
#include "engine/testing/generated_runs.h"

namespace tw {
namespace {

using namespace tw::testing;

using Residuals = std::map<std::string, std::string, std::less<>>;
using Ids = std::vector<std::string>;

ReconciliationResult runOk(const std::vector<Entry>& entries,
                           const RunManifest& manifest = makeManifest("run-1")) {
  auto result = runOnce(entries, manifest);
  EXPECT_TRUE(result.ok()) << (result.ok() ? "" : engineErrorName(result.error()));
  return result.ok() ? result.value() : ReconciliationResult{};
}

std::string allocationText(const Allocation& a) {
  return std::string(toText(a.stage)) + ":" + a.leftId + ">" + a.rightId + ":" + a.cents;
}

Ids allocationTexts(const ReconciliationResult& result) {
  Ids texts;
  for (const Allocation& a : result.allocations) texts.push_back(allocationText(a));
  return texts;
}

TEST(Engine, EmptyRun) {
  const ReconciliationResult result = runOk({}, makeManifest("run-empty"));
  EXPECT_EQ(result.runId, "run-empty");
  EXPECT_TRUE(result.allocations.empty());
  EXPECT_TRUE(result.pendingIds.empty());
  EXPECT_TRUE(result.residuals.empty());
  EXPECT_EQ(result.revision, 0u);
}

struct RejectCase {
  const char* name;
  std::vector<Entry> entries;
  RunManifest manifest;
  EngineError code;
};

TEST(Engine, RefusesInconsistentInput) {
  const RunManifest plain = makeManifest("run-1");
  const RunManifest window = makeManifest("run-1", "2024-03-01", "2024-03-31");
  auto with = [](auto record, auto change) {
    change(record);
    return record;
  };
  const Entry erp = erpEntry("E1", "100", "R");
  const std::vector<RejectCase> cases = {
      {"repeated identifier, otherwise identical",
       {erp, erp},
       plain,
       EngineError::InconsistentInput},
      {"component on an ERP entry",
       {with(erp, [](Entry& e) { e.components.push_back(makeFee("-1")); })},
       plain,
       EngineError::InconsistentInput},
      {"component on a bank entry",
       {with(bankEntry("B1", "5", "R"), [](Entry& e) { e.components.push_back(makeFee("-1")); })},
       plain,
       EngineError::InconsistentInput},
      {"component on a settlement entry",
       {with(settlementEntry("T1", "5", "R"),
             [](Entry& e) { e.components.push_back(makeFee("-1")); })},
       plain,
       EngineError::InconsistentInput},
      {"fee of zero cents",
       {salesEntry("S1", "100", {"0"}, "R")},
       plain,
       EngineError::InconsistentInput},
      {"positive reversal",
       {with(salesEntry("S1", "100", {}, "R"),
             [](Entry& e) {
               e.components.push_back(EntryComponent{EntryComponentKind::Reversal, "5",
                                                     roleOrigin(SourceRole::Sales)});
             })},
       plain,
       EngineError::InconsistentInput},
      {"origin pair not declared although its file is",
       {with(erp, [](Entry& e) { e.origin.fileId = "file-bank"; })},
       plain,
       EngineError::InconsistentInput},
      {"component origin not declared",
       {with(salesEntry("S1", "100", {"-1"}, "R"),
             [](Entry& e) { e.components[0].origin.sourceId = "src-other"; })},
       plain,
       EngineError::InconsistentInput},
      {"root of another company",
       {with(erp,
             [](Entry& e) {
               e.root = "ZZZZZZZZ";
               e.establishment = validEstablishment("ZZZZZZZZ");
             })},
       plain,
       EngineError::InconsistentInput},
      {"bank entry after the window",
       {bankEntry("B1", "5", "R", "2024-04-01")},
       window,
       EngineError::OutsideWindow},
      {"malformed date",
       {with(erp, [](Entry& e) { e.date = "2024-02-30"; })},
       plain,
       EngineError::InvalidDate},
      {"malformed amount",
       {with(erp, [](Entry& e) { e.cents = "01"; })},
       plain,
       EngineError::InvalidAmount},
      {"malformed identifier",
       {with(erp, [](Entry& e) { e.id = "-E1"; })},
       plain,
       EngineError::InvalidContract},
      {"manifest of another version",
       {erp},
       with(plain, [](RunManifest& m) { m.version = 2; }),
       EngineError::InvalidContract},
      {"first failing entry decides",
       {with(erp, [](Entry& e) { e.date = "2024-13-01"; }),
        with(erpEntry("E2", "1", "R"), [](Entry& e) { e.cents = "1.0"; })},
       plain,
       EngineError::InvalidDate},
      {"stage amount out of range",
       {salesEntry("S1", "-170141183460469231731687303715884105728", {"-1"}, std::nullopt)},
       plain,
       EngineError::AmountOverflow},
  };
  for (const RejectCase& c : cases) {
    SCOPED_TRACE(c.name);
    auto result = runOnce(c.entries, c.manifest);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error(), c.code) << engineErrorName(result.error());
  }
}

// A repeated identifier is reported at the copy, after that entry's own earlier checks, and not
// before an earlier entry's failure; with or without the entry contract check.
TEST(Engine, RepeatedIdentifierIsReportedWhereTheCopyIsMet) {
  const Entry e1 = erpEntry("E1", "100", "R");
  const Entry e2 = erpEntry("E2", "5", "Q");
  Entry badDate = erpEntry("E3", "5", "Q");
  badDate.date = "2024-02-30";
  Entry e1BadDate = e1;
  e1BadDate.date = "2024-02-30";
  const Entry outside = bankEntry("B1", "5", "R", "2024-04-01");
  Entry e1OtherRoot = e1;
  e1OtherRoot.root = "ZZZZZZZZ";
  e1OtherRoot.establishment = validEstablishment("ZZZZZZZZ");
  struct RepeatCase {
    const char* name;
    std::vector<Entry> entries;
    EngineError code;
    EngineError codeWithoutContractCheck;
  };
  const std::vector<RepeatCase> cases = {
      {"copy first",
       {e1, e1, badDate},
       EngineError::InconsistentInput,
       EngineError::InconsistentInput},
      {"earlier failure first",
       {e1, outside, e1},
       EngineError::OutsideWindow,
       EngineError::OutsideWindow},
      {"earlier contract failure first",
       {e1, badDate, e1},
       EngineError::InvalidDate,
       EngineError::InconsistentInput},
      {"copy fails its own contract check",
       {e1, e1BadDate},
       EngineError::InvalidDate,
       EngineError::InconsistentInput},
      {"copy of another root",
       {e1, e1OtherRoot},
       EngineError::InconsistentInput,
       EngineError::InconsistentInput},
      {"out of order",
       {e2, e1, e2, badDate, e1},
       EngineError::InconsistentInput,
       EngineError::InconsistentInput},
  };
  const std::atomic<bool> cancel{false};
  const RunManifest window = makeManifest("run-1", "2024-03-01", "2024-03-31");
  for (const RepeatCase& c : cases) {
    SCOPED_TRACE(c.name);
    auto result = runOnce(c.entries, window);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error(), c.code) << engineErrorName(result.error());
    auto skipping = runEngine(c.entries, window, cancel, kSessionEngineLimits,
                              EntryContractChecks::AlreadyPassed);
    ASSERT_FALSE(skipping.ok());
    EXPECT_EQ(skipping.error(), c.codeWithoutContractCheck) << engineErrorName(skipping.error());
  }
}

// Leaving out the entry contract check changes nothing for entries that pass it: the same
// results, and the same first code from every other check.
TEST(Engine, AlreadyCheckedEntriesGiveTheSameOutcomes) {
  const std::atomic<bool> cancel{false};
  const RunManifest plain = makeManifest("run-1");
  const RunManifest window = makeManifest("run-1", "2024-03-01", "2024-03-31");
  auto with = [](auto record, auto change) {
    change(record);
    return record;
  };
  GeneratedRun realistic = realisticRun(3000, 5);
  Lcg random(3);
  for (size_t i = realistic.entries.size(); i > 1; --i) {
    std::swap(realistic.entries[i - 1], realistic.entries[random.below(i)]);
  }
  const Entry erp = erpEntry("E1", "100", "R");
  struct SameCase {
    const char* name;
    std::vector<Entry> entries;
    RunManifest manifest;
  };
  const std::vector<SameCase> cases = {
      {"realistic, shuffled", realistic.entries, realistic.manifest},
      {"bank entry after the window", {erp, bankEntry("B1", "5", "R", "2024-04-01")}, window},
      {"root of another company",
       {with(erp,
             [](Entry& e) {
               e.root = "ZZZZZZZZ";
               e.establishment = validEstablishment("ZZZZZZZZ");
             })},
       plain},
      {"origin not declared", {with(erp, [](Entry& e) { e.origin.fileId = "file-bank"; })}, plain},
      {"component on an ERP entry",
       {with(erp, [](Entry& e) { e.components.push_back(makeFee("-1")); })},
       plain},
      {"fee of zero cents", {salesEntry("S1", "100", {"0"}, "R")}, plain},
      {"stage amount out of range",
       {salesEntry("S1", "-170141183460469231731687303715884105728", {"-1"}, std::nullopt)},
       plain},
      {"manifest of another version", {erp}, with(plain, [](RunManifest& m) { m.version = 2; })},
  };
  for (const SameCase& c : cases) {
    SCOPED_TRACE(c.name);
    for (const Entry& entry : c.entries) ASSERT_TRUE(checkEntryRecord(entry).ok());
    auto full = runEngine(c.entries, c.manifest, cancel, kSessionEngineLimits);
    auto skipping = runEngine(c.entries, c.manifest, cancel, kSessionEngineLimits,
                              EntryContractChecks::AlreadyPassed);
    ASSERT_EQ(full.ok(), skipping.ok());
    if (full.ok()) {
      EXPECT_EQ(full.value(), skipping.value());
    } else {
      EXPECT_EQ(full.error(), skipping.error()) << engineErrorName(full.error());
    }
  }

  // Only the contract check is left out: an entry that would fail it goes through.
  const std::vector<Entry> badText = {
      with(erp, [](Entry& e) { e.description = std::string("line\x01break"); })};
  auto full = runEngine(badText, plain, cancel, kSessionEngineLimits);
  ASSERT_FALSE(full.ok());
  EXPECT_EQ(full.error(), EngineError::InvalidContract);
  EXPECT_TRUE(
      runEngine(badText, plain, cancel, kSessionEngineLimits, EntryContractChecks::AlreadyPassed)
          .ok());
}

// The run checks only what the contract's result check could still find (assembly.cc); the
// results of the generated runs pass the full check.
TEST(Engine, ResultsPassTheContractResultCheck) {
  const std::vector<GeneratedRun> runs = {realisticRun(3000, 2), distinctSyntheticCell(50),
                                          compositionCellsAtBudget(20), wideCompositionCells(2),
                                          equalSyntheticCell(10, 20)};
  for (const GeneratedRun& run : runs) {
    const ReconciliationResult result = runOk(run.entries, run.manifest);
    EXPECT_TRUE(checkResultRecord(result).ok());
  }
}

// References longer than the prefix that the engine compares as integers, equal up to it: each
// still forms a cell of its own, so each pair matches one to one.
TEST(Engine, LongReferencesSharingAPrefixStayApart) {
  const std::string stem(30, 'R');
  std::vector<Entry> entries;
  for (const std::string tail : {"1", "2", "10", ""}) {
    const std::string cents = std::to_string(100 + tail.size() * 7 + (tail.empty() ? 0 : tail[0]));
    entries.push_back(erpEntry("E" + std::string(tail) + "x", cents, stem + tail));
    entries.push_back(bankEntry("B" + std::string(tail) + "x", cents, stem + tail));
  }
  const ReconciliationResult result = runOk(entries);
  EXPECT_EQ(result.allocations.size(), 4u);
  EXPECT_TRUE(result.pendingIds.empty());
}

TEST(Engine, AcceptsWhatTheRulesAllow) {
  const RunManifest window = makeManifest("run-1", "2024-03-01", "2024-03-31");
  // A fee of -1 cent; a bank entry on the window's last day; an ERP entry outside the window.
  const std::vector<Entry> entries = {salesEntry("S1", "100", {"-1"}, "R"),
                                      bankEntry("B1", "5", "R", "2024-03-31"),
                                      erpEntry("E1", "5", "Q", "2024-05-01")};
  EXPECT_TRUE(runOnce(entries, window).ok());
}

TEST(Engine, EntryLimitIsTestedBeforeAnyEntry) {
  GeneratedRun run = realisticRun(10000);
  EXPECT_TRUE(runOnce(run.entries, run.manifest).ok());

  // 10001 entries fail on their number even though none of them is valid.
  std::vector<Entry> invalid(10001, erpEntry("-bad", "x", std::nullopt));
  auto result = runOnce(invalid);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error(), EngineError::LimitExceeded);

  // The manifest is checked first.
  RunManifest bad = makeManifest("run-1");
  bad.root = "lower";
  auto manifestFirst = runOnce(invalid, bad);
  ASSERT_FALSE(manifestFirst.ok());
  EXPECT_EQ(manifestFirst.error(), EngineError::InvalidContract);
}

TEST(Engine, CancelledBeforeTheRunTouchesNothing) {
  RunManifest bad = makeManifest("run-1");
  bad.version = 7;
  const std::atomic<bool> cancel{true};
  auto result = runEngine({erpEntry("-bad", "x", std::nullopt)}, bad, cancel, kSessionEngineLimits);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error(), EngineError::Cancelled);
}

TEST(Engine, ExactMatchSharingABankEntryAcrossStagesIsHeld) {
  const ReconciliationResult result = runOk(
      {erpEntry("E1", "100", "R"), settlementEntry("T1", "100", "R"), bankEntry("B1", "100", "R")});
  EXPECT_TRUE(result.allocations.empty());
  EXPECT_EQ(result.residuals, (Residuals{{"B1", "100"}, {"E1", "100"}, {"T1", "100"}}));
  EXPECT_EQ(result.pendingIds, (Ids{"B1", "E1", "T1"}));
}

TEST(Engine, ReferenceMatchChosenByACompositionLosesExactness) {
  // E1 matches B1 by reference; E1 and E2 also compose B2 on the same account and day.
  const ReconciliationResult result =
      runOk({erpEntry("E1", "100", "R1"), bankEntry("B1", "100", "R1"), erpEntry("E2", "50", "R2"),
             bankEntry("B2", "150", "R3")});
  EXPECT_TRUE(result.allocations.empty());
  EXPECT_EQ(result.residuals.at("E1"), "100");
  EXPECT_EQ(result.residuals.at("B1"), "100");
}

TEST(Engine, SettlementAllocatedInBothStagesWithDocumentedFees) {
  const ReconciliationResult result =
      runOk({salesEntry("S1", "1250", {"-30", "-20"}, "R"), settlementEntry("T1", "1200", "R"),
             bankEntry("B1", "1200", "R")});
  EXPECT_EQ(allocationTexts(result),
            (Ids{"sales-settlement:S1>T1:1200", "settlement-bank:T1>B1:1200"}));
  ASSERT_EQ(result.allocations.size(), 2u);
  const Evidence& sale = result.allocations[0].evidence;
  EXPECT_EQ(sale.ruleId, "synthetic-reference-v1");
  EXPECT_EQ(sale.reasonCodes, (std::vector<ReasonCode>{ReasonCode::DocumentedComposition,
                                                       ReasonCode::ReferenceMatch}));
  EXPECT_EQ(
      sale.origins,
      (std::vector<Ref>{roleOrigin(SourceRole::Sales, 1), roleOrigin(SourceRole::Sales, 2),
                        roleOrigin(SourceRole::Sales, 3), roleOrigin(SourceRole::Settlement, 1)}));
  EXPECT_EQ(result.allocations[1].evidence.reasonCodes,
            std::vector<ReasonCode>{ReasonCode::ReferenceMatch});
  EXPECT_EQ(result.residuals, (Residuals{{"B1", "0"}, {"S1", "0"}, {"T1", "0"}}));
  EXPECT_TRUE(result.pendingIds.empty());
}

TEST(Engine, ResidualsAndPendingIdentifiers) {
  const ReconciliationResult result = runOk({
      erpEntry("A9", "1000", "R1"), bankEntry("A10", "1000", "R1"),  // exact: both "0"
      erpEntry("Z0", "0", std::nullopt),                             // zero and unmatched
      salesEntry("S1", "1000", {"-30"}, std::nullopt),               // net 970, unmatched
      salesEntry("S2", "1000", {"-30"}, "R2"), settlementEntry("T2", "970", "R2"),
      erpEntry("E5", "-40", std::nullopt),  // negative, unmatched
  });
  EXPECT_EQ(allocationTexts(result), (Ids{"erp-bank:A9>A10:1000", "sales-settlement:S2>T2:970"}));
  EXPECT_EQ(result.residuals, (Residuals{{"A10", "0"},
                                         {"A9", "0"},
                                         {"E5", "-40"},
                                         {"S1", "970"},
                                         {"S2", "0"},
                                         {"T2", "970"},
                                         {"Z0", "0"}}));
  // Text order puts A10 before A9; a settlement allocated only against its sale stays pending.
  EXPECT_EQ(result.pendingIds, (Ids{"E5", "S1", "T2"}));
}

TEST(Engine, TwentyThousandHoldsFitOneMoreDoesNot) {
  GeneratedRun full = equalSyntheticCell(100, 200);
  const ReconciliationResult result = runOk(full.entries, full.manifest);
  EXPECT_TRUE(result.allocations.empty());
  EXPECT_EQ(result.pendingIds.size(), 300u);

  GeneratedRun extra = equalSyntheticCell(1, 1, "ACD");
  full.entries.insert(full.entries.end(), extra.entries.begin(), extra.entries.end());
  auto over = runOnce(full.entries, full.manifest);
  ASSERT_FALSE(over.ok());
  EXPECT_EQ(over.error(), EngineError::LimitExceeded);
}

TEST(Engine, InputOrderDoesNotMatter) {
  GeneratedRun run = realisticRun(3000, 7);
  auto forward = runOnce(run.entries, run.manifest);
  ASSERT_TRUE(forward.ok());
  std::reverse(run.entries.begin(), run.entries.end());
  auto backward = runOnce(run.entries, run.manifest);
  ASSERT_TRUE(backward.ok());
  EXPECT_EQ(forward.value(), backward.value());
  EXPECT_FALSE(forward->allocations.empty());
}

TEST(Engine, ShuffledRunsCommitToTheSameText) {
  GeneratedRun run = realisticRun(10000, 3);
  auto reference = runOnce(run.entries, run.manifest);
  ASSERT_TRUE(reference.ok());
  auto referenceText = canonicalJsonText(toJsonValue(reference.value()));
  ASSERT_TRUE(referenceText.ok());
  Lcg random(11);
  for (int round = 0; round < 3; ++round) {
    for (size_t i = run.entries.size(); i > 1; --i) {
      std::swap(run.entries[i - 1], run.entries[random.below(i)]);
    }
    auto shuffled = runOnce(run.entries, run.manifest);
    ASSERT_TRUE(shuffled.ok());
    auto text = canonicalJsonText(toJsonValue(shuffled.value()));
    ASSERT_TRUE(text.ok());
    EXPECT_EQ(text.value(), referenceText.value()) << "round " << round;
  }
}

}  // namespace
}  // namespace tw
