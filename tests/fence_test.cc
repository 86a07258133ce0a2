// The execution fence keeps two session-mode workers on the same file from running at once: the
// second one ends at once with status 1, reads nothing and writes nothing, and the first goes
// on undisturbed. The file is created when missing and never changed.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <memory>
#include <sstream>
#include <thread>

#include "tests/process_harness.h"

namespace tw::test {
namespace {

using Clock = std::chrono::steady_clock;

// Generous against a loaded machine, far below anything that waits on input.
constexpr milliseconds kPrompt{3000};

std::vector<std::string> sessionArgs(const std::string& fence) {
  return {"--c5", "--execution-fence", fence};
}

// A worker that will hold the fence: in session mode, its input kept open.
std::unique_ptr<Worker> startHolder(const std::string& fence) {
  return std::make_unique<Worker>(sessionArgs(fence));
}

struct Probe {
  ExitStatus status;
  std::string out;
  std::string err;
  off_t inputRead = -1;
  Clock::duration elapsed{};
};

// Runs one session-mode worker on `fence` whose input is a file with content. A worker refused
// by the fence reads none of it; one that got the fence reads some.
Probe probe(const TempDir& dir, const std::string& fence) {
  const std::string input = dir.file("probe-input");
  Probe result;
  if (!writeFile(input, "{\"version\":1,\"kind\":\"start\"}\n")) return result;
  WorkerOptions options;
  options.args = sessionArgs(fence);
  options.stdinKind = StdinKind::SharedFile;
  options.stdinPath = input;
  const auto begun = Clock::now();
  Worker worker(options);
  if (!worker.started()) return result;
  result.status = worker.wait(kPrompt);
  result.elapsed = Clock::now() - begun;
  result.out = worker.unreadStdout();
  result.err = worker.stderrText();
  result.inputRead = worker.stdinOffset();
  return result;
}

void expectRefused(const TempDir& dir, const std::string& fence) {
  const Probe refused = probe(dir, fence);
  EXPECT_TRUE(refused.status.exitedWith(1)) << refused.status;
  EXPECT_LT(refused.elapsed, kPrompt);
  EXPECT_EQ(refused.out, "");
  EXPECT_EQ(refused.err, "");
  EXPECT_EQ(refused.inputRead, 0) << "a refused worker read its input";
}

// True when the kernel lists an exclusive whole-file lock that `pid` holds on `path`. Read from
// /proc/locks rather than by trying the lock, which could itself turn the holder away.
bool holdsLock(pid_t pid, const std::string& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) return false;
  const std::optional<std::string> locks = readFile("/proc/locks");
  if (!locks) return false;
  std::istringstream lines(*locks);
  std::string line;
  while (std::getline(lines, line)) {
    // "1: FLOCK  ADVISORY  WRITE 19544 fe:00:10953533 0 EOF"
    std::istringstream fields(line);
    std::string ordinal, kind, mode, access, device;
    long owner = 0;
    if (!(fields >> ordinal >> kind >> mode >> access >> owner >> device)) continue;
    const size_t inodeAt = device.rfind(':');
    if (kind != "FLOCK" || access != "WRITE" || owner != pid || inodeAt == std::string::npos) {
      continue;
    }
    if (device.substr(inodeAt + 1) == std::to_string(info.st_ino)) return true;
  }
  return false;
}

// Waits until the holder has taken the fence.
bool waitUntilHeld(const std::string& fence, Worker& holder) {
  const auto deadline = Clock::now() + kDefaultTimeout;
  while (Clock::now() < deadline && holder.running()) {
    if (holdsLock(holder.pid(), fence)) return true;
    std::this_thread::sleep_for(milliseconds{2});
  }
  return false;
}

TEST(Fence, SecondWorkerOnAHeldFenceIsRefusedAndTheFirstGoesOn) {
  TempDir dir;
  const std::string fence = dir.file("fence");
  auto first = startHolder(fence);
  ASSERT_TRUE(first->started()) << first->startError();
  ASSERT_TRUE(waitUntilHeld(fence, *first));

  expectRefused(dir, fence);
  EXPECT_TRUE(first->running()) << "the refused worker disturbed the holder";
  EXPECT_TRUE(holdsLock(first->pid(), fence));

  first->closeStdin();
  const ExitStatus status = first->wait();
  EXPECT_TRUE(status.exited) << status;
  EXPECT_EQ(first->stderrText(), "");
}

TEST(Fence, IsFreeAgainOnceTheHolderEndsNormallyOrNot) {
  TempDir dir;
  const std::string fence = dir.file("fence");
  for (bool killHolder : {false, true}) {
    SCOPED_TRACE(killHolder ? "holder killed" : "holder ended normally");
    auto holder = startHolder(fence);
    ASSERT_TRUE(waitUntilHeld(fence, *holder));
    if (killHolder) {
      EXPECT_EQ(holder->kill(SIGKILL).signal, SIGKILL);
    } else {
      holder->closeStdin();
      EXPECT_TRUE(holder->wait().exited);
    }
    // A new worker takes the fence and holds it in turn.
    auto next = startHolder(fence);
    ASSERT_TRUE(waitUntilHeld(fence, *next));
    expectRefused(dir, fence);
    next->closeStdin();
    EXPECT_TRUE(next->wait().exited);
  }
}

TEST(Fence, MissingFileIsCreatedEmptyAndStays) {
  TempDir dir;
  const std::string fence = dir.file("fence");
  RunResult run = runWorker(sessionArgs(fence), "");
  EXPECT_TRUE(run.status.exited) << run.status;
  EXPECT_EQ(readFile(fence), std::string());
}

TEST(Fence, ExistingFileKeepsItsContent) {
  TempDir dir;
  const std::string fence = dir.file("fence");
  const std::string content = "held by nobody\n\x01\x02 binary too";
  ASSERT_TRUE(writeFile(fence, content));
  auto holder = startHolder(fence);
  ASSERT_TRUE(waitUntilHeld(fence, *holder));
  EXPECT_EQ(readFile(fence), content);
  holder->closeStdin();
  EXPECT_TRUE(holder->wait().exited);
  EXPECT_EQ(readFile(fence), content);
}

TEST(Fence, UnopenablePathsAreRefusedLikeABusyFence) {
  TempDir dir;
  const std::string missingDir = dir.file("no-such-dir/fence");
  expectRefused(dir, missingDir);
  struct stat info;
  EXPECT_NE(::stat(dir.file("no-such-dir").c_str(), &info), 0) << "the directory was created";

  expectRefused(dir, "");          // an empty path is passed on and fails to open
  expectRefused(dir, dir.path());  // a directory cannot be opened for writing
}

}  // namespace
}  // namespace tw::test
