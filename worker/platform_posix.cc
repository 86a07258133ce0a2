// The platform seam on POSIX systems (Linux and glibc for the heap settings).
#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "worker/platform.h"

namespace tw::platform {

namespace {

// The lowest three descriptors are the standard streams. A process started with one of them
// closed would otherwise get a new file on that number, and the session would then read or write
// that file in its place.
constexpr int kFirstNonStandardFd = kStandardError + 1;

void closeOnce(int fd) {
  // On Linux the descriptor is gone even when close() reports EINTR, so it is never retried.
  (void)::close(fd);
}

// A descriptor moved above the standard numbers (closing `fd`), or `fd` itself; -1 on failure.
int aboveStandardStreams(int fd) {
  if (fd >= kFirstNonStandardFd) return fd;
  const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, kFirstNonStandardFd);
  closeOnce(fd);
  return moved;
}

}  // namespace

void prepareProcess() {
  // A closed reader of standard output must be a write failure (EPIPE), not the end of the
  // process by a signal.
  ::signal(SIGPIPE, SIG_IGN);
}

void endProcess(int status) {
  std::_Exit(status);
}

NativeText NativeText::fromUtf8(std::string_view text) {
  return NativeText(std::string(text));
}

bool NativeText::is(std::string_view ascii) const {
  return units_ == ascii;
}

std::optional<std::vector<NativeText>> processArguments(int argc, char** argv) {
  std::vector<NativeText> arguments;
  for (int i = 1; i < argc; ++i) arguments.emplace_back(std::string(argv[i]));
  return arguments;
}

