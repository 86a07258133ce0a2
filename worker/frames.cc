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

// Exactly the members of a frame of `kind`, no more and no fewer; on a difference, `detail`
// (when asked for) lists it.
bool hasExactMembers(const JsonObject& frame, std::string_view kind, RefusalDetail* detail) {
  const std::span<const std::string_view> names = frameMemberNames(kind);
  bool exact = frame.size() == names.size();
  for (std::string_view name : names) {
    if (frame.find(name) == frame.end()) exact = false;
  }
  if (exact || detail == nullptr) return exact;
  for (const auto& [name, value] : frame) {
    if (std::find(names.begin(), names.end(), name) == names.end()) detail->extra.push_back(name);
  }
  for (std::string_view name : names) {
    if (frame.find(name) == frame.end()) detail->missing.emplace_back(name);
  }
  return false;
}

// For every kind but "start": the frame must carry the session's own nonce.
Status<SessionRule> matchNonce(const SessionState& state, const JsonObject& frame) {
  const auto it = frame.find("nonce");
  if (it == frame.end() || !it->second.isString()) return fail(SessionRule::NonceNotText);
  if (!state.nonce) return fail(SessionRule::NoSessionNonce);
  if (*state.nonce != it->second.asString()) return fail(SessionRule::NonceDiffers);
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

using Judged = Result<AcceptedFrame, SessionRule>;

Judged decodeStart(SessionState& state, JsonObject& frame, RefusalDetail* detail) {
  if (state.nonce || !state.heldEntries.empty()) return fail(SessionRule::StartNotFirst);
  if (!hasExactMembers(frame, "start", detail)) return fail(SessionRule::StartMembers);
  const Json& nonce = frame.at("nonce");
  if (!nonce.isString() || !isWellFormedNonce(nonce.asString())) {
    return fail(SessionRule::StartNonceMalformed);
  }
  auto manifest = decodeRunManifest(std::move(frame.at("manifest")),
                                    detail != nullptr ? &detail->contract : nullptr);
  if (!manifest) return fail(SessionRule::ManifestRefused);
  state.manifest = std::move(manifest).value();
  state.nonce = nonce.asString();
  return AcceptedFrame{FrameAnswer::Started, startedMessage(*state.nonce)};
}

Judged decodeEntries(SessionState& state, JsonObject& frame, RefusalDetail* detail) {
  if (state.executing) return fail(SessionRule::EntriesAfterExecute);
  if (auto matched = matchNonce(state, frame); !matched) return fail(matched.error());
  if (!hasExactMembers(frame, "entries", detail)) return fail(SessionRule::EntriesMembers);
  Json& elements = frame.at("entries");
  if (!elements.isArray()) return fail(SessionRule::EntriesNotArray);
  JsonArray& batch = elements.asArray();
  if (detail != nullptr) detail->batch = batch.size();
  if (batch.size() > kMaxEntriesPerFrame) return fail(SessionRule::BatchTooLarge);
  if (state.heldEntries.size() + batch.size() > kMaxHeldEntries) {
    return fail(SessionRule::TooManyHeld);
  }
  // The whole batch is decoded before any of it is kept.
  std::vector<Entry> decoded;
  decoded.reserve(batch.size());
  for (Json& element : batch) {
    if (detail != nullptr) {
      const Json* id = element.isObject() ? element.find("id") : nullptr;
      detail->element = decoded.size();
      detail->elementId.reset();
      if (id != nullptr && id->isString()) detail->elementId = id->asString();
    }
    auto entry = decodeEntry(std::move(element), detail != nullptr ? &detail->contract : nullptr);
    if (!entry) return fail(SessionRule::EntryRefused);
    decoded.push_back(std::move(entry).value());
  }
  if (detail != nullptr) detail->element.reset();
  holdEntries(state, decoded);
  return AcceptedFrame{FrameAnswer::None, Json()};
}

Judged decodeExecute(SessionState& state, const JsonObject& frame, RefusalDetail* detail) {
  if (state.executing) return fail(SessionRule::ExecuteAfterExecute);
  if (auto matched = matchNonce(state, frame); !matched) return fail(matched.error());
  if (!hasExactMembers(frame, "execute", detail)) return fail(SessionRule::ExecuteMembers);
  if (!state.manifest) return fail(SessionRule::ExecuteWithoutManifest);
  state.executing = true;
  return AcceptedFrame{FrameAnswer::Executing, executingMessage(*state.nonce)};
}

Judged decodeCancel(const SessionState& state, const JsonObject& frame, RefusalDetail* detail) {
  if (auto matched = matchNonce(state, frame); !matched) return fail(matched.error());
  if (!hasExactMembers(frame, "cancel", detail)) return fail(SessionRule::CancelMembers);
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
Status<SessionRule> countLine(SessionState& state, std::string_view line) {
  const uint64_t framesBefore = state.frameCount;
  state.frameCount = saturatingAdd(state.frameCount, 1);
  state.byteTotal = saturatingAdd(state.byteTotal, line.size());
  if (line.size() > kMaxLineBytes) return fail(SessionRule::LineTooLong);
  if (framesBefore >= kMaxFramesPerSession) return fail(SessionRule::TooManyFrames);
  if (state.byteTotal > kMaxSessionBytes) return fail(SessionRule::SessionTooLarge);
  return {};
}

Judged decodeCountedFrame(SessionState& state, std::string_view line, PreparedFrame& prepared,
                          RefusalDetail* detail) {
  if (acceptPlainEntries(state, prepared)) return AcceptedFrame{FrameAnswer::None, Json()};

  auto parsed = readJson(line);
  if (!parsed) {
    if (detail != nullptr) detail->json = parsed.error();
    return fail(SessionRule::NotJson);
  }
  if (!parsed->isObject()) return fail(SessionRule::NotAnObject);
  JsonObject& frame = parsed->asObject();

  const Json* version = parsed->find("version");
  const Json* kind = parsed->find("kind");
  if (detail != nullptr) {
    if (version != nullptr) detail->version = *version;
    if (kind != nullptr && kind->isString()) detail->kind = kind->asString();
  }
  if (!version || !version->isUnsigned()) return fail(SessionRule::VersionNotAnInteger);
  if (version->asUnsigned() != kProtocolVersion) return fail(SessionRule::VersionUnsupported);

  if (!kind || !kind->isString()) return fail(SessionRule::KindNotText);
  const std::string& kindText = kind->asString();
  if (kindText == "start") return decodeStart(state, frame, detail);
  if (kindText == "entries") return decodeEntries(state, frame, detail);
  if (kindText == "execute") return decodeExecute(state, frame, detail);
  if (kindText == "cancel") return decodeCancel(state, frame, detail);
  return fail(SessionRule::KindUnknown);
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

Result<AcceptedFrame, SessionRule> decodeFrame(SessionState& state, std::string_view line,
                                               RefusalDetail* detail) {
  if (auto counted = countLine(state, line); !counted) return fail(counted.error());
  PreparedFrame prepared = prepareFrame(line);
  return decodeCountedFrame(state, line, prepared, detail);
}

Result<AcceptedFrame, SessionRule> decodeFrame(SessionState& state, std::string_view line,
                                               PreparedFrame prepared, RefusalDetail* detail) {
  if (auto counted = countLine(state, line); !counted) return fail(counted.error());
  return decodeCountedFrame(state, line, prepared, detail);
}

}  // namespace tw
