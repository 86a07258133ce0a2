#include "contracts/record_checks.h"

#include <string>
#include <string_view>

#include "contracts/decode.h"
#include "contracts/entry_contract.h"
#include "contracts/formats.h"

namespace tw {

namespace {

using Check = Status<ContractError>;

constexpr size_t kMaxReasonCodes = 3;

Check invalid() {
  return fail(ContractError::InvalidContract);
}

Check identifier(std::string_view text) {
  return isIdentifier(text) ? Check::success() : invalid();
}

Check amount(std::string_view text) {
  if (auto value = parseAmount(text); !value) return fail(value.error());
  return Check::success();
}

Check ref(const Ref& origin) {
  if (auto fault = refFault(RefView(origin), nullptr)) return fail(fault->code);
  return Check::success();
}

// An enumerator outside its declaration has no text, which no decoder accepts.
template <class Enum, class FromText>
bool knownMember(Enum member, FromText fromText) {
  return fromText(toText(member)).has_value();
}

Check evidence(const Evidence& evidence) {
  if (auto s = identifier(evidence.ruleId); !s) return s;
  if (evidence.origins.empty() || evidence.origins.size() > kMaxOrigins) return invalid();
  for (size_t i = 0; i < evidence.origins.size(); ++i) {
    if (auto s = ref(evidence.origins[i]); !s) return s;
    if (i > 0 && !(evidence.origins[i - 1] < evidence.origins[i])) return invalid();
  }
  if (evidence.reasonCodes.empty() || evidence.reasonCodes.size() > kMaxReasonCodes) {
    return invalid();
  }
  for (size_t i = 0; i < evidence.reasonCodes.size(); ++i) {
    if (!knownMember(evidence.reasonCodes[i], reasonCodeFromText)) return invalid();
    if (i > 0 && !(toText(evidence.reasonCodes[i - 1]) < toText(evidence.reasonCodes[i]))) {
      return invalid();
    }
  }
  return Check::success();
}

Check allocation(const Allocation& allocation) {
  if (!knownMember(allocation.stage, allocationStageFromText)) return invalid();
  if (auto s = identifier(allocation.leftId); !s) return s;
  if (auto s = identifier(allocation.rightId); !s) return s;
  if (auto s = amount(allocation.cents); !s) return s;
  return evidence(allocation.evidence);
}

}  // namespace

Status<ContractError> checkEntryRecord(const Entry& entry) {
  if (auto fault = entryFault(entry, nullptr)) return fail(fault->code);
  return Check::success();
}

bool EntryContractRun::passes(const Entry& entry) {
  if (entryFault(entry, nullptr, lastPassed_)) return false;
  lastPassed_ = &entry;
  return true;
}

Status<ContractError> checkResultRecord(const ReconciliationResult& result) {
  if (auto s = identifier(result.runId); !s) return s;
  if (result.allocations.size() > kMaxAllocations) return invalid();
  for (const Allocation& item : result.allocations) {
    if (auto s = allocation(item); !s) return s;
  }
  if (result.pendingIds.size() > kMaxPendingIds) return invalid();
  for (const std::string& id : result.pendingIds) {
    if (auto s = identifier(id); !s) return s;
  }
  if (result.residuals.size() > kMaxResiduals) return invalid();
  for (const auto& [id, cents] : result.residuals) {
    if (auto s = identifier(id); !s) return s;
    if (auto s = amount(cents); !s) return s;
  }
  if (result.revision > kMaxSafeInteger) return fail(ContractError::OutOfRange);
  return Check::success();
}

Status<ContractError> ResultItemsCheck::enter(Part part, size_t most, size_t& count) {
  if (!failed_) return failed_;
  if (part < part_ || count >= most) {
    failed_ = invalid();
    return failed_;
  }
  part_ = part;
  ++count;
  return Check::success();
}

Status<ContractError> ResultItemsCheck::allocation(const Allocation& item) {
  if (auto s = enter(Part::Allocations, kMaxAllocations, allocations_); !s) return s;
  if (auto s = tw::allocation(item); !s) failed_ = s;
  return failed_;
}

Status<ContractError> ResultItemsCheck::pendingId(std::string_view id) {
  if (auto s = enter(Part::PendingIds, kMaxPendingIds, pendingIds_); !s) return s;
  if (auto s = identifier(id); !s) failed_ = s;
  return failed_;
}

Status<ContractError> ResultItemsCheck::residual(std::string_view id, std::string_view cents) {
  if (auto s = enter(Part::Residuals, kMaxResiduals, residuals_); !s) return s;
  if (auto s = identifier(id); !s) {
    failed_ = s;
  } else if (residuals_ > 1 && !(std::string_view(lastResidual_) < id)) {
    failed_ = invalid();
  } else if (auto a = amount(cents); !a) {
    failed_ = a;
  } else {
    lastResidual_.assign(id);
  }
  return failed_;
}

Status<ContractError> ResultItemsCheck::finish(uint64_t revision, std::string_view runId) {
  if (!failed_) return failed_;
  if (auto s = identifier(runId); !s) return s;
  if (revision > kMaxSafeInteger) return fail(ContractError::OutOfRange);
  return Check::success();
}

}  // namespace tw
