// A line of input that either of two threads may prepare (prepareFrame) ahead of its judgement.
//
// The input thread prepares lines from the newest it has sent backwards, the driver from the
// oldest forwards; each claims a line before preparing it, so a line is prepared at most once,
// and neither thread ever waits for work the other has not begun. The driver, which judges
// every line in order, prepares a line itself when it claims it first, and otherwise takes the
// input thread's preparation, waiting only while that is being made.
#pragma once

#include <atomic>
#include <cassert>
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
    State open = State::Open;
    return state_.compare_exchange_strong(open, State::Claimed);
  }

  // Prepares the line. REQUIRES: the caller's claim() returned true.
  void prepare() {
    assert(state_.load() == State::Claimed);
    prepared_ = prepareFrame(text_);
    state_.store(State::Prepared);
    state_.notify_all();
  }

  // The preparation made by the thread that claimed the line, once it is made.
  // REQUIRES: claim() has returned true to another thread, and this is called once.
  [[nodiscard]] PreparedFrame takePrepared() {
    state_.wait(State::Claimed);
    assert(prepared_.has_value());
    return std::move(*prepared_);
  }

 private:
  enum class State : int { Open, Claimed, Prepared };

  const std::string text_;
  std::atomic<State> state_{State::Open};
  std::optional<PreparedFrame> prepared_;  // written before state_ becomes Prepared
};

}  // namespace tw
