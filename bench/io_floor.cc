// The I/O floor of the session protocol: reads standard input to its end in 8192-byte reads
// (keeping nothing) and writes the lines of a file of expected output (made beforehand by the
// worker itself), one write() per line, doing nothing else. Timing it next to the worker on the
// same input shows how close the worker comes to the unavoidable cost of its own input and output.
// With --pipe-bytes N, it first widens its output pipe to N bytes, as the worker does, to show
// what that alone is worth to a process that does nothing else.
// Usage: io_floor [--pipe-bytes N] EXPECTED_OUTPUT_FILE < session-input
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr size_t kReadBytes = 8192;  // the worker's own read size

// Reads `fd` to its end; appends what arrives to `out` unless it is null.
bool readAll(int fd, std::string* out) {
  char buffer[kReadBytes];
  for (;;) {
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got == 0) return true;
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (out) out->append(buffer, static_cast<size_t>(got));
  }
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
  std::string expected;
  int fd = open(argv[argc - 1], O_RDONLY | O_CLOEXEC);
  if (fd < 0 || !readAll(fd, &expected)) return 2;
  close(fd);
  if (!readAll(0, nullptr)) return 1;
  size_t start = 0;
  while (start < expected.size()) {
    size_t end = expected.find('\n', start);
    end = end == std::string::npos ? expected.size() : end + 1;
    if (!writeAll(1, expected.data() + start, end - start)) return 1;
    start = end;
  }
  return 0;
}
