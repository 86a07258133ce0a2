// A line the host had written completely before the run's outcome was ready is judged before the
// outcome, however loaded the machine: "execute" and "cancel" written at once always end with
// CANCELLED, "execute" and another frame written at once always end with status 1 and no page.
// Busy threads keep every processor occupied while the sessions run.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "contracts/test_records.h"
#include "tests/process_harness.h"
#include "tests/session_frames.h"

namespace tw::test {
namespace {

using tw::testing::makeEntry;

constexpr int kRuns = 100;
constexpr size_t kPairs = 20;  // a run over in a moment: the outcome is ready as soon as it can be
constexpr size_t kBusyThreads = 3;

// Spins on every processor (and one more) while it lives.
class BusyMachine {
 public:
  BusyMachine() {
    for (size_t i = 0; i < kBusyThreads; ++i) {
      threads_.emplace_back([this] {
        volatile uint64_t spins = 0;
        while (!stop_.load(std::memory_order_relaxed)) spins = spins + 1;
      });
    }
  }
  ~BusyMachine() {
    stop_.store(true);
    for (std::thread& thread : threads_) thread.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::vector<std::thread> threads_;
};

std::string loadingFrames() {
  std::vector<Entry> entries;
  for (size_t i = 0; i < kPairs; ++i) {
    const std::string ref = "INV-" + std::to_string(i);
    const std::string cents = std::to_string(100 + i);
    const std::string account = "acct-" + std::to_string(i / 14);
    const std::string day = "2024-02-" + std::to_string(10 + i % 14);
    entries.push_back(
        makeEntry("E" + std::to_string(i), SourceRole::Erp, account, day, cents, ref));
    entries.push_back(
        makeEntry("B" + std::to_string(i), SourceRole::Bank, account, day, cents, ref));
  }
  return startLine() + entriesLine(entries);
}

struct Ended {
  ExitStatus status;
  std::vector<std::string> kinds;
  std::string last;
};

// The loading frames, then `tail` ("execute" and what follows it) in one write of its own.
Ended runWithTail(const TempDir& dir, const std::string& loading, const std::string& tail) {
  Worker worker({"--c5", "--execution-fence", dir.file("fence")});
  EXPECT_TRUE(worker.writeStdin(loading));
  EXPECT_TRUE(worker.writeStdin(tail));
  worker.closeStdin();
  Ended ended{worker.wait(), {}, {}};
  for (const std::string& line : splitLines(worker.takeStdout())) {
    ended.kinds.push_back(kindOf(line));
    ended.last = line;
  }
  return ended;
}

TEST(InputFirst, ALineWrittenWithExecuteIsJudgedBeforeTheOutcomeUnderLoad) {
  const TempDir dir;
  const std::string loading = loadingFrames();
  // Without a line after "execute", the run delivers its result.
  const Ended delivered = runWithTail(dir, loading, plainLine("execute"));
  ASSERT_TRUE(delivered.status.exitedWith(0)) << delivered.status;
  ASSERT_EQ(delivered.kinds.back(), "completed") << delivered.last;

  const BusyMachine busy;
  int cancelled = 0;
  int refused = 0;
  for (int run = 0; run < kRuns; ++run) {
    const Ended cancel = runWithTail(dir, loading, plainLine("execute") + plainLine("cancel"));
    const bool wasCancelled =
        cancel.status.exitedWith(0) &&
        cancel.kinds == std::vector<std::string>{"started", "executing", "failed"} &&
        cancel.last.find("\"CANCELLED\"") != std::string::npos;
    cancelled += wasCancelled;
    EXPECT_TRUE(wasCancelled) << "run " << run << ": " << cancel.status << ", "
                              << cancel.kinds.size() << " lines, last " << cancel.last;

    const Ended other =
        runWithTail(dir, loading, plainLine("execute") + entriesLine(std::vector<Entry>{}));
    const bool wasRefused = other.status.exitedWith(1) &&
                            other.kinds == std::vector<std::string>{"started", "executing"};
    refused += wasRefused;
    EXPECT_TRUE(wasRefused) << "run " << run << ": " << other.status << ", " << other.kinds.size()
                            << " lines";
  }
  RecordProperty("cancelled", cancelled);
  RecordProperty("refused", refused);
}

}  // namespace
}  // namespace tw::test
