// tallywarden run PLAN_DIR [-j N] [--worker PATH] [--shard K/N] [--fences DIR]: runs a plan's
// sessions, N workers at a time, and keeps each verified output in the plan folder.
//
// Every run goes through the same steps on a thread of its own, once the coordinator has taken
// the run's lock: a verified output that answers the current session file is kept (resume);
// otherwise the worker is started on the run's fence, the session is written to it from one
// thread while its output is read on another, the output is verified as `report` verifies it,
// and output and record are written atomically (the record last). A run that does not complete
// carries `check`'s explanation of its session. An interrupt ends every worker this runner
// started, by its process, and nothing of theirs is kept.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <thread>

#include "contracts/json_reader.h"
#include "contracts/json_writer.h"
#include "contracts/sha256.h"
#include "tallywarden/commands.h"
#include "tallywarden/input_file.h"
#include "tallywarden/plan_folder.h"
#include "tallywarden/replay.h"
#include "tallywarden/report_output.h"
#include "worker/fd_io.h"
#include "worker/frames.h"
#include "worker/platform.h"

namespace tw::tool {

namespace {

namespace platform = tw::platform;
using Clock = std::chrono::steady_clock;

constexpr std::string_view kRunUsage =
    "usage: tallywarden run PLAN_DIR [-j N] [--worker PATH] [--shard K/N] [--fences DIR]";
constexpr std::string_view kWorkerName = "tallywarden-worker";
// A session file is read whole before its worker starts; one beyond twice the session's byte
// limit cannot complete and is not sent.
constexpr size_t kMaxSessionFileBytes = 2 * kMaxSessionBytes;
// How often the coordinator looks at interrupts, finished runs and locks held elsewhere, and a
// run waits for a fence held by another process.
constexpr std::chrono::milliseconds kPollInterval{50};
constexpr int kMostJobs = 1024;
// How wide the runner asks its pipes to a worker to be (the system may allow less).
constexpr size_t kRunPipeBytes = size_t{1} << 20;
constexpr size_t kSparePipePage = size_t{64} << 10;  // the largest page a pipe may be lent
// While a worker runs, how often the runner looks at its output pipe. The worker writes a page a
// write, and a reader woken for each would take a core from the workers: the pages are left in
// the pipe and read when the worker ends (which the runner sees at once), or as soon as a look
// finds the pipe a quarter full, long before the worker must wait for room.
constexpr std::chrono::microseconds kOutputLook{1000};
// Runs whose output is verified while the next workers run: at most this many a worker, which
// bounds the outputs held in memory.
constexpr size_t kMostVerifyingRuns = 2;
// Exit status after an interrupt: 128 and the signal, as a shell reports a process it ended.
constexpr int kInterruptedBase = 128;

struct RunArgs {
  std::string dir;
  unsigned jobs = 0;  // 0: the processors this process may use
  std::string worker;
  std::string fences;
  std::optional<std::pair<uint64_t, uint64_t>> shard;
};

bool parseCount(std::string_view text, uint64_t& value) {
  if (text.empty() || text.size() > 18) return false;
  value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  return true;
}

// "K/N", K below N.
bool parseShard(std::string_view text, std::pair<uint64_t, uint64_t>& shard, std::string& error) {
  const size_t slash = text.find('/');
  if (slash == std::string_view::npos || !parseCount(text.substr(0, slash), shard.first) ||
      !parseCount(text.substr(slash + 1), shard.second) || shard.second == 0) {
    error = "--shard takes K/N, two whole numbers with N above 0, not '" + std::string(text) + "'";
    return false;
  }
  if (shard.first >= shard.second) {
    error = "--shard " + std::string(text) + ": K must be below N (shards are 0 to N-1)";
    return false;
  }
  return true;
}

// The shard a Slurm array task runs: its task id counted from the array's first, of the array's
// task count.
bool shardFromSlurm(std::optional<std::pair<uint64_t, uint64_t>>& shard, std::string& error) {
  const char* id = std::getenv("SLURM_ARRAY_TASK_ID");
  if (id == nullptr || *id == '\0') return true;
  const char* first = std::getenv("SLURM_ARRAY_TASK_MIN");
  const char* count = std::getenv("SLURM_ARRAY_TASK_COUNT");
  uint64_t taskId = 0;
  uint64_t taskMin = 0;
  uint64_t taskCount = 0;
  if (!parseCount(id, taskId) || first == nullptr || !parseCount(first, taskMin) ||
      count == nullptr || !parseCount(count, taskCount) || taskId < taskMin || taskCount == 0) {
    error =
        "SLURM_ARRAY_TASK_ID, SLURM_ARRAY_TASK_MIN and SLURM_ARRAY_TASK_COUNT do not make a "
        "shard; give --shard K/N";
    return false;
  }
  if (taskId - taskMin >= taskCount) {
    error = "the Slurm array task " + std::to_string(taskId) + " is not below its first (" +
            std::to_string(taskMin) + ") plus its task count (" + std::to_string(taskCount) +
            "): give --shard K/N (the array must be 0-(N-1) with no step)";
    return false;
  }
  shard = std::make_pair(taskId - taskMin, taskCount);
  return true;
}

std::optional<RunArgs> parseArgs(std::span<const std::string_view> args, std::string& error) {
  RunArgs parsed;
  bool dirGiven = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    const bool hasValue = i + 1 < args.size();
    if (arg == "-j" || arg == "--jobs") {
      uint64_t jobs = 0;
      if (!hasValue || !parseCount(args[i + 1], jobs) || jobs == 0 || jobs > kMostJobs) {
        error = "-j takes a number of workers from 1 to " + std::to_string(kMostJobs);
        return std::nullopt;
      }
      parsed.jobs = static_cast<unsigned>(jobs);
      ++i;
    } else if (arg == "--worker" || arg == "--fences") {
      if (!hasValue || args[i + 1].empty()) {
        error = std::string(arg) + " takes a path";
        return std::nullopt;
      }
      (arg == "--worker" ? parsed.worker : parsed.fences) = std::string(args[++i]);
    } else if (arg == "--shard") {
      std::pair<uint64_t, uint64_t> shard;
      if (!hasValue || !parseShard(args[++i], shard, error)) {
        if (!hasValue) error = "--shard takes K/N";
        return std::nullopt;
      }
      parsed.shard = shard;
    } else if (arg.size() > 1 && arg[0] == '-') {
      error = "unknown option '" + std::string(arg) + "'";
      return std::nullopt;
    } else if (dirGiven) {
      error = "one PLAN_DIR only";
      return std::nullopt;
    } else {
      parsed.dir = std::string(arg);
      dirGiven = true;
    }
  }
  if (!dirGiven) {
    error = "no PLAN_DIR given";
    return std::nullopt;
  }
  return parsed;
}

std::string sha256Hex(std::string_view bytes) {
  Sha256 hash;
  hash.update(bytes);
  const std::optional<Sha256Digest> digest = hash.finish();
  return digest ? lowerHex(*digest) : std::string();
}

// What became of one run.
enum class RunStatus : uint8_t {
  Completed,  // run now; its output verifies
  Resumed,    // a verified output of its current session file was already there
  Failed,     // run now; it did not complete, or its output does not verify
  NotRun,     // interrupted before it ended, or not started
};

std::string_view statusText(RunStatus status) {
  switch (status) {
    case RunStatus::Completed:
      return "completed";
    case RunStatus::Resumed:
      return "resumed";
    case RunStatus::Failed:
      return "failed";
    case RunStatus::NotRun:
      break;
  }
  return "not-run";
}

// The record of a run's output (outputs/<runId>.json), and the run's line in the summary.
struct RunRecord {
  std::string runId;
  RunStatus status = RunStatus::NotRun;
  std::optional<int> exitStatus;  // none when the worker did not exit by itself
  std::string sessionSha256;
  std::string outcome = "not-run";
  std::optional<std::string> code;
  uint64_t pages = 0;
  double seconds = 0;
  bool verified = false;
  std::string explanation;
  uint64_t entries = 0;  // from the plan, for the progress line
};

Json optionalText(const std::optional<std::string>& text) {
  return text ? Json(*text) : Json(nullptr);
}

Json secondsJson(double seconds) {
  return Json(static_cast<double>(static_cast<int64_t>(seconds * 1000 + 0.5)) / 1000);
}

std::string recordJson(const RunRecord& record) {
  JsonObject object;
  object["runId"] = Json(record.runId);
  object["exitStatus"] = record.exitStatus ? Json(*record.exitStatus) : Json(nullptr);
  object["sessionSha256"] = Json(record.sessionSha256);
  object["outcome"] = Json(record.outcome);
  object["code"] = optionalText(record.code);
  object["pages"] = Json(record.pages);
  object["seconds"] = secondsJson(record.seconds);
  object["verified"] = Json(record.verified);
  object["explanation"] = record.explanation.empty() ? Json(nullptr) : Json(record.explanation);
  return toCompactJson(Json(std::move(object))) + "\n";
}

// The outcome of an output, in one word: "completed", "cancelled" or "failed" (a "failed"
// message), "refused" (status 1 and nothing written), "crashed" (no exit of its own, or a
// status other than 0 and 1), or "not-verified".
std::string outcomeOf(const ReassembledOutput& output, const platform::ProcessEnd& end) {
  if (!end.exited || (end.code != 0 && end.code != 1)) return "crashed";
  if (output.verified() && end.code == 0) return "completed";
  if (output.outcome == OutputOutcome::Failed && end.code == 0) {
    return output.failedCode == "CANCELLED" ? "cancelled" : "failed";
  }
  if (end.code == 1) return "refused";
  return "not-verified";
}

struct Explanation {
  std::string text;
  std::optional<std::string> code;  // the session's code, as check finds it
};

// `check`'s explanation of a session that did not complete, with what was wrong with the output.
Explanation explain(const std::string& sessionPath, const ReassembledOutput& output,
                    const platform::ProcessEnd& end, bool outputEmpty) {
  std::string text;
  if (!end.exited) {
    text = "the worker was ended by signal " + std::to_string(end.signal) + ". ";
  } else if (end.code != 0 && end.code != 1) {
    text = "the worker ended with status " + std::to_string(end.code) + ". ";
  } else if (end.code == 0 && !output.verified() && output.outcome != OutputOutcome::Failed) {
    text = "the output does not verify (line " + std::to_string(output.problemLine) +
           "): " + output.problem + ". ";
  }
  std::string error;
  std::optional<InputFile> input = InputFile::open(sessionPath, error);
  if (!input) return {text + "check cannot read the session: " + error, std::nullopt};
  const Verdict verdict = replayFd(input->fd());
  if (verdict.outcome == Outcome::Completed) {
    text += "check finds that the worker would complete this session";
    if (end.exited && end.code == 1 && outputEmpty) {
      text +=
          "; it ended with status 1 and no output, as it does when its execution fence is "
          "held by another process";
    }
    return {text, std::nullopt};
  }
  std::string why = refusalText(verdict);
  while (!why.empty() && why.back() == '\n') why.pop_back();
  return {text + "check: " + std::string(toText(verdict.outcome)) + ", " + why,
          verdict.code ? std::optional<std::string>(sessionCodeText(*verdict.code)) : std::nullopt};
}

// The pages of the run's output when a record says that it answers the session whose digest is
// `sha` and the output still verifies as that session's; nothing otherwise.
std::optional<uint64_t> answersSession(const PlanFolder& plan, const PlannedRun& run,
                                       const std::string& sha, std::string_view session) {
  bool more = false;
  const std::optional<std::string> recordText =
      readFileBounded(plan.recordPath(run), kMaxSessionBytes, more);
  if (!recordText || more) return std::nullopt;
  const auto record = readJson(*recordText);
  if (!record.ok()) return std::nullopt;
  const Json* verified = record.value().find("verified");
  const Json* recordSha = record.value().find("sessionSha256");
  if (verified == nullptr || !verified->isBool() || !verified->asBool() || recordSha == nullptr ||
      !recordSha->isString() || recordSha->asString() != sha) {
    return std::nullopt;
  }
  const std::optional<std::string> out =
      readFileBounded(plan.outputPath(run), kMaxOutputBytes, more);
  if (!out) return std::nullopt;
  const ReassembledOutput output = verifyWorkerOutput(session, *out, more);
  if (!output.verified()) return std::nullopt;
  return output.pagesRead;
}

// One started worker that the coordinator may have to end.
struct LiveWorker {
  std::mutex mutex;
  std::optional<platform::ProcessHandle> process;  // set while started and not yet released
  std::atomic<bool> endedByUs{false};
  // Set once the run needs its worker no more (it ended, or none was started): the coordinator
  // may start the next one while this run's output is verified and written.
  std::atomic<bool> workerDone{false};
  std::function<void()> onWorkerDone;

