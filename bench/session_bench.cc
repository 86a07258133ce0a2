// The stages of one session on a generated session input (bench/gen_session.py), each timed on
// its own: cutting the input into lines, decoding the frames, the engine run, the result
// commitment, writing the result pages, and the whole session in process (threads included,
// process start-up excluded).
//
// Usage: session_bench [benchmark flags] [SESSION_FILE]
// Without SESSION_FILE the example month-end session of examples/ is used.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "contracts/commitment.h"
#include "engine/assembly.h"
#include "engine/engine.h"
#include "worker/fd_io.h"
#include "worker/frames.h"
#include "worker/line_reader.h"
#include "worker/pair_runner.h"
#include "worker/responses.h"
#include "worker/result_pages.h"
#include "worker/session.h"
#include "worker/test_pages.h"

namespace tw {
namespace {

using testing::ResultPageBody;
using testing::ResultPageWriter;
using testing::writeResultPage;

std::string gSessionPath = TW_SOURCE_DIR "/examples/session.ndjson";

std::string readFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    std::fprintf(stderr, "session_bench: cannot open %s\n", path.c_str());
    std::exit(2);
  }
  std::string text;
  (void)readBounded(fd, kMaxSessionBytes + 1, text);
  ::close(fd);
  return text;
}

// The session input, its lines, and what each later stage starts from.
struct Fixture {
  std::string text;
  std::vector<std::string_view> lines;
  SessionState state;
  ReconciliationResult result;
  std::optional<PositionalResult> positional;  // as a session's engine hands it over

  Fixture() : text(readFile(gSessionPath)) {
    for (size_t start = 0; start < text.size();) {
      size_t end = text.find('\n', start);
      end = end == std::string::npos ? text.size() : end + 1;
      lines.emplace_back(text.data() + start, end - start);
      start = end;
    }
    for (std::string_view line : lines) {
      if (!decodeFrame(state, line)) fail("a frame was refused");
    }
    const std::atomic<bool> cancel{false};
    auto run = runEngine(state.heldEntries, *state.manifest, cancel, kSessionEngineLimits);
    if (!run) fail(std::string("the engine failed: ") + std::string(engineErrorName(run.error())));
    result = std::move(run).value();
    auto left = runEnginePositional(state.heldEntries, *state.manifest, cancel,
                                    kSessionEngineLimits, EntryContractChecks::AlreadyPassed);
    if (!left) fail("the engine failed on the second run");
    positional.emplace(std::move(left).value());
  }

  [[noreturn]] static void fail(const std::string& why) {
    std::fprintf(stderr, "session_bench: %s\n", why.c_str());
    std::exit(2);
  }
};

const Fixture& fixture() {
  static const Fixture instance;
  return instance;
}

void setBytes(benchmark::State& state, size_t bytes) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
}

// The input thread's work: the session text through a pipe, cut into lines by the line reader.
void BM_LineReaderOverPipe(benchmark::State& state) {
  const Fixture& f = fixture();
  size_t lines = 0;
  for (auto _ : state) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) Fixture::fail("pipe failed");
    std::thread writer([&] {
      (void)writeAll(fds[1], f.text);
      ::close(fds[1]);
    });
    LineReader reader(fds[0]);
    lines = 0;
    for (InputMessage message = reader.next(); message.kind == InputMessage::Kind::Line;
         message = reader.next()) {
      benchmark::DoNotOptimize(message.line.data());
      ++lines;
    }
    writer.join();
    ::close(fds[0]);
  }
  state.counters["lines"] = static_cast<double>(lines);
  setBytes(state, f.text.size());
}
BENCHMARK(BM_LineReaderOverPipe)->Unit(benchmark::kMillisecond)->UseRealTime();

// decodeFrame on every line: strict JSON, frame checks, decodeEntry of each entry.
void BM_DecodeFrames(benchmark::State& state) {
  const Fixture& f = fixture();
  for (auto _ : state) {
    SessionState session;
    for (std::string_view line : f.lines) {
      auto decoded = decodeFrame(session, line);
      benchmark::DoNotOptimize(decoded);
    }
    state.PauseTiming();
    session = SessionState();  // freeing the held entries is not decoding
    state.ResumeTiming();
  }
  state.counters["entries"] = static_cast<double>(f.state.heldEntries.size());
  setBytes(state, f.text.size());
}
BENCHMARK(BM_DecodeFrames)->Unit(benchmark::kMillisecond);

// The engine thread's work on the held entries (which the driver moves to it).
void BM_EngineRun(benchmark::State& state) {
  const Fixture& f = fixture();
  const std::atomic<bool> cancel{false};
  for (auto _ : state) {
    // As the session runs it: its frames have already held every entry to the contract.
    auto run = runEngine(f.state.heldEntries, *f.state.manifest, cancel, kSessionEngineLimits,
                         EntryContractChecks::AlreadyPassed);
    benchmark::DoNotOptimize(run);
  }
  state.counters["allocations"] = static_cast<double>(f.result.allocations.size());
  state.counters["pending"] = static_cast<double>(f.result.pendingIds.size());
}
BENCHMARK(BM_EngineRun)->Unit(benchmark::kMillisecond);

