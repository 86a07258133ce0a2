#include "worker/fence.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace tw {

namespace {

// The lowest three descriptors are the standard streams. A process started with one of them
// closed would otherwise get the fence on that number, and the session would then read or write
// the fence file in its place.
constexpr int kFirstNonStandardFd = 3;

void closeRetrying(int fd) {
  // On Linux the descriptor is gone even when close() reports EINTR, so it is never retried.
  (void)::close(fd);
}

}  // namespace

Fence::Fence(Fence&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

Fence& Fence::operator=(Fence&& other) noexcept {
  if (this != &other) {
    release();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

Fence::~Fence() {
  release();
}

void Fence::release() {
  if (fd_ >= 0) closeRetrying(std::exchange(fd_, -1));
}

Result<Fence, FenceError> acquireFence(const char* path) {
  // O_NOCTTY: a terminal given as the fence must not become the controlling terminal.
  int fd;
  do {
    fd = ::open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return fail(FenceError::Busy);

  if (fd < kFirstNonStandardFd) {
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, kFirstNonStandardFd);
    closeRetrying(fd);
    if (moved < 0) return fail(FenceError::Busy);
    fd = moved;
  }

  int locked;
  do {
    locked = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0) {
    closeRetrying(fd);
    return fail(FenceError::Busy);
  }
  return Fence(fd);
}

}  // namespace tw
