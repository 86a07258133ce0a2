// The run driver: re-checks the manifest and every entry, orders the entries by identifier,
// generates and resolves the match groups, opens the balances, allocates or holds each group and
// assembles the result. The first failure ends the run with its code and no partial result.
#include "engine/engine.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

#include "contracts/decode.h"
#include "contracts/formats.h"
#include "contracts/record_checks.h"
#include "engine/assembly.h"
#include "engine/costing.h"
#include "engine/failure.h"
#include "engine/matching/candidates.h"
#include "engine/open_balances.h"
#include "engine/parallel.h"
#include "engine/resolution.h"
#include "engine/review.h"
#include "engine/run_entries.h"
#include "engine/stages.h"

namespace tw {
namespace {

// The declared (source, file) pairs, sorted, and the last one found: entries come from a few
// files, so most origins repeat the one before.
class DigestPairs {
 public:
  explicit DigestPairs(const RunManifest& manifest) {
    pairs_.reserve(manifest.inputDigests.size());
    for (const InputDigest& digest : manifest.inputDigests) {
      pairs_.emplace_back(digest.sourceId, digest.fileId);
    }
    std::sort(pairs_.begin(), pairs_.end());
  }
  DigestPairs(const DigestPairs&) = delete;
  DigestPairs& operator=(const DigestPairs&) = delete;

  bool declares(const Ref& origin) {
    const Pair pair(origin.sourceId, origin.fileId);
    if (last_ != nullptr && *last_ == pair) return true;
    const auto it = std::lower_bound(pairs_.begin(), pairs_.end(), pair);
    if (it == pairs_.end() || *it != pair) return false;
    last_ = &*it;
    return true;
  }

