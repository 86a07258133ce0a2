#include "worker/fd_io.h"

#include <algorithm>
#include <cassert>

#include "worker/platform.h"

namespace tw {

namespace {

template <typename Write>
bool writeEvery(int fd, std::string_view bytes, Write write) {
  while (!bytes.empty()) {
    const std::ptrdiff_t written = write(fd, bytes.data(), bytes.size());
    // A write of a non-empty buffer that reports 0 bytes would loop for ever.
    if (written <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

}  // namespace

bool writeAll(int fd, std::string_view bytes) {
  return writeEvery(fd, bytes, platform::writeSome);
}

bool lendAll(int fd, std::string_view bytes) {
  return writeEvery(fd, bytes, platform::lendSome);
}

std::ptrdiff_t readRetrying(int fd, char* buffer, size_t capacity) {
  return platform::readSome(fd, buffer, capacity);
}

BoundedRead readBounded(int fd, size_t limit, std::string& out) {
  size_t held = out.size();
  const BoundedRead read = readBoundedInto(fd, limit, out, held);
  out.resize(held);
  return read;
}

BoundedRead readBoundedInto(int fd, size_t limit, std::string& buffer, size_t& held) {
  assert(held <= buffer.size());
  // Reads go straight into `buffer`, never asking the descriptor for more than is still
  // allowed; a large chunk lets one read take all a pipe holds. The buffer grows by doubling.
  while (held < limit) {
    const size_t wanted =
        limit - held < kBoundedReadChunkBytes ? limit - held : kBoundedReadChunkBytes;
    if (buffer.size() < held + wanted) buffer.resize(std::max(held + wanted, 2 * buffer.size()));
    const std::ptrdiff_t count = readRetrying(fd, buffer.data() + held, wanted);
    if (count < 0) return BoundedRead::Failed;
    if (count == 0) return BoundedRead::EndOfInput;
    held += static_cast<size_t>(count);
  }
  return BoundedRead::LimitReached;
}

}  // namespace tw
