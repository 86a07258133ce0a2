// Byte-level reading and writing on file descriptors, the only way the worker touches its
// standard streams. Nothing is buffered: a message goes out with one write call (repeated only
// for the remainder after a short write), so nothing can be lost when the process ends with
// std::_Exit. A closed reader is an ordinary write failure (see platform::prepareProcess).
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace tw {

// Writes every byte of `bytes` to `fd`. A short write or an interruption (EINTR) continues with
// the remainder; any other failure (EPIPE, EBADF, ...) returns false, possibly after part of the
// bytes went out.
bool writeAll(int fd, std::string_view bytes);
// The same through platform::lendSome. REQUIRES: `bytes` stay unchanged until they are read or
// the pipe is gone.
bool lendAll(int fd, std::string_view bytes);

// One read of at most `capacity` bytes, repeated while interrupted (EINTR). Returns the number
// of bytes read, 0 at end of input, or -1 on failure.
std::ptrdiff_t readRetrying(int fd, char* buffer, size_t capacity);

// The most a bounded read asks the descriptor for at a time: a buffer with this much room beyond
// what it holds takes the next read, the one that finds the end included, without growing.
constexpr size_t kBoundedReadChunkBytes = size_t{64} << 10;

enum class BoundedRead : unsigned char {
  EndOfInput,    // end of input reached with at most `limit` bytes held
  LimitReached,  // `limit` bytes are held; nothing beyond them was read
  Failed,        // a read failed; `out` holds what arrived before
};

// Bytes to read into, grown without writing into the new room (a std::string fills all it grows
// by with zeros): reads go straight into fresh memory, and what is never read into is never
// touched.
class ReadBuffer {
 public:
  ReadBuffer() = default;
  // A buffer moved from is left empty.
  ReadBuffer(ReadBuffer&& other) noexcept
      : bytes_(std::move(other.bytes_)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  ReadBuffer& operator=(ReadBuffer&& other) noexcept {
    bytes_ = std::move(other.bytes_);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
    return *this;
  }

  char* data() { return bytes_.get(); }
  const char* data() const { return bytes_.get(); }
  size_t size() const { return size_; }
  // `size` bytes long, the first of them (up to the old size) kept.
  void resize(size_t size);

 private:
  std::unique_ptr<char[]> bytes_;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

// Makes `buffer` at least `room` bytes long, keeping none of what it held (so none of it is copied
// when it grows).
void makeRoom(std::string& buffer, size_t room);
void makeRoom(ReadBuffer& buffer, size_t room);

// Appends to `out` what `fd` delivers until end of input or until `out` holds `limit` bytes,
// whichever comes first. Never asks the descriptor for a byte beyond the limit.
BoundedRead readBounded(int fd, size_t limit, std::string& out);
// The same, holding the bytes read in `buffer` from `held` on and counting them in `held`; what
// lies in `buffer` past `held` is room to read into, not kept, so a buffer kept from an earlier
// read is not written again before it is read into. REQUIRES: held <= buffer.size().
template <class Buffer>
BoundedRead readBoundedInto(int fd, size_t limit, Buffer& buffer, size_t& held);
extern template BoundedRead readBoundedInto(int, size_t, std::string&, size_t&);
extern template BoundedRead readBoundedInto(int, size_t, ReadBuffer&, size_t&);

}  // namespace tw
