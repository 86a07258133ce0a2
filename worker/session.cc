#include "worker/session.h"

#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

#include "contracts/commitment.h"
#include "contracts/record_checks.h"
#include "worker/channel.h"
#include "worker/frames.h"
#include "worker/line_reader.h"

namespace tw {

namespace {

constexpr int kFatalExitStatus = 101;
constexpr int kFirstNonStandardFd = STDERR_FILENO + 1;

// A thread the session needs cannot be started: nothing sensible is left to do.
[[noreturn]] void failToStartThread(std::string_view which) {
  std::string text = "tallywarden-worker: fatal: cannot start the ";
  text.append(which);
  text.append(" thread\n");
  [[maybe_unused]] const ssize_t ignored = ::write(STDERR_FILENO, text.data(), text.size());
  std::_Exit(kFatalExitStatus);
}

template <class Function>
void startDetached(std::string_view which, Function&& function) {
  try {
    std::thread(std::forward<Function>(function)).detach();
  } catch (const std::system_error&) {
    failToStartThread(which);
  }
}

// A line and, for every other line, what the input thread has already learnt from it alone.
struct InputItem {
  InputMessage message;
  std::optional<PreparedFrame> prepared;
};

// Input thread: lines until the end of input or a read failure, or until no one listens.
// It owns its own descriptor, so the caller's descriptor may be closed while it still reads.
//
// Reading a large entries frame into records costs far more than cutting it from the input, so
// the input thread prepares every other line itself and leaves the rest to the driver: the two
// threads then read a run of entries frames about twice as fast as one. Preparing depends on the
// line alone, so the frames are still judged one by one, in order, by the driver.
void readInput(int fd, Sender<InputItem> input) {
  LineReader reader(fd);
  for (uint64_t lineNumber = 0;; ++lineNumber) {
    InputItem item{reader.next(), std::nullopt};
    const bool last = item.message.kind != InputMessage::Kind::Line;
    if (!last && lineNumber % 2 == 1) item.prepared = prepareFrame(item.message.line);
    if (!input.send(std::move(item)) || last) break;
  }
  ::close(fd);
}

// Allocation settings for the one session of the process, set before its threads start: one
// heap for all three threads, so that the engine reuses what decoding freed instead of faulting
// in fresh pages of an arena of its own; large blocks (the held entries) on that heap too, for
// the same reason; grown in large steps and never trimmed, since the process ends with the
// session. Untouched address space costs no memory: the peak resident size stays what the data
// needs.
constexpr int kHeapGrowthPadBytes = 64 << 20;
constexpr int kLargeBlockBytes = 32 << 20;  // glibc's largest mmap threshold on 64-bit systems
constexpr int kNeverTrimBytes = 1 << 30;

void useOneGrowingHeap() {
  ::mallopt(M_ARENA_MAX, 1);
  ::mallopt(M_TOP_PAD, kHeapGrowthPadBytes);
  ::mallopt(M_MMAP_THRESHOLD, kLargeBlockBytes);
  ::mallopt(M_TRIM_THRESHOLD, kNeverTrimBytes);
}

// What the engine thread hands back: the run's failure code, or its result and whether that
// result passes the result contract (a result that does not is never delivered).
struct RunOutcome {
  std::shared_ptr<const ReconciliationResult> result;
  bool passesContract = false;
};
using EngineOutcome = Result<RunOutcome, SessionCode>;
using CommitmentOutcome = Result<std::string, ContractError>;
// Sent by no one: the driver lets its end go once it no longer reads the result.
struct ResultReleased {};

struct EngineJob {
  std::vector<Entry> entries;
  RunManifest manifest;
  std::shared_ptr<std::atomic<bool>> cancel;
  Sender<EngineOutcome> outcome;
  Sender<CommitmentOutcome> commitment;
  Receiver<ResultReleased> released;
};

// Engine thread: exactly one outcome, or none at all when the run ends by an exception; the
// producer end then goes away unused and the driver reports the engine as disconnected.
//
// A result that passes its contract is then committed here, on this thread, while the driver
// writes its pages: the commitment is needed only by the "completed" message after the last
// page, and hashing the canonical text no longer delays the first page. The contract check
// itself comes before the outcome, so a result that fails it still has nothing written.
void runEngineJob(const SessionEngine& engine, EngineJob job) {
  std::shared_ptr<const ReconciliationResult> result;
  try {
    auto run = engine(job.entries, job.manifest, *job.cancel);
    if (!run) {
      // Whatever made the run fail, cancellation included, the session sees one code.
      job.outcome.send(EngineOutcome(fail(SessionCode::EngineFailed)));
      return;
    }
    result = std::make_shared<const ReconciliationResult>(std::move(run).value());
    const bool passes = checkResultRecord(*result).ok();
    job.outcome.send(EngineOutcome(RunOutcome{result, passes}));
    if (!passes) return;
  } catch (...) {
    job.outcome.close();
    return;
  }
  try {
    job.commitment.send(commitCheckedResult(*result));
  } catch (...) {
    job.commitment.close();
  }
  // Taking apart a large result costs milliseconds. Once the driver has let go of it, this
  // thread does that (and frees the entries) while the driver ends the session, instead of the
  // driver doing it before the session can end.
  job.released.recv();
}

struct EngineHandle {
  Receiver<EngineOutcome> outcome;
  Receiver<CommitmentOutcome> commitment;
  Sender<ResultReleased> released;
  std::shared_ptr<std::atomic<bool>> cancel;
  bool cancelRequested = false;
};

// One turn's input: a message, nothing this turn, or the session is incomplete.
struct Polled {
  std::optional<InputItem> message;
  bool incomplete = false;
};

class SessionDriver {
 public:
  SessionDriver(int outFd, Receiver<InputItem> input, SessionEngine engine)
      : outFd_(outFd), input_(std::move(input)), engine_(std::move(engine)) {}