 private:
  using Pair = std::pair<std::string_view, std::string_view>;
  std::vector<Pair> pairs_;
  const Pair* last_ = nullptr;
};

// The entry held to the contract against a manifest that has already been re-checked: the
// entry is checked as its JSON form would be decoded (checkEntryRecord reports the same first
// code without building that form), then a bank entry must lie inside the window. Decoding the
// unchanged manifest once per entry could only repeat the run's own manifest check, so it is
// done once per run instead; the codes are the same.
// With EntryContractChecks::AlreadyPassed the caller has established what checkEntryRecord
// reports (success) for every entry, so only that call is left out.
Status<EngineError> checkEntryAgainstCheckedManifest(const Entry& entry,
                                                     const RunManifest& manifest,
                                                     EntryContractChecks contractChecks) {
  if (contractChecks == EntryContractChecks::Run) {
    if (auto checked = checkEntryRecord(entry); !checked) {
      return fail(fromContract(checked.error()));
    }
  }
  if (manifest.window && entry.role == SourceRole::Bank) {
    if (entry.date < manifest.window->from || entry.date > manifest.window->to) {
      return fail(EngineError::OutsideWindow);
    }
  }
  return {};
}

// Checks one entry in input order. `repeatsIdentifier` tells that an earlier entry has the same
// identifier; it is reported where filing the entry under its identifier would fail, after the
// root and origin checks. A failure names the rule it broke in `rule`.
Status<EngineError> checkEntry(const Entry& entry, const RunManifest& manifest,
                               DigestPairs& digests, EntryContractChecks contractChecks,
                               bool repeatsIdentifier, std::string_view& rule) {
  auto broken = [&rule](EngineError code, std::string_view what) {
    rule = what;
    return fail(code);
  };
  if (auto status = checkEntryAgainstCheckedManifest(entry, manifest, contractChecks); !status) {
    return broken(status.error(), status.error() == EngineError::OutsideWindow
                                      ? "a bank entry's date lies outside the run window"
                                      : "the entry fails the entry contract");
  }
  if (entry.root != manifest.root) {
    return broken(EngineError::InconsistentInput, "the entry's root differs from the manifest's");
  }
  if (!digests.declares(entry.origin)) {
    return broken(EngineError::InconsistentInput,
                  "the entry's origin (sourceId, fileId) is not among the manifest's inputDigests");
  }
  if (repeatsIdentifier) {
    return broken(EngineError::InconsistentInput, "the entry repeats an earlier entry's id");
  }
  if (entry.role != SourceRole::Sales && !entry.components.empty()) {
    return broken(EngineError::InconsistentInput, "only a sales entry may have components");
  }
  for (const EntryComponent& component : entry.components) {
    if (!digests.declares(component.origin)) {
      return broken(EngineError::InconsistentInput,
                    "a component's origin (sourceId, fileId) is not among the manifest's "
                    "inputDigests");
    }
    auto cents = parseAmount(component.cents);
    if (!cents) return broken(fromContract(cents.error()), "a component's cents do not convert");
    if (*cents >= 0) {
      return broken(EngineError::InconsistentInput, "a component's cents must be below zero");
    }
  }
  return {};
}

Result<OpenBalances, EngineError> openBalances(const RunEntries& entries,
                                               const std::atomic<bool>& cancel,
                                               EngineFailure* failure) {
  OpenBalances balances(entries.size());
  for (EntryPos pos = 0; pos < entries.size(); ++pos) {
    if (auto status = cancellationPoint(cancel); !status) return fail(status.error());
    for (const AllocationStage stage : stagesOfRole(entries[pos].role)) {
      auto amount = entries.stageAmount(pos, stage);
      if (!amount) return fail(noteAmountFailure(failure, amount.error(), entries, pos));
      balances.set(stage, pos, *amount);
    }
  }
  return balances;
}

}  // namespace

std::string_view engineErrorName(EngineError code) {
  switch (code) {
    case EngineError::InvalidAmount:
    case EngineError::InvalidDate:
    case EngineError::OutsideWindow:
    case EngineError::OutOfRange:
    case EngineError::InvalidContract:
    case EngineError::UnknownField:
      return contractErrorName(static_cast<ContractError>(code));
    case EngineError::AmountOverflow:
      return "AmountOverflow";
    case EngineError::InconsistentInput:
      return "InconsistentInput";
    case EngineError::LimitExceeded:
      return "LimitExceeded";
    case EngineError::Cancelled:
      return "Cancelled";
    case EngineError::InsufficientBalance:
      return "InsufficientBalance";
  }
  return "InconsistentInput";  // not reachable for a valid enumerator
}

Result<ReconciliationResult, EngineError> runEngine(const std::vector<Entry>& entries,
                                                    const RunManifest& manifest,
                                                    const std::atomic<bool>& cancel,
                                                    const EngineLimits& limits) {
  return runEngine(entries, manifest, cancel, limits, EntryContractChecks::Run);
}

namespace {

// The run's path. `review`, when given, is filled in at two points and changes nothing else.
Result<PositionalResult, EngineError> runPositional(
    const std::vector<Entry>& entries, const RunManifest& manifest, const std::atomic<bool>& cancel,
    const EngineLimits& limits, EntryContractChecks contractChecks, EngineFailure* failure,
    const PairRunner* runner, EngineReview* review) {
  // Every failure leaves through here, with the code the run would return anyway.
  auto failed = [failure](EngineError code) {
    if (failure != nullptr) failure->code = code;
    return fail(code);
  };
  if (auto status = cancellationPoint(cancel); !status) return failed(status.error());

  if (auto checked = decodeRunManifest(toJsonValue(manifest)); !checked) {
    if (failure != nullptr) failure->rule = "the manifest fails the manifest contract";
    return failed(fromContract(checked.error()));
  }

  // Entries are named by 32-bit positions; no run that fits in memory comes near that bound.
  if (entries.size() > limits.maxEntries || entries.size() > UINT32_MAX) {
    noteBound(failure, EngineBound::Entries, entries.size(), limits.maxEntries);
    return failed(EngineError::LimitExceeded);
  }

  DigestPairs digests(manifest);
  // The identifier order, and the checks of every entry but the repeat check, beside the facts
  // of every entry. Sorting once finds the first entry whose identifier repeats an earlier one,
  // which is where filing the entries one by one under their identifiers would fail.
  IdentifierOrder order;
  uint32_t firstRefused = static_cast<uint32_t>(entries.size());
  bool cancelled = false;
  RunEntries::Builder builder(entries.size());
  runBoth(
      runner,
      [&] {
        order = orderByIdentifier(entries);
        for (uint32_t pos = 0; pos < entries.size(); ++pos) {
          if (!cancellationPoint(cancel)) {
            cancelled = true;
            return;
          }
          std::string_view rule;
          if (!checkEntry(entries[pos], manifest, digests, contractChecks, false, rule)) {
            firstRefused = pos;
            return;
          }
        }
      },
      [&] {
        for (const Entry& entry : entries) builder.add(entry);
        builder.rankTexts();
      });
  if (cancelled) return failed(EngineError::Cancelled);
  // The serial check would stop at the first entry refused or repeating an earlier one.
  if (const uint32_t pos = std::min(firstRefused, order.firstRepeat.value_or(firstRefused));
      pos < entries.size()) {
    std::string_view rule;
    const auto status =
        checkEntry(entries[pos], manifest, digests, contractChecks, order.firstRepeat == pos, rule);
    if (failure != nullptr) {
      failure->entryIndex = pos;
      failure->entryIds = {entries[pos].id};
      failure->rule = rule;
    }
    return failed(status.error());
  }

  auto runEntries = builder.finish(order.positions);
  if (!runEntries) return failed(runEntries.error());

  auto collected = generateGroups(*runEntries, limits, cancel, failure, runner);
  if (!collected) return failed(collected.error());
  if (review != nullptr) noteCollectedGroups(*review, *collected);
  // Opening the balances reads the entries only; it fails into a record of its own, which is
  // the run's only when resolution has not failed before it.
  std::optional<Result<std::vector<MatchGroup>, EngineError>> groups;
  std::optional<Result<OpenBalances, EngineError>> balances;
  EngineFailure balanceFailure;
  runBoth(
      runner,
      [&] {
        groups.emplace(
            resolveGroups(std::move(collected).value(), *runEntries, limits, cancel, failure));
      },
      [&] {
        balances.emplace(
            openBalances(*runEntries, cancel, failure != nullptr ? &balanceFailure : nullptr));
      });
  if (!*groups) return failed(groups->error());
  if (!*balances) {
    if (failure != nullptr) {
      // What noteAmountFailure writes, the only note opening the balances makes.
      failure->entryIds = std::move(balanceFailure.entryIds);
      failure->rule = std::move(balanceFailure.rule);
    }
    return failed(balances->error());
  }

  RunAllocations allocations;
  ReviewHolds holds;
  std::vector<MatchGroup> kept = std::move(**groups);
  OpenBalances& open = **balances;
  if (auto status = processGroups(kept, open, *runEntries, cancel, allocations, holds, failure);
      !status) {
    return failed(status.error());
  }
  if (review != nullptr) noteKeptGroups(*review, kept, *runEntries);

  // The result depends only on what the pass above fixed. The groups are freed beside it, on
  // the thread that made most of them.
  std::optional<Result<PositionalResult, EngineError>> result;
  runBoth(
      runner,
      [&] {
        result.emplace(assemblePositional(std::move(*runEntries), open, std::move(allocations),
                                          holds, manifest, cancel));
      },
      [&] { std::vector<MatchGroup>().swap(kept); });
  if (!*result) {
    if (failure != nullptr && result->error() != EngineError::Cancelled) {
      failure->rule = "the assembled result fails the result contract";
    }
    return failed(result->error());
  }
  return std::move(*result);
}

}  // namespace

Result<PositionalResult, EngineError> runEnginePositional(
    const std::vector<Entry>& entries, const RunManifest& manifest, const std::atomic<bool>& cancel,
    const EngineLimits& limits, EntryContractChecks contractChecks, EngineFailure* failure,
    const PairRunner* runner) {
  return runPositional(entries, manifest, cancel, limits, contractChecks, failure, runner, nullptr);
}

Result<ReconciliationResult, EngineError> runEngine(
    const std::vector<Entry>& entries, const RunManifest& manifest, const std::atomic<bool>& cancel,
    const EngineLimits& limits, EntryContractChecks contractChecks, EngineFailure* failure,
    const PairRunner* runner) {
  auto result =
      runEnginePositional(entries, manifest, cancel, limits, contractChecks, failure, runner);
  if (!result) return fail(result.error());
  return result->toRecords(runner);
}

Result<ReconciliationResult, EngineError> runEngineWithReview(const std::vector<Entry>& entries,
                                                              const RunManifest& manifest,
                                                              const std::atomic<bool>& cancel,
                                                              const EngineLimits& limits,
                                                              EngineReview& review) {
  auto result = runPositional(entries, manifest, cancel, limits, EntryContractChecks::Run, nullptr,
                              nullptr, &review);
  if (!result) return fail(result.error());
  return result->toRecords(nullptr);
}

Status<EngineError> checkEntryForRun(const Entry& entry, const RunManifest& manifest,
                                     std::string_view& rule) {
  DigestPairs digests(manifest);
  return checkEntry(entry, manifest, digests, EntryContractChecks::AlreadyPassed, false, rule);
}

}  // namespace tw
