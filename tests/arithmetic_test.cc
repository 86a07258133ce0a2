// The arithmetic request mode end to end: one request read to end of input, one exact answer
// line or nothing at all with exit status 1.
#include <gtest/gtest.h>

#include <chrono>

#include "tests/process_harness.h"

namespace tw::test {
namespace {

constexpr std::string_view kSum = R"({"version":1,"command":"sum","left":2,"right":3})";
constexpr std::string_view kFive = "{\"version\":1,\"ok\":true,\"value\":5}\n";

// Pads a valid request with trailing spaces up to `size` bytes.
std::string paddedTo(size_t size) {
  std::string request(kSum);
  request.append(size - request.size(), ' ');
  return request;
}

struct Case {
  const char* name;
  std::string input;
  std::string answer;  // empty: the request fails (status 1, no output)
};

std::string answerWith(std::string_view value) {
  return "{\"version\":1,\"ok\":true,\"value\":" + std::string(value) + "}\n";
}

TEST(ArithmeticMode, RequestsAndTheirAnswers) {
  const std::string refused;
  const std::vector<Case> cases = {
      {"object form", std::string(kSum), std::string(kFive)},
      {"members in any order, several lines",
       "{\"right\":3,\n\"left\":2,\r\n\"command\":\"sum\",\t\"version\":1}", std::string(kFive)},
      {"array form", R"([1,"sum",2,3])", std::string(kFive)},
      {"array form with hold", R"([1,"sum",2,3,0])", std::string(kFive)},
      {"command as object", R"({"version":1,"command":{"sum":null},"left":2,"right":3})",
       std::string(kFive)},
      {"hold_ms 0", R"({"version":1,"command":"sum","left":2,"right":3,"hold_ms":0})",
       std::string(kFive)},
      {"whitespace around", " \n\t" + std::string(kSum) + " \r\n\n  ", std::string(kFive)},
      {"exactly 1024 bytes", paddedTo(1024), std::string(kFive)},
      {"negative sum", R"([1,"sum",-7,3])", answerWith("-4")},
      {"zero", R"([1,"sum",-3,3])", answerWith("0")},
      {"min plus zero", R"([1,"sum",-9223372036854775808,0])", answerWith("-9223372036854775808")},
      {"max plus zero", R"([1,"sum",9223372036854775807,0])", answerWith("9223372036854775807")},
      {"min plus max", R"([1,"sum",-9223372036854775808,9223372036854775807])", answerWith("-1")},

      {"1025 bytes", paddedTo(1025), refused},
      {"empty input", "", refused},
      {"only whitespace", " \n", refused},
      {"version 2", R"({"version":2,"command":"sum","left":2,"right":3})", refused},
      {"version 0", R"([0,"sum",2,3])", refused},
      {"version 256", R"({"version":256,"command":"sum","left":2,"right":3})", refused},
      {"version -1", R"({"version":-1,"command":"sum","left":2,"right":3})", refused},
      {"version 1.0", R"({"version":1.0,"command":"sum","left":2,"right":3})", refused},
      {"version as text", R"({"version":"1","command":"sum","left":2,"right":3})", refused},
      {"command in capitals", R"({"version":1,"command":"SUM","left":2,"right":3})", refused},
      {"other command", R"({"version":1,"command":"add","left":2,"right":3})", refused},
      {"extra member", R"({"version":1,"command":"sum","left":2,"right":3,"note":""})", refused},
      {"missing member", R"({"version":1,"command":"sum","left":2})", refused},
      {"repeated member", R"({"version":1,"command":"sum","left":2,"left":2,"right":3})", refused},
      {"hold_ms null", R"({"version":1,"command":"sum","left":2,"right":3,"hold_ms":null})",
       refused},
      {"hold_ms negative", R"([1,"sum",2,3,-1])", refused},
      {"left as float", R"([1,"sum",2.0,3])", refused},
      {"left with exponent", R"([1,"sum",2e0,3])", refused},
      {"left beyond int64", R"([1,"sum",9223372036854775808,0])", refused},
      {"max plus one", R"([1,"sum",9223372036854775807,1])", refused},
      {"min minus one", R"([1,"sum",-9223372036854775808,-1])", refused},
      {"two values", std::string(kSum) + "\n" + std::string(kSum), refused},
      {"trailing garbage", std::string(kSum) + " x", refused},
      {"array too short", R"([1,"sum",2])", refused},
      {"array too long", R"([1,"sum",2,3,0,0])", refused},
      {"byte-order mark", "\xEF\xBB\xBF" + std::string(kSum), refused},
      {"not an object", "5", refused},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RunResult run = runWorker({}, c.input);
    EXPECT_TRUE(run.status.exitedWith(c.answer.empty() ? 1 : 0)) << run.status;
    EXPECT_EQ(run.out, c.answer);
    EXPECT_EQ(run.err, "");
  }
}

TEST(ArithmeticMode, AnswersOnlyAfterTheEndOfInput) {
  Worker worker(std::vector<std::string>{});
  ASSERT_TRUE(worker.started()) << worker.startError();
  ASSERT_TRUE(worker.writeStdin(kSum));
  EXPECT_EQ(worker.readLine(milliseconds{200}), std::nullopt);
  EXPECT_TRUE(worker.running());
  worker.closeStdin();
  EXPECT_EQ(worker.readLine(), std::string(kFive.substr(0, kFive.size() - 1)));
  EXPECT_TRUE(worker.wait().exitedWith(0));
}

TEST(ArithmeticMode, NeverReadsBeyondTheByteAfterTheLimit) {
  TempDir dir;
  const std::string input = dir.file("input");
  for (const auto& [size, expectedRead] :
       std::vector<std::pair<size_t, off_t>>{{1024, 1024}, {1025, 1025}, {8000, 1025}}) {
    SCOPED_TRACE(size);
    ASSERT_TRUE(writeFile(input, paddedTo(size)));
    WorkerOptions options;
    options.stdinKind = StdinKind::SharedFile;
    options.stdinPath = input;
    Worker worker(options);
    ASSERT_TRUE(worker.started()) << worker.startError();
    EXPECT_TRUE(worker.wait().exitedWith(size <= 1024 ? 0 : 1));
    EXPECT_EQ(worker.stdinOffset(), expectedRead);
  }
}

TEST(ArithmeticMode, TooLargeInputFromAPipeIsRefusedWithoutWaitingForItsEnd) {
  Worker worker(std::vector<std::string>{});
  ASSERT_TRUE(worker.started()) << worker.startError();
  ASSERT_TRUE(worker.writeStdin(paddedTo(1025)));
  // The input stays open: the mode stops at the 1025th byte.
  const ExitStatus status = worker.wait(milliseconds{5000});
  EXPECT_TRUE(status.exitedWith(1)) << status;
  EXPECT_EQ(worker.unreadStdout(), "");
}

TEST(ArithmeticMode, HoldWaitsThenAnswers) {
  RunResult run =
      runWorker({}, R"({"version":1,"command":"sum","left":2,"right":3,"hold_ms":1000})");
  EXPECT_TRUE(run.status.exitedWith(0)) << run.status;
  EXPECT_EQ(run.out, kFive);
  EXPECT_GE(run.elapsed, milliseconds{1000});
  EXPECT_LT(run.elapsed, milliseconds{6000});
}

TEST(ArithmeticMode, HoldAboveTheLimitIsRefusedAtOnce) {
  RunResult run = runWorker({}, R"([1,"sum",2,3,1001])");
  EXPECT_TRUE(run.status.exitedWith(1)) << run.status;
  EXPECT_EQ(run.out, "");
  EXPECT_LT(run.elapsed, milliseconds{900});
}

TEST(ArithmeticMode, OverflowIsFoundAfterTheHold) {
  RunResult run = runWorker({}, R"([1,"sum",9223372036854775807,1,500])");
  EXPECT_TRUE(run.status.exitedWith(1)) << run.status;
  EXPECT_EQ(run.out, "");
  EXPECT_GE(run.elapsed, milliseconds{500});
}

TEST(ArithmeticMode, UnusableStreamsFailWithStatusOneNotASignal) {
  TempDir dir;
  struct StreamCase {
    const char* name;
    StdinKind in;
    StdoutKind out;
  };
  const std::vector<StreamCase> cases = {
      {"output pipe without reader", StdinKind::Pipe, StdoutKind::BrokenPipe},
      {"output device full", StdinKind::Pipe, StdoutKind::DevFull},
      {"output closed", StdinKind::Pipe, StdoutKind::Closed},
      {"input is a directory", StdinKind::Directory, StdoutKind::Pipe},
      {"input closed", StdinKind::Closed, StdoutKind::Pipe},
      {"input at its end", StdinKind::DevNull, StdoutKind::Pipe},
  };
  for (const StreamCase& c : cases) {
    SCOPED_TRACE(c.name);
    WorkerOptions options;
    options.stdinKind = c.in;
    options.stdinPath = dir.path();
    options.stdoutKind = c.out;
    Worker worker(options);
    ASSERT_TRUE(worker.started()) << worker.startError();
    if (c.in == StdinKind::Pipe) {
      EXPECT_TRUE(worker.writeStdin(kSum));
      worker.closeStdin();
    }
    const ExitStatus status = worker.wait();
    EXPECT_TRUE(status.exitedWith(1)) << status;
    EXPECT_EQ(worker.unreadStdout(), "");
    EXPECT_EQ(worker.stderrText(), "");
  }
}

}  // namespace
}  // namespace tw::test
