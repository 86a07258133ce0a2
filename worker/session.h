// One session of the session mode: frames in on `inFd`, messages out on `outFd`.
//
// What the session does is decided by the protocol machine (worker/session_protocol.h); the
// calling thread runs the driver loop that feeds it and is the only writer of `outFd`. An input
// thread cuts `inFd` into lines and hands them over through a queue of eight; it and the driver
// share reading entries frames into records ahead of their turn. After "execute" an engine
// thread runs the matching engine on the held entries (moved to it) and a copy of the manifest,
// hands back one outcome and then makes the result's pages for the driver to write, hashing the
// result's commitment from them. A line the host had written completely when the outcome is
// ready is judged before the outcome. No thread is joined; the invariants the threads keep are
// listed in one place in session.cc.
//
// Returns success when the session ended as the protocol intends (result delivered, or a
// failure object written for a cancellation or an engine failure), otherwise the code that ended
// it; codes are never written. A thread that cannot be started is fatal: a diagnostic on standard
// error and exit status 101.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <variant>
#include <vector>

#include "contracts/result.h"
#include "contracts/source.h"
#include "engine/assembly.h"
#include "engine/engine.h"
#include "worker/responses.h"

namespace tw {

inline constexpr size_t kInputQueueCapacity = 8;
inline constexpr size_t kResultQueueCapacity = 1;
// While the engine runs, the driver never waits longer than this for input, so a cancel and the
// engine's outcome are both noticed within one such turn.
inline constexpr std::chrono::milliseconds kEnginePollInterval{10};
// Longest the driver waits, once the outcome is there, for the input side to hand on the lines
// the host had written completely before it.
inline constexpr std::chrono::milliseconds kInputSettleLimit{1000};
// While the engine runs and the host keeps its end of the input open (as it does to be able to
// cancel), a turn waits only this long for input before it looks for the outcome again, so that
// a finished run is delivered about a millisecond after it ends rather than up to a whole poll
// interval later. Input that arrives wakes the turn at once either way.
inline constexpr std::chrono::milliseconds kOutcomePollInterval{1};

// How the threads a session leaves waiting end: woken as the session ends (the engine thread then
// takes the result apart), or with the process, when it ends as soon as the session returns. On
// the way out, taking the result apart only costs time, and a thread woken then may be given the
// driver's processor before the driver has ended the process.
enum class SessionEnd { WakeThreads, WithTheProcess };

// Runs the matching engine with the session limits.
Status<SessionCode> runSession(int inFd, int outFd, SessionEnd end = SessionEnd::WakeThreads);

// What a session's engine hands back: records, or the result left by position, which reads the
// entries the engine was given (the session keeps them until it no longer reads the result).
using SessionResult = std::variant<ReconciliationResult, PositionalResult>;

// The engine a session runs on its engine thread; tests substitute slow, failing or throwing
// engines to reach every way a run can end.
using SessionEngine = std::function<Result<SessionResult, EngineError>(
    const std::vector<Entry>&, const RunManifest&, const std::atomic<bool>& cancel)>;

// Whether the driver holds each result in records to the result contract before its first page,
// or the engine's results are known to pass it, so that the check could only agree. A result
// left by position is always known to pass: the run that makes it checks it (engine/assembly.h).
enum class ResultContractChecks { Make, AlreadyPassed };

Status<SessionCode> runSession(int inFd, int outFd, SessionEngine engine,
                               ResultContractChecks resultChecks = ResultContractChecks::Make);

// Test hook: from the next session on, the input thread waits `delay` before it hands on each
// line it has read (zero: not at all), as a thread kept from the processor would.
void delayInputLinesForTesting(std::chrono::milliseconds delay);

}  // namespace tw
