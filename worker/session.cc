#include "worker/session.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
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
#include "worker/session_protocol.h"

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

// ---- How the session's threads meet ----
//
// Everything the session decides is SessionProtocol's; the threads only carry its inputs and
// outputs. What they rely on, in one place:
//
// 1. Three threads: the driver (the caller's), the input thread, the engine thread (started
//    once "executing" is written). Neither of the last two is joined; each ends on its own, or
//    with the process when the host never closes the input or the run is made pointless.
// 2. Only the driver calls the protocol machine and writes the output. The machine's state
//    (held entries, nonce, manifest, counters) is touched by no other thread; the held entries
//    move to the engine thread with the run, after which no frame reads them.
// 3. Lines reach the driver in input order through the input channel (capacity 8). Either
//    thread may prepare a line ahead of its judgement (PreparableLine: claimed once, under its
//    own lock); preparing reads the line alone, so judging stays the driver's, in order.
// 4. The line reader is the driver's until it puts it in InputSide (once the input thread is
//    seen running, at the latest at "execute"); from then on only the input thread reads.
// 5. Input first: the input thread marks itself idle, under InputSide's lock, only when it has
//    sent every whole line it has read and is about to wait for more bytes, and clears the mark
//    under the same lock before it reads again. So when the driver, holding that lock, sees the
//    mark while the stream holds no unread byte, every line the host had written completely is
//    in the channel. The driver asks this when it first sees the run's outcome in a turn that
//    took no input, and judges the first such line before the outcome (one line a turn, input
//    before outcome). Where the stream cannot say what waits in it (a console; under Wine, a
//    pipe made by a Linux process), the input thread counts as idle from the moment it has sent
//    every whole line it has read until its next read returns, so the driver waits only for the
//    lines already read. It never waits longer than kInputSettleLimit: an input side that does
//    not settle (a stream whose waiting bytes are misreported) delays the outcome, it never
//    withholds it.
// 6. The cancel flag is the only datum the driver and the engine share while the run goes on:
//    set by the driver, read by the engine, atomically.
// 7. The engine thread sends exactly one outcome, or closes the outcome channel unsent when the
//    run ends by an exception. After a delivered result it makes the pages. The Delivery record
//    (one lock) holds whether paging began and ended and whether the session is over: the
//    engine thread begins no paging once the session is over, and the driver, before it
//    returns, waits for paging that began to end, so the digest library is never in use while
//    the process ends.
// 8. The engine thread frees the result (and the entries it reads) only once the driver has let
//    go of it, after the session's last message, at idle priority; the input thread stays,
//    idle, until the session is over, so that its heap arena stays its own and threads started
//    later share the main one (platform::prepareSessionHeap). When the process ends with the
//    session (SessionEnd::WithTheProcess), neither is woken at the end: both end with the
//    process, and the result is never taken apart.
// 9. While the run goes on the driver never waits longer than kEnginePollInterval for input
//    (kOutcomePollInterval while the input is open), and the engine thread nudges its wait as
//    the outcome is sent.

// Test hook: how long the input thread waits before it sends each line it has read.
std::atomic<int64_t> inputLineDelayMs{0};

// The input thread's side of the input, shared with the driver (invariants 4, 5 and 8).
class InputSide final : public ReadGate {
 public:
  InputSide(int fd, Nudger<InputItem> wakeDriver) : fd_(fd), wakeDriver_(std::move(wakeDriver)) {}

  // Input thread: before each read of the stream (every whole line read so far is sent).
  void beforeRead() override {
    const std::optional<size_t> waiting = platform::bytesWaiting(fd_);
    if (waiting && *waiting > 0) return;  // the read will not wait
    {
      std::lock_guard lock(mutex_);
      idle_ = true;
      unknowable_ = !waiting;
      if (driverWaits_) wakeDriver_.nudge();
    }
    // A stream that cannot say what waits in it stays idle through the read that follows;
    // afterRead ends the mark.
    if (!waiting) return;
    platform::waitUntilReadable(fd_);
    std::lock_guard lock(mutex_);
    idle_ = false;
  }
  // Input thread: after each read.
  void afterRead() override {
    std::lock_guard lock(mutex_);
    idle_ = false;
  }

