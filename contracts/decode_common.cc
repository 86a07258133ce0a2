#include "contracts/decode_common.h"

#include <cassert>
#include <limits>
#include <utility>

#include "contracts/formats.h"

namespace tw::decode_detail {

namespace {

constexpr std::string_view kUnknownFieldMessage = "unknown field";
constexpr std::string_view kMissingMessage = "missing required key";
constexpr std::string_view kNotObjectMessage = "expected a JSON object";
constexpr std::string_view kNotStringMessage = "expected a JSON string";
constexpr std::string_view kNotIntegerMessage = "expected a safe non-negative integer";
constexpr std::string_view kRowMessage = "row above its bound";

Check invalid() {
  return fail(ContractError::InvalidContract);
}

}  // namespace

const std::string* firstUndeclaredKey(const JsonObject& object, KeyList declared) {
  // Both sequences ascend in text order, so one forward walk suffices.
  auto next = declared.begin();
  for (const auto& entry : object) {
    const std::string& key = entry.first;
    while (next != declared.end() && *next < key) ++next;
    if (next == declared.end() || *next != key) return &key;
    ++next;
  }
  return nullptr;
}

Check checkDeclaredKeys(const JsonObject& object, KeyList declared) {
  if (firstUndeclaredKey(object, declared) != nullptr) return fail(ContractError::UnknownField);
  return Check::success();
}

Check checkIdentifier(const Json* value) {
  if (value == nullptr || !value->isString() || !isIdentifier(value->asString())) {
    return invalid();
  }
  return Check::success();
}

Check checkAmount(const Json* value) {
  if (value == nullptr || !value->isString()) return invalid();
  if (auto amount = parseAmount(value->asString()); !amount) return fail(amount.error());
  return Check::success();
}

Check checkDate(const Json* value) {
  if (value == nullptr || !value->isString()) return invalid();
  if (!isDate(value->asString())) return fail(ContractError::InvalidDate);
  return Check::success();
}

Check checkNullOrFreeText(const Json* value, size_t maxBytes) {
  if (value == nullptr) return invalid();
  if (value->isNull()) return Check::success();
  if (!value->isString() || !isFreeText(value->asString(), maxBytes)) return invalid();
  return Check::success();
}

bool operator<(const RefKey& a, const RefKey& b) {
  return refOrderLess(a, b);
}

Check checkRef(const Json* value, RefKey* key) {
  RefKey ref;
  RefShape shape;
  takeRefShape(value, ref, shape);
  if (auto fault = refFault(ref, &shape)) return fail(fault->code);
  if (key != nullptr) *key = ref;
  return Check::success();
}

std::string memberPath(std::string_view prefix, std::string_view name) {
  std::string path(prefix);
  if (!path.empty()) path += '.';
  path += name;
  return path;
}

void noteFailure(ContractDetail& detail, ContractError code, std::string_view path,
                 ValueFormat format, const Json* value, size_t limit) {
  detail.member = std::string(path);
  detail.code = code;
  detail.what = explainValue(format, value, code, limit);
}

void noteFault(ContractDetail& detail, const EntryFault& fault, std::string_view path,
               const Json* part) {
  KeyList keys = kEntryKeys;
  std::string_view name;
  switch (fault.part) {
    case EntryPart::Entry:
      if (fault.atMember()) name = kEntryMembers[fault.member].name;
      break;
    case EntryPart::Component:
      keys = kComponentKeys;
      if (fault.atMember()) name = kComponentMembers[fault.member].name;
      break;
    case EntryPart::Origin:
    case EntryPart::ComponentOrigin:
      keys = kRefKeys;
      if (fault.atMember()) name = kRefMembers[fault.member].name;
      break;
  }
  if (fault.code == ContractError::UnknownField && !fault.atMember()) {
    assert(part != nullptr && part->isObject());  // the undeclared key was found in it
    noteUndeclaredKey(detail, path, part->asObject(), keys);
    return;
  }
  if (!fault.atMember()) {
    noteFailure(detail, fault.code, path, fault.format, part, fault.limit);
    return;
  }
  const Json* value = part != nullptr && part->isObject() ? part->find(name) : nullptr;
  noteFailure(detail, fault.code, memberPath(path, name), fault.format, value, fault.limit);
}

void noteUndeclaredKey(ContractDetail& detail, std::string_view prefix, const JsonObject& object,
                       KeyList declared) {
  const std::string* key = firstUndeclaredKey(object, declared);
  detail.member = memberPath(prefix, key != nullptr ? *key : std::string());
  detail.code = ContractError::UnknownField;
  std::string names;
  for (const std::string_view name : declared) {
    if (!names.empty()) names += ", ";
    names += name;
  }
  detail.what = "is not a member of this record (its members: " + names + ")";
}

void Phase2::failUndeclaredKey() {
  fail(kUnknownFieldMessage, ContractError::UnknownField);
}

JsonObject* Phase2::object(Json* value, KeyList declared) {
  if (value == nullptr || !value->isObject()) {
    fail(kNotObjectMessage);
    return nullptr;
  }
  if (firstUndeclaredKey(value->asObject(), declared) != nullptr) {
    failUndeclaredKey();
    return nullptr;
  }
  return &value->asObject();
}

Json* Phase2::member(JsonObject& object, std::string_view key, bool required) {
  auto it = object.find(key);
  if (it != object.end()) return &it->second;
  if (required) fail(kMissingMessage);
  return nullptr;
}

std::string Phase2::takeString(JsonObject& object, std::string_view key) {
  Json* value = member(object, key);
  if (value == nullptr) return {};
  if (!value->isString()) {
    fail(kNotStringMessage);
    return {};
  }
  return std::move(value->asString());
}

std::optional<std::string> Phase2::takeOptionalString(JsonObject& object, std::string_view key,
                                                      bool keyMayBeAbsent) {
  Json* value = member(object, key, !keyMayBeAbsent);
  if (value == nullptr || value->isNull()) return std::nullopt;
  if (!value->isString()) {
    fail(kNotStringMessage);
    return std::nullopt;
  }
  return std::move(value->asString());
}

uint64_t Phase2::safeInteger(JsonObject& object, std::string_view key) {
  Json* value = member(object, key);
  if (value == nullptr) return 0;
  auto integer = safeIntegerValue(*value);
  if (!integer) {
    fail(kNotIntegerMessage);
    return 0;
  }
  return *integer;
}

Ref Phase2::takeRef(Json* value) {
  Ref ref;
  JsonObject* object = this->object(value, kRefKeys);
  if (object == nullptr) return ref;
  ref.sourceId = takeString(*object, "sourceId");
  ref.fileId = takeString(*object, "fileId");
  ref.sheet = takeOptionalString(*object, "sheet");
  const uint64_t row = safeInteger(*object, "row");
  if (row > std::numeric_limits<uint32_t>::max()) fail(kRowMessage);
  ref.row = static_cast<uint32_t>(row);
  return ref;
}

}  // namespace tw::decode_detail