  void end() {
    std::lock_guard<std::mutex> hold(mutex);
    if (process) platform::endProcessNow(*process);
    endedByUs = true;
  }
  void done() {
    if (!workerDone.exchange(true) && onWorkerDone) onWorkerDone();
  }
};

// Marks the worker done when it goes, whichever way the run ends.
struct WorkerDoneAtEnd {
  LiveWorker& live;
  ~WorkerDoneAtEnd() { live.done(); }
};

// What a runner ended while writing (the temporary files beside outputs and records) is removed,
// run by run under the run's lock, so that another runner's writing is left alone.
void removeUnfinishedWrites(const PlanFolder& plan) {
  const std::string dir = plan.dir + "/outputs";
  for (const std::string& name : fileNames(dir)) {
    const size_t temporary = name.find(".tmp-");
    const size_t kind = name.rfind('.', temporary == std::string::npos ? 0 : temporary - 1);
    if (temporary == std::string::npos || kind == std::string::npos || kind == 0) continue;
    const PlannedRun run{0, name.substr(0, kind), {}, 0};
    const auto lock = platform::openExclusive(platform::NativeText::fromUtf8(plan.lockPath(run)));
    if (!lock) continue;
    removeFile(dir + "/" + name);
    platform::closeExclusive(*lock);
  }
}

// Session and output buffers kept from run to run: a fresh buffer of a few megabytes a run costs
// the system a zeroed page for every page of it, and its growth a copy of what it held.
class BufferPool {
 public:
  // A buffer with the room an earlier run left in it; its bytes are not kept.
  [[nodiscard]] ReadBuffer take() {
    std::lock_guard<std::mutex> hold(mutex_);
    if (free_.empty()) return {};
    ReadBuffer buffer = std::move(free_.back());
    free_.pop_back();
    return buffer;
  }
  void give(ReadBuffer&& buffer) {
    std::unique_lock<std::mutex> hold(mutex_);
    if (closed_) {
      hold.unlock();
      buffer = ReadBuffer();
      return;
    }
    free_.push_back(std::move(buffer));
  }
  // Once no run is left to start, buffers are given back to the system as their runs end,
  // while the last workers run, rather than all at once after them.
  void close() {
    std::vector<ReadBuffer> freed;  // outside the lock
    {
      std::lock_guard<std::mutex> hold(mutex_);
      closed_ = true;
      freed.swap(free_);
    }
  }

