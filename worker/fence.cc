#include "worker/fence.h"

#include <utility>

namespace tw {

Fence::Fence(Fence&& other) noexcept
    : file_(other.file_), held_(std::exchange(other.held_, false)) {}

Fence& Fence::operator=(Fence&& other) noexcept {
  if (this != &other) {
    release();
    file_ = other.file_;
    held_ = std::exchange(other.held_, false);
  }
  return *this;
}

Fence::~Fence() {
  release();
}

void Fence::release() {
  if (std::exchange(held_, false)) platform::closeExclusive(file_);
}

Result<Fence, FenceError> acquireFence(const platform::NativeText& path) {
  std::optional<platform::FileHandle> file = platform::openExclusive(path);
  if (!file) return fail(FenceError::Busy);
  return Fence(*file);
}

Result<Fence, FenceError> acquireFence(std::string_view utf8Path) {
  return acquireFence(platform::NativeText::fromUtf8(utf8Path));
}

}  // namespace tw
