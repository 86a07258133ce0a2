// The entry contract: one table of members for each record an entry is made of, the shape in
// which a reader found those members, and the rules, applied once in their fixed order.
//
// Every reader of entries (decodeEntry on a JSON value, the direct reader of "entries" frames,
// checks of records built in memory) first takes the members into an Entry, noting in an
// EntryShape which of them were absent or of a JSON type their rule refuses; entryFault then
// applies the rules to the record and the shape, and the first rule that fails decides the code.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "contracts/contract_detail.h"
#include "contracts/contract_error.h"
#include "contracts/source.h"

namespace tw {

inline constexpr size_t kMaxComponents = 64;
inline constexpr size_t kMaxReferenceBytes = 512;
inline constexpr size_t kMaxDescriptionBytes = 512;
inline constexpr size_t kMaxSheetBytes = 128;

// The members of each record, numbered in the order their rules run.
enum class EntryMember : uint8_t {
  Id,
  Role,
  Root,
  Establishment,
  AccountId,
  Date,
  Cents,
  Reference,
  Description,
  Origin,
  Components,
};
enum class ComponentMember : uint8_t { Kind, Cents, Origin };
enum class RefMember : uint8_t { SourceId, FileId, Sheet, Row };

template <class Member>
struct MemberName {
  std::string_view name;
  Member member;
};

// A member as one bit of a set of members.
template <class Member>
constexpr uint32_t memberBit(Member member) {
  return uint32_t{1} << static_cast<uint8_t>(member);
}

// The tables, in rule order: the member at index i is the enumerator numbered i.
inline constexpr std::array<MemberName<EntryMember>, 11> kEntryMembers = {{
    {"id", EntryMember::Id},
    {"role", EntryMember::Role},
    {"root", EntryMember::Root},
    {"establishment", EntryMember::Establishment},
    {"accountId", EntryMember::AccountId},
    {"date", EntryMember::Date},
    {"cents", EntryMember::Cents},
    {"reference", EntryMember::Reference},
    {"description", EntryMember::Description},
    {"origin", EntryMember::Origin},
    {"components", EntryMember::Components},
}};
inline constexpr std::array<MemberName<ComponentMember>, 3> kComponentMembers = {{
    {"kind", ComponentMember::Kind},
    {"cents", ComponentMember::Cents},
    {"origin", ComponentMember::Origin},
}};
inline constexpr std::array<MemberName<RefMember>, 4> kRefMembers = {{
    {"sourceId", RefMember::SourceId},
    {"fileId", RefMember::FileId},
    {"sheet", RefMember::Sheet},
    {"row", RefMember::Row},
}};

template <class Member, size_t N>
constexpr bool inRuleOrder(const std::array<MemberName<Member>, N>& table) {
  for (size_t i = 0; i < N; ++i) {
    if (static_cast<size_t>(table[i].member) != i) return false;
  }
  return true;
}
static_assert(inRuleOrder(kEntryMembers) && inRuleOrder(kComponentMembers) &&
              inRuleOrder(kRefMembers));

// A table in text order of the names, to be walked together with the keys of an object.
template <class Member, size_t N>
constexpr std::array<MemberName<Member>, N> inTextOrder(std::array<MemberName<Member>, N> table) {
  std::sort(
      table.begin(), table.end(),
      [](const MemberName<Member>& a, const MemberName<Member>& b) { return a.name < b.name; });
  return table;
}
template <class Member, size_t N>
constexpr std::array<std::string_view, N> namesOf(const std::array<MemberName<Member>, N>& table) {
  std::array<std::string_view, N> names{};
  for (size_t i = 0; i < N; ++i) names[i] = table[i].name;
  return names;
}
inline constexpr auto kEntryMembersByName = inTextOrder(kEntryMembers);
inline constexpr auto kComponentMembersByName = inTextOrder(kComponentMembers);
inline constexpr auto kRefMembersByName = inTextOrder(kRefMembers);
// The declared keys in text order.
inline constexpr auto kEntryKeys = namesOf(kEntryMembersByName);
inline constexpr auto kComponentKeys = namesOf(kComponentMembersByName);
inline constexpr auto kRefKeys = namesOf(kRefMembersByName);

// The member of `table` called `name`; nullopt for an undeclared name.
template <class Member, size_t N>
constexpr std::optional<Member> memberNamed(const std::array<MemberName<Member>, N>& table,
                                            std::string_view name) {
  for (const MemberName<Member>& entry : table) {
    if (entry.name == name) return entry.member;
  }
  return std::nullopt;
}

// The members a record must hold: every one but an entry's "description".
inline constexpr uint32_t kEntryRequired =
    (memberBit(EntryMember::Components) << 1) - 1 - memberBit(EntryMember::Description);
inline constexpr uint32_t kComponentRequired = (memberBit(ComponentMember::Origin) << 1) - 1;
inline constexpr uint32_t kRefRequired = (memberBit(RefMember::Row) << 1) - 1;

// How a reader found one object of the record. `absent` and `misshapen` are sets of member bits:
// a member missing, or present with a JSON type (or an enumeration text) its rule refuses.
struct ObjectShape {
  bool notObject = false;   // absent, or not a JSON object
  bool undeclared = false;  // holds a key the record does not declare
  uint32_t absent = 0;
  uint32_t misshapen = 0;

