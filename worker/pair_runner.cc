#include "worker/pair_runner.h"

#include <system_error>
#include <utility>

namespace tw {
namespace {

// Runs `work`; what it throws is handed back instead.
std::exception_ptr runCatching(FunctionRef work) noexcept {
  try {
    work();
  } catch (...) {
    return std::current_exception();
  }
  return nullptr;
}

}  // namespace

ThreadPairRunner::ThreadPairRunner() {
  try {
    helper_ = std::thread([this] { serve(); });
  } catch (const std::system_error&) {
    // Without a helper every call runs its pieces one after the other.
  }
}

ThreadPairRunner::~ThreadPairRunner() {
  if (!helper_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  workReady_.notify_one();
  helper_.join();
}

void ThreadPairRunner::serve() {
  std::unique_lock lock(mutex_);
  for (;;) {
    workReady_.wait(lock, [this] { return stopping_ || pending_.has_value(); });
    if (stopping_) return;
    const FunctionRef work = *pending_;
    pending_.reset();
    lock.unlock();
    std::exception_ptr error = runCatching(work);
    lock.lock();
    error_ = std::move(error);
    helperDone_ = true;
    workDone_.notify_one();
  }
}

void ThreadPairRunner::both(FunctionRef first, FunctionRef second) const {
  if (!helper_.joinable()) {
    first();
    second();
    return;
  }
  {
    std::lock_guard lock(mutex_);
    pending_ = second;
    helperDone_ = false;
  }
  workReady_.notify_one();
  const std::exception_ptr firstError = runCatching(first);
  std::exception_ptr secondError;
  std::unique_lock lock(mutex_);
  if (pending_.has_value()) {
    // The helper has not taken the second piece (its core is busy elsewhere): it runs here.
    pending_.reset();
    lock.unlock();
    secondError = runCatching(second);
  } else {
    workDone_.wait(lock, [this] { return helperDone_; });
    secondError = std::exchange(error_, nullptr);
    lock.unlock();
  }
  if (firstError) std::rethrow_exception(firstError);
  if (secondError) std::rethrow_exception(secondError);
}

}  // namespace tw
