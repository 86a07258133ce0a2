#include "tallywarden/input_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "worker/fd_io.h"
#include "worker/platform.h"

namespace tw::tool {

InputFile::~InputFile() {
  if (owned_ && fd_ >= 0) platform::closeStream(fd_);
}

std::optional<InputFile> InputFile::open(std::string_view path, std::string& error) {
  if (path == "-") return InputFile(0, false, "standard input");
  const std::string name(path);
  if (name.empty()) {
    error = "an empty file name was given";
    return std::nullopt;
  }
  const int fd = platform::openForReading(name, error);
  if (fd < 0) return std::nullopt;
  return InputFile(fd, true, name);
}

bool InputFile::readBounded(size_t limit, std::string& bytes, bool& more, std::string& error) {
  size_t held = 0;
  const bool read = readBoundedInto(limit, bytes, held, more, error);
  bytes.resize(held);
  return read;
}

template <class Buffer>
bool InputFile::readBoundedInto(size_t limit, Buffer& buffer, size_t& held, bool& more,
                                std::string& error) {
  held = 0;
  more = false;
  // One byte beyond the limit tells whether the input holds more.
  const size_t wanted = limit < SIZE_MAX ? limit + 1 : limit;
  // Room for what a file holds, and for the read that finds its end, is made at once: grown by
  // doubling, the buffer would be copied at each step and filled with zeros up to twice the size.
  if (const std::optional<size_t> rest = platform::bytesWaiting(fd_)) {
    makeRoom(buffer, std::min(*rest, limit) + kBoundedReadChunkBytes);
  }
  if (tw::readBoundedInto(fd_, wanted, buffer, held) == BoundedRead::Failed) {
    error = "cannot read " + name_ + ": " + std::strerror(errno);
    return false;
  }
  more = held > limit;
  if (more) held = limit;
  return true;
}

template bool InputFile::readBoundedInto(size_t, std::string&, size_t&, bool&, std::string&);
template bool InputFile::readBoundedInto(size_t, ReadBuffer&, size_t&, bool&, std::string&);

}  // namespace tw::tool