// The run as the session makes it: with a second core lent through a helper thread (started
// once a run, as the session does), its result left by position.
void BM_EngineRunTwoCores(benchmark::State& state) {
  const Fixture& f = fixture();
  const std::atomic<bool> cancel{false};
  for (auto _ : state) {
    const ThreadPairRunner runner;
    auto run =
        runEnginePositional(f.state.heldEntries, *f.state.manifest, cancel, kSessionEngineLimits,
                            EntryContractChecks::AlreadyPassed, nullptr, &runner);
    benchmark::DoNotOptimize(run);
  }
  state.counters["allocations"] = static_cast<double>(f.result.allocations.size());
}
BENCHMARK(BM_EngineRunTwoCores)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_CommitResult(benchmark::State& state) {
  const Fixture& f = fixture();
  for (auto _ : state) {
    auto commitment = commitResult(f.result);
    benchmark::DoNotOptimize(commitment);
  }
}
BENCHMARK(BM_CommitResult)->Unit(benchmark::kMillisecond);

// Bytes written over before each run "from cold memory": well past the last-level cache.
constexpr size_t kCacheSweepBytes = size_t{96} << 20;

// What the engine thread does once it has handed the result over: every page of the result left
// by position made into batches of 256, and the commitment hashed from their items. Nothing is
// written. With argument 1, each run starts from cold memory, as in a session, where the entries
// were last touched by other threads long before.
void BM_MakePagesWithCommitment(benchmark::State& state) {
  const Fixture& f = fixture();
  const uint64_t pageCount = *resultPageCount(*f.positional);
  constexpr size_t kPagesPerBatch = 256;
  const bool cold = state.range(0) == 1;
  std::vector<char> sweep(cold ? kCacheSweepBytes : 0);
  PageBatch batch;
  for (auto _ : state) {
    if (cold) {
      state.PauseTiming();
      for (size_t i = 0; i < sweep.size(); i += 64) sweep[i] = static_cast<char>(sweep[i] + 1);
      benchmark::ClobberMemory();
      state.ResumeTiming();
    }
    auto commitment = makeResultPages(*f.positional, *f.state.nonce, pageCount, batch,
                                      [&](PageBatch& made, bool last) {
                                        if (!last && made.pageCount() < kPagesPerBatch) {
                                          return true;
                                        }
                                        benchmark::DoNotOptimize(made.text.data());
                                        made.clear();
                                        return true;
                                      });
    benchmark::DoNotOptimize(commitment);
  }
  state.counters["pages"] = static_cast<double>(pageCount);
}
BENCHMARK(BM_MakePagesWithCommitment)
    ->ArgName("cold")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond);

// One resultPage message per allocation, pending identifier and residual, as the driver
// delivers them: to /dev/null (argument 0), or into a pipe that another thread drains as a host
// would (argument 1), which adds the cost of waking the reader for each message.
void BM_WriteResultPages(benchmark::State& state) {
  const Fixture& f = fixture();
  const bool toPipe = state.range(0) == 1;
  const std::string& nonce = *f.state.nonce;
  const uint64_t pageCount =
      f.result.allocations.size() + f.result.pendingIds.size() + f.result.residuals.size();
  for (auto _ : state) {
    int fds[2] = {-1, -1};
    std::thread reader;
    if (toPipe) {
      if (::pipe2(fds, O_CLOEXEC) != 0) Fixture::fail("pipe failed");
      reader = std::thread([readFd = fds[0]] {
        char buffer[65536];
        while (::read(readFd, buffer, sizeof buffer) > 0) {
        }
      });
    } else {
      fds[1] = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    }
    ResultPageWriter pages(fds[1], nonce, pageCount);
    for (const Allocation& allocation : f.result.allocations) (void)pages.write(allocation);
    for (const std::string& id : f.result.pendingIds) (void)pages.writePendingId(id);
    for (const auto& [id, cents] : f.result.residuals) (void)pages.writeResidual(id, cents);
    ::close(fds[1]);
    if (toPipe) {
      reader.join();
      ::close(fds[0]);
    }
  }
  state.counters["pages"] = static_cast<double>(pageCount);
}
BENCHMARK(BM_WriteResultPages)
    ->ArgName("pipe")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// runSession from the session file to /dev/null: every stage and the hand-overs between the
// threads, without process start-up.
void BM_WholeSessionInProcess(benchmark::State& state) {
  const Fixture& f = fixture();
  const int out = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  for (auto _ : state) {
    const int in = ::open(gSessionPath.c_str(), O_RDONLY | O_CLOEXEC);
    auto ended = runSession(in, out);
    if (!ended) Fixture::fail("the session ended with a code");
    ::close(in);
  }
  ::close(out);
  setBytes(state, f.text.size());
}
BENCHMARK(BM_WholeSessionInProcess)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace tw

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (argc > 2) {
    std::fprintf(stderr, "usage: session_bench [benchmark flags] [SESSION_FILE]\n");
    return 2;
  }
  if (argc == 2) tw::gSessionPath = argv[1];
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