  Status<SessionCode> run() {
    for (;;) {
      Polled polled = pollInput();
      if (polled.incomplete) return fail(SessionCode::Incomplete);
      if (polled.message) {
        if (auto ended = handleInput(std::move(*polled.message))) return *ended;
      }
      if (engineHandle_) {
        if (auto ended = checkEngine()) return *ended;
      }
    }
  }

 private:
  using Ending = std::optional<Status<SessionCode>>;

  Polled pollInput() {
    if (!engineHandle_) {
      if (inputClosed_) return {std::nullopt, true};
      Received<InputItem> received = input_.recv();
      if (received.status != ChannelStatus::Value) return {std::nullopt, true};
      return {std::move(received.value), false};
    }
    if (inputClosed_) {
      // Nothing more can come in: the turn waits for the outcome instead, so that it is seen as
      // soon as it is sent rather than at the end of a fixed sleep.
      engineHandle_->outcome.waitFor(kEnginePollInterval);
      return {};
    }
    Received<InputItem> received = input_.recvFor(kOutcomePollInterval);
    if (received.status == ChannelStatus::Closed) inputClosed_ = true;
    return {std::move(received.value), false};
  }

  Ending handleInput(InputItem item) {
    const InputMessage& message = item.message;
    switch (message.kind) {
      case InputMessage::Kind::EndOfInput:
        inputClosed_ = true;
        return std::nullopt;
      case InputMessage::Kind::ReadFailure:
        return fail(SessionCode::ReadFailed);
      case InputMessage::Kind::Line:
        break;
    }
    auto decoded = item.prepared ? decodeFrame(state_, message.line, std::move(*item.prepared))
                                 : decodeFrame(state_, message.line);
    if (!decoded) return fail(decoded.error());
    AcceptedFrame& frame = decoded.value();
    switch (frame.answer) {
      case FrameAnswer::None:
        return std::nullopt;
      case FrameAnswer::Started: {
        if (auto written = writeResponse(outFd_, frame.response); !written) return written;
        return std::nullopt;
      }
      case FrameAnswer::Executing: {
        if (auto written = writeResponse(outFd_, frame.response); !written) return written;
        return startEngine();
      }
      case FrameAnswer::Cancelled: {
        if (engineHandle_) {
          // The running engine is stopped first; its outcome then answers "CANCELLED".
          engineHandle_->cancelRequested = true;
          engineHandle_->cancel->store(true);
          return std::nullopt;
        }
        return writeResponse(outFd_, frame.response);
      }
    }
    return fail(SessionCode::InvalidOrder);  // unreachable: every answer is handled above
  }

  Ending startEngine() {
    if (!state_.manifest) return fail(SessionCode::InvalidOrder);
    auto [sender, receiver] = makeChannel<EngineOutcome>(kResultQueueCapacity);
    auto [commitmentSender, commitmentReceiver] = makeChannel<CommitmentOutcome>(1);
    auto [releasedSender, releasedReceiver] = makeChannel<ResultReleased>(1);
    auto cancel = std::make_shared<std::atomic<bool>>(false);
    // The held entries move to the engine rather than being copied: once "execute" is
    // accepted, no frame can read or change them again (every later "start", "entries" and
    // "execute" is refused before they are looked at), so the session state is left as
    // untouched as a copy would leave it, without holding every entry twice.
    EngineJob job{
        std::move(state_.heldEntries), *state_.manifest,           cancel, std::move(sender),
        std::move(commitmentSender),   std::move(releasedReceiver)};
    startDetached("engine", [engine = engine_, job = std::move(job)]() mutable {
      runEngineJob(engine, std::move(job));
    });
    engineHandle_ = EngineHandle{std::move(receiver), std::move(commitmentReceiver),
                                 std::move(releasedSender), std::move(cancel), false};
    return std::nullopt;
  }

