#include "engine/failure.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "engine/testing/engine_fixture.h"

namespace tw {
namespace {

using namespace tw::testing;

struct FailureCase {
  const char* name;
  std::vector<Entry> entries;
  EngineLimits limits;
  EngineError code;
  EngineBound bound;
  uint64_t reached;
  std::optional<size_t> entryIndex;
  std::vector<std::string> entryIds;
  std::optional<FailureCell> cell;
};

std::vector<Entry> sameReference(const char* prefix, int count, SourceRole role) {
  std::vector<Entry> entries;
  for (int i = 0; i < count; ++i) {
    const std::string id = prefix + std::to_string(i);
    entries.push_back(role == SourceRole::Erp ? erpEntry(id, "100", "R")
                                              : bankEntry(id, "100", "R"));
  }
  return entries;
}

std::vector<Entry> concat(std::vector<Entry> a, const std::vector<Entry>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The record explains the code the run returns anyway: bound, figure, cell, entries.
TEST(EngineFailure, RecordsTheCause) {
  EngineLimits small;
  small.maxCellSide = 3;
  small.maxCellWork = 4;
  EngineLimits fewGroups;
  fewGroups.maxGroups = 1;
  Entry undeclared = erpEntry("E2", "100", "R");
  undeclared.origin.fileId = "undeclared";
  const std::vector<FailureCase> cases = {
      {"cell side",
       concat(sameReference("E", 4, SourceRole::Erp), sameReference("B", 1, SourceRole::Bank)),
       small,
       EngineError::LimitExceeded,
       EngineBound::CellSide,
       4,
       std::nullopt,
       {},
       FailureCell{AllocationStage::ErpBank, MatchPass::Reference, "", kAccount, "R", 4, 1}},
      {"cell pairs",
       concat(sameReference("E", 3, SourceRole::Erp), sameReference("B", 2, SourceRole::Bank)),
       small,
       EngineError::LimitExceeded,
       EngineBound::CellPairs,
       6,
       std::nullopt,
       {},
       FailureCell{AllocationStage::ErpBank, MatchPass::Reference, "", kAccount, "R", 3, 2}},
      {"groups",
       {erpEntry("E1", "100", "R1"), bankEntry("B1", "100", "R1"), erpEntry("E2", "100", "R2"),
        bankEntry("B2", "100", "R2")},
       fewGroups,
       EngineError::LimitExceeded,
       EngineBound::Groups,
       2,
       std::nullopt,
       {},
       FailureCell{AllocationStage::ErpBank, MatchPass::Reference, "", kAccount, "R2", 1, 1}},
      {"repeated identifier",
       {erpEntry("E1", "100", "R"), erpEntry("E1", "100", "R")},
       kSessionEngineLimits,
       EngineError::InconsistentInput,
       EngineBound::None,
       0,
       1,
       {"E1"},
       std::nullopt},
      {"undeclared origin",
       {erpEntry("E1", "100", "R"), undeclared},
       kSessionEngineLimits,
       EngineError::InconsistentInput,
       EngineBound::None,
       0,
       1,
       {"E2"},
       std::nullopt},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::atomic<bool> cancel{false};
    EngineFailure failure;
    auto run = runEngine(c.entries, makeManifest("run-1"), cancel, c.limits,
                         EntryContractChecks::Run, &failure);
    ASSERT_FALSE(run.ok());
    EXPECT_EQ(run.error(), c.code);
    EXPECT_EQ(failure.code, c.code);
    EXPECT_EQ(failure.bound, c.bound);
    EXPECT_EQ(failure.reached, c.reached);
    EXPECT_EQ(failure.entryIndex, c.entryIndex);
    EXPECT_EQ(failure.entryIds, c.entryIds);
    if (c.code == EngineError::InconsistentInput) {
      EXPECT_FALSE(failure.rule.empty());
    }
    ASSERT_EQ(failure.cell.has_value(), c.cell.has_value());
    if (c.cell) {
      EXPECT_EQ(failure.cell->stage, c.cell->stage);
      EXPECT_EQ(failure.cell->pass, c.cell->pass);
      EXPECT_EQ(failure.cell->accountId, c.cell->accountId);
      EXPECT_EQ(failure.cell->key, c.cell->key);
      EXPECT_EQ(failure.cell->leftSize, c.cell->leftSize);
      EXPECT_EQ(failure.cell->rightSize, c.cell->rightSize);
    }
    // The record never changes the run: the same code without it.
    auto plain = runEngine(c.entries, makeManifest("run-1"), cancel, c.limits);
    ASSERT_FALSE(plain.ok());
    EXPECT_EQ(plain.error(), c.code);
  }
}

}  // namespace
}  // namespace tw
