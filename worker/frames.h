// Decoding of one inbound frame against the session state.
//
// decodeFrame first counts the line against the session limits (a refused line still counts),
// then reads it as strict JSON, checks "version" and "kind", and applies the checks of its kind
// in a fixed order; the first failing check decides the rule, and so the code. A refusal changes
// nothing but the two counters; an "entries" batch is decoded completely before any of it is kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "contracts/json.h"
#include "contracts/result.h"
#include "contracts/source.h"
#include "worker/entries_frame.h"
#include "worker/responses.h"
#include "worker/session_rules.h"

namespace tw {

inline constexpr uint64_t kMaxFramesPerSession = 256;
inline constexpr uint64_t kMaxSessionBytes = 4194304;
inline constexpr size_t kMaxEntriesPerFrame = 200;
inline constexpr size_t kMaxHeldEntries = 10000;
inline constexpr size_t kMinNonceBytes = 16;
inline constexpr size_t kMaxNonceBytes = 64;

// Everything one session has accepted so far.
struct SessionState {
  std::vector<Entry> heldEntries;  // arrival order
  std::optional<std::string> nonce;
  std::optional<RunManifest> manifest;
  uint64_t frameCount = 0;  // lines handed to decodeFrame, refused ones included
  uint64_t byteTotal = 0;   // their lengths, line feeds included
  bool executing = false;   // set by an accepted "execute", never cleared
};

// What an accepted frame asks the driver to answer.
enum class FrameAnswer {
  None,       // "entries": nothing to write
  Started,    // "start": write `response`
  Executing,  // "execute": write `response`, then start the run
  Cancelled,  // "cancel": `response` is the failure object with "CANCELLED"
};

struct AcceptedFrame {
  FrameAnswer answer = FrameAnswer::None;
  Json response;  // null when answer is None
};

// 16 to 64 bytes of ASCII letters, digits, '-' and '_'.
bool isWellFormedNonce(std::string_view text);

// The members a frame of `kind` holds, exactly these, in ascending text order: "start" and
// "entries" have their own; every other kind has "kind", "nonce" and "version".
[[nodiscard]] std::span<const std::string_view> frameMemberNames(std::string_view kind);

// What can be learnt from a line alone, before the session state is consulted: the records of
// an "entries" frame read directly (readPlainEntriesFrame), and whether every one of them passes
// the entry contract. Preparing depends on nothing but the line, so any thread may prepare a line
// ahead of its turn.
struct PreparedFrame {
  std::optional<PlainEntriesFrame> plainEntries;
  bool entriesPassContract = false;  // meaningful only with plainEntries
};

PreparedFrame prepareFrame(std::string_view line);

// Judges one line (line feed included) and applies an accepted frame to `state`; a refusal
// names the first rule the line breaks (its code is sessionCodeOf(rule)) and, when `detail` is
// given, fills it in.
Result<AcceptedFrame, SessionRule> decodeFrame(SessionState& state, std::string_view line,
                                               RefusalDetail* detail = nullptr);

// The same judgement for a line already prepared by prepareFrame(line): the same rule, the same
// state afterwards.
Result<AcceptedFrame, SessionRule> decodeFrame(SessionState& state, std::string_view line,
                                               PreparedFrame prepared,
                                               RefusalDetail* detail = nullptr);

}  // namespace tw
