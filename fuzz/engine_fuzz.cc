// The engine on structured input built from the fuzz bytes: a few dozen entries over a handful of
// accounts, dates, references and amounts. Checked: the same entries in another order give the
// identical result and commitment; replaying the allocations against the entries' stage amounts
// never debits more than a balance holds; every entry appears exactly once in the residuals; the
// pending identifiers are exactly those with a non-zero residual; a run lent a second core gives
// the same result, code and failure record as the serial run, under the session limits and under
// limits small enough to be passed.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "contracts/commitment.h"
#include "contracts/formats.h"
#include "contracts/test_records.h"
#include "engine/engine.h"
#include "engine/failure.h"
#include "fuzz/byte_source.h"
#include "fuzz/entry_choices.h"
#include "worker/pair_runner.h"

namespace {

using tw::AllocationStage;
using tw::Entry;
using tw::SourceRole;

using tw::fuzzing::ByteSource;

std::vector<Entry> buildEntries(ByteSource& in) {
  std::vector<Entry> entries;
  const size_t count = in.next() % 40;
  for (size_t i = 0; i < count && !in.empty(); ++i) {
    entries.push_back(tw::fuzzing::chooseEntry(in, "E" + std::to_string(i)));
  }
  return entries;
}

__int128 amount(const std::string& text) {
  return tw::parseAmount(text).value();
}

__int128 stageAmount(const Entry& entry, AllocationStage stage) {
  __int128 total = amount(entry.cents);
  if (entry.role == SourceRole::Sales && stage == AllocationStage::SalesSettlement) {
    for (const auto& c : entry.components)
      if (c.kind == tw::EntryComponentKind::Fee) total += amount(c.cents);
  }
  return total;
}

void checkInvariants(const std::vector<Entry>& entries, const tw::ReconciliationResult& result) {
  std::map<std::string, const Entry*> byId;
  for (const Entry& e : entries) byId[e.id] = &e;
  // Balances per (stage, id); a bank entry has one balance shared by its two stages.
  std::map<std::pair<int, std::string>, __int128> balances;
  auto key = [&](AllocationStage stage, const Entry& e) {
    return std::make_pair(e.role == SourceRole::Bank ? -1 : static_cast<int>(stage), e.id);
  };
  for (const Entry& e : entries) {
    for (AllocationStage stage : {AllocationStage::ErpBank, AllocationStage::SalesSettlement,
                                  AllocationStage::SettlementBank})
      balances.emplace(key(stage, e), stageAmount(e, stage));
  }
  for (const auto& allocation : result.allocations) {
    const __int128 cents = amount(allocation.cents);
    if (cents <= 0) std::abort();
    for (const std::string* id : {&allocation.leftId, &allocation.rightId}) {
      auto it = byId.find(*id);
      if (it == byId.end()) std::abort();
      __int128& balance = balances[key(allocation.stage, *it->second)];
      if (balance < cents) std::abort();
      balance -= cents;
    }
  }
  if (result.residuals.size() != entries.size()) std::abort();
  std::vector<std::string> pending;
  for (const auto& [id, residual] : result.residuals) {
    if (!byId.count(id)) std::abort();
    if (residual != "0") pending.push_back(id);
  }
  if (pending != result.pendingIds) std::abort();
  if (result.revision != 0) std::abort();
}

// The serial run against the run with a second core: the same result or code and record.
void checkTwoCores(const std::vector<Entry>& entries, const tw::RunManifest& manifest,
                   const tw::EngineLimits& limits) {
  const std::atomic<bool> cancel{false};
  tw::EngineFailure serialFailure;
  auto serial = tw::runEngine(entries, manifest, cancel, limits, tw::EntryContractChecks::Run,
                              &serialFailure);
  const tw::ThreadPairRunner runner;
  tw::EngineFailure twoFailure;
  auto two = tw::runEngine(entries, manifest, cancel, limits, tw::EntryContractChecks::Run,
                           &twoFailure, &runner);
  if (serial.ok() != two.ok()) std::abort();
  if (serial.ok() ? !(serial.value() == two.value()) : serial.error() != two.error()) std::abort();
  if (!serial.ok() && !(serialFailure == twoFailure)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ByteSource in(data, size);
  std::vector<Entry> entries = buildEntries(in);
  const tw::RunManifest manifest = tw::testing::makeManifest("run-fuzz");
  std::atomic<bool> cancel{false};
  auto first = tw::runEngine(entries, manifest, cancel, tw::kSessionEngineLimits);
  checkTwoCores(entries, manifest, tw::kSessionEngineLimits);
  tw::EngineLimits small = tw::kSessionEngineLimits;
  small.maxGroups = in.next() % 8;
  small.maxProposals = in.next() % 12;
  small.maxCellWork = 1 + in.next() % 16;
  checkTwoCores(entries, manifest, small);

  // Another order: a rotation and a reversal driven by the next byte.
  std::vector<Entry> shuffled = entries;
  if (!shuffled.empty()) {
    std::rotate(shuffled.begin(), shuffled.begin() + (in.next() % shuffled.size()), shuffled.end());
    std::reverse(shuffled.begin(), shuffled.begin() + static_cast<long>(shuffled.size() / 2));
  }
  auto second = tw::runEngine(shuffled, manifest, cancel, tw::kSessionEngineLimits);
  if (first.ok() != second.ok()) std::abort();
  if (!first.ok()) return 0;
  if (!(first.value() == second.value())) std::abort();
  checkInvariants(entries, first.value());
  auto commitment = tw::commitResult(first.value());
  auto again = tw::commitResult(second.value());
  if (!commitment.ok() || !again.ok() || commitment.value() != again.value()) std::abort();
  return 0;
}