  // Driver: whether every line the host had written completely by now is in the channel, as far
  // as the stream can tell.
  bool settled() {
    std::lock_guard lock(mutex_);
    if (inputDone_) return true;
    if (idle_) {
      if (unknowable_) return true;  // every line read is sent, and the read waits for more
      const std::optional<size_t> waiting = platform::bytesWaiting(fd_);
      if (!waiting || *waiting == 0) return true;
    }
    driverWaits_ = true;  // the input thread nudges the driver as it next runs dry
    return false;
  }

  // Driver: hands the reader to the input thread.
  void depositReader(std::unique_ptr<LineReader> reader) {
    {
      std::lock_guard lock(mutex_);
      reader_ = std::move(reader);
      deposited_ = true;
    }
    changed_.notify_all();
  }
  // Input thread: the reader, once deposited; nothing when the session ended first.
  std::unique_ptr<LineReader> awaitReader() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return deposited_ || sessionOver_; });
    return std::move(reader_);
  }

  // Input thread: nothing more is read; the stream is closed.
  void finishInput() {
    std::lock_guard lock(mutex_);
    inputDone_ = true;
    platform::closeStream(fd_);
  }
  // Input thread: waits until the session is over.
  void awaitSessionOver() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return sessionOver_; });
  }
  // Driver: the session is over.
  void endSession() {
    {
      std::lock_guard lock(mutex_);
      sessionOver_ = true;
    }
    changed_.notify_all();
  }

  [[nodiscard]] bool inputThreadRunning() const { return running_.load(); }
  void markInputThreadRunning() { running_.store(true); }

 private:
  const int fd_;
  const Nudger<InputItem> wakeDriver_;
  std::atomic<bool> running_{false};
  std::mutex mutex_;
  std::condition_variable changed_;
  std::unique_ptr<LineReader> reader_;
  bool deposited_ = false;
  bool idle_ = false;
  bool unknowable_ = false;
  bool inputDone_ = false;
  bool driverWaits_ = false;
  bool sessionOver_ = false;
};

// Input thread: lines until the end of input or a read failure, or until no one listens.
// It owns its own descriptor, so the caller's descriptor may be closed while it still reads.
//
// Reading a large entries frame into records costs far more than cutting it from the input, so
// the two threads share it (see PreparableLine): this thread reads ahead as far as the channel
// allows and, while the channel is full and after the last line, prepares the newest lines
// first; the driver prepares what it reaches unclaimed.
void readInput(InputSide& side, int driverProcessor, Sender<InputItem> input) {
  side.markInputThreadRunning();
  const std::chrono::milliseconds delay(inputLineDelayMs.load());
  if (std::unique_ptr<LineReader> reader = side.awaitReader()) {
    SentLines sent{{}, driverProcessor};
    for (;;) {
      InputItem item = toItem(reader->next());
      const bool last = item.kind != InputMessage::Kind::Line;
      if (!last && delay.count() > 0) std::this_thread::sleep_for(delay);
      std::weak_ptr<PreparableLine> line = item.line;
      if (!sendPreparing(input, item, sent)) break;
      if (last) {
        while (prepareNewest(sent)) {
        }
        break;
      }
      sent.lines.push_back(std::move(line));
      if (sent.lines.size() > kInputQueueCapacity) sent.lines.pop_front();  // judged, or soon
    }
  }
  side.finishInput();
  input.close();
  side.awaitSessionOver();
}

// What the engine thread hands back: the code of a failed run, or the result.
struct EngineOutcome {
  bool failed = false;
  std::shared_ptr<const SessionResult> result;
};

// Pages are made this many at a time on the engine thread, and at most this many batches wait
// for the driver to write them; written batches go back to be filled again. The pages made while
// the driver checks the result wait too, so the queue holds about as many as that check lasts.
constexpr size_t kPagesPerBatch = 256;
constexpr size_t kPageBatchesAhead = 16;
constexpr size_t kPageBatchesInAll = kPageBatchesAhead + 2;  // plus one filling, one writing

