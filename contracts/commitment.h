// Canonical result text and result commitment.
//
// The commitment is SHA-256 over the 36-byte schema tag, one 0x00 byte and the canonical JSON
// text of the validated result, written as 64 lower-case hex digits.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "contracts/contract_error.h"
#include "contracts/json.h"
#include "contracts/record_text.h"
#include "contracts/result.h"
#include "contracts/source.h"

namespace tw {

inline constexpr std::string_view kResultSchemaTag = "tallywarden.reconciliation-result.v1";

// Normalises numbers (non-negative integers up to 2^53-1 only; integral floats become
// integers) and writes the value compactly with members in name order. OutOfRange for numbers
// above 2^53-1, InvalidContract for negative, fractional or non-finite numbers.
Result<std::string, ContractError> canonicalJsonText(const Json& value);

// Round-trips the result through toJsonValue and decodeReconciliationResult, then hashes the
// canonical text of the survivor. The first contract violation is the error.
Result<std::string, ContractError> commitResult(const ReconciliationResult& result);

// commitResult for a result that has already passed checkResultRecord: the same digits, without
// checking it again. Fails only when the digest routine itself fails.
Result<std::string, ContractError> commitCheckedResult(const ReconciliationResult& result);

namespace detail {
class CommitmentHash;
}

// The commitment of a result that has passed checkResultRecord, hashed from the texts of its items
// as they are written elsewhere, so that a caller that writes them anyway (the result's pages)
// does not write the canonical text a second time. Items come in the result's order: every
// allocation as appendRecordJson writes it, then every pending identifier as appendJsonString
// writes it, then every residual as its member text (identifier and amount, each as
// appendJsonString writes it, joined by ':'). finish gives the digits commitCheckedResult gives
// for that result; an item out of that order makes it fail with InvalidContract, as does a
// failure of the digest routine.
class ResultCommitment {
 public:
  ResultCommitment();
  ~ResultCommitment();
  ResultCommitment(const ResultCommitment&) = delete;
  ResultCommitment& operator=(const ResultCommitment&) = delete;

  void addAllocation(std::string_view allocationText);
  void addPendingId(std::string_view idText);
  void addResidual(std::string_view memberText);
  Result<std::string, ContractError> finish(uint64_t revision, std::string_view runId);

 private:
  void drainIfFull();

  std::unique_ptr<detail::CommitmentHash> hash_;
  std::string text_;              // written but not yet hashed
  CanonicalResultWriter writer_;  // writes into text_
};

}  // namespace tw
