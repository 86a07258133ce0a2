#include "tests/process_harness.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>

extern char** environ;

namespace tw::test {

namespace {

using Clock = std::chrono::steady_clock;

constexpr milliseconds kDrainAfterExit{2000};

void ignoreSigpipeOnce() {
  static std::once_flag once;
  std::call_once(once, [] { ::signal(SIGPIPE, SIG_IGN); });
}

void closeFd(int& fd) {
  if (fd >= 0) {
    ::close(fd);
    fd = -1;
  }
}

milliseconds remainingUntil(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? left : milliseconds{0};
}

std::string errnoText(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

// Owns the file actions and attributes of one spawn.
struct SpawnSetup {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  SpawnSetup() {
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
  }
};

// The companion's verdict on a session the worker has just run, held against the worker's own
// ending: its exit status and its last message. Endings that check says depend on timing (a
// line the worker read during its run) are counted but not held against it.
struct CheckTally {
  size_t agreed = 0;
  size_t timing = 0;
  ~CheckTally() {
    if (agreed + timing > 0) {
      std::fprintf(stderr, "check agreed with the worker on %zu sessions (%zu decided by timing)\n",
                   agreed, timing);
    }
  }
};
CheckTally checkTally;

std::string workerEndingOf(const ExitStatus& status, const std::string& out) {
  if (status.exitedWith(1)) return "refused";
  std::string last = out;
  if (!last.empty() && last.back() == '\n') last.pop_back();
  last = last.substr(last.rfind('\n') == std::string::npos ? 0 : last.rfind('\n') + 1);
  if (last.find("\"kind\":\"completed\"") != std::string::npos) return "completed";
  if (last.find("\"code\":\"CANCELLED\"") != std::string::npos) return "cancelled";
  if (last.find("\"kind\":\"failed\"") != std::string::npos) return "failed";
  return "unknown";
}

void checkAgreesWithWorker(const std::string& input, const ExitStatus& status,
                           const std::string& out) {
  TempDir dir;
  const std::string file = dir.file("captured.ndjson");
  if (!writeFile(file, input)) return;
  WorkerOptions options;
  options.program = toolPath();
  options.args = {"check", file, "--json"};
  options.stdinKind = StdinKind::DevNull;
  Worker check(std::move(options));
  check.wait();
  const std::string verdict = check.takeStdout();
  const std::string worker = workerEndingOf(status, out);
  const bool agrees = verdict.find("\"outcome\":\"" + worker + "\"") != std::string::npos;
  if (!agrees && verdict.find("\"timingDependent\":true") != std::string::npos) {
    ++checkTally.timing;
    return;
  }
  EXPECT_TRUE(agrees) << "the worker ended " << worker << "; check says " << verdict
                      << "on the input:\n"
                      << input.substr(0, 2000);
  if (agrees) ++checkTally.agreed;
}

}  // namespace

const char* workerPath() {
  const char* chosen = std::getenv("TW_TEST_WORKER");
  return chosen != nullptr && *chosen != '\0' ? chosen : TW_WORKER_PATH;
}

const char* workerLauncher() {
  const char* chosen = std::getenv("TW_TEST_WORKER_LAUNCHER");
  return chosen != nullptr && *chosen != '\0' ? chosen : nullptr;
}

const char* toolPath() {
  return TW_TOOL_PATH;
}

std::string ExitStatus::describe() const {
  if (timedOut) return "timed out (killed)";
  if (exited) return "exit status " + std::to_string(code);
  if (signal != 0)
    return "killed by signal " + std::to_string(signal) + " (" + strsignal(signal) + ")";
  return "not ended";
}

std::ostream& operator<<(std::ostream& out, const ExitStatus& status) {
  return out << status.describe();
}

Worker::Worker(WorkerOptions options) {
  start(options);
}

Worker::Worker(std::vector<std::string> args) {
  WorkerOptions options;
  options.args = std::move(args);
  start(options);
}

Worker::~Worker() {
  if (started() && !status_) kill();
  closeFd(stdinFd_);
  closeFd(sharedInputFd_);
  closeFd(stdoutFd_);
  closeFd(stderrFd_);
}

void Worker::start(const WorkerOptions& options) {
  ignoreSigpipeOnce();
  capture_ = std::getenv("TW_CHECK_EACH_SESSION") != nullptr && options.program.empty() &&
             options.launcher.empty() && !options.args.empty() && options.args[0] == "--c5" &&
             (options.stdinKind == StdinKind::Pipe || options.stdinKind == StdinKind::DevNull) &&
             options.stdoutKind == StdoutKind::Pipe;
  SpawnSetup setup;
  // Descriptors the parent closes once the child has its copies.
  int childEnds[3] = {-1, -1, -1};
  int brokenReadEnd = -1;
  auto cleanup = [&] {
    for (int& fd : childEnds) closeFd(fd);
    closeFd(brokenReadEnd);
  };

  switch (options.stdinKind) {
    case StdinKind::Pipe: {
      int fds[2];
      if (::pipe2(fds, O_CLOEXEC) != 0) {
        startError_ = errnoText("pipe");
        return;
      }
      childEnds[0] = fds[0];
      stdinFd_ = fds[1];
      if (!writeStdin(options.initialStdin)) {
        startError_ = errnoText("write initial input");
        cleanup();
        closeFd(stdinFd_);
        return;
      }
      posix_spawn_file_actions_adddup2(&setup.actions, fds[0], STDIN_FILENO);
      break;
    }
    case StdinKind::DevNull:
      posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
      break;
    case StdinKind::Closed:
      posix_spawn_file_actions_addclose(&setup.actions, STDIN_FILENO);
      break;
    case StdinKind::Directory:
      posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, options.stdinPath.c_str(),
                                       O_RDONLY | O_DIRECTORY, 0);
      break;
    case StdinKind::SharedFile:
      sharedInputFd_ = ::open(options.stdinPath.c_str(), O_RDONLY | O_CLOEXEC);
      if (sharedInputFd_ < 0) {
        startError_ = errnoText("open input file");
        return;
      }
      posix_spawn_file_actions_adddup2(&setup.actions, sharedInputFd_, STDIN_FILENO);
      break;
  }

