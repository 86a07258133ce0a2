// The session driver run in-process over pipes, with engines that end a run in every way the
// real engine can (and one that throws), so each row of the driver's outcome handling is reached
// deterministically. The built executable with the real engine is driven by tests/.
#include "worker/session.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "contracts/commitment.h"
#include "contracts/json_writer.h"
#include "contracts/test_records.h"

namespace tw {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string kNonce = "in-process-nonce-01";

std::string startLine() {
  return "{\"version\":1,\"kind\":\"start\",\"nonce\":\"" + kNonce +
         "\",\"manifest\":" + toCompactJson(toJsonValue(testing::makeManifest("run-1"))) + "}\n";
}

std::string plainLine(const std::string& kind) {
  return "{\"version\":1,\"kind\":\"" + kind + "\",\"nonce\":\"" + kNonce + "\"}\n";
}

std::string failedLine(const std::string& code) {
  return "{\"code\":\"" + code + "\",\"kind\":\"failed\",\"nonce\":\"" + kNonce +
         "\",\"version\":1}";
}

const std::string kStarted = "{\"kind\":\"started\",\"nonce\":\"" + kNonce + "\",\"version\":1}";
const std::string kExecuting =
    "{\"kind\":\"executing\",\"nonce\":\"" + kNonce + "\",\"version\":1}";

// runSession on a thread of its own, fed and read through pipes.
class InProcessSession {
 public:
  explicit InProcessSession(SessionEngine engine, bool closedOutput = false) {
    ::signal(SIGPIPE, SIG_IGN);  // as the worker does at start-up
    int in[2], out[2];
    EXPECT_EQ(::pipe(in), 0);
    EXPECT_EQ(::pipe(out), 0);
    inWrite_ = in[1];
    outRead_ = out[0];
    if (closedOutput) {
      ::close(outRead_);
      outRead_ = -1;
    }
    status_ = std::async(std::launch::async, [=, engine = std::move(engine)] {
      auto status = runSession(in[0], out[1], engine);
      ::close(in[0]);
      ::close(out[1]);  // the test sees the end of the output
      return status;
    });
  }
  ~InProcessSession() {
    closeInput();
    if (outRead_ >= 0) ::close(outRead_);
  }

  void send(const std::string& bytes) {
    ASSERT_EQ(::write(inWrite_, bytes.data(), bytes.size()), ssize_t(bytes.size()));
  }
  void closeInput() {
    if (inWrite_ >= 0) ::close(inWrite_);
    inWrite_ = -1;
  }

  // The next output line without its line feed, or nothing after `timeout` or at the end.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout = 5000ms) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
      if (auto feed = buffer_.find('\n'); feed != std::string::npos) {
        std::string line = buffer_.substr(0, feed);
        buffer_.erase(0, feed + 1);
        return line;
      }
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      pollfd pfd{outRead_, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&pfd, 1, int(left.count())) <= 0) return std::nullopt;
      char chunk[65536];
      const ssize_t got = ::read(outRead_, chunk, sizeof chunk);
      if (got <= 0) return std::nullopt;
      buffer_.append(chunk, size_t(got));
    }
  }

  // Waits for runSession to return; everything written after the lines already read.
  Status<SessionCode> finish(std::vector<std::string>* rest = nullptr) {
    EXPECT_EQ(status_.wait_for(5s), std::future_status::ready);
    while (auto line = readLine(1s)) {
      if (rest) rest->push_back(*line);
    }
    EXPECT_TRUE(buffer_.empty()) << "an unterminated line: " << buffer_;
    return status_.get();
  }

 private:
  int inWrite_ = -1;
  int outRead_ = -1;
  std::string buffer_;
  std::future<Status<SessionCode>> status_;
};

using EngineResult = Result<SessionResult, EngineError>;

