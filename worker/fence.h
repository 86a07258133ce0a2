// The execution fence: a file that a session-mode worker holds open exclusively for its whole
// run, so that two workers pointed at the same file never run a session at the same time.
//
// The file is opened for reading and writing, created empty when missing, never truncated, read
// or written, and not inherited by child processes. While it is held, a second acquisition on
// the same path (from this or any other process) fails at once; it succeeds once the holder has
// released it or ended. Every failure, whatever its cause, is the one code `FenceError::Busy`
// (reported as "C5_FENCE_BUSY" inside the process).
#pragma once

#include <cstdint>
#include <string_view>

#include "contracts/result.h"
#include "worker/platform.h"

namespace tw {

enum class FenceError : uint8_t {
  Busy,  // held by another worker, or not openable at all (missing directory, access denied, ...)
};

// The held fence. Move-only; releasing (or destroying) it closes the file, which frees it.
class Fence {
 public:
  Fence(Fence&& other) noexcept;
  Fence& operator=(Fence&& other) noexcept;
  Fence(const Fence&) = delete;
  Fence& operator=(const Fence&) = delete;
  ~Fence();

  bool held() const { return held_; }
  // Closes the file; the file itself stays where it is, unchanged. Idempotent.
  void release();

 private:
  friend Result<Fence, FenceError> acquireFence(const platform::NativeText& path);
  explicit Fence(platform::FileHandle file) : file_(file), held_(true) {}

  platform::FileHandle file_ = 0;
  bool held_ = false;
};

// Opens and holds `path`, used unchanged (an empty path fails like any unopenable one).
Result<Fence, FenceError> acquireFence(const platform::NativeText& path);
// The same for a path given as UTF-8 text.
Result<Fence, FenceError> acquireFence(std::string_view utf8Path);

}  // namespace tw
