// Faults around a session-mode worker: an input that cannot be read, a host that stops reading
// the output at any point of a session, a worker killed in the middle of a run, and many workers
// at once, on one fence and on separate fences.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "contracts/commitment.h"
#include "tests/process_harness.h"
#include "tests/session_frames.h"

namespace tw::test {
namespace {

using Clock = std::chrono::steady_clock;

// Generous: many workers share two cores, and sanitizer builds are several times slower.
constexpr milliseconds kCrowdTimeout{120000};
constexpr size_t kCrowd = 50;

std::vector<std::string> sessionArgs(const std::string& fence) {
  return {"--c5", "--execution-fence", fence};
}

// 10000 ERP entries that nothing matches: a run of some milliseconds whose result has 20000 pages
// (every entry pending, with its residual), several times the pipe buffer the worker asks for,
// so that a host that stops reading early finds the worker still writing.
std::string longSession() {
  std::string input = startLine();
  for (size_t first = 0; first < 10000; first += 200) input += entriesLine(erpEntries(200, first));
  return input + plainLine("execute");
}

TEST(Fault, SessionInputThatCannotBeReadEndsWithStatus1AndNoOutput) {
  struct InputCase {
    const char* name;
    StdinKind kind;
  };
  const std::vector<InputCase> cases = {
      {"input is a directory", StdinKind::Directory},
      {"input closed", StdinKind::Closed},
  };
  TempDir dir;
  for (const InputCase& c : cases) {
    SCOPED_TRACE(c.name);
    WorkerOptions options;
    options.args = sessionArgs(dir.file("fence"));
    options.stdinKind = c.kind;
    options.stdinPath = dir.path();
    Worker worker(options);
    ASSERT_TRUE(worker.started()) << worker.startError();
    const ExitStatus status = worker.wait();
    EXPECT_TRUE(status.exitedWith(1)) << status;
    EXPECT_EQ(worker.unreadStdout(), "");
    EXPECT_EQ(worker.stderrText(), "");
  }
}

// The host reads some lines and then closes its end of the output. Whatever the worker was about
// to write next fails: it ends with status 1 (a write failure, never death by SIGPIPE), and the
// lines the host had read are whole and in order.
TEST(Fault, OutputClosedByTheHostAtAnyPointEndsWithStatus1) {
  struct CloseCase {
    const char* name;
    std::string input;     // written before the host starts reading
    size_t linesRead;      // read before the host closes the output
    std::string thenSend;  // written after the close, then the input ends
  };
  const std::string start = startLine();
  const std::vector<CloseCase> cases = {
      {"before executing", start, 1, plainLine("execute")},
      {"before the cancel answer", start, 1, plainLine("cancel")},
      {"before the first page", longSession(), 2, ""},
      {"before the failure object of a cancelled run", longSession(), 2, plainLine("cancel")},
      {"in the middle of the pages", longSession(), 2 + 25, ""},
  };
  for (const CloseCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    Worker worker(sessionArgs(dir.file("fence")));
    ASSERT_TRUE(worker.started()) << worker.startError();
    ASSERT_TRUE(worker.writeStdin(c.input));
    std::vector<std::string> read;
    for (size_t i = 0; i < c.linesRead; ++i) {
      std::optional<std::string> line = worker.readLine();
      ASSERT_TRUE(line.has_value()) << "line " << i;
      read.push_back(*line);
    }
    worker.closeStdout();
    (void)worker.writeStdin(c.thenSend);  // fails harmlessly if the worker has already ended
    worker.closeStdin();
    const ExitStatus status = worker.wait();
    EXPECT_TRUE(status.exitedWith(1)) << status;
    EXPECT_EQ(worker.stderrText(), "");
    EXPECT_EQ(kindOf(read[0]), "started");
    for (size_t i = 2; i < read.size(); ++i) {
      EXPECT_NE(read[i].find("\"pageCount\":20000,\"pageIndex\":" + std::to_string(i - 2) + ","),
                std::string::npos)
          << read[i];
    }
  }
}

// A worker killed while its engine runs and its pages are going out leaves the fence free: the
// next worker on the same file runs a whole session, and the file is still empty.
TEST(Fault, WorkerKilledMidSessionReleasesTheFence) {
  TempDir dir;
  const std::string fence = dir.file("fence");
  for (size_t linesBeforeKill : {size_t{2}, size_t{40}}) {
    SCOPED_TRACE(linesBeforeKill);
    Worker victim(sessionArgs(fence));
    ASSERT_TRUE(victim.started()) << victim.startError();
    ASSERT_TRUE(victim.writeStdin(longSession()));
    for (size_t i = 0; i < linesBeforeKill; ++i) ASSERT_TRUE(victim.readLine().has_value());
    EXPECT_EQ(victim.kill(SIGKILL).signal, SIGKILL);

    RunResult next = runWorker(sessionArgs(fence), startLine() + plainLine("execute"));
    ASSERT_TRUE(next.status.exitedWith(0)) << next.status;
    const std::vector<std::string> lines = splitLines(next.out);
    ASSERT_EQ(lines.size(), 4u) << next.out;
    EXPECT_EQ(kindOf(lines.back()), "completed");
    EXPECT_EQ(readFile(fence), std::string());
  }
}

// Whether this test program, and so the worker built with it, runs under a sanitizer: those
// reserve far more address space than the limits below allow.
constexpr bool kSanitized =
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    true;
#elif defined(__has_feature)
    __has_feature(address_sanitizer) || __has_feature(thread_sanitizer);
#else
    false;
#endif

constexpr size_t kMiB = size_t{1} << 20;
constexpr const char* kPrlimit = "/usr/bin/prlimit";

// Starts the worker with every new thread's stack (which glibc sizes from the stack limit) as
// large as `stackMiB`, within an address space of `addressMiB`.
std::vector<std::string> limitedLauncher(size_t stackMiB, size_t addressMiB) {
  return {kPrlimit, "--stack=" + std::to_string(stackMiB * kMiB),
          "--as=" + std::to_string(addressMiB * kMiB), "--"};
}

// A thread that cannot be started is a fatal error: a diagnostic on standard error, exit status
// 101, nothing more on standard output, and the fence is released on the way out.
TEST(Fault, ThreadThatCannotStartIsFatal) {
  if (kSanitized) GTEST_SKIP() << "address space limits do not suit a sanitized worker";
  if (::access(kPrlimit, X_OK) != 0) GTEST_SKIP() << kPrlimit << " is not available";
  struct ThreadCase {
    const char* name;
    size_t stackMiB;
    size_t addressMiB;
    std::vector<std::string> kindsWritten;
  };
  // The input thread's stack never fits; in the second case one stack fits, but not a second
  // one while the input thread (its input kept open) still holds the first.
  const std::vector<ThreadCase> cases = {
      {"input thread", 1024, 512, {}},
      {"engine thread", 400, 640, {"started", "executing"}},
  };
  TempDir dir;
  const std::string fence = dir.file("fence");
  for (const ThreadCase& c : cases) {
    SCOPED_TRACE(c.name);
    WorkerOptions options;
    options.args = sessionArgs(fence);
    options.launcher = limitedLauncher(c.stackMiB, c.addressMiB);
    Worker worker(options);
    ASSERT_TRUE(worker.started()) << worker.startError();
    (void)worker.writeStdin(startLine() + plainLine("execute"));
    const ExitStatus status = worker.wait();
    EXPECT_TRUE(status.exitedWith(101)) << status;
    EXPECT_EQ(worker.stderrText().rfind("tallywarden-worker: fatal", 0), 0u) << worker.stderrText();
    std::vector<std::string> kinds;
    for (const std::string& line : splitLines(worker.takeStdout())) kinds.push_back(kindOf(line));
    EXPECT_EQ(kinds, c.kindsWritten);

    RunResult next = runWorker(sessionArgs(fence), startLine() + plainLine("execute"));
    EXPECT_TRUE(next.status.exitedWith(0)) << "the fence was not released: " << next.status;
  }
}

// Fifty workers started at once on one fence: exactly one gets it and runs the session; every
// other one ends with status 1 at once, writes nothing and reads none of the input already
// waiting in its pipe. The winner holds the fence until all the others have ended, because it
// waits for "execute", which is sent only then.
TEST(Fault, FiftyWorkersOnOneFenceRunExactlyOneSession) {
  TempDir dir;
  const std::string fence = dir.file("fence");
  const std::string start = startLine();
  std::vector<std::unique_ptr<Worker>> workers;
  for (size_t i = 0; i < kCrowd; ++i) {
    WorkerOptions options;
    options.args = sessionArgs(fence);
    options.initialStdin = start;  // waiting in the pipe before the worker runs
    workers.push_back(std::make_unique<Worker>(options));
    ASSERT_TRUE(workers.back()->started()) << workers.back()->startError();
  }

  // Wait until all but one have ended.
  const auto deadline = Clock::now() + kCrowdTimeout;
  std::vector<Worker*> running;
  do {
    running.clear();
    for (auto& worker : workers) {
      if (worker->running()) running.push_back(worker.get());
    }
    if (running.size() <= 1) break;
    std::this_thread::sleep_for(milliseconds{5});
  } while (Clock::now() < deadline);
  ASSERT_EQ(running.size(), 1u) << "workers still running";
  Worker& winner = *running.front();

  for (auto& worker : workers) {
    if (worker.get() == &winner) continue;
    EXPECT_EQ(worker->unreadStdinBytes(), start.size()) << "a refused worker read its input";
    const ExitStatus status = worker->wait();
    EXPECT_TRUE(status.exitedWith(1)) << status;
    EXPECT_EQ(worker->unreadStdout(), "");
    EXPECT_EQ(worker->stderrText(), "");
  }

  ASSERT_TRUE(winner.writeStdin(plainLine("execute")));
  winner.closeStdin();
  const ExitStatus status = winner.wait(kCrowdTimeout);
  ASSERT_TRUE(status.exitedWith(0)) << status;
  const std::vector<std::string> lines = splitLines(winner.takeStdout());
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(kindOf(lines[0]), "started");
  EXPECT_EQ(kindOf(lines[3]), "completed");
  EXPECT_EQ(winner.stderrText(), "");
}

// Fifty sessions at once, each on its own fence, give byte for byte the output of the same
// session run alone.
TEST(Fault, FiftyConcurrentSessionsGiveTheReferenceBytes) {
  const auto input = readFile(std::string(TW_SOURCE_DIR) + "/examples/session.ndjson");
  ASSERT_TRUE(input.has_value());
  TempDir dir;
  const RunResult reference = runWorker(sessionArgs(dir.file("reference")), *input, kCrowdTimeout);
  ASSERT_TRUE(reference.status.exitedWith(0)) << reference.status;
  ASSERT_EQ(kindOf(splitLines(reference.out).back()), "completed");

  std::vector<std::unique_ptr<Worker>> workers;
  for (size_t i = 0; i < kCrowd; ++i) {
    workers.push_back(
        std::make_unique<Worker>(sessionArgs(dir.file("fence-" + std::to_string(i)))));
    ASSERT_TRUE(workers.back()->started()) << workers.back()->startError();
  }
  // Each worker reads its whole input before it writes more than a line, so writing them one
  // after the other never waits on output nobody collects.
  for (auto& worker : workers) {
    ASSERT_TRUE(worker->writeStdin(*input));
    worker->closeStdin();
  }
  for (size_t i = 0; i < kCrowd; ++i) {
    SCOPED_TRACE(i);
    const ExitStatus status = workers[i]->wait(kCrowdTimeout);
    EXPECT_TRUE(status.exitedWith(0)) << status;
    EXPECT_TRUE(workers[i]->unreadStdout() == reference.out) << "output differs from the reference";
    EXPECT_EQ(workers[i]->stderrText(), "");
  }
}

}  // namespace
}  // namespace tw::test
