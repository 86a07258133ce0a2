#include "worker/fd_io.h"

#include <unistd.h>

#include <cerrno>

namespace tw {

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    // A write of a non-empty buffer that reports 0 bytes would loop for ever.
    if (written == 0) return false;
    bytes.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

ssize_t readRetrying(int fd, char* buffer, size_t capacity) {
  for (;;) {
    const ssize_t count = ::read(fd, buffer, capacity);
    if (count >= 0 || errno != EINTR) return count;
  }
}

BoundedRead readBounded(int fd, size_t limit, std::string& out) {
  // Small chunks keep the read side honest: the descriptor is never asked for more than what is
  // still allowed.
  constexpr size_t kChunkBytes = 4096;
  char chunk[kChunkBytes];
  while (out.size() < limit) {
    const size_t wanted = limit - out.size() < kChunkBytes ? limit - out.size() : kChunkBytes;
    const ssize_t count = readRetrying(fd, chunk, wanted);
    if (count < 0) return BoundedRead::Failed;
    if (count == 0) return BoundedRead::EndOfInput;
    out.append(chunk, static_cast<size_t>(count));
  }
  return BoundedRead::LimitReached;
}

}  // namespace tw
