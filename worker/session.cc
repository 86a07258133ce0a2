#include "worker/session.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <memory>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <variant>

#include "contracts/commitment.h"
#include "contracts/record_checks.h"
#include "contracts/sha256.h"
#include "worker/channel.h"
#include "worker/fd_io.h"
#include "worker/frames.h"
#include "worker/line_reader.h"
#include "worker/pair_runner.h"
#include "worker/platform.h"
#include "worker/preparable_line.h"
#include "worker/result_pages.h"

namespace tw {

namespace {

constexpr int kFatalExitStatus = 101;

// The output buffer the session asks for when its output is a pipe: some 3,000 pages of a large
// result, so that the driver, which shares the processors with the thread making the pages and
// often with the host reading them, seldom waits for the host to read.
constexpr size_t kOutputPipeBytes = size_t{1} << 20;

// A thread the session needs cannot be started: nothing sensible is left to do.
[[noreturn]] void failToStartThread(std::string_view which) {
  std::string text = "tallywarden-worker: fatal: cannot start the ";
  text.append(which);
  text.append(" thread\n");
  (void)writeAll(platform::kStandardError, text);
  platform::endProcess(kFatalExitStatus);
}

template <class Function>
void startDetached(std::string_view which, Function&& function) {
  try {
    std::thread(std::forward<Function>(function)).detach();
  } catch (const std::system_error&) {
    failToStartThread(which);
  }
}

// What the driver is handed: a line, shared with the input thread, which may prepare it; the end
// of input; or a read failure.
struct InputItem {
  InputMessage::Kind kind = InputMessage::Kind::EndOfInput;
  std::shared_ptr<PreparableLine> line;  // set exactly when kind is Line
};

InputItem toItem(InputMessage message) {
  InputItem item{message.kind, nullptr};
  if (message.kind == InputMessage::Kind::Line) {
    item.line = std::make_shared<PreparableLine>(std::move(message.line));
  }
  return item;
}

// Lines the input thread has sent and may still prepare, newest at the back, and the processor
// the driver was on when the session started.
struct SentLines {
  std::deque<std::weak_ptr<PreparableLine>> lines;
  int driverProcessor = -1;
};

// Prepares the newest sent line that no one has claimed yet; false when there is none.
//
// While it prepares, the thread keeps off the driver's processor: left to itself, the system
// often has the two take turns at one processor while the other stands idle. At any other time
// it may run anywhere, so that a line that comes while the engine runs (a "cancel") is read at
// once on whichever processor is free.
bool prepareNewest(SentLines& sent) {
  while (!sent.lines.empty()) {
    std::shared_ptr<PreparableLine> line = sent.lines.back().lock();
    sent.lines.pop_back();
    if (line && line->claim()) {
      platform::keepThisThreadOff(sent.driverProcessor);
      line->prepare();
      platform::letThisThreadRunAnywhere();
      return true;
    }
  }
  return false;
}

// Sends `item`, preparing sent lines while the channel is full; false when no one listens.
bool sendPreparing(Sender<InputItem>& input, InputItem& item, SentLines& sent) {
  for (;;) {
    switch (input.trySend(item)) {
      case SendStatus::Sent:
        return true;
      case SendStatus::Gone:
        return false;
      case SendStatus::Full:
        break;
    }
    if (!prepareNewest(sent)) return input.send(std::move(item));
  }
}

// Sent by no one: the driver's end goes away when the session is over.
struct SessionOver {};

// The reader, handed from the driver to the input thread.
struct ReaderHandover {
  std::unique_ptr<LineReader> reader;
};

// Input thread: lines until the end of input or a read failure, or until no one listens.
// It owns its own descriptor, so the caller's descriptor may be closed while it still reads.
//
// The driver reads the first lines itself, until this thread is seen running, and then hands
// it the reader: a new thread can take milliseconds to be given a processor, and the session's
// start does not wait for that. Without a handover (the session ended first) nothing is read.
//
// Reading a large entries frame into records costs far more than cutting it from the input, so
// the two threads share it (see PreparableLine): this thread reads ahead as far as the channel
// allows and, while the channel is full and after the last line, prepares the newest lines
// first; the driver prepares what it reaches unclaimed. Neither waits for the other while there
// is work, and a thread kept from a processor leaves its share to the other. Preparing depends
// on the line alone, so the frames are still judged one by one, in order, by the driver.
//
// Having sent its last line, the thread stays until the session is over, doing nothing: while
// it lives, the heap arena it allocates from stays its own (see platform::prepareSessionHeap), and
// threads started later share the main heap.
void readInput(int fd, int driverProcessor, std::atomic<bool>& running,
               Receiver<ReaderHandover> handover, Sender<InputItem> input,
               Receiver<SessionOver> sessionOver) {
  running.store(true);
  {
    Received<ReaderHandover> taken = handover.recv();
    if (taken.status == ChannelStatus::Value) {
      LineReader& reader = *taken.value->reader;
      SentLines sent{{}, driverProcessor};
      for (;;) {
        InputItem item = toItem(reader.next());
        const bool last = item.kind != InputMessage::Kind::Line;
        std::weak_ptr<PreparableLine> line = item.line;
        if (!sendPreparing(input, item, sent)) break;
        if (last) {
          while (prepareNewest(sent)) {
          }
          break;
        }
        sent.lines.push_back(std::move(line));
        if (sent.lines.size() > kInputQueueCapacity)
          sent.lines.pop_front();  // judged, or soon to be
      }
    }
  }
  platform::closeStream(fd);
  input.close();
  sessionOver.recv();
}

// What the engine thread hands back: the code of a failed run, or the result, which the driver
// holds to the result contract before any page of it is written.
struct EngineOutcome {
  std::optional<SessionCode> failure;
  std::shared_ptr<const SessionResult> result;
};
// Whether the engine thread has begun making pages, and whether the session is over. Each
// thread sets its own mark before reading the other's, so whichever moves first, either the
// engine thread sees the session over and begins no page, or the driver sees pages begun and
// waits for them to stop: the digest library is never in use while the process ends.
struct PagingMarks {
  std::atomic<bool> begun{false};
  std::atomic<bool> sessionOver{false};
};
// Sent by no one: the driver lets its end go once it no longer reads the result.
struct ResultReleased {};

// Pages are made this many at a time on the engine thread, and at most this many batches wait
// for the driver to write them; written batches go back to be filled again. The pages made while
// the driver checks the result wait too, so the queue holds about as many as that check lasts.
constexpr size_t kPagesPerBatch = 256;
constexpr size_t kPageBatchesAhead = 16;
constexpr size_t kPageBatchesInAll = kPageBatchesAhead + 2;  // plus one filling, one writing

// The engine thread's ends of what it hands the driver once the run is over.
struct DeliveryMaker {
  std::string nonce;
  std::shared_ptr<PagingMarks> marks;
  Sender<PageBatch> pages;
  Receiver<PageBatch> spentPages;
  Sender<CommitmentOutcome> commitment;
  Receiver<ResultReleased> released;
};

// The driver's ends of the same.
struct DeliveryTaker {
  std::shared_ptr<PagingMarks> marks;
  Receiver<PageBatch> pages;
  Sender<PageBatch> spentPages;
  Receiver<CommitmentOutcome> commitment;
  Sender<ResultReleased> released;

