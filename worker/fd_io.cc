#include "worker/fd_io.h"

#include <thread>

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

BoundedRead readBounded(int fd, size_t limit, std::string& out,
                        std::chrono::microseconds pauseWhenDrained) {
  // Reads go straight into `out`, never asking the descriptor for more than is still allowed; a
  // large chunk lets one read take all a pipe holds.
  constexpr size_t kChunkBytes = size_t{64} << 10;
  while (out.size() < limit) {
    const size_t had = out.size();
    const size_t wanted = limit - had < kChunkBytes ? limit - had : kChunkBytes;
    out.resize(had + wanted);
    const std::ptrdiff_t count = readRetrying(fd, out.data() + had, wanted);
    out.resize(had + (count > 0 ? static_cast<size_t>(count) : 0));
    if (count < 0) return BoundedRead::Failed;
    if (count == 0) return BoundedRead::EndOfInput;
    if (static_cast<size_t>(count) < wanted && pauseWhenDrained.count() > 0) {
      std::this_thread::sleep_for(pauseWhenDrained);
    }
  }
  return BoundedRead::LimitReached;
}

}  // namespace tw
