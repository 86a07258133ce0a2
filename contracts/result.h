// A value or one error code. Every fallible operation of the system returns one of these
// instead of throwing; the code is the first check that failed, in the documented order.
#pragma once

#include <optional>
#include <utility>
#include <variant>

namespace tw {

// Wraps an error code so that Result<T, E> can be built from it even when T and E convert
// into each other.
template <class E>
struct Failure {
  E code;
};

template <class E>
Failure<E> fail(E code) {
  return Failure<E>{code};
}

template <class T, class E>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(Failure<E> failure) : state_(std::in_place_index<1>, failure.code) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }

  E error() const { return std::get<1>(state_); }

 private:
  std::variant<T, E> state_;
};

// Success or one error code.
template <class E>
class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(Failure<E> failure) : code_(failure.code) {}

  static Status success() { return Status(); }
  bool ok() const { return !code_.has_value(); }
  explicit operator bool() const { return ok(); }
  E error() const { return *code_; }

 private:
  std::optional<E> code_;
};

}  // namespace tw