  Ending checkEngine() {
    Received<EngineOutcome> received = engineHandle_->outcome.tryRecv();
    switch (received.status) {
      case ChannelStatus::Empty:
        return std::nullopt;
      case ChannelStatus::Closed:
        return writeFailure(SessionCode::EngineDisconnected);
      case ChannelStatus::Value:
        break;
    }
    if (engineHandle_->cancelRequested) return writeFailure(SessionCode::Cancelled);
    if (!received.value->ok()) return writeFailure(received.value->error());
    RunOutcome& run = received.value->value();
    if (!run.passesContract) return fail(SessionCode::InvalidResult);
    return deliver(std::move(run.result));
  }

  Status<SessionCode> writeFailure(SessionCode code) {
    return writeResponse(outFd_, failureObject(state_.nonce, code));
  }

  Status<SessionCode> deliver(std::shared_ptr<const ReconciliationResult> shared) {
    const ReconciliationResult& result = *shared;
    if (!state_.nonce) return fail(SessionCode::InvalidOrder);
    const std::string& nonce = *state_.nonce;

    uint64_t items = 0;
    if (__builtin_add_overflow(uint64_t{result.allocations.size()},
                               uint64_t{result.pendingIds.size()}, &items) ||
        __builtin_add_overflow(items, uint64_t{result.residuals.size()}, &items)) {
      return fail(SessionCode::ResponseLimit);
    }
    const uint64_t pageCount = items == 0 ? 1 : items;

    // Each page is written straight from its record, one item a page.
    ResultPageWriter pages(outFd_, nonce, pageCount);
    if (items == 0) {
      if (auto written = pages.writeEmpty(); !written) return written;
    }
    for (const Allocation& allocation : result.allocations) {
      if (auto written = pages.write(allocation); !written) return written;
    }
    for (const std::string& id : result.pendingIds) {
      if (auto written = pages.writePendingId(id); !written) return written;
    }
    for (const auto& [id, cents] : result.residuals) {
      if (auto written = pages.writeResidual(id, cents); !written) return written;
    }
    // The engine thread has been hashing the result meanwhile. Its digest routine failing (or
    // the thread failing to finish) leaves the result without a commitment: never "completed".
    Received<CommitmentOutcome> commitment = engineHandle_->commitment.recv();
    if (commitment.status != ChannelStatus::Value || !commitment.value->ok()) {
      return fail(SessionCode::InvalidResult);
    }
    Json completed = completedMessage(nonce, pageCount, commitment.value->value(), result.revision,
                                      result.runId);
    shared.reset();
    engineHandle_->released.close();
    return writeResponse(outFd_, completed);
  }

  const int outFd_;
  Receiver<InputItem> input_;
  SessionEngine engine_;
  SessionState state_;
  std::optional<EngineHandle> engineHandle_;
  bool inputClosed_ = false;
};

}  // namespace

Status<SessionCode> runSession(int inFd, int outFd) {
  useOneGrowingHeap();
  return runSession(inFd, outFd,
                    [](const std::vector<Entry>& entries, const RunManifest& manifest,
                       const std::atomic<bool>& cancel) {
                      // Every held entry passed the entry contract when its frame was
                      // accepted, so the engine's own pass over it could only agree.
                      return runEngine(entries, manifest, cancel, kSessionEngineLimits,
                                       EntryContractChecks::AlreadyPassed);
                    });
}

Status<SessionCode> runSession(int inFd, int outFd, SessionEngine engine) {
  // The input thread reads its own copy of the descriptor and closes it when it ends. The copy
  // stays clear of the standard stream numbers, so that with standard output closed no message
  // could be written into the input in its place.
  const int inputFd = ::fcntl(inFd, F_DUPFD_CLOEXEC, kFirstNonStandardFd);
  if (inputFd < 0) return fail(SessionCode::ReadFailed);
  auto [sender, receiver] = makeChannel<InputItem>(kInputQueueCapacity);
  startDetached("input", [inputFd, input = std::move(sender)]() mutable {
    readInput(inputFd, std::move(input));
  });
  SessionDriver driver(outFd, std::move(receiver), std::move(engine));
  return driver.run();
}

}  // namespace tw