  // The session is over: pages not yet begun never will be, and pages being made stop at their
  // next batch, which this waits for.
  void endPaging() {
    marks->sessionOver.store(true);
    if (!marks->begun.load()) return;
    pages.close();
    (void)commitment.recv();
  }
};

struct EngineJob {
  std::vector<Entry> entries;
  RunManifest manifest;
  std::shared_ptr<std::atomic<bool>> cancel;
  Sender<EngineOutcome> outcome;
  // Ends the driver's wait for input once the outcome is sent or can no longer come: with the
  // host's end of the input open, the driver would otherwise see it only at its next turn.
  Nudger<InputItem> driverWake;
  DeliveryMaker delivery;
};

PageBatch emptyBatch(Receiver<PageBatch>& spent) {
  Received<PageBatch> reused = spent.tryRecv();
  if (reused.status != ChannelStatus::Value) return PageBatch{};
  reused.value->clear();
  return std::move(*reused.value);
}

// Every page of the result, in order, in batches, and the result's commitment, hashed from the
// pages' items as they are made; the pages end early, with no commitment, only with a refused
// page or when the driver stops taking them.
std::optional<CommitmentOutcome> makePages(DeliveryMaker& delivery, const SessionResult& result) {
  return std::visit(
      [&delivery](const auto& items) -> std::optional<CommitmentOutcome> {
        const std::optional<uint64_t> pageCount = resultPageCount(items);
        if (!pageCount) return std::nullopt;  // the driver refuses such a result before any page
        PageBatch batch = emptyBatch(delivery.spentPages);
        // Hands the batch over when it is full or no page follows it.
        return makeResultPages(items, delivery.nonce, *pageCount, batch,
                               [&delivery](PageBatch& filled, bool last) {
                                 if (!last && filled.pageCount() < kPagesPerBatch) return true;
                                 if (!delivery.pages.send(std::move(filled))) return false;
                                 if (!last) filled = emptyBatch(delivery.spentPages);
                                 return true;
                               });
      },
      result);
}

// Engine thread: exactly one outcome, or none at all when the run ends by an exception; the
// producer end then goes away unused and the driver reports the engine as disconnected.
//
// The result is then made into pages here at once, while the driver is woken, holds the result
// to its contract (where that is not known to hold) and then writes them: the driver's own turn
// is then little more than one write() a page, and a result that fails its contract, or is not
// delivered, has nothing written. The commitment is hashed from the pages as they are made.
void runEngineJob(const SessionEngine& engine, EngineJob job) {
  std::shared_ptr<const SessionResult> result;
  bool delivered = false;
  try {
    auto run = engine(job.entries, job.manifest, *job.cancel);
    if (run) {
      result = std::make_shared<const SessionResult>(std::move(run).value());
      delivered = job.outcome.send(EngineOutcome{std::nullopt, result});
    } else {
      // Whatever made the run fail, cancellation included, the session sees one code.
      job.outcome.send(EngineOutcome{SessionCode::EngineFailed, nullptr});
    }
  } catch (...) {
    job.outcome.close();
  }
  job.driverWake.nudge();
  if (!delivered) return;
  DeliveryMaker& delivery = job.delivery;
  // Once the session is over the process may be ending: nothing more is done, above all nothing
  // with the digest library.
  delivery.marks->begun.store(true);
  if (delivery.marks->sessionOver.load()) {
    delivery.commitment.close();  // the driver waits for this, not for the result to be freed
    return;
  }
  std::optional<CommitmentOutcome> commitment;
  try {
    commitment = makePages(delivery, *result);
  } catch (...) {
    // The pages end early: the driver counts them short and delivers no "completed".
  }
  delivery.pages.close();
  // The digest library keeps state for each thread that used it and frees it only as the thread
  // ends, which for this thread may be while the process ends, racing with the library's own
  // clean-up at exit. So it is freed now, before the driver, which waits for the commitment (or
  // for its end of the channel to close), can end the session.
  releaseSha256ThreadState();
  if (commitment) delivery.commitment.send(std::move(*commitment));
  delivery.commitment.close();
  // Taking apart a large result costs milliseconds. Once the driver has let go of it, after
  // the session's last message, this thread does that (and frees the entries) while the process
  // ends, instead of the driver doing it before the session can end. The thread first steps
  // down to the idle class, so that being woken for it never takes the processor from the
  // driver on its way out.
  platform::lowerThisThreadPriority();
  delivery.released.recv();
}

struct EngineHandle {
  Receiver<EngineOutcome> outcome;
  DeliveryTaker delivery;
  std::shared_ptr<std::atomic<bool>> cancel;
  bool cancelRequested = false;
};

// One turn's input: a message, nothing this turn, or the session is incomplete.
struct Polled {
  std::optional<InputItem> message;
  bool incomplete = false;
};

// The driver's ends of the input thread.
struct SessionInput {
  Receiver<InputItem> items;
  Sender<ReaderHandover> handover;
  std::shared_ptr<const std::atomic<bool>> running;
};

class SessionDriver {
 public:
  SessionDriver(int outFd, int inputFd, SessionInput input, SessionEngine engine,
                ResultContractChecks resultChecks)
      : outFd_(outFd),
        input_(std::move(input)),
        ownReader_(std::make_unique<LineReader>(inputFd)),
        engine_(std::move(engine)),
        resultChecks_(resultChecks) {}

