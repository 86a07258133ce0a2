// The matching engine: one run turns the validated entries and manifest of a session into one
// ReconciliationResult, or fails with one code and no partial result.
//
// The engine reads its inputs only, shares nothing with other threads but the cancel flag (read
// with a load at its cancellation points), and is deterministic: the same set of entries gives
// the same result whatever their order.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "contracts/contract_error.h"
#include "contracts/result.h"
#include "contracts/source.h"

namespace tw {

// Engine failure codes. They share one numeric space with ContractError, whose codes the engine
// passes on unchanged, under the same numbers, when a contract check fails.
enum class EngineError : uint8_t {
  InvalidAmount = static_cast<uint8_t>(ContractError::InvalidAmount),
  InvalidDate = static_cast<uint8_t>(ContractError::InvalidDate),
  OutsideWindow = static_cast<uint8_t>(ContractError::OutsideWindow),
  OutOfRange = static_cast<uint8_t>(ContractError::OutOfRange),
  AmountOverflow = 4,  // a signed 128-bit cents sum or difference overflows
  InvalidContract = static_cast<uint8_t>(ContractError::InvalidContract),
  UnknownField = static_cast<uint8_t>(ContractError::UnknownField),
  InconsistentInput = 7,     // an engine consistency rule fails
  LimitExceeded = 8,         // a bound of EngineLimits, or the 64-origin bound, is exceeded
  Cancelled = 9,             // the cancel flag was seen at a cancellation point
  InsufficientBalance = 12,  // an allocation is not positive or exceeds an open balance
};

// The contract code an engine code passes on; nullopt for the engine's own codes. (A switch
// over every enumerator: the compiler refuses two codes under one number.)
constexpr std::optional<ContractError> toContract(EngineError code) {
  switch (code) {
    case EngineError::InvalidAmount:
      return ContractError::InvalidAmount;
    case EngineError::InvalidDate:
      return ContractError::InvalidDate;
    case EngineError::OutsideWindow:
      return ContractError::OutsideWindow;
    case EngineError::OutOfRange:
      return ContractError::OutOfRange;
    case EngineError::InvalidContract:
      return ContractError::InvalidContract;
    case EngineError::UnknownField:
      return ContractError::UnknownField;
    case EngineError::AmountOverflow:
    case EngineError::InconsistentInput:
    case EngineError::LimitExceeded:
    case EngineError::Cancelled:
    case EngineError::InsufficientBalance:
      return std::nullopt;
  }
  return std::nullopt;
}

// A contract code passed on by the engine, under its own number.
constexpr EngineError fromContract(ContractError code) {
  return static_cast<EngineError>(static_cast<uint8_t>(code));
}

// Every contract code is an engine code of the same number that maps back to it.
constexpr bool contractCodesTied() {
  for (const ContractError code : kContractErrors) {
    if (toContract(fromContract(code)) != code) return false;
  }
  return true;
}
static_assert(contractCodesTied());

std::string_view engineErrorName(EngineError code);

struct EngineLimits {
  size_t maxEntries = 10000;
  size_t maxGroups = 20000;
  size_t maxProposals = 20000;
  size_t maxCellSide = 256;
  size_t maxCellWork = 1024;  // pairs per reference/composition cell; search steps per cell
  bool allocateExact = true;
  bool holdForReview = true;
  bool dateRules = true;
};

// The values every session run uses.
inline constexpr EngineLimits kSessionEngineLimits{};

// Whether the run checks each entry against the record contract (checkEntryRecord). A caller
// that has already checked every entry with the same rules and the same first failure (as
// decoding an entry does) may pass AlreadyPassed: the run then leaves out only that per-entry
// check, and makes every other check (window, root, declared origins, repeated identifiers,
// components, amounts, limits) in the same order, so a result or a code can only differ if an
// entry would in fact have failed its contract check.
enum class EntryContractChecks : uint8_t { Run, AlreadyPassed };

struct EngineFailure;  // engine/failure.h
class PairRunner;      // engine/parallel.h

Result<ReconciliationResult, EngineError> runEngine(const std::vector<Entry>& entries,
                                                    const RunManifest& manifest,
                                                    const std::atomic<bool>& cancel,
                                                    const EngineLimits& limits);

// The same run, with the entry contract checks made or left out as `contractChecks` says. A
// failed run fills in `failure`, when given, with what it knows of the cause (engine/failure.h);
// the result and the code are the same with or without it. With `runner` given, independent
// parts of the run are handed to it to run at once; the result, the code and the failure record
// are the same as without it.
Result<ReconciliationResult, EngineError> runEngine(
    const std::vector<Entry>& entries, const RunManifest& manifest, const std::atomic<bool>& cancel,
    const EngineLimits& limits, EntryContractChecks contractChecks,
    EngineFailure* failure = nullptr, const PairRunner* runner = nullptr);

class PositionalResult;  // engine/assembly.h

// The same run with its result left by entry position (engine/assembly.h): the same code and
// failure record, and items whose texts are the bytes of the records runEngine returns.
Result<PositionalResult, EngineError> runEnginePositional(
    const std::vector<Entry>& entries, const RunManifest& manifest, const std::atomic<bool>& cancel,
    const EngineLimits& limits, EntryContractChecks contractChecks,
    EngineFailure* failure = nullptr, const PairRunner* runner = nullptr);

}  // namespace tw
