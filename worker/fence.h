// The execution fence: a file that a session-mode worker holds open exclusively for its whole
// run, so that two workers pointed at the same file never run a session at the same time.
//
// The file is opened for reading and writing, created empty when missing, never truncated, read
// or written, and not inherited by child processes. Exclusivity is a non-blocking exclusive
// whole-file lock on the open file: a second acquisition on the same path (from this or any other
// process) fails at once while the first is held, and succeeds once the holder has released it
// or ended. Every failure, whatever its cause, is the one code `FenceError::Busy` (reported as
// "C5_FENCE_BUSY" inside the process).
#pragma once

#include <cstdint>

#include "contracts/result.h"

namespace tw {

enum class FenceError : uint8_t {
  Busy,  // held by another worker, or not openable at all (missing directory, access denied, ...)
};

// The held fence. Move-only; releasing (or destroying) it closes the file, which frees the lock.
class Fence {
 public:
  Fence(Fence&& other) noexcept;
  Fence& operator=(Fence&& other) noexcept;
  Fence(const Fence&) = delete;
  Fence& operator=(const Fence&) = delete;
  ~Fence();

  bool held() const { return fd_ >= 0; }
  // Closes the file; the file itself stays where it is, unchanged. Idempotent.
  void release();

 private:
  friend Result<Fence, FenceError> acquireFence(const char* path);
  explicit Fence(int fd) : fd_(fd) {}

  int fd_ = -1;
};

// Opens and locks `path`, used unchanged (an empty path fails like any unopenable one).
Result<Fence, FenceError> acquireFence(const char* path);

}  // namespace tw
