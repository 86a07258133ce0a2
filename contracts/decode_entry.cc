// decodeEntry: the ledger entry and its components.
#include <utility>

#include "contracts/decode.h"
#include "contracts/decode_common.h"
#include "contracts/formats.h"

namespace tw {

using namespace decode_detail;

namespace {

constexpr std::array<std::string_view, 11> kEntryKeys = {
    "accountId", "cents",  "components", "date", "description", "establishment",
    "id",        "origin", "reference",  "role", "root"};
static_assert(isSortedKeyList(kEntryKeys));
constexpr std::array<std::string_view, 3> kComponentKeys = {"cents", "kind", "origin"};
static_assert(isSortedKeyList(kComponentKeys));

constexpr size_t kMaxReferenceBytes = 512;
constexpr size_t kMaxDescriptionBytes = 512;
constexpr size_t kCompanyRootBytes = 8;

Check invalid() {
  return fail(ContractError::InvalidContract);
}

Check checkComponent(const Json& value) {
  if (!value.isObject()) return invalid();
  const JsonObject& object = value.asObject();
  if (auto s = checkDeclaredKeys(object, kComponentKeys); !s) return s;
  const Json* kind = member(object, "kind");
  if (kind == nullptr || !kind->isString() || !componentKindFromText(kind->asString())) {
    return invalid();
  }
  if (auto s = checkAmount(member(object, "cents")); !s) return s;
  return checkRef(member(object, "origin"));
}

// Phase 1: every rule of the entry in its fixed order; the first violation decides.
Check validateEntry(const Json& value) {
  if (!value.isObject()) return invalid();
  const JsonObject& object = value.asObject();
  if (auto s = checkDeclaredKeys(object, kEntryKeys); !s) return s;
  if (auto s = checkIdentifier(member(object, "id")); !s) return s;
  const Json* role = member(object, "role");
  if (role == nullptr || !role->isString() || !sourceRoleFromText(role->asString())) {
    return invalid();
  }
  const Json* root = member(object, "root");
  if (root == nullptr || !root->isString() || !isCompanyRoot(root->asString())) return invalid();
  const Json* establishment = member(object, "establishment");
  if (establishment == nullptr || !establishment->isString() ||
      !isEstablishmentCode(establishment->asString())) {
    return invalid();
  }
  if (establishment->asString().compare(0, kCompanyRootBytes, root->asString()) != 0) {
    return invalid();
  }
  if (auto s = checkIdentifier(member(object, "accountId")); !s) return s;
  if (auto s = checkDate(member(object, "date")); !s) return s;
  if (auto s = checkAmount(member(object, "cents")); !s) return s;
  if (auto s = checkNullOrFreeText(member(object, "reference"), kMaxReferenceBytes); !s) return s;
  if (const Json* description = member(object, "description"); description != nullptr) {
    if (auto s = checkNullOrFreeText(description, kMaxDescriptionBytes); !s) return s;
  }
  if (auto s = checkRef(member(object, "origin")); !s) return s;
  const Json* components = member(object, "components");
  if (components == nullptr || !components->isArray()) return invalid();
  if (components->asArray().size() > kMaxComponents) return invalid();
  for (const Json& component : components->asArray()) {
    if (auto s = checkComponent(component); !s) return s;
  }
  return Check::success();
}

EntryComponent takeComponent(Phase2& phase2, Json& value) {
  EntryComponent component;
  JsonObject* object = phase2.object(&value, kComponentKeys);
  if (object == nullptr) return component;
  const std::string kindText = phase2.takeString(*object, "kind");
  if (auto kind = componentKindFromText(kindText)) {
    component.kind = *kind;
  } else {
    phase2.fail("not a component kind");
  }
  component.cents = phase2.takeString(*object, "cents");
  component.origin = phase2.takeRef(phase2.member(*object, "origin"));
  return component;
}

// Phase 2: moves the texts of an accepted value into the record.
Entry takeEntry(Phase2& phase2, Json& value) {
  Entry entry;
  JsonObject* object = phase2.object(&value, kEntryKeys);
  if (object == nullptr) return entry;
  entry.id = phase2.takeString(*object, "id");
  const std::string roleText = phase2.takeString(*object, "role");
  if (auto role = sourceRoleFromText(roleText)) {
    entry.role = *role;
  } else {
    phase2.fail("not a source role");
  }
  entry.root = phase2.takeString(*object, "root");
  entry.establishment = phase2.takeString(*object, "establishment");
  entry.accountId = phase2.takeString(*object, "accountId");
  entry.date = phase2.takeString(*object, "date");
  entry.cents = phase2.takeString(*object, "cents");
  entry.reference = phase2.takeOptionalString(*object, "reference");
  entry.description = phase2.takeOptionalString(*object, "description", /*keyMayBeAbsent=*/true);
  entry.origin = phase2.takeRef(phase2.member(*object, "origin"));
  Json* components = phase2.member(*object, "components");
  if (components == nullptr) return entry;
  if (!components->isArray()) {
    phase2.fail("expected a JSON array");
    return entry;
  }
  entry.components.reserve(components->asArray().size());
  for (Json& component : components->asArray()) {
    entry.components.push_back(takeComponent(phase2, component));
  }
  return entry;
}

}  // namespace

Result<Entry, ContractError> decodeEntry(Json value) {
  if (auto s = validateEntry(value); !s) return fail(s.error());
  Phase2 phase2;
  Entry entry = takeEntry(phase2, value);
  if (!phase2.ok()) return fail(phase2.code());
  return entry;
}

}  // namespace tw
