// A bounded channel between one producing and one consuming thread.
//
// makeChannel gives the two ends, which share the channel's state. send blocks while the channel
// is full (trySend never does); the receiving calls block without limit (recv), up to a duration
// (recvFor) or not at all (tryRecv). Destroying or closing an end is seen by the other: a receiver
// learns that the producer is gone once the queued values are drained, and a sender learns that no
// one will receive, so neither side ever waits for a partner that has left. A third thread may
// end a receiver's timed wait early through a Nudger, to have it look at something else.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace tw {

enum class ChannelStatus {
  Value,   // a value was received
  Empty,   // nothing arrived in time (recvFor, tryRecv)
  Closed,  // the producer is gone and nothing is queued
};

enum class SendStatus {
  Sent,  // the value is queued
  Full,  // the channel is full; the value is left as it was (trySend)
  Gone,  // the consumer is gone; nothing is queued
};

template <class T>
struct Received {
  ChannelStatus status = ChannelStatus::Empty;
  std::optional<T> value;  // set exactly when status is Value
};

namespace detail {

template <class T>
struct ChannelState {
  explicit ChannelState(size_t cap) : capacity(cap) {}

  std::mutex mutex;
  std::condition_variable changed;  // a value, a free slot, or a departure
  std::deque<T> queue;
  const size_t capacity;
  bool producerGone = false;
  bool consumerGone = false;
  bool nudged = false;  // a timed wait is to end early, once
};

}  // namespace detail

template <class T>
class Sender {
 public:
  Sender() = default;
  explicit Sender(std::shared_ptr<detail::ChannelState<T>> state) : state_(std::move(state)) {}
  Sender(Sender&&) noexcept = default;
  Sender& operator=(Sender&& other) noexcept {
    if (this != &other) {
      close();
      state_ = std::move(other.state_);
    }
    return *this;
  }
  Sender(const Sender&) = delete;
  Sender& operator=(const Sender&) = delete;
  ~Sender() { close(); }

  // Blocks while the channel is full. False, with `value` dropped, when the consumer is gone.
  bool send(T value) {
    if (!state_) return false;
    std::unique_lock lock(state_->mutex);
    state_->changed.wait(
        lock, [&] { return state_->consumerGone || state_->queue.size() < state_->capacity; });
    if (state_->consumerGone) return false;
    state_->queue.push_back(std::move(value));
    state_->changed.notify_all();
    return true;
  }

  // Never waits: queues `value` (moving from it) only when there is room.
  SendStatus trySend(T& value) {
    if (!state_) return SendStatus::Gone;
    std::lock_guard lock(state_->mutex);
    if (state_->consumerGone) return SendStatus::Gone;
    if (state_->queue.size() >= state_->capacity) return SendStatus::Full;
    state_->queue.push_back(std::move(value));
    state_->changed.notify_all();
    return SendStatus::Sent;
  }

  // The producer leaves; the consumer still receives what is queued, then Closed.
  void close() {
    if (!state_) return;
    {
      std::lock_guard lock(state_->mutex);
      state_->producerGone = true;
    }
    state_->changed.notify_all();
    state_.reset();
  }

 private:
  std::shared_ptr<detail::ChannelState<T>> state_;
};

template <class T>
class Nudger;

template <class T>
class Receiver {
 public:
  Receiver() = default;
  explicit Receiver(std::shared_ptr<detail::ChannelState<T>> state) : state_(std::move(state)) {}
  Receiver(Receiver&&) noexcept = default;
  Receiver& operator=(Receiver&& other) noexcept {
    if (this != &other) {
      close();
      state_ = std::move(other.state_);
    }
    return *this;
  }
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;
  ~Receiver() { close(); }

  // Blocks until a value arrives or the producer is gone.
  Received<T> recv() {
    if (!state_) return {ChannelStatus::Closed, std::nullopt};
    std::unique_lock lock(state_->mutex);
    state_->changed.wait(lock, [&] { return !state_->queue.empty() || state_->producerGone; });
    return take();
  }

  // Waits at most `timeout`, or until nudged; Empty when nothing arrived by then.
  template <class Rep, class Period>
  Received<T> recvFor(std::chrono::duration<Rep, Period> timeout) {
    if (!state_) return {ChannelStatus::Closed, std::nullopt};
    std::unique_lock lock(state_->mutex);
    state_->changed.wait_for(lock, timeout, [&] {
      return !state_->queue.empty() || state_->producerGone || state_->nudged;
    });
    state_->nudged = false;
    return take();
  }

  // Waits at most `timeout` until a value is queued or the producer is gone; takes nothing.
  template <class Rep, class Period>
  void waitFor(std::chrono::duration<Rep, Period> timeout) {
    if (!state_) return;
    std::unique_lock lock(state_->mutex);
    state_->changed.wait_for(lock, timeout,
                             [&] { return !state_->queue.empty() || state_->producerGone; });
  }

  // Never waits.
  Received<T> tryRecv() {
    if (!state_) return {ChannelStatus::Closed, std::nullopt};
    std::unique_lock lock(state_->mutex);
    return take();
  }

  // A handle through which another thread may end this receiver's timed waits early.
  Nudger<T> nudger() const { return Nudger<T>(state_); }

  // The consumer leaves: queued values are dropped and blocked or later sends fail.
  void close() {
    if (!state_) return;
    {
      std::lock_guard lock(state_->mutex);
      state_->consumerGone = true;
      state_->queue.clear();
    }
    state_->changed.notify_all();
    state_.reset();
  }

 private:
  // Called with the lock held.
  Received<T> take() {
    if (!state_->queue.empty()) {
      Received<T> received{ChannelStatus::Value, std::move(state_->queue.front())};
      state_->queue.pop_front();
      state_->changed.notify_all();
      return received;
    }
    return {state_->producerGone ? ChannelStatus::Closed : ChannelStatus::Empty, std::nullopt};
  }

  std::shared_ptr<detail::ChannelState<T>> state_;
};

// Ends the receiver's current or next recvFor early (with what is queued, or Empty). Any thread
// may nudge; a nudge after the channel is gone does nothing.
template <class T>
class Nudger {
 public:
  Nudger() = default;
  explicit Nudger(std::weak_ptr<detail::ChannelState<T>> state) : state_(std::move(state)) {}

  void nudge() const {
    std::shared_ptr<detail::ChannelState<T>> state = state_.lock();
    if (!state) return;
    {
      std::lock_guard lock(state->mutex);
      state->nudged = true;
    }
    state->changed.notify_all();
  }

 private:
  std::weak_ptr<detail::ChannelState<T>> state_;
};

template <class T>
std::pair<Sender<T>, Receiver<T>> makeChannel(size_t capacity) {
  auto state = std::make_shared<detail::ChannelState<T>>(capacity);
  return {Sender<T>(state), Receiver<T>(state)};
}

}  // namespace tw