 private:
  std::mutex mutex_;
  std::vector<ReadBuffer> free_;
  bool closed_ = false;
};

// A buffer from the pool for one run, given back when the run ends: its first `held` bytes are
// what the run read into it.
struct PooledBuffer {
  explicit PooledBuffer(BufferPool& from) : pool(from), bytes(from.take()) {}
  ~PooledBuffer() { pool.give(std::move(bytes)); }
  PooledBuffer(const PooledBuffer&) = delete;
  PooledBuffer& operator=(const PooledBuffer&) = delete;
  std::string_view view() const { return std::string_view(bytes.data(), held); }

  BufferPool& pool;
  ReadBuffer bytes;
  size_t held = 0;
};

// Reads the file at `path` into `buffer`, at most `limit` bytes of it; `tooLarge` when it holds
// more. False when it cannot be read.
bool readSessionFile(const std::string& path, size_t limit, PooledBuffer& buffer, bool& tooLarge) {
  std::string error;
  std::optional<InputFile> file = InputFile::open(path, error);
  return file && file->readBoundedInto(limit, buffer.bytes, buffer.held, tooLarge, error);
}

// Reads a running worker's output into `buffer` until its end, or until the output bound is
// reached. Where the pipe's size is known, the output is read only when the worker has ended or
// the pipe is a quarter full (see kOutputLook); elsewhere each read waits for what comes.
BoundedRead readWorkerOutput(const platform::StartedProcess& worker, size_t pipeRoom,
                             PooledBuffer& buffer) {
  if (pipeRoom > 0) {
    platform::ProcessWatch watch(worker.process);
    while (!watch.awaitEndFor(kOutputLook)) {
      const size_t waiting = platform::bytesWaiting(worker.output).value_or(0);
      if (waiting < pipeRoom / 4) continue;
      // What waits is read whole (or up to the bound): none of these reads waits for the worker.
      if (buffer.held + waiting >= kMaxOutputBytes) {
        return readBoundedInto(worker.output, kMaxOutputBytes, buffer.bytes, buffer.held);
      }
      const BoundedRead read =
          readBoundedInto(worker.output, buffer.held + waiting, buffer.bytes, buffer.held);
      if (read != BoundedRead::LimitReached) return read;
    }
  }
  return readBoundedInto(worker.output, kMaxOutputBytes, buffer.bytes, buffer.held);
}

struct RunContext {
  const PlanFolder& plan;
  std::string worker;
  std::string fences;
  BufferPool& sessionBuffers;
  BufferPool& outputBuffers;
};

// Runs one run whose lock is held. Never writes anything once the run was interrupted.
RunRecord executeRun(const RunContext& context, const PlannedRun& run, LiveWorker& live) {
  const WorkerDoneAtEnd workerDoneAtEnd{live};
  RunRecord record;
  record.runId = run.runId;
  record.entries = run.entries;
  record.status = RunStatus::Failed;
  record.outcome = "not-run";
  const std::string sessionPath = context.plan.sessionPath(run);
  const std::string unreadable = "the session file " + sessionPath + " cannot be read";
  bool tooLarge = false;
  PooledBuffer sessionBuffer(context.sessionBuffers);
  // Only a run with a record may have been run before: its session is read and hashed first, to
  // see whether its output answers it. Any other run's session is read while its worker starts,
  // and hashed while it runs, off the way to starting it.
  const bool recorded = isRegularFile(context.plan.recordPath(run));
  if (recorded) {
    if (!readSessionFile(sessionPath, kMaxSessionFileBytes, sessionBuffer, tooLarge)) {
      record.explanation = unreadable;
      return record;
    }
    record.sessionSha256 = sha256Hex(sessionBuffer.view());
    if (const std::optional<uint64_t> pages =
            tooLarge
                ? std::nullopt
                : answersSession(context.plan, run, record.sessionSha256, sessionBuffer.view())) {
      record.status = RunStatus::Resumed;
      record.outcome = "completed";
      record.verified = true;
      record.pages = *pages;
      return record;
    }
  }

  // A fence held by another process (a worker of a runner that was killed, still ending) is
  // waited for: the worker would be refused on it without a word. A child another lane is
  // starting may hold a copy of the look's descriptor until it has started its program; the look
  // unlocks the fence before closing it, so that copy never keeps the fence from this run's
  // worker, and lanes start their workers at the same time.
  const std::string fence = context.fences + "/" + run.runId + ".fence";
  const auto begun = Clock::now();
  std::string error;
  std::optional<platform::StartedProcess> started;
  for (;;) {
    if (live.endedByUs || platform::interruptSignal() != 0) {
      record.status = RunStatus::NotRun;
      return record;
    }
    if (const auto held = platform::openExclusive(platform::NativeText::fromUtf8(fence))) {
      platform::closeExclusive(*held);
      std::lock_guard<std::mutex> hold(live.mutex);
      if (live.endedByUs) {
        record.status = RunStatus::NotRun;
        return record;
      }
      started = platform::startProcess(platform::NativeText::fromUtf8(context.worker),
                                       {platform::NativeText::fromUtf8("--c5"),
                                        platform::NativeText::fromUtf8("--execution-fence"),
                                        platform::NativeText::fromUtf8(fence)},
                                       error);
      if (started) live.process = started->process;
      break;
    }
    if (!isRegularFile(fence)) {
      record.explanation = "the fence " + fence + " cannot be opened";
      return record;
    }
    std::this_thread::sleep_for(kPollInterval);
  }
  if (!started) {
    record.explanation = error;
    return record;
  }
  if (!recorded && !readSessionFile(sessionPath, kMaxSessionFileBytes, sessionBuffer, tooLarge)) {
    // The worker, started for nothing, is ended before it reads any of the session.
    live.end();
    platform::closeStream(started->input);
    platform::awaitProcessEnd(started->process);
    {
      std::lock_guard<std::mutex> hold(live.mutex);
      (void)platform::releaseProcess(started->process);
      live.process.reset();
    }
    platform::closeStream(started->output);
    record.explanation = unreadable;
    return record;
  }
  const std::string_view session = sessionBuffer.view();
  // Pipes as wide as the system lets them be: a session that fits is written in one go, and
  // the worker's pages gather in its output pipe between reads, so neither side is woken for
  // every few kilobytes. A session that fits in the empty input pipe (with a page to spare, as
  // its pages are lent to the pipe and its ends need not lie on page boundaries) is written here
  // at once; a larger one goes in on a thread of its own while the output is read here, so that
  // neither side waits for the other when a pipe is full. The session buffer is not touched
  // again before the worker has ended. A write that fails (the worker ended early) ends it.
  const size_t inputRoom = platform::widenPipe(started->input, kRunPipeBytes);
  const size_t outputPipeRoom = platform::widenPipe(started->output, kRunPipeBytes);
  auto writeSession = [&] {
    (void)lendAll(started->input, session);
    platform::closeStream(started->input);
  };
  std::thread writer;
  if (session.size() + kSparePipePage <= inputRoom) {
    writeSession();
  } else {
    writer = std::thread(writeSession);
  }
  if (!recorded) record.sessionSha256 = sha256Hex(session);
  PooledBuffer outBuffer(context.outputBuffers);
  // An output is about as large as its session (0.5 to 1.3 times it in the generated month):
  // room for one and a half times the session, and for the read that finds the end, spares the
  // buffer most of its growth without zero-filling much it never holds.
  const size_t outputRoom =
      std::min(session.size() + session.size() / 2 + kBoundedReadChunkBytes, kMaxOutputBytes);
  makeRoom(outBuffer.bytes, outputRoom);
  const BoundedRead read = readWorkerOutput(*started, outputPipeRoom, outBuffer);
  const std::string_view out = outBuffer.view();
  const bool outputTooLarge = read == BoundedRead::LimitReached;
  if (outputTooLarge) live.end();
  platform::awaitProcessEnd(started->process);
  platform::ProcessEnd end;
  {
    std::lock_guard<std::mutex> hold(live.mutex);
    end = platform::releaseProcess(started->process);
    live.process.reset();
  }
  if (writer.joinable()) writer.join();
  platform::closeStream(started->output);
  live.done();
  record.seconds = std::chrono::duration<double>(Clock::now() - begun).count();
  if ((live.endedByUs && !outputTooLarge) || platform::interruptSignal() != 0) {
    record.status = RunStatus::NotRun;
    return record;
  }

  const ReassembledOutput output = verifyWorkerOutput(session, out, outputTooLarge);
  if (end.exited) record.exitStatus = end.code;
  record.outcome = outcomeOf(output, end);
  record.code = output.failedCode;
  record.pages = output.pagesRead;
  record.verified = output.verified() && end.exited && end.code == 0;
  record.status = record.verified ? RunStatus::Completed : RunStatus::Failed;
  if (!record.verified && tooLarge) {
    record.explanation = "the session file is larger than a session may be";
  } else if (!record.verified) {
    Explanation why = explain(sessionPath, output, end, out.empty());
    record.explanation = std::move(why.text);
    if (!record.code) record.code = std::move(why.code);
  }
  // The old record goes first, so that no record ever stands beside an output it does not
  // describe; the new one is written last, as the mark that the output is complete. Neither
  // waits for storage: a record and its output are verified again before a later run or report
  // takes them, so a machine that stops can cost a run again, never a wrong output.
  removeFile(context.plan.recordPath(run));
  if (!platform::replaceFileAtomically(context.plan.outputPath(run), out,
                                       platform::Durability::Unflushed) ||
      !platform::replaceFileAtomically(context.plan.recordPath(run), recordJson(record),
                                       platform::Durability::Unflushed)) {
    record.status = RunStatus::Failed;
    record.verified = false;
    record.explanation = "the output could not be written to " + context.plan.outputPath(run);
  }
  return record;
}

std::string summaryJson(const std::vector<RunRecord>& records, const RunArgs& args, double seconds,
                        int interrupted) {
  JsonArray runs;
  uint64_t counts[4] = {0, 0, 0, 0};
  for (const RunRecord& record : records) {
    ++counts[static_cast<size_t>(record.status)];
    JsonObject object;
    object["runId"] = Json(record.runId);
    object["status"] = Json(statusText(record.status));
    object["outcome"] = Json(record.outcome);
    object["code"] = optionalText(record.code);
    object["pages"] = Json(record.pages);
    object["seconds"] = secondsJson(record.seconds);
    object["explanation"] = record.explanation.empty() ? Json(nullptr) : Json(record.explanation);
    runs.emplace_back(std::move(object));
  }
  JsonObject summary;
  summary["runs"] = Json(std::move(runs));
  summary["completed"] = Json(counts[static_cast<size_t>(RunStatus::Completed)]);
  summary["resumed"] = Json(counts[static_cast<size_t>(RunStatus::Resumed)]);
  summary["failed"] = Json(counts[static_cast<size_t>(RunStatus::Failed)]);
  summary["notRun"] = Json(counts[static_cast<size_t>(RunStatus::NotRun)]);
  summary["shard"] =
      args.shard
          ? Json(std::to_string(args.shard->first) + "/" + std::to_string(args.shard->second))
          : Json(nullptr);
  summary["seconds"] = secondsJson(seconds);
  summary["interrupted"] = Json(interrupted != 0);
  return toCompactJson(Json(std::move(summary))) + "\n";
}

// Progress on standard error: one line rewritten in place on a terminal, a line a finished run
// otherwise.
class Progress {
 public:
  Progress(std::ostream& err, size_t total)
      : err_(err),
        total_(total),
        live_(platform::isTerminal(platform::kStandardError)),
        begun_(Clock::now()) {}

