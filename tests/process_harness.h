// Drives the built worker executable as a separate process, for process-level tests.
//
// A Worker is started with its arguments and a choice of standard input (a pipe the test writes
// to incrementally, /dev/null, a closed descriptor, a directory, or a file whose read offset the
// test can inspect afterwards) and of standard output (a pipe, a pipe nobody reads, /dev/full, a
// closed descriptor). Standard output and standard error are collected; the test reads complete
// output lines with a timeout and waits for the end of the process with a timeout. A worker that
// outlives its Worker object is killed. The worker always starts with SIGPIPE at its default
// disposition and no blocked signals, whatever the test process does, so a worker that forgot to
// ignore SIGPIPE is caught dying by that signal.
//
// The test process itself ignores SIGPIPE from the first start on, so writing to the input of a
// worker that has ended is a failed write, not the end of the test run.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace tw::test {

using std::chrono::milliseconds;

inline constexpr milliseconds kDefaultTimeout{10000};

// Path of the worker executable under test: $TW_TEST_WORKER when set (another build of it, for
// example the Windows one), the one built beside the tests otherwise.
const char* workerPath();
// A program that starts the worker, given its path and arguments: $TW_TEST_WORKER_LAUNCHER when
// set (for example Wine's loader for a Windows build), otherwise none.
const char* workerLauncher();
// Path of the host companion executable under test.
const char* toolPath();

enum class StdinKind {
  Pipe,        // the test writes with writeStdin and ends with closeStdin
  DevNull,     // end of input at once
  Closed,      // descriptor 0 is not open in the worker
  Directory,   // descriptor 0 is a directory (every read fails); path in WorkerOptions::stdinPath
  SharedFile,  // the file WorkerOptions::stdinPath, sharing its read offset with the test
};

enum class StdoutKind {
  Pipe,        // collected by the harness
  BrokenPipe,  // a pipe whose read end is closed before the worker runs: writes fail with EPIPE
  DevFull,     // /dev/full: writes fail with ENOSPC
  Closed,      // descriptor 1 is not open in the worker
};

struct WorkerOptions {
  std::vector<std::string> args;  // after the program name
  StdinKind stdinKind = StdinKind::Pipe;
  std::string stdinPath;
  StdoutKind stdoutKind = StdoutKind::Pipe;
  // With a Pipe input: bytes already waiting in the pipe when the worker starts (at most what a
  // pipe holds, 65536 bytes).
  std::string initialStdin;
  // A program (absolute path first, then its arguments) that starts the worker: it is given the
  // worker's path and arguments after its own, for example to set resource limits.
  std::vector<std::string> launcher;
  // The executable to start instead of the worker (for example the companion); empty for the
  // worker.
  std::string program;
};

// How a process ended.
struct ExitStatus {
  bool exited = false;  // ended by exit with `code`
  int code = -1;
  int signal = 0;         // ended by this signal (0 if it did not)
  bool timedOut = false;  // still running at the deadline; the harness killed it

  bool exitedWith(int expected) const { return exited && code == expected; }
  std::string describe() const;
};
std::ostream& operator<<(std::ostream& out, const ExitStatus& status);

class Worker {
 public:
  explicit Worker(WorkerOptions options);
  // Convenience: the given arguments, input through a pipe, output collected.
  explicit Worker(std::vector<std::string> args);
  ~Worker();
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  // False when the process could not be spawned; `startError()` then says why.
  bool started() const { return pid_ > 0; }
  const std::string& startError() const { return startError_; }
  pid_t pid() const { return pid_; }

  // Writes all bytes to the worker's input pipe. False once the worker no longer reads it
  // (it closed its end or ended) or when the input is not a pipe.
  bool writeStdin(std::string_view bytes);
  // Ends the worker's input (end of input on its side). Idempotent.
  void closeStdin();
  // Bytes written to the input pipe that the worker has not read (yet); 0 when the input is not
  // a pipe or has been closed.
  size_t unreadStdinBytes() const;
  // The host stops reading: closes the read end of the output pipe, so that the worker's next
  // write fails with EPIPE. Output collected so far stays; nothing more is collected.
  void closeStdout();

  // The next complete line of standard output, without its line feed, or nothing if no complete
  // line arrived before the timeout or before output ended. Partial lines stay buffered.
  std::optional<std::string> readLine(milliseconds timeout = kDefaultTimeout);

  // Waits for the process to end, collecting its output. On timeout the process is killed.
  ExitStatus wait(milliseconds timeout = kDefaultTimeout);
  // True while the process has not ended (reaps it if it has).
  bool running();
  // Ends the process at once with `signal` and reaps it.
  ExitStatus kill(int signal = 9);

  // Standard output received so far and not yet returned by readLine; all of it after wait().
  const std::string& unreadStdout() const { return out_; }
  std::string takeStdout();
  const std::string& stderrText() const { return err_; }
  // The read offset of a SharedFile input: how many bytes the worker consumed from it.
  off_t stdinOffset() const;

 private:
  void start(const WorkerOptions& options);
  // Reads whatever is available (waiting at most `timeout`); false when there was nothing left
  // to wait for (both outputs ended).
  bool pump(milliseconds timeout);
  void reap(bool block);

  pid_t pid_ = -1;
  std::string startError_;
  int stdinFd_ = -1;  // write end of the input pipe
  int sharedInputFd_ = -1;
  int stdoutFd_ = -1;
  int stderrFd_ = -1;
  std::string out_;
  std::string err_;
  std::optional<ExitStatus> status_;

  // With TW_CHECK_EACH_SESSION set, every session-mode worker whose input the test fed through
  // a pipe has its input and output kept, and once it has ended the companion's check must tell
  // the same ending (see checkAgreesWithWorker in process_harness.cc).
  bool capture_ = false;
  std::string capturedInput_;
  std::string capturedOutput_;
};

// Runs the worker once: writes `input` (when given) and ends its input, then waits.
struct RunResult {
  ExitStatus status;
  std::string out;
  std::string err;
  milliseconds elapsed{0};
};
RunResult runWorker(std::vector<std::string> args, std::optional<std::string_view> input,
                    milliseconds timeout = kDefaultTimeout);

// A fresh, empty directory for one test, removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(std::string_view name) const { return path_ + "/" + std::string(name); }

 private:
  std::string path_;
};

// Whole-file helpers for tests.
bool writeFile(const std::string& path, std::string_view bytes);
std::optional<std::string> readFile(const std::string& path);

}  // namespace tw::test