  SessionDriver(const SessionDriver&) = delete;
  SessionDriver& operator=(const SessionDriver&) = delete;
  ~SessionDriver() {
    if (engineHandle_) engineHandle_->delivery.endPaging();
  }

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
      if (ownReader_ && !input_.running->load()) {
        return {toItem(ownReader_->next()), false};
      }
      handOverReader();
      Received<InputItem> received = input_.items.recv();
      if (received.status != ChannelStatus::Value) return {std::nullopt, true};
      return {std::move(received.value), false};
    }
    if (inputClosed_) {
      // Nothing more can come in: the turn waits for the outcome instead, so that it is seen as
      // soon as it is sent rather than at the end of a fixed sleep.
      engineHandle_->outcome.waitFor(kEnginePollInterval);
      return {};
    }
    Received<InputItem> received = input_.items.recvFor(kOutcomePollInterval);
    if (received.status == ChannelStatus::Closed) inputClosed_ = true;
    return {std::move(received.value), false};
  }

  Ending handleInput(InputItem item) {
    switch (item.kind) {
      case InputMessage::Kind::EndOfInput:
        inputClosed_ = true;
        return std::nullopt;
      case InputMessage::Kind::ReadFailure:
        return fail(SessionCode::ReadFailed);
      case InputMessage::Kind::Line:
        break;
    }
    PreparableLine& line = *item.line;
    auto decoded = line.claim() ? decodeFrame(state_, line.text())
                                : decodeFrame(state_, line.text(), line.takePrepared());
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

  // From now on the input thread reads, whether or not it is running yet.
  void handOverReader() {
    if (!ownReader_) return;
    input_.handover.send(ReaderHandover{std::move(ownReader_)});
    input_.handover.close();
  }

  Ending startEngine() {
    if (!state_.manifest) return fail(SessionCode::InvalidOrder);
    // Lines that come during the run are read by the input thread while this one waits.
    handOverReader();
    auto [sender, receiver] = makeChannel<EngineOutcome>(kResultQueueCapacity);
    auto [pagesSender, pagesReceiver] = makeChannel<PageBatch>(kPageBatchesAhead);
    auto [spentSender, spentReceiver] = makeChannel<PageBatch>(kPageBatchesInAll);
    auto marks = std::make_shared<PagingMarks>();
    auto [commitmentSender, commitmentReceiver] = makeChannel<CommitmentOutcome>(1);
    auto [releasedSender, releasedReceiver] = makeChannel<ResultReleased>(1);
    auto cancel = std::make_shared<std::atomic<bool>>(false);
    // The held entries move to the engine rather than being copied: once "execute" is
    // accepted, no frame can read or change them again (every later "start", "entries" and
    // "execute" is refused before they are looked at), so the session state is left as
    // untouched as a copy would leave it, without holding every entry twice.
    EngineJob job{std::move(state_.heldEntries),
                  *state_.manifest,
                  cancel,
                  std::move(sender),
                  input_.items.nudger(),
                  DeliveryMaker{state_.nonce.value_or(""), marks, std::move(pagesSender),
                                std::move(spentReceiver), std::move(commitmentSender),
                                std::move(releasedReceiver)}};
    startDetached("engine", [engine = engine_, job = std::move(job)]() mutable {
      runEngineJob(engine, std::move(job));
    });
    engineHandle_ = EngineHandle{
        std::move(receiver),
        DeliveryTaker{std::move(marks), std::move(pagesReceiver), std::move(spentSender),
                      std::move(commitmentReceiver), std::move(releasedSender)},
        std::move(cancel), false};
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
    EngineOutcome& outcome = *received.value;
    if (outcome.failure) return writeFailure(*outcome.failure);
    return deliver(std::move(outcome.result));
  }

  Status<SessionCode> writeFailure(SessionCode code) {
    return writeResponse(outFd_, failureObject(state_.nonce, code));
  }

  // The engine thread makes the pages, straight from the result, one item a page; this turn
  // writes them as they come. Pages that could not all be made leave the result undelivered.
  Status<SessionCode> writePages(uint64_t pageCount) {
    DeliveryTaker& delivery = engineHandle_->delivery;
    uint64_t pagesWritten = 0;
    for (;;) {
      Received<PageBatch> batch = delivery.pages.recv();
      if (batch.status != ChannelStatus::Value) break;
      if (auto written = writePageBatch(outFd_, *batch.value); !written) return written;
      pagesWritten += batch.value->pageCount();
      delivery.spentPages.send(std::move(*batch.value));
    }
    if (pagesWritten != pageCount) return fail(SessionCode::InvalidResult);
    return {};
  }

  // A result is refused, in this order, when it fails the result contract, when no "start" gave
  // a nonce, and when its page count does not fit.
  Status<SessionCode> deliver(std::shared_ptr<const SessionResult> shared) {
    const SessionResult& result = *shared;
    const std::optional<uint64_t> pageCount =
        std::visit([](const auto& items) { return resultPageCount(items); }, result);
    const bool deliverable = state_.nonce.has_value() && pageCount.has_value();

    // The engine thread makes the pages and hashes the commitment from them while this thread
    // holds the result to its contract; no page is written before the result passes. A result
    // that is not delivered has its pages stopped as the session ends (see ~SessionDriver).
    DeliveryTaker& delivery = engineHandle_->delivery;
    const auto* records = std::get_if<ReconciliationResult>(&result);
    const bool passes = resultChecks_ == ResultContractChecks::AlreadyPassed ||
                        records == nullptr || checkResultRecord(*records).ok();
    if (!passes || !deliverable) {
      if (!passes) return fail(SessionCode::InvalidResult);
      if (!state_.nonce) return fail(SessionCode::InvalidOrder);
      return fail(SessionCode::ResponseLimit);
    }
    const Status<SessionCode> pages = writePages(*pageCount);
    delivery.pages.close();
    Received<CommitmentOutcome> commitment = delivery.commitment.recv();
    if (!pages) return pages;
    // A digest routine that failed leaves the result undelivered: never "completed".
    if (commitment.status != ChannelStatus::Value || !commitment.value->ok()) {
      return fail(SessionCode::InvalidResult);
    }
    Json completed = std::visit(
        [&](const auto& items) {
          return completedMessage(*state_.nonce, *pageCount, commitment.value->value(),
                                  resultRevision(items), resultRunId(items));
        },
        result);
    auto written = writeResponse(outFd_, completed);
    // Only now, with the session's last message out: taking the result and entries apart holds
    // the heap's lock for long stretches, which would hold up writing the message.
    shared.reset();
    delivery.released.close();
    return written;
  }

  const int outFd_;
  SessionInput input_;
  std::unique_ptr<LineReader> ownReader_;  // until handed over to the input thread
  SessionEngine engine_;
  const ResultContractChecks resultChecks_;
  SessionState state_;
  std::optional<EngineHandle> engineHandle_;
  bool inputClosed_ = false;
};

}  // namespace

