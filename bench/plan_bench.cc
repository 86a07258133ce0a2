// tallywarden plan on generated books (bench/gen_books.py): the 30,000-entry month and a
// one-million-entry year, each planned into a fresh folder per iteration. Reports entries a
// second in real time (the Time column is real time) and in processor time (the process's, every
// thread's: the planner reads and costs on more than one), and the process's peak resident
// memory (run the year alone, --benchmark_filter=Year, and one repetition, for a peak that is
// one plan's: the peak of a process only grows).
//
// The books are generated once into TW_PLAN_BENCH_DIR (default /tmp/tallywarden-plan-bench) and
// kept there for later runs; generating the year takes a few minutes.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "tallywarden/commands.h"

namespace {

std::string benchDir() {
  const char* dir = std::getenv("TW_PLAN_BENCH_DIR");
  return dir != nullptr ? dir : "/tmp/tallywarden-plan-bench";
}

// The books of `name` (month or year), generated when missing; empty when they cannot be.
std::string books(const std::string& name, const std::string& period, const std::string& extra) {
  const std::string dir = benchDir() + "/" + name;
  if (std::filesystem::exists(dir + "/entries.jsonl")) return dir;
  std::filesystem::create_directories(dir);
  const std::string command = "python3 " TW_SOURCE_DIR "/bench/gen_books.py --out " + dir + " " +
                              period + " " + extra + " >/dev/null";
  if (std::system(command.c_str()) != 0) return {};
  return dir;
}

// Processor time of the whole process so far, every thread's, user and system.
double processSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// The machine's load average over the last minute, as the timings were taken under it.
double loadAverage() {
  double loads[1] = {0};
  return ::getloadavg(loads, 1) == 1 ? loads[0] : -1.0;
}

size_t lineCount(const std::string& path) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return 0;
  size_t lines = 0;
  char buffer[1 << 16];
  for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
    for (size_t i = 0; i < got; ++i) lines += buffer[i] == '\n';
  }
  std::fclose(file);
  return lines;
}

void planBooks(benchmark::State& state, const std::string& dir) {
  if (dir.empty()) {
    state.SkipWithError("the books cannot be generated (python3 and bench/gen_books.py)");
    return;
  }
  const size_t entries = lineCount(dir + "/entries.jsonl");
  const std::string manifest = dir + "/template.json";
  const std::string input = dir + "/entries.jsonl";
  const std::string output = dir + "/plan-out";
  double processor = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::filesystem::remove_all(output);
    state.ResumeTiming();
    std::ostringstream out;
    std::ostringstream err;
    const std::vector<std::string_view> args = {"--manifest", manifest,       input,  "-o",
                                                output,       "--nonce-seed", "bench"};
    const double before = processSeconds();
    const int status = tw::tool::runPlan(args, tw::tool::Streams{out, err});
    processor += processSeconds() - before;
    if (status != tw::tool::kExitPasses) {
      state.SkipWithError(err.str().c_str());
      return;
    }
  }
  std::filesystem::remove_all(output);
  state.counters["entries"] = static_cast<double>(entries);
  state.counters["entries_per_s"] =
      benchmark::Counter(static_cast<double>(entries) * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate);
  const double iterations = static_cast<double>(state.iterations());
  state.counters["processor_s"] = processor / iterations;
  state.counters["entries_per_processor_s"] =
      processor > 0 ? static_cast<double>(entries) * iterations / processor : 0.0;
  state.counters["load_average"] = loadAverage();
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  state.counters["peak_rss_MiB"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
  state.counters["peak_bytes_per_entry"] =
      entries > 0 ? static_cast<double>(usage.ru_maxrss) * 1024.0 / static_cast<double>(entries)
                  : 0.0;
}

void BM_PlanMonth(benchmark::State& state) {
  planBooks(state, books("month", "--month 2024-11", ""));
}
BENCHMARK(BM_PlanMonth)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PlanYear(benchmark::State& state) {
  planBooks(state, books("year", "--year 2024", "--entries 1000000"));
}
BENCHMARK(BM_PlanYear)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
