// Building blocks shared by the contract decoders (internal to contracts/).
//
// Phase 1 (validation) works on const JSON values and answers with the first ContractError.
// Phase 2 (conversion) moves the texts out of a value that phase 1 accepted; it re-checks the
// type rules but reports failures as messages, which Phase2::code() maps to a ContractError.
#pragma once

#include <algorithm>
#include <array>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "contracts/contract_detail.h"
#include "contracts/contract_error.h"
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

inline constexpr std::array<std::string_view, 4> kRefKeys = {"fileId", "row", "sheet", "sourceId"};
static_assert(isSortedKeyList(kRefKeys));

inline constexpr size_t kMaxSheetBytes = 128;

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
struct RefKey {
  std::string_view sourceId;
  std::string_view fileId;
  std::optional<std::string_view> sheet;
  uint64_t row = 0;
};
bool operator<(const RefKey& a, const RefKey& b);

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

// Validates a Ref and, on success, fills `key` (when given) for order checks. A failure fills
// in `detail` (when given) with the member below `path`.
Check checkRef(const Json* value, RefKey* key = nullptr, ContractDetail* detail = nullptr,
               std::string_view path = {});

// ---- Phase 2 ----

// Collects the first conversion failure as a message; a message naming an undeclared key
// contains "unknown field", and no other message does.
class Phase2 {
 public:
  bool ok() const { return failure_.empty(); }
  void fail(std::string_view message) {
    if (failure_.empty()) failure_ = message;
  }
  ContractError code() const;

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
  std::string_view failure_;
};

}  // namespace tw::decode_detail
