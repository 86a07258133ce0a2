#include "tallywarden/replay.h"

#include <array>
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
#include "worker/platform.h"
#include "worker/result_pages.h"
#include "worker/session_protocol.h"

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

// The kind of a frame that the protocol accepted, by what it answers.
std::string_view acceptedKind(SessionAction::Kind action) {
  switch (action) {
    case SessionAction::Kind::Continue:
      return "entries";
    case SessionAction::Kind::Write:
      return "start";
    case SessionAction::Kind::WriteThenRun:
      return "execute";
    default:
      return "cancel";
  }
}

std::string nameList(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ", ") + quoted(name);
  return text;
}

// The sentence of every rule that can end a session, in the enumeration's order. A word in
// braces stands for a figure or a text of the case at hand (see fillIn).
constexpr std::array<std::string_view, kSessionRuleCount> kRuleSentences = {
    // Input.
    "line {line} {reading}",
    "the input {inputEnd}",
    // Counting a line.
    "the line is longer than {maxLine} bytes, line feed included",
    "this is frame {frames} of the session; at most {maxFrames} frames are read",
    "the session comes to {bytes} bytes with this line; at most {maxBytes} are read",
    // Reading a frame.
    "the line {json}",
    "the line is a JSON value but not an object",
    "\"version\" must be the integer {protocol}; the frame has {version}",
    "\"version\" is {version}; the worker speaks {protocol}",
    "the frame has no \"kind\" string",
    "kind {kind} is none of \"start\", \"entries\", \"execute\", \"cancel\"",
    // "start".
    "a session has one \"start\", as its first frame",
    "{members}",
    "the nonce must be a string of {minNonce} to {maxNonce} letters, digits, '-' or '_'",
    "the manifest is refused",
    // The nonce of the other kinds.
    "the frame has no \"nonce\" string",
    "no \"start\" has been accepted yet",
    "the nonce differs from the one of \"start\" ({nonce})",
    // "entries".
    "no \"entries\" is accepted after \"execute\"",
    "{members}",
    "\"entries\" must be an array",
    "the frame holds {batch} entries; at most {maxBatch} a frame",
    "{held} entries held and {batch} in this frame pass the session's {maxHeld}",
    "an entry is refused; the frame is refused whole",
    // "execute".
    "no \"execute\" is accepted after \"execute\"",
    "{members}",
    "\"execute\" before the manifest is held",
    // "cancel".
    "{members}",
    // Delivering a result.
    "the result fails the result contract",
    "the result has no session nonce to be delivered with",
    "the page count passes 64 bits",
    "the result's pages end before the last one",
    "the result cannot be committed",
    // Writing a message.
    "{message} would pass {maxMessage} bytes",
    "a message cannot be written",
};
static_assert(kRuleSentences.back() == "a message cannot be written",
              "one sentence a rule, in the enumeration's order");

// What the words in braces of a sentence stand for in one case.
struct Figures {
  const SessionState* state = nullptr;
  const RefusalDetail* detail = nullptr;
  uint64_t line = 0;
  std::string reading;   // why a line could not be read
  std::string inputEnd;  // how the input ended too early
  std::string message;   // the message that would be too long
};

std::string memberSetProblem(const RefusalDetail& detail) {
  const std::span<const std::string_view> wanted = frameMemberNames(detail.kind);
  std::string text = "a \"" + detail.kind + "\" frame holds exactly the members ";
  for (size_t i = 0; i < wanted.size(); ++i) text += (i ? ", " : "") + quoted(wanted[i]);
  if (!detail.extra.empty()) text += "; this one has " + nameList(detail.extra) + " too";
  if (!detail.missing.empty()) text += "; this one lacks " + nameList(detail.missing);
  return text;
}

std::string figure(std::string_view name, const Figures& f) {
  const RefusalDetail empty;
  const RefusalDetail& d = f.detail != nullptr ? *f.detail : empty;
  if (name == "line") return number(f.line);
  if (name == "reading") return f.reading;
  if (name == "inputEnd") return f.inputEnd;
  if (name == "message") return f.message;
  if (name == "maxLine") return number(kMaxLineBytes);
  if (name == "maxFrames") return number(kMaxFramesPerSession);
  if (name == "maxBytes") return number(kMaxSessionBytes);
  if (name == "maxBatch") return number(kMaxEntriesPerFrame);
  if (name == "maxHeld") return number(kMaxHeldEntries);
  if (name == "maxMessage") return number(kMaxResponseBytes);
  if (name == "minNonce") return number(kMinNonceBytes);
  if (name == "maxNonce") return number(kMaxNonceBytes);
  if (name == "protocol") return number(kProtocolVersion);
  if (name == "frames") return number(f.state->frameCount);
  if (name == "bytes") return number(f.state->byteTotal);
  if (name == "held") return number(f.state->heldEntries.size());
  if (name == "nonce") return f.state->nonce ? quoted(*f.state->nonce) : "none";
  if (name == "batch") return number(d.batch);
  if (name == "kind") return quoted(d.kind);
  if (name == "version") return d.version ? quoteValue(*d.version) : "none";
  if (name == "json") return d.json ? jsonReadProblem(*d.json) : "is not strict JSON";
  if (name == "members") return memberSetProblem(d);
  return "{" + std::string(name) + "}";
}

