// The protocol machine alone: each ending of a session after "execute", driven event by event,
// and the order of messages a reader of the output holds them to.
#include "worker/session_protocol.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "contracts/json_writer.h"
#include "contracts/test_records.h"

namespace tw {
namespace {

const std::string kNonce = "protocol-nonce-0001";

std::string plainLine(const std::string& kind) {
  return "{\"version\":1,\"kind\":\"" + kind + "\",\"nonce\":\"" + kNonce + "\"}\n";
}

// A session that has accepted "start" and "execute".
SessionProtocol running() {
  SessionProtocol protocol;
  const std::string start =
      "{\"version\":1,\"kind\":\"start\",\"nonce\":\"" + kNonce +
      "\",\"manifest\":" + toCompactJson(toJsonValue(testing::makeManifest("run-1"))) + "}\n";
  EXPECT_EQ(protocol.line(start).kind, SessionAction::Kind::Write);
  EXPECT_EQ(protocol.line(plainLine("execute")).kind, SessionAction::Kind::WriteThenRun);
  EXPECT_TRUE(protocol.running());
  return protocol;
}

// What a session ends with: the code of a failure object, or of an ending without a message,
// or "completed".
std::string endingOf(const SessionAction& action) {
  if (action.kind == SessionAction::Kind::End) {
    return "end " + std::string(sessionCodeText(sessionCodeOf(action.rule)));
  }
  if (action.kind != SessionAction::Kind::WriteThenEnd) return "not an ending";
  const Json* code = action.message.find("code");
  return code != nullptr ? "failed " + code->asString() : "completed";
}

TEST(SessionProtocol, EndsARunAsTheDriverMust) {
  using Commitment = std::optional<Result<std::string, ContractError>>;
  const Commitment committed = Result<std::string, ContractError>(std::string(64, 'a'));
  struct Case {
    const char* name;
    bool cancel;  // a "cancel" was read during the run
    std::function<SessionAction(SessionProtocol&)> outcome;
    std::string ending;
  };
  auto delivered = [](Status<SessionCode> pages, uint64_t written, Commitment commitment) {
    return [=](SessionProtocol& p) {
      const SessionAction deliver = p.runResult(true, 3);
      EXPECT_EQ(deliver.kind, SessionAction::Kind::Deliver);
      EXPECT_EQ(deliver.pageCount, 3u);
      return p.pagesWritten(pages, written, commitment, 0, "run-1");
    };
  };
  const Case cases[] = {
      {"failed", false, [](auto& p) { return p.runFailed(RunFailure::Failed); },
       "failed C5_ENGINE_FAILED"},
      {"failed, cancelled", true, [](auto& p) { return p.runFailed(RunFailure::Failed); },
       "failed CANCELLED"},
      {"gone", false, [](auto& p) { return p.runFailed(RunFailure::Disconnected); },
       "failed C5_ENGINE_DISCONNECTED"},
      {"gone, cancelled", true, [](auto& p) { return p.runFailed(RunFailure::Disconnected); },
       "failed C5_ENGINE_DISCONNECTED"},
      {"result, cancelled", true, [](auto& p) { return p.runResult(true, 3); }, "failed CANCELLED"},
      {"breaks the contract", false, [](auto& p) { return p.runResult(false, 3); },
       "end C5_INVALID_RESULT"},
      {"too many pages", false, [](auto& p) { return p.runResult(true, std::nullopt); },
       "end C5_RESPONSE_LIMIT"},
      {"delivered", false, delivered({}, 3, committed), "completed"},
      {"a page too long", false, delivered(fail(SessionCode::ResponseLimit), 1, std::nullopt),
       "end C5_RESPONSE_LIMIT"},
      {"a write failed", false, delivered(fail(SessionCode::ResponseWriteFailed), 1, committed),
       "end C5_RESPONSE_WRITE_FAILED"},
      {"pages cut short", false, delivered({}, 2, std::nullopt), "end C5_INVALID_RESULT"},
      {"not committed", false, delivered({}, 3, std::nullopt), "end C5_INVALID_RESULT"},
  };
  for (const Case& c : cases) {
    SessionProtocol protocol = running();
    EXPECT_EQ(protocol.endOfInput().kind, SessionAction::Kind::Continue) << c.name;
    if (c.cancel) {
      for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(protocol.line(plainLine("cancel")).kind, SessionAction::Kind::StopRun);
      }
    }
    EXPECT_EQ(endingOf(c.outcome(protocol)), c.ending) << c.name;
    EXPECT_TRUE(protocol.ended()) << c.name;
  }
}

TEST(SessionProtocol, NamesTheRuleOfEveryEndingWithoutARun) {
  SessionProtocol empty;
  EXPECT_EQ(empty.endOfInput().rule, SessionRule::InputEndedEarly);
  SessionProtocol broken;
  EXPECT_EQ(broken.readFailure().rule, SessionRule::ReadFailed);
  SessionProtocol run = running();
  const SessionAction again = run.line(plainLine("execute"));
  EXPECT_EQ(again.kind, SessionAction::Kind::End);
  EXPECT_EQ(again.rule, SessionRule::ExecuteAfterExecute);
  EXPECT_EQ(sessionCodeOf(again.rule), SessionCode::InvalidOrder);
}

TEST(OutputCourse, TakesTheMessagesOfASessionInOrderOnly) {
  using K = MessageKind;
  const std::vector<std::vector<K>> sessions = {
      {K::Started, K::Failed},
      {K::Started, K::Executing, K::Failed},
      {K::Started, K::Executing, K::ResultPage, K::ResultPage, K::Completed},
  };
  for (const auto& session : sessions) {
    OutputCourse course;
    for (K kind : session) EXPECT_TRUE(course.take(kind));
    EXPECT_TRUE(course.ended());
    for (K kind : {K::Started, K::Executing, K::Failed, K::ResultPage, K::Completed}) {
      EXPECT_FALSE(course.take(kind));
    }
  }
  const std::vector<std::vector<K>> outOfOrder = {
      {K::Failed},
      {K::Executing},
      {K::Started, K::ResultPage},
      {K::Started, K::Executing, K::Completed},
      {K::Started, K::Executing, K::ResultPage, K::Failed},
  };
  for (const auto& session : outOfOrder) {
    OutputCourse course;
    for (size_t i = 0; i + 1 < session.size(); ++i) EXPECT_TRUE(course.take(session[i]));
    EXPECT_FALSE(course.take(session.back()));
  }
}

}  // namespace
}  // namespace tw