  void finished(const RunRecord& record, size_t running) {
    ++done_;
    if (record.status == RunStatus::Failed) ++failed_;
    if (record.status == RunStatus::Completed) entries_ += record.entries;
    if (live_) {
      line(running);
      return;
    }
    std::string text = "run " + record.runId + ": " + std::string(statusText(record.status));
    if (record.status == RunStatus::Failed) text += " (" + record.outcome + ")";
    if (record.status != RunStatus::Resumed) text += " in " + fixed(record.seconds) + " s";
    text += "  [" + std::to_string(done_) + "/" + std::to_string(total_) + " done, " +
            std::to_string(failed_) + " failed]\n";
    say(text);
  }
  void started(size_t running) {
    if (live_) line(running);
  }
  void end() {
    if (live_) err_ << "\n";
    err_.flush();
  }

 private:
  static std::string fixed(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
  }
  void line(size_t running) {
    const double seconds = std::chrono::duration<double>(Clock::now() - begun_).count();
    const double rate = seconds > 0 ? static_cast<double>(entries_) / seconds : 0;
    say("\r\x1b[Krun: " + std::to_string(done_) + "/" + std::to_string(total_) + " done, " +
        std::to_string(running) + " running, " + std::to_string(static_cast<uint64_t>(rate)) +
        " entries/s, " + std::to_string(failed_) + " failed");
  }
  // A line goes out in one write: the stream under standard error is unbuffered.
  void say(const std::string& text) {
    err_.write(text.data(), static_cast<std::streamsize>(text.size()));
    err_.flush();
  }

