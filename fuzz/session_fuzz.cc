// Whole sessions in-process: the bytes become a session's standard input (a pipe written by one
// thread and closed), runSession reads it, and its output (a pipe drained by another thread) is
// checked against the protocol.
//
// Two modes, chosen by the first byte:
// - raw: the remaining bytes are the input as they are;
// - structured: the bytes choose a sequence of mostly valid frames (a valid "start" first, then
//   "entries" batches built from byte choices, "execute", "cancel", a second "start", frames with
//   one defect, raw lines, and an input that ends cleanly, mid-line or in an overlong line) and an
//   engine (the real one, or one that fails, throws, or runs until cancelled).
//
// Checked on every session: each output line is compact strict JSON ended by one line feed; the
// messages follow the protocol's own order (OutputCourse) with the pages numbered 0..n-1 and
// "completed" counting n; every nonce is the session's; a session that returned a code wrote
// neither "completed" nor "failed" (the output here never fails); a session that returned success
// ended with "completed" or one "failed".
//
// The same input is fed, line by line, to the protocol machine (SessionProtocol), which predicts
// the exact output up to "executing" and the exact code of a session that ends before execution.
// After "execute" the ending races with the engine, so the model lists every ending the protocol
// allows (the outcome, "CANCELLED" once a cancel was read, or the code of the first refused
// frame), except that the first line after "execute" comes before the outcome when the whole
// input was in the pipe first; the session must end with one of them, and a delivered result
// must be page for page the result of the same engine on the same entries, with its commitment.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "contracts/commitment.h"
#include "contracts/json_reader.h"
#include "contracts/json_writer.h"
#include "contracts/test_records.h"
#include "engine/engine.h"
#include "fuzz/byte_source.h"
#include "fuzz/entry_choices.h"
#include "worker/fd_io.h"
#include "worker/line_reader.h"
#include "worker/session.h"
#include "worker/session_protocol.h"

