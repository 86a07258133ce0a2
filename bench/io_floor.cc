// The I/O floor of the session protocol: reads standard input to its end in 8192-byte reads
// (keeping nothing) and writes the lines of a file of expected output (made beforehand by the
// worker itself), one write() per line, doing nothing else. The expected output is loaded before
// standard input is read, with one read() into a buffer of the file's size, so that the floor
// pays for nothing the session itself would not. Timing it next to the worker on the
// same input shows how close the worker comes to the unavoidable cost of its own input and output.
// With --pipe-bytes N, it first widens its output pipe to N bytes, as the worker does, to show
// what that alone is worth to a process that does nothing else.
// Usage: io_floor [--pipe-bytes N] EXPECTED_OUTPUT_FILE < session-input
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

constexpr size_t kReadBytes = 8192;  // the worker's own read size

// Reads `fd` to its end in reads of kReadBytes, keeping nothing.
bool drain(int fd) {
  char buffer[kReadBytes];
  for (;;) {
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got == 0) return true;
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
  }
}

// The whole of the regular file `path`, read into a buffer of its size (one read() unless the
// system returns less); false when it cannot be opened or read, or changes size meanwhile.
bool loadFile(const char* path, std::unique_ptr<char[]>& data, size_t& size) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info {};
  if (fstat(fd, &info) != 0 || info.st_size < 0) {
    close(fd);
    return false;
  }
  size = static_cast<size_t>(info.st_size);
  data = std::make_unique_for_overwrite<char[]>(size + 1);
  size_t have = 0;
  for (;;) {
    // One byte more than the file holds, so that a file that has grown is noticed.
    ssize_t got = read(fd, data.get() + have, size + 1 - have);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    have += static_cast<size_t>(got);
    if (have > size) break;
  }
  close(fd);
  return have == size;
}

bool writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t put = write(fd, data, size);
    if (put < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += put;
    size -= static_cast<size_t>(put);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const bool widen = argc == 4 && std::string(argv[1]) == "--pipe-bytes";
  if (argc != 2 && !widen) {
    std::fprintf(stderr, "usage: io_floor [--pipe-bytes N] EXPECTED_OUTPUT_FILE < input\n");
    return 2;
  }
  if (widen) (void)fcntl(1, F_SETPIPE_SZ, std::atoi(argv[2]));
  std::unique_ptr<char[]> expected;
  size_t size = 0;
  if (!loadFile(argv[argc - 1], expected, size)) return 2;
  if (!drain(0)) return 1;
  const char* const end = expected.get() + size;
  for (const char* line = expected.get(); line != end;) {
    const void* feed = std::memchr(line, '\n', static_cast<size_t>(end - line));
    const char* next = feed == nullptr ? end : static_cast<const char*>(feed) + 1;
    if (!writeAll(1, line, static_cast<size_t>(next - line))) return 1;
    line = next;
  }
  return 0;
}
