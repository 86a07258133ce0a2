// The platform seam on POSIX systems (Linux and glibc for the heap settings).
#include <fcntl.h>
#include <limits.h>
#include <malloc.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "worker/platform.h"

extern char** environ;

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
  // The lock belongs to the open file, which a child being started holds a copy of until it has
  // started its program: unlocked first, the exclusion ends now, whatever copies remain.
  (void)::flock(static_cast<int>(file), LOCK_UN);
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

std::ptrdiff_t lendSome(int stream, const char* bytes, size_t size) {
  iovec range{const_cast<char*>(bytes), size};
  for (;;) {
    const ssize_t count = ::vmsplice(stream, &range, 1, 0);
    if (count >= 0) return count;
    if (errno == EBADF || errno == EINVAL || errno == ENOSYS) break;  // not a pipe, or no vmsplice
    if (errno != EINTR) return -1;
  }
  return writeSome(stream, bytes, size);
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

size_t widenPipe(int stream, size_t bytes) {
  const int now = ::fcntl(stream, F_GETPIPE_SZ);  // fails unless `stream` is a pipe
  if (now < 0) return 0;
  if (static_cast<size_t>(now) >= bytes || bytes > INT_MAX) return static_cast<size_t>(now);
  const int widened = ::fcntl(stream, F_SETPIPE_SZ, static_cast<int>(bytes));
  return static_cast<size_t>(widened < 0 ? now : widened);
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

namespace {

// Owns the file actions and attributes of one spawn.
struct SpawnSetup {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  SpawnSetup() {
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
};

std::atomic<int> noticedInterrupt{0};
static_assert(std::atomic<int>::is_always_lock_free, "an interrupt is noted from a handler");

void noteInterrupt(int signal) {
  int none = 0;
  noticedInterrupt.compare_exchange_strong(none, signal);
}

}  // namespace

std::optional<StartedProcess> startProcess(const NativeText& program,
                                           const std::vector<NativeText>& arguments,
                                           std::string& error) {
  int input[2];
  int output[2];
  if (::pipe2(input, O_CLOEXEC) != 0) {
    error = std::string("cannot make a pipe: ") + std::strerror(errno);
    return std::nullopt;
  }
  if (::pipe2(output, O_CLOEXEC) != 0) {
    error = std::string("cannot make a pipe: ") + std::strerror(errno);
    closeOnce(input[0]);
    closeOnce(input[1]);
    return std::nullopt;
  }
  // Every descriptor of this process is opened close-on-exec, so the child keeps only the three
  // set here. It starts in a process group of its own (a terminal's Ctrl-C reaches the parent
  // alone) with the signal dispositions and mask of a fresh process.
  SpawnSetup setup;
  posix_spawn_file_actions_adddup2(&setup.actions, input[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&setup.actions, output[1], STDOUT_FILENO);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (const int signal : {SIGPIPE, SIGINT, SIGTERM}) sigaddset(&defaults, signal);
  sigset_t noneBlocked;
  sigemptyset(&noneBlocked);
  posix_spawnattr_setsigdefault(&setup.attributes, &defaults);
  posix_spawnattr_setsigmask(&setup.attributes, &noneBlocked);
  posix_spawnattr_setpgroup(&setup.attributes, 0);
  posix_spawnattr_setflags(&setup.attributes,
                           POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);

  std::vector<std::string> texts{program.units()};
  for (const NativeText& argument : arguments) texts.push_back(argument.units());
  std::vector<char*> argv;
  for (std::string& text : texts) argv.push_back(text.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int spawned =
      ::posix_spawn(&pid, argv[0], &setup.actions, &setup.attributes, argv.data(), environ);
  closeOnce(input[0]);
  closeOnce(output[1]);
  if (spawned != 0) {
    error = "cannot start " + program.units() + ": " + std::strerror(spawned);
    closeOnce(input[1]);
    closeOnce(output[0]);
    return std::nullopt;
  }
  return StartedProcess{ProcessHandle{pid}, aboveStandardStreams(input[1]),
                        aboveStandardStreams(output[0])};
}

void awaitProcessEnd(ProcessHandle process) {
  // WNOWAIT leaves the child unreaped, so its id cannot be taken by another process before
  // releaseProcess.
  siginfo_t info{};
  while (::waitid(P_PID, static_cast<id_t>(process), &info, WEXITED | WNOWAIT) != 0 &&
         errno == EINTR) {
  }
}

namespace {

// True once the child has ended (or is no child of this process: nothing is left to wait for).
bool hasEnded(ProcessHandle process) {
  siginfo_t info{};
  while (::waitid(P_PID, static_cast<id_t>(process), &info, WEXITED | WNOWAIT | WNOHANG) != 0) {
    if (errno != EINTR) return true;
  }
  return info.si_pid != 0;
}

}  // namespace

// A process descriptor is readable once the process has ended, so a wait on it ends with it; a
// system without them has the child looked at again after the whole timeout.
ProcessWatch::ProcessWatch(ProcessHandle process)
    : process_(process), watch_(::syscall(SYS_pidfd_open, static_cast<pid_t>(process), 0)) {}

ProcessWatch::~ProcessWatch() {
  if (watch_ >= 0) closeOnce(static_cast<int>(watch_));
}

bool ProcessWatch::awaitEndFor(std::chrono::microseconds timeout) {
  if (watch_ < 0) {
    if (hasEnded(process_)) return true;
    timespec pause{static_cast<time_t>(timeout.count() / 1000000),
                   static_cast<long>(timeout.count() % 1000000) * 1000L};
    while (::nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
    return hasEnded(process_);
  }
  pollfd event{static_cast<int>(watch_), POLLIN, 0};
  const int ms = static_cast<int>((timeout.count() + 999) / 1000);
  int ready;
  do {
    ready = ::poll(&event, 1, ms);
  } while (ready < 0 && errno == EINTR);
  return ready != 0;  // ended, or the watch failed: either way a wait would not
}

void endProcessNow(ProcessHandle process) {
  (void)::kill(static_cast<pid_t>(process), SIGKILL);
}

ProcessEnd releaseProcess(ProcessHandle process) {
  int raw = 0;
  pid_t got;
  do {
    got = ::waitpid(static_cast<pid_t>(process), &raw, 0);
  } while (got < 0 && errno == EINTR);
  ProcessEnd end;
  if (got < 0) return end;
  if (WIFEXITED(raw)) {
    end.exited = true;
    end.code = WEXITSTATUS(raw);
  } else if (WIFSIGNALED(raw)) {
    end.signal = WTERMSIG(raw);
  }
  return end;
}

void catchInterrupts() {
  struct sigaction action {};
  action.sa_handler = noteInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  (void)::sigaction(SIGINT, &action, nullptr);
  (void)::sigaction(SIGTERM, &action, nullptr);
}

int interruptSignal() {
  return noticedInterrupt.load();
}

unsigned processorsAvailable() {
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (::sched_getaffinity(0, sizeof allowed, &allowed) != 0) return 1;
  const int count = CPU_COUNT(&allowed);
  return count > 0 ? static_cast<unsigned>(count) : 1;
}

std::string thisExecutablePath() {
  char buffer[PATH_MAX];
  const ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer);
  if (length <= 0 || static_cast<size_t>(length) >= sizeof buffer) return {};
  return std::string(buffer, static_cast<size_t>(length));
}

std::string_view executableSuffix() {
  return {};
}

bool isExecutableFile(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
         ::access(path.c_str(), X_OK) == 0;
}

bool isTerminal(int stream) {
  return ::isatty(stream) == 1;
}

bool replaceFileAtomically(const std::string& path, std::string_view bytes, Durability durability) {
  const std::string temporary = path + ".tmp-" + std::to_string(::getpid());
  int fd;
  do {
    fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  bool ok = true;
  while (ok && !bytes.empty()) {
    const std::ptrdiff_t written = writeSome(fd, bytes.data(), bytes.size());
    ok = written > 0;
    if (ok) bytes.remove_prefix(static_cast<size_t>(written));
  }
  if (durability == Durability::Flushed) ok = ok && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  ok = ok && ::rename(temporary.c_str(), path.c_str()) == 0;
  if (!ok) (void)::unlink(temporary.c_str());
  return ok;
}

int openForReading(const std::string& path, std::string& error) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    return -1;
  }
  struct stat info {};
  if (::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
    closeOnce(fd);
    error = path + " is a directory, not a file";
    return -1;
  }
  return fd;
}

std::ptrdiff_t readFileAt(int stream, uint64_t offset, char* buffer, size_t capacity) {
  struct stat info {};
  if (::fstat(stream, &info) != 0 || !S_ISREG(info.st_mode)) return -1;
  for (;;) {
    const ssize_t got = ::pread(stream, buffer, capacity, static_cast<off_t>(offset));
    if (got >= 0 || errno != EINTR) return got;
  }
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

// A fixed threshold: glibc's own rises to the largest block freed, after which blocks of a few
// megabytes are carved from the arenas and freed there, where another thread's arena cannot
// take them back.
constexpr int kRecordHeapLargeBlockBytes = 4 << 20;

void prepareRecordHeap() {
  ::mallopt(M_MMAP_THRESHOLD, kRecordHeapLargeBlockBytes);
}

}  // namespace tw::platform