std::optional<FileHandle> openExclusive(const NativeText& path) {
  // Arguments cannot hold a NUL byte; a text that does names no file.
  if (path.units().find('\0') != std::string::npos) return std::nullopt;
  // O_NOCTTY: a terminal given as the fence must not become the controlling terminal.
  int fd;
  do {
    fd = ::open(path.units().c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::nullopt;
  fd = aboveStandardStreams(fd);
  if (fd < 0) return std::nullopt;

  // Exclusivity is a non-blocking exclusive whole-file lock on the open file.
  int locked;
  do {
    locked = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0) {
    closeOnce(fd);
    return std::nullopt;
  }
  return FileHandle{fd};
}

void closeExclusive(FileHandle file) {
  closeOnce(static_cast<int>(file));
}

std::ptrdiff_t readSome(int stream, char* buffer, size_t capacity) {
  for (;;) {
    const ssize_t count = ::read(stream, buffer, capacity);
    if (count >= 0 || errno != EINTR) return count;
  }
}

std::ptrdiff_t writeSome(int stream, const char* bytes, size_t size) {
  for (;;) {
    const ssize_t count = ::write(stream, bytes, size);
    if (count >= 0 || errno != EINTR) return count;
  }
}

int duplicateStream(int stream) {
  return ::fcntl(stream, F_DUPFD_CLOEXEC, kFirstNonStandardFd);
}

void closeStream(int stream) {
  closeOnce(stream);
}

void sleepMilliseconds(uint64_t ms) {
  timespec deadline{};
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += static_cast<time_t>(ms / 1000);
  deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
}

namespace {

// Two heap arenas: the input thread, the first thread to allocate, gets the second one, so that
// it and the driver do not take turns at one lock while both read entries frames (each frame
// makes hundreds of allocations; sharing the lock made two threads no faster than one). Every
// later thread shares the main heap, the engine above all: it reuses what the driver's decoding
// freed instead of faulting in fresh pages of an arena of its own, and it gets the huge pages
// asked for below. That holds as long as the input thread lives, since the arena of a thread
// that has ended goes to the next thread that starts, which is why the session's input thread
// stays until the session is over.
//
// Large blocks (the held entries) stay on the main heap too, for the same reason; it grows in
// large steps and is never trimmed, since the process ends with the session. Untouched address
// space costs no memory: the peak resident size stays what the data needs.
constexpr int kSessionHeapArenas = 2;
constexpr int kHeapGrowthPadBytes = 64 << 20;
constexpr int kLargeBlockBytes = 32 << 20;  // glibc's largest mmap threshold on 64-bit systems
constexpr int kNeverTrimBytes = 1 << 30;

constexpr uintptr_t kHugePageBytes = uintptr_t{2} << 20;
constexpr size_t kHeapProbeBytes = size_t{1} << 20;

// The heap of a large session grows by tens of megabytes within milliseconds; faulted in 4 KiB
// at a time that is thousands of page faults. The first block allocated after the settings
// above makes the heap grow by the whole pad, so that the heap's address range up to the break
// is known; it is marked for transparent huge pages (where the system has them on request) and
// the block is freed again. Nothing is touched, so nothing becomes resident before it is used.
// When the heap is not where the break is (another allocator), nothing is marked.
//
// The heap below the first huge page boundary would still be faulted in 4 KiB at a time, and it
// is what the next allocations take: it is held by one block for the life of the process, never
// touched, so that they come from the huge pages instead.
void* heldHeapHead = nullptr;

void askForHugePages() {
  void* probe = ::malloc(kHeapProbeBytes);
  if (probe == nullptr) return;
  const auto start = reinterpret_cast<uintptr_t>(probe);
  const auto end = reinterpret_cast<uintptr_t>(::sbrk(0));
  const uintptr_t first = (start + kHugePageBytes - 1) & ~(kHugePageBytes - 1);
  const bool marked = end > first && end - first <= uintptr_t{2} * kHeapGrowthPadBytes;
  if (marked) {
    // Advice only: refused or ignored, the heap is just faulted in as usual.
    (void)::madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
  }
  ::free(probe);
  if (marked && first > start && heldHeapHead == nullptr) heldHeapHead = ::malloc(first - start);
}

}  // namespace

void prepareSessionHeap() {
  ::mallopt(M_ARENA_MAX, kSessionHeapArenas);
  ::mallopt(M_TOP_PAD, kHeapGrowthPadBytes);
  ::mallopt(M_MMAP_THRESHOLD, kLargeBlockBytes);
  ::mallopt(M_TRIM_THRESHOLD, kNeverTrimBytes);
  askForHugePages();
}

void widenPipe(int stream, size_t bytes) {
  const int now = ::fcntl(stream, F_GETPIPE_SZ);  // fails unless `stream` is a pipe
  if (now < 0 || static_cast<size_t>(now) >= bytes || bytes > INT_MAX) return;
  (void)::fcntl(stream, F_SETPIPE_SZ, static_cast<int>(bytes));
}

void lowerThisThreadPriority() {
  const sched_param idle{};
  (void)::pthread_setschedparam(::pthread_self(), SCHED_IDLE, &idle);
}

int currentProcessor() {
  return ::sched_getcpu();
}

namespace {
thread_local bool keptOff = false;
thread_local cpu_set_t processorsBefore;
}  // namespace

bool keepThisThreadOff(int processor) {
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (keptOff || processor < 0 || processor >= CPU_SETSIZE) return false;
  if (::sched_getaffinity(0, sizeof allowed, &allowed) != 0) return false;  // 0: the calling thread
  if (!CPU_ISSET(processor, &allowed) || CPU_COUNT(&allowed) < 2) return false;
  processorsBefore = allowed;
  CPU_CLR(processor, &allowed);
  keptOff = ::sched_setaffinity(0, sizeof allowed, &allowed) == 0;
  return keptOff;
}

void letThisThreadRunAnywhere() {
  if (!keptOff) return;
  keptOff = false;
  (void)::sched_setaffinity(0, sizeof processorsBefore, &processorsBefore);
}

std::optional<size_t> bytesWaiting(int stream) {
  int waiting = 0;
  if (::ioctl(stream, FIONREAD, &waiting) != 0 || waiting < 0) return std::nullopt;
  return static_cast<size_t>(waiting);
}

void waitUntilReadable(int stream) {
  pollfd watched{stream, POLLIN, 0};
  while (::poll(&watched, 1, -1) < 0 && errno == EINTR) {
  }
}

}  // namespace tw::platform