// The engine thread's paging and the session's end, under one lock (invariants 7 and 8).
class Delivery {
 public:
  explicit Delivery(SessionEnd end) : end_(end) {}

  // Engine thread: false when the session is over, and no page may be made any more.
  bool beginPaging() {
    std::lock_guard lock(mutex_);
    if (sessionOver_) return false;
    pagingBegun_ = true;
    return true;
  }
  // Engine thread: the pages are made (or stopped), with the commitment when all were made.
  void endPaging(std::optional<CommitmentOutcome> commitment) {
    {
      std::lock_guard lock(mutex_);
      commitment_ = std::move(commitment);
      pagingEnded_ = true;
    }
    changed_.notify_all();
  }
  // Driver: waits for the paging to end; the commitment, when the pages were all made.
  std::optional<CommitmentOutcome> awaitCommitment() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return pagingEnded_; });
    return std::move(commitment_);
  }
  // Driver: it no longer reads the result. Nothing when the process ends with the session.
  void releaseResult() {
    if (end_ == SessionEnd::WithTheProcess) return;
    {
      std::lock_guard lock(mutex_);
      resultReleased_ = true;
    }
    changed_.notify_all();
  }
  // Engine thread: waits until the driver no longer reads the result (when the process ends
  // with the session, until the process ends).
  void awaitResultReleased() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] {
      return resultReleased_ || (sessionOver_ && end_ == SessionEnd::WakeThreads);
    });
  }
  // Driver: the session is over; true when paging began, so that it is to be awaited. Only
  // awaitResultReleased waits for the session's end, so nothing is woken when the process ends
  // with the session.
  bool endSession() {
    {
      std::lock_guard lock(mutex_);
      sessionOver_ = true;
    }
    if (end_ == SessionEnd::WakeThreads) changed_.notify_all();
    std::lock_guard lock(mutex_);
    return pagingBegun_;
  }

 private:
  const SessionEnd end_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool sessionOver_ = false;
  bool pagingBegun_ = false;
  bool pagingEnded_ = false;
  bool resultReleased_ = false;
  std::optional<CommitmentOutcome> commitment_;
};

