#include "worker/fd_io.h"

#include "worker/platform.h"

namespace tw {

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const std::ptrdiff_t written = platform::writeSome(fd, bytes.data(), bytes.size());
    // A write of a non-empty buffer that reports 0 bytes would loop for ever.
    if (written <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

std::ptrdiff_t readRetrying(int fd, char* buffer, size_t capacity) {
  return platform::readSome(fd, buffer, capacity);
}

BoundedRead readBounded(int fd, size_t limit, std::string& out) {
  // Small chunks keep the read side honest: the descriptor is never asked for more than what is
  // still allowed.
  constexpr size_t kChunkBytes = 4096;
  char chunk[kChunkBytes];
  while (out.size() < limit) {
    const size_t wanted = limit - out.size() < kChunkBytes ? limit - out.size() : kChunkBytes;
    const std::ptrdiff_t count = readRetrying(fd, chunk, wanted);
    if (count < 0) return BoundedRead::Failed;
    if (count == 0) return BoundedRead::EndOfInput;
    out.append(chunk, static_cast<size_t>(count));
  }
  return BoundedRead::LimitReached;
}

}  // namespace tw
