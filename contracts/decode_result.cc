// decodeReconciliationResult: the result, its allocations and their evidence.
#include <utility>

#include "contracts/decode.h"
#include "contracts/decode_common.h"
#include "contracts/formats.h"

namespace tw {

using namespace decode_detail;

namespace {

constexpr std::array<std::string_view, 5> kResultKeys = {"allocations", "pendingIds", "residuals",
                                                         "revision", "runId"};
static_assert(isSortedKeyList(kResultKeys));
constexpr std::array<std::string_view, 5> kAllocationKeys = {"cents", "evidence", "leftId",
                                                             "rightId", "stage"};
static_assert(isSortedKeyList(kAllocationKeys));
constexpr std::array<std::string_view, 3> kEvidenceKeys = {"origins", "reasonCodes", "ruleId"};
static_assert(isSortedKeyList(kEvidenceKeys));

constexpr size_t kMaxReasonCodes = 3;

Check invalid() {
  return fail(ContractError::InvalidContract);
}

Check checkEvidence(const Json& value) {
  if (!value.isObject()) return invalid();
  const JsonObject& object = value.asObject();
  if (auto s = checkDeclaredKeys(object, kEvidenceKeys); !s) return s;
  if (object.size() != kEvidenceKeys.size()) return invalid();  // declared keys only, so all
  if (auto s = checkIdentifier(member(object, "ruleId")); !s) return s;

  const Json* origins = member(object, "origins");
  if (!origins->isArray()) return invalid();
  const JsonArray& originList = origins->asArray();
  if (originList.empty() || originList.size() > kMaxOrigins) return invalid();
  RefKey previous;
  for (size_t i = 0; i < originList.size(); ++i) {
    RefKey current;
    if (auto s = checkRef(&originList[i], &current); !s) return s;
    if (i > 0 && !(previous < current)) return invalid();
    previous = current;
  }

  const Json* reasons = member(object, "reasonCodes");
  if (!reasons->isArray()) return invalid();
  const JsonArray& reasonList = reasons->asArray();
  if (reasonList.empty() || reasonList.size() > kMaxReasonCodes) return invalid();
  const std::string* previousReason = nullptr;
  for (const Json& reason : reasonList) {
    if (!reason.isString() || !reasonCodeFromText(reason.asString())) return invalid();
    if (previousReason != nullptr && !(*previousReason < reason.asString())) return invalid();
    previousReason = &reason.asString();
  }
  return Check::success();
}

Check checkAllocation(const Json& value) {
  if (!value.isObject()) return invalid();
  const JsonObject& object = value.asObject();
  if (auto s = checkDeclaredKeys(object, kAllocationKeys); !s) return s;
  if (object.size() != kAllocationKeys.size()) return invalid();  // declared keys only, so all
  const Json* stage = member(object, "stage");
  if (!stage->isString() || !allocationStageFromText(stage->asString())) return invalid();
  if (auto s = checkIdentifier(member(object, "leftId")); !s) return s;
  if (auto s = checkIdentifier(member(object, "rightId")); !s) return s;
  if (auto s = checkAmount(member(object, "cents")); !s) return s;
  return checkEvidence(*member(object, "evidence"));
}

// Phase 1: every rule of the result in its fixed order; the first violation decides. Each size
// bound is tested before any element of its list or map.
Check validateResult(const Json& value) {
  if (!value.isObject()) return invalid();
  const JsonObject& object = value.asObject();
  if (auto s = checkDeclaredKeys(object, kResultKeys); !s) return s;
  if (object.size() != kResultKeys.size()) return invalid();  // declared keys only, so all
  if (auto s = checkIdentifier(member(object, "runId")); !s) return s;

  const Json* allocations = member(object, "allocations");
  if (!allocations->isArray() || allocations->asArray().size() > kMaxAllocations) {
    return invalid();
  }
  for (const Json& allocation : allocations->asArray()) {
    if (auto s = checkAllocation(allocation); !s) return s;
  }

  const Json* pending = member(object, "pendingIds");
  if (!pending->isArray() || pending->asArray().size() > kMaxPendingIds) return invalid();
  for (const Json& id : pending->asArray()) {
    if (auto s = checkIdentifier(&id); !s) return s;
  }

  const Json* residuals = member(object, "residuals");
  if (!residuals->isObject() || residuals->asObject().size() > kMaxResiduals) return invalid();
  for (const auto& [id, cents] : residuals->asObject()) {
    if (!isIdentifier(id)) return invalid();
    if (auto s = checkAmount(&cents); !s) return s;
  }

  auto revision = safeIntegerValue(*member(object, "revision"));
  if (!revision) return fail(revision.error());
  return Check::success();
}

Evidence takeEvidence(Phase2& phase2, Json* value) {
  Evidence evidence;
  JsonObject* object = phase2.object(value, kEvidenceKeys);
  if (object == nullptr) return evidence;
  evidence.ruleId = phase2.takeString(*object, "ruleId");
  Json* origins = phase2.member(*object, "origins");
  Json* reasons = phase2.member(*object, "reasonCodes");
  if (origins == nullptr || reasons == nullptr) return evidence;
  if (!origins->isArray() || !reasons->isArray()) {
    phase2.fail("expected a JSON array");
    return evidence;
  }
  evidence.origins.reserve(origins->asArray().size());
  for (Json& origin : origins->asArray()) evidence.origins.push_back(phase2.takeRef(&origin));
  evidence.reasonCodes.reserve(reasons->asArray().size());
  for (const Json& reason : reasons->asArray()) {
    auto code = reason.isString() ? reasonCodeFromText(reason.asString()) : std::nullopt;
    if (!code) {
      phase2.fail("not a reason code");
      return evidence;
    }
    evidence.reasonCodes.push_back(*code);
  }
  return evidence;
}

Allocation takeAllocation(Phase2& phase2, Json& value) {
  Allocation allocation;
  JsonObject* object = phase2.object(&value, kAllocationKeys);
  if (object == nullptr) return allocation;
  const Json* stage = phase2.member(*object, "stage");
  auto stageValue = stage != nullptr && stage->isString()
                        ? allocationStageFromText(stage->asString())
                        : std::nullopt;
  if (stageValue) {
    allocation.stage = *stageValue;
  } else {
    phase2.fail("not an allocation stage");
  }
  allocation.leftId = phase2.takeString(*object, "leftId");
  allocation.rightId = phase2.takeString(*object, "rightId");
  allocation.cents = phase2.takeString(*object, "cents");
  allocation.evidence = takeEvidence(phase2, phase2.member(*object, "evidence"));
  return allocation;
}

// Phase 2: moves the texts of an accepted value into the record.
ReconciliationResult takeResult(Phase2& phase2, Json& value) {
  ReconciliationResult result;
  JsonObject* object = phase2.object(&value, kResultKeys);
  if (object == nullptr) return result;
  result.runId = phase2.takeString(*object, "runId");
  result.revision = phase2.safeInteger(*object, "revision");

  Json* allocations = phase2.member(*object, "allocations");
  Json* pending = phase2.member(*object, "pendingIds");
  Json* residuals = phase2.member(*object, "residuals");
  if (allocations == nullptr || pending == nullptr || residuals == nullptr) return result;
  if (!allocations->isArray() || !pending->isArray() || !residuals->isObject()) {
    phase2.fail("expected a JSON array or object");
    return result;
  }
  result.allocations.reserve(allocations->asArray().size());
  for (Json& allocation : allocations->asArray()) {
    result.allocations.push_back(takeAllocation(phase2, allocation));
    if (!phase2.ok()) return result;
  }
  result.pendingIds.reserve(pending->asArray().size());
  for (Json& id : pending->asArray()) {
    if (!id.isString()) {
      phase2.fail("expected a JSON string");
      return result;
    }
    result.pendingIds.push_back(std::move(id.asString()));
  }
  // Keys leave the JSON map as nodes, so neither keys nor values are copied; the residual map
  // receives them in ascending order and appends each at its end.
  JsonObject& residualObject = residuals->asObject();
  while (!residualObject.empty()) {
    auto node = residualObject.extract(residualObject.begin());
    if (!node.mapped().isString()) {
      phase2.fail("expected a JSON string");
      return result;
    }
    result.residuals.emplace_hint(result.residuals.end(), std::move(node.key()),
                                  std::move(node.mapped().asString()));
  }
  return result;
}

}  // namespace

Result<ReconciliationResult, ContractError> decodeReconciliationResult(Json value) {
  if (auto s = validateResult(value); !s) return fail(s.error());
  Phase2 phase2;
  ReconciliationResult result = takeResult(phase2, value);
  if (!phase2.ok()) return fail(phase2.code());
  return result;
}

}  // namespace tw
