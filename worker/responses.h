// Session messages and how they reach the host.
//
// Every message is a JSON object built in memory, serialised compactly (members in name order),
// checked against the output limit and only then written with one write() of its text plus a
// single line feed, so a message is either refused before any byte goes out or written whole
// (short writes and EINTR are retried). The session codes are the complete vocabulary of the
// session mode; only "CANCELLED", "C5_ENGINE_FAILED" and "C5_ENGINE_DISCONNECTED" ever appear in
// a message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "contracts/json.h"
#include "contracts/result.h"
#include "contracts/source.h"

namespace tw {

enum class SessionCode : uint8_t {
  FenceBusy,
  ReadFailed,
  Incomplete,
  Limit,
  InvalidFrame,
  UnsupportedProtocol,
  InvalidOrder,
  InvalidNonce,
  NonceMismatch,
  InvalidManifest,
  InvalidEntries,
  InvalidEntry,
  EngineFailed,
  EngineDisconnected,
  InvalidResult,
  ResponseLimit,
  ResponseWriteFailed,
  Cancelled,
};

// "C5_..." for every code, "CANCELLED" for Cancelled.
std::string_view sessionCodeText(SessionCode code);

// The longest message text, line feed not counted.
inline constexpr size_t kMaxResponseBytes = 65536;
inline constexpr uint64_t kProtocolVersion = 1;

// Whether a message text of `textBytes` bytes, line feed not counted, may be written.
constexpr bool withinResponseLimit(size_t textBytes) {
  return textBytes <= kMaxResponseBytes;
}

// The text writeResponse writes for `message`, line feed included; ResponseLimit when the
// text is not within the response limit.
Result<std::string, SessionCode> responseText(const Json& message);

// Writes responseText(message) to `fd` with one write (nothing when it is refused);
// ResponseWriteFailed when the write fails (whatever already went out stays out).
Status<SessionCode> writeResponse(int fd, const Json& message);

// The message of kind "failed": code, kind, nonce (null when the session holds none), version.
Json failureObject(const std::optional<std::string>& nonce, SessionCode code);

// "started" and "executing" carry the kind, the nonce and the version only.
Json startedMessage(const std::string& nonce);
Json executingMessage(const std::string& nonce);

// The closing message of a delivered result.
Json completedMessage(const std::string& nonce, uint64_t pageCount,
                      const std::string& resultCommitment, uint64_t revision,
                      const std::string& runId);

}  // namespace tw