// Waits until the flag is set (at most three seconds); then answers what `answer` gives.
SessionEngine engineWaitingForCancel(std::function<EngineResult()> answer) {
  return [answer](const std::vector<Entry>&, const RunManifest&, const std::atomic<bool>& cancel) {
    const auto deadline = Clock::now() + 3000ms;
    while (!cancel.load() && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
    return answer();
  };
}

ReconciliationResult sampleResult() {
  ReconciliationResult result;
  result.runId = "run-1";
  for (const char* right : {"B1", "B2"}) {
    Allocation allocation;
    allocation.stage = AllocationStage::ErpBank;
    allocation.leftId = "E1";
    allocation.rightId = right;
    allocation.cents = "500";
    allocation.evidence = Evidence{
        "reference-exact", {testing::roleOrigin(SourceRole::Bank)}, {ReasonCode::ReferenceMatch}};
    result.allocations.push_back(allocation);
  }
  result.pendingIds = {"B2"};
  result.residuals = {{"E1", "0"}, {"B2", "300"}, {"B1", "0"}};
  return result;
}

TEST(Session, DeliversEveryItemOnItsOwnPageThenTheCommitment) {
  InProcessSession session([](auto&&...) { return EngineResult(sampleResult()); });
  session.send(startLine() + plainLine("execute"));
  std::vector<std::string> lines;
  ASSERT_TRUE(session.finish(&lines).ok());
  const ReconciliationResult result = sampleResult();
  std::vector<std::string> expected = {kStarted, kExecuting};
  uint64_t index = 0;
  auto page = [&](const std::string& body) {
    expected.push_back("{\"kind\":\"resultPage\",\"nonce\":\"" + kNonce + "\",\"page\":" + body +
                       ",\"pageCount\":6,\"pageIndex\":" + std::to_string(index++) +
                       ",\"version\":1}");
  };
  for (const Allocation& allocation : result.allocations) {
    page("{\"allocations\":[" + toCompactJson(toJsonValue(allocation)) +
         "],\"pendingIds\":[],\"residuals\":{}}");
  }
  page(R"({"allocations":[],"pendingIds":["B2"],"residuals":{}})");
  for (const char* residual : {R"("B1":"0")", R"("B2":"300")", R"("E1":"0")"}) {
    page(std::string(R"({"allocations":[],"pendingIds":[],"residuals":{)") + residual + "}}");
  }
  expected.push_back(
      "{\"kind\":\"completed\",\"metadata\":{\"pageCount\":6,\"resultCommitment\":\"" +
      commitResult(result).value() + "\",\"revision\":0,\"runId\":\"run-1\"},\"nonce\":\"" +
      kNonce + "\",\"version\":1}");
  EXPECT_EQ(lines, expected);
}

struct OutcomeCase {
  const char* name;
  SessionEngine engine;
  std::vector<std::string> afterExecuting;
  std::optional<SessionCode> code;
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const OutcomeCase& c, std::ostream* out) {
  *out << c.name;
}

class EngineOutcome : public ::testing::TestWithParam<OutcomeCase> {};

TEST_P(EngineOutcome, IsAnsweredAsTheDriverPromises) {
  const OutcomeCase& c = GetParam();
  InProcessSession session(c.engine);
  session.send(startLine() + plainLine("execute"));
  std::vector<std::string> lines;
  auto status = session.finish(&lines);
  std::vector<std::string> expected = {kStarted, kExecuting};
  expected.insert(expected.end(), c.afterExecuting.begin(), c.afterExecuting.end());
  EXPECT_EQ(lines, expected);
  EXPECT_EQ(status.ok(), !c.code.has_value());
  if (c.code && !status.ok()) {
    EXPECT_EQ(sessionCodeText(status.error()), sessionCodeText(*c.code));
  }
}

ReconciliationResult invalidResult() {
  ReconciliationResult result = sampleResult();
  result.allocations[0].evidence.reasonCodes = {ReasonCode::ReferenceMatch,
                                                ReasonCode::DocumentedComposition};
  return result;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EngineOutcome,
    ::testing::Values(
        OutcomeCase{"Failed",
                    [](auto&&...) { return EngineResult(fail(EngineError::LimitExceeded)); },
                    {failedLine("C5_ENGINE_FAILED")},
                    std::nullopt},
        OutcomeCase{"Thrown",
                    [](auto&&...) -> EngineResult { throw std::runtime_error("engine fault"); },
                    {failedLine("C5_ENGINE_DISCONNECTED")},
                    std::nullopt},
        OutcomeCase{"UncommittableResult",
                    [](auto&&...) { return EngineResult(invalidResult()); },
                    {},
                    SessionCode::InvalidResult},
        OutcomeCase{"UncommittableResidual",  // the part of the check the driver makes
                    [](auto&&...) {
                      ReconciliationResult result = sampleResult();
                      result.residuals.emplace("id", "-0");
                      return EngineResult(result);
                    },
                    {},
                    SessionCode::InvalidResult},
        OutcomeCase{"EmptyResult",
                    [](auto&&...) {
                      ReconciliationResult empty;
                      empty.runId = "run-1";
                      return EngineResult(empty);
                    },
                    {"{\"kind\":\"resultPage\",\"nonce\":\"" + kNonce +
                         "\",\"page\":{\"allocations\":[],\"pendingIds\":[],\"residuals\":{}},"
                         "\"pageCount\":1,\"pageIndex\":0,\"version\":1}",
                     "{\"kind\":\"completed\",\"metadata\":{\"pageCount\":1,\"resultCommitment\":"
                     "\"d1978ee291bf8c7939ecd1cc861a5105ee619474ba8292034eed768ba175407b\","
                     "\"revision\":0,\"runId\":\"run-1\"},\"nonce\":\"" +
                         kNonce + "\",\"version\":1}"},
                    std::nullopt}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(Session, CancelDuringTheRunIsAnsweredOnceEvenWhenTheEngineFinishesNormally) {
  // This engine ignores the flag's meaning: once it sees it, it still returns a full result.
  InProcessSession session(engineWaitingForCancel([] { return EngineResult(sampleResult()); }));
  session.send(startLine() + plainLine("execute"));
  EXPECT_EQ(session.readLine(), kStarted);
  EXPECT_EQ(session.readLine(), kExecuting);
  EXPECT_EQ(session.readLine(50ms), std::nullopt);  // the run goes on
  session.send(plainLine("cancel") + plainLine("cancel"));
  std::vector<std::string> lines;
  ASSERT_TRUE(session.finish(&lines).ok());
  EXPECT_EQ(lines, std::vector<std::string>{failedLine("CANCELLED")});
}

TEST(Session, CancelReachesTheEngineAndIsAnsweredWithinAFewPollTurns) {
  InProcessSession session(
      engineWaitingForCancel([] { return EngineResult(fail(EngineError::Cancelled)); }));
  session.send(startLine() + plainLine("execute"));
  EXPECT_EQ(session.readLine(), kStarted);
  EXPECT_EQ(session.readLine(), kExecuting);
  const auto sent = Clock::now();
  session.send(plainLine("cancel"));
  EXPECT_EQ(session.readLine(), failedLine("CANCELLED"));
  const auto latency = Clock::now() - sent;
  EXPECT_LT(latency, 100ms);
  RecordProperty("cancel_latency_us",
                 int(std::chrono::duration_cast<std::chrono::microseconds>(latency).count()));
  EXPECT_TRUE(session.finish().ok());
}

TEST(Session, InputClosedDuringTheRunStillDeliversTheResult) {
  InProcessSession session([](auto&&...) {
    std::this_thread::sleep_for(60ms);
    return EngineResult(sampleResult());
  });
  session.send(startLine() + plainLine("execute"));
  session.closeInput();
  std::vector<std::string> lines;
  ASSERT_TRUE(session.finish(&lines).ok());
  ASSERT_EQ(lines.size(), 9u);
  EXPECT_EQ(lines.back().rfind("{\"kind\":\"completed\"", 0), 0u);
}

TEST(Session, AFrameRefusedDuringTheRunEndsTheSessionAtOnce) {
  InProcessSession session(engineWaitingForCancel([] { return EngineResult(sampleResult()); }));
  session.send(startLine() + plainLine("execute"));
  EXPECT_EQ(session.readLine(), kStarted);
  EXPECT_EQ(session.readLine(), kExecuting);
  session.send(plainLine("execute"));
  std::vector<std::string> rest;
  auto status = session.finish(&rest);
  EXPECT_TRUE(rest.empty());
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error(), SessionCode::InvalidOrder);
}

TEST(Session, ACancelBeforeExecuteIsAnsweredAtOnce) {
  InProcessSession session([](auto&&...) -> EngineResult { throw std::logic_error("no run"); });
  session.send(startLine() + plainLine("cancel") + plainLine("execute"));
  std::vector<std::string> lines;
  ASSERT_TRUE(session.finish(&lines).ok());
  EXPECT_EQ(lines, (std::vector<std::string>{kStarted, failedLine("CANCELLED")}));
}

// Lines written together with "execute" were there before the outcome, however late the input
// thread hands them on: the first of them is judged before the outcome. The input thread is held
// back here before every line, so a driver that looked at the outcome first would deliver.
TEST(Session, ALineWrittenBeforeTheOutcomeIsJudgedFirstHoweverLateItIsRead) {
  struct Case {
    const char* name;
    std::string after;  // written at once with "start" and "execute"
    std::vector<std::string> lines;
    std::optional<SessionCode> code;
  };
  const Case cases[] = {
      {"Cancel", plainLine("cancel"), {kStarted, kExecuting, failedLine("CANCELLED")}, {}},
      {"AnotherFrame", plainLine("execute"), {kStarted, kExecuting}, SessionCode::InvalidOrder},
      {"CancelThenAnotherFrame",
       plainLine("cancel") + plainLine("execute"),
       {kStarted, kExecuting, failedLine("CANCELLED")},
       {}},
  };
  delayInputLinesForTesting(30ms);
  for (const Case& c : cases) {
    InProcessSession session([](auto&&...) { return EngineResult(sampleResult()); });
    session.send(startLine() + plainLine("execute") + c.after);
    std::vector<std::string> lines;
    auto status = session.finish(&lines);
    EXPECT_EQ(lines, c.lines) << c.name;
    EXPECT_EQ(status.ok(), !c.code) << c.name;
    if (c.code && !status.ok()) {
      EXPECT_EQ(status.error(), *c.code) << c.name;
    }
  }
  delayInputLinesForTesting(0ms);
}

TEST(Session, EndsWithTheInputCodes) {
  struct Case {
    const char* name;
    std::string input;
    SessionCode code;
  };
  const Case cases[] = {
      {"NothingAtAll", "", SessionCode::Incomplete},
      {"StartedOnly", startLine(), SessionCode::Incomplete},
      {"ExecuteWithoutLineFeed", startLine() + plainLine("execute").substr(0, 50),
       SessionCode::ReadFailed},
      {"Refused", "[]\n", SessionCode::InvalidFrame},
  };
  for (const Case& c : cases) {
    InProcessSession session([](auto&&...) -> EngineResult { throw std::logic_error("no run"); });
    session.send(c.input);
    session.closeInput();
    auto status = session.finish();
    ASSERT_FALSE(status.ok()) << c.name;
    EXPECT_EQ(status.error(), c.code) << c.name;
  }
}

TEST(Session, AClosedOutputIsAWriteFailure) {
  InProcessSession session([](auto&&...) -> EngineResult { throw std::logic_error("no run"); },
                           /*closedOutput=*/true);
  session.send(startLine());
  auto status = session.finish();
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error(), SessionCode::ResponseWriteFailed);
}

}  // namespace
}  // namespace tw