struct EngineJob {
  std::vector<Entry> entries;
  RunManifest manifest;
  std::shared_ptr<std::atomic<bool>> cancel;
  Sender<EngineOutcome> outcome;
  // Ends the driver's wait for input once the outcome is sent or can no longer come: with the
  // host's end of the input open, the driver would otherwise see it only at its next turn.
  Nudger<InputItem> driverWake;
  std::string nonce;
  std::shared_ptr<Delivery> delivery;
  Sender<PageBatch> pages;
  Receiver<PageBatch> spentPages;
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
std::optional<CommitmentOutcome> makePages(EngineJob& job, const SessionResult& result) {
  return std::visit(
      [&job](const auto& items) -> std::optional<CommitmentOutcome> {
        const std::optional<uint64_t> pageCount = resultPageCount(items);
        if (!pageCount) return std::nullopt;  // the driver refuses such a result before any page
        PageBatch batch = emptyBatch(job.spentPages);
        // Hands the batch over when it is full or no page follows it.
        return makeResultPages(items, job.nonce, *pageCount, batch,
                               [&job](PageBatch& filled, bool last) {
                                 if (!last && filled.pageCount() < kPagesPerBatch) return true;
                                 if (!job.pages.send(std::move(filled))) return false;
                                 if (!last) filled = emptyBatch(job.spentPages);
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
      delivered = job.outcome.send(EngineOutcome{false, result});
    } else {
      // Whatever made the run fail, cancellation included, the session sees one code.
      job.outcome.send(EngineOutcome{true, nullptr});
    }
  } catch (...) {
    job.outcome.close();
  }
  job.driverWake.nudge();
  if (!delivered) return;
  // Once the session is over the process may be ending: nothing more is done, above all nothing
  // with the digest library.
  Delivery& delivery = *job.delivery;
  if (!delivery.beginPaging()) return;
  std::optional<CommitmentOutcome> commitment;
  try {
    commitment = makePages(job, *result);
  } catch (...) {
    // The pages end early: the driver counts them short and delivers no "completed".
  }
  job.pages.close();
  // The digest library keeps state for each thread that used it and frees it only as the thread
  // ends, which for this thread may be while the process ends, racing with the library's own
  // clean-up at exit. So it is freed now, before the driver, which waits for the paging to end,
  // can end the session.
  releaseSha256ThreadState();
  delivery.endPaging(std::move(commitment));
  // Taking apart a large result costs milliseconds. Once the driver has let go of it, after
  // the session's last message, this thread does that (and frees the entries) while the process
  // ends, instead of the driver doing it before the session can end. The thread first steps
  // down to the idle class, so that being woken for it seldom takes the processor from the
  // driver on its way out; when the process ends with the session it is not woken at all.
  platform::lowerThisThreadPriority();
  delivery.awaitResultReleased();
}

struct EngineHandle {
  Receiver<EngineOutcome> outcome;
  std::shared_ptr<Delivery> delivery;
  Receiver<PageBatch> pages;
  Sender<PageBatch> spentPages;
  std::shared_ptr<std::atomic<bool>> cancel;
};

using Ending = std::optional<Status<SessionCode>>;

class SessionDriver {
 public:
  SessionDriver(int outFd, int inputFd, std::shared_ptr<InputSide> side, Receiver<InputItem> items,
                SessionEngine engine, ResultContractChecks resultChecks, SessionEnd end)
      : outFd_(outFd),
        side_(std::move(side)),
        items_(std::move(items)),
        ownReader_(std::make_unique<LineReader>(inputFd, side_.get())),
        engine_(std::move(engine)),
        resultChecks_(resultChecks),
        end_(end) {}

  SessionDriver(const SessionDriver&) = delete;
  SessionDriver& operator=(const SessionDriver&) = delete;
  ~SessionDriver() {
    // Pages not yet begun never will be; pages being made stop at their next batch, which is
    // awaited (invariant 7).
    if (engineHandle_ && engineHandle_->delivery->endSession()) {
      engineHandle_->pages.close();
      (void)engineHandle_->delivery->awaitCommitment();
    }
    if (end_ == SessionEnd::WakeThreads) side_->endSession();
  }

  Status<SessionCode> run() {
    for (;;) {
      std::optional<InputItem> item = pollInput();
      const bool tookInput = item.has_value();
      const bool wasRunning = protocol_.running();
      if (item) {
        if (Ending ended = perform(onInput(std::move(*item)))) return *ended;
      }
      // The turn that starts the run leaves its outcome to the next: lines written with
      // "execute" were there before any outcome.
      if (!wasRunning || !protocol_.running()) continue;
      Received<EngineOutcome> outcome = engineHandle_->outcome.tryRecv();
      if (outcome.status == ChannelStatus::Empty) continue;
      // A line the host had written completely by now is judged before the outcome, as the
      // turn that took no input would have judged it, had it been read (invariant 5).
      if (!tookInput && !protocol_.inputClosed()) {
        if (std::optional<InputItem> arrived = firstArrivedInput()) {
          if (Ending ended = perform(onInput(std::move(*arrived)))) return *ended;
        }
      }
      return onOutcome(std::move(outcome));
    }
  }

 private:
  // One turn's input, waiting as the protocol's loop says; nothing when none came in time.
  std::optional<InputItem> pollInput() {
    if (!protocol_.running()) {
      if (ownReader_ && !side_->inputThreadRunning()) return toItem(ownReader_->next());
      handOverReader();
      Received<InputItem> received = items_.recv();
      if (received.status != ChannelStatus::Value) return InputItem{};  // the end of input
      return std::move(received.value);
    }
    if (protocol_.inputClosed()) {
      // Nothing more can come in: the turn waits for the outcome instead, so that it is seen as
      // soon as it is sent rather than at the end of a fixed sleep.
      engineHandle_->outcome.waitFor(kEnginePollInterval);
      return std::nullopt;
    }
    Received<InputItem> received = items_.recvFor(kOutcomePollInterval);
    if (received.status == ChannelStatus::Closed) return InputItem{};  // the end of input
    return std::move(received.value);
  }

  // The first input the host had written completely by now, if any (invariant 5).
  std::optional<InputItem> firstArrivedInput() {
    const auto giveUpAt = std::chrono::steady_clock::now() + kInputSettleLimit;
    for (;;) {
      Received<InputItem> received = items_.tryRecv();
      if (received.status == ChannelStatus::Value) return std::move(received.value);
      if (received.status == ChannelStatus::Closed) return std::nullopt;
      if (side_->settled() || std::chrono::steady_clock::now() >= giveUpAt) {
        received = items_.tryRecv();
        if (received.status == ChannelStatus::Value) return std::move(received.value);
        return std::nullopt;
      }
      received = items_.recvFor(kEnginePollInterval);
      if (received.status == ChannelStatus::Value) return std::move(received.value);
    }
  }

  SessionAction onInput(InputItem item) {
    switch (item.kind) {
      case InputMessage::Kind::EndOfInput:
        return protocol_.endOfInput();
      case InputMessage::Kind::ReadFailure:
        return protocol_.readFailure();
      case InputMessage::Kind::Line:
        break;
    }
    PreparableLine& line = *item.line;
    return line.claim() ? protocol_.line(line.text())
                        : protocol_.line(line.text(), line.takePrepared());
  }

  Ending perform(SessionAction action) {
    switch (action.kind) {
      case SessionAction::Kind::Continue:
        return std::nullopt;
      case SessionAction::Kind::Write:
        if (auto written = writeResponse(outFd_, action.message); !written) return written;
        return std::nullopt;
      case SessionAction::Kind::WriteThenRun:
        if (auto written = writeResponse(outFd_, action.message); !written) return written;
        startEngine();
        return std::nullopt;
      case SessionAction::Kind::StopRun:
        engineHandle_->cancel->store(true);
        return std::nullopt;
      case SessionAction::Kind::WriteThenEnd:
        return writeResponse(outFd_, action.message);
      case SessionAction::Kind::End:
        return fail(sessionCodeOf(action.rule));
      case SessionAction::Kind::Deliver:
        break;  // only an outcome asks for it, and onOutcome delivers
    }
    return fail(SessionCode::InvalidOrder);  // unreachable
  }

  // From now on the input thread reads, whether or not it is running yet.
  void handOverReader() {
    if (ownReader_) side_->depositReader(std::move(ownReader_));
  }

  void startEngine() {
    // Lines that come during the run are read by the input thread while this one waits.
    handOverReader();
    auto [sender, receiver] = makeChannel<EngineOutcome>(kResultQueueCapacity);
    auto [pagesSender, pagesReceiver] = makeChannel<PageBatch>(kPageBatchesAhead);
    auto [spentSender, spentReceiver] = makeChannel<PageBatch>(kPageBatchesInAll);
    auto delivery = std::make_shared<Delivery>(end_);
    auto cancel = std::make_shared<std::atomic<bool>>(false);
    EngineJob job{protocol_.takeEntries(),
                  *protocol_.state().manifest,
                  cancel,
                  std::move(sender),
                  items_.nudger(),
                  protocol_.state().nonce.value_or(""),
                  delivery,
                  std::move(pagesSender),
                  std::move(spentReceiver)};
    startDetached("engine", [engine = engine_, job = std::move(job)]() mutable {
      runEngineJob(engine, std::move(job));
    });
    engineHandle_ = EngineHandle{std::move(receiver), std::move(delivery), std::move(pagesReceiver),
                                 std::move(spentSender), std::move(cancel)};
  }

  Status<SessionCode> onOutcome(Received<EngineOutcome> received) {
    if (received.status == ChannelStatus::Closed) {
      return *perform(protocol_.runFailed(RunFailure::Disconnected));
    }
    EngineOutcome& outcome = *received.value;
    if (outcome.failed) return *perform(protocol_.runFailed(RunFailure::Failed));
    const SessionResult& result = *outcome.result;
    const auto* records = std::get_if<ReconciliationResult>(&result);
    const bool passes = resultChecks_ == ResultContractChecks::AlreadyPassed ||
                        records == nullptr || checkResultRecord(*records).ok();
    const std::optional<uint64_t> pageCount =
        std::visit([](const auto& items) { return resultPageCount(items); }, result);
    SessionAction action = protocol_.runResult(passes, pageCount);
    if (action.kind != SessionAction::Kind::Deliver) return *perform(std::move(action));
    return deliver(std::move(outcome.result));
  }

  // The engine thread makes the pages, straight from the result, one item a page; this turn
  // writes them as they come.
  Status<SessionCode> writePages(uint64_t& pagesWritten) {
    for (;;) {
      Received<PageBatch> batch = engineHandle_->pages.recv();
      if (batch.status != ChannelStatus::Value) return {};
      if (auto written = writePageBatch(outFd_, *batch.value); !written) return written;
      pagesWritten += batch.value->pageCount();
      engineHandle_->spentPages.send(std::move(*batch.value));
    }
  }

  Status<SessionCode> deliver(std::shared_ptr<const SessionResult> shared) {
    uint64_t pagesWritten = 0;
    const Status<SessionCode> pages = writePages(pagesWritten);
    engineHandle_->pages.close();
    const std::optional<CommitmentOutcome> commitment = engineHandle_->delivery->awaitCommitment();
    const SessionResult& result = *shared;
    SessionAction action = std::visit(
        [&](const auto& items) {
          return protocol_.pagesWritten(pages, pagesWritten, commitment, resultRevision(items),
                                        resultRunId(items));
        },
        result);
    const Status<SessionCode> ended = *perform(std::move(action));
    // Only now, with the session's last message out: taking the result and entries apart holds
    // the heap's lock for long stretches, which would hold up writing the message.
    shared.reset();
    engineHandle_->delivery->releaseResult();
    return ended;
  }

  const int outFd_;
  std::shared_ptr<InputSide> side_;
  Receiver<InputItem> items_;
  std::unique_ptr<LineReader> ownReader_;  // until handed over to the input thread
  SessionEngine engine_;
  const ResultContractChecks resultChecks_;
  const SessionEnd end_;
  SessionProtocol protocol_;
  std::optional<EngineHandle> engineHandle_;
};

Status<SessionCode> runSessionEnding(int inFd, int outFd, SessionEngine engine,
                                     ResultContractChecks resultChecks, SessionEnd end) {
  // The input thread reads its own copy of the descriptor and closes it when it ends. The copy
  // stays clear of the standard stream numbers, so that with standard output closed no message
  // could be written into the input in its place.
  const int inputFd = platform::duplicateStream(inFd);
  if (inputFd < 0) return fail(SessionCode::ReadFailed);
  auto [sender, receiver] = makeChannel<InputItem>(kInputQueueCapacity);
  auto side = std::make_shared<InputSide>(inputFd, receiver.nudger());
  const int driverProcessor = platform::currentProcessor();
  startDetached("input", [side, driverProcessor, input = std::move(sender)]() mutable {
    readInput(*side, driverProcessor, std::move(input));
  });
  SessionDriver driver(outFd, inputFd, std::move(side), std::move(receiver), std::move(engine),
                       resultChecks, end);
  return driver.run();
}

}  // namespace

Status<SessionCode> runSession(int inFd, int outFd, SessionEnd end) {
  platform::prepareSessionHeap();
  platform::widenPipe(outFd, kOutputPipeBytes);
  return runSessionEnding(
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
      ResultContractChecks::AlreadyPassed, end);
}

Status<SessionCode> runSession(int inFd, int outFd, SessionEngine engine,
                               ResultContractChecks resultChecks) {
  return runSessionEnding(inFd, outFd, std::move(engine), resultChecks, SessionEnd::WakeThreads);
}

void delayInputLinesForTesting(std::chrono::milliseconds delay) {
  inputLineDelayMs.store(delay.count());
}

}  // namespace tw
