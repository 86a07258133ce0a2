#include "contracts/entry_contract.h"

#include "contracts/formats.h"

namespace tw {

namespace {

using Fault = std::optional<EntryFault>;

template <class Member>
constexpr bool has(uint32_t members, Member member) {
  return (members & memberBit(member)) != 0;
}

template <class Member>
constexpr bool flawed(const ObjectShape* shape, Member member) {
  return shape != nullptr && has(shape->absent | shape->misshapen, member);
}

template <class Member>
EntryFault fault(ContractError code, EntryPart part, Member member, ValueFormat format,
                 size_t limit = 0) {
  return EntryFault{code, part, static_cast<uint8_t>(member), format, static_cast<uint16_t>(limit)};
}

EntryFault objectFault(ContractError code, EntryPart part) {
  return EntryFault{code, part, EntryFault::kWholeObject, ValueFormat::Record};
}

template <class Text>
bool isOptionalFreeText(const std::optional<Text>& text, size_t maxBytes) {
  return !text || isFreeText(*text, maxBytes);
}

// An enumerator outside its declaration has no text, which no reader accepts.
template <class Enum, class FromText>
bool knownMember(Enum member, FromText fromText) {
  return fromText(toText(member)).has_value();
}

// The object rules every record begins with: an object, then declared keys only.
Fault objectRules(const ObjectShape* shape, EntryPart part) {
  if (shape == nullptr) return std::nullopt;
  if (shape->notObject) return objectFault(ContractError::InvalidContract, part);
  if (shape->undeclared) return objectFault(ContractError::UnknownField, part);
  return std::nullopt;
}

// `passed`, when given, is an origin that passed these rules: a text equal to its own is not
// held to them again. RefRecord is Ref or RefView.
template <class RefRecord>
Fault refRules(const RefRecord& ref, const RefShape* shape, EntryPart part,
               const RefRecord* passed) {
  const auto at = [part](RefMember member, ValueFormat format, size_t limit = 0,
                         ContractError code = ContractError::InvalidContract) {
    return fault(code, part, member, format, limit);
  };
  if (Fault f = objectRules(shape, part)) return f;
  if (shape != nullptr && shape->absent != 0) {
    // Every member must be there before any is judged; the first one missing is named.
    for (const auto& [name, member] : kRefMembers) {
      if (has(shape->absent, member)) return at(member, ValueFormat::Record);
    }
  }
  if (flawed(shape, RefMember::SourceId) ||
      ((passed == nullptr || ref.sourceId != passed->sourceId) && !isIdentifier(ref.sourceId))) {
    return at(RefMember::SourceId, ValueFormat::Identifier);
  }
  if (flawed(shape, RefMember::FileId) ||
      ((passed == nullptr || ref.fileId != passed->fileId) && !isIdentifier(ref.fileId))) {
    return at(RefMember::FileId, ValueFormat::Identifier);
  }
  if (flawed(shape, RefMember::Sheet) || ((passed == nullptr || ref.sheet != passed->sheet) &&
                                          !isOptionalFreeText(ref.sheet, kMaxSheetBytes))) {
    return at(RefMember::Sheet, ValueFormat::FreeText, kMaxSheetBytes);
  }
  // A row read from JSON has passed the safe integer rule and its bound unless it is misshapen;
  // one held in a record is an unsigned 32-bit number.
  if (flawed(shape, RefMember::Row)) return at(RefMember::Row, ValueFormat::Row, 0, shape->rowCode);
  return std::nullopt;
}

Fault componentRules(const EntryComponent& part, const ComponentShape* shape,
                     const Ref* passedOrigin) {
  const auto at = [](ComponentMember member, ValueFormat format, ContractError code) {
    return fault(code, EntryPart::Component, member, format);
  };
  if (Fault f = objectRules(shape, EntryPart::Component)) return f;
  if (flawed(shape, ComponentMember::Kind) || !knownMember(part.kind, componentKindFromText)) {
    return at(ComponentMember::Kind, ValueFormat::ComponentKind, ContractError::InvalidContract);
  }
  if (flawed(shape, ComponentMember::Cents)) {
    return at(ComponentMember::Cents, ValueFormat::Amount, ContractError::InvalidContract);
  }
  if (auto amount = parseAmount(part.cents); !amount) {
    return at(ComponentMember::Cents, ValueFormat::Amount, amount.error());
  }
  return refRules(part.origin, shape != nullptr ? &shape->origin : nullptr,
                  EntryPart::ComponentOrigin, passedOrigin);
}

}  // namespace

std::optional<EntryFault> entryFault(const Entry& entry, const EntryShape* shape,
                                     const Entry* passed) {
  const ObjectShape* own = shape != nullptr ? &shape->entry : nullptr;
  const auto at = [](EntryMember member, ValueFormat format, size_t limit = 0,
                     ContractError code = ContractError::InvalidContract) {
    return fault(code, EntryPart::Entry, member, format, limit);
  };
  // Whether the text of `member` equals the one in the same place of `passed`.
  const auto same = [passed, &entry](auto member) {
    return passed != nullptr && entry.*member == passed->*member;
  };
  if (Fault f = objectRules(own, EntryPart::Entry)) return f;
  if (flawed(own, EntryMember::Id) || !isIdentifier(entry.id)) {
    return at(EntryMember::Id, ValueFormat::Identifier);
  }
  if (flawed(own, EntryMember::Role) || !knownMember(entry.role, sourceRoleFromText)) {
    return at(EntryMember::Role, ValueFormat::SourceRole);
  }
  if (flawed(own, EntryMember::Root) || (!same(&Entry::root) && !isCompanyRoot(entry.root))) {
    return at(EntryMember::Root, ValueFormat::CompanyRoot);
  }
  if (flawed(own, EntryMember::Establishment)) {
    return at(EntryMember::Establishment, ValueFormat::Establishment);
  }
  if (!same(&Entry::establishment) || !same(&Entry::root)) {
    if (!isEstablishmentCode(entry.establishment)) {
      return at(EntryMember::Establishment, ValueFormat::Establishment);
    }
    if (entry.establishment.compare(0, kCompanyRootBytes, entry.root) != 0) {
      return at(EntryMember::Establishment, ValueFormat::RootPrefix);
    }
  }
  if (flawed(own, EntryMember::AccountId) ||
      (!same(&Entry::accountId) && !isIdentifier(entry.accountId))) {
    return at(EntryMember::AccountId, ValueFormat::Identifier);
  }
  if (flawed(own, EntryMember::Date)) return at(EntryMember::Date, ValueFormat::Date);
  if (!same(&Entry::date) && !isDate(entry.date)) {
    return at(EntryMember::Date, ValueFormat::Date, 0, ContractError::InvalidDate);
  }
  if (flawed(own, EntryMember::Cents)) return at(EntryMember::Cents, ValueFormat::Amount);
  if (auto amount = parseAmount(entry.cents); !amount) {
    return at(EntryMember::Cents, ValueFormat::Amount, 0, amount.error());
  }
  if (flawed(own, EntryMember::Reference) ||
      !isOptionalFreeText(entry.reference, kMaxReferenceBytes)) {
    return at(EntryMember::Reference, ValueFormat::FreeText, kMaxReferenceBytes);
  }
  if (flawed(own, EntryMember::Description) ||
      !isOptionalFreeText(entry.description, kMaxDescriptionBytes)) {
    return at(EntryMember::Description, ValueFormat::FreeText, kMaxDescriptionBytes);
  }
  if (Fault f = refRules(entry.origin, shape != nullptr ? &shape->origin : nullptr,
                         EntryPart::Origin, passed != nullptr ? &passed->origin : nullptr)) {
    return f;
  }
  if (flawed(own, EntryMember::Components) || entry.components.size() > kMaxComponents) {
    return at(EntryMember::Components, ValueFormat::List, kMaxComponents);
  }
  // A component's origin is held against the first component's origin of `passed`, or against
  // its own origin when it has none: an entry's parts come from a few files.
  const Ref* passedComponentOrigin = passed == nullptr ? nullptr
                                     : passed->components.empty()
                                         ? &passed->origin
                                         : &passed->components.front().origin;
  const size_t flawedComponent = shape != nullptr ? shape->flawedComponent : EntryShape::kNone;
  for (size_t i = 0; i < entry.components.size(); ++i) {
    const ComponentShape* partShape = i == flawedComponent ? &shape->component : nullptr;
    if (Fault f = componentRules(entry.components[i], partShape, passedComponentOrigin)) {
      f->component = static_cast<uint8_t>(i);
      return f;
    }
  }
  return std::nullopt;
}

std::optional<EntryFault> refFault(const RefView& ref, const RefShape* shape) {
  return refRules(ref, shape, EntryPart::Origin, static_cast<const RefView*>(nullptr));
}

}  // namespace tw
