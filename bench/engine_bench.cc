// Engine run times on generated runs: a realistic 10000-entry run and the worst cases the limits
// allow. Each iteration is one whole runEngine call on entries and manifest prepared beforehand;
// the TwoCores variants lend it a second core.
#include <benchmark/benchmark.h>

#include <atomic>
#include <optional>
#include <utility>

#include "engine/engine.h"
#include "engine/testing/generated_runs.h"
#include "worker/pair_runner.h"

namespace tw {
namespace {

// With `twoCores`, each run is lent a second core as a session lends it (a helper thread started
// for the run).
void runBenchmark(benchmark::State& state, const testing::GeneratedRun& run,
                  EntryContractChecks contractChecks = EntryContractChecks::Run,
                  bool twoCores = false) {
  const std::atomic<bool> cancel{false};
  size_t allocations = 0;
  size_t pending = 0;
  for (auto _ : state) {
    std::optional<ThreadPairRunner> runner;
    if (twoCores) runner.emplace();
    auto result = runEngine(run.entries, run.manifest, cancel, kSessionEngineLimits, contractChecks,
                            nullptr, runner ? &*runner : nullptr);
    if (!result.ok()) {
      state.SkipWithError(std::string(engineErrorName(result.error())).c_str());
      return;
    }
    allocations = result->allocations.size();
    pending = result->pendingIds.size();
    benchmark::DoNotOptimize(result);
  }
  state.counters["entries"] = static_cast<double>(run.entries.size());
  state.counters["allocations"] = static_cast<double>(allocations);
  state.counters["pending"] = static_cast<double>(pending);
}

void BM_RealisticRun10000(benchmark::State& state) {
  static const testing::GeneratedRun run = testing::realisticRun(10000);
  runBenchmark(state, run);
}
BENCHMARK(BM_RealisticRun10000)->Unit(benchmark::kMillisecond);

// The same entries in a shuffled order, as a session receives them.
testing::GeneratedRun shuffledRealisticRun() {
  testing::GeneratedRun run = testing::realisticRun(10000);
  testing::Lcg random(17);
  for (size_t i = run.entries.size(); i > 1; --i) {
    std::swap(run.entries[i - 1], run.entries[random.below(i)]);
  }
  return run;
}

void BM_RealisticRun10000Shuffled(benchmark::State& state) {
  static const testing::GeneratedRun run = shuffledRealisticRun();
  runBenchmark(state, run);
}
BENCHMARK(BM_RealisticRun10000Shuffled)->Unit(benchmark::kMillisecond);

// What a session's run costs: its entries were checked against the contract when decoded.
void BM_RealisticRun10000ShuffledAlreadyChecked(benchmark::State& state) {
  static const testing::GeneratedRun run = shuffledRealisticRun();
  runBenchmark(state, run, EntryContractChecks::AlreadyPassed);
}
BENCHMARK(BM_RealisticRun10000ShuffledAlreadyChecked)->Unit(benchmark::kMillisecond);

void BM_RealisticRun10000ShuffledAlreadyCheckedTwoCores(benchmark::State& state) {
  static const testing::GeneratedRun run = shuffledRealisticRun();
  runBenchmark(state, run, EntryContractChecks::AlreadyPassed, /*twoCores=*/true);
}
BENCHMARK(BM_RealisticRun10000ShuffledAlreadyCheckedTwoCores)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_SyntheticCell5000x5000Distinct(benchmark::State& state) {
  static const testing::GeneratedRun run = testing::distinctSyntheticCell(5000);
  runBenchmark(state, run);
}
BENCHMARK(BM_SyntheticCell5000x5000Distinct)->Unit(benchmark::kMillisecond);

// 1000 cells of ten entries, each spending 1023 of its 1024 search steps.
void BM_CompositionCellsAtStepBudget(benchmark::State& state) {
  static const testing::GeneratedRun run = testing::compositionCellsAtBudget(1000);
  runBenchmark(state, run);
}
BENCHMARK(BM_CompositionCellsAtStepBudget)->Unit(benchmark::kMillisecond);

// 34 cells of 4 by 252 entries: 9792 composition groups, each a review hold over 256 members.
void BM_WideCompositionCells(benchmark::State& state) {
  static const testing::GeneratedRun run = testing::wideCompositionCells(34);
  runBenchmark(state, run);
}
BENCHMARK(BM_WideCompositionCells)->Unit(benchmark::kMillisecond);

// 100 by 200 equal amounts without references: 20000 groups, all review holds.
void BM_TwentyThousandGroups(benchmark::State& state) {
  static const testing::GeneratedRun run = testing::equalSyntheticCell(100, 200);
  runBenchmark(state, run);
}
BENCHMARK(BM_TwentyThousandGroups)->Unit(benchmark::kMillisecond);

void BM_TwentyThousandGroupsTwoCores(benchmark::State& state) {
  static const testing::GeneratedRun run = testing::equalSyntheticCell(100, 200);
  runBenchmark(state, run, EntryContractChecks::Run, /*twoCores=*/true);
}
BENCHMARK(BM_TwentyThousandGroupsTwoCores)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace tw

BENCHMARK_MAIN();
