#include "worker/fd_io.h"

#include <algorithm>
#include <cassert>
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
  size_t held = out.size();
  const BoundedRead read = readBoundedInto(fd, limit, out, held, pauseWhenDrained);
  out.resize(held);
  return read;
}

BoundedRead readBoundedInto(int fd, size_t limit, std::string& buffer, size_t& held,
                            std::chrono::microseconds pauseWhenDrained) {
  assert(held <= buffer.size());
  // Reads go straight into `buffer`, never asking the descriptor for more than is still
  // allowed; a large chunk lets one read take all a pipe holds. The buffer grows by doubling.
  constexpr size_t kChunkBytes = size_t{64} << 10;
  while (held < limit) {
    const size_t wanted = limit - held < kChunkBytes ? limit - held : kChunkBytes;
    if (buffer.size() < held + wanted) buffer.resize(std::max(held + wanted, 2 * buffer.size()));
    const std::ptrdiff_t count = readRetrying(fd, buffer.data() + held, wanted);
    if (count < 0) return BoundedRead::Failed;
    if (count == 0) return BoundedRead::EndOfInput;
    held += static_cast<size_t>(count);
    if (static_cast<size_t>(count) < wanted && pauseWhenDrained.count() > 0) {
      std::this_thread::sleep_for(pauseWhenDrained);
    }
  }
  return BoundedRead::LimitReached;
}

}  // namespace tw
