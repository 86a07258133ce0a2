#include "tallywarden/replay.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <utility>

#include "contracts/commitment.h"
#include "contracts/decode.h"
#include "contracts/formats.h"
#include "contracts/json_reader.h"
#include "contracts/json_writer.h"
#include "contracts/record_checks.h"
#include "engine/engine.h"
#include "tallywarden/json_problem.h"
#include "worker/frames.h"
#include "worker/result_pages.h"

namespace tw::tool {
namespace {

std::string quoted(std::string_view text) {
  std::string out;
  appendJsonString(out, text);
  return out;
}

std::string number(uint64_t value) {
  return std::to_string(value);
}

// The line as a JSON object, when it reads as one.
const Json* frameObject(const Result<Json, JsonReadError>& read) {
  return read && read.value().isObject() ? &read.value() : nullptr;
}

std::string kindOf(const Json* frame) {
  if (frame == nullptr) return {};
  const Json* kind = frame->find("kind");
  return kind != nullptr && kind->isString() ? kind->asString() : std::string();
}

// The kind of a frame that decodeFrame accepted, by what it answers.
std::string_view acceptedKind(FrameAnswer answer) {
  switch (answer) {
    case FrameAnswer::None:
      return "entries";
    case FrameAnswer::Started:
      return "start";
    case FrameAnswer::Executing:
      return "execute";
    case FrameAnswer::Cancelled:
      return "cancel";
  }
  return {};
}

std::string memberSetProblem(const Json& frame, std::string_view kind) {
  const std::span<const std::string_view> wanted = frameMemberNames(kind);
  std::string extra;
  std::string missing;
  for (const auto& [name, value] : frame.asObject()) {
    if (std::find(wanted.begin(), wanted.end(), name) == wanted.end()) {
      extra += (extra.empty() ? "" : ", ") + quoted(name);
    }
  }
  for (const std::string_view name : wanted) {
    if (frame.find(name) == nullptr) missing += (missing.empty() ? "" : ", ") + quoted(name);
  }
  std::string text = "a \"" + std::string(kind) + "\" frame holds exactly the members ";
  for (size_t i = 0; i < wanted.size(); ++i) text += (i ? ", " : "") + quoted(wanted[i]);
  if (!extra.empty()) text += "; this one has " + extra + " too";
  if (!missing.empty()) text += "; this one lacks " + missing;
  return text;
}

struct Explained {
  Explained(std::string text, std::optional<RecordFault> record = std::nullopt)
      : why(std::move(text)), fault(std::move(record)) {}
  std::string why;
  std::optional<RecordFault> fault;
};

RecordFault entryFault(const Json& entries) {
  RecordFault fault;
  const JsonArray& list = entries.asArray();
  for (size_t i = 0; i < list.size(); ++i) {
    ContractDetail detail;
    if (decodeEntry(list[i], &detail)) continue;
    fault.index = i;
    if (const Json* id = list[i].isObject() ? list[i].find("id") : nullptr;
        id != nullptr && id->isString()) {
      fault.id = id->asString();
    }
    fault.member = "entries[" + std::to_string(i) + "]";
    if (!detail.member.empty()) fault.member += "." + detail.member;
    fault.detail = std::move(detail);
    return fault;
  }
  fault.detail.what = "no element is refused when read again";
  return fault;
}

// Why decodeFrame refused a line with `code`, from the line as read and the state after the
// refusal (only the two counters have moved).
Explained explainRefusal(SessionCode code, const SessionState& state,
                         const Result<Json, JsonReadError>& read) {
  const Json* frame = frameObject(read);
  const std::string kind = kindOf(frame);
  switch (code) {
    case SessionCode::Limit: {
      if (state.frameCount > kMaxFramesPerSession) {
        return {"this is frame " + number(state.frameCount) + " of the session; at most " +
                number(kMaxFramesPerSession) + " frames are read"};
      }
      if (state.byteTotal > kMaxSessionBytes) {
        return {"the session comes to " + number(state.byteTotal) +
                " bytes with this line; at most " + number(kMaxSessionBytes) + " are read"};
      }
      const Json* entries = frame ? frame->find("entries") : nullptr;
      if (entries != nullptr && entries->isArray()) {
        const size_t count = entries->asArray().size();
        if (count > kMaxEntriesPerFrame) {
          return {"the frame holds " + number(count) + " entries; at most " +
                  number(kMaxEntriesPerFrame) + " a frame"};
        }
        return {number(state.heldEntries.size()) + " entries held and " + number(count) +
                " in this frame pass the session's " + number(kMaxHeldEntries)};
      }
      return {"the line passes a session limit"};
    }
    case SessionCode::InvalidFrame: {
      if (!read) return {"the line " + jsonReadProblem(read.error())};
      if (!read->isObject()) return {"the line is a JSON value but not an object"};
      const Json* version = frame->find("version");
      if (version == nullptr) return {"the frame has no \"version\""};
      if (!version->isUnsigned()) {
        return {"\"version\" must be the integer " + number(kProtocolVersion) + ", not " +
                quoteValue(*version)};
      }
      const Json* kindValue = frame->find("kind");
      if (kindValue == nullptr || !kindValue->isString()) {
        return {"the frame has no \"kind\" string"};
      }
      return {memberSetProblem(*frame, kind)};
    }
    case SessionCode::UnsupportedProtocol:
      return {"\"version\" is " + quoteValue(*frame->find("version")) + "; the worker speaks " +
              number(kProtocolVersion)};
    case SessionCode::InvalidOrder:
      if (kind != "start" && kind != "entries" && kind != "execute" && kind != "cancel") {
        return {"kind " + quoted(kind) +
                " is none of \"start\", \"entries\", \"execute\", \"cancel\""};
      }
      if (kind == "start") return {"a session has one \"start\", as its first frame"};
      if (state.executing) return {"no \"" + kind + "\" is accepted after \"execute\""};
      return {"\"execute\" before the manifest is held"};
    case SessionCode::InvalidNonce:
      if (kind == "start") {
        return {"the nonce must be a string of " + number(kMinNonceBytes) + " to " +
                number(kMaxNonceBytes) + " letters, digits, '-' or '_'"};
      }
      return {"the frame has no \"nonce\" string"};
    case SessionCode::NonceMismatch:
      if (!state.nonce) return {"no \"start\" has been accepted yet"};
      return {"the nonce differs from the one of \"start\" (" + quoted(*state.nonce) + ")"};
    case SessionCode::InvalidManifest: {
      RecordFault fault;
      if (const Json* manifest = frame ? frame->find("manifest") : nullptr) {
        (void)decodeRunManifest(*manifest, &fault.detail);
      }
      fault.member = "manifest";
      if (!fault.detail.member.empty()) fault.member += "." + fault.detail.member;
      return {"the manifest is refused", std::move(fault)};
    }
    case SessionCode::InvalidEntries:
      return {"\"entries\" must be an array"};
    case SessionCode::InvalidEntry: {
      const Json* entries = frame ? frame->find("entries") : nullptr;
      if (entries == nullptr || !entries->isArray()) return {"an entry is refused"};
      return {"an entry is refused; the frame is refused whole", entryFault(*entries)};
    }
    default:
      return {"the frame is refused"};
  }
}

// How a run ends once the driver has its outcome, without later input.
struct RunEnding {
  Outcome outcome = Outcome::Completed;
  std::optional<SessionCode> code;
  std::string why;
  std::optional<EngineFailure> engine;
  std::optional<ResultSummary> summary;
};

std::optional<ResultSummary> summarize(const ReconciliationResult& result) {
  ResultSummary summary;
  for (const AllocationStage stage : {AllocationStage::ErpBank, AllocationStage::SalesSettlement,
                                      AllocationStage::SettlementBank}) {
    summary.stages[std::string(toText(stage))];
  }
  for (const Allocation& allocation : result.allocations) {
    StageSummary& stage = summary.stages[std::string(toText(allocation.stage))];
    ++stage.allocations;
    auto cents = parseAmount(allocation.cents);
    if (!cents || __builtin_add_overflow(stage.cents, *cents, &stage.cents)) return std::nullopt;
  }
  summary.pending = result.pendingIds.size();
  summary.residuals = result.residuals.size();
  for (const auto& [id, text] : result.residuals) {
    auto cents = parseAmount(text);
    if (!cents || __builtin_add_overflow(summary.residualTotal, *cents, &summary.residualTotal)) {
      return std::nullopt;
    }
  }
  return summary;
}

// The pages the driver would write, made as the engine thread makes them; the code that would
// stop them, or the commitment.
Result<std::string, SessionCode> makeEveryPage(const ReconciliationResult& result,
                                               const std::string& nonce, uint64_t pageCount) {
  PageBatch batch;
  std::optional<SessionCode> stop;
  auto commitment =
      makeResultPages(result, nonce, pageCount, batch, [&stop](PageBatch& made, bool) {
        stop = made.stop;
        made.clear();
        return true;
      });
  if (!commitment) return fail(stop.value_or(SessionCode::ResponseLimit));
  if (!*commitment) return fail(SessionCode::InvalidResult);
  return std::move(**commitment);
}

RunEnding judgeRun(const std::vector<Entry>& entries, const RunManifest& manifest,
                   const std::string& nonce) {
  RunEnding ending;
  const std::atomic<bool> cancel{false};
  EngineFailure failure;
  std::optional<Result<ReconciliationResult, EngineError>> outcome;
  try {
    outcome.emplace(runEngine(entries, manifest, cancel, kSessionEngineLimits,
                              EntryContractChecks::AlreadyPassed, &failure));
  } catch (...) {
    // The worker's engine thread would hand back no outcome (out of memory, say).
    ending.outcome = Outcome::Failed;
    ending.code = SessionCode::EngineDisconnected;
    ending.why = "the engine run ends without an outcome";
    return ending;
  }
  auto& run = *outcome;
  if (!run) {
    ending.outcome = Outcome::Failed;
    ending.code = SessionCode::EngineFailed;
    ending.why = "the engine run fails with " + std::string(engineErrorName(run.error()));
    ending.engine = std::move(failure);
    return ending;
  }
  const ReconciliationResult& result = *run;
  auto refuse = [&ending](SessionCode code, std::string why) {
    ending.outcome = Outcome::Refused;
    ending.code = code;
    ending.why = std::move(why);
    return ending;
  };
  if (!checkResultRecord(result)) {
    return refuse(SessionCode::InvalidResult, "the result fails the result contract");
  }
  const std::optional<uint64_t> pageCount = resultPageCount(result);
  if (!pageCount) return refuse(SessionCode::ResponseLimit, "the page count passes 64 bits");
  auto commitment = makeEveryPage(result, nonce, *pageCount);
  if (!commitment) {
    return refuse(commitment.error(),
                  commitment.error() == SessionCode::ResponseLimit
                      ? "a result page would pass " + number(kMaxResponseBytes) + " bytes"
                      : "the result cannot be committed");
  }
  const Json completed =
      completedMessage(nonce, *pageCount, *commitment, result.revision, result.runId);
  if (!responseText(completed)) {
    return refuse(SessionCode::ResponseLimit,
                  "the \"completed\" message would pass " + number(kMaxResponseBytes) + " bytes");
  }
  ending.summary = summarize(result);
  if (ending.summary) {
    ending.summary->pages = *pageCount;
    ending.summary->commitment = *commitment;
  }
  ending.why =
      "the result is delivered in " + number(*pageCount) + (*pageCount == 1 ? " page" : " pages");
  return ending;
}

std::string endingInWords(const RunEnding& ending) {
  switch (ending.outcome) {
    case Outcome::Completed:
      return "the run would complete (" + ending.why + ")";
    case Outcome::Failed:
      return "the run would fail with C5_ENGINE_FAILED (" + ending.why + ")";
    default:
      return "the session would end with " +
             std::string(sessionCodeText(ending.code.value_or(SessionCode::InvalidResult))) + " (" +
             ending.why + ")";
  }
}

}  // namespace

std::string_view toText(Outcome outcome) {
  switch (outcome) {
    case Outcome::Completed:
      return "completed";
    case Outcome::Cancelled:
      return "cancelled";
    case Outcome::Failed:
      return "failed";
    case Outcome::Refused:
      return "refused";
  }
  return "refused";
}

Verdict replaySession(const std::function<InputMessage()>& next,
                      const std::function<std::optional<std::string>(uint64_t)>& readFailure) {
  uint64_t linesBytes = 0;
  Verdict verdict;
  SessionState state;
  // For each held entry, the line of its frame and its index there.
  std::vector<std::pair<uint64_t, size_t>> entryPlaces;
  std::vector<Entry> runEntries;
  std::optional<uint64_t> executeLine;
  std::optional<uint64_t> cancelLine;
  uint64_t lineNumber = 0;
  auto refuse = [&verdict](SessionCode code, std::optional<uint64_t> line, std::string why) {
    verdict.outcome = Outcome::Refused;
    verdict.code = code;
    verdict.line = line;
    verdict.why = std::move(why);
  };
  bool ended = false;  // by a refusal or a read failure
  for (;;) {
    InputMessage message = next();
    if (message.kind == InputMessage::Kind::EndOfInput) {
      if (!executeLine) {
        refuse(SessionCode::Incomplete, std::nullopt,
               lineNumber == 0 ? "the input is empty" : "the input ends before \"execute\"");
        return verdict;
      }
      break;
    }
    if (message.kind == InputMessage::Kind::ReadFailure) {
      std::optional<std::string> why;
      if (readFailure) why = readFailure(linesBytes);
      refuse(SessionCode::ReadFailed, lineNumber + 1,
             "line " + number(lineNumber + 1) + " " +
                 why.value_or("is longer than " + number(kMaxLineBytes) +
                              " bytes (line feed included), or the input "
                              "ends inside it without a line feed, or the input cannot be read"));
      ended = true;
      break;
    }
    ++lineNumber;
    linesBytes += message.line.size();
    FrameStep step;
    step.line = lineNumber;
    const size_t heldBefore = state.heldEntries.size();
    auto decoded = decodeFrame(state, message.line);
    step.frames = state.frameCount;
    step.bytes = state.byteTotal;
    // Once the run has the held entries, the session holds them no more, as in the worker.
    step.entries = executeLine ? runEntries.size() : state.heldEntries.size();
    if (!decoded) {
      // Read again only to explain the refusal, as the line that ends the session.
      const auto read = readJson(message.line);
      step.kind = kindOf(frameObject(read));
      step.refusedWith = decoded.error();
      verdict.steps.push_back(step);
      Explained explained = explainRefusal(decoded.error(), state, read);
      refuse(decoded.error(), lineNumber, std::move(explained.why));
      verdict.fault = std::move(explained.fault);
      ended = true;
      break;
    }
    step.kind = acceptedKind(decoded->answer);
    verdict.steps.push_back(std::move(step));
    switch (decoded->answer) {
      case FrameAnswer::None:
        for (size_t i = heldBefore; i < state.heldEntries.size(); ++i) {
          entryPlaces.emplace_back(lineNumber, i - heldBefore);
        }
        break;
      case FrameAnswer::Started:
        break;
      case FrameAnswer::Executing:
        executeLine = lineNumber;
        runEntries = std::move(state.heldEntries);
        break;
      case FrameAnswer::Cancelled:
        if (!executeLine) {
          verdict.outcome = Outcome::Cancelled;
          verdict.code = SessionCode::Cancelled;
          verdict.line = lineNumber;
          verdict.why = "\"cancel\" before \"execute\" ends the session";
          return verdict;
        }
        if (!cancelLine) cancelLine = lineNumber;
        break;
    }
  }
  if (!executeLine) return verdict;  // refused before the run

  RunEnding ending = judgeRun(runEntries, *state.manifest, state.nonce.value_or(""));
  verdict.runEntries = std::move(runEntries);
  if (ended || cancelLine) {
    // Decided by a line read during the run.
    verdict.timingDependent = true;
    verdict.runWithoutLaterLines = endingInWords(ending);
    if (!ended) {
      verdict.outcome = Outcome::Cancelled;
      verdict.code = SessionCode::Cancelled;
      verdict.line = cancelLine;
      verdict.why = "\"cancel\" during the run: the worker stops the run and answers CANCELLED";
    }
    return verdict;
  }
  verdict.outcome = ending.outcome;
  verdict.code = ending.code;
  verdict.line = executeLine;
  verdict.why = std::move(ending.why);
  verdict.summary = std::move(ending.summary);
  if (ending.engine) {
    if (ending.engine->entryIndex && *ending.engine->entryIndex < entryPlaces.size()) {
      const auto [line, index] = entryPlaces[*ending.engine->entryIndex];
      verdict.engineEntryLine = line;
      verdict.engineEntryIndex = index;
      verdict.line = line;
    }
    verdict.engine = std::move(ending.engine);
  }
  return verdict;
}

Verdict replayFd(int fd) {
  LineReader reader(fd);
  // In a file, what follows the last whole line tells which rule of the line reader failed.
  auto readFailure = [fd](uint64_t offset) -> std::optional<std::string> {
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    std::string rest(kMaxLineBytes, '\0');
    const ssize_t got = ::pread(fd, rest.data(), rest.size(), static_cast<off_t>(offset));
    if (got < 0) return std::nullopt;
    rest.resize(static_cast<size_t>(got));
    if (rest.find('\n') != std::string::npos) return std::nullopt;
    if (rest.size() == kMaxLineBytes) {
      return "is longer than " + number(kMaxLineBytes) +
             " bytes, line feed included; the worker never reads it";
    }
    return "is not ended by a line feed (the input ends inside it after " + number(rest.size()) +
           " bytes); the worker never reads a line without its line feed";
  };
  return replaySession([&reader] { return reader.next(); }, readFailure);
}

std::optional<Verdict> replayBytes(const std::string& bytes) {
  std::FILE* file = std::tmpfile();
  if (file == nullptr) return std::nullopt;
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size() &&
                       std::fflush(file) == 0 && std::fseek(file, 0, SEEK_SET) == 0;
  std::optional<Verdict> verdict;
  if (written) verdict = replayFd(fileno(file));
  std::fclose(file);
  return verdict;
}

}  // namespace tw::tool
