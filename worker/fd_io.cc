#include "worker/fd_io.h"

#include <algorithm>
#include <cassert>
#include <cstring>

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

void ReadBuffer::resize(size_t size) {
  if (size > capacity_) {
    std::unique_ptr<char[]> grown = std::make_unique_for_overwrite<char[]>(size);
    if (size_ > 0) std::memcpy(grown.get(), bytes_.get(), size_);
    bytes_ = std::move(grown);
    capacity_ = size;
  }
  size_ = size;
}

void makeRoom(std::string& buffer, size_t room) {
  if (buffer.size() >= room) return;
  buffer.clear();
  buffer.resize(room);
}

void makeRoom(ReadBuffer& buffer, size_t room) {
  if (buffer.size() >= room) return;
  buffer = ReadBuffer();
  buffer.resize(room);
}

template <class Buffer>
BoundedRead readBoundedInto(int fd, size_t limit, Buffer& buffer, size_t& held) {
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

template BoundedRead readBoundedInto(int, size_t, std::string&, size_t&);
template BoundedRead readBoundedInto(int, size_t, ReadBuffer&, size_t&);

}  // namespace tw
