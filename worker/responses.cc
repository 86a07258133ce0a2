#include "worker/responses.h"

#include "contracts/json_writer.h"
#include "worker/fd_io.h"

namespace tw {

namespace {

// Serialisation buffers start small; one item per page keeps most messages short.
constexpr size_t kInitialMessageCapacity = 128;

Json nonceValue(const std::optional<std::string>& nonce) {
  return nonce ? Json(*nonce) : Json(nullptr);
}

Json plainMessage(std::string_view kind, const std::string& nonce) {
  return makeObject({{"kind", kind}, {"nonce", nonce}, {"version", kProtocolVersion}});
}

}  // namespace

std::string_view sessionCodeText(SessionCode code) {
  switch (code) {
    case SessionCode::FenceBusy:
      return "C5_FENCE_BUSY";
    case SessionCode::ReadFailed:
      return "C5_READ_FAILED";
    case SessionCode::Incomplete:
      return "C5_INCOMPLETE";
    case SessionCode::Limit:
      return "C5_LIMIT";
    case SessionCode::InvalidFrame:
      return "C5_INVALID_FRAME";
    case SessionCode::UnsupportedProtocol:
      return "C5_UNSUPPORTED_PROTOCOL";
    case SessionCode::InvalidOrder:
      return "C5_INVALID_ORDER";
    case SessionCode::InvalidNonce:
      return "C5_INVALID_NONCE";
    case SessionCode::NonceMismatch:
      return "C5_NONCE_MISMATCH";
    case SessionCode::InvalidManifest:
      return "C5_INVALID_MANIFEST";
    case SessionCode::InvalidEntries:
      return "C5_INVALID_ENTRIES";
    case SessionCode::InvalidEntry:
      return "C5_INVALID_ENTRY";
    case SessionCode::EngineFailed:
      return "C5_ENGINE_FAILED";
    case SessionCode::EngineDisconnected:
      return "C5_ENGINE_DISCONNECTED";
    case SessionCode::InvalidResult:
      return "C5_INVALID_RESULT";
    case SessionCode::ResponseLimit:
      return "C5_RESPONSE_LIMIT";
    case SessionCode::ResponseWriteFailed:
      return "C5_RESPONSE_WRITE_FAILED";
    case SessionCode::Cancelled:
      return "CANCELLED";
  }
  return "C5_INVALID_ORDER";  // unreachable: every member is listed above
}

Result<std::string, SessionCode> responseText(const Json& message) {
  std::string text;
  text.reserve(kInitialMessageCapacity);
  appendCompactJson(text, message);
  if (!withinResponseLimit(text.size())) return fail(SessionCode::ResponseLimit);
  text.push_back('\n');
  return text;
}

Status<SessionCode> writeResponse(int fd, const Json& message) {
  auto text = responseText(message);
  if (!text) return fail(text.error());
  // Text and line feed leave in one write, so a host never sees a message without its end
  // unless the write itself fails part way.
  if (!writeAll(fd, *text)) return fail(SessionCode::ResponseWriteFailed);
  return {};
}

Json failureObject(const std::optional<std::string>& nonce, SessionCode code) {
  return makeObject({{"code", sessionCodeText(code)},
                     {"kind", "failed"},
                     {"nonce", nonceValue(nonce)},
                     {"version", kProtocolVersion}});
}

Json startedMessage(const std::string& nonce) {
  return plainMessage("started", nonce);
}

Json executingMessage(const std::string& nonce) {
  return plainMessage("executing", nonce);
}

Json completedMessage(const std::string& nonce, uint64_t pageCount,
                      const std::string& resultCommitment, uint64_t revision,
                      const std::string& runId) {
  JsonObject metadata = makeObject({{"pageCount", pageCount},
                                    {"resultCommitment", resultCommitment},
                                    {"revision", revision},
                                    {"runId", runId}});
  return makeObject({{"kind", "completed"},
                     {"metadata", std::move(metadata)},
                     {"nonce", nonce},
                     {"version", kProtocolVersion}});
}

}  // namespace tw
