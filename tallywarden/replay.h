// Offline replay of a captured session input, judged exactly as the worker judges it.
//
// The input is cut into lines by the worker's own line reader and every line goes through the
// worker's own decodeFrame, in order, against one session state; after "execute" the engine runs
// on the held entries with the session's limits and the same entry checks, and the result goes
// through the checks the driver makes before it delivers it (result contract, page count, pages
// and "completed" message within the response limit, commitment). Nothing here has a rule of its
// own: the verdict is the worker's, the explanations only name what the worker's checks looked
// at.
//
// Lines after "execute" are read by the worker while its run goes on, so what they do depends on
// timing. The replay takes them as the worker takes input that is already there when the run
// starts (a host that writes its whole input at once): each is judged before the run's outcome,
// so a "cancel" there cancels the run, and a refused line ends the session with its code. The
// verdict says when that assumption decided it (timingDependent), and what the run would have
// given without those lines (runWithoutLaterLines).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "contracts/contract_detail.h"
#include "engine/failure.h"
#include "worker/line_reader.h"
#include "worker/responses.h"

namespace tw::tool {

enum class Outcome : uint8_t { Completed, Cancelled, Failed, Refused };
std::string_view toText(Outcome outcome);

// One line handed to decodeFrame, and the session's totals after it.
struct FrameStep {
  uint64_t line = 0;  // 1-based
  std::string kind;   // the frame's "kind" when readable, else empty
  std::optional<SessionCode> refusedWith;
  uint64_t frames = 0;
  uint64_t bytes = 0;
  size_t entries = 0;  // held after the frame
};

// The element of an "entries" frame (or the manifest of a "start") that the decoder refused.
struct RecordFault {
  std::optional<size_t> index;    // element of "entries"; none for the manifest
  std::optional<std::string> id;  // its "id" when it is a string
  std::string member;             // full path, such as "entries[37].origin.fileId"
  ContractDetail detail;
};

struct StageSummary {
  size_t allocations = 0;
  __int128 cents = 0;
};

// What a delivered result holds, in brief.
struct ResultSummary {
  std::map<std::string, StageSummary> stages;  // by stage text, every stage listed
  size_t pending = 0;
  size_t residuals = 0;
  __int128 residualTotal = 0;  // sum of the residual amounts
  uint64_t pages = 0;
  std::string commitment;
};

struct Verdict {
  Outcome outcome = Outcome::Refused;
  std::optional<SessionCode> code;  // the session's code, or the "failed" message's code
  std::optional<uint64_t> line;     // the line that decided it
  std::string why;                  // a sentence for a person
  std::vector<FrameStep> steps;
  std::optional<RecordFault> fault;
  std::optional<EngineFailure> engine;
  // The entry an engine failure names: the line of its frame and its index there.
  std::optional<uint64_t> engineEntryLine;
  std::optional<size_t> engineEntryIndex;
  std::optional<ResultSummary> summary;
  bool timingDependent = false;
  std::string runWithoutLaterLines;  // when timingDependent: the run's own ending, in words
  // The entries the run was given, when it ran (for costing them again).
  std::vector<Entry> runEntries;
};

// Replays the lines `next` hands out (the worker's line reader, or anything giving the same
// messages) as one session. `readFailure`, when given, says in a sentence why reading failed
// after the given number of bytes of whole lines.
[[nodiscard]] Verdict replaySession(
    const std::function<InputMessage()>& next,
    const std::function<std::optional<std::string>(uint64_t)>& readFailure = {});

// Replays the bytes as read from a descriptor by the worker's line reader; for a file, a read
// failure is told apart (a line too long, or an input ending inside a line).
[[nodiscard]] Verdict replayFd(int fd);

// Replays bytes held in memory (written to a temporary file and read back the same way).
// Nothing when no temporary file can be had.
[[nodiscard]] std::optional<Verdict> replayBytes(const std::string& bytes);

// The verdict for a person, and as one JSON object (members in ascending order).
[[nodiscard]] std::string verdictText(const Verdict& verdict);
[[nodiscard]] std::string verdictJson(const Verdict& verdict);

// The explanation of a refusal alone (record fault, sentence), as pack prints it.
[[nodiscard]] std::string refusalText(const Verdict& verdict);

}  // namespace tw::tool
