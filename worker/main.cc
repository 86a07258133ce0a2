// Process entry of the worker: chooses the run mode from the command line, holds the execution
// fence around a session, and turns the mode's outcome into the exit status.
//
//   (no arguments)                        arithmetic request mode
//   --c5 --execution-fence PATH           session mode (exactly these three, in this order)
//   anything else                         exit status 1, nothing read, nothing written
//
// Exit statuses: 0 the mode ended as its protocol intends; 1 a refused command line, a busy
// fence, a failed session or request; 101 a fatal error, announced on standard error.
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <exception>
#include <string_view>

#include "worker/arithmetic.h"
#include "worker/fd_io.h"
#include "worker/fence.h"
#include "worker/session.h"

#ifdef TW_COVERAGE
extern "C" void __gcov_dump(void);
#endif

namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitFatal = 101;

constexpr std::string_view kSessionFlag = "--c5";
constexpr std::string_view kFenceFlag = "--execution-fence";

[[noreturn]] void endFatally(std::string_view diagnostic) {
  (void)tw::writeAll(STDERR_FILENO, diagnostic);
  std::_Exit(kExitFatal);
}

// Session mode: the fence is taken before the first byte of input is read and released after
// the session's last message has been written, whatever the session's outcome.
int runSessionMode(const char* fencePath) {
  tw::Result<tw::Fence, tw::FenceError> fence = tw::acquireFence(fencePath);
  if (!fence) return kExitFailure;  // "C5_FENCE_BUSY": nothing read, nothing written
  const int status = tw::runSession(STDIN_FILENO, STDOUT_FILENO).ok() ? kExitSuccess : kExitFailure;
  fence->release();
  return status;
}

int runArithmeticModeOnStandardStreams() {
  return tw::runArithmeticMode(STDIN_FILENO, STDOUT_FILENO).ok() ? kExitSuccess : kExitFailure;
}

// Arguments are compared as raw bytes, exactly; argv[0] is the program name.
int runFromCommandLine(int argc, char** argv) {
  if (argc == 1) return runArithmeticModeOnStandardStreams();
  if (argc == 4 && argv[1] == kSessionFlag && argv[2] == kFenceFlag) {
    return runSessionMode(argv[3]);
  }
  return kExitFailure;
}

}  // namespace

int main(int argc, char** argv) {
  // A closed reader of standard output must be a write failure (EPIPE), not the end of the
  // process by a signal.
  ::signal(SIGPIPE, SIG_IGN);
  // An exception escaping a thread (or anything else reaching terminate) is a fatal error.
  std::set_terminate([] { endFatally("tallywarden-worker: fatal error: terminated\n"); });
  int status;
  try {
    status = runFromCommandLine(argc, argv);
  } catch (...) {
    endFatally("tallywarden-worker: fatal error: unexpected exception\n");
  }
  // Every message went out with write(), so nothing is buffered; threads a session left blocked
  // end with the process.
#ifdef TW_COVERAGE
  __gcov_dump();  // std::_Exit skips the exit handlers that would write the coverage counts
#endif
  std::_Exit(status);
}
