#include "worker/pair_runner.h"

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "engine/engine.h"
#include "engine/failure.h"
#include "engine/testing/engine_fixture.h"
#include "engine/testing/generated_runs.h"

namespace tw {
namespace {

TEST(PairRunner, RunsBothPiecesOnEveryCallAndPassesOnAnException) {
  const ThreadPairRunner runner;
  for (int call = 0; call < 3; ++call) {
    int first = 0;
    int second = 0;
    runner.both([&] { first = call + 1; }, [&] { second = call + 2; });
    EXPECT_EQ(first, call + 1);
    EXPECT_EQ(second, call + 2);
  }
  bool firstRan = false;
  EXPECT_THROW(runner.both([&] { firstRan = true; }, [] { throw std::runtime_error("second"); }),
               std::runtime_error);
  EXPECT_TRUE(firstRan);
  // Still serves after an exception; the pieces may run at once, so each writes its own.
  int afterFirst = 0;
  int afterSecond = 0;
  runner.both([&] { afterFirst = 1; }, [&] { afterSecond = 1; });
  EXPECT_EQ(afterFirst + afterSecond, 2);
}

// The serial run against the run lent a second core, on a successful run and on runs that fail
// in each part the run splits, some of them in only one of the two pieces.
TEST(PairRunner, EngineRunIsTheSameWithASecondCore) {
  struct Case {
    const char* name;
    testing::GeneratedRun run;
    std::optional<EngineError> code;  // none: a result
    EngineLimits limits = kSessionEngineLimits;
  };
  const EngineError limit = EngineError::LimitExceeded;
  const EngineError inconsistent = EngineError::InconsistentInput;
  std::vector<Case> cases;
  cases.push_back({"realistic", testing::realisticRun(3000, 7), std::nullopt});
  cases.push_back({"groups bound", testing::realisticRun(3000, 7), limit});
  cases.back().limits.maxGroups = 300;
  cases.push_back({"proposals bound", testing::realisticRun(3000, 7), limit});
  cases.back().limits.maxProposals = 700;
  cases.push_back({"cell steps", testing::compositionCellsAtBudget(3), limit});
  cases.back().limits.maxCellWork = 500;
  cases.push_back({"synthetic groups bound", testing::equalSyntheticCell(40, 40), limit});
  cases.back().limits.maxGroups = 1000;
  testing::GeneratedRun repeated = testing::realisticRun(500, 3);
  repeated.entries[400].id = repeated.entries[100].id;
  cases.push_back({"repeated id", repeated, inconsistent});
  repeated.entries[300].origin.fileId = "undeclared";
  cases.push_back({"undeclared origin before a repeated id", std::move(repeated), inconsistent});
  testing::GeneratedRun origins;
  origins.entries.push_back(testing::salesEntry("S1", "100063", {}, "R"));
  for (uint32_t i = 0; i < 63; ++i) {
    origins.entries.back().components.push_back(testing::makeFee("-1", SourceRole::Sales, 100 + i));
  }
  origins.entries.push_back(testing::settlementEntry("T1", "100000", "R"));
  cases.push_back({"origin bound", std::move(origins), limit});
  // Found only when the balances are opened, beside resolution.
  testing::GeneratedRun overflow = testing::realisticRun(500, 5);
  const std::string low = "-" + std::string(38, '9');
  overflow.entries.push_back(testing::salesEntry("S-overflow", low, {low}, std::nullopt));
  cases.push_back({"sales net overflow", std::move(overflow), EngineError::AmountOverflow});

  const std::atomic<bool> cancel{false};
  const ThreadPairRunner runner;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EngineFailure serialFailure;
    auto serial = runEngine(c.run.entries, c.run.manifest, cancel, c.limits,
                            EntryContractChecks::Run, &serialFailure);
    EngineFailure twoFailure;
    auto two = runEngine(c.run.entries, c.run.manifest, cancel, c.limits, EntryContractChecks::Run,
                         &twoFailure, &runner);
    ASSERT_EQ(serial.ok(), !c.code.has_value());
    ASSERT_EQ(two.ok(), serial.ok());
    if (serial.ok()) {
      EXPECT_TRUE(*serial == *two);
    } else {
      EXPECT_EQ(serial.error(), *c.code);
      EXPECT_EQ(two.error(), *c.code);
      EXPECT_TRUE(serialFailure == twoFailure);
    }
  }
}

}  // namespace
}  // namespace tw