Status<SessionCode> runSession(int inFd, int outFd) {
  platform::prepareSessionHeap();
  platform::widenPipe(outFd, kOutputPipeBytes);
  return runSession(
      inFd, outFd,
      [](const std::vector<Entry>& entries, const RunManifest& manifest,
         const std::atomic<bool>& cancel) {
        // Every held entry passed the entry contract when its frame was
        // accepted, so the engine's own pass over it could only agree. The input
        // is read by now, so the run may have the second core.
        const ThreadPairRunner runner;
        auto run = runEnginePositional(entries, manifest, cancel, kSessionEngineLimits,
                                       EntryContractChecks::AlreadyPassed, nullptr, &runner);
        if (!run) return Result<SessionResult, EngineError>(fail(run.error()));
        return Result<SessionResult, EngineError>(std::move(run).value());
      },
      // A result the engine returns passes the result contract: it checks what its
      // construction does not guarantee (see engine/assembly.cc), so holding the
      // result to the contract again could only agree.
      ResultContractChecks::AlreadyPassed);
}

Status<SessionCode> runSession(int inFd, int outFd, SessionEngine engine,
                               ResultContractChecks resultChecks) {
  // The input thread reads its own copy of the descriptor and closes it when it ends. The copy
  // stays clear of the standard stream numbers, so that with standard output closed no message
  // could be written into the input in its place.
  const int inputFd = platform::duplicateStream(inFd);
  if (inputFd < 0) return fail(SessionCode::ReadFailed);
  auto [sender, receiver] = makeChannel<InputItem>(kInputQueueCapacity);
  auto [handoverSender, handoverReceiver] = makeChannel<ReaderHandover>(1);
  auto [sessionOverSender, sessionOverReceiver] = makeChannel<SessionOver>(1);
  auto running = std::make_shared<std::atomic<bool>>(false);
  const int driverProcessor = platform::currentProcessor();
  startDetached(
      "input", [inputFd, driverProcessor, running, handover = std::move(handoverReceiver),
                input = std::move(sender), sessionOver = std::move(sessionOverReceiver)]() mutable {
        readInput(inputFd, driverProcessor, *running, std::move(handover), std::move(input),
                  std::move(sessionOver));
      });
  SessionDriver driver(outFd, inputFd,
                       SessionInput{std::move(receiver), std::move(handoverSender), running},
                       std::move(engine), resultChecks);
  return driver.run();  // the driver goes first, then the end that lets the input thread go
}

}  // namespace tw