namespace {

using tw::Entry;
using tw::Json;
using tw::JsonArray;
using tw::JsonObject;
using tw::SessionCode;
using tw::SourceRole;

// Bounds that keep one input fast; far below every session limit.
constexpr size_t kMaxOps = 40;
constexpr size_t kMaxEntriesPerBatch = 12;
constexpr size_t kMaxRawLineBytes = 512;
constexpr size_t kOverlongLineBytes = tw::kMaxLineBytes + 2;
constexpr auto kSlowEngineRun = std::chrono::milliseconds(3);
// Far beyond any run of the few dozen entries made here, even under the sanitizers.
constexpr auto kThreadsEndWithin = std::chrono::seconds(20);

[[noreturn]] void violated(const char* rule) {
  fprintf(stderr, "session_fuzz: broken rule: %s\n", rule);
  std::abort();
}

void require(bool holds, const char* rule) {
  if (!holds) violated(rule);
}

using tw::fuzzing::ByteSource;

// ---- Engines ----

// Real gives the session records; RealPositional gives it the result left by position, whose
// pages must be those of the same records.
enum class EngineKind { Real, RealPositional, Failing, Throwing, Slow };

tw::SessionEngine makeEngine(EngineKind kind) {
  return [kind](const std::vector<Entry>& entries, const tw::RunManifest& manifest,
                const std::atomic<bool>& cancel) -> tw::Result<tw::SessionResult, tw::EngineError> {
    switch (kind) {
      case EngineKind::Real:
        break;
      case EngineKind::RealPositional: {
        auto run = tw::runEnginePositional(entries, manifest, cancel, tw::kSessionEngineLimits,
                                           tw::EntryContractChecks::Run);
        if (!run) return tw::fail(run.error());
        return tw::SessionResult(std::move(run).value());
      }
      case EngineKind::Failing:
        return tw::fail(tw::EngineError::InconsistentInput);
      case EngineKind::Throwing:
        throw std::runtime_error("engine thread ends abnormally");
      case EngineKind::Slow: {
        const auto until = std::chrono::steady_clock::now() + kSlowEngineRun;
        while (std::chrono::steady_clock::now() < until) {
          if (cancel.load()) return tw::fail(tw::EngineError::Cancelled);
          std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        break;
      }
    }
    auto run = tw::runEngine(entries, manifest, cancel, tw::kSessionEngineLimits);
    if (!run) return tw::fail(run.error());
    return tw::SessionResult(std::move(run).value());
  };
}

// ---- Running one session ----

struct SessionRun {
  tw::Status<SessionCode> status = tw::Status<SessionCode>();
  std::string output;
};

// The threads of this process, by task id.
std::set<long> liveThreads() {
  std::set<long> ids;
  DIR* tasks = ::opendir("/proc/self/task");
  if (tasks == nullptr) violated("/proc/self/task readable");
  while (const dirent* task = ::readdir(tasks)) {
    if (task->d_name[0] != '.') ids.insert(std::strtol(task->d_name, nullptr, 10));
  }
  ::closedir(tasks);
  return ids;
}

// Waits until every thread that is not in `before` has ended. The session leaves its input and
// engine threads running; both must end on their own once the input has ended and the run is
// over, and they must be gone before the next input (and before a leak check, which does not
// look into a thread that is starting or ending).
void awaitSessionThreads(const std::set<long>& before) {
  const auto deadline = std::chrono::steady_clock::now() + kThreadsEndWithin;
  for (;;) {
    bool newcomer = false;
    for (long id : liveThreads()) newcomer |= before.count(id) == 0;
    if (!newcomer) return;
    if (std::chrono::steady_clock::now() > deadline) violated("the session's threads end");
    std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
}

SessionRun runOneSession(const std::string& input, EngineKind engine) {
  const std::set<long> before = liveThreads();
  int in[2];
  int out[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) violated("pipes available");
  // runSession reads through its own duplicate of in[0], which its input thread closes when it
  // ends (at the end of input this writer makes, or once the session stopped listening), so this
  // iteration's descriptors can be closed as soon as runSession returns.
  std::thread writer([fd = in[1], &input] {
    (void)tw::writeAll(fd, input);  // fails with EPIPE once nobody reads any more
    ::close(fd);
  });
  std::string output;
  std::thread collector([fd = out[0], &output] {
    char buffer[8192];
    for (;;) {
      const ssize_t got = tw::readRetrying(fd, buffer, sizeof buffer);
      if (got <= 0) break;
      output.append(buffer, static_cast<size_t>(got));
    }
    ::close(fd);
  });
  SessionRun run;
  run.status = tw::runSession(in[0], out[1], makeEngine(engine));
  ::close(in[0]);
  ::close(out[1]);
  writer.join();
  collector.join();
  run.output = std::move(output);
  awaitSessionThreads(before);
  return run;
}

// ---- Protocol properties of any session ----

std::string kindOf(const Json& message) {
  const Json* kind = message.find("kind");
  require(kind && kind->isString(), "every message has a text kind");
  return kind->asString();
}

uint64_t unsignedMember(const Json& object, const char* name) {
  const Json* member = object.find(name);
  require(member && member->isUnsigned(), "page numbers are unsigned integers");
  return member->asUnsigned();
}

std::vector<Json> checkProtocol(const SessionRun& run) {
  const std::string& out = run.output;
  require(out.empty() || out.back() == '\n', "output ends with a line feed");
  std::vector<Json> messages;
  size_t begin = 0;
  while (begin < out.size()) {
    const size_t end = out.find('\n', begin);
    const std::string_view line(out.data() + begin, end - begin);
    require(!line.empty() && line.back() != '\r', "one line feed ends each line");
    auto value = tw::readJson(line);
    require(value.ok() && value.value().isObject(), "each line is one strict JSON object");
    require(tw::toCompactJson(value.value()) == line, "each line is written compactly");
    messages.push_back(std::move(value).value());
    begin = end + 1;
  }

  tw::OutputCourse course;
  std::string nonce;
  uint64_t pageCount = 0;
  uint64_t pages = 0;
  bool failed = false;
  bool completed = false;
  for (const Json& message : messages) {
    const std::optional<tw::MessageKind> kind = tw::messageKindOf(kindOf(message));
    require(kind.has_value(), "a known message kind");
    const Json* version = message.find("version");
    require(version && version->isUnsigned() && version->asUnsigned() == 1, "version 1");
    const Json* messageNonce = message.find("nonce");
    require(messageNonce && messageNonce->isString(), "every message carries the nonce");
    require(course.take(*kind), "messages come in the session's order");
    if (*kind == tw::MessageKind::Started) nonce = messageNonce->asString();
    require(messageNonce->asString() == nonce, "every message carries the session nonce");
    if (*kind == tw::MessageKind::Failed) {
      failed = true;
    } else if (*kind == tw::MessageKind::ResultPage) {
      const uint64_t count = unsignedMember(message, "pageCount");
      if (pages == 0) pageCount = count;
      require(count == pageCount && count >= 1, "every page gives the same page count");
      require(unsignedMember(message, "pageIndex") == pages, "pages are numbered 0, 1, 2, ...");
      require(pages < pageCount, "no more pages than the page count");
      ++pages;
    } else if (*kind == tw::MessageKind::Completed) {
      const Json* metadata = message.find("metadata");
      require(metadata && metadata->isObject(), "completed has metadata");
      require(unsignedMember(*metadata, "pageCount") == pages && pages == pageCount,
              "completed counts exactly the pages written");
      completed = true;
    }
  }
  if (!run.status.ok()) {
    require(!completed, "a session that returned a code wrote no completed");
    require(!failed, "a session that returned a code wrote no failure object");
  } else {
    require(completed || failed, "a successful session ends with completed or failed");
  }
  return messages;
}

// ---- Structured sessions ----

enum class FrameKind { Start, Entries, Execute, Cancel };

enum class Defect {
  None,
  Garbage,          // not one strict JSON object
  Version2,         // "version": 2
  VersionText,      // "version": "1"
  UnknownKind,      // "kind": "Start"
  ExtraMember,      // one member too many
  MissingNonce,     // no "nonce" member
  WrongNonce,       // a well-formed nonce that is not the session's
  BadNonce,         // "start" with a 15-byte nonce
  BadManifest,      // "start" whose manifest fails decoding
  EntriesNotArray,  // "entries": {}
  BadEntry,         // one element of "entries" fails decoding
};

const std::vector<std::string> kNonces = {
    "host-session-0001", "ABCDEFGHIJKLMNOP", "n_" + std::string(62, 'z'),  // exactly 64 bytes
};

// One ending the protocol allows once execution has started.
struct Ending {
  enum class Kind { Outcome, Cancelled, Code } kind;
  SessionCode code = SessionCode::InvalidFrame;
  // The outcome before the first line after "execute": impossible when that line was in the
  // pipe before "execute" could be read.
  bool beforeFirstLine = false;
};

std::string messageLine(const std::string& kind, const std::string& nonce) {
  return tw::toCompactJson(tw::makeObject({{"kind", kind}, {"nonce", nonce}, {"version", 1}}));
}

std::string failedLine(SessionCode code, const std::string& nonce) {
  return tw::toCompactJson(tw::makeObject(
      {{"code", tw::sessionCodeText(code)}, {"kind", "failed"}, {"nonce", nonce}, {"version", 1}}));
}

// The session as the protocol machine judges it, fed the same input as the driver.
class Model {
 public:
  tw::SessionProtocol protocol;
  bool executed = false;  // "executing" was written
  std::string nonce;
  tw::RunManifest manifest;
  std::vector<Entry> held;         // the run's entries
  std::vector<std::string> lines;  // exact output up to and including "executing"
  tw::Status<SessionCode> endedWith = tw::Status<SessionCode>();  // ended before execution
  std::vector<Ending> endings;                                    // possible endings once executing
  bool settled = false;  // an ending event was read during execution; later input is moot
  // Bytes of input, as the line reader cuts them: every whole line; false after a line too
  // long to be read (a read failure).
  bool input(const std::string& bytes) {
    size_t begin = 0;
    for (size_t feed = bytes.find('\n'); feed != std::string::npos;
         feed = bytes.find('\n', begin)) {
      if (feed + 1 - begin > tw::kMaxLineBytes) {
        readFailure();
        return false;
      }
      line(bytes.substr(begin, feed + 1 - begin));
      begin = feed + 1;
    }
    return true;
  }

  void line(const std::string& text) {
    if (protocol.ended() || settled) return;
    if (executed) beforeExecutingEvent(true);
    act(protocol.line(text));
  }

  void readFailure() {
    if (protocol.ended() || settled) return;
    if (executed) beforeExecutingEvent(false);
    act(protocol.readFailure());
  }

  void endOfInput() {
    if (protocol.ended() || settled) return;
    if (executed) {
      // Input closed during execution: the outcome is still awaited.
      beforeExecutingEvent(false);
      settled = true;
      return;
    }
    act(protocol.endOfInput());
  }

 private:
  void act(tw::SessionAction action) {
    using Kind = tw::SessionAction::Kind;
    switch (action.kind) {
      case Kind::Continue:
      case Kind::StopRun:
        return;
      case Kind::Write:
        lines.push_back(tw::toCompactJson(action.message));
        nonce = *protocol.state().nonce;
        manifest = *protocol.state().manifest;
        return;
      case Kind::WriteThenRun:
        lines.push_back(tw::toCompactJson(action.message));
        held = protocol.takeEntries();
        executed = true;
        return;
      case Kind::WriteThenEnd:
        lines.push_back(tw::toCompactJson(action.message));
        endedWith = tw::Status<SessionCode>();
        return;
      case Kind::End:
        if (executed) {
          endings.push_back({Ending::Kind::Code, tw::sessionCodeOf(action.rule)});
          settled = true;
        } else {
          endedWith = tw::fail(tw::sessionCodeOf(action.rule));
        }
        return;
      case Kind::Deliver:
        violated("the protocol delivers only after an outcome");
    }
  }

  // Before the driver reads the next input, the engine's outcome may already have been handled;
  // not before the first line after "execute" when that line was there before any outcome.
  void beforeExecutingEvent(bool isLine) {
    const bool first = eventsAfterExecute_++ == 0;
    endings.push_back({protocol.cancelRequested() ? Ending::Kind::Cancelled : Ending::Kind::Outcome,
                       SessionCode::InvalidFrame, first && isLine});
  }

  size_t eventsAfterExecute_ = 0;
};

std::string withLineFeed(const Json& frame, ByteSource& in) {
  std::string line = tw::toCompactJson(frame);
  const uint8_t look = in.next();
  // Cosmetic variants the decoder must accept alike: trailing whitespace and CR LF.
  if (look % 8 == 1) line.append(static_cast<size_t>(look % 5) + 1, ' ');
  if (look % 8 == 2) line.push_back('\r');
  line.push_back('\n');
  return line;
}

Entry buildEntry(ByteSource& in) {
  // Identifiers from a small pool, so a run sometimes holds the same one twice.
  const uint8_t id = in.next();
  return tw::fuzzing::chooseEntry(in, "E" + std::to_string(id % 64));
}

tw::RunManifest buildManifest(ByteSource& in) {
  switch (in.next() % 4) {
    case 1:
      return tw::testing::makeManifest("run-fuzz", "2024-01-01", "2024-01-03");
    case 2:  // leaves the entries of 2024-01-03 outside the window: the engine refuses the run
      return tw::testing::makeManifest("run-fuzz", "2024-01-01", "2024-01-02");
    default:
      return tw::testing::makeManifest("run-fuzz");
  }
}

Defect pickDefect(FrameKind kind, ByteSource& in) {
  const uint8_t choice = in.next();
  if (choice % 8 != 7) return Defect::None;
  static const Defect kCommon[] = {Defect::Garbage,     Defect::Version2,    Defect::VersionText,
                                   Defect::UnknownKind, Defect::ExtraMember, Defect::MissingNonce,
                                   Defect::WrongNonce};
  const uint8_t which = choice >> 3;
  if (kind == FrameKind::Start && which % 4 == 0) {
    return (which >> 2) % 2 ? Defect::BadNonce : Defect::BadManifest;
  }
  if (kind == FrameKind::Entries && which % 4 == 0) {
    return (which >> 2) % 2 ? Defect::EntriesNotArray : Defect::BadEntry;
  }
  const Defect defect = kCommon[which % 7];
  // A "start" carries no nonce to mismatch; its nonce defects are the ones above.
  if (kind == FrameKind::Start && defect == Defect::WrongNonce) return Defect::None;
  return defect;
}

std::string garbageLine(ByteSource& in) {
  switch (in.next() % 5) {
    case 0:
      return "\n";
    case 1:
      return "[]\n";
    case 2:
      return "{\"version\":1,\"kind\":\"execute\"\n";
    case 3:
      return "{\"version\":1,\"kind\":\"cancel\",\"kind\":\"cancel\"}\n";
    default:
      return "{\"version\":1,\"kind\":\"cancel\"} {}\n";
  }
}

struct Structured {
  std::string input;
  EngineKind engine = EngineKind::Real;
  Model model;
};

Structured buildStructured(ByteSource& in) {
  Structured s;
  const uint8_t setup = in.next();
  static const EngineKind kEngines[] = {
      EngineKind::Real, EngineKind::Real, EngineKind::RealPositional, EngineKind::RealPositional,
      EngineKind::Slow, EngineKind::Slow, EngineKind::Failing,        EngineKind::Throwing};
  s.engine = kEngines[setup % 8];
  const std::string sessionNonce = kNonces[(setup >> 3) % kNonces.size()];
  const std::string otherNonce = kNonces[((setup >> 3) + 1) % kNonces.size()];
  const tw::RunManifest manifest = buildManifest(in);
  bool first = true;

  for (size_t op = 0; op < kMaxOps; ++op) {
    if (!first && in.empty()) break;
    uint8_t choice = first ? 11 : in.next();
    // Once executing, most inputs end or cancel: any other frame ends the session before the
    // engine can answer.
    if (s.model.executed) {
      switch (choice % 4) {
        case 1:
        case 2:
          s.model.endOfInput();
          return s;
        case 3:
          choice = 9;  // "cancel"
          break;
        default:
          choice = static_cast<uint8_t>(choice >> 2);
          break;
      }
    }
    FrameKind kind;
    switch (choice % 16) {
      case 6:
      case 7:
      case 8:
        kind = FrameKind::Execute;
        break;
      case 9:
        kind = FrameKind::Cancel;
        break;
      case 10:
        kind = (choice & 0x10) ? FrameKind::Cancel : FrameKind::Execute;
        break;
      case 11:
        kind = FrameKind::Start;
        break;
      case 12: {  // a raw line straight from the bytes: the model cannot follow any more
        const size_t length = in.next() % kMaxRawLineBytes;
        std::string line;
        for (size_t i = 0; i < length && !in.empty(); ++i) line.push_back(char(in.next()));
        s.input += line + "\n";
        s.model.input(line + "\n");
        continue;
      }
      case 13:  // the input ends here, in a partial line or in an overlong one
        if (choice & 0x10) {
          s.input += "{\"version\":1,\"kind\":\"execute\",\"nonce\":\"" + sessionNonce + "\"}";
        } else {
          s.input += std::string(kOverlongLineBytes, ' ');
        }
        s.model.readFailure();
        return s;
      case 14:  // the input ends here
        s.model.endOfInput();
        return s;
      default:
        kind = FrameKind::Entries;
        break;
    }
    first = false;
    const Defect defect = pickDefect(kind, in);
    if (defect == Defect::Garbage) {
      const std::string garbage = garbageLine(in);
      s.input += garbage;
      s.model.input(garbage);
      continue;
    }
    static const char* kKindNames[] = {"start", "entries", "execute", "cancel"};
    JsonObject frame;
    frame["version"] = defect == Defect::Version2      ? Json(2)
                       : defect == Defect::VersionText ? Json("1")
                                                       : Json(1);
    frame["kind"] = defect == Defect::UnknownKind ? "Start" : kKindNames[int(kind)];
    if (defect != Defect::MissingNonce) {
      frame["nonce"] = defect == Defect::WrongNonce ? otherNonce
                       : defect == Defect::BadNonce ? sessionNonce.substr(0, 15)
                                                    : sessionNonce;
    }
    if (defect == Defect::ExtraMember) frame["extra"] = nullptr;
    std::vector<Entry> batch;
    if (kind == FrameKind::Start) {
      Json manifestValue = tw::toJsonValue(manifest);
      if (defect == Defect::BadManifest) manifestValue.asObject()["version"] = 2;
      frame["manifest"] = std::move(manifestValue);
    } else if (kind == FrameKind::Entries) {
      const size_t count = in.next() % (kMaxEntriesPerBatch + 1);
      JsonArray values;
      for (size_t i = 0; i < count; ++i) {
        batch.push_back(buildEntry(in));
        values.push_back(tw::toJsonValue(batch.back()));
      }
      if (defect == Defect::BadEntry) {
        Json broken = tw::toJsonValue(buildEntry(in));
        broken.asObject()["cents"] = "01";  // not a canonical amount
        values.insert(values.begin() + long(in.next() % (values.size() + 1)), std::move(broken));
      }
      frame["entries"] = defect == Defect::EntriesNotArray ? Json(JsonObject{}) : Json(values);
    }
    const std::string line = withLineFeed(Json(std::move(frame)), in);
    s.input += line;
    s.model.input(line);
  }
  s.model.endOfInput();
  return s;
}

// The outcome the engine thread hands over when nothing cancels it.
struct ExpectedOutcome {
  std::optional<tw::ReconciliationResult> result;
  SessionCode code = SessionCode::EngineFailed;
};

ExpectedOutcome expectedOutcome(const Model& model, EngineKind engine) {
  if (engine == EngineKind::Failing) return {std::nullopt, SessionCode::EngineFailed};
  if (engine == EngineKind::Throwing) return {std::nullopt, SessionCode::EngineDisconnected};
  const std::atomic<bool> cancel{false};
  auto run = tw::runEngine(model.held, model.manifest, cancel, tw::kSessionEngineLimits);
  if (!run.ok()) return {std::nullopt, SessionCode::EngineFailed};
  return {std::move(run).value(), SessionCode::EngineFailed};
}

// An input of at most this many bytes goes into the pipe in one atomic write, all of it before
// the session can read "execute".
constexpr size_t kAtomicPipeWrite = PIPE_BUF;

bool allows(const Model& model, size_t inputBytes, Ending::Kind kind,
            SessionCode code = SessionCode::InvalidFrame) {
  for (const Ending& ending : model.endings) {
    if (ending.beforeFirstLine && inputBytes <= kAtomicPipeWrite) continue;
    if (ending.kind == kind && (kind != Ending::Kind::Code || ending.code == code)) return true;
  }
  return false;
}

// `messages` after "executing" must be the delivery of `result`.
void checkDelivery(const std::vector<Json>& messages, size_t from,
                   const tw::ReconciliationResult& result, const std::string& nonce) {
  std::vector<JsonObject> bodies;
  for (const tw::Allocation& allocation : result.allocations) {
    bodies.push_back(tw::makeObject({{"allocations", JsonArray{tw::toJsonValue(allocation)}},
                                     {"pendingIds", JsonArray{}},
                                     {"residuals", JsonObject{}}}));
  }
  for (const std::string& id : result.pendingIds) {
    bodies.push_back(tw::makeObject({{"allocations", JsonArray{}},
                                     {"pendingIds", JsonArray{Json(id)}},
                                     {"residuals", JsonObject{}}}));
  }
  for (const auto& [id, cents] : result.residuals) {
    bodies.push_back(tw::makeObject({{"allocations", JsonArray{}},
                                     {"pendingIds", JsonArray{}},
                                     {"residuals", tw::makeObject({{id, cents}})}}));
  }
  if (bodies.empty()) {
    bodies.push_back(tw::makeObject(
        {{"allocations", JsonArray{}}, {"pendingIds", JsonArray{}}, {"residuals", JsonObject{}}}));
  }
  require(messages.size() == from + bodies.size() + 1, "one page per item, then completed");
  for (size_t i = 0; i < bodies.size(); ++i) {
    const Json expected = tw::makeObject({{"kind", "resultPage"},
                                          {"nonce", nonce},
                                          {"page", bodies[i]},
                                          {"pageCount", uint64_t{bodies.size()}},
                                          {"pageIndex", uint64_t{i}},
                                          {"version", 1}});
    require(messages[from + i] == expected, "each page holds the engine's item in order");
  }
  auto commitment = tw::commitResult(result);
  require(commitment.ok(), "a delivered result can be committed");
  const Json completed =
      tw::makeObject({{"kind", "completed"},
                      {"metadata", tw::makeObject({{"pageCount", uint64_t{bodies.size()}},
                                                   {"resultCommitment", commitment.value()},
                                                   {"revision", result.revision},
                                                   {"runId", result.runId}})},
                      {"nonce", nonce},
                      {"version", 1}});
  require(messages.back() == completed, "completed carries the commitment of the engine's result");
}

void checkAgainstModel(const Model& model, EngineKind engine, size_t inputBytes,
                       const SessionRun& run, const std::vector<Json>& messages) {
  std::vector<std::string> lines;
  for (const Json& message : messages) lines.push_back(tw::toCompactJson(message));
  require(lines.size() >= model.lines.size(), "the messages before execution are all written");
  for (size_t i = 0; i < model.lines.size(); ++i) {
    require(lines[i] == model.lines[i], "the messages before execution are exact");
  }
  if (!model.executed) {
    require(lines.size() == model.lines.size(), "nothing more once the session ended");
    require(run.status.ok() == model.endedWith.ok(), "the session returns as the model");
    if (!run.status.ok()) require(run.status.error() == model.endedWith.error(), "the same code");
    return;
  }
  const size_t from = model.lines.size();
  if (!run.status.ok()) {
    require(lines.size() == from, "a refused frame during execution writes nothing");
    require(allows(model, inputBytes, Ending::Kind::Code, run.status.error()),
            "a code the model allows");
    return;
  }
  require(lines.size() > from, "a successful session wrote its ending");
  const std::string& kind = messages[from].find("kind")->asString();
  if (kind == "failed") {
    require(lines.size() == from + 1, "a failure object alone");
    const std::string& code = messages[from].find("code")->asString();
    if (code == tw::sessionCodeText(SessionCode::Cancelled)) {
      require(allows(model, inputBytes, Ending::Kind::Cancelled),
              "CANCELLED only after a cancel was read");
      return;
    }
    // An engine thread gone without an outcome is told as such, cancelled or not.
    const bool gone = code == tw::sessionCodeText(SessionCode::EngineDisconnected);
    require(allows(model, inputBytes, Ending::Kind::Outcome) ||
                (gone && allows(model, inputBytes, Ending::Kind::Cancelled)),
            "an engine outcome the model allows");
    const ExpectedOutcome outcome = expectedOutcome(model, engine);
    require(!outcome.result && code == tw::sessionCodeText(outcome.code),
            "the engine's failure is the code the engine thread hands over");
    return;
  }
  require(allows(model, inputBytes, Ending::Kind::Outcome), "a delivery the model allows");
  const ExpectedOutcome outcome = expectedOutcome(model, engine);
  require(outcome.result.has_value(), "a result only when the engine gives one");
  checkDelivery(messages, from, *outcome.result, model.nonce);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // A session that stops reading makes the writer's next write fail (EPIPE), not the fuzzer die.
  ::signal(SIGPIPE, SIG_IGN);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  if (data[0] % 4 == 0) {
    const std::string input(reinterpret_cast<const char*>(data + 1), size - 1);
    const SessionRun run = runOneSession(input, EngineKind::Real);
    const std::vector<Json> messages = checkProtocol(run);
    Model model;
    if (model.input(input)) {
      if (!input.empty() && input.back() != '\n') {
        model.readFailure();
      } else {
        model.endOfInput();
      }
    }
    checkAgainstModel(model, EngineKind::Real, input.size(), run, messages);
    return 0;
  }
  ByteSource in(data + 1, size - 1);
  const Structured s = buildStructured(in);
  const SessionRun run = runOneSession(s.input, s.engine);
  const std::vector<Json> messages = checkProtocol(run);
  checkAgainstModel(s.model, s.engine, s.input.size(), run, messages);
  return 0;
}