  switch (options.stdoutKind) {
    case StdoutKind::Pipe:
    case StdoutKind::BrokenPipe: {
      int fds[2];
      if (::pipe2(fds, O_CLOEXEC) != 0) {
        startError_ = errnoText("pipe");
        cleanup();
        return;
      }
      childEnds[1] = fds[1];
      if (options.stdoutKind == StdoutKind::Pipe) {
        stdoutFd_ = fds[0];
      } else {
        brokenReadEnd = fds[0];
      }
      posix_spawn_file_actions_adddup2(&setup.actions, fds[1], STDOUT_FILENO);
      break;
    }
    case StdoutKind::DevFull:
      posix_spawn_file_actions_addopen(&setup.actions, STDOUT_FILENO, "/dev/full", O_WRONLY, 0);
      break;
    case StdoutKind::Closed:
      posix_spawn_file_actions_addclose(&setup.actions, STDOUT_FILENO);
      break;
  }

  int errFds[2];
  if (::pipe2(errFds, O_CLOEXEC) != 0) {
    startError_ = errnoText("pipe");
    cleanup();
    return;
  }
  childEnds[2] = errFds[1];
  stderrFd_ = errFds[0];
  posix_spawn_file_actions_adddup2(&setup.actions, errFds[1], STDERR_FILENO);

  // The worker must meet SIGPIPE as a fresh process would, not as this test process has it.
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigset_t noneBlocked;
  sigemptyset(&noneBlocked);
  posix_spawnattr_setsigdefault(&setup.attributes, &defaults);
  posix_spawnattr_setsigmask(&setup.attributes, &noneBlocked);
  posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  std::vector<std::string> argvText = options.launcher;
  if (options.program.empty() && workerLauncher() != nullptr)
    argvText.emplace_back(workerLauncher());
  argvText.emplace_back(options.program.empty() ? workerPath() : options.program);
  argvText.insert(argvText.end(), options.args.begin(), options.args.end());
  std::vector<char*> argv;
  for (std::string& arg : argvText) argv.push_back(arg.data());
  argv.push_back(nullptr);

