// Opening the files the companion reads, refusing cleanly what cannot be read as a file.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace tw::tool {

// A descriptor open for reading: standard input for "-", else the file at `path`. Closes it
// when it goes (standard input excepted).
class InputFile {
 public:
  InputFile() = default;
  ~InputFile();
  InputFile(InputFile&& other) noexcept
      : fd_(other.fd_), owned_(other.owned_), name_(std::move(other.name_)) {
    other.fd_ = -1;
    other.owned_ = false;
  }
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  InputFile& operator=(InputFile&&) = delete;

  // The file, or one sentence for a person saying why it cannot be read (missing, a directory,
  // not readable).
  static std::optional<InputFile> open(std::string_view path, std::string& error);

  int fd() const { return fd_; }

  // Reads at most `limit` bytes; `more` tells whether the input holds more. False with a
  // sentence in `error` when reading fails.
  bool readBounded(size_t limit, std::string& bytes, bool& more, std::string& error);
  // The same into `buffer`'s first `held` bytes; what lies beyond them is room, not kept, so a
  // buffer kept from an earlier read is not filled with zeros again.
  // REQUIRES: `Buffer` is std::string or ReadBuffer (worker/fd_io.h).
  template <class Buffer>
  bool readBoundedInto(size_t limit, Buffer& buffer, size_t& held, bool& more, std::string& error);

 private:
  explicit InputFile(int fd, bool owned, std::string name)
      : fd_(fd), owned_(owned), name_(std::move(name)) {}
  int fd_ = -1;
  bool owned_ = false;
  std::string name_;
};

}  // namespace tw::tool
