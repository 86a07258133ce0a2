// The session protocol as one pure, synchronous machine.
//
// SessionProtocol is told, one event at a time, what happened (a line, the end of input, a read
// failure, the run's outcome, the pages written) and answers what to do next (write a message,
// start the run, stop it, deliver the pages, end). It reads no stream, starts no thread and
// writes nothing: the worker's driver, the tool's check and the session fuzz target all drive
// it, each with its own plumbing. Every ending with a code names the rule that decided it.
//
// OutputCourse is the order of the messages a session writes, for whoever reads them back.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "contracts/json.h"
#include "contracts/result.h"
#include "contracts/source.h"
#include "worker/frames.h"
#include "worker/responses.h"
#include "worker/session_rules.h"

namespace tw {

// The codes a "failed" message carries, and no other.
inline constexpr std::array<SessionCode, 3> kFailureObjectCodes = {
    SessionCode::Cancelled, SessionCode::EngineFailed, SessionCode::EngineDisconnected};

// The kinds of the messages a session writes.
enum class MessageKind : uint8_t { Started, Executing, Failed, ResultPage, Completed };

// The kind named by a message's "kind" text; nothing for any other text.
[[nodiscard]] std::optional<MessageKind> messageKindOf(std::string_view text);

// The order of a session's messages: "started"; then "failed" (a cancel before "execute"), or
// "executing" and then either one "failed" or one or more pages and "completed". Nothing follows
// "failed" or "completed".
class OutputCourse {
 public:
  // Takes a message of `kind` when it may come next; false, taking nothing, otherwise.
  [[nodiscard]] bool take(MessageKind kind);
  // After "failed" or "completed".
  [[nodiscard]] bool ended() const { return at_ == At::Ended; }

 private:
  enum class At : uint8_t { Nothing, Started, Executing, Pages, Ended };
  At at_ = At::Nothing;
};

// What the driver does next.
struct SessionAction {
  enum class Kind : uint8_t {
    Continue,      // nothing: take the next input
    Write,         // write `message`; a failed write ends the session with the write's code
    WriteThenRun,  // write `message` ("executing"); once it is written, start the run
    StopRun,       // set the run's cancel flag; write nothing
    Deliver,       // write the result's `pageCount` pages, then report with pagesWritten()
    WriteThenEnd,  // write `message`; the session ends, with the write's code if it failed
    End,           // the session ends with sessionCodeOf(rule), writing nothing
  };
  Kind kind = Kind::Continue;
  Json message;                                // Write, WriteThenRun, WriteThenEnd
  SessionRule rule = SessionRule::ReadFailed;  // End
  uint64_t pageCount = 0;                      // Deliver
};

// How a run ended without a result.
enum class RunFailure : uint8_t {
  Failed,        // the engine failed, for whatever reason (cancellation included)
  Disconnected,  // the engine thread ended without an outcome
};

class SessionProtocol {
 public:
  // One line, line feed included; `prepared`, when given, is prepareFrame(line). A refusal ends
  // the session with its rule; `detail`, when given, is filled in for it.
  SessionAction line(std::string_view text, RefusalDetail* detail = nullptr);
  SessionAction line(std::string_view text, PreparedFrame prepared,
                     RefusalDetail* detail = nullptr);
  SessionAction endOfInput();
  SessionAction readFailure();

  // The run's outcome. REQUIRES: running().
  SessionAction runFailed(RunFailure failure);
  // A result: whether it passes the result contract, and its page count (nothing when that
  // does not fit 64 bits). REQUIRES: running().
  SessionAction runResult(bool passesContract, std::optional<uint64_t> pageCount);
  // The pages of a Deliver are written: how writing them ended (a write's code, or the code
  // that stopped the pages), how many were written, and the commitment hashed from them
  // (nothing when none was made). REQUIRES: the last action was Deliver.
  SessionAction pagesWritten(const Status<SessionCode>& pages, uint64_t written,
                             const std::optional<Result<std::string, ContractError>>& commitment,
                             uint64_t revision, const std::string& runId);

  // The held entries, moved out for the run. REQUIRES: the last action was WriteThenRun.
  [[nodiscard]] std::vector<Entry> takeEntries();

  [[nodiscard]] const SessionState& state() const { return state_; }
  // Between an accepted "execute" and the run's outcome.
  [[nodiscard]] bool running() const { return phase_ == Phase::Running; }
  [[nodiscard]] bool inputClosed() const { return inputClosed_; }
  [[nodiscard]] bool cancelRequested() const { return cancelRequested_; }
  [[nodiscard]] bool ended() const { return phase_ == Phase::Ended; }

 private:
  enum class Phase : uint8_t { Open, Running, Delivering, Ended };

  SessionAction judged(Result<AcceptedFrame, SessionRule> judged);
  SessionAction end(SessionRule rule);
  SessionAction write(SessionAction::Kind kind, Json message, MessageKind written);

  SessionState state_;
  Phase phase_ = Phase::Open;
  bool inputClosed_ = false;
  bool cancelRequested_ = false;
  uint64_t pageCount_ = 0;
  OutputCourse course_;  // what has been asked to be written, held to the order in debug builds
};

}  // namespace tw
