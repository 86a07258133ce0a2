// Strict decoding of contract records from JSON values.
//
// Each decoder consumes its value, applies every rule of the record in a fixed order and reports
// the first violation as one ContractError; otherwise it gives the record. An entry is first
// taken into its record with the shape of its members noted, and the entry contract's rules
// (contracts/entry_contract.h) then judge both at once; a manifest and a result are validated
// first and converted after. Sizes of lists and maps are checked before their elements are
// examined. On failure there is no partial record.
#pragma once

#include "contracts/contract_detail.h"
#include "contracts/contract_error.h"
#include "contracts/entry_contract.h"
#include "contracts/json.h"
#include "contracts/result.h"
#include "contracts/source.h"

namespace tw {

inline constexpr size_t kMaxInputDigests = 1024;
inline constexpr size_t kMaxOrigins = 64;
inline constexpr size_t kMaxAllocations = 1000000;
inline constexpr size_t kMaxPendingIds = 200000;
inline constexpr size_t kMaxResiduals = 200000;
inline constexpr uint64_t kMaxSafeInteger = 9007199254740991ULL;  // 2^53 - 1

Result<Entry, ContractError> decodeEntry(Json value);
Result<RunManifest, ContractError> decodeRunManifest(Json value);
Result<ReconciliationResult, ContractError> decodeReconciliationResult(Json value);

// The same decoders, filling in `detail` (when not null) on failure with the member that
// decided the code and what is wrong with it. The code is the same as without it.
Result<Entry, ContractError> decodeEntry(Json value, ContractDetail* detail);
Result<RunManifest, ContractError> decodeRunManifest(Json value, ContractDetail* detail);

// Holds an entry built in memory to the same contract as one received: both records go through
// their JSON form and decoder again; then a bank entry must be dated inside the manifest's
// window, when there is one (both ends inclusive).
Status<ContractError> checkEntryAgainstManifest(const Entry& entry, const RunManifest& manifest);

}  // namespace tw
