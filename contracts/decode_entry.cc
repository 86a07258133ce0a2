// decodeEntry: the members of the JSON value are taken into an Entry in one walk, their shape
// noted, and the entry contract's rules then run once on the record and its shape.
#include <string>
#include <utility>

#include "contracts/decode.h"
#include "contracts/decode_common.h"
#include "contracts/entry_contract.h"
#include "contracts/formats.h"

namespace tw {

using namespace decode_detail;

namespace {

// JsonValue is Json when the value's texts may be moved into the record, const Json when they
// are copied (the value is kept, to name what a refused member holds).
template <class JsonValue>
void takeComponentShape(JsonValue& value, EntryComponent& part, ComponentShape& shape) {
  if (!value.isObject()) {
    shape.notObject = true;
    return;
  }
  uint32_t seen = 0;
  const auto take = [&part, &shape](ComponentMember member, JsonValue& field) {
    bool ok = false;
    switch (member) {
      case ComponentMember::Kind:
        if (field.isString()) {
          auto kind = componentKindFromText(field.asString());
          if (kind) part.kind = *kind;
          ok = kind.has_value();
        }
        break;
      case ComponentMember::Cents:
        ok = takeText(field, part.cents);
        break;
      case ComponentMember::Origin:
        takeRefShape(&field, part.origin, shape.origin);
        ok = true;  // its own flaws are in shape.origin
        break;
    }
    if (!ok) shape.misshapen |= memberBit(member);
  };
  if (!takeMembers(value.asObject(), kComponentMembersByName, seen, take)) {
    shape.undeclared = true;
    return;
  }
  shape.absent = kComponentRequired & ~seen;
  if ((shape.absent & memberBit(ComponentMember::Origin)) != 0) shape.origin.notObject = true;
}

template <class JsonValue>
void takeComponents(JsonValue& value, Entry& entry, EntryShape& shape) {
  if (!value.isArray() || value.asArray().size() > kMaxComponents) {
    shape.entry.misshapen |= memberBit(EntryMember::Components);
    return;
  }
  auto& list = value.asArray();
  entry.components.resize(list.size());
  for (size_t i = 0; i < list.size(); ++i) {
    ComponentShape& partShape = shape.component;
    takeComponentShape(list[i], entry.components[i], partShape);
    if (!partShape.flawless() || !partShape.origin.flawless()) {
      // No rule looks past the first component with a flaw.
      shape.flawedComponent = i;
      entry.components.resize(i + 1);
      return;
    }
  }
}

template <class JsonValue>
void takeEntryShape(JsonValue& value, Entry& entry, EntryShape& shape) {
  if (!value.isObject()) {
    shape.entry.notObject = true;
    return;
  }
  uint32_t seen = 0;
  const auto take = [&entry, &shape](EntryMember member, JsonValue& field) {
    bool ok = true;
    switch (member) {
      case EntryMember::Id:
        ok = takeText(field, entry.id);
        break;
      case EntryMember::Role:
        ok = false;
        if (field.isString()) {
          auto role = sourceRoleFromText(field.asString());
          if (role) entry.role = *role;
          ok = role.has_value();
        }
        break;
      case EntryMember::Root:
        ok = takeText(field, entry.root);
        break;
      case EntryMember::Establishment:
        ok = takeText(field, entry.establishment);
        break;
      case EntryMember::AccountId:
        ok = takeText(field, entry.accountId);
        break;
      case EntryMember::Date:
        ok = takeText(field, entry.date);
        break;
      case EntryMember::Cents:
        ok = takeText(field, entry.cents);
        break;
      case EntryMember::Reference:
        ok = takeOptionalText(field, entry.reference);
        break;
      case EntryMember::Description:
        ok = takeOptionalText(field, entry.description);
        break;
      case EntryMember::Origin:
        takeRefShape(&field, entry.origin, shape.origin);
        break;
      case EntryMember::Components:
        takeComponents(field, entry, shape);
        break;
    }
    if (!ok) shape.entry.misshapen |= memberBit(member);
  };
  if (!takeMembers(value.asObject(), kEntryMembersByName, seen, take)) {
    shape.entry.undeclared = true;
    return;
  }
  shape.entry.absent = kEntryRequired & ~seen;
  if ((shape.entry.absent & memberBit(EntryMember::Origin)) != 0) shape.origin.notObject = true;
}

// The JSON value of the record part where `fault` was found, and its path.
const Json* faultPart(const Json& value, const EntryFault& fault, std::string& path) {
  const auto memberOf = [](const Json* object, std::string_view name) -> const Json* {
    return object != nullptr && object->isObject() ? object->find(name) : nullptr;
  };
  switch (fault.part) {
    case EntryPart::Entry:
      return &value;
    case EntryPart::Origin:
      path = "origin";
      return memberOf(&value, "origin");
    case EntryPart::Component:
    case EntryPart::ComponentOrigin: {
      path = "components[" + std::to_string(fault.component) + "]";
      const Json* components = memberOf(&value, "components");
      const Json* part = &components->asArray()[fault.component];  // it was read
      if (fault.part == EntryPart::Component) return part;
      path += ".origin";
      return memberOf(part, "origin");
    }
  }
  return &value;
}

}  // namespace

Result<Entry, ContractError> decodeEntry(Json value) {
  Entry entry;
  EntryShape shape;
  takeEntryShape(value, entry, shape);
  if (auto fault = entryFault(entry, &shape)) return fail(fault->code);
  return entry;
}

Result<Entry, ContractError> decodeEntry(Json value, ContractDetail* detail) {
  if (detail == nullptr) return decodeEntry(std::move(value));
  Entry entry;
  EntryShape shape;
  takeEntryShape(std::as_const(value), entry, shape);
  if (auto fault = entryFault(entry, &shape)) {
    std::string path;
    const Json* part = faultPart(value, *fault, path);
    noteFault(*detail, *fault, path, part);
    return fail(fault->code);
  }
  return entry;
}

}  // namespace tw
