// The rules that can end a session with a code, one name each, and the code each gives.
//
// A refused frame, a failed read, a result that cannot be delivered and a message that cannot be
// written each name the exact rule that ended the session; the code the session returns is
// sessionCodeOf(rule). The tool's explanations are keyed by the same names, so nothing has to
// work out again which check refused.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "contracts/contract_detail.h"
#include "contracts/json_reader.h"
#include "worker/responses.h"

namespace tw {

enum class SessionRule : uint8_t {
  // Input.
  ReadFailed,       // the input failed, a line was too long, or it ended inside a line
  InputEndedEarly,  // the input ended before "execute"
  // Counting a line.
  LineTooLong,
  TooManyFrames,
  SessionTooLarge,
  // Reading a frame.
  NotJson,
  NotAnObject,
  VersionNotAnInteger,
  VersionUnsupported,
  KindNotText,
  KindUnknown,
  // "start".
  StartNotFirst,
  StartMembers,
  StartNonceMalformed,
  ManifestRefused,
  // The nonce of "entries", "execute" and "cancel".
  NonceNotText,
  NoSessionNonce,
  NonceDiffers,
  // "entries".
  EntriesAfterExecute,
  EntriesMembers,
  EntriesNotArray,
  BatchTooLarge,
  TooManyHeld,
  EntryRefused,
  // "execute".
  ExecuteAfterExecute,
  ExecuteMembers,
  ExecuteWithoutManifest,
  // "cancel".
  CancelMembers,
  // Delivering a result.
  ResultBreaksContract,
  DeliveryWithoutNonce,
  PageCountTooLarge,
  PagesCutShort,
  ResultNotCommitted,
  // Writing a message.
  MessageTooLong,
  WriteFailed,
};

inline constexpr size_t kSessionRuleCount = size_t(SessionRule::WriteFailed) + 1;

// The code of each rule, in the enumeration's order.
inline constexpr std::array<SessionCode, kSessionRuleCount> kSessionRuleCodes = {
    SessionCode::ReadFailed,
    SessionCode::Incomplete,
    SessionCode::Limit,
    SessionCode::Limit,
    SessionCode::Limit,
    SessionCode::InvalidFrame,
    SessionCode::InvalidFrame,
    SessionCode::InvalidFrame,
    SessionCode::UnsupportedProtocol,
    SessionCode::InvalidFrame,
    SessionCode::InvalidOrder,
    SessionCode::InvalidOrder,
    SessionCode::InvalidFrame,
    SessionCode::InvalidNonce,
    SessionCode::InvalidManifest,
    SessionCode::InvalidNonce,
    SessionCode::NonceMismatch,
    SessionCode::NonceMismatch,
    SessionCode::InvalidOrder,
    SessionCode::InvalidFrame,
    SessionCode::InvalidEntries,
    SessionCode::Limit,
    SessionCode::Limit,
    SessionCode::InvalidEntry,
    SessionCode::InvalidOrder,
    SessionCode::InvalidFrame,
    SessionCode::InvalidOrder,
    SessionCode::InvalidFrame,
    SessionCode::InvalidResult,
    SessionCode::InvalidOrder,
    SessionCode::ResponseLimit,
    SessionCode::InvalidResult,
    SessionCode::InvalidResult,
    SessionCode::ResponseLimit,
    SessionCode::ResponseWriteFailed,
};
static_assert(kSessionRuleCodes.back() == SessionCode::ResponseWriteFailed &&
                  kSessionRuleCodes[size_t(SessionRule::EntryRefused)] ==
                      SessionCode::InvalidEntry &&
                  kSessionRuleCodes[size_t(SessionRule::CancelMembers)] ==
                      SessionCode::InvalidFrame,
              "one code a rule, in the enumeration's order");

constexpr SessionCode sessionCodeOf(SessionRule rule) {
  return kSessionRuleCodes[size_t(rule)];
}

// The rule of a failed write: the message was too long, or the write itself failed.
constexpr SessionRule writeRule(SessionCode code) {
  return code == SessionCode::ResponseLimit ? SessionRule::MessageTooLong
                                            : SessionRule::WriteFailed;
}

// What a person is told about a refused frame besides its rule. Filled in only when a caller
// asks for it, and only on the way out of a refusal; the rule is decided by the checks alone.
struct RefusalDetail {
  std::string kind;                      // the frame's "kind", when it is a text
  std::optional<JsonReadError> json;     // NotJson
  std::optional<Json> version;           // the "version" member, when present
  std::vector<std::string> extra;        // *Members: names the frame has beyond its kind's
  std::vector<std::string> missing;      // *Members: names of its kind it lacks
  size_t batch = 0;                      // elements of "entries"
  std::optional<size_t> element;         // EntryRefused: the refused element
  std::optional<std::string> elementId;  // its "id", when a text
  ContractDetail contract;               // ManifestRefused, EntryRefused
};

}  // namespace tw
