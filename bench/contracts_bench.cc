// Throughput of the contract layer on realistic sizes: entries decoded per second from the text
// of a full 10000-entry batch, and canonical bytes committed per second for a large result.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "contracts/commitment.h"
#include "contracts/decode.h"
#include "contracts/json_reader.h"
#include "contracts/json_writer.h"
#include "contracts/test_records.h"

namespace tw {
namespace {

constexpr size_t kBatchEntries = 10000;

std::string padded(const char* prefix, size_t i) {
  char text[32];
  std::snprintf(text, sizeof text, "%s%06zu", prefix, i);
  return text;
}

// Entry texts of about 350 bytes each, as the host sends them.
std::vector<std::string> entryTexts() {
  std::vector<std::string> texts;
  texts.reserve(kBatchEntries);
  const SourceRole roles[] = {SourceRole::Erp, SourceRole::Sales, SourceRole::Settlement,
                              SourceRole::Bank};
  for (size_t i = 0; i < kBatchEntries; ++i) {
    Entry entry = testing::makeEntry(padded("ENT-", i), roles[i % 4], padded("ACC-", i % 97),
                                     "2024-03-" + std::to_string(10 + i % 19),
                                     std::to_string(static_cast<long>(i * 137 % 100000) - 20000),
                                     "INV-" + padded("2024/", i));
    entry.description = "Payment received for invoice batch " + std::to_string(i % 500);
    entry.origin.sheet = "Ledger";
    entry.origin.row = static_cast<uint32_t>(i + 2);
    if (i % 4 == 2) entry.components.push_back(testing::makeFee("-125"));
    texts.push_back(toCompactJson(toJsonValue(entry)));
  }
  return texts;
}

void BM_ReadAndDecodeEntries(benchmark::State& state) {
  const std::vector<std::string> texts = entryTexts();
  size_t bytes = 0;
  for (const std::string& text : texts) bytes += text.size();
  for (auto _ : state) {
    for (const std::string& text : texts) {
      auto value = readJson(text);
      auto entry = decodeEntry(std::move(value).value());
      benchmark::DoNotOptimize(entry);
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * texts.size()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
  state.counters["bytes_per_entry"] =
      static_cast<double>(bytes) / static_cast<double>(texts.size());
}
BENCHMARK(BM_ReadAndDecodeEntries)->Unit(benchmark::kMillisecond);

void BM_DecodeEntriesOnly(benchmark::State& state) {
  std::vector<Json> values;
  for (const std::string& text : entryTexts()) values.push_back(readJson(text).value());
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<Json> batch = values;
    state.ResumeTiming();
    for (Json& value : batch) {
      auto entry = decodeEntry(std::move(value));
      benchmark::DoNotOptimize(entry);
    }
    state.PauseTiming();
    batch.clear();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * values.size()));
}
BENCHMARK(BM_DecodeEntriesOnly)->Unit(benchmark::kMillisecond);

ReconciliationResult largeResult(size_t allocations, size_t residuals) {
  ReconciliationResult result;
  result.runId = "run-bench";
  result.revision = 3;
  for (size_t i = 0; i < allocations; ++i) {
    Evidence evidence{"rule-reference",
                      {testing::roleOrigin(SourceRole::Bank, static_cast<uint32_t>(i + 2)),
                       testing::roleOrigin(SourceRole::Erp, static_cast<uint32_t>(i + 2))},
                      {ReasonCode::ReferenceMatch}};
    result.allocations.push_back(Allocation{AllocationStage::ErpBank, padded("ENT-", i),
                                            padded("BNK-", i), std::to_string(1000 + i),
                                            std::move(evidence)});
  }
  for (size_t i = 0; i < residuals; ++i) {
    result.residuals.emplace(padded("ENT-", i), std::to_string(static_cast<long>(i) - 5000));
    if (i % 2 == 0) result.pendingIds.push_back(padded("ENT-", i));
  }
  return result;
}

void BM_CommitResult(benchmark::State& state) {
  const ReconciliationResult result =
      largeResult(static_cast<size_t>(state.range(0)), static_cast<size_t>(state.range(1)));
  const size_t textBytes = canonicalJsonText(toJsonValue(result)).value().size();
  for (auto _ : state) {
    auto commitment = commitResult(result);
    benchmark::DoNotOptimize(commitment);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * textBytes));
  state.counters["canonical_bytes"] = static_cast<double>(textBytes);
}
BENCHMARK(BM_CommitResult)->Args({20000, 10000})->Args({1000, 1000})->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tw

BENCHMARK_MAIN();
