#include "contracts/source.h"

#include <array>
#include <utility>

namespace tw {

namespace {

constexpr std::array<std::string_view, 4> kSourceRoleTexts = {"erp", "sales", "settlement", "bank"};
constexpr std::array<std::string_view, 2> kComponentKindTexts = {"fee", "reversal"};
constexpr std::array<std::string_view, 3> kReasonCodeTexts = {
    "reference-match", "documented-composition", "review-approved"};
constexpr std::array<std::string_view, 3> kAllocationStageTexts = {"erp-bank", "sales-settlement",
                                                                   "settlement-bank"};

template <class Enum, size_t N>
std::optional<Enum> fromTextTable(const std::array<std::string_view, N>& texts,
                                  std::string_view text) {
  for (size_t i = 0; i < N; ++i) {
    if (texts[i] == text) return static_cast<Enum>(i);
  }
  return std::nullopt;
}

template <class Enum, size_t N>
std::string_view textOf(const std::array<std::string_view, N>& texts, Enum member) {
  const auto index = static_cast<size_t>(member);
  return index < N ? texts[index] : std::string_view{};
}

Json optionalText(const std::optional<std::string>& text) {
  return text ? Json(*text) : Json(nullptr);
}

}  // namespace

std::string_view toText(SourceRole role) {
  return textOf(kSourceRoleTexts, role);
}
std::string_view toText(EntryComponentKind kind) {
  return textOf(kComponentKindTexts, kind);
}
std::string_view toText(ReasonCode code) {
  return textOf(kReasonCodeTexts, code);
}
std::string_view toText(AllocationStage stage) {
  return textOf(kAllocationStageTexts, stage);
}

std::optional<SourceRole> sourceRoleFromText(std::string_view text) {
  return fromTextTable<SourceRole>(kSourceRoleTexts, text);
}
std::optional<EntryComponentKind> componentKindFromText(std::string_view text) {
  return fromTextTable<EntryComponentKind>(kComponentKindTexts, text);
}
std::optional<ReasonCode> reasonCodeFromText(std::string_view text) {
  return fromTextTable<ReasonCode>(kReasonCodeTexts, text);
}
std::optional<AllocationStage> allocationStageFromText(std::string_view text) {
  return fromTextTable<AllocationStage>(kAllocationStageTexts, text);
}

bool operator<(const Ref& a, const Ref& b) {
  return refOrderLess(a, b);
}

Json toJsonValue(SourceRole role) {
  return Json(toText(role));
}
Json toJsonValue(EntryComponentKind kind) {
  return Json(toText(kind));
}
Json toJsonValue(ReasonCode code) {
  return Json(toText(code));
}
Json toJsonValue(AllocationStage stage) {
  return Json(toText(stage));
}

Json toJsonValue(const Ref& ref) {
  JsonObject object;
  object.emplace("sourceId", ref.sourceId);
  object.emplace("fileId", ref.fileId);
  object.emplace("sheet", optionalText(ref.sheet));
  object.emplace("row", Json(uint64_t{ref.row}));
  return Json(std::move(object));
}

Json toJsonValue(const EntryComponent& component) {
  JsonObject object;
  object.emplace("kind", toJsonValue(component.kind));
  object.emplace("cents", component.cents);
  object.emplace("origin", toJsonValue(component.origin));
  return Json(std::move(object));
}

Json toJsonValue(const Entry& entry) {
  JsonObject object;
  object.emplace("id", entry.id);
  object.emplace("role", toJsonValue(entry.role));
  object.emplace("root", entry.root);
  object.emplace("establishment", entry.establishment);
  object.emplace("accountId", entry.accountId);
  object.emplace("date", entry.date);
  object.emplace("cents", entry.cents);
  object.emplace("reference", optionalText(entry.reference));
  if (entry.description) object.emplace("description", *entry.description);
  object.emplace("origin", toJsonValue(entry.origin));
  JsonArray components;
  components.reserve(entry.components.size());
  for (const EntryComponent& component : entry.components) {
    components.push_back(toJsonValue(component));
  }
  object.emplace("components", std::move(components));
  return Json(std::move(object));
}

Json toJsonValue(const RunWindow& window) {
  JsonObject object;
  object.emplace("from", window.from);
  object.emplace("to", window.to);
  return Json(std::move(object));
}

Json toJsonValue(const InputDigest& digest) {
  JsonObject object;
  object.emplace("sourceId", digest.sourceId);
  object.emplace("fileId", digest.fileId);
  object.emplace("sha256", digest.sha256);
  return Json(std::move(object));
}

Json toJsonValue(const RunManifest& manifest) {
  JsonObject object;
  object.emplace("version", Json(uint64_t{manifest.version}));
  object.emplace("runId", manifest.runId);
  object.emplace("root", manifest.root);
  object.emplace("window", manifest.window ? toJsonValue(*manifest.window) : Json(nullptr));
  JsonArray digests;
  digests.reserve(manifest.inputDigests.size());
  for (const InputDigest& digest : manifest.inputDigests) digests.push_back(toJsonValue(digest));
  object.emplace("inputDigests", std::move(digests));
  object.emplace("mappingVersion", manifest.mappingVersion);
  object.emplace("ruleVersion", manifest.ruleVersion);
  object.emplace("engineVersion", manifest.engineVersion);
  return Json(std::move(object));
}

Json toJsonValue(const Evidence& evidence) {
  JsonObject object;
  object.emplace("ruleId", evidence.ruleId);
  JsonArray origins;
  origins.reserve(evidence.origins.size());
  for (const Ref& origin : evidence.origins) origins.push_back(toJsonValue(origin));
  object.emplace("origins", std::move(origins));
  JsonArray reasons;
  reasons.reserve(evidence.reasonCodes.size());
  for (ReasonCode code : evidence.reasonCodes) reasons.push_back(toJsonValue(code));
  object.emplace("reasonCodes", std::move(reasons));
  return Json(std::move(object));
}

Json toJsonValue(const Allocation& allocation) {
  JsonObject object;
  object.emplace("stage", toJsonValue(allocation.stage));
  object.emplace("leftId", allocation.leftId);
  object.emplace("rightId", allocation.rightId);
  object.emplace("cents", allocation.cents);
  object.emplace("evidence", toJsonValue(allocation.evidence));
  return Json(std::move(object));
}

Json toJsonValue(const ReconciliationResult& result) {
  JsonObject object;
  object.emplace("runId", result.runId);
  JsonArray allocations;
  allocations.reserve(result.allocations.size());
  for (const Allocation& allocation : result.allocations) {
    allocations.push_back(toJsonValue(allocation));
  }
  object.emplace("allocations", std::move(allocations));
  JsonArray pending;
  pending.reserve(result.pendingIds.size());
  for (const std::string& id : result.pendingIds) pending.emplace_back(id);
  object.emplace("pendingIds", std::move(pending));
  // The residual map is already in key order: every insertion goes at the end.
  JsonObject residuals;
  for (const auto& [id, cents] : result.residuals)
    residuals.emplace_hint(residuals.end(), id, cents);
  object.emplace("residuals", std::move(residuals));
  object.emplace("revision", Json(result.revision));
  return Json(std::move(object));
}

}  // namespace tw
