#include "worker/frames.h"

#include <algorithm>
#include <initializer_list>
#include <utility>

#include "contracts/decode.h"
#include "contracts/json_reader.h"
#include "contracts/record_checks.h"
#include "worker/entries_frame.h"
#include "worker/line_reader.h"

namespace tw {

namespace {

bool isNonceByte(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_';
}

constexpr std::string_view kStartMembers[] = {"kind", "manifest", "nonce", "version"};
constexpr std::string_view kEntriesMembers[] = {"entries", "kind", "nonce", "version"};
constexpr std::string_view kPlainMembers[] = {"kind", "nonce", "version"};

// Exactly the members of a frame of `kind`, no more and no fewer.
bool hasExactMembers(const JsonObject& frame, std::string_view kind) {
  const std::span<const std::string_view> names = frameMemberNames(kind);
  if (frame.size() != names.size()) return false;
  for (std::string_view name : names) {
    if (frame.find(name) == frame.end()) return false;
  }
  return true;
}

// For every kind but "start": the frame must carry the session's own nonce.
Status<SessionCode> matchNonce(const SessionState& state, const JsonObject& frame) {
  const auto it = frame.find("nonce");
  if (it == frame.end() || !it->second.isString()) return fail(SessionCode::InvalidNonce);
  if (!state.nonce || *state.nonce != it->second.asString()) {
    return fail(SessionCode::NonceMismatch);
  }
  return {};
}

uint64_t saturatingAdd(uint64_t a, uint64_t b) {
  uint64_t sum = 0;
  return __builtin_add_overflow(a, b, &sum) ? UINT64_MAX : sum;
}

// Keeps an accepted batch, in arrival order. Room for every entry a session may hold is taken
// with the first batch, so that held entries are never moved again as more arrive.
void holdEntries(SessionState& state, std::vector<Entry>& batch) {
  if (state.heldEntries.empty()) state.heldEntries.reserve(kMaxHeldEntries);
  for (Entry& entry : batch) state.heldEntries.push_back(std::move(entry));
}

Result<AcceptedFrame, SessionCode> decodeStart(SessionState& state, JsonObject& frame) {
  if (state.nonce || !state.heldEntries.empty()) return fail(SessionCode::InvalidOrder);
  if (!hasExactMembers(frame, "start")) {
    return fail(SessionCode::InvalidFrame);
  }
  const Json& nonce = frame.at("nonce");
  if (!nonce.isString() || !isWellFormedNonce(nonce.asString())) {
    return fail(SessionCode::InvalidNonce);
  }
  auto manifest = decodeRunManifest(std::move(frame.at("manifest")));
  if (!manifest) return fail(SessionCode::InvalidManifest);
  state.manifest = std::move(manifest).value();
  state.nonce = nonce.asString();
  return AcceptedFrame{FrameAnswer::Started, startedMessage(*state.nonce)};
}

Result<AcceptedFrame, SessionCode> decodeEntries(SessionState& state, JsonObject& frame) {
  if (state.executing) return fail(SessionCode::InvalidOrder);
  if (auto matched = matchNonce(state, frame); !matched) return fail(matched.error());
  if (!hasExactMembers(frame, "entries")) {
    return fail(SessionCode::InvalidFrame);
  }
  Json& elements = frame.at("entries");
  if (!elements.isArray()) return fail(SessionCode::InvalidEntries);
  JsonArray& batch = elements.asArray();
  if (batch.size() > kMaxEntriesPerFrame ||
      state.heldEntries.size() + batch.size() > kMaxHeldEntries) {
    return fail(SessionCode::Limit);
  }
  // The whole batch is decoded before any of it is kept.
  std::vector<Entry> decoded;
  decoded.reserve(batch.size());
  for (Json& element : batch) {
    auto entry = decodeEntry(std::move(element));
    if (!entry) return fail(SessionCode::InvalidEntry);
    decoded.push_back(std::move(entry).value());
  }
  holdEntries(state, decoded);
  return AcceptedFrame{FrameAnswer::None, Json()};
}

Result<AcceptedFrame, SessionCode> decodeExecute(SessionState& state, const JsonObject& frame) {
  if (state.executing) return fail(SessionCode::InvalidOrder);
  if (auto matched = matchNonce(state, frame); !matched) return fail(matched.error());
  if (!hasExactMembers(frame, "execute")) {
    return fail(SessionCode::InvalidFrame);
  }
  if (!state.manifest) return fail(SessionCode::InvalidOrder);
  state.executing = true;
  return AcceptedFrame{FrameAnswer::Executing, executingMessage(*state.nonce)};
}

Result<AcceptedFrame, SessionCode> decodeCancel(const SessionState& state,
                                                const JsonObject& frame) {
  if (auto matched = matchNonce(state, frame); !matched) return fail(matched.error());
  if (!hasExactMembers(frame, "cancel")) {
    return fail(SessionCode::InvalidFrame);
  }
  return AcceptedFrame{FrameAnswer::Cancelled, failureObject(state.nonce, SessionCode::Cancelled)};
}

// An "entries" frame read directly into records (every valid one is): accepted here only when
// every check that decodeEntries would make passes; otherwise nothing is changed and the frame
// is decoded the general way, which then finds the same first failure.
bool acceptPlainEntries(SessionState& state, PreparedFrame& prepared) {
  if (!prepared.plainEntries || !prepared.entriesPassContract) return false;
  PlainEntriesFrame& frame = *prepared.plainEntries;
  if (state.executing || !state.nonce || *state.nonce != frame.nonce) return false;
  if (frame.entries.size() > kMaxEntriesPerFrame ||
      state.heldEntries.size() + frame.entries.size() > kMaxHeldEntries) {
    return false;
  }
  holdEntries(state, frame.entries);
  return true;
}

// Counts the line against the session limits before anything is tested, so that a refused
// line counts too.
Status<SessionCode> countLine(SessionState& state, std::string_view line) {
  const uint64_t framesBefore = state.frameCount;
  state.frameCount = saturatingAdd(state.frameCount, 1);
  state.byteTotal = saturatingAdd(state.byteTotal, line.size());
  if (line.size() > kMaxLineBytes || framesBefore >= kMaxFramesPerSession ||
      state.byteTotal > kMaxSessionBytes) {
    return fail(SessionCode::Limit);
  }
  return {};
}

Result<AcceptedFrame, SessionCode> decodeCountedFrame(SessionState& state, std::string_view line,
                                                      PreparedFrame& prepared) {
  if (acceptPlainEntries(state, prepared)) return AcceptedFrame{FrameAnswer::None, Json()};

  auto parsed = readJson(line);
  if (!parsed || !parsed->isObject()) return fail(SessionCode::InvalidFrame);
  JsonObject& frame = parsed->asObject();

  const Json* version = parsed->find("version");
  if (!version || !version->isUnsigned()) return fail(SessionCode::InvalidFrame);
  if (version->asUnsigned() != kProtocolVersion) return fail(SessionCode::UnsupportedProtocol);

  const Json* kind = parsed->find("kind");
  if (!kind || !kind->isString()) return fail(SessionCode::InvalidFrame);
  const std::string& kindText = kind->asString();
  if (kindText == "start") return decodeStart(state, frame);
  if (kindText == "entries") return decodeEntries(state, frame);
  if (kindText == "execute") return decodeExecute(state, frame);
  if (kindText == "cancel") return decodeCancel(state, frame);
  return fail(SessionCode::InvalidOrder);
}

}  // namespace

std::span<const std::string_view> frameMemberNames(std::string_view kind) {
  if (kind == "start") return kStartMembers;
  if (kind == "entries") return kEntriesMembers;
  return kPlainMembers;
}

bool isWellFormedNonce(std::string_view text) {
  if (text.size() < kMinNonceBytes || text.size() > kMaxNonceBytes) return false;
  for (char c : text) {
    if (!isNonceByte(c)) return false;
  }
  return true;
}

PreparedFrame prepareFrame(std::string_view line) {
  PreparedFrame prepared;
  prepared.plainEntries = readPlainEntriesFrame(line);
  if (prepared.plainEntries) {
    const std::vector<Entry>& entries = prepared.plainEntries->entries;
    EntryContractRun contract;
    prepared.entriesPassContract =
        std::all_of(entries.begin(), entries.end(),
                    [&contract](const Entry& entry) { return contract.passes(entry); });
  }
  return prepared;
}

Result<AcceptedFrame, SessionCode> decodeFrame(SessionState& state, std::string_view line) {
  if (auto counted = countLine(state, line); !counted) return fail(counted.error());
  PreparedFrame prepared = prepareFrame(line);
  return decodeCountedFrame(state, line, prepared);
}

Result<AcceptedFrame, SessionCode> decodeFrame(SessionState& state, std::string_view line,
                                               PreparedFrame prepared) {
  if (auto counted = countLine(state, line); !counted) return fail(counted.error());
  return decodeCountedFrame(state, line, prepared);
}

}  // namespace tw
