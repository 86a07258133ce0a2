// A line of input that either of two threads may prepare (prepareFrame) ahead of its judgement.
//
// The input thread prepares lines from the newest it has sent backwards, the driver from the
// oldest forwards; each claims a line before preparing it, so a line is prepared at most once,
// and neither thread ever waits for work the other has not begun. The driver, which judges
// every line in order, prepares a line itself when it claims it first, and otherwise takes the
// input thread's preparation, waiting only while that is being made.
#pragma once

#include <cassert>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "worker/frames.h"

namespace tw {

class PreparableLine {
 public:
  explicit PreparableLine(std::string text) : text_(std::move(text)) {}
  PreparableLine(const PreparableLine&) = delete;
  PreparableLine& operator=(const PreparableLine&) = delete;

  // The line, line feed included; never changes.
  [[nodiscard]] const std::string& text() const { return text_; }

  // True for the one caller, of all callers on all threads, that is to prepare the line.
  [[nodiscard]] bool claim() {
    std::lock_guard lock(mutex_);
    if (state_ != State::Open) return false;
    state_ = State::Claimed;
    return true;
  }

  // Prepares the line. REQUIRES: the caller's claim() returned true.
  void prepare() {
    PreparedFrame prepared = prepareFrame(text_);
    {
      std::lock_guard lock(mutex_);
      assert(state_ == State::Claimed);
      prepared_ = std::move(prepared);
      state_ = State::Prepared;
    }
    done_.notify_all();
  }

  // The preparation made by the thread that claimed the line, once it is made.
  // REQUIRES: claim() has returned true to another thread, and this is called once.
  [[nodiscard]] PreparedFrame takePrepared() {
    std::unique_lock lock(mutex_);
    done_.wait(lock, [this] { return state_ == State::Prepared; });
    return std::move(*prepared_);
  }

 private:
  enum class State { Open, Claimed, Prepared };

  const std::string text_;
  std::mutex mutex_;
  std::condition_variable done_;
  State state_ = State::Open;
  std::optional<PreparedFrame> prepared_;
};

}  // namespace tw
