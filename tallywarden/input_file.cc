#include "tallywarden/input_file.h"

#include <cerrno>
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
  constexpr size_t kChunk = size_t{1} << 16;
  bytes.clear();
  more = false;
  for (;;) {
    const size_t at = bytes.size();
    bytes.resize(at + kChunk);
    const std::ptrdiff_t got = readRetrying(fd_, bytes.data() + at, kChunk);
    bytes.resize(at + static_cast<size_t>(got > 0 ? got : 0));
    if (got < 0) {
      error = "cannot read " + name_ + ": " + std::strerror(errno);
      return false;
    }
    if (got == 0) return true;
    if (bytes.size() > limit) {
      bytes.resize(limit);
      more = true;
      return true;
    }
  }
}

}  // namespace tw::tool
