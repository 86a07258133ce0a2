// decodeEntry: the ledger entry and its components.
#include <string>
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

// "components[i]", built only when a detail is wanted.
std::string componentPath(const ContractDetail* detail, size_t i) {
  if (detail == nullptr) return {};
  return "components[" + std::to_string(i) + "]";
}

Check checkComponent(const Json& value, ContractDetail* detail, std::string_view path) {
  if (!value.isObject()) return noted(invalid(), detail, path, ValueFormat::Record, &value);
  const JsonObject& object = value.asObject();
  if (auto s = checkDeclaredKeys(object, kComponentKeys); !s) {
    if (detail != nullptr) noteUndeclaredKey(*detail, path, object, kComponentKeys);
    return s;
  }
  const Json* kind = member(object, "kind");
  if (kind == nullptr || !kind->isString() || !componentKindFromText(kind->asString())) {
    return noted(invalid(), detail, memberPath(path, "kind"), ValueFormat::ComponentKind, kind);
  }
  const Json* cents = member(object, "cents");
  if (auto s = checkAmount(cents); !s) {
    return noted(s, detail, memberPath(path, "cents"), ValueFormat::Amount, cents);
  }
  return checkRef(member(object, "origin"), nullptr, detail,
                  detail != nullptr ? memberPath(path, "origin") : std::string());
}

// Phase 1: every rule of the entry in its fixed order; the first violation decides. A failure
// fills in `detail`, when given.
Check validateEntry(const Json& value, ContractDetail* detail) {
  if (!value.isObject()) return noted(invalid(), detail, "", ValueFormat::Record, &value);
  const JsonObject& object = value.asObject();
  if (auto s = checkDeclaredKeys(object, kEntryKeys); !s) {
    if (detail != nullptr) noteUndeclaredKey(*detail, "", object, kEntryKeys);
    return s;
  }
  const Json* id = member(object, "id");
  if (auto s = checkIdentifier(id); !s) {
    return noted(s, detail, "id", ValueFormat::Identifier, id);
  }
  const Json* role = member(object, "role");
  if (role == nullptr || !role->isString() || !sourceRoleFromText(role->asString())) {
    return noted(invalid(), detail, "role", ValueFormat::SourceRole, role);
  }
  const Json* root = member(object, "root");
  if (root == nullptr || !root->isString() || !isCompanyRoot(root->asString())) {
    return noted(invalid(), detail, "root", ValueFormat::CompanyRoot, root);
  }
  const Json* establishment = member(object, "establishment");
  if (establishment == nullptr || !establishment->isString() ||
      !isEstablishmentCode(establishment->asString())) {
    return noted(invalid(), detail, "establishment", ValueFormat::Establishment, establishment);
  }
  if (establishment->asString().compare(0, kCompanyRootBytes, root->asString()) != 0) {
    return noted(invalid(), detail, "establishment", ValueFormat::RootPrefix, establishment);
  }
  const Json* accountId = member(object, "accountId");
  if (auto s = checkIdentifier(accountId); !s) {
    return noted(s, detail, "accountId", ValueFormat::Identifier, accountId);
  }
  const Json* date = member(object, "date");
  if (auto s = checkDate(date); !s) return noted(s, detail, "date", ValueFormat::Date, date);
  const Json* cents = member(object, "cents");
  if (auto s = checkAmount(cents); !s) return noted(s, detail, "cents", ValueFormat::Amount, cents);
  const Json* reference = member(object, "reference");
  if (auto s = checkNullOrFreeText(reference, kMaxReferenceBytes); !s) {
    return noted(s, detail, "reference", ValueFormat::FreeText, reference, kMaxReferenceBytes);
  }
  if (const Json* description = member(object, "description"); description != nullptr) {
    if (auto s = checkNullOrFreeText(description, kMaxDescriptionBytes); !s) {
      return noted(s, detail, "description", ValueFormat::FreeText, description,
                   kMaxDescriptionBytes);
    }
  }
  if (auto s = checkRef(member(object, "origin"), nullptr, detail, "origin"); !s) return s;
  const Json* components = member(object, "components");
  if (components == nullptr || !components->isArray() ||
      components->asArray().size() > kMaxComponents) {
    return noted(invalid(), detail, "components", ValueFormat::List, components, kMaxComponents);
  }
  const JsonArray& list = components->asArray();
  for (size_t i = 0; i < list.size(); ++i) {
    if (auto s = checkComponent(list[i], detail, componentPath(detail, i)); !s) return s;
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

// Both decoders in one body; the one without a detail passes a constant null, so that the
// compiler can leave every detail branch out of it.
template <bool kWithDetail>
Result<Entry, ContractError> decodeEntryWith(Json& value, ContractDetail* detail) {
  if (!kWithDetail) detail = nullptr;
  if (auto s = validateEntry(value, detail); !s) return fail(s.error());
  Phase2 phase2;
  Entry entry = takeEntry(phase2, value);
  if (!phase2.ok()) {
    if (detail != nullptr) *detail = ContractDetail{"", phase2.code(), "cannot be converted"};
    return fail(phase2.code());
  }
  return entry;
}

}  // namespace

Result<Entry, ContractError> decodeEntry(Json value) {
  return decodeEntryWith<false>(value, nullptr);
}

Result<Entry, ContractError> decodeEntry(Json value, ContractDetail* detail) {
  return decodeEntryWith<true>(value, detail);
}

}  // namespace tw