// The sentence of `rule` with its words in braces filled in.
std::string ruleSentence(SessionRule rule, const Figures& figures) {
  const std::string_view sentence = kRuleSentences[size_t(rule)];
  std::string text;
  size_t at = 0;
  while (at < sentence.size()) {
    const size_t open = sentence.find('{', at);
    const size_t close = open == std::string_view::npos ? open : sentence.find('}', open);
    if (close == std::string_view::npos) {
      text.append(sentence.substr(at));
      break;
    }
    text.append(sentence.substr(at, open - at));
    text += figure(sentence.substr(open + 1, close - open - 1), figures);
    at = close + 1;
  }
  return text;
}

// The record a refusal names, when it names one.
std::optional<RecordFault> recordFault(SessionRule rule, const RefusalDetail& detail) {
  if (rule != SessionRule::ManifestRefused && rule != SessionRule::EntryRefused) {
    return std::nullopt;
  }
  RecordFault fault;
  fault.detail = detail.contract;
  if (rule == SessionRule::ManifestRefused) {
    fault.member = "manifest";
  } else {
    fault.index = detail.element;
    fault.id = detail.elementId;
    fault.member = "entries[" + number(detail.element.value_or(0)) + "]";
  }
  if (!detail.contract.member.empty()) fault.member += "." + detail.contract.member;
  return fault;
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

// The pages the driver would write, made as the engine thread makes them, then what the
// protocol makes of them.
SessionAction deliverPages(SessionProtocol& protocol, const ReconciliationResult& result,
                           uint64_t pageCount, std::string& commitmentText) {
  PageBatch batch;
  std::optional<SessionCode> stop;
  uint64_t made = 0;
  const std::optional<CommitmentOutcome> commitment = makeResultPages(
      result, *protocol.state().nonce, pageCount, batch, [&stop, &made](PageBatch& page, bool) {
        made += page.pageCount();
        stop = page.stop;
        page.clear();
        return true;
      });
  if (commitment && commitment->ok()) commitmentText = commitment->value();
  const Status<SessionCode> pages = stop ? Status<SessionCode>(fail(*stop)) : Status<SessionCode>();
  return protocol.pagesWritten(pages, made, commitment, result.revision, result.runId);
}

// The run, as the driver would see it end with no input after "execute": `protocol` is the
// session as it stood then.
RunEnding judgeRun(SessionProtocol protocol, const std::vector<Entry>& entries) {
  RunEnding ending;
  const std::atomic<bool> cancel{false};
  EngineFailure failure;
  std::optional<Result<ReconciliationResult, EngineError>> outcome;
  try {
    outcome.emplace(runEngine(entries, *protocol.state().manifest, cancel, kSessionEngineLimits,
                              EntryContractChecks::AlreadyPassed, &failure));
  } catch (...) {
    // The worker's engine thread would hand back no outcome (out of memory, say).
  }
  SessionAction action;
  std::string commitment;
  Figures figures;
  figures.state = &protocol.state();
  figures.message = "a result page";
  if (!outcome) {
    action = protocol.runFailed(RunFailure::Disconnected);
    ending.why = "the engine run ends without an outcome";
  } else if (!*outcome) {
    action = protocol.runFailed(RunFailure::Failed);
    ending.why = "the engine run fails with " + std::string(engineErrorName(outcome->error()));
    ending.engine = std::move(failure);
  } else {
    const ReconciliationResult& result = **outcome;
    action = protocol.runResult(checkResultRecord(result).ok(), resultPageCount(result));
    if (action.kind == SessionAction::Kind::Deliver) {
      action = deliverPages(protocol, result, action.pageCount, commitment);
      figures.message = "the \"completed\" message";
      if (action.kind == SessionAction::Kind::WriteThenEnd && !responseText(action.message)) {
        action = SessionAction{SessionAction::Kind::End, Json(), SessionRule::MessageTooLong, 0};
      }
      if (action.kind == SessionAction::Kind::WriteThenEnd) {
        ending.summary = summarize(result);
        if (ending.summary) {
          ending.summary->pages = *resultPageCount(result);
          ending.summary->commitment = commitment;
        }
        const uint64_t pages = *resultPageCount(result);
        ending.why =
            "the result is delivered in " + number(pages) + (pages == 1 ? " page" : " pages");
        return ending;
      }
    }
  }
  if (action.kind == SessionAction::Kind::End) {
    ending.outcome = Outcome::Refused;
    ending.code = sessionCodeOf(action.rule);
    ending.why = ruleSentence(action.rule, figures);
    return ending;
  }
  // A failure object: the code it carries.
  const Json* code = action.message.find("code");
  ending.outcome = Outcome::Failed;
  ending.code = code != nullptr && code->asString() == sessionCodeText(SessionCode::EngineFailed)
                    ? SessionCode::EngineFailed
                    : SessionCode::EngineDisconnected;
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
  SessionProtocol protocol;
  // The session as it stood when the run started, before any later line.
  std::optional<SessionProtocol> atExecute;
  // For each held entry, the line of its frame and its index there.
  std::vector<std::pair<uint64_t, size_t>> entryPlaces;
  std::vector<Entry> runEntries;
  std::optional<uint64_t> executeLine;
  std::optional<uint64_t> cancelLine;
  uint64_t lineNumber = 0;
  auto refuse = [&verdict, &protocol](SessionRule rule, std::optional<uint64_t> line,
                                      const Figures& figures) {
    verdict.outcome = Outcome::Refused;
    verdict.code = sessionCodeOf(rule);
    verdict.line = line;
    Figures filled = figures;
    filled.state = &protocol.state();
    verdict.why = ruleSentence(rule, filled);
  };
  bool ended = false;  // by a refusal or a read failure
  while (!ended) {
    InputMessage message = next();
    if (message.kind == InputMessage::Kind::EndOfInput) {
      const SessionAction action = protocol.endOfInput();
      if (action.kind == SessionAction::Kind::End) {
        Figures figures;
        figures.inputEnd = lineNumber == 0 ? "is empty" : "ends before \"execute\"";
        refuse(action.rule, std::nullopt, figures);
        return verdict;
      }
      break;
    }
    if (message.kind == InputMessage::Kind::ReadFailure) {
      const SessionAction action = protocol.readFailure();
      Figures figures;
      figures.line = lineNumber + 1;
      std::optional<std::string> why;
      if (readFailure) why = readFailure(linesBytes);
      figures.reading = why.value_or("is longer than " + number(kMaxLineBytes) +
                                     " bytes (line feed included), or the input ends inside it "
                                     "without a line feed, or the input cannot be read");
      refuse(action.rule, lineNumber + 1, figures);
      ended = true;
      break;
    }
    ++lineNumber;
    linesBytes += message.line.size();
    FrameStep step;
    step.line = lineNumber;
    const size_t heldBefore = protocol.state().heldEntries.size();
    RefusalDetail detail;
    SessionAction action = protocol.line(message.line, &detail);
    step.frames = protocol.state().frameCount;
    step.bytes = protocol.state().byteTotal;
    // Once the run has the held entries, the session holds them no more, as in the worker.
    step.entries = executeLine ? runEntries.size() : protocol.state().heldEntries.size();
    if (action.kind == SessionAction::Kind::End) {
      step.kind = detail.kind;
      step.refusedWith = sessionCodeOf(action.rule);
      verdict.steps.push_back(step);
      Figures figures;
      figures.detail = &detail;
      refuse(action.rule, lineNumber, figures);
      verdict.fault = recordFault(action.rule, detail);
      ended = true;
      break;
    }
    step.kind = acceptedKind(action.kind);
    verdict.steps.push_back(std::move(step));
    switch (action.kind) {
      case SessionAction::Kind::Continue:
        for (size_t i = heldBefore; i < protocol.state().heldEntries.size(); ++i) {
          entryPlaces.emplace_back(lineNumber, i - heldBefore);
        }
        break;
      case SessionAction::Kind::WriteThenRun:
        executeLine = lineNumber;
        runEntries = protocol.takeEntries();
        atExecute = protocol;
        break;
      case SessionAction::Kind::WriteThenEnd:
        verdict.outcome = Outcome::Cancelled;
        verdict.code = SessionCode::Cancelled;
        verdict.line = lineNumber;
        verdict.why = "\"cancel\" before \"execute\" ends the session";
        return verdict;
      case SessionAction::Kind::StopRun:
        if (!cancelLine) cancelLine = lineNumber;
        break;
      default:
        break;
    }
  }
  if (!executeLine) return verdict;  // refused before the run

  RunEnding ending = judgeRun(*atExecute, runEntries);
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
    std::string rest(kMaxLineBytes, '\0');
    const std::ptrdiff_t got = platform::readFileAt(fd, offset, rest.data(), rest.size());
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