  pid_t pid = -1;
  const int spawned =
      posix_spawn(&pid, argv.front(), &setup.actions, &setup.attributes, argv.data(), environ);
  // A broken pipe has no reader from the start: its read end goes before the worker can write.
  cleanup();
  if (spawned != 0) {
    startError_ = std::string("posix_spawn: ") + std::strerror(spawned);
    closeFd(stdinFd_);
    closeFd(sharedInputFd_);
    closeFd(stdoutFd_);
    closeFd(stderrFd_);
    return;
  }
  pid_ = pid;
}

bool Worker::writeStdin(std::string_view bytes) {
  if (stdinFd_ < 0) return false;
  if (capture_) capturedInput_.append(bytes);
  while (!bytes.empty()) {
    const ssize_t written = ::write(stdinFd_, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

void Worker::closeStdin() {
  closeFd(stdinFd_);
}

size_t Worker::unreadStdinBytes() const {
  int queued = 0;
  if (stdinFd_ < 0 || ::ioctl(stdinFd_, FIONREAD, &queued) != 0 || queued < 0) return 0;
  return static_cast<size_t>(queued);
}

void Worker::closeStdout() {
  capture_ = false;  // the worker's writes fail from now on, which check cannot know
  closeFd(stdoutFd_);
}

bool Worker::pump(milliseconds timeout) {
  pollfd fds[2];
  int* owners[2];
  nfds_t count = 0;
  for (int* fd : {&stdoutFd_, &stderrFd_}) {
    if (*fd < 0) continue;
    fds[count] = pollfd{*fd, POLLIN, 0};
    owners[count] = fd;
    ++count;
  }
  if (count == 0) return false;
  const int ready = ::poll(fds, count, static_cast<int>(timeout.count()));
  if (ready <= 0) return true;
  for (nfds_t k = 0; k < count; ++k) {
    if (fds[k].revents == 0) continue;
    char buffer[65536];
    const ssize_t got = ::read(*owners[k], buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      closeFd(*owners[k]);
      continue;
    }
    std::string& sink = owners[k] == &stdoutFd_ ? out_ : err_;
    sink.append(buffer, static_cast<size_t>(got));
    if (capture_ && owners[k] == &stdoutFd_)
      capturedOutput_.append(buffer, static_cast<size_t>(got));
  }
  return true;
}

std::optional<std::string> Worker::readLine(milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    const size_t end = out_.find('\n');
    if (end != std::string::npos) {
      std::string line = out_.substr(0, end);
      out_.erase(0, end + 1);
      return line;
    }
    if (stdoutFd_ < 0) return std::nullopt;
    const milliseconds left = remainingUntil(deadline);
    if (left.count() == 0) return std::nullopt;
    pump(left);
  }
}

void Worker::reap(bool block) {
  if (!started() || status_) return;
  int raw = 0;
  pid_t got;
  do {
    got = ::waitpid(pid_, &raw, block ? 0 : WNOHANG);
  } while (got < 0 && errno == EINTR);
  if (got != pid_) return;
  ExitStatus status;
  if (WIFEXITED(raw)) {
    status.exited = true;
    status.code = WEXITSTATUS(raw);
  } else if (WIFSIGNALED(raw)) {
    status.signal = WTERMSIG(raw);
  }
  status_ = status;
}

bool Worker::running() {
  reap(false);
  return started() && !status_;
}

ExitStatus Worker::wait(milliseconds timeout) {
  if (!started()) return ExitStatus{};
  const auto deadline = Clock::now() + timeout;
  // Both outputs end when the process ends; after that, reaping does not block for long.
  while (!status_) {
    const milliseconds left = remainingUntil(deadline);
    if (left.count() == 0) break;
    if (!pump(std::min(left, milliseconds{20}))) {
      reap(false);
      if (!status_) std::this_thread::sleep_for(milliseconds{1});
    } else {
      reap(false);
    }
  }
  if (!status_) {
    ExitStatus killed = kill();
    killed.timedOut = true;
    status_ = killed;
    return killed;
  }
  // Output still in the pipes once the process has ended: its write ends are closed, so reading
  // reaches the end of output at once (bounded, in case something else still holds them).
  const auto drainDeadline = Clock::now() + kDrainAfterExit;
  while ((stdoutFd_ >= 0 || stderrFd_ >= 0) && remainingUntil(drainDeadline).count() > 0) {
    pump(remainingUntil(drainDeadline));
  }
  if (capture_ && (status_->exitedWith(0) || status_->exitedWith(1))) {
    capture_ = false;
    checkAgreesWithWorker(capturedInput_, *status_, capturedOutput_);
  }
  return *status_;
}

ExitStatus Worker::kill(int signal) {
  if (!started()) return ExitStatus{};
  reap(false);
  if (!status_) {
    ::kill(pid_, signal);
    reap(true);
  }
  return status_.value_or(ExitStatus{});
}

std::string Worker::takeStdout() {
  std::string taken;
  taken.swap(out_);
  return taken;
}

off_t Worker::stdinOffset() const {
  return sharedInputFd_ >= 0 ? ::lseek(sharedInputFd_, 0, SEEK_CUR) : off_t{-1};
}

RunResult runWorker(std::vector<std::string> args, std::optional<std::string_view> input,
                    milliseconds timeout) {
  const auto begun = Clock::now();
  Worker worker(std::move(args));
  RunResult result;
  if (!worker.started()) {
    result.err = worker.startError();
    return result;
  }
  if (input) (void)worker.writeStdin(*input);
  worker.closeStdin();
  result.status = worker.wait(timeout);
  result.elapsed = std::chrono::duration_cast<milliseconds>(Clock::now() - begun);
  result.out = worker.takeStdout();
  result.err = worker.stderrText();
  return result;
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tw-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

bool writeFile(const std::string& path, std::string_view bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = true;
  while (ok && !bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    ok = written > 0;
    if (ok) bytes.remove_prefix(static_cast<size_t>(written));
  }
  return ::close(fd) == 0 && ok;
}

std::optional<std::string> readFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string content;
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      ::close(fd);
      return std::nullopt;
    }
    if (got == 0) break;
    content.append(buffer, static_cast<size_t>(got));
  }
  ::close(fd);
  return content;
}

}  // namespace tw::test