  std::ostream& err_;
  size_t total_;
  bool live_;
  Clock::time_point begun_;
  size_t done_ = 0;
  size_t failed_ = 0;
  uint64_t entries_ = 0;
};

// One run in flight: its thread, its worker and, once it has ended, its record.
struct InFlight {
  size_t slot = 0;  // index in the shard's runs
  platform::FileHandle lock = 0;
  LiveWorker live;
  std::optional<RunRecord> record;  // set by its lane under the coordinator's mutex
};

}  // namespace

int runRun(std::span<const std::string_view> args, Streams streams) {
  for (const std::string_view arg : args) {
    if (arg == "-h" || arg == "--help") {
      streams.out << kRunUsage << "\n";
      return kExitPasses;
    }
  }
  auto fail = [&](const std::string& why) {
    streams.err << "tallywarden run: " << why << "\n";
    return kExitCannotRun;
  };
  std::string error;
  std::optional<RunArgs> parsed = parseArgs(args, error);
  if (!parsed) return fail(error + " (" + std::string(kRunUsage) + ")");
  RunArgs& options = *parsed;
  if (!options.shard && !shardFromSlurm(options.shard, error)) return fail(error);
  if (options.worker.empty()) {
    const std::string self = platform::thisExecutablePath();
    const size_t cut = self.find_last_of("/\\");
    options.worker = (cut == std::string::npos ? std::string(".") : self.substr(0, cut)) + "/" +
                     std::string(kWorkerName) + std::string(platform::executableSuffix());
    if (!platform::isExecutableFile(options.worker)) {
      return fail("no worker beside the tool at " + options.worker + "; name one with --worker");
    }
  } else if (!platform::isExecutableFile(options.worker)) {
    return fail("the worker " + options.worker + " is not an executable file");
  }
  std::optional<PlanFolder> plan = readPlanFolder(options.dir, error);
  if (!plan) return fail(error);
  if (options.fences.empty()) options.fences = plan->dir + "/fences";
  for (const std::string& dir : {plan->dir + "/outputs", plan->dir + "/locks", options.fences}) {
    if (!makeDirectories(dir)) return fail("cannot make the folder " + dir);
  }
  const unsigned jobs = options.jobs != 0 ? options.jobs : platform::processorsAvailable();
  removeUnfinishedWrites(*plan);

  std::vector<PlannedRun> runs;
  for (const PlannedRun& run : plan->runs) {
    if (!options.shard || run.index % options.shard->second == options.shard->first) {
      runs.push_back(run);
    }
  }
  platform::prepareProcess();  // a worker that ends early is a failed write, not a signal
  platform::catchInterrupts();
  const auto begun = Clock::now();
  BufferPool sessionBuffers;
  BufferPool outputBuffers;
  const RunContext context{*plan, options.worker, options.fences, sessionBuffers, outputBuffers};
  std::vector<RunRecord> records(runs.size());
  for (size_t i = 0; i < runs.size(); ++i) {
    records[i].runId = runs[i].runId;
    records[i].entries = runs[i].entries;
  }
  Progress progress(streams.err, runs.size());

  std::mutex mutex;
  std::condition_variable changed;
  std::deque<size_t> pending;
  for (size_t i = 0; i < runs.size(); ++i) pending.push_back(i);
  std::vector<std::unique_ptr<InFlight>> inFlight;
  bool stopping = false;
  // Runs are executed by lanes, threads kept for the whole plan (a thread a run would cost the
  // system its start and end each time): as many as there are runs in flight, each taking the
  // next queued run when it is free.
  std::condition_variable queuedRun;
  std::deque<InFlight*> queued;
  std::vector<std::thread> lanes;
  bool lanesClosing = false;
  auto lane = [&] {
    std::unique_lock<std::mutex> hold(mutex);
    for (;;) {
      queuedRun.wait(hold, [&] { return lanesClosing || !queued.empty(); });
      if (queued.empty()) return;
      InFlight* run = queued.front();
      queued.pop_front();
      hold.unlock();
      RunRecord record = executeRun(context, runs[run->slot], run->live);
      hold.lock();
      run->record = std::move(record);
      changed.notify_all();
    }
  };
  for (;;) {
    std::unique_lock<std::mutex> hold(mutex);
    // Runs that ended: their locks go, their records are taken.
    for (auto it = inFlight.begin(); it != inFlight.end();) {
      InFlight& run = **it;
      if (!run.record) {
        ++it;
        continue;
      }
      platform::closeExclusive(run.lock);
      const size_t slot = run.slot;
      records[slot] = *run.record;
      it = inFlight.erase(it);
      progress.finished(records[slot], inFlight.size());
    }
    if (!stopping && platform::interruptSignal() != 0) {
      stopping = true;
      for (auto& run : inFlight) run->live.end();
    }
    // Start runs while there are free workers, skipping those another runner holds for now.
    size_t workers = 0;
    for (const auto& run : inFlight) workers += run->live.workerDone ? 0 : 1;
    for (auto it = pending.begin(); !stopping && workers < jobs &&
                                    inFlight.size() < kMostVerifyingRuns * jobs &&
                                    it != pending.end();) {
      const size_t slot = *it;
      const auto lock =
          platform::openExclusive(platform::NativeText::fromUtf8(plan->lockPath(runs[slot])));
      if (!lock) {
        ++it;
        continue;
      }
      it = pending.erase(it);
      auto run = std::make_unique<InFlight>();
      run->slot = slot;
      run->lock = *lock;
      InFlight* raw = run.get();
      raw->live.onWorkerDone = [&] {
        std::lock_guard<std::mutex> freed(mutex);
        changed.notify_all();
      };
      ++workers;
      inFlight.push_back(std::move(run));
      queued.push_back(raw);
      if (lanes.size() < inFlight.size()) lanes.emplace_back(lane);
      queuedRun.notify_one();
      progress.started(workers);
    }
    if (pending.empty() || stopping) {
      sessionBuffers.close();
      outputBuffers.close();
    }
    if (inFlight.empty() && (pending.empty() || stopping)) {
      lanesClosing = true;
      queuedRun.notify_all();
      break;
    }
    changed.wait_for(hold, kPollInterval);
  }
  for (std::thread& ended : lanes) ended.join();
  progress.end();

  const int interrupted = platform::interruptSignal();
  const double seconds = std::chrono::duration<double>(Clock::now() - begun).count();
  const std::string summaryPath =
      plan->dir + (options.shard ? "/summary-" + std::to_string(options.shard->first) + "-of-" +
                                       std::to_string(options.shard->second) + ".json"
                                 : std::string("/summary.json"));
  if (!platform::replaceFileAtomically(summaryPath,
                                       summaryJson(records, options, seconds, interrupted))) {
    streams.err << "tallywarden run: the summary could not be written to " << summaryPath << "\n";
    return kExitFails;
  }
  size_t good = 0;
  size_t failed = 0;
  for (const RunRecord& record : records) {
    if (record.status == RunStatus::Completed || record.status == RunStatus::Resumed) ++good;
    if (record.status == RunStatus::Failed) ++failed;
  }
  std::string last = "tallywarden run: " + std::to_string(good) + " of " +
                     std::to_string(records.size()) + " runs completed and verified";
  if (failed > 0) last += ", " + std::to_string(failed) + " failed";
  if (interrupted != 0) last += ", interrupted";
  last += "; summary in " + summaryPath + "\n";
  streams.err << last;
  if (interrupted != 0) return kInterruptedBase + interrupted;
  return good == records.size() ? kExitPasses : kExitFails;
}

}  // namespace tw::tool