  [[nodiscard]] bool flawless() const {
    return !notObject && !undeclared && absent == 0 && misshapen == 0;
  }
};

struct RefShape : ObjectShape {
  ContractError rowCode = ContractError::InvalidContract;  // when "row" is misshapen
};

struct ComponentShape : ObjectShape {
  RefShape origin;
};

// The shape of a whole entry. Components are taken in order up to the first one with a flaw;
// that one's shape is kept, and the components after it are not read, as no rule reaches them.
struct EntryShape {
  static constexpr size_t kNone = SIZE_MAX;

  ObjectShape entry;  // "components" misshapen also when it holds more than kMaxComponents
  RefShape origin;
  size_t flawedComponent = kNone;
  ComponentShape component;  // the shape of components[flawedComponent]
};

// Where a rule failed: the record part, the member (nullopt for the object itself) and the value
// format the rule holds it to, for a sentence.
enum class EntryPart : uint8_t { Entry, Origin, Component, ComponentOrigin };

// Small enough to be returned in registers.
struct EntryFault {
  static constexpr uint8_t kWholeObject = UINT8_MAX;

  ContractError code = ContractError::InvalidContract;
  EntryPart part = EntryPart::Entry;
  uint8_t member = kWholeObject;  // index in the part's table, or the object itself
  ValueFormat format = ValueFormat::Record;
  uint16_t limit = 0;     // byte limit of free text, size limit of a list
  uint8_t component = 0;  // for the component parts

  [[nodiscard]] bool atMember() const { return member != kWholeObject; }
};
static_assert(kMaxComponents <= UINT8_MAX && kMaxReferenceBytes <= UINT16_MAX);

// The first rule `entry` breaks, reading `shape` (nullptr: every member present with its type,
// as in a record built in memory). `passed`, when given, is an entry that passed every rule: a
// rule on a text equal to the text in the same place of `passed` is not applied again, which
// leaves the first failure the same.
[[nodiscard]] std::optional<EntryFault> entryFault(const Entry& entry, const EntryShape* shape,
                                                   const Entry* passed = nullptr);

// A Ref's texts borrowed from a record or from a JSON value.
struct RefView {
  std::string_view sourceId;
  std::string_view fileId;
  std::optional<std::string_view> sheet;
  uint64_t row = 0;

  RefView() = default;
  explicit RefView(const Ref& ref)
      : sourceId(ref.sourceId), fileId(ref.fileId), sheet(ref.sheet), row(ref.row) {}
};

// The first rule of a Ref that `ref` breaks, reading `shape` as entryFault does, for the origins
// of other records; the fault's part is Origin.
[[nodiscard]] std::optional<EntryFault> refFault(const RefView& ref, const RefShape* shape);

}  // namespace tw
