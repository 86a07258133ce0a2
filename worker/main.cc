// Process entry of the worker: chooses the run mode from the command line, holds the execution
// fence around a session, and turns the mode's outcome into the exit status.
//
//   (no arguments)                        arithmetic request mode
//   --c5 --execution-fence PATH           session mode (exactly these three, in this order)
//   anything else                         exit status 1, nothing read, nothing written
//
// Exit statuses: 0 the mode ended as its protocol intends; 1 a refused command line, a busy
// fence, a failed session or request; 101 a fatal error, announced on standard error.
#include <cstdlib>
#include <exception>
#include <string_view>
#include <vector>

#include "worker/arithmetic.h"
#include "worker/fd_io.h"
#include "worker/fence.h"
#include "worker/platform.h"
#include "worker/session.h"

#ifdef TW_COVERAGE
extern "C" void __gcov_dump(void);
#endif

namespace {

namespace platform = tw::platform;

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitFatal = 101;

constexpr std::string_view kSessionFlag = "--c5";
constexpr std::string_view kFenceFlag = "--execution-fence";

[[noreturn]] void endFatally(std::string_view diagnostic) {
  (void)tw::writeAll(platform::kStandardError, diagnostic);
  platform::endProcess(kExitFatal);
}

// Session mode: the fence is taken before the first byte of input is read and released after
// the session's last message has been written, whatever the session's outcome.
int runSessionMode(const platform::NativeText& fencePath) {
  tw::Result<tw::Fence, tw::FenceError> fence = tw::acquireFence(fencePath);
  if (!fence) return kExitFailure;  // "C5_FENCE_BUSY": nothing read, nothing written
  // The process ends right after the session: the threads it leaves end with it.
  const bool ended = tw::runSession(platform::kStandardInput, platform::kStandardOutput,
                                    tw::SessionEnd::WithTheProcess)
                         .ok();
  const int status = ended ? kExitSuccess : kExitFailure;
  fence->release();
  return status;
}

int runArithmeticModeOnStandardStreams() {
  return tw::runArithmeticMode(platform::kStandardInput, platform::kStandardOutput).ok()
             ? kExitSuccess
             : kExitFailure;
}

// Arguments are compared in the platform's own units, exactly; the program name is not among
// them.
int runFromCommandLine(int argc, char** argv) {
  const auto arguments = platform::processArguments(argc, argv);
  if (!arguments) return kExitFailure;
  const std::vector<platform::NativeText>& args = *arguments;
  if (args.empty()) return runArithmeticModeOnStandardStreams();
  if (args.size() == 3 && args[0].is(kSessionFlag) && args[1].is(kFenceFlag)) {
    return runSessionMode(args[2]);
  }
  return kExitFailure;
}

}  // namespace

int main(int argc, char** argv) {
  // A closed reader of standard output is a write failure, not the end of the process.
  platform::prepareProcess();
  // An exception escaping a thread (or anything else reaching terminate) is a fatal error.
  std::set_terminate([] { endFatally("tallywarden-worker: fatal error: terminated\n"); });
  int status;
  try {
    status = runFromCommandLine(argc, argv);
  } catch (...) {
    endFatally("tallywarden-worker: fatal error: unexpected exception\n");
  }
  // Every message went out with one write call, so nothing is buffered; threads a session left
  // blocked end with the process.
#ifdef TW_COVERAGE
  __gcov_dump();  // ending the process skips the exit handlers that would write the coverage counts
#endif
  platform::endProcess(status);
}
