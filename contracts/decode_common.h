// Building blocks shared by the contract decoders (internal to contracts/).
//
// For a manifest and a result, phase 1 (validation) works on const JSON values and answers with
// the first ContractError; phase 2 (conversion) moves the texts out of a value that phase 1
// accepted, re-checks the type rules and records its first failure as a message with its code
// beside it. An entry and its origins are read by takeMembers and takeRefShape into records and
// shapes, which the entry contract's rules then judge.
#pragma once

#include <algorithm>
#include <array>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "contracts/contract_detail.h"
#include "contracts/contract_error.h"
#include "contracts/entry_contract.h"
#include "contracts/formats.h"
#include "contracts/json.h"
#include "contracts/result.h"
#include "contracts/source.h"

namespace tw::decode_detail {

using Check = Status<ContractError>;

// Declared keys of a record, sorted in text order so that they can be walked together with the
// keys of an object.
using KeyList = std::span<const std::string_view>;

template <size_t N>
constexpr bool isSortedKeyList(const std::array<std::string_view, N>& keys) {
  return std::is_sorted(keys.begin(), keys.end());
}

// The first key of `object`, in ascending order, that `declared` lacks; nullptr when none.
const std::string* firstUndeclaredKey(const JsonObject& object, KeyList declared);

inline const Json* member(const JsonObject& object, std::string_view key) {
  auto it = object.find(key);
  return it == object.end() ? nullptr : &it->second;
}

// ---- Phase 1 checks; `value` is nullptr when the key is absent ----

// The object's undeclared keys (UnknownField), checked before any other rule of the object.
Check checkDeclaredKeys(const JsonObject& object, KeyList declared);
Check checkIdentifier(const Json* value);
Check checkAmount(const Json* value);
Check checkDate(const Json* value);
// Null, or free text of at most maxBytes. An absent key is InvalidContract.
Check checkNullOrFreeText(const Json* value, size_t maxBytes);

// What the order of Refs looks at, borrowed from a validated JSON value.
using RefKey = RefView;
bool operator<(const RefKey& a, const RefKey& b);

// ---- Reading the members of a record (the shape its rules then judge) ----

// Walks the keys of `object` together with `byName`, a member table in text order of the names:
// calls take(member, value) for each declared key and adds its bit to `seen`; false at the first
// undeclared key, where the walk stops.
template <class Object, class Member, size_t N, class Take>
bool takeMembers(Object& object, const std::array<MemberName<Member>, N>& byName, uint32_t& seen,
                 Take take) {
  auto next = byName.begin();
  for (auto& [key, value] : object) {
    while (next != byName.end() && next->name < key) ++next;
    if (next == byName.end() || next->name != key) return false;
    seen |= memberBit(next->member);
    take(next->member, value);
    ++next;
  }
  return true;
}

// A text member taken into a record: moved out of a value the caller gives up, copied from one
// it keeps, or borrowed; false when the value is not a string.
inline bool takeText(Json& value, std::string& out) {
  if (!value.isString()) return false;
  out = std::move(value.asString());
  return true;
}
inline bool takeText(const Json& value, std::string& out) {
  if (!value.isString()) return false;
  out = value.asString();
  return true;
}
inline bool takeText(const Json& value, std::string_view& out) {
  if (!value.isString()) return false;
  out = value.asString();
  return true;
}
// Null, or a text as above.
template <class JsonValue, class Text>
bool takeOptionalText(JsonValue& value, std::optional<Text>& out) {
  if (value.isNull()) {
    out.reset();
    return true;
  }
  return takeText(value, out.emplace());
}

// Takes the members of a Ref (into a Ref, or into a RefView borrowing from `value`) and notes
// their shape. `value` is nullptr when the key is absent.
template <class JsonValue, class RefRecord>
void takeRefShape(JsonValue* value, RefRecord& ref, RefShape& shape) {
  if (value == nullptr || !value->isObject()) {
    shape.notObject = true;
    return;
  }
  uint32_t seen = 0;
  const auto take = [&ref, &shape](RefMember member, JsonValue& field) {
    bool ok = false;
    switch (member) {
      case RefMember::SourceId:
        ok = takeText(field, ref.sourceId);
        break;
      case RefMember::FileId:
        ok = takeText(field, ref.fileId);
        break;
      case RefMember::Sheet:
        ok = takeOptionalText(field, ref.sheet);
        break;
      case RefMember::Row: {
        auto row = safeIntegerValue(field);
        if (!row) {
          shape.rowCode = row.error();
        } else if (*row > std::numeric_limits<uint32_t>::max()) {
          shape.rowCode = ContractError::OutOfRange;
        } else {
          ref.row = static_cast<uint32_t>(*row);
          ok = true;
        }
        break;
      }
    }
    if (!ok) shape.misshapen |= memberBit(member);
  };
  if (!takeMembers(value->asObject(), kRefMembersByName, seen, take)) {
    shape.undeclared = true;
    return;
  }
  shape.absent = kRefRequired & ~seen;
}

// ---- Failure detail (only when a caller asks for it) ----

// "prefix.name", or "name" when the prefix is empty.
std::string memberPath(std::string_view prefix, std::string_view name);

// Fills in `detail` for a failed check of the member at `path`.
void noteFailure(ContractDetail& detail, ContractError code, std::string_view path,
                 ValueFormat format, const Json* value, size_t limit);
// The same for an object with an undeclared key: names the key.
void noteUndeclaredKey(ContractDetail& detail, std::string_view prefix, const JsonObject& object,
                       KeyList declared);

// Returns `check`, first filling in `detail` (when given) if it failed.
inline Check noted(Check check, ContractDetail* detail, std::string_view path, ValueFormat format,
                   const Json* value, size_t limit = 0) {
  if (!check && detail != nullptr) noteFailure(*detail, check.error(), path, format, value, limit);
  return check;
}

// Fills in `detail` for `fault`, found in the record part whose JSON value is `part` (nullptr
// when absent) at `path`: names the member and says what is wrong with its value.
void noteFault(ContractDetail& detail, const EntryFault& fault, std::string_view path,
               const Json* part);

// Validates a Ref and, on success, fills `key` (when given) for order checks.
Check checkRef(const Json* value, RefKey* key = nullptr);

// ---- Phase 2 ----

// Collects the first conversion failure as a message and the code it ends the decoding with:
// UnknownField for an undeclared key, whose message contains "unknown field" (no other message
// does), InvalidContract for every other failure.
class Phase2 {
 public:
  bool ok() const { return failure_.empty(); }
  void fail(std::string_view message) { fail(message, ContractError::InvalidContract); }
  void failUndeclaredKey();
  ContractError code() const { return code_; }

  // The object held by `value` after checking its declared keys; nullptr (and a failure) when
  // `value` is not an object.
  JsonObject* object(Json* value, KeyList declared);
  // The member `key`, or nullptr (and a failure when `required`).
  Json* member(JsonObject& object, std::string_view key, bool required = true);
  std::string takeString(JsonObject& object, std::string_view key);
  // Null and (when keyMayBeAbsent) an absent key are nullopt.
  std::optional<std::string> takeOptionalString(JsonObject& object, std::string_view key,
                                                bool keyMayBeAbsent = false);
  uint64_t safeInteger(JsonObject& object, std::string_view key);
  Ref takeRef(Json* value);

 private:
  void fail(std::string_view message, ContractError code) {
    if (!failure_.empty()) return;
    failure_ = message;
    code_ = code;
  }

  std::string_view failure_;
  ContractError code_ = ContractError::InvalidContract;
};

}  // namespace tw::decode_detail
