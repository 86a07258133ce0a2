// A PairRunner with one helper thread: the second piece of each call runs on the helper while the
// first runs on the caller. The helper is started with the runner and waits for work between
// calls, so a run that asks several times pays for one thread start. A second piece the helper
// has not taken by the time the first is done runs on the caller, so a busy machine costs no more
// than running serially. When no thread can be started, every call runs serially.
#pragma once

#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>

#include "engine/parallel.h"

namespace tw {

class ThreadPairRunner final : public PairRunner {
 public:
  ThreadPairRunner();
  ~ThreadPairRunner() override;
  ThreadPairRunner(const ThreadPairRunner&) = delete;
  ThreadPairRunner& operator=(const ThreadPairRunner&) = delete;

  // An exception of either piece is thrown again here, once both have ended (the first's
  // before the second's).
  // REQUIRES: called from one thread at a time.
  void both(FunctionRef first, FunctionRef second) const override;

 private:
  void serve();

  mutable std::mutex mutex_;
  mutable std::condition_variable workReady_;
  mutable std::condition_variable workDone_;
  mutable std::optional<FunctionRef> pending_;  // the second piece, until someone takes it
  mutable bool helperDone_ = false;
  mutable std::exception_ptr error_;
  bool stopping_ = false;
  std::thread helper_;
};

}  // namespace tw
