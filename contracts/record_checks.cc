#include "contracts/record_checks.h"

#include <string>
#include <string_view>

#include "contracts/decode.h"
#include "contracts/decode_common.h"
#include "contracts/formats.h"

namespace tw {

namespace {

using Check = Status<ContractError>;

constexpr size_t kMaxReferenceBytes = 512;
constexpr size_t kMaxDescriptionBytes = 512;
constexpr size_t kCompanyRootBytes = 8;
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

Check optionalFreeText(const std::optional<std::string>& text, size_t maxBytes) {
  if (text && !isFreeText(*text, maxBytes)) return invalid();
  return Check::success();
}

// A row is an unsigned 32-bit field, so the safe integer rule and its bound always hold.
Check ref(const Ref& origin) {
  if (auto s = identifier(origin.sourceId); !s) return s;
  if (auto s = identifier(origin.fileId); !s) return s;
  return optionalFreeText(origin.sheet, decode_detail::kMaxSheetBytes);
}

// An enumerator outside its declaration has no text, which no decoder accepts.
template <class Enum, class FromText>
bool knownMember(Enum member, FromText fromText) {
  return fromText(toText(member)).has_value();
}

Check component(const EntryComponent& part) {
  if (!knownMember(part.kind, componentKindFromText)) return invalid();
  if (auto s = amount(part.cents); !s) return s;
  return ref(part.origin);
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
  if (auto s = identifier(entry.id); !s) return s;
  if (!knownMember(entry.role, sourceRoleFromText)) return invalid();
  if (!isCompanyRoot(entry.root)) return invalid();
  if (!isEstablishmentCode(entry.establishment)) return invalid();
  if (entry.establishment.compare(0, kCompanyRootBytes, entry.root) != 0) return invalid();
  if (auto s = identifier(entry.accountId); !s) return s;
  if (!isDate(entry.date)) return fail(ContractError::InvalidDate);
  if (auto s = amount(entry.cents); !s) return s;
  if (auto s = optionalFreeText(entry.reference, kMaxReferenceBytes); !s) return s;
  if (auto s = optionalFreeText(entry.description, kMaxDescriptionBytes); !s) return s;
  if (auto s = ref(entry.origin); !s) return s;
  if (entry.components.size() > kMaxComponents) return invalid();
  for (const EntryComponent& part : entry.components) {
    if (auto s = component(part); !s) return s;
  }
  return Check::success();
}

namespace {

bool sameText(const std::optional<std::string>& a, const std::optional<std::string>& b) {
  return a.has_value() == b.has_value() && (!a || *a == *b);
}

// The origin passes, given that `known` passed.
bool originPasses(const Ref& origin, const Ref& known) {
  if (origin.sourceId != known.sourceId && !isIdentifier(origin.sourceId)) return false;
  if (origin.fileId != known.fileId && !isIdentifier(origin.fileId)) return false;
  return sameText(origin.sheet, known.sheet) ||
         optionalFreeText(origin.sheet, decode_detail::kMaxSheetBytes).ok();
}

}  // namespace

bool EntryContractRun::passes(const Entry& entry) {
  if (lastPassed_ == nullptr) {
    if (!checkEntryRecord(entry).ok()) return false;
    lastPassed_ = &entry;
    return true;
  }
  // The rules of checkEntryRecord, each left out where the text is the one that passed it.
  const Entry& known = *lastPassed_;
  if (!isIdentifier(entry.id)) return false;
  if (!knownMember(entry.role, sourceRoleFromText)) return false;
  if (entry.root != known.root && !isCompanyRoot(entry.root)) return false;
  if (entry.establishment != known.establishment || entry.root != known.root) {
    if (!isEstablishmentCode(entry.establishment)) return false;
    if (entry.establishment.compare(0, kCompanyRootBytes, entry.root) != 0) return false;
  }
  if (entry.accountId != known.accountId && !isIdentifier(entry.accountId)) return false;
  if (entry.date != known.date && !isDate(entry.date)) return false;
  if (!amount(entry.cents).ok()) return false;
  if (!optionalFreeText(entry.reference, kMaxReferenceBytes).ok()) return false;
  if (!optionalFreeText(entry.description, kMaxDescriptionBytes).ok()) return false;
  if (!originPasses(entry.origin, known.origin)) return false;
  if (entry.components.size() > kMaxComponents) return false;
  for (const EntryComponent& part : entry.components) {
    if (!knownMember(part.kind, componentKindFromText)) return false;
    if (!amount(part.cents).ok()) return false;
    const Ref& knownOrigin = known.components.empty() ? known.origin : known.components[0].origin;
    if (!originPasses(part.origin, knownOrigin)) return false;
  }
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

}  // namespace tw
