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

bool sameText(const std::optional<std::string>& a, const std::optional<std::string>& b) {
  return a.has_value() == b.has_value() && (!a || *a == *b);
}

// A row is an unsigned 32-bit field, so the safe integer rule and its bound always hold.
// `passed`, when given, is an origin that passed these rules: a text equal to its own is not
// checked again.
Check ref(const Ref& origin, const Ref* passed = nullptr) {
  if (passed == nullptr || origin.sourceId != passed->sourceId) {
    if (auto s = identifier(origin.sourceId); !s) return s;
  }
  if (passed == nullptr || origin.fileId != passed->fileId) {
    if (auto s = identifier(origin.fileId); !s) return s;
  }
  if (passed != nullptr && sameText(origin.sheet, passed->sheet)) return Check::success();
  return optionalFreeText(origin.sheet, decode_detail::kMaxSheetBytes);
}

// An enumerator outside its declaration has no text, which no decoder accepts.
template <class Enum, class FromText>
bool knownMember(Enum member, FromText fromText) {
  return fromText(toText(member)).has_value();
}

Check component(const EntryComponent& part, const Ref* passedOrigin) {
  if (!knownMember(part.kind, componentKindFromText)) return invalid();
  if (auto s = amount(part.cents); !s) return s;
  return ref(part.origin, passedOrigin);
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

namespace {

// The entry rules in decoding order. `passed`, when given, is an entry that passed them all: a
// rule on a text equal to the text in the same place of `passed` is not applied again, which
// leaves the first failure the same.
Check entryRules(const Entry& entry, const Entry* passed) {
  auto same = [passed](auto member, const Entry& e) {
    return passed != nullptr && e.*member == passed->*member;
  };
  if (auto s = identifier(entry.id); !s) return s;
  if (!knownMember(entry.role, sourceRoleFromText)) return invalid();
  if (!same(&Entry::root, entry) && !isCompanyRoot(entry.root)) return invalid();
  if (!same(&Entry::establishment, entry) || !same(&Entry::root, entry)) {
    if (!isEstablishmentCode(entry.establishment)) return invalid();
    if (entry.establishment.compare(0, kCompanyRootBytes, entry.root) != 0) return invalid();
  }
  if (!same(&Entry::accountId, entry)) {
    if (auto s = identifier(entry.accountId); !s) return s;
  }
  if (!same(&Entry::date, entry) && !isDate(entry.date)) return fail(ContractError::InvalidDate);
  if (auto s = amount(entry.cents); !s) return s;
  if (auto s = optionalFreeText(entry.reference, kMaxReferenceBytes); !s) return s;
  if (auto s = optionalFreeText(entry.description, kMaxDescriptionBytes); !s) return s;
  if (auto s = ref(entry.origin, passed != nullptr ? &passed->origin : nullptr); !s) return s;
  if (entry.components.size() > kMaxComponents) return invalid();
  // A component's origin is held against the first component's origin of `passed`, or against
  // its own origin when it has none: an entry's parts come from a few files.
  const Ref* passedComponentOrigin = passed == nullptr ? nullptr
                                     : passed->components.empty()
                                         ? &passed->origin
                                         : &passed->components.front().origin;
  for (const EntryComponent& part : entry.components) {
    if (auto s = component(part, passedComponentOrigin); !s) return s;
  }
  return Check::success();
}

}  // namespace

Status<ContractError> checkEntryRecord(const Entry& entry) {
  return entryRules(entry, nullptr);
}

bool EntryContractRun::passes(const Entry& entry) {
  if (!entryRules(entry, lastPassed_).ok()) return false;
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
