// Shared helpers of the engine's tests: entries of each role in one line, a run with the session
// limits, and an indexed entry list for tests of single passes.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "contracts/source.h"
#include "contracts/test_records.h"
#include "engine/engine.h"
#include "engine/run_entries.h"

namespace tw::testing {

inline constexpr const char* kDay = "2024-03-01";
inline constexpr const char* kAccount = "ACC1";

inline Entry erpEntry(std::string id, std::string cents, std::optional<std::string> ref,
                      std::string date = kDay, std::string account = kAccount) {
  return makeEntry(std::move(id), SourceRole::Erp, std::move(account), std::move(date),
                   std::move(cents), std::move(ref));
}
inline Entry bankEntry(std::string id, std::string cents, std::optional<std::string> ref,
                       std::string date = kDay, std::string account = kAccount) {
  return makeEntry(std::move(id), SourceRole::Bank, std::move(account), std::move(date),
                   std::move(cents), std::move(ref));
}
inline Entry settlementEntry(std::string id, std::string cents, std::optional<std::string> ref,
                             std::string date = kDay, std::string account = kAccount) {
  return makeEntry(std::move(id), SourceRole::Settlement, std::move(account), std::move(date),
                   std::move(cents), std::move(ref));
}
// A sales entry with one fee component per element of `fees` (amount texts, rows 2, 3, ...).
inline Entry salesEntry(std::string id, std::string cents, std::vector<std::string> fees,
                        std::optional<std::string> ref, std::string date = kDay,
                        std::string account = kAccount) {
  Entry entry = makeEntry(std::move(id), SourceRole::Sales, std::move(account), std::move(date),
                          std::move(cents), std::move(ref));
  uint32_t row = 2;
  for (std::string& fee : fees)
    entry.components.push_back(makeFee(std::move(fee), SourceRole::Sales, row++));
  return entry;
}

inline Result<ReconciliationResult, EngineError> runOnce(
    const std::vector<Entry>& entries, const RunManifest& manifest = makeManifest("run-1"),
    const EngineLimits& limits = kSessionEngineLimits) {
  const std::atomic<bool> cancel{false};
  return runEngine(entries, manifest, cancel, limits);
}

// The entries of a run listed as the driver lists them (no checks; of repeated identifiers the
// first entry is kept), for tests of one pass.
struct IndexedRun {
  std::vector<Entry> entries;
  RunEntries list;
};

inline std::unique_ptr<IndexedRun> indexRun(std::vector<Entry> entries) {
  auto run = std::make_unique<IndexedRun>();
  run->entries = std::move(entries);
  std::vector<uint32_t> order;
  for (const uint32_t pos : orderByIdentifier(run->entries).positions) {
    if (order.empty() || run->entries[order.back()].id != run->entries[pos].id) {
      order.push_back(pos);
    }
  }
  RunEntries::Builder builder(run->entries.size());
  for (const Entry& entry : run->entries) builder.add(entry);
  auto list = builder.finish(order);
  if (list) run->list = std::move(list).value();
  return run;
}

}  // namespace tw::testing
