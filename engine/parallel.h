// The seam through which a caller may lend a run a second core. The engine itself starts no
// thread: where two pieces of its work are independent, it hands both to a PairRunner, which may
// run them at once. Each piece writes only its own output, and the run combines the outputs in
// the order a serial run would have made them, so the result and the code never depend on
// whether, or how, the two pieces overlapped.
#pragma once

#include <type_traits>
#include <utility>

namespace tw {

// A non-owning reference to a callable `void()`; the callable must outlive the reference.
class FunctionRef {
 public:
  template <class F, class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, FunctionRef>>>
  FunctionRef(F&& f)  // NOLINT(google-explicit-constructor): meant to convert at call sites
      : object_(const_cast<void*>(static_cast<const void*>(&f))),
        call_([](void* object) { (*static_cast<std::remove_reference_t<F>*>(object))(); }) {}

  void operator()() const { call_(object_); }

 private:
  void* object_;
  void (*call_)(void*);
};

class PairRunner {
 public:
  virtual ~PairRunner() = default;
  // Runs `first` and `second`, possibly at the same time, and returns when both have returned.
  // REQUIRES: neither throws, or the runner passes on the exception after both have ended.
  virtual void both(FunctionRef first, FunctionRef second) const = 0;
};

// Runs both pieces on the calling thread, `first` first; what a null runner means.
inline void runBoth(const PairRunner* runner, FunctionRef first, FunctionRef second) {
  if (runner != nullptr) {
    runner->both(first, second);
    return;
  }
  first();
  second();
}

}  // namespace tw
