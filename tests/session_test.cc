// Whole sessions against the built worker: every way a session can end, the input limits at
// their exact boundaries, and the exit status and output the host sees for each.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "contracts/commitment.h"
#include "contracts/json_reader.h"
#include "contracts/json_writer.h"
#include "contracts/test_records.h"
#include "tests/process_harness.h"
#include "tests/session_frames.h"

namespace tw::test {
namespace {

using Clock = std::chrono::steady_clock;
using tw::testing::makeEntry;

constexpr size_t kLineLimit = 65536;
constexpr size_t kSessionByteLimit = 4194304;

const std::string kStarted =
    "{\"kind\":\"started\",\"nonce\":\"" + kHostNonce + "\",\"version\":1}";
const std::string kExecuting =
    "{\"kind\":\"executing\",\"nonce\":\"" + kHostNonce + "\",\"version\":1}";

std::string failedLine(const std::string& code) {
  return "{\"code\":\"" + code + "\",\"kind\":\"failed\",\"nonce\":\"" + kHostNonce +
         "\",\"version\":1}";
}

std::string repeat(const std::string& line, size_t times) {
  std::string out;
  out.reserve(line.size() * times);
  for (size_t i = 0; i < times; ++i) out += line;
  return out;
}

// `held` entries in batches of 200, the last batch shorter.
std::string batchesOf(size_t held) {
  std::string out;
  for (size_t first = 0; first < held; first += 200) {
    out += entriesLine(erpEntries(std::min<size_t>(200, held - first), first));
  }
  return out;
}

// Start, then empty "entries" frames padded to the line limit, then `last` padded so that the
// session's bytes add up to `total`.
std::string sessionOfBytes(size_t total, const std::string& last) {
  std::string out = startLine();
  while (total - out.size() > kLineLimit) out += paddedTo(entriesLine(JsonArray{}), kLineLimit);
  return out + paddedTo(last, total - out.size());
}

// The worst case of the synthetic pass: one cell of 5000 ERP and 5000 bank entries without
// references whose amounts never match, so every pair is looked at.
std::string worstSyntheticCell() {
  std::vector<Entry> entries;
  for (size_t i = 0; i < 5000; ++i) {
    entries.push_back(makeEntry("E" + std::to_string(i), SourceRole::Erp, "a", "2024-03-01", "1"));
    entries.push_back(makeEntry("B" + std::to_string(i), SourceRole::Bank, "a", "2024-03-01", "2"));
  }
  std::string out = startLine();
  for (size_t first = 0; first < entries.size(); first += 200) {
    out += entriesLine(
        std::vector<Entry>(entries.begin() + long(first), entries.begin() + long(first + 200)));
  }
  return out;
}

// A small input that keeps the engine busy for tens of milliseconds: 100 ERP and 200 bank
// entries of one amount on one account and day, without references, so that every pair is a
// synthetic candidate and the run collects and resolves 20000 groups, the most it may.
std::string twentyThousandGroups() {
  std::vector<Entry> erp;
  std::vector<Entry> bank;
  for (size_t i = 0; i < 200; ++i) {
    if (i < 100) {
      erp.push_back(makeEntry("E" + std::to_string(i), SourceRole::Erp, "a", "2024-03-01", "5"));
    }
    bank.push_back(makeEntry("B" + std::to_string(i), SourceRole::Bank, "a", "2024-03-01", "5"));
  }
  return startLine() + entriesLine(erp) + entriesLine(bank);
}

std::vector<std::string> sessionArgs(const TempDir& dir) {
  return {"--c5", "--execution-fence", dir.file("fence")};
}

// Checks a delivered result: pages in order and a commitment that covers exactly what the
// pages said.
void expectDelivered(const std::vector<std::string>& lines, size_t from,
                     Delivery* delivered = nullptr) {
  std::string problem;
  auto delivery = readDelivery(std::vector<std::string>(lines.begin() + long(from), lines.end()),
                               kHostNonce, problem);
  ASSERT_TRUE(delivery.has_value()) << problem;
  EXPECT_EQ(delivery->commitment, commitResult(delivery->result).value());
  if (delivered) *delivered = std::move(*delivery);
}

enum class Ending { Delivered, Failure, Stopped };

struct SessionCase {
  const char* name;
  std::function<std::string()> input;
  Ending ending;
  // Delivered: nothing. Failure: the code of the last line. Stopped: the kinds written.
  std::vector<std::string> expected;
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const SessionCase& c, std::ostream* out) {
  *out << c.name;
}

class WholeSession : public ::testing::TestWithParam<SessionCase> {};

TEST_P(WholeSession, EndsAsTheHostExpects) {
  const SessionCase& c = GetParam();
  TempDir dir;
  // The whole input is written and then closed, also when the worker stops reading early.
  RunResult run = runWorker(sessionArgs(dir), c.input());
  const std::vector<std::string> lines = splitLines(run.out);
  EXPECT_EQ(run.err, "");
  EXPECT_TRUE(run.out.empty() || run.out.back() == '\n');
  switch (c.ending) {
    case Ending::Delivered:
      ASSERT_TRUE(run.status.exitedWith(0)) << run.status;
      ASSERT_GE(lines.size(), 4u);
      EXPECT_EQ(lines[0], kStarted);
      EXPECT_EQ(lines[1], kExecuting);
      expectDelivered(lines, 2);
      break;
    case Ending::Failure:
      EXPECT_TRUE(run.status.exitedWith(0)) << run.status;
      ASSERT_FALSE(lines.empty());
      EXPECT_EQ(lines[0], kStarted);
      EXPECT_EQ(lines.back(), failedLine(c.expected.at(0)));
      EXPECT_LE(lines.size(), 3u);  // "started", maybe "executing", the failure object
      break;
    case Ending::Stopped: {
      EXPECT_TRUE(run.status.exitedWith(1)) << run.status;
      std::vector<std::string> kinds;
      for (const std::string& line : lines) kinds.push_back(kindOf(line));
      EXPECT_EQ(kinds, c.expected);
      break;
    }
  }
}

std::vector<SessionCase> sessionCases() {
  const std::string start = startLine();
  const std::string execute = plainLine("execute");
  const std::string cancel = plainLine("cancel");
  const std::string empty = entriesLine(JsonArray{});
  const std::vector<std::string> startedOnly = {"started"};
  // A run long enough (tens of milliseconds) that frames sent right behind "execute" are read
  // before it ends.
  const std::string busyRun = twentyThousandGroups() + execute;
  return {
      // How a session ends.
      {"EmptyRun", [=] { return start + execute; }, Ending::Delivered, {}},
      {"CancelBeforeExecute",
       [=] { return start + cancel + execute; },
       Ending::Failure,
       {"CANCELLED"}},
      {"CancelRightAfterExecute",
       [=] { return busyRun + cancel + cancel; },
       Ending::Failure,
       {"CANCELLED"}},
      {"EngineFailure",
       [=] { return start + entriesLine(erpEntries(1)) + entriesLine(erpEntries(1)) + execute; },
       Ending::Failure,
       {"C5_ENGINE_FAILED"}},
      {"NoInput", [] { return std::string(); }, Ending::Stopped, {}},
      {"InputEndsBeforeExecute", [=] { return start + entriesLine(erpEntries(3)); },
       Ending::Stopped, startedOnly},
      {"ExecuteWithoutLineFeed", [=] { return start + execute.substr(0, execute.size() - 1); },
       Ending::Stopped, startedOnly},
      {"CrLfLines",
       [=] { return withCrLf(start) + withCrLf(entriesLine(erpEntries(2))) + withCrLf(execute); },
       Ending::Delivered,
       {}},
      // Input limits at their boundaries.
      {"LineOf65536Bytes",
       [=] { return start + paddedTo(entriesLine(erpEntries(1)), kLineLimit) + execute; },
       Ending::Delivered,
       {}},
      {"LineOf65537Bytes",
       [=] { return start + paddedTo(entriesLine(erpEntries(1)), kLineLimit + 1) + execute; },
       Ending::Stopped, startedOnly},
      {"Frame256", [=] { return start + repeat(empty, 254) + execute; }, Ending::Delivered, {}},
      {"Frame257", [=] { return start + repeat(empty, 255) + execute; }, Ending::Stopped,
       startedOnly},
      {"SessionOf4194304Bytes",
       [=] { return sessionOfBytes(kSessionByteLimit, execute); },
       Ending::Delivered,
       {}},
      {"SessionOf4194305Bytes", [=] { return sessionOfBytes(kSessionByteLimit + 1, execute); },
       Ending::Stopped, startedOnly},
      {"Batch200",
       [=] { return start + entriesLine(erpEntries(200)) + execute; },
       Ending::Delivered,
       {}},
      {"Batch201", [=] { return start + entriesLine(erpEntries(201)) + execute; }, Ending::Stopped,
       startedOnly},
      {"Held9800Plus200",
       [=] { return start + batchesOf(9800) + entriesLine(erpEntries(200, 9800)) + execute; },
       Ending::Delivered,
       {}},
      {"Held9801Plus200",
       [=] { return start + batchesOf(9801) + entriesLine(erpEntries(200, 9801)) + execute; },
       Ending::Stopped, startedOnly},
      {"Malformed37thElement",
       [=] {
         JsonArray batch;
         for (const Entry& entry : erpEntries(40)) batch.push_back(toJsonValue(entry));
         batch[36].asObject()["cents"] = "01";
         return start + entriesLine(batch) + execute;
       },
       Ending::Stopped, startedOnly},
      // Every refusal: nothing written for it, status 1.
      {"EntriesBeforeStart", [=] { return empty + start; }, Ending::Stopped, {}},
      {"ExecuteBeforeStart", [=] { return execute; }, Ending::Stopped, {}},
      {"CancelBeforeStart", [=] { return cancel; }, Ending::Stopped, {}},
      {"NotJson", [] { return std::string("start\n"); }, Ending::Stopped, {}},
      {"Version2",
       [] { return std::string("{\"version\":2,\"kind\":\"start\",\"nonce\":1}\n"); },
       Ending::Stopped,
       {}},
      {"MalformedNonce",
       [] { return startLine(tw::testing::makeManifest("run-1"), "short"); },
       Ending::Stopped,
       {}},
      {"InvalidManifest",
       [] {
         RunManifest manifest = tw::testing::makeManifest("run-1");
         manifest.root = "lowercase";
         return startLine(manifest);
       },
       Ending::Stopped,
       {}},
      {"SecondStart", [=] { return start + start; }, Ending::Stopped, startedOnly},
      {"OtherNonce", [=] { return start + plainLine("execute", "host-session-0002"); },
       Ending::Stopped, startedOnly},
      {"EntriesNotAnArray",
       [=] {
         return start + "{\"version\":1,\"kind\":\"entries\",\"nonce\":\"" + kHostNonce +
                "\",\"entries\":{}}\n" + execute;
       },
       Ending::Stopped, startedOnly},
      {"EntriesAfterExecute",
       [=] { return busyRun + empty; },
       Ending::Stopped,
       {"started", "executing"}},
      {"StartAfterExecute",
       [=] { return busyRun + start; },
       Ending::Stopped,
       {"started", "executing"}},
      {"UnknownKindAfterExecute",
       [=] { return busyRun + plainLine("status"); },
       Ending::Stopped,
       {"started", "executing"}},
      {"PartialLineDuringRun",
       [=] { return busyRun + "{\"version\":1"; },
       Ending::Stopped,
       {"started", "executing"}},
      {"ExecuteAfterExecute",
       [=] { return busyRun + execute; },
       Ending::Stopped,
       {"started", "executing"}},
  };
}

INSTANTIATE_TEST_SUITE_P(Cases, WholeSession, ::testing::ValuesIn(sessionCases()),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(Session, EmptyRunDeliversOneEmptyPageAndTheCommitmentOfTheEmptyResult) {
  TempDir dir;
  RunResult run = runWorker(sessionArgs(dir), startLine() + plainLine("execute"));
  ASSERT_TRUE(run.status.exitedWith(0)) << run.status;
  ReconciliationResult empty;
  empty.runId = "run-1";
  EXPECT_EQ(
      run.out,
      kStarted + "\n" + kExecuting + "\n" + "{\"kind\":\"resultPage\",\"nonce\":\"" + kHostNonce +
          "\",\"page\":{\"allocations\":[],\"pendingIds\":[],\"residuals\":{}},"
          "\"pageCount\":1,\"pageIndex\":0,\"version\":1}\n"
          "{\"kind\":\"completed\",\"metadata\":{\"pageCount\":1,\"resultCommitment\":\"" +
          commitResult(empty).value() + "\",\"revision\":0,\"runId\":\"run-1\"},\"nonce\":\"" +
          kHostNonce + "\",\"version\":1}\n");
}

TEST(Session, ExactReferenceMatchBecomesAnAllocationAndTheRestStaysPending) {
  TempDir dir;
  const std::vector<Entry> entries = {
      makeEntry("E1", SourceRole::Erp, "acct-1", "2024-03-01", "1000", "INV-1"),
      makeEntry("B1", SourceRole::Bank, "acct-1", "2024-03-01", "1000", "INV-1"),
      makeEntry("B2", SourceRole::Bank, "acct-1", "2024-03-02", "800", "INV-2"),
  };
  RunResult run =
      runWorker(sessionArgs(dir), startLine() + entriesLine(entries) + plainLine("execute"));
  ASSERT_TRUE(run.status.exitedWith(0)) << run.status;
  Delivery delivery;
  expectDelivered(splitLines(run.out), 2, &delivery);
  ASSERT_EQ(delivery.result.allocations.size(), 1u);
  EXPECT_EQ(delivery.result.allocations[0].leftId, "E1");
  EXPECT_EQ(delivery.result.allocations[0].rightId, "B1");
  EXPECT_EQ(delivery.result.allocations[0].cents, "1000");
  EXPECT_EQ(delivery.result.pendingIds, std::vector<std::string>{"B2"});
  EXPECT_EQ(delivery.result.residuals.at("B2"), "800");
  EXPECT_EQ(delivery.result.residuals.at("E1"), "0");
}

TEST(Session, CancelDuringALongRunIsAnsweredOnceWithinAbout100Milliseconds) {
  TempDir dir;
  Worker worker(sessionArgs(dir));
  ASSERT_TRUE(worker.started()) << worker.startError();
  ASSERT_TRUE(worker.writeStdin(worstSyntheticCell() + plainLine("execute")));
  EXPECT_EQ(worker.readLine(), kStarted);
  EXPECT_EQ(worker.readLine(), kExecuting);
  const auto sent = Clock::now();
  ASSERT_TRUE(worker.writeStdin(plainLine("cancel") + plainLine("cancel")));
  EXPECT_EQ(worker.readLine(), failedLine("CANCELLED"));
  const auto latency = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - sent);
  EXPECT_LT(latency.count(), 100000);
  RecordProperty("cancel_latency_us", int(latency.count()));
  std::printf("cancel answered after %lld us\n", static_cast<long long>(latency.count()));
  EXPECT_TRUE(worker.wait().exitedWith(0));
  EXPECT_EQ(worker.takeStdout(), "");
  EXPECT_EQ(worker.stderrText(), "");
}

TEST(Session, InputClosedDuringALongRunStillDeliversTheWholeResult) {
  TempDir dir;
  Worker worker(sessionArgs(dir));
  ASSERT_TRUE(worker.started()) << worker.startError();
  ASSERT_TRUE(worker.writeStdin(worstSyntheticCell() + plainLine("execute")));
  EXPECT_EQ(worker.readLine(), kStarted);
  EXPECT_EQ(worker.readLine(), kExecuting);
  worker.closeStdin();
  const ExitStatus status = worker.wait();
  ASSERT_TRUE(status.exitedWith(0)) << status;
  EXPECT_EQ(worker.stderrText(), "");
  Delivery delivery;
  expectDelivered(splitLines(worker.takeStdout()), 0, &delivery);
  EXPECT_EQ(delivery.pageCount, 20000u);  // every entry pending, with its residual
}

TEST(Session, AnUnwritableOutputEndsWithStatus1AndNoSignal) {
  for (StdoutKind kind : {StdoutKind::BrokenPipe, StdoutKind::DevFull, StdoutKind::Closed}) {
    TempDir dir;
    WorkerOptions options;
    options.args = sessionArgs(dir);
    options.stdoutKind = kind;
    Worker worker(options);
    ASSERT_TRUE(worker.started()) << worker.startError();
    worker.writeStdin(startLine() + plainLine("execute"));
    worker.closeStdin();
    const ExitStatus status = worker.wait();
    EXPECT_TRUE(status.exitedWith(1)) << int(kind) << ": " << status;
  }
}

TEST(Session, TheExampleSessionReconciles) {
  const auto input = readFile(std::string(TW_SOURCE_DIR) + "/examples/session.ndjson");
  ASSERT_TRUE(input.has_value());
  TempDir dir;
  RunResult run = runWorker(sessionArgs(dir), *input);
  ASSERT_TRUE(run.status.exitedWith(0)) << run.status;
  const std::vector<std::string> lines = splitLines(run.out);
  ASSERT_GE(lines.size(), 2u);
  std::string problem;
  auto nonce = readJson(lines[0]);
  ASSERT_TRUE(nonce.ok());
  auto delivery = readDelivery(std::vector<std::string>(lines.begin() + 2, lines.end()),
                               nonce->find("nonce")->asString(), problem);
  ASSERT_TRUE(delivery.has_value()) << problem;
  EXPECT_EQ(delivery->commitment, commitResult(delivery->result).value());
  EXPECT_FALSE(delivery->result.allocations.empty());
  EXPECT_FALSE(delivery->result.pendingIds.empty());
}

}  // namespace
}  // namespace tw::test
